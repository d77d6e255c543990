// The pictures compiled into the program: sizes, the icon's six images, a
// screen artwork whose dB marks meet the meters' bars, and edges that blend
// with the filler. The artwork as the window draws it at other sizes: marks
// still on the bars' top rows, edges as sharp as at the design size.

#include "artworklayout.h"
#include "artworkpainter.h"
#include "artworkscale.h"
#include "meterscale.h"
#include "resourceinit.h"
#include "scaledlayout.h"
#include "teskppmmeter.h"

#include <QImage>
#include <QImageReader>
#include <QtTest>

#include <cstdlib>

using namespace ArtworkLayout;

namespace {

const QString kBackground = QStringLiteral(":/resources/png/LumoraBackground.png");
const QString kFiller = QStringLiteral(":/resources/png/SonavoBackgroundEmpty.png");
const QString kGear = QStringLiteral(":/resources/png/Settings.png");
const QString kIcon = QStringLiteral(":/resources/ico/SonavoIcon256x256Border.ico");

// Largest difference of one colour channel.
int colourDistance(QRgb a, QRgb b)
{
    return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                     std::abs(qBlue(a) - qBlue(b))});
}

// The steepest step between two neighbouring pixels, across or along, in
// the area: a sharp edge makes it in one pixel, a stretched one in several.
int steepestStep(const QImage &image, const QRect &area)
{
    int steepest = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            steepest = std::max(steepest, colourDistance(image.pixel(x, y), image.pixel(x + 1, y)));
            steepest = std::max(steepest, colourDistance(image.pixel(x, y), image.pixel(x, y + 1)));
        }
    }
    return steepest;
}

// Whether the device-pixel row holds the colour anywhere in [from, to).
bool rowHolds(const QImage &image, int row, int from, int to, QRgb colour)
{
    for (int x = from; x < to; ++x)
        if ((image.pixel(x, row) & RGB_MASK) == (colour & RGB_MASK))
            return true;
    return false;
}

// The artwork exactly as a window of this size shows it.
QImage windowArtwork(QSize window, qreal ratio)
{
    const QPixmap background(kBackground);
    const QPixmap filler(kFiller);
    return ArtworkScale::scale(background, filler, window, ratio).background.toImage();
}

} // namespace

class TestArtwork : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void pictureSizes_data();
    void pictureSizes();
    void iconHoldsSixSizes();
    void gearIsOnTransparent();
    void scaleMarksMeetBarTops_data();
    void scaleMarksMeetBarTops();
    void edgesBlendWithFiller();
    void calmAreas_data();
    void calmAreas();
    void resourceIsTheDrawing();
    void marksMeetBarTopsAtSize_data();
    void marksMeetBarTopsAtSize();
    void edgesStaySharpAtSize_data();
    void edgesStaySharpAtSize();

private:
    QImage m_background;
};

void TestArtwork::initTestCase()
{
    lumoraInitResources();
    m_background = QImage(kBackground).convertToFormat(QImage::Format_RGB32);
    QVERIFY(!m_background.isNull());
}

void TestArtwork::pictureSizes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QByteArray>("format");

    QTest::newRow("screen artwork") << kBackground << QSize(986, 580) << QByteArray("png");
    QTest::newRow("filler") << kFiller << QSize(1024, 580) << QByteArray("png");
    QTest::newRow("settings gear") << kGear << QSize(256, 256) << QByteArray("png");
}

void TestArtwork::pictureSizes()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    QFETCH(QByteArray, format);

    QImageReader reader(path);
    QCOMPARE(reader.format(), format);
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.size(), size);
}

void TestArtwork::iconHoldsSixSizes()
{
    QImageReader reader(kIcon);
    QCOMPARE(reader.format(), QByteArray("ico"));
    QCOMPARE(reader.imageCount(), 6);

    QList<int> sizes;
    for (int i = 0; i < reader.imageCount(); ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(image.width(), image.height());
        QVERIFY2(image.hasAlphaChannel(), "every icon image is 32-bit with alpha");
        const int s = image.width();
        // Rounded plate: the very corner is see-through, the middle is not.
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(image.pixel(s - 1, s - 1)), 0);
        QCOMPARE(qAlpha(image.pixel(s / 2, s / 2)), 255);
        sizes.append(s);
    }
    std::sort(sizes.begin(), sizes.end());
    QCOMPARE(sizes, QList<int>({16, 32, 48, 64, 128, 256}));
}

void TestArtwork::gearIsOnTransparent()
{
    const QImage gear = QImage(kGear).convertToFormat(QImage::Format_ARGB32);
    QVERIFY(gear.hasAlphaChannel());
    QCOMPARE(qAlpha(gear.pixel(0, 0)), 0);      // outside the teeth
    QCOMPARE(qAlpha(gear.pixel(128, 128)), 0);  // the hole
    const QRgb body = gear.pixel(128, 60);      // between hole and teeth
    QCOMPARE(qAlpha(body), 255);
    QVERIFY2(qGray(body) > 180, "a light gear, visible on the dark screen");
    // Antialiased edge: partly covered pixels exist along the rim.
    bool partial = false;
    for (int x = 0; x < 256 && !partial; ++x) {
        const int a = qAlpha(gear.pixel(x, 128));
        partial = a > 0 && a < 255;
    }
    QVERIFY(partial);
}

void TestArtwork::scaleMarksMeetBarTops_data()
{
    QTest::addColumn<int>("pair");
    QTest::addColumn<bool>("leftOfPair");
    QTest::addColumn<double>("db");
    QTest::addColumn<int>("row");  // window row of the top edge of such a bar
    QTest::addColumn<bool>("major");

    // Studio pairs: meters at y 73, 415 px high.
    QTest::newRow("ProgLeft -50") << 0 << true << -50.0 << 488 << true;
    QTest::newRow("ProgLeft -20") << 0 << true << -20.0 << 341 << true;
    QTest::newRow("ProgLeft -3") << 0 << true << -3.0 << 181 << false;
    QTest::newRow("ProgLeft 0") << 0 << true << 0.0 << 143 << true;
    QTest::newRow("ProgRight -40") << 0 << false << -40.0 << 453 << true;
    QTest::newRow("ProgRight -5") << 0 << false << -5.0 << 204 << true;
    QTest::newRow("ProgRight +5") << 0 << false << 5.0 << 73 << true;
    QTest::newRow("SubLeft -10") << 1 << true << -10.0 << 257 << true;
    QTest::newRow("SubRight -30") << 1 << false << -30.0 << 405 << true;
    QTest::newRow("SubRight +3") << 1 << false << 3.0 << 103 << false;
    // Monitor pair: meters at y 199, 291 px high.
    QTest::newRow("CrmLeft -50") << 2 << true << -50.0 << 490 << true;
    QTest::newRow("CrmLeft -10") << 2 << true << -10.0 << 328 << true;
    QTest::newRow("CrmLeft 0") << 2 << true << 0.0 << 249 << true;
    QTest::newRow("CrmRight -20") << 2 << false << -20.0 << 387 << true;
    QTest::newRow("CrmRight -1") << 2 << false << -1.0 << 258 << false;
    QTest::newRow("CrmRight +5") << 2 << false << 5.0 << 199 << true;
}

void TestArtwork::scaleMarksMeetBarTops()
{
    QFETCH(int, pair);
    QFETCH(bool, leftOfPair);
    QFETCH(double, db);
    QFETCH(int, row);
    QFETCH(bool, major);

    const MeterPair &p = meterPairs().at(pair);
    const QRect meter = leftOfPair ? p.left : p.right;
    // The meter's own scale puts the bar top on this row; if this fails the
    // meter's scale changed and the artwork must be generated again.
    const int bar = MeterScale::dinHeights(db, meter.height(), MeterScale::Range{}).bar;
    QCOMPARE(meter.y() + meter.height() - bar, row);

    const int length = major ? kMajorTick : kMinorTick;
    const int first = tickColumn(meter, leftOfPair, length);
    const QRgb mark = tickColor(db).rgb();
    for (int x = first; x < first + length; ++x)
        QCOMPARE(QColor(m_background.pixel(x, row)), QColor(mark));
    // One row thick, and no longer than drawn.
    QVERIFY(m_background.pixel(first, row - 1) != mark);
    QVERIFY(m_background.pixel(first, row + 1) != mark);
    const int beyond = leftOfPair ? first + length : first - 1;
    QVERIFY(m_background.pixel(beyond, row) != mark);
}

void TestArtwork::edgesBlendWithFiller()
{
    const QImage filler = QImage(kFiller).convertToFormat(QImage::Format_RGB32);
    QVERIFY(!filler.isNull());
    // The filler is stretched either way, so it must be one colour, and the
    // artwork's outer frame must be that colour, or a seam shows.
    const QRgb base = filler.pixel(0, 0);
    for (int y = 0; y < filler.height(); y += 7)
        for (int x = 0; x < filler.width(); x += 7)
            QCOMPARE(filler.pixel(x, y), base);

    const int w = m_background.width();
    const int h = m_background.height();
    for (int x = 0; x < w; ++x) {
        QCOMPARE(m_background.pixel(x, 0), base);
        QCOMPARE(m_background.pixel(x, h - 1), base);
    }
    for (int y = 0; y < h; ++y) {
        QCOMPARE(m_background.pixel(0, y), base);
        QCOMPARE(m_background.pixel(w - 1, y), base);
    }
}

void TestArtwork::calmAreas_data()
{
    QTest::addColumn<QRect>("area");

    // Where the program draws its own texts: no marks, no lettering, only
    // the panel's gentle shading.
    QTest::newRow("meter name 1") << QRect(44, 502, 121, 31);
    QTest::newRow("meter name 2") << QRect(194, 502, 131, 31);
    QTest::newRow("meter name 3") << QRect(830, 502, 101, 31);
    QTest::newRow("time caption") << QRect(356, 502, 401, 31);
    QTest::newRow("footer") << QRect(360, 550, 381, 21);
    QTest::newRow("digital clock in the dial") << QRect(348, 260, 410, 111).adjusted(30, 0, -30, 0);
}

void TestArtwork::calmAreas()
{
    QFETCH(QRect, area);

    const QRgb reference = m_background.pixel(area.center());
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const int d = colourDistance(m_background.pixel(x, y), reference);
            if (d > 4)
                QFAIL(qPrintable(QStringLiteral("busy pixel at %1,%2").arg(x).arg(y)));
        }
    }
}

void TestArtwork::resourceIsTheDrawing()
{
    // The committed picture is what the drawing code gives at the design
    // size; if not, the artwork changed and must be generated again.
    const QImage drawn = ArtworkPainter::background(ArtworkPainter::designTarget());
    QCOMPARE(drawn.size(), m_background.size());
    int differing = 0;
    for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < drawn.width(); ++x)
            differing += drawn.pixel(x, y) != m_background.pixel(x, y);
    QCOMPARE(differing, 0);
}

void TestArtwork::marksMeetBarTopsAtSize_data()
{
    QTest::addColumn<QSize>("window");
    QTest::addColumn<qreal>("ratio");

    QTest::newRow("986 x 580") << QSize(986, 580) << qreal(1);
    QTest::newRow("986 x 580 @2") << QSize(986, 580) << qreal(2);
    QTest::newRow("1920 x 1080") << QSize(1920, 1080) << qreal(1);
    QTest::newRow("1920 x 1080 @2") << QSize(1920, 1080) << qreal(2);
    QTest::newRow("3840 x 2160") << QSize(3840, 2160) << qreal(1);
    QTest::newRow("3840 x 2160 @2") << QSize(3840, 2160) << qreal(2);
}

void TestArtwork::marksMeetBarTopsAtSize()
{
    QFETCH(QSize, window);
    QFETCH(qreal, ratio);

    const ScaledLayout::Result layout = ScaledLayout::compute(window);
    QVERIFY(layout.valid);
    const QImage art = windowArtwork(window, ratio);
    QCOMPARE(art.size(), QSize(986, 580).scaled(window * ratio, Qt::KeepAspectRatio));

    // Each meter placed by the layout pass, with the bar it shows at each
    // printed level; the mark's top row must be the bar's top row.
    const double reach = 13.0 * layout.scale * ratio;  // well, gap and a major tick
    for (int m = ScaledLayout::ProgLeft; m <= ScaledLayout::CrmRight; ++m) {
        const QRect rect = layout.rects[m].translated(-layout.dx, -layout.dy);
        const bool leftOfPair = m % 2 == 0;
        const int edge = qRound((leftOfPair ? rect.x() + rect.width() : rect.x()) * ratio);
        const int from = leftOfPair ? edge : edge - int(reach);
        const int to = leftOfPair ? edge + int(reach) : edge;
        TeskPPMMeter meter;
        meter.resize(rect.size());
        for (const Mark &mark : kMarks) {
            meter.assigndBPosition(mark.db);
            meter.calcPosition();
            const int row = qRound((rect.y() + rect.height() - meter.barHeight()) * ratio);
            const QRgb colour = tickColor(mark.db).rgb();
            const QString where = QStringLiteral("meter %1 at %2 dB, row %3").arg(m).arg(mark.db).arg(row);
            QVERIFY2(rowHolds(art, row, from, to, colour), qPrintable(where));
            QVERIFY2(!rowHolds(art, row - 1, from, to, colour), qPrintable(where));
        }
    }
}

void TestArtwork::edgesStaySharpAtSize_data()
{
    QTest::addColumn<QRect>("design");  // area around the element, design pixels

    QTest::newRow("top of the 0 dB mark beside ProgLeft") << QRect(71, 139, 5, 7);
    QTest::newRow("left border of the studio panel") << QRect(27, 200, 7, 3);
    QTest::newRow("digits of -20 between the Prog meters") << QRect(93, 334, 22, 12);
}

void TestArtwork::edgesStaySharpAtSize()
{
    QFETCH(QRect, design);

    // What the window shows at 1920 x 1080 (scale 1.862) against the design
    // size: drawn at size, an edge steps in one pixel as it does at the
    // design size; stretched, the step spreads over two and is far lower.
    const QImage big = windowArtwork(QSize(1920, 1080), 1.0);
    QCOMPARE(big.size(), QSize(1836, 1080));
    const double s = 1836.0 / 986.0;
    const QRect scaled(QPoint(int(design.left() * s), int(design.top() * s)),
                       QPoint(int((design.right() + 1) * s), int((design.bottom() + 1) * s)));
    const int atDesign = steepestStep(m_background, design);
    const int atSize = steepestStep(big, scaled);
    QVERIFY2(atDesign >= 24, "the area holds an edge");
    QVERIFY2(atSize * 10 >= atDesign * 9,
             qPrintable(QStringLiteral("steepest step %1 at 1080p, %2 at the design size").arg(atSize).arg(atDesign)));
}

QTEST_MAIN(TestArtwork)
#include "tst_artwork.moc"
