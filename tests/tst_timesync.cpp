#include "timesyncwatch.h"

#include <QLabel>
#include <QtTest>

namespace {

const char kWhiteStyle[] = "QLabel\n{\ncolor: rgb(255, 255, 255);\n}";

// Lines the watch logged about the clock, counted by a message handler.
int g_clockLines = 0;
QtMessageHandler g_previousHandler = nullptr;

void countClockLines(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (qstrcmp(context.category, "lumora.app") == 0 && message.contains(QLatin1String("system clock")))
        ++g_clockLines;
    else if (g_previousHandler)
        g_previousHandler(type, context, message);
}

} // namespace

class TestTimeSync : public QObject
{
    Q_OBJECT

private slots:
    void classifyKernelClock_data();
    void classifyKernelClock();
    void formatError_data();
    void formatError();
    void caption_data();
    void caption();
};

void TestTimeSync::classifyKernelClock_data()
{
    QTest::addColumn<int>("result");
    QTest::addColumn<qint64>("maxErrorUs");
    QTest::addColumn<int>("sync");

    QTest::newRow("read failed") << -1 << qint64(0) << int(ClockStatus::Unknown);
    QTest::newRow("TIME_OK, 0.5 ms") << 0 << qint64(500) << int(ClockStatus::Synchronised);
    QTest::newRow("just below the 16 s ceiling") << 0 << qint64(15999999) << int(ClockStatus::Synchronised);
    QTest::newRow("at the ceiling, no daemon") << 5 << qint64(16000000) << int(ClockStatus::Unsynchronised);
    // A daemon may keep STA_UNSYNC set to keep the kernel off the RTC; the
    // small maximum error still says it is disciplined.
    QTest::newRow("TIME_ERROR, 2 ms") << 5 << qint64(2000) << int(ClockStatus::Synchronised);
}

void TestTimeSync::classifyKernelClock()
{
    QFETCH(int, result);
    QFETCH(qint64, maxErrorUs);
    QFETCH(int, sync);
    QCOMPARE(int(ClockSync::classifyKernelClock(result, maxErrorUs, 100).sync), sync);
}

void TestTimeSync::formatError_data()
{
    QTest::addColumn<qint64>("us");
    QTest::addColumn<QString>("text");

    QTest::newRow("unknown") << qint64(-1) << QStringLiteral("unknown");
    QTest::newRow("999 µs") << qint64(999) << QStringLiteral("999 µs");
    QTest::newRow("1 ms") << qint64(1000) << QStringLiteral("1 ms");
    QTest::newRow("999 ms") << qint64(999999) << QStringLiteral("999 ms");
    QTest::newRow("16 s") << qint64(16000000) << QStringLiteral("16.0 s");
}

void TestTimeSync::formatError()
{
    QFETCH(qint64, us);
    QFETCH(QString, text);
    QCOMPARE(ClockSync::formatError(us), text);
}

void TestTimeSync::caption_data()
{
    QTest::addColumn<QString>("readings");  // state@seconds: u, s or ? (unknown)
    QTest::addColumn<bool>("warning");
    QTest::addColumn<int>("logLines");

    QTest::newRow("synchronised") << "s@0 s@60" << false << 0;
    QTest::newRow("unknown") << "?@0 ?@60 ?@120" << false << 0;
    QTest::newRow("unsynchronised 50 s") << "u@0 u@10 u@20 u@30 u@40 u@50" << false << 0;
    QTest::newRow("unsynchronised 60 s, read on") << "u@0 u@30 u@60 u@70 u@80 u@90" << true << 1;
    QTest::newRow("a synchronised reading restarts the minute") << "u@0 u@40 s@50 u@60 u@110" << false << 0;
    QTest::newRow("an unknown reading restarts it too") << "u@0 u@40 ?@50 u@60 u@110" << false << 0;
    QTest::newRow("synchronised again") << "u@0 u@60 s@70" << false << 2;
    QTest::newRow("unreadable after the warning") << "u@0 u@60 ?@70" << false << 2;
    QTest::newRow("back and forth") << "u@0 u@60 s@70 u@80 u@130 u@140" << true << 3;
}

void TestTimeSync::caption()
{
    QFETCH(QString, readings);
    QFETCH(bool, warning);
    QFETCH(int, logLines);

    ClockStatus status;
    qint64 nowMs = 0;
    QLabel caption(QStringLiteral("System Time"));
    caption.setStyleSheet(QString::fromLatin1(kWhiteStyle));

    g_clockLines = 0;
    g_previousHandler = qInstallMessageHandler(countClockLines);
    {
        // The first reading is the one at construction.
        bool constructed = false;
        std::unique_ptr<TimeSyncWatch> watch;
        for (const QString &reading : readings.split(QLatin1Char(' '))) {
            const QChar state = reading.at(0);
            status.sync = state == QLatin1Char('u')   ? ClockStatus::Unsynchronised
                          : state == QLatin1Char('s') ? ClockStatus::Synchronised
                                                      : ClockStatus::Unknown;
            status.estimatedErrorUs = status.sync == ClockStatus::Unknown ? -1 : 1500;
            status.maximumErrorUs = status.sync == ClockStatus::Unknown ? -1 : 16000000;
            nowMs = reading.mid(2).toLongLong() * 1000;
            if (!constructed) {
                watch = std::make_unique<TimeSyncWatch>(&caption, nullptr, [&status] { return status; },
                                                        [&nowMs] { return nowMs; });
                constructed = true;
            } else {
                watch->check();
            }
        }
        QCOMPARE(watch->warningShown(), warning);
    }
    qInstallMessageHandler(g_previousHandler);

    QCOMPARE(g_clockLines, logLines);
    if (warning) {
        QCOMPARE(caption.text(), QStringLiteral("System Time - not synchronised"));
        QVERIFY(caption.styleSheet().contains(QLatin1String("rgb(255, 191, 0)")));
        QVERIFY(caption.toolTip().contains(QLatin1String("Estimated error: 1 ms")));
        QVERIFY(caption.toolTip().contains(QLatin1String("Maximum error: 16.0 s")));
    } else {
        QCOMPARE(caption.text(), QStringLiteral("System Time"));
        QCOMPARE(caption.styleSheet(), QString::fromLatin1(kWhiteStyle));
        QCOMPARE(caption.toolTip(), QString());
    }
}

QTEST_MAIN(TestTimeSync)
#include "tst_timesync.moc"
