#include "scaledlayout.h"
#include "screenrule.h"

#include <QtTest>

#include <climits>
#include <cmath>
#include <limits>

using namespace ScaledLayout;

class TestLayout : public QObject
{
    Q_OBJECT
private slots:
    void workedWindows_data();
    void workedWindows();
    void everyWidget_data();
    void everyWidget();
    void layoutOrder();
    void linkMark_data();
    void linkMark();
    void degenerateWindows_data();
    void degenerateWindows();
    void largestWindowStaysInRange();
    void paintMatchesLayout_data();
    void paintMatchesLayout();
    void devicePixels_data();
    void devicePixels();
    void currentScreen_data();
    void currentScreen();
    void minimumWindowSize_data();
    void minimumWindowSize();
};

void TestLayout::workedWindows_data()
{
    QTest::addColumn<QSize>("window");
    QTest::addColumn<int>("dx");
    QTest::addColumn<int>("dy");
    QTest::addColumn<float>("scale");
    QTest::addColumn<QRect>("progLeft");
    QTest::addColumn<QRect>("analogClock");
    QTest::addColumn<QRect>("settingsButton");
    QTest::addColumn<QVector<int>>("fonts");   // labels, footer, time, date

    // The artwork's own size: nothing moves.
    QTest::newRow("986x580 design size") << QSize(986, 580) << 0 << 0 << 1.0f
        << QRect(54, 73, 12, 415) << QRect(348, 85, 410, 410) << QRect(900, 28, 25, 25)
        << QVector<int> { 15, 11, 40, 24 };
    // Wider than 17:10: fitted to the height, centred horizontally.
    QTest::newRow("1920x1080 full HD") << QSize(1920, 1080) << 42 << 0 << 1.86206901f
        << QRect(142, 135, 22, 772) << QRect(690, 158, 763, 763) << QRect(1717, 52, 46, 46)
        << QVector<int> { 27, 20, 74, 44 };
    // Narrower: fitted to the width, centred vertically.
    QTest::newRow("1280x1024 SXGA") << QSize(1280, 1024) << 0 << 136 << 1.29736304f
        << QRect(70, 230, 15, 538) << QRect(451, 246, 531, 531) << QRect(1167, 172, 32, 32)
        << QVector<int> { 19, 14, 51, 31 };
    QTest::newRow("1000x580 slightly wide") << QSize(1000, 580) << 7 << 0 << 1.0f
        << QRect(61, 73, 12, 415) << QRect(355, 85, 410, 410) << QRect(907, 28, 25, 25)
        << QVector<int> { 15, 11, 40, 24 };
    // An odd free pixel goes to the right: both give the same picture.
    QTest::newRow("1973x1160 odd free width") << QSize(1973, 1160) << 0 << 0 << 2.0f
        << QRect(108, 146, 24, 830) << QRect(696, 170, 820, 820) << QRect(1800, 56, 50, 50)
        << QVector<int> { 30, 22, 80, 48 };
    QTest::newRow("1972x1160 exactly twice") << QSize(1972, 1160) << 0 << 0 << 2.0f
        << QRect(108, 146, 24, 830) << QRect(696, 170, 820, 820) << QRect(1800, 56, 50, 50)
        << QVector<int> { 30, 22, 80, 48 };
    QTest::newRow("986x581 one row taller") << QSize(986, 581) << 0 << 0 << 1.0f
        << QRect(54, 73, 12, 415) << QRect(348, 85, 410, 410) << QRect(900, 28, 25, 25)
        << QVector<int> { 15, 11, 40, 24 };
    // The 7-inch panel, smaller than the design: scaled below 1.
    QTest::newRow("800x480 small panel") << QSize(800, 480) << 0 << 5 << 0.81085193f
        << QRect(43, 64, 9, 336) << QRect(282, 73, 332, 332) << QRect(729, 27, 20, 20)
        << QVector<int> { 12, 8, 32, 19 };
    QTest::newRow("3840x2160 UHD") << QSize(3840, 2160) << 84 << 0 << 3.72413802f
        << QRect(285, 271, 44, 1545) << QRect(1380, 316, 1526, 1526) << QRect(3435, 104, 93, 93)
        << QVector<int> { 55, 40, 148, 89 };
}

void TestLayout::workedWindows()
{
    QFETCH(QSize, window);
    QFETCH(int, dx);
    QFETCH(int, dy);
    QFETCH(float, scale);
    QFETCH(QRect, progLeft);
    QFETCH(QRect, analogClock);
    QFETCH(QRect, settingsButton);
    QFETCH(QVector<int>, fonts);

    const Result r = compute(window);
    QVERIFY(r.valid);
    QCOMPARE(r.dx, dx);
    QCOMPARE(r.dy, dy);
    // Exact: the scale is rounded once to single precision.
    QCOMPARE(r.scale, scale);
    QCOMPARE(r.rects[ProgLeft], progLeft);
    QCOMPARE(r.rects[AnalogClock], analogClock);
    QCOMPARE(r.rects[SettingsButton], settingsButton);
    QCOMPARE((QVector<int> { r.labelPt, r.footerPt, r.timePt, r.datePt }), fonts);
}

void TestLayout::everyWidget_data()
{
    QTest::addColumn<int>("widget");
    QTest::addColumn<QRect>("design");      // also the 986 x 580 result
    QTest::addColumn<QRect>("fullHd");      // 1920 x 1080

    QTest::newRow("ProgLeft") << int(ProgLeft) << QRect(54, 73, 12, 415) << QRect(142, 135, 22, 772);
    QTest::newRow("ProgRight") << int(ProgRight) << QRect(143, 73, 12, 415) << QRect(308, 135, 22, 772);
    QTest::newRow("SubLeft") << int(SubLeft) << QRect(210, 73, 12, 415) << QRect(433, 135, 22, 772);
    QTest::newRow("SubRight") << int(SubRight) << QRect(299, 73, 12, 415) << QRect(598, 135, 22, 772);
    QTest::newRow("CrmLeft") << int(CrmLeft) << QRect(844, 199, 8, 291) << QRect(1613, 370, 14, 541);
    QTest::newRow("CrmRight") << int(CrmRight) << QRect(907, 199, 8, 291) << QRect(1730, 370, 14, 541);
    QTest::newRow("AnalogClock") << int(AnalogClock) << QRect(348, 85, 410, 410) << QRect(690, 158, 763, 763);
    QTest::newRow("DigitalClock") << int(DigitalClock) << QRect(348, 260, 410, 111) << QRect(690, 484, 763, 206);
    QTest::newRow("labelMeter1") << int(LabelMeter1) << QRect(44, 502, 121, 31) << QRect(123, 934, 225, 57);
    QTest::newRow("labelMeter2") << int(LabelMeter2) << QRect(194, 502, 131, 31) << QRect(403, 934, 243, 57);
    QTest::newRow("labelMeter3") << int(LabelMeter3) << QRect(830, 502, 101, 31) << QRect(1587, 934, 188, 57);
    QTest::newRow("timelabel") << int(TimeLabel) << QRect(356, 502, 401, 31) << QRect(704, 934, 746, 57);
    QTest::newRow("footerlabel") << int(FooterLabel) << QRect(360, 550, 381, 21) << QRect(712, 1024, 709, 39);
    QTest::newRow("settingsButton") << int(SettingsButton) << QRect(900, 28, 25, 25) << QRect(1717, 52, 46, 46);
}

void TestLayout::everyWidget()
{
    QFETCH(int, widget);
    QFETCH(QRect, design);
    QFETCH(QRect, fullHd);
    QCOMPARE(designGeometry()[widget], design);
    QCOMPARE(compute(QSize(986, 580)).rects[widget], design);
    QCOMPARE(compute(QSize(1920, 1080)).rects[widget], fullHd);
}

void TestLayout::layoutOrder()
{
    // The pass sets the time caption before labelMeter3, though storage has
    // labelMeter3 first; and it sets every widget exactly once.
    QCOMPARE(kLayoutOrder[10], TimeLabel);
    QCOMPARE(kLayoutOrder[11], LabelMeter3);
    QCOMPARE(kLabelFontOrder[2], TimeLabel);
    std::array<int, kWidgetCount> seen {};
    for (Widget w : kLayoutOrder)
        ++seen[w];
    for (int n : seen)
        QCOMPARE(n, 1);
}

void TestLayout::linkMark_data()
{
    QTest::addColumn<QSize>("window");
    QTest::addColumn<QRect>("mark");
    QTest::newRow("986x580") << QSize(986, 580) << QRect(876, 33, 16, 16);
    QTest::newRow("1920x1080") << QSize(1920, 1080) << QRect(1673, 61, 29, 29);
    QTest::newRow("1280x1024") << QSize(1280, 1024) << QRect(1136, 178, 20, 20);
}

void TestLayout::linkMark()
{
    QFETCH(QSize, window);
    QFETCH(QRect, mark);
    QCOMPARE(compute(window).linkMark, mark);
}

void TestLayout::degenerateWindows_data()
{
    QTest::addColumn<QSize>("window");
    QTest::newRow("invalid -1x-1") << QSize(-1, -1);
    QTest::newRow("0x0") << QSize(0, 0);
    QTest::newRow("zero height") << QSize(986, 0);
    QTest::newRow("zero width") << QSize(0, 580);
    QTest::newRow("negative height") << QSize(986, -580);
    QTest::newRow("negative width") << QSize(-986, 580);
    QTest::newRow("INT_MIN height") << QSize(100, INT_MIN);
    QTest::newRow("INT_MAX width") << QSize(INT_MAX, 580);
    QTest::newRow("INT_MAX square") << QSize(INT_MAX, INT_MAX);
    QTest::newRow("above widget limit") << QSize(986, kMaxSide + 1);
}

void TestLayout::degenerateWindows()
{
    QFETCH(QSize, window);
    const Result r = compute(window);
    QVERIFY(!r.valid);
    QCOMPARE(r.scale, 0.0f);
    QCOMPARE(r.dx, 0);
    QCOMPARE(r.dy, 0);
    QCOMPARE(r.labelPt, 0);
}

void TestLayout::largestWindowStaysInRange()
{
    // The widest and the tallest window a widget may have: every figure is
    // a sane positive int (an overflow would show up negative or under UBSan).
    for (const QSize window : { QSize(kMaxSide, kMaxSide), QSize(kMaxSide, 1), QSize(1, kMaxSide),
                                QSize(kMaxSide, 580), QSize(986, kMaxSide) }) {
        const Result r = compute(window);
        QVERIFY(r.valid);
        QVERIFY(r.scale >= 0.0f);
        QVERIFY(r.dx >= 0 && r.dy >= 0);
        for (const QRect &rect : r.rects)
            QVERIFY2(rect.x() >= 0 && rect.y() >= 0 && rect.width() >= 0 && rect.height() >= 0,
                     qPrintable(QStringLiteral("%1x%2").arg(window.width()).arg(window.height())));
    }
    QCOMPARE(compute(QSize(kMaxSide, kMaxSide)).dy, 3454132);
}

void TestLayout::paintMatchesLayout_data()
{
    QTest::addColumn<QSize>("window");
    QTest::addColumn<QSize>("artwork");
    QTest::addColumn<QPoint>("offset");
    QTest::newRow("986x580") << QSize(986, 580) << QSize(986, 580) << QPoint(0, 0);
    QTest::newRow("1920x1080") << QSize(1920, 1080) << QSize(1836, 1080) << QPoint(42, 0);
    QTest::newRow("1280x1024") << QSize(1280, 1024) << QSize(1280, 752) << QPoint(0, 136);
    QTest::newRow("1000x580") << QSize(1000, 580) << QSize(986, 580) << QPoint(7, 0);
    QTest::newRow("1973x1160 odd") << QSize(1973, 1160) << QSize(1972, 1160) << QPoint(0, 0);
    QTest::newRow("987x581 rounding edge") << QSize(987, 581) << QSize(987, 581) << QPoint(0, 0);
    QTest::newRow("empty window") << QSize(0, 0) << QSize(0, 0) << QPoint(0, 0);
}

void TestLayout::paintMatchesLayout()
{
    QFETCH(QSize, window);
    QFETCH(QSize, artwork);
    QFETCH(QPoint, offset);
    QCOMPARE(fittedArtworkSize(window), artwork);
    QCOMPARE(paintOffset(window, artwork), offset);
    // The widgets sit on the drawn artwork.
    const Result r = compute(window);
    if (r.valid)
        QCOMPARE(QPoint(r.dx, r.dy), offset);
}

void TestLayout::devicePixels_data()
{
    QTest::addColumn<QSize>("logical");
    QTest::addColumn<double>("ratio");
    QTest::addColumn<QSize>("device");
    QTest::newRow("ratio 1") << QSize(1836, 1080) << 1.0 << QSize(1836, 1080);
    QTest::newRow("ratio 2") << QSize(1836, 1080) << 2.0 << QSize(3672, 2160);
    QTest::newRow("ratio 1.5") << QSize(1836, 1080) << 1.5 << QSize(2754, 1620);
    QTest::newRow("ratio 1.5 half pixel rounds up") << QSize(1837, 581) << 1.5 << QSize(2756, 872);
    QTest::newRow("ratio 1.25") << QSize(986, 580) << 1.25 << QSize(1233, 725);
    QTest::newRow("ratio 0 counts as 1") << QSize(986, 580) << 0.0 << QSize(986, 580);
    QTest::newRow("negative ratio counts as 1") << QSize(986, 580) << -2.0 << QSize(986, 580);
    QTest::newRow("NaN ratio counts as 1") << QSize(986, 580)
        << std::numeric_limits<double>::quiet_NaN() << QSize(986, 580);
    QTest::newRow("infinite ratio counts as 1") << QSize(986, 580)
        << std::numeric_limits<double>::infinity() << QSize(986, 580);
    QTest::newRow("huge ratio is capped") << QSize(986, 580) << 1e300 << QSize(kMaxSide, kMaxSide);
    QTest::newRow("tiny ratio keeps a pixel") << QSize(986, 580) << 1e-9 << QSize(1, 1);
    QTest::newRow("empty stays empty") << QSize(0, 580) << 2.0 << QSize(0, 0);
}

void TestLayout::devicePixels()
{
    QFETCH(QSize, logical);
    QFETCH(double, ratio);
    QFETCH(QSize, device);
    QCOMPARE(devicePixelSize(logical, ratio), device);
}

void TestLayout::currentScreen_data()
{
    QTest::addColumn<QVector<QRect>>("areas");
    QTest::addColumn<int>("frameX");
    QTest::addColumn<bool>("maximized");
    QTest::addColumn<int>("screen");

    const QVector<QRect> one { QRect(0, 0, 1920, 1040) };
    const QVector<QRect> two { QRect(0, 0, 1920, 1040), QRect(1920, 0, 1920, 1040) };
    const QVector<QRect> three { QRect(0, 0, 1280, 1024), QRect(1280, 0, 1920, 1080),
                                 QRect(3200, 0, 1920, 1080) };

    QTest::newRow("no monitors") << QVector<QRect>() << 100 << false << 0;
    QTest::newRow("one monitor, anywhere") << one << 5000 << false << 0;
    QTest::newRow("one monitor, left of it") << one << -3000 << true << 0;
    QTest::newRow("two, normal at 1919") << two << 1919 << false << 0;
    QTest::newRow("two, normal at 1920") << two << 1920 << false << 1;
    QTest::newRow("two, maximized on 1 at 1912") << two << 1912 << true << 1;
    QTest::newRow("two, maximized at 1911") << two << 1911 << true << 0;
    QTest::newRow("two, maximized on 0 at -8") << two << -8 << true << 0;
    QTest::newRow("two, left of all") << two << -500 << false << 0;
    QTest::newRow("two, at right edge of all") << two << 3840 << false << 1;
    QTest::newRow("two, right of all") << two << 9000 << false << 1;
    QTest::newRow("two, maximized right of all") << two << 3833 << true << 1;
    QTest::newRow("three, on the middle one") << three << 2000 << false << 1;
    QTest::newRow("three, right of all") << three << 5120 << false << 2;
    QTest::newRow("two, frame at INT_MAX maximized") << two << INT_MAX << true << 1;
    QTest::newRow("two, frame at INT_MIN") << two << INT_MIN << false << 0;
}

void TestLayout::currentScreen()
{
    QFETCH(QVector<QRect>, areas);
    QFETCH(int, frameX);
    QFETCH(bool, maximized);
    QFETCH(int, screen);
    QCOMPARE(ScreenRule::currentScreen(areas, frameX, maximized), screen);
}

void TestLayout::minimumWindowSize_data()
{
    QTest::addColumn<QSize>("screen");
    QTest::addColumn<bool>("fillsScreen");
    QTest::addColumn<QSize>("minimum");

    QTest::newRow("full HD, full screen") << QSize(1920, 1080) << true << QSize(986, 580);
    QTest::newRow("800x480, full screen") << QSize(800, 480) << true << QSize(800, 480);
    QTest::newRow("800x480 less a panel, maximized") << QSize(800, 452) << true << QSize(800, 452);
    QTest::newRow("800x480, normal window") << QSize(800, 480) << false << QSize(986, 580);
    QTest::newRow("1024x600, full screen") << QSize(1024, 600) << true << QSize(986, 580);
    QTest::newRow("1024x480, only too low") << QSize(1024, 480) << true << QSize(986, 480);
    QTest::newRow("480x800 portrait") << QSize(480, 800) << true << QSize(480, 580);
    QTest::newRow("no screen") << QSize() << true << QSize(986, 580);
}

void TestLayout::minimumWindowSize()
{
    QFETCH(QSize, screen);
    QFETCH(bool, fillsScreen);
    QFETCH(QSize, minimum);
    QCOMPARE(ScreenRule::minimumWindowSize(screen, fillsScreen), minimum);
}

QTEST_GUILESS_MAIN(TestLayout)
#include "tst_layout.moc"
