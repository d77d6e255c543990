// The pictures compiled into the program: sizes, the icon's six images, a
// screen artwork whose dB marks meet the meters' bars, and edges that blend
// with the filler.

#include "artworklayout.h"
#include "meterscale.h"
#include "resourceinit.h"

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

QTEST_MAIN(TestArtwork)
#include "tst_artwork.moc"
