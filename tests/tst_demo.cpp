#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QtTest>

#include <csignal>
#include <sys/types.h>

// Runs the README's demo command headless, as a newcomer without a display
// would, and looks at the screenshot it leaves: the whole window, with the
// meters lit by the simulated console.

namespace {

constexpr int kDemoTimeoutMs = 150000;  // includes a build when one is due
constexpr QSize kWindowSize(986, 580);

// A lit row of a bar is bright green; the resting zones are dark green or
// dark red, the artwork around the bars is grey.
// A lit bar is green up to mid-height and shades towards red above it:
// bright in red plus green either way, where the resting zones are dim.
bool isLit(QRgb pixel)
{
    return qRed(pixel) + qGreen(pixel) > 200 && qBlue(pixel) < 80;
}

bool isDark(QRgb pixel)
{
    return qGreen(pixel) < 120 && qRed(pixel) < 140 && qBlue(pixel) < 60;
}

} // namespace

class TestDemo : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void screenshotShowsTheWindow();
    void metersAreOffTheFloor_data();
    void metersAreOffTheFloor();
    void packetLinesAreLogged();
    void simulatorStopsWithTheWindow();

private:
    QImage m_shot;
    QString m_shotPath;
    QByteArray m_errors;
};

void TestDemo::initTestCase()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("BUILD_DIR"), QStringLiteral(LUMORA_BUILD_DIR));
    // As the README suggests for watching the packets arrive.
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("lumora.link.debug=true"));

    QProcess demo;
    demo.setProcessEnvironment(env);
    demo.setProgram(QStringLiteral(LUMORA_SOURCE_DIR "/scripts/demo"));
    demo.start();
    QVERIFY2(demo.waitForStarted(), qPrintable(demo.errorString()));
    const bool finished = demo.waitForFinished(kDemoTimeoutMs);
    if (!finished) {
        demo.terminate();
        demo.waitForFinished(5000);
    }
    m_errors = demo.readAllStandardError();
    QVERIFY2(finished, m_errors.right(2000).constData());
    QCOMPARE(demo.exitStatus(), QProcess::NormalExit);
    QVERIFY2(demo.exitCode() == 0, m_errors.right(2000).constData());

    // The screenshot's path is the last line on stdout.
    const QList<QByteArray> lines = demo.readAllStandardOutput().trimmed().split('\n');
    m_shotPath = QString::fromLocal8Bit(lines.last().trimmed());
    QVERIFY2(QFileInfo(m_shotPath).isAbsolute(), qPrintable(m_shotPath));
    QVERIFY2(QFileInfo::exists(m_shotPath), qPrintable(m_shotPath));
    QVERIFY(m_shot.load(m_shotPath));
}

void TestDemo::screenshotShowsTheWindow()
{
    QCOMPARE(m_shot.size(), kWindowSize);
    // Not a blank capture: the artwork's border is dark, and the white
    // texts of the meter name and the time caption are drawn over it.
    QVERIFY2(qGray(m_shot.pixel(5, 5)) < 64, qPrintable(QString::number(m_shot.pixel(5, 5), 16)));
    const auto whitePixels = [this](const QRect &area) {
        int count = 0;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                count += qGray(m_shot.pixel(x, y)) > 200;
        return count;
    };
    QVERIFY(whitePixels(QRect(44, 502, 121, 31)) > 20);   // "Prog"
    QVERIFY(whitePixels(QRect(356, 502, 401, 31)) > 50);  // "System Time"
}

void TestDemo::metersAreOffTheFloor_data()
{
    QTest::addColumn<QRect>("bar");

    // The bars in window pixels, at the window's design size.
    QTest::newRow("ProgLeft") << QRect(54, 73, 12, 415);
    QTest::newRow("ProgRight") << QRect(143, 73, 12, 415);
    QTest::newRow("SubLeft") << QRect(210, 73, 12, 415);
    QTest::newRow("SubRight") << QRect(299, 73, 12, 415);
    QTest::newRow("CrmLeft") << QRect(844, 199, 8, 291);
    QTest::newRow("CrmRight") << QRect(907, 199, 8, 291);
}

void TestDemo::metersAreOffTheFloor()
{
    QFETCH(QRect, bar);
    const int x = bar.center().x();

    // Lit rows from the bottom up, then the resting zones above: a bar, not
    // a smear or a full-scale block.
    int lit = 0;
    while (lit < bar.height() && isLit(m_shot.pixel(x, bar.bottom() - lit)))
        ++lit;
    QVERIFY2(lit >= 4, qPrintable(QStringLiteral("%1 lit rows").arg(lit)));
    QVERIFY2(lit < bar.height(), "the bar reaches the top of the scale");
    for (int y = bar.top(); y < bar.bottom() - lit - 2; ++y)
        QVERIFY2(isDark(m_shot.pixel(x, y)), qPrintable(QStringLiteral("row %1 is not a resting zone").arg(y)));
}

void TestDemo::packetLinesAreLogged()
{
    // The per-packet line of the link category, switched on by the rule.
    QVERIFY(m_errors.contains("lumora.link: data arrived.."));
}

// The processes a process started, by their command names.
QHash<QString, qint64> childrenOf(qint64 pid)
{
    QHash<QString, qint64> children;
    QFile list(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    if (!list.open(QIODevice::ReadOnly))
        return children;
    for (const QByteArray &child : list.readAll().simplified().split(' ')) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(QString::fromLatin1(child)));
        if (!child.isEmpty() && comm.open(QIODevice::ReadOnly))
            children.insert(QString::fromLocal8Bit(comm.readAll().trimmed()), child.toLongLong());
    }
    return children;
}

// With a display the demo keeps running until the window closes, then
// stops the simulator. The display here is a private Xvfb; the program is
// ended by SIGTERM, which quits it the way closing the window does.
void TestDemo::simulatorStopsWithTheWindow()
{
    QProcess xvfb;
    xvfb.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                        QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1280x800x24"),
                                        QStringLiteral("-noreset"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    QVERIFY2(xvfb.waitForStarted(), qPrintable(xvfb.errorString()));
    auto stopXvfb = qScopeGuard([&xvfb] { xvfb.terminate(); xvfb.waitForFinished(5000); });
    QTRY_VERIFY_WITH_TIMEOUT(xvfb.canReadLine(), 15000);
    const QString display = QString::fromLatin1(xvfb.readLine().trimmed());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("BUILD_DIR"), QStringLiteral(LUMORA_BUILD_DIR));
    QProcess demo;
    demo.setProcessEnvironment(env);
    demo.start(QStringLiteral(LUMORA_SOURCE_DIR "/scripts/demo"), QStringList());
    QVERIFY(demo.waitForStarted());
    auto stopDemo = qScopeGuard([&demo] { demo.terminate(); demo.waitForFinished(10000); });

    QByteArray errors;
    QTRY_VERIFY_WITH_TIMEOUT((errors += demo.readAllStandardError()).contains("close the window to stop"),
                             kDemoTimeoutMs);
    const QHash<QString, qint64> children = childrenOf(demo.processId());
    QVERIFY2(children.contains(QStringLiteral("lumora-meters")), qPrintable(children.keys().join(',')));
    // The kernel keeps 15 characters of a command name.
    const qint64 sim = children.value(QStringLiteral("lumora-console-"));
    QVERIFY2(sim > 0, qPrintable(children.keys().join(',')));

    QCOMPARE(::kill(pid_t(children.value(QStringLiteral("lumora-meters"))), SIGTERM), 0);
    QVERIFY(demo.waitForFinished(30000));
    QCOMPARE(demo.exitStatus(), QProcess::NormalExit);
    QCOMPARE(demo.exitCode(), 0);
    QVERIFY2(::kill(pid_t(sim), 0) != 0, "the console simulator is still running");
}

QTEST_GUILESS_MAIN(TestDemo)
#include "tst_demo.moc"
