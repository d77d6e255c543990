#include <QLabel>
#include <QPixmap>
#include <QResizeEvent>
#include <QtTest>

#include "mainwindow.h"
#include "screenlayout.h"
#include "scaledlayout.h"
#include "teskdigitalclock.h"
#include "testsupport.h"

namespace {

const char *const kNames[ScaledLayout::kWidgetCount] = {
    "ProgLeft", "ProgRight", "SubLeft", "SubRight", "CrmLeft", "CrmRight",
    "AnalogClock", "DigitalClock", "labelMeter1", "labelMeter2", "labelMeter3",
    "timelabel", "footerlabel", "settingsButton",
};

QWidget *widget(MainWindow &window, const char *name)
{
    return window.findChild<QWidget *>(QString::fromLatin1(name));
}

// Shows the window at the given size and lets the first paint lay it out.
void showAt(MainWindow &window, QSize size)
{
    window.resize(size);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_VERIFY(window.layout().passes() >= 1);
    TestSupport::settle();
}

} // namespace

class TestScaledWindow : public QObject
{
    Q_OBJECT

private slots:
    void widgetsFollowTheWindow_data();
    void widgetsFollowTheWindow();
    void everyWidgetMatchesThePass();
    void sameSizeResizeRunsAFullPass();
    void severalResizesCostOnePass();
    void plainPaintDoesNoScaling();
    void linkMarkScales();
    void fillerShowsBesideTheArtwork_data();
    void fillerShowsBesideTheArtwork();
};

void TestScaledWindow::widgetsFollowTheWindow_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRect>("progLeft");
    QTest::addColumn<QRect>("analogClock");
    QTest::addColumn<QRect>("settingsButton");
    QTest::addColumn<QVector<int>>("fonts");  // labels, footer, time, date

    QTest::newRow("986 x 580") << QSize(986, 580) << QRect(54, 73, 12, 415)
                               << QRect(348, 85, 410, 410) << QRect(900, 28, 25, 25)
                               << QVector<int>{15, 11, 40, 24};
    QTest::newRow("1920 x 1080") << QSize(1920, 1080) << QRect(142, 135, 22, 772)
                                 << QRect(690, 158, 763, 763) << QRect(1717, 52, 46, 46)
                                 << QVector<int>{27, 20, 74, 44};
    QTest::newRow("1280 x 1024") << QSize(1280, 1024) << QRect(70, 230, 15, 538)
                                 << QRect(451, 246, 531, 531) << QRect(1167, 172, 32, 32)
                                 << QVector<int>{19, 14, 51, 31};
    QTest::newRow("1000 x 580") << QSize(1000, 580) << QRect(61, 73, 12, 415)
                                << QRect(355, 85, 410, 410) << QRect(907, 28, 25, 25)
                                << QVector<int>{15, 11, 40, 24};
}

void TestScaledWindow::widgetsFollowTheWindow()
{
    QFETCH(QSize, size);
    QFETCH(QRect, progLeft);
    QFETCH(QRect, analogClock);
    QFETCH(QRect, settingsButton);
    QFETCH(QVector<int>, fonts);

    MainWindow window;
    showAt(window, size);
    QCOMPARE(window.size(), size);
    // Form widgets sit in the central widget, the clickable labels in the
    // window itself; both take the same offset and scale.
    QCOMPARE(widget(window, "ProgLeft")->parentWidget(), window.centralWidget());
    QCOMPARE(widget(window, "settingsButton")->parentWidget(), &window);
    QCOMPARE(widget(window, "ProgLeft")->geometry(), progLeft);
    QCOMPARE(widget(window, "AnalogClock")->geometry(), analogClock);
    QCOMPARE(widget(window, "settingsButton")->geometry(), settingsButton);

    QCOMPARE(widget(window, "labelMeter1")->font().pointSize(), fonts[0]);
    QCOMPARE(widget(window, "labelMeter3")->font().pointSize(), fonts[0]);
    QCOMPARE(widget(window, "timelabel")->font().pointSize(), fonts[0]);
    QCOMPARE(widget(window, "footerlabel")->font().pointSize(), fonts[1]);
    auto *clock = window.findChild<TeskDigitalClock *>(QStringLiteral("DigitalClock"));
    QCOMPARE(clock->TimeDisplayFont().pointSize(), fonts[2]);
    QCOMPARE(clock->DateDisplayFont().pointSize(), fonts[3]);
}

void TestScaledWindow::everyWidgetMatchesThePass()
{
    MainWindow window;
    showAt(window, QSize(1920, 1080));
    const ScaledLayout::Result pass = ScaledLayout::compute(QSize(1920, 1080));
    QVERIFY(pass.valid);
    for (int i = 0; i < ScaledLayout::kWidgetCount; ++i)
        QCOMPARE(widget(window, kNames[i])->geometry(), pass.rects[i]);
    QCOMPARE(window.layout().scale(), 1.86206901f);
}

void TestScaledWindow::sameSizeResizeRunsAFullPass()
{
    MainWindow window;
    showAt(window, QSize(1280, 1024));
    const int passes = window.layout().passes();
    QResizeEvent same(window.size(), window.size());
    QCoreApplication::sendEvent(&window, &same);
    window.update();
    QTRY_COMPARE(window.layout().passes(), passes + 1);
    TestSupport::settle();
    QCOMPARE(window.layout().passes(), passes + 1);
}

void TestScaledWindow::severalResizesCostOnePass()
{
    MainWindow window;
    showAt(window, QSize(986, 580));
    const int passes = window.layout().passes();
    for (const QSize size : {QSize(1000, 600), QSize(1200, 700), QSize(1920, 1080)}) {
        QResizeEvent resize(size, window.size());
        QCoreApplication::sendEvent(&window, &resize);
    }
    window.update();
    TestSupport::settle();
    QCOMPARE(window.layout().passes(), passes + 1);
    // The pass used the last size.
    QCOMPARE(widget(window, "ProgLeft")->geometry(), QRect(142, 135, 22, 772));
}

void TestScaledWindow::plainPaintDoesNoScaling()
{
    MainWindow window;
    showAt(window, QSize(1920, 1080));
    const int passes = window.layout().passes();
    for (int i = 0; i < 5; ++i) {
        window.repaint();
        widget(window, "AnalogClock")->repaint();
    }
    TestSupport::settle();
    QCOMPARE(window.layout().passes(), passes);
    QCOMPARE(window.scaledArtwork().size(), QSize(1836, 1080));
}

void TestScaledWindow::linkMarkScales()
{
    MainWindow window;
    showAt(window, QSize(1920, 1080));
    QWidget *mark = widget(window, "linkStateMark");
    QVERIFY(mark);
    QCOMPARE(mark->geometry(), ScaledLayout::compute(QSize(1920, 1080)).linkMark);
    QVERIFY(mark->geometry().right() < widget(window, "settingsButton")->geometry().left());
}

void TestScaledWindow::fillerShowsBesideTheArtwork_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QVector<QPoint>>("free");  // window pixels left to the filler

    // 1920 x 1080: the artwork is 1836 wide at x = 42.
    QTest::newRow("wider than the artwork") << QSize(1920, 1080)
                                            << QVector<QPoint>{{0, 0}, {41, 540}, {1878, 540}, {1919, 1079}};
    // 1280 x 1024: the artwork is 752 high at y = 136.
    QTest::newRow("narrower than the artwork") << QSize(1280, 1024)
                                               << QVector<QPoint>{{0, 0}, {640, 135}, {640, 888}, {1279, 1023}};
}

void TestScaledWindow::fillerShowsBesideTheArtwork()
{
    QFETCH(QSize, size);
    QFETCH(QVector<QPoint>, free);

    MainWindow window;
    showAt(window, size);
    const QImage shot = window.grab().toImage();
    // The filler is one flat colour, so every free pixel shows it exactly.
    const QImage filler(QStringLiteral(":/resources/png/SonavoBackgroundEmpty.png"));
    QVERIFY(!filler.isNull());
    const QRgb colour = filler.pixel(filler.width() / 2, filler.height() / 2);
    for (const QPoint &p : free)
        QCOMPARE(QColor(shot.pixel(p)), QColor(colour));
}

LUMORA_TEST_MAIN(TestScaledWindow)
#include "tst_scaledwindow.moc"
