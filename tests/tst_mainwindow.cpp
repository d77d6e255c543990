#include <QInputDialog>
#include <QLabel>
#include <QMenuBar>
#include <QSignalSpy>
#include <QSerialPort>
#include <QScreen>
#include <QWindow>
#include <QtTest>

#include <cmath>
#include <functional>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "controlcenter.h"
#include "controlwiring.h"
#include "mainwindow.h"
#include "meterlink.h"
#include "releaseclock.h"
#include "meterpacket.h"
#include "mylabel.h"
#include "settingsstore.h"
#include "teskanalogclock.h"
#include "teskdigitalclock.h"
#include "teskppmmeter.h"
#include "linktestsupport.h"
#include "testsupport.h"

namespace {

template<class T = QWidget>
T *child(QObject *parent, const char *name)
{
    return parent->findChild<T *>(QString::fromLatin1(name));
}

// Answers the next input dialog: new text and OK, or Cancel when text is null.
void answerPrompt(const QString &text, QString *seenTitle, QString *seenPrompt)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [=] {
        auto *dialog = qobject_cast<QInputDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        poll->stop();
        poll->deleteLater();
        *seenTitle = dialog->windowTitle();
        *seenPrompt = dialog->labelText();
        if (text.isNull()) {
            dialog->reject();
        } else {
            dialog->setTextValue(text);
            dialog->accept();
        }
    });
    poll->start(10);
}

// Removes the settings file when the test ends, after the window has
// stored its own, so later tests start from a first run again.
struct ForgetSettings
{
    ~ForgetSettings() { QFile::remove(TestSupport::settingsPath()); }
};

void storeSerialPort(const QString &path)
{
    StoredSettings stored;
    stored.comm.serialport = path;
    writeStored(*openUserSettings(), stored);
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void designRectangles();
    void formGeometry_data();
    void formGeometry();
    void stacking();
    void labelsAndFooter();
    void metersRestOnFloor();
    void releaseTickRestsWhileNothingMoves();
    void frameBeatFollowsTheScreen();
    void silenceIsWatchedWhileTheTickRests();
    void titleComesFromTheLink();
    void analogClockSetUp();
    void digitalClockSetUp();
    void clockSecondsRepaintOnlyWhatMoved_data();
    void clockSecondsRepaintOnlyWhatMoved();
    void promptRenames_data();
    void promptRenames();
    void anyButtonClicks_data();
    void anyButtonClicks();
    void markupShowsAsText();
};

void TestMainWindow::designRectangles()
{
    MainWindow window;
    const std::array<QRect, 14> expected = {
        QRect(54, 73, 12, 415), QRect(143, 73, 12, 415), QRect(210, 73, 12, 415),
        QRect(299, 73, 12, 415), QRect(844, 199, 8, 291), QRect(907, 199, 8, 291),
        QRect(348, 85, 410, 410), QRect(348, 260, 410, 111), QRect(44, 502, 121, 31),
        QRect(194, 502, 131, 31), QRect(830, 502, 101, 31), QRect(356, 502, 401, 31),
        QRect(360, 550, 381, 21), QRect(900, 28, 25, 25),
    };
    for (int i = 0; i < 14; ++i)
        QCOMPARE(window.designRectangles()[i], expected[i]);
}

void TestMainWindow::formGeometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("geometry");

    const QString central = QStringLiteral("centralWidget");
    const QString window = QStringLiteral("MainWindow");
    QTest::newRow("ProgLeft") << "ProgLeft" << central << QRect(54, 73, 12, 415);
    QTest::newRow("ProgRight") << "ProgRight" << central << QRect(143, 73, 12, 415);
    QTest::newRow("SubLeft") << "SubLeft" << central << QRect(210, 73, 12, 415);
    QTest::newRow("SubRight") << "SubRight" << central << QRect(299, 73, 12, 415);
    QTest::newRow("CrmLeft") << "CrmLeft" << central << QRect(844, 199, 8, 291);
    QTest::newRow("CrmRight") << "CrmRight" << central << QRect(907, 199, 8, 291);
    QTest::newRow("AnalogClock") << "AnalogClock" << central << QRect(348, 85, 410, 410);
    QTest::newRow("DigitalClock") << "DigitalClock" << central << QRect(348, 260, 410, 111);
    QTest::newRow("timelabel") << "timelabel" << central << QRect(356, 502, 401, 31);
    QTest::newRow("footerlabel") << "footerlabel" << central << QRect(360, 550, 381, 21);
    QTest::newRow("settingsButton") << "settingsButton" << window << QRect(900, 28, 25, 25);
    QTest::newRow("labelMeter1") << "labelMeter1" << window << QRect(44, 502, 121, 31);
    QTest::newRow("labelMeter2") << "labelMeter2" << window << QRect(194, 502, 131, 31);
    QTest::newRow("labelMeter3") << "labelMeter3" << window << QRect(830, 502, 101, 31);
}

void TestMainWindow::formGeometry()
{
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QRect, geometry);

    MainWindow window;
    QWidget *widget = window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->parentWidget()->objectName(), parent);
    QCOMPARE(widget->geometry(), geometry);
}

void TestMainWindow::stacking()
{
    MainWindow window;
    QWidget *central = window.centralWidget();
    // The four clickable labels are the window's own children, created after
    // (and so above) the central widget.
    const QList<myLabel *> labels = window.findChildren<myLabel *>(QString(), Qt::FindDirectChildrenOnly);
    QCOMPARE(labels.size(), 4);
    const QObjectList top = window.children();
    for (myLabel *label : labels)
        QVERIFY2(top.indexOf(label) > top.indexOf(central), qPrintable(label->objectName()));

    // The analog clock lies above the digital clock, whose text shows through
    // the dial; the raise order puts it last of all.
    const QObjectList stack = central->children();
    const int analog = stack.indexOf(child(&window, "AnalogClock"));
    QCOMPARE(analog, stack.size() - 1);
    QVERIFY(stack.indexOf(child(&window, "DigitalClock")) < analog);
    QVERIFY(stack.indexOf(child(&window, "DigitalClock")) > stack.indexOf(child(&window, "CrmRight")));
    QVERIFY(stack.indexOf(child(&window, "footerlabel")) > stack.indexOf(child(&window, "timelabel")));
}

void TestMainWindow::labelsAndFooter()
{
    MainWindow window;
    const QString white = QStringLiteral("QLabel\n{\ncolor: rgb(255, 255, 255);\n}");
    for (const char *name : {"labelMeter1", "labelMeter2", "labelMeter3", "timelabel"}) {
        auto *label = child<QLabel>(&window, name);
        QCOMPARE(label->styleSheet(), white);
        QCOMPARE(label->alignment(), Qt::Alignment(Qt::AlignCenter));
    }
    QCOMPARE(child<QLabel>(&window, "settingsButton")->styleSheet(),
             QStringLiteral("image: url(:/resources/png/Settings.png);"));
    QCOMPARE(child<QLabel>(&window, "timelabel")->text(), QStringLiteral("System Time"));
    QCOMPARE(child<QLabel>(&window, "timelabel")->font().pointSize(), 15);

    auto *footer = child<QLabel>(&window, "footerlabel");
    QVERIFY2(footer->text().endsWith(QLatin1String(" - v1.9")), qPrintable(footer->text()));
    QCOMPARE(footer->font().pointSize(), 11);
    QCOMPARE(footer->alignment(), Qt::Alignment(Qt::AlignCenter));

    // First run: the default names.
    QCOMPARE(child<QLabel>(&window, "labelMeter1")->text(), QStringLiteral("Prog"));
    QCOMPARE(child<QLabel>(&window, "labelMeter2")->text(), QStringLiteral("Sub"));
    QCOMPARE(child<QLabel>(&window, "labelMeter3")->text(), QStringLiteral("CRM"));
}

void TestMainWindow::metersRestOnFloor()
{
    MainWindow window;
    for (const char *name : {"ProgLeft", "ProgRight", "SubLeft", "SubRight", "CrmLeft", "CrmRight"}) {
        auto *meter = child<TeskPPMMeter>(&window, name);
        QCOMPARE(meter->dBPosition(), -50.0);
        QVERIFY(meter->DINCurve());
        QVERIFY(meter->GradientForground());
    }
    for (double level : window.release().targets())
        QCOMPARE(level, -50.0);
}

// The offscreen platform has one screen at 60 Hz: its signals are sent by
// hand, as a moved window or a new display mode would send them.
void TestMainWindow::frameBeatFollowsTheScreen()
{
    ForgetSettings forget;
    MainWindow window;
    window.show();
    QWindow *handle = window.windowHandle();
    QVERIFY(handle && handle->screen());
    QScreen *screen = handle->screen();
    emit screen->refreshRateChanged(75.0);
    QCOMPARE(window.release().frameInterval(), qint64(13333333));
    // Moved to a screen: its own rate, and its changes from then on.
    emit handle->screenChanged(screen);
    QCOMPARE(window.release().frameInterval(), qint64(16666667));
    emit screen->refreshRateChanged(50.0);
    QCOMPARE(window.release().frameInterval(), qint64(20000000));
}

void TestMainWindow::releaseTickRestsWhileNothingMoves()
{
    ForgetSettings forget;
    LinkTest::Pty console;
    QVERIFY(console.open());
    storeSerialPort(console.slavePath());
    MainWindow window;
    QVERIFY(window.link().serialPort()->isOpen());
    auto *meter = child<TeskPPMMeter>(&window, "ProgLeft");
    auto *other = child<TeskPPMMeter>(&window, "CrmRight");

    // Every meter on the floor with its target there: nothing to tick for.
    QTRY_VERIFY(!window.release().isTicking());

    // A rise shows at once, and a level that holds needs no further ticks.
    QVERIFY(console.writePacket({MeterPacket::dbToWord(-10.0), 0, 0, 0, 0, 0}));
    QTRY_VERIFY(std::fabs(meter->dBPosition() + 10.0) < 1e-4);
    QTRY_VERIFY(!window.release().isTicking());
    QCOMPARE(other->dBPosition(), -50.0);

    // The same level again wakes nothing.
    QVERIFY(console.writePacket({MeterPacket::dbToWord(-10.0), 0, 0, 0, 0, 0}));
    QTRY_COMPARE(window.release().targets()[0], -10.0);
    QVERIFY(!window.release().isTicking());

    // A lower level: the tick runs while the meter falls at the release
    // speed, and rests again once it has landed.
    QVERIFY(console.writePacket({MeterPacket::dbToWord(-12.0), 0, 0, 0, 0, 0}));
    QTRY_VERIFY(window.release().isTicking());
    QVERIFY(meter->dBPosition() > -12.0);
    QTRY_VERIFY(std::fabs(meter->dBPosition() + 12.0) < 1e-4);
    QTRY_VERIFY(!window.release().isTicking());

    // A level above the top of the scale pins the meter there without
    // keeping the tick awake.
    QVERIFY(console.writePacket({MeterPacket::dbToWord(10.0), 0, 0, 0, 0, 0}));
    QTRY_COMPARE(meter->dBPosition(), 5.0);
    QTRY_VERIFY(!window.release().isTicking());
    QCOMPARE(meter->barHeight(), meter->height());
}

void TestMainWindow::silenceIsWatchedWhileTheTickRests()
{
    ForgetSettings forget;
    LinkTest::Pty console;
    QVERIFY(console.open());
    storeSerialPort(console.slavePath());
    MainWindow window;
    window.link().setSilenceTimeout(300);
    auto *meter = child<TeskPPMMeter>(&window, "ProgLeft");
    // Each pair's header says "NO DATA" in red while the link is silent,
    // as drawn: a pixel inside each mark, beside its text.
    const auto noDataShown = [&window] {
        const QImage shot = window.grab().toImage();
        int shown = 0;
        for (int i = 1; i <= 3; ++i) {
            auto *mark = child<QLabel>(&window, qPrintable(QStringLiteral("noDataMark%1").arg(i)));
            const QColor c = shot.pixelColor(mark->geometry().topLeft() + QPoint(2, mark->height() / 2));
            shown += !mark->isHidden() && mark->text() == QLatin1String("NO DATA") && c == QColor(200, 30, 30);
        }
        return shown;
    };
    // Not in the link's first moments, before it could have heard anything.
    QCOMPARE(noDataShown(), 0);

    QVERIFY(console.writePacket({MeterPacket::dbToWord(-45.0), 0, 0, 0, 0, 0}));
    QTRY_COMPARE(window.link().state(), LinkState::Live);
    QTRY_VERIFY(std::fabs(meter->dBPosition() + 45.0) < 1e-4);
    QTRY_VERIFY(!window.release().isTicking());
    QCOMPARE(noDataShown(), 0);

    // The console goes quiet: with the tick resting, the link still turns
    // silent, the targets drop and the meter comes down to the floor.
    QTRY_COMPARE(window.link().state(), LinkState::Silent);
    QCOMPARE(noDataShown(), 3);
    QCOMPARE(window.release().targets()[0], -50.0);
    QTRY_COMPARE(meter->dBPosition(), -50.0);
    QTRY_VERIFY(!window.release().isTicking());
    QVERIFY(window.control().center().statusJson().contains("\"data\":false"));

    // And the next packet brings it back to life.
    QVERIFY(console.writePacket({MeterPacket::dbToWord(-20.0), 0, 0, 0, 0, 0}));
    QTRY_COMPARE(window.link().state(), LinkState::Live);
    QCOMPARE(noDataShown(), 0);
    QTRY_VERIFY(std::fabs(meter->dBPosition() + 20.0) < 1e-4);
}

void TestMainWindow::titleComesFromTheLink()
{
    MainWindow window;
    // With no stored link the serial port has an empty name.
    QCOMPARE(window.windowTitle(), QStringLiteral("Lumora Meters - ()"));
}

void TestMainWindow::analogClockSetUp()
{
    MainWindow window;
    auto *clock = child<TeskAnalogClock>(&window, "AnalogClock");
    QVERIFY(clock->HourLines());
    QCOMPARE(clock->HourLinesColor(), QColor(0, 255, 0, 255));
    QCOMPARE(clock->DotSize(), 4);
    QCOMPARE(clock->HourHandColor(), QColor(255, 0, 0, 128));
    QCOMPARE(clock->MinuteHandLength(), 28);
    QVERIFY(!clock->EndTime());
    QCOMPARE(clock->CountDownTime(), 0.0f);
}

void TestMainWindow::digitalClockSetUp()
{
    MainWindow window;
    auto *clock = child<TeskDigitalClock>(&window, "DigitalClock");
    QCOMPARE(clock->font().family(), QStringLiteral("Bitstream Vera Sans"));
    QCOMPARE(clock->font().pointSize(), 36);
    QVERIFY(clock->font().bold());
    QCOMPARE(clock->TimeDisplayFont().family(), QStringLiteral("DejaVu Sans"));
    QCOMPARE(clock->TimeDisplayFont().pointSize(), 40);
    QCOMPARE(clock->DateDisplayFont().pointSize(), 24);
    QCOMPARE(clock->TimeDisplayFontColor(), QColor(255, 255, 255, 255));
}

void TestMainWindow::clockSecondsRepaintOnlyWhatMoved_data()
{
    QTest::addColumn<QDateTime>("from");
    QTest::addColumn<QDateTime>("to");
    QTest::addColumn<bool>("countDown");
    QTest::addColumn<bool>("endTime");

    const QDate day(2026, 12, 7);
    const auto at = [day](int h, int m, int s) { return QDateTime(day, QTime(h, m, s)); };
    QTest::newRow("second") << at(12, 0, 1) << at(12, 0, 2) << false << false;
    QTest::newRow("ten seconds") << at(12, 0, 9) << at(12, 0, 10) << false << false;
    QTest::newRow("minute pointer through the time line") << at(12, 15, 1) << at(12, 15, 2) << false << false;
    QTest::newRow("minute") << at(12, 7, 59) << at(12, 8, 0) << false << false;
    QTest::newRow("hour") << at(12, 59, 59) << at(13, 0, 0) << false << false;
    QTest::newRow("count-down second") << at(9, 30, 10) << at(9, 30, 11) << true << false;
    QTest::newRow("count-down minute") << at(9, 30, 59) << at(9, 31, 0) << true << false;
    QTest::newRow("new day") << at(23, 59, 59) << QDateTime(day.addDays(1), QTime(0, 0)) << false << false;
    QTest::newRow("time set back") << at(12, 30, 15) << at(8, 10, 40) << false << false;
    QTest::newRow("end-time arc") << at(12, 4, 50) << at(12, 4, 51) << false << true;
    QTest::newRow("end time passes") << at(12, 4, 59) << at(12, 5, 0) << false << true;
}

// On the wall a new second repaints only the marks that moved and the time
// line; what the screen then holds must equal a fresh paint of the window.
void TestMainWindow::clockSecondsRepaintOnlyWhatMoved()
{
    QFETCH(QDateTime, from);
    QFETCH(QDateTime, to);
    QFETCH(bool, countDown);
    QFETCH(bool, endTime);

    ForgetSettings forget;
    MainWindow window;
    auto *analog = child<TeskAnalogClock>(&window, "AnalogClock");
    auto *digital = child<TeskDigitalClock>(&window, "DigitalClock");
    QDateTime now = from;
    analog->setTimeSource([&now] { return now; });
    digital->setTimeSource([&now] { return now; });
    analog->setSecondDotsCountDown(countDown);
    analog->setEndTime(endTime);
    analog->setEndTimeHour(12);
    analog->setEndTimeMinute(5);
    analog->setEndTimeSecond(0);
    analog->checkTime();
    digital->checkTime();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    TestSupport::settle();

    // What the window's backing store holds: the pixels sent to the screen.
    const auto screenImage = [&window] {
        return window.screen()->grabWindow(window.winId()).toImage();
    };
    window.repaint();
    const QImage before = screenImage();

    now = to;
    analog->checkTime();
    digital->checkTime();
    TestSupport::settle();
    const QImage partial = screenImage();

    window.repaint();
    const QImage fresh = screenImage();
    QVERIFY(!fresh.isNull());
    QVERIFY(fresh != before);
    QCOMPARE(partial, fresh);
}

void TestMainWindow::promptRenames_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("prompt");
    QTest::addColumn<QString>("answer");  // null: Cancel
    QTest::addColumn<QString>("shown");

    QTest::newRow("meter 1, new name") << "labelMeter1" << "Meter 1 label:" << "Studio A" << "Studio A";
    QTest::newRow("meter 2, empty text keeps the name") << "labelMeter2" << "Meter 2 label:" << "" << "Sub";
    QTest::newRow("meter 3, blanks are a name") << "labelMeter3" << "Meter 3 label:" << "   " << "   ";
    QTest::newRow("meter 1, cancel keeps the name") << "labelMeter1" << "Meter 1 label:" << QString() << "Prog";
}

void TestMainWindow::promptRenames()
{
    QFETCH(QString, label);
    QFETCH(QString, prompt);
    QFETCH(QString, answer);
    QFETCH(QString, shown);

    QFile::remove(TestSupport::settingsPath());
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *name = window.findChild<myLabel *>(label);
    QString title, text;
    answerPrompt(answer, &title, &text);
    QTest::mouseClick(name, Qt::LeftButton);
    QCOMPARE(title, QStringLiteral("Quandel"));
    QCOMPARE(text, prompt);
    QCOMPARE(name->text(), shown);
}

void TestMainWindow::anyButtonClicks_data()
{
    QTest::addColumn<int>("buttonValue");
    QTest::newRow("left") << int(Qt::LeftButton);
    QTest::newRow("right") << int(Qt::RightButton);
    QTest::newRow("middle") << int(Qt::MiddleButton);
}

void TestMainWindow::anyButtonClicks()
{
    QFETCH(int, buttonValue);
    const auto button = Qt::MouseButton(buttonValue);
    myLabel label(QStringLiteral("Prog"));
    QSignalSpy clicks(&label, &myLabel::clicked);
    QTest::mouseClick(&label, button);
    QCOMPARE(clicks.count(), 1);
    // A double click arrives as press, release, double-click press, release:
    // one click per release.
    QTest::mousePress(&label, button);
    QTest::mouseRelease(&label, button);
    QTest::mouseDClick(&label, button);
    QTest::mouseRelease(&label, button);
    QCOMPARE(clicks.count(), 3);
}

void TestMainWindow::markupShowsAsText()
{
    MainWindow window;
    for (const char *name : {"labelMeter1", "labelMeter2", "labelMeter3", "timelabel", "footerlabel"})
        QCOMPARE(child<QLabel>(&window, name)->textFormat(), Qt::PlainText);

    // A markup name takes the width of its literal text, not of a heading.
    auto *label = child<QLabel>(&window, "labelMeter1");
    QLabel plain(QStringLiteral("<h1>x</h1>"));
    plain.setTextFormat(Qt::PlainText);
    plain.setFont(label->font());
    plain.setStyleSheet(label->styleSheet());
    label->setText(QStringLiteral("<h1>x</h1>"));
    QCOMPARE(label->sizeHint(), plain.sizeHint());
}

LUMORA_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
