#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include "mainwindow.h"
#include "kioskmode.h"
#include "screenlayout.h"
#include "testsupport.h"

// The wall display in kiosk use: F11 full screen, kept over a restart, and a
// mouse pointer that gets out of the picture.

namespace {

constexpr int kShortHideDelayMs = 40;

bool pointerHidden()
{
    const QCursor *cursor = QGuiApplication::overrideCursor();
    return cursor && cursor->shape() == Qt::BlankCursor;
}

bool pointerShown()
{
    return !QGuiApplication::overrideCursor();
}

// Lets the event loop run for a few hide delays, to show that something does
// not happen in that time.
void runForSomeHideDelays()
{
    QTimer later;
    later.setSingleShot(true);
    QSignalSpy fired(&later, &QTimer::timeout);
    later.start(5 * kShortHideDelayMs);
    QTRY_COMPARE(fired.count(), 1);
}

void removeStore()
{
    QFile::remove(TestSupport::settingsPath());
}

} // namespace

class TestKiosk : public QObject
{
    Q_OBJECT

private slots:
    void init() { removeStore(); }
    void cleanup() { QCOMPARE(QGuiApplication::overrideCursor(), nullptr); }

    void f11Toggles_data();
    void f11Toggles();
    void fullScreenSurvivesRestart();
    void windowedStaysWindowedAfterRestart();
    void pointerHidesInFullScreen();
    void pointerStaysInWindow();
    void leavingFullScreenShowsPointer();
    void restartInFullScreenHidesPointer();
    void smallScreenFitsTheWindow_data();
    void smallScreenFitsTheWindow();
};

void TestKiosk::f11Toggles_data()
{
    QTest::addColumn<bool>("startMaximized");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("toggles");

    QTest::newRow("normal window") << false << int(Qt::NoModifier) << true;
    QTest::newRow("maximized window") << true << int(Qt::NoModifier) << true;
    QTest::newRow("shift+F11 is not ours") << false << int(Qt::ShiftModifier) << false;
    QTest::newRow("ctrl+F11 is not ours") << false << int(Qt::ControlModifier) << false;
}

void TestKiosk::f11Toggles()
{
    QFETCH(bool, startMaximized);
    QFETCH(int, modifiers);
    QFETCH(bool, toggles);

    MainWindow window;
    if (startMaximized)
        window.showMaximized();
    else
        window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    if (startMaximized)
        QTRY_COMPARE(window.frameGeometry(), window.screen()->availableGeometry());
    const QRect before = window.geometry();

    QTest::keyClick(&window, Qt::Key_F11, Qt::KeyboardModifiers(modifiers));
    if (!toggles) {
        QVERIFY(!window.isFullScreen());
        QCOMPARE(window.geometry(), before);
        return;
    }
    QVERIFY(window.isFullScreen());
    QTRY_COMPARE(window.geometry(), window.screen()->geometry());

    // Back to what it was, maximized included.
    QTest::keyClick(&window, Qt::Key_F11);
    QVERIFY(!window.isFullScreen());
    QCOMPARE(window.isMaximized(), startMaximized);
    QTRY_COMPARE(window.geometry(), before);
}

void TestKiosk::fullScreenSurvivesRestart()
{
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::keyClick(&window, Qt::Key_F11);
        QVERIFY(window.isFullScreen());
    }   // the settings are written as the window goes

    MainWindow window;   // restores the stored geometry
    QVERIFY(window.isFullScreen());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_COMPARE(window.geometry(), window.screen()->geometry());

    // F11 after the restart leaves full screen for the window's normal size.
    QTest::keyClick(&window, Qt::Key_F11);
    QVERIFY(!window.isFullScreen());
    QTRY_COMPARE(window.size(), QSize(986, 580));
}

void TestKiosk::windowedStaysWindowedAfterRestart()
{
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::keyClick(&window, Qt::Key_F11);
        QTest::keyClick(&window, Qt::Key_F11);
        QVERIFY(!window.isFullScreen());
    }
    MainWindow window;
    QVERIFY(!window.isFullScreen());
}

void TestKiosk::pointerHidesInFullScreen()
{
    MainWindow window;
    window.kiosk().setPointerHideDelay(kShortHideDelayMs);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::keyClick(&window, Qt::Key_F11);

    QTRY_VERIFY(pointerHidden());

    // A movement brings it back at once, and it hides again after a pause.
    QTest::mouseMove(&window, QPoint(100, 100));
    QVERIFY(pointerShown());
    QTRY_VERIFY(pointerHidden());

    // Movements keep it visible; the last one starts the wait again.
    QTest::mouseMove(&window, QPoint(120, 110));
    QVERIFY(pointerShown());
    QTest::mouseMove(&window, QPoint(140, 120));
    QVERIFY(pointerShown());
    QTRY_VERIFY(pointerHidden());

    // Only one hidden pointer is stacked, however long it stays still.
    runForSomeHideDelays();
    QTest::mouseMove(&window, QPoint(160, 130));
    QVERIFY(pointerShown());

    QTest::keyClick(&window, Qt::Key_F11);
}

void TestKiosk::pointerStaysInWindow()
{
    MainWindow window;
    window.kiosk().setPointerHideDelay(kShortHideDelayMs);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    runForSomeHideDelays();
    QVERIFY(pointerShown());
}

void TestKiosk::leavingFullScreenShowsPointer()
{
    MainWindow window;
    window.kiosk().setPointerHideDelay(kShortHideDelayMs);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::keyClick(&window, Qt::Key_F11);
    QTRY_VERIFY(pointerHidden());

    QTest::keyClick(&window, Qt::Key_F11);
    QVERIFY(pointerShown());
    // And it stays shown: no hiding timer left running in the window.
    runForSomeHideDelays();
    QVERIFY(pointerShown());
    QTest::mouseMove(&window, QPoint(100, 100));
    runForSomeHideDelays();
    QVERIFY(pointerShown());
}

void TestKiosk::restartInFullScreenHidesPointer()
{
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::keyClick(&window, Qt::Key_F11);
    }
    {
        MainWindow window;
        window.kiosk().setPointerHideDelay(kShortHideDelayMs);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_VERIFY(pointerHidden());
    }
    // A window that goes while the pointer is hidden gives it back.
    QVERIFY(pointerShown());
}

void TestKiosk::smallScreenFitsTheWindow_data()
{
    QTest::addColumn<bool>("fullScreen");

    QTest::newRow("full screen") << true;
    QTest::newRow("maximized") << false;
}

void TestKiosk::smallScreenFitsTheWindow()
{
    QFETCH(bool, fullScreen);

    // Offscreen the screen is 800 x 600; on-bare-x gives 800 x 480 and no
    // window manager, so the window must place itself.
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (screen->size().width() >= 986 && screen->size().height() >= 580)
        QSKIP("the screen is not smaller than the design");
    const QRect area = fullScreen ? screen->geometry() : screen->availableGeometry();

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    if (fullScreen)
        QTest::keyClick(&window, Qt::Key_F11);
    else
        window.showMaximized();
    QTRY_COMPARE(window.frameGeometry(), area);
    QTRY_VERIFY(window.layout().scale() < 1.0f);

    // Nothing clipped: the CRM meter and the settings icon lie inside.
    for (const char *name : {"CrmRight", "settingsButton"}) {
        const auto *widget = window.findChild<QWidget *>(QString::fromLatin1(name));
        const QRect placed(widget->mapTo(&window, QPoint(0, 0)), widget->size());
        QVERIFY2(window.rect().contains(placed), name);
    }

    // A normal window keeps the design's minimum.
    window.showNormal();
    QTRY_COMPARE(window.size(), QSize(986, 580));
}

LUMORA_TEST_MAIN(TestKiosk)
#include "tst_kiosk.moc"
