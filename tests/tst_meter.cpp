#include <QtTest>
#include <QImage>
#include <QTemporaryDir>

#include <cmath>
#include <functional>
#include <limits>

#include "teskppmmeter.h"

namespace {

// A meter that counts its paints, so the tests see which writes schedule a
// repaint without reading values back.
class CountingMeter : public TeskPPMMeter
{
public:
    using TeskPPMMeter::TeskPPMMeter;
    int paints = 0;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        ++paints;
        TeskPPMMeter::paintEvent(event);
    }
};

// Lets every posted update reach the widget, without waiting on the clock.
void settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

QImage render(TeskPPMMeter &meter)
{
    QImage image(meter.size(), QImage::Format_ARGB32);
    image.fill(Qt::magenta);
    meter.render(&image);
    return image;
}

QColor rowColour(const QImage &image, int row)
{
    return QColor(image.pixel(image.width() / 2, row));
}

bool near(const QColor &a, const QColor &b, int tolerance = 2)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
        && std::abs(a.blue() - b.blue()) <= tolerance;
}

// Puts the meter's bar at exactly the given height by searching the level;
// keeps the painting tests independent of the scale arithmetic.
void placeBar(TeskPPMMeter &meter, int wanted)
{
    for (double level = -50.0; level <= 5.0; level += 0.001) {
        meter.assigndBPosition(level);
        meter.calcPosition();
        if (meter.barHeight() == wanted)
            return;
    }
    QFAIL("no level gives that bar height");
}

} // namespace

using MeterWrite = std::function<void(TeskPPMMeter &)>;
Q_DECLARE_METATYPE(MeterWrite)

class TestMeter : public QObject
{
    Q_OBJECT

private slots:
    void barHeights_data();
    void barHeights();
    void clampingIsStoredBack_data();
    void clampingIsStoredBack();
    void changeReportedOnlyForPixels();
    void unusableInput_data();
    void unusableInput();
    void paintedRows_data();
    void paintedRows();
    void backgroundImage_data();
    void backgroundImage();
    void skinPathWithUnsetVariable();
    void repaintScheduling_data();
    void repaintScheduling();
    void changedRowsCoverEveryChangedPixel_data();
    void changedRowsCoverEveryChangedPixel();
    void changeAfterPaintShows_data();
    void changeAfterPaintShows();
};

void TestMeter::barHeights_data()
{
    QTest::addColumn<bool>("din");
    QTest::addColumn<double>("level");
    QTest::addColumn<int>("bar");
    QTest::addColumn<int>("zero");

    // DIN scale at H = 200, default -50 .. +5 dB.
    QTest::newRow("din -50") << true << -50.0 << 0 << 166;
    QTest::newRow("din -40") << true << -40.0 << 17 << 166;
    QTest::newRow("din -20") << true << -20.0 << 70 << 166;
    QTest::newRow("din -10") << true << -10.0 << 111 << 166;
    QTest::newRow("din 0") << true << 0.0 << 166 << 166;
    QTest::newRow("din +5") << true << 5.0 << 200 << 166;
    // Linear scale.
    QTest::newRow("linear -50") << false << -50.0 << 0 << 181;
    QTest::newRow("linear -40") << false << -40.0 << 36 << 181;
    QTest::newRow("linear -20") << false << -20.0 << 109 << 181;
    QTest::newRow("linear -10") << false << -10.0 << 145 << 181;
    QTest::newRow("linear 0") << false << 0.0 << 181 << 181;
    QTest::newRow("linear +5") << false << 5.0 << 200 << 181;
}

void TestMeter::barHeights()
{
    QFETCH(bool, din);
    QFETCH(double, level);
    QFETCH(int, bar);
    QFETCH(int, zero);

    TeskPPMMeter meter;
    meter.resize(16, 200);
    meter.setDINCurve(din);
    meter.setdBPosition(level);
    meter.calcPosition();
    QCOMPARE(meter.barHeight(), bar);
    QCOMPARE(meter.zeroHeight(), zero);
}

void TestMeter::clampingIsStoredBack_data()
{
    QTest::addColumn<double>("level");
    QTest::addColumn<double>("stored");
    QTest::newRow("below floor") << -60.0 << -50.0;
    QTest::newRow("above top") << 9.0 << 5.0;
    QTest::newRow("inside") << -12.5 << -12.5;
    QTest::newRow("NaN reads as floor") << std::numeric_limits<double>::quiet_NaN() << -50.0;
    QTest::newRow("+inf pins to top") << std::numeric_limits<double>::infinity() << 5.0;
    QTest::newRow("-inf rests on floor") << -std::numeric_limits<double>::infinity() << -50.0;
}

void TestMeter::clampingIsStoredBack()
{
    QFETCH(double, level);
    QFETCH(double, stored);
    TeskPPMMeter meter;
    meter.setdBPosition(level);
    meter.calcPosition();
    QCOMPARE(meter.dBPosition(), stored);
}

void TestMeter::changeReportedOnlyForPixels()
{
    TeskPPMMeter meter;
    meter.resize(16, 200);
    meter.setdBPosition(-20.0);
    QVERIFY(meter.calcPosition());
    QVERIFY(!meter.calcPosition());  // same level again
    meter.setdBPosition(-19.99);     // moves the level, not the bar (70 px)
    QVERIFY(!meter.calcPosition());
    QCOMPARE(meter.barHeight(), 70);
    meter.setdBPosition(-19.0);
    QVERIFY(meter.calcPosition());
    // A change of the 0 dB height alone (a resize at the floor) is no change.
    meter.setdBPosition(-50.0);
    QVERIFY(meter.calcPosition());
    meter.resize(16, 300);
    QVERIFY(!meter.calcPosition());
    QCOMPARE(meter.zeroHeight(), 249);
}

void TestMeter::unusableInput_data()
{
    QTest::addColumn<double>("minDb");
    QTest::addColumn<double>("maxDb");
    QTest::addColumn<bool>("din");
    QTest::addColumn<double>("level");
    QTest::addColumn<int>("bar");
    QTest::addColumn<int>("zero");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("NaN level, DIN") << -50.0 << 5.0 << true << nan << 0 << 166;
    QTest::newRow("NaN level, linear") << -50.0 << 5.0 << false << nan << 0 << 181;
    QTest::newRow("empty scale, DIN") << 0.0 << 0.0 << true << 0.0 << 0 << 0;
    QTest::newRow("empty scale, linear") << 0.0 << 0.0 << false << 0.0 << 0 << 0;
    QTest::newRow("inverted scale, DIN") << 5.0 << -50.0 << true << -10.0 << 0 << 0;
    QTest::newRow("inverted scale, linear") << 5.0 << -50.0 << false << -10.0 << 0 << 0;
    QTest::newRow("NaN maximum") << -50.0 << nan << true << -10.0 << 0 << 0;
    QTest::newRow("infinite maximum") << -50.0 << inf << false << 1e300 << 0 << 0;
    QTest::newRow("huge linear range") << -1e12 << 5.0 << false << 0.0 << 199 << 199;
}

void TestMeter::unusableInput()
{
    QFETCH(double, minDb);
    QFETCH(double, maxDb);
    QFETCH(bool, din);
    QFETCH(double, level);
    QFETCH(int, bar);
    QFETCH(int, zero);

    TeskPPMMeter meter;
    meter.resize(16, 200);
    meter.setDINCurve(din);
    meter.setMaxdBPosition(maxDb);
    meter.setMindBPosition(minDb);
    meter.setdBPosition(level);
    meter.calcPosition();
    QCOMPARE(meter.barHeight(), bar);
    QCOMPARE(meter.zeroHeight(), zero);
    render(meter);  // painting such a meter must be safe too
}

void TestMeter::paintedRows_data()
{
    QTest::addColumn<bool>("gradientBar");
    QTest::addColumn<int>("bar");
    QTest::addColumn<int>("row");
    QTest::addColumn<QColor>("colour");

    const QColor low(0, 255, 0);
    const QColor high(255, 0, 0);
    const QColor lowBg(0, 64, 0);
    // Bar gradient runs from MinColor at row 100 to MaxColor at row 0.
    auto barGradient = [](int row) {
        const double t = (100.0 - row) / 100.0;
        return QColor(qRound(255 * t), qRound(255 * (1 - t)), 0);
    };
    auto bgGradient = [](int row) {
        const double t = (100.0 - row) / 100.0;
        return QColor(qRound(64 * t), qRound(64 * (1 - t)), 0);
    };

    QTest::newRow("gradient 150: bottom row solid") << true << 150 << 199 << low;
    QTest::newRow("gradient 150: row 100 solid") << true << 150 << 100 << low;
    QTest::newRow("gradient 150: row 98 shaded") << true << 150 << 98 << barGradient(98);
    QTest::newRow("gradient 150: row 75 shaded") << true << 150 << 75 << barGradient(75);
    QTest::newRow("gradient 150: row 50 top of bar") << true << 150 << 50 << barGradient(50);
    QTest::newRow("gradient 150: row 49 background") << true << 150 << 49 << bgGradient(49);
    QTest::newRow("gradient 60: row 140 solid") << true << 60 << 140 << low;
    QTest::newRow("gradient 60: row 199 solid") << true << 60 << 199 << low;
    QTest::newRow("gradient 60: row 139 background") << true << 60 << 139 << lowBg;
    QTest::newRow("gradient 60: row 20 background") << true << 60 << 20 << bgGradient(20);
    QTest::newRow("solid 180: row 199 low") << false << 180 << 199 << low;
    QTest::newRow("solid 180: row 34 low") << false << 180 << 34 << low;
    QTest::newRow("solid 180: row 33 high") << false << 180 << 33 << high;
    QTest::newRow("solid 180: row 20 high") << false << 180 << 20 << high;
    QTest::newRow("solid 180: row 19 background") << false << 180 << 19 << bgGradient(19);
}

void TestMeter::paintedRows()
{
    QFETCH(bool, gradientBar);
    QFETCH(int, bar);
    QFETCH(int, row);
    QFETCH(QColor, colour);

    TeskPPMMeter meter;
    meter.resize(16, 200);
    meter.setGradientForground(gradientBar);
    placeBar(meter, bar);
    const QColor got = rowColour(render(meter), row);
    QVERIFY2(near(got, colour), qPrintable(QStringLiteral("row %1 is %2, expected %3")
                                               .arg(row).arg(got.name(), colour.name())));
}

void TestMeter::backgroundImage_data()
{
    QTest::addColumn<int>("alpha");
    QTest::addColumn<QColor>("expected");
    QTest::newRow("opaque zones cover the image") << 255 << QColor(0, 64, 0);
    QTest::newRow("clear zones show the image") << 0 << QColor(0, 0, 255);
}

void TestMeter::backgroundImage()
{
    QFETCH(int, alpha);
    QFETCH(QColor, expected);

    QTemporaryDir skin;
    QVERIFY(skin.isValid());
    QImage blue(16, 200, QImage::Format_RGB32);
    blue.fill(QColor(0, 0, 255));
    QVERIFY(blue.save(skin.filePath(QStringLiteral("meter.png"))));
    qputenv("LUMORA_TEST_SKIN", skin.path().toLatin1());

    TeskPPMMeter meter;
    meter.resize(16, 200);
    meter.setSkinEnvironmentVariable(QStringLiteral("LUMORA_TEST_SKIN"));
    meter.setPPMMeterBackgroundFileName(QStringLiteral("meter.png"));
    meter.setMinBackgroundColor(QColor(0, 64, 0, alpha));
    meter.calcPosition();
    QVERIFY(near(rowColour(render(meter), 150), expected));
}

void TestMeter::skinPathWithUnsetVariable()
{
    // An unset variable leaves "/" + file name: an absolute path.
    QTemporaryDir dir;
    const QString name = dir.path().mid(1) + QStringLiteral("/red.png");
    QImage red(16, 200, QImage::Format_RGB32);
    red.fill(Qt::red);
    QVERIFY(red.save(dir.path() + QStringLiteral("/red.png")));
    qunsetenv("LUMORA_UNSET_SKIN");

    TeskPPMMeter meter;
    meter.resize(16, 200);
    meter.setMinBackgroundColor(Qt::transparent);
    meter.setSkinEnvironmentVariable(QStringLiteral("LUMORA_UNSET_SKIN"));
    meter.setPPMMeterBackgroundFileName(name);
    meter.calcPosition();
    QVERIFY(near(rowColour(render(meter), 150), QColor(255, 0, 0)));
}

void TestMeter::repaintScheduling_data()
{
    QTest::addColumn<MeterWrite>("write");
    QTest::addColumn<int>("paints");

    auto row = [](const char *name, MeterWrite write, int paints) {
        QTest::newRow(name) << write << paints;
    };
    row("dBPosition, same value", [](TeskPPMMeter &m) { m.setdBPosition(m.dBPosition()); }, 1);
    row("MindBPosition, same value", [](TeskPPMMeter &m) { m.setMindBPosition(-50.0); }, 0);
    row("MindBPosition, new value", [](TeskPPMMeter &m) { m.setMindBPosition(-60.0); }, 1);
    row("MaxdBPosition, same value", [](TeskPPMMeter &m) { m.setMaxdBPosition(5.0); }, 0);
    row("ReleasePerSecond, new value", [](TeskPPMMeter &m) { m.setReleasePerSecond(30.0); }, 0);
    row("DINCurve, same value", [](TeskPPMMeter &m) { m.setDINCurve(true); }, 0);
    row("DINCurve, new value", [](TeskPPMMeter &m) { m.setDINCurve(false); }, 1);
    row("GradientForground, new value", [](TeskPPMMeter &m) { m.setGradientForground(true); }, 1);
    row("MaxColor, same value", [](TeskPPMMeter &m) { m.setMaxColor(m.MaxColor()); }, 1);
    row("MinBackgroundColor, same value", [](TeskPPMMeter &m) { m.setMinBackgroundColor(m.MinBackgroundColor()); }, 1);
    row("background file, same name", [](TeskPPMMeter &m) { m.setPPMMeterBackgroundFileName(QString()); }, 0);
    row("background file, new name", [](TeskPPMMeter &m) { m.setPPMMeterBackgroundFileName(QStringLiteral("missing.png")); }, 1);
    row("skin variable, new name", [](TeskPPMMeter &m) { m.setSkinEnvironmentVariable(QStringLiteral("LUMORA_NO_SKIN")); }, 1);
    row("plain level store", [](TeskPPMMeter &m) { m.assigndBPosition(-10.0); }, 0);
    row("calcPosition", [](TeskPPMMeter &m) { m.assigndBPosition(0.0); m.calcPosition(); }, 0);
}

void TestMeter::repaintScheduling()
{
    QFETCH(MeterWrite, write);
    QFETCH(int, paints);

    CountingMeter meter;
    meter.show();
    QVERIFY(QTest::qWaitForWindowExposed(&meter));
    settle();
    meter.paints = 0;

    write(meter);
    settle();
    QCOMPARE(meter.paints, paints);
}

void TestMeter::changedRowsCoverEveryChangedPixel_data()
{
    QTest::addColumn<bool>("gradientBar");
    QTest::addColumn<int>("height");
    QTest::newRow("gradient bar, even height") << true << 200;
    QTest::newRow("gradient bar, odd height") << true << 201;
    QTest::newRow("solid bar, design height") << false << 415;
    QTest::newRow("gradient bar, 1080p height") << true << 772;
}

void TestMeter::changedRowsCoverEveryChangedPixel()
{
    // Repainting only the changed rows must give the same picture as a full
    // paint, for every pair of neighbouring and distant bar heights.
    QFETCH(bool, gradientBar);
    QFETCH(int, height);

    TeskPPMMeter meter;
    meter.resize(12, height);
    meter.setGradientForground(gradientBar);
    QVector<QImage> frames(height + 1);
    QVector<int> bars;
    for (double level = -50.0; level <= 5.0; level += 0.05) {
        meter.assigndBPosition(level);
        if (meter.calcPosition() || bars.isEmpty()) {
            bars << meter.barHeight();
            frames[meter.barHeight()] = render(meter);
        }
    }
    QVERIFY(bars.size() > 20);
    for (int i = 1; i < bars.size(); i += 3) {
        for (int j : {i - 1, 0, int(bars.size()) - 1}) {
            const int a = bars[j], b = bars[i];
            const QRect rows = meter.changedRows(a, b);
            const QImage &from = frames[a];
            const QImage &to = frames[b];
            for (int y = 0; y < height; ++y) {
                if (rows.contains(0, y))
                    continue;
                QVERIFY2(from.scanLine(y) && std::equal(from.constScanLine(y), from.constScanLine(y) + from.bytesPerLine(), to.constScanLine(y)),
                         qPrintable(QStringLiteral("row %1 changed between bars %2 and %3 outside %4..%5")
                                        .arg(y).arg(a).arg(b).arg(rows.top()).arg(rows.bottom())));
            }
        }
    }
}

void TestMeter::changeAfterPaintShows_data()
{
    QTest::addColumn<MeterWrite>("change");

    QTest::newRow("bar top colour") << MeterWrite([](TeskPPMMeter &m) { m.setMaxColor(QColor(0, 0, 255)); });
    QTest::newRow("bar bottom colour") << MeterWrite([](TeskPPMMeter &m) { m.setMinColor(QColor(255, 255, 0)); });
    QTest::newRow("background top colour")
        << MeterWrite([](TeskPPMMeter &m) { m.setMaxBackgroundColor(QColor(90, 90, 200)); });
    QTest::newRow("background bottom colour")
        << MeterWrite([](TeskPPMMeter &m) { m.setMinBackgroundColor(QColor(200, 90, 90, 128)); });
    QTest::newRow("taller") << MeterWrite([](TeskPPMMeter &m) { m.resize(12, 415); });
    QTest::newRow("one row taller (odd)") << MeterWrite([](TeskPPMMeter &m) { m.resize(12, 201); });
    QTest::newRow("shorter") << MeterWrite([](TeskPPMMeter &m) { m.resize(12, 120); });
}

void TestMeter::changeAfterPaintShows()
{
    // The gradients are kept between paints; a meter that has painted and is
    // then changed must paint exactly like a new meter built with the change.
    QFETCH(MeterWrite, change);

    const auto setUp = [](TeskPPMMeter &m) {
        m.resize(12, 200);
        m.setGradientForground(true);
        m.assigndBPosition(0.0);
    };
    TeskPPMMeter used;
    setUp(used);
    used.calcPosition();
    const QImage before = render(used);
    change(used);
    used.calcPosition();

    TeskPPMMeter fresh;
    setUp(fresh);
    change(fresh);
    fresh.calcPosition();

    const QImage expected = render(fresh);
    QCOMPARE(render(used), expected);
    QVERIFY(expected != before);
}

QTEST_MAIN(TestMeter)
#include "tst_meter.moc"
