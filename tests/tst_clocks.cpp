#include "clockmath.h"
#include "secondticker.h"
#include "tallylamp.h"
#include "teskanalogclock.h"
#include "teskdigitalclock.h"
#include "testsupport.h"

#include <QFontMetrics>
#include <QImage>
#include <QLocale>
#include <QMetaProperty>
#include <QPainter>
#include <QTransform>
#include <QtTest>

#include <cfloat>
#include <climits>
#include <cmath>
#include <ctime>
#include <limits>

namespace {

constexpr QRgb kClear = 0x00000000;
constexpr QRgb kWhite = 0xffffffff;
constexpr QRgb kRed = 0xffff0000;
constexpr QRgb kBlue = 0xff0000ff;
constexpr QRgb kMagenta = 0xffff00ff;

// The analog clock is rendered at 400 x 400: centre (200, 200), 2 px a unit.
constexpr int kDialPixels = 400;

QImage renderWidget(QWidget &widget)
{
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    // No window background: the clocks paint none, so only their marks show.
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

// The pixel at a point of the 400 x 400 dial, given clockwise from 12 o'clock.
QRgb dialPixel(const QImage &image, double degrees, double radius)
{
    const double rad = qDegreesToRadians(degrees);
    const double x = kDialPixels / 2 + 2 * radius * std::sin(rad);
    const double y = kDialPixels / 2 - 2 * radius * std::cos(rad);
    return image.pixel(int(std::floor(x)), int(std::floor(y)));
}

using TestSupport::PaintCounter;

// Repaints that one action causes on a shown widget. The events are flushed
// before and after, so repaints asked for by two actions are never merged.
template <typename Action>
int paintsCausedBy(PaintCounter &counter, Action action)
{
    QCoreApplication::processEvents();
    counter.paints = 0;
    action();
    QCoreApplication::processEvents();
    return counter.paints;
}

QDateTime at(const QTime &time)
{
    return QDateTime(QDate(2026, 12, 6), time);
}

} // namespace

class TestClocks : public QObject
{
    Q_OBJECT

private:
    QDateTime m_now;

    // Ticks so that the clock shows `time` whatever it showed before: a tick
    // whose second is already shown would be ignored.
    template <typename Clock>
    void showTime(Clock &clock, const QDateTime &time)
    {
        clock.setTimeSource([this] { return m_now; });
        m_now = time.addSecs(-1);
        clock.checkTime();
        m_now = time;
        clock.checkTime();
    }

    // Ten ticks within one second repaint once; the next second once more.
    template <typename Clock>
    void checkRepaintsOncePerSecond()
    {
        Clock clock;
        clock.setTimeSource([this] { return m_now; });
        PaintCounter counter;
        clock.installEventFilter(&counter);
        clock.show();
        QVERIFY(QTest::qWaitForWindowExposed(&clock));

        const QDateTime second = at(QTime(12, 0, 1));
        int paints = 0;
        for (int tenth = 0; tenth < 10; ++tenth) {
            m_now = second.addMSecs(tenth * 100);
            paints += paintsCausedBy(counter, [&clock] { clock.checkTime(); });
        }
        QCOMPARE(paints, 1);
        m_now = second.addSecs(1);
        QCOMPARE(paintsCausedBy(counter, [&clock] { clock.checkTime(); }), 1);
    }

    // Writing the stored value, or an equal copy, repaints nothing; a new
    // value repaints once.
    template <typename Clock>
    void checkWriteRepaintsOnlyOnChange(const QByteArray &property, const QVariant &value)
    {
        Clock clock;
        clock.setTimeSource([this] { return m_now; });  // no real second may tick in
        PaintCounter counter;
        clock.installEventFilter(&counter);
        clock.show();
        QVERIFY(QTest::qWaitForWindowExposed(&clock));

        const QVariant stored = clock.property(property);
        const QVariant copy = value;
        QCOMPARE(paintsCausedBy(counter, [&] { QVERIFY(clock.setProperty(property, stored)); }), 0);
        QCOMPARE(paintsCausedBy(counter, [&] { QVERIFY(clock.setProperty(property, value)); }), 1);
        QCOMPARE(paintsCausedBy(counter, [&] { QVERIFY(clock.setProperty(property, copy)); }), 0);
    }

    // A clock of the given size showing a fixed time, rendered.
    template <typename Clock>
    static QImage shownAt(const QSize &size, const QDateTime &time)
    {
        Clock clock;
        clock.resize(size);
        clock.setTimeSource([time] { return time; });
        clock.checkTime();
        return renderWidget(clock);
    }

    void quietAnalog(TeskAnalogClock &clock)
    {
        clock.resize(kDialPixels, kDialPixels);
        clock.setSecondDots(false);
        clock.setHands(false);
    }

private slots:
    void dialTransform_data();
    void dialTransform();
    void pointerAngles_data();
    void pointerAngles();
    void endTimeRemaining_data();
    void endTimeRemaining();
    void countDownSpan_data();
    void countDownSpan();
    void clockTexts_data();
    void clockTexts();
    void nextCheckDelay_data();
    void nextCheckDelay();
    void sharedTickerFollowsJumps_data();
    void sharedTickerFollowsJumps();
    void sharedTickerWakesOnceASecond();
    void sharedTickerReadsOnceATick();
    void tickerLocalTime_data();
    void tickerLocalTime();

    void analogProperties();
    void secondDots_data();
    void secondDots();
    void pointers_data();
    void pointers();
    void endTimeDrawing_data();
    void endTimeDrawing();
    void countDownRing_data();
    void countDownRing();
    void extremeValuesPaint_data();
    void extremeValuesPaint();
    void dialPlacement();
    void analogFirstPaintShowsTheTime();
    void analogTickRepaintsOncePerSecond();
    void analogWriteRepaintsOnlyOnChange_data();
    void analogWriteRepaintsOnlyOnChange();
    void nanCountDownAlwaysChanges();
    void ringStepRepaintsItsStretch_data();
    void ringStepRepaintsItsStretch();

    void digitalProperties();
    void digitalText_data();
    void digitalText();
    void digitalLines_data();
    void digitalLines();
    void unsetColoursDrawBlack();
    void digitalIgnoresWidgetFont();
    void digitalFirstPaintShowsTheTime();
    void digitalTickRepaintsOncePerSecond();
    void digitalSecondRepaintsItsDigit();
    void digitalWriteRepaintsOnlyOnChange_data();
    void digitalWriteRepaintsOnlyOnChange();

    void onAirText_data();
    void onAirText();
    void lampDrawing_data();
    void lampDrawing();
    void lampSecondRepaintsItsTime();
};

// ---- Pure arithmetic -------------------------------------------------------

void TestClocks::dialTransform_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QPointF>("centre");
    QTest::addColumn<double>("unit");

    QTest::newRow("400x200") << QSize(400, 200) << QPointF(200, 100) << 1.0;
    QTest::newRow("401x201 truncates the centre") << QSize(401, 201) << QPointF(200, 100) << 1.005;
    QTest::newRow("200x400 tall") << QSize(200, 400) << QPointF(100, 200) << 1.0;
    QTest::newRow("410x410 main window") << QSize(410, 410) << QPointF(205, 205) << 2.05;
}

void TestClocks::dialTransform()
{
    QFETCH(QSize, size);
    QFETCH(QPointF, centre);
    QFETCH(double, unit);

    const QTransform t = ClockMath::dialTransform(size.width(), size.height());
    QCOMPARE(t.map(QPointF(0, 0)), centre);
    QCOMPARE(t.map(QPointF(0, -100)), centre - QPointF(0, 100 * unit));
    QCOMPARE(t.map(QPointF(100, 0)), centre + QPointF(100 * unit, 0));
}

void TestClocks::pointerAngles_data()
{
    QTest::addColumn<QTime>("time");
    QTest::addColumn<double>("hour");
    QTest::addColumn<double>("minute");

    QTest::newRow("00:00:00") << QTime(0, 0, 0) << 0.0 << 0.0;
    QTest::newRow("10:30:30") << QTime(10, 30, 30) << 315.0 << 183.0;
    QTest::newRow("13:30:00 afternoon hour") << QTime(13, 30, 0) << 405.0 << 180.0;
    QTest::newRow("23:59:30") << QTime(23, 59, 30) << 719.5 << 357.0;
}

void TestClocks::pointerAngles()
{
    QFETCH(QTime, time);
    QFETCH(double, hour);
    QFETCH(double, minute);

    QCOMPARE(ClockMath::hourPointerAngle(time.hour(), time.minute()), hour);
    QCOMPARE(ClockMath::minutePointerAngle(time.minute(), time.second()), minute);
}

void TestClocks::endTimeRemaining_data()
{
    QTest::addColumn<int>("endHour");
    QTest::addColumn<int>("endMinute");
    QTest::addColumn<int>("endSecond");
    QTest::addColumn<QTime>("time");
    QTest::addColumn<qint64>("remaining");
    QTest::addColumn<bool>("marker");
    QTest::addColumn<int>("arcSpan");

    // Daily end time 17:30:00.
    QTest::newRow("17:30 at 00:00:00") << 17 << 30 << 0 << QTime(0, 0, 0) << qint64(63000) << true << 0;
    QTest::newRow("17:30 at 17:29:44") << 17 << 30 << 0 << QTime(17, 29, 44) << qint64(16) << true << 0;
    QTest::newRow("17:30 at 17:29:45") << 17 << 30 << 0 << QTime(17, 29, 45) << qint64(15) << true << 1440;
    QTest::newRow("17:30 at 17:29:59") << 17 << 30 << 0 << QTime(17, 29, 59) << qint64(1) << true << 96;
    QTest::newRow("17:30 at 17:30:00") << 17 << 30 << 0 << QTime(17, 30, 0) << qint64(0) << true << 0;
    QTest::newRow("17:30 at 17:30:01") << 17 << 30 << 0 << QTime(17, 30, 1) << qint64(-1) << false << 0;
    QTest::newRow("17:30 at 23:59:59") << 17 << 30 << 0 << QTime(23, 59, 59) << qint64(-23399) << false << 0;
    // Daily end time 00:00:05, reached across midnight.
    QTest::newRow("00:00:05 at 23:59:49") << 0 << 0 << 5 << QTime(23, 59, 49) << qint64(-86384) << false << 0;
    QTest::newRow("00:00:05 at 23:59:50") << 0 << 0 << 5 << QTime(23, 59, 50) << qint64(15) << true << 1440;
    QTest::newRow("00:00:05 at 00:00:04") << 0 << 0 << 5 << QTime(0, 0, 4) << qint64(1) << true << 96;
    QTest::newRow("00:00:05 at 00:00:05") << 0 << 0 << 5 << QTime(0, 0, 5) << qint64(0) << true << 0;
    QTest::newRow("00:00:05 at 00:00:06") << 0 << 0 << 5 << QTime(0, 0, 6) << qint64(-1) << false << 0;
    // Hourly end time at minute 0, second 5.
    QTest::newRow("hourly :00:05 at 10:59:49") << 24 << 0 << 5 << QTime(10, 59, 49) << qint64(-3584) << true << 0;
    QTest::newRow("hourly :00:05 at 10:59:50") << 24 << 0 << 5 << QTime(10, 59, 50) << qint64(15) << true << 1440;
    QTest::newRow("hourly :00:05 at 11:00:04") << 24 << 0 << 5 << QTime(11, 0, 4) << qint64(1) << true << 96;
    QTest::newRow("hourly :00:05 at 11:00:05") << 24 << 0 << 5 << QTime(11, 0, 5) << qint64(0) << true << 0;
    QTest::newRow("hourly 99 :00:05 at 11:30:00") << 99 << 0 << 5 << QTime(11, 30, 0) << qint64(-1795) << true << 0;
    // Values no dial needs must not overflow.
    QTest::newRow("end hour INT_MIN") << INT_MIN << 0 << 0 << QTime(12, 0, 0)
                                      << qint64(INT_MIN) * 3600 - 43200 + 86400 << false << 0;
    QTest::newRow("hourly, end minute INT_MAX") << 24 << INT_MAX << 0 << QTime(12, 0, 0)
                                                << qint64(INT_MAX) * 60 << true << 0;
}

void TestClocks::endTimeRemaining()
{
    QFETCH(int, endHour);
    QFETCH(int, endMinute);
    QFETCH(int, endSecond);
    QFETCH(QTime, time);
    QFETCH(qint64, remaining);
    QFETCH(bool, marker);
    QFETCH(int, arcSpan);

    const qint64 r = ClockMath::endTimeRemaining(endHour, endMinute, endSecond,
                                                 time.hour(), time.minute(), time.second());
    QCOMPARE(r, remaining);
    QCOMPARE(ClockMath::endTimeMarkerShown(endHour, r), marker);
    QCOMPARE(ClockMath::endTimeArcSpan(r), arcSpan);
}

void TestClocks::countDownSpan_data()
{
    QTest::addColumn<float>("time");
    QTest::addColumn<bool>("ring");
    QTest::addColumn<int>("span");

    QTest::newRow("15: quarter counter-clockwise") << 15.0f << true << 1440;
    QTest::newRow("60: full ring") << 60.0f << true << 5760;
    QTest::newRow("0.5: 48 sixteenths") << 0.5f << true << 48;
    QTest::newRow("-15: quarter clockwise") << -15.0f << true << -1440;
    QTest::newRow("0.1 truncates toward zero") << 0.1f << true << 9;
    QTest::newRow("-0.1 truncates toward zero") << -0.1f << true << -9;
    QTest::newRow("0: no ring") << 0.0f << false << 0;
    QTest::newRow("-0: no ring") << -0.0f << false << 0;
    QTest::newRow("NaN: no ring") << std::numeric_limits<float>::quiet_NaN() << false << 0;
    QTest::newRow("+inf: no ring") << std::numeric_limits<float>::infinity() << false << 0;
    QTest::newRow("-inf: no ring") << -std::numeric_limits<float>::infinity() << false << 0;
    QTest::newRow("1e30 saturates") << 1e30f << true << INT_MAX;
    QTest::newRow("FLT_MAX saturates") << FLT_MAX << true << INT_MAX;
    QTest::newRow("-1e30 saturates") << -1e30f << true << INT_MIN;
}

void TestClocks::countDownSpan()
{
    QFETCH(float, time);
    QFETCH(bool, ring);
    QFETCH(int, span);

    const std::optional<int> result = ClockMath::countDownSpan(time);
    QCOMPARE(result.has_value(), ring);
    if (ring)
        QCOMPARE(*result, span);
}

void TestClocks::clockTexts_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("time");
    QTest::addColumn<QString>("date");

    QTest::newRow("09:05:03 morning")
        << QDateTime(QDate(2026, 12, 6), QTime(9, 5, 3)) << "09:05:03" << "Sun 6 Dec 2026";
    QTest::newRow("13:00:00 afternoon")
        << QDateTime(QDate(2026, 10, 10), QTime(13, 0, 0)) << "13:00:00" << "Sat 10 Oct 2026";
    QTest::newRow("00:00:00 midnight, 1st")
        << QDateTime(QDate(2026, 1, 1), QTime(0, 0, 0)) << "00:00:00" << "Thu 1 Jan 2026";
    QTest::newRow("23:59:59, 9th")
        << QDateTime(QDate(2026, 9, 9), QTime(23, 59, 59)) << "23:59:59" << "Wed 9 Sep 2026";
    QTest::newRow("leap day")
        << QDateTime(QDate(2024, 2, 29), QTime(12, 0, 0)) << "12:00:00" << "Thu 29 Feb 2024";
}

void TestClocks::clockTexts()
{
    QFETCH(QDateTime, when);
    QFETCH(QString, time);
    QFETCH(QString, date);

    QCOMPARE(ClockMath::timeText(when.time()), time);
    QCOMPARE(ClockMath::dateText(when.date(), QLocale(QLocale::English, QLocale::UnitedStates)), date);
}

// ---- Analog clock ----------------------------------------------------------

void TestClocks::nextCheckDelay_data()
{
    QTest::addColumn<qint64>("now");
    QTest::addColumn<qint64>("aim");
    QTest::addColumn<int>("delay");

    // A second boundary of 2026-12-06; ticks aim 1 ms past it, checks come
    // at most 100 ms apart.
    constexpr qint64 kSecond = Q_INT64_C(1796558400000);
    QTest::newRow("on the aim: the next second") << kSecond + 1 << kSecond + 1001 << 100;
    QTest::newRow("a late tick, x.004") << kSecond + 4 << kSecond + 1001 << 100;
    QTest::newRow("x.901: the last 100 ms") << kSecond + 901 << kSecond + 1001 << 100;
    QTest::newRow("x.904: 97 ms to the aim") << kSecond + 904 << kSecond + 1001 << 97;
    QTest::newRow("x.999, woken early") << kSecond + 999 << kSecond + 1001 << 2;
    QTest::newRow("on the boundary") << kSecond << kSecond + 1 << 1;
    QTest::newRow("before the epoch, x.999") << qint64(-1) << qint64(1) << 2;
    QTest::newRow("before the epoch, x.001") << qint64(-999) << qint64(1) << 100;
    constexpr qint64 kEnd = std::numeric_limits<qint64>::max();  // ...807 ms: 194 ms to the aim
    QTest::newRow("the end of time stays there") << kEnd << kEnd << 100;
}

void TestClocks::nextCheckDelay()
{
    QFETCH(qint64, now);
    QFETCH(qint64, aim);
    QFETCH(int, delay);
    QCOMPARE(ClockMath::nextBoundaryAim(now), aim);
    QCOMPARE(ClockMath::nextCheckDelay(now), delay);
}

void TestClocks::sharedTickerFollowsJumps_data()
{
    QTest::addColumn<QDateTime>("from");
    QTest::addColumn<QDateTime>("to");

    // Whole hours and days leave the second as it was.
    QTest::newRow("forward one hour") << at(QTime(12, 0, 5, 500)) << at(QTime(13, 0, 5, 500));
    QTest::newRow("back two and a half hours") << at(QTime(12, 0, 5, 500)) << at(QTime(9, 30, 5, 500));
    QTest::newRow("back one day") << at(QTime(12, 0, 5, 500)) << at(QTime(12, 0, 5, 500)).addDays(-1);
}

void TestClocks::sharedTickerFollowsJumps()
{
    QFETCH(QDateTime, from);
    QFETCH(QDateTime, to);

    // The injected wall clock stands still, so only the jump changes it.
    m_now = from;
    SecondTicker ticker;
    ticker.setWallClock([this] { return m_now.toMSecsSinceEpoch(); });
    QCOMPARE(ticker.nextDelay(), 100);  // at x.500: a check every 100 ms

    TeskAnalogClock analog;
    TeskDigitalClock digital;
    analog.resize(kDialPixels, kDialPixels);
    digital.resize(410, 111);
    analog.setTimeSource([this] { return m_now; });
    digital.setTimeSource([this] { return m_now; });
    analog.setTicker(&ticker);
    digital.setTicker(&ticker);

    for (const QDateTime &time : {from, to}) {
        m_now = time;
        const QImage analogThen = shownAt<TeskAnalogClock>(analog.size(), time);
        const QImage digitalThen = shownAt<TeskDigitalClock>(digital.size(), time);
        QTRY_COMPARE(renderWidget(analog), analogThen);
        QTRY_COMPARE(renderWidget(digital), digitalThen);
    }
}

void TestClocks::sharedTickerWakesOnceASecond()
{
#ifndef Q_OS_LINUX
    QSKIP("Only Linux tells the ticker of the system's second");
#endif
    // On the system clock: each tick just past a second boundary, and none
    // between, so three ticks span two whole seconds.
    SecondTicker ticker;
    QVector<qint64> ticks;
    connect(&ticker, &SecondTicker::tick, this, [&ticks] { ticks.append(QDateTime::currentMSecsSinceEpoch()); });
    QTRY_VERIFY_WITH_TIMEOUT(ticks.size() >= 3, 5000);
    for (const qint64 at : qAsConst(ticks))
        QVERIFY2(at % 1000 < 100, qPrintable(QStringLiteral("a tick at x.%1").arg(at % 1000, 3, 10, QLatin1Char('0'))));
    QVERIFY2(ticks.at(2) - ticks.at(0) >= 1900, qPrintable(QStringLiteral("3 ticks in %1 ms").arg(ticks.at(2) - ticks.at(0))));
}

void TestClocks::sharedTickerReadsOnceATick()
{
    // A wall clock that moves on with every reading: whoever asks during a
    // tick gets that tick's instant, and the next tick a later one.
    qint64 wall = at(QTime(12, 0, 5, 950)).toMSecsSinceEpoch();
    SecondTicker ticker;
    ticker.setWallClock([&wall] { return wall += 7; });
    QVector<QDateTime> seen;
    connect(&ticker, &SecondTicker::tick, this, [&] { seen << ticker.now() << ticker.now(); });
    QTRY_VERIFY(seen.size() >= 4);
    QCOMPARE(seen.at(1), seen.at(0));
    QCOMPARE(seen.at(3), seen.at(2));
    QVERIFY(seen.at(2) > seen.at(0));
}

void TestClocks::tickerLocalTime_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<qint64>("msecs");

    const auto utc = [](int y, int mo, int d, int h, int mi, int s, int ms) {
        return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC).toMSecsSinceEpoch();
    };
    QTest::newRow("summer, Amsterdam") << QByteArray("Europe/Amsterdam") << utc(2026, 7, 1, 12, 0, 0, 250);
    QTest::newRow("the hour that repeats") << QByteArray("Europe/Amsterdam") << utc(2026, 10, 25, 1, 0, 0, 0);
    QTest::newRow("summer time begins") << QByteArray("Europe/Amsterdam") << utc(2026, 3, 29, 1, 0, 0, 999);
    QTest::newRow("before 1970") << QByteArray("America/New_York") << qint64(-1500);
    QTest::newRow("UTC") << QByteArray("UTC") << utc(2026, 12, 8, 23, 59, 59, 999);
    QTest::newRow("past any calendar") << QByteArray("UTC") << std::numeric_limits<qint64>::max();
    QTest::newRow("before any calendar") << QByteArray("UTC") << std::numeric_limits<qint64>::min();
}

// The ticker's local time agrees with Qt's in the zone set on the system,
// instant and offset both.
void TestClocks::tickerLocalTime()
{
    QFETCH(QByteArray, zone);
    QFETCH(qint64, msecs);

    const QByteArray saved = qgetenv("TZ");
    const bool wasSet = qEnvironmentVariableIsSet("TZ");
    qputenv("TZ", zone);
    SecondTicker ticker;
    ticker.setWallClock([msecs] { return msecs; });
    const QDateTime shown = ticker.now();
    const QDateTime expected = QDateTime::fromMSecsSinceEpoch(msecs);
    wasSet ? qputenv("TZ", saved) : qunsetenv("TZ");
    tzset();
    QCOMPARE(shown.date(), expected.date());
    QCOMPARE(shown.time(), expected.time());
    if (expected.isValid())
        QCOMPARE(shown.toMSecsSinceEpoch(), msecs);
}

void TestClocks::analogProperties()
{
    // Forms and the main window write these by name, in this order.
    const QStringList expected = {
        "HourLines:bool", "HourLinesLength:int", "HourLinesWidth:int", "HourLinesColor:QColor",
        "MinuteLines:bool", "MinuteLinesLength:int", "MinuteLinesWidth:int", "MinuteLinesColor:QColor",
        "SecondDots:bool", "SecondDotsCountDown:bool", "DotSize:int", "DotColor:QColor",
        "Hands:bool", "HourHandColor:QColor", "HourHandBorder:int", "HourHandLength:int",
        "HourHandWidth:int", "MinuteHandColor:QColor", "MinuteHandBorder:int",
        "MinuteHandLength:int", "MinuteHandWidth:int", "EndTime:bool", "EndTimeLength:int",
        "EndTimeWidth:int", "EndTimeHour:int", "EndTimeMinute:int", "EndTimeSecond:int",
        "EndTimeColor:QColor", "CountDownTime:float", "CountDownWidth:int",
        "CountDownSpacing:int", "CountDownColor:QColor"};
    const QMetaObject &mo = TeskAnalogClock::staticMetaObject;
    QStringList declared;
    for (int i = mo.propertyOffset(); i < mo.propertyCount(); ++i)
        declared << QString("%1:%2").arg(mo.property(i).name(), mo.property(i).typeName());
    QCOMPARE(declared, expected);
    QCOMPARE(mo.methodCount() - mo.methodOffset(), 1);
    QCOMPARE(mo.method(mo.methodOffset()).methodSignature(), QByteArray("checkTime()"));
}

void TestClocks::secondDots_data()
{
    QTest::addColumn<QTime>("time");
    QTest::addColumn<bool>("countDown");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");

    QTest::newRow("normal, second 0") << QTime(12, 0, 0) << false << 0 << 0;
    QTest::newRow("normal, second 59") << QTime(12, 0, 59) << false << 0 << 59;
    QTest::newRow("normal, 10:30:30") << QTime(10, 30, 30) << false << 0 << 30;
    QTest::newRow("count-down, second 0") << QTime(12, 0, 0) << true << 0 << 59;
    QTest::newRow("count-down, second 59") << QTime(12, 0, 59) << true << 59 << 59;
    QTest::newRow("count-down, second 20") << QTime(12, 0, 20) << true << 20 << 59;
}

void TestClocks::secondDots()
{
    QFETCH(QTime, time);
    QFETCH(bool, countDown);
    QFETCH(int, first);
    QFETCH(int, last);

    TeskAnalogClock clock;
    quietAnalog(clock);
    clock.setSecondDots(true);
    clock.setSecondDotsCountDown(countDown);
    clock.setDotSize(4);
    clock.setDotColor(Qt::white);
    showTime(clock, at(time));
    const QImage image = renderWidget(clock);

    // A dot of size 4 is centred 94 units out, dot i at i x 6 degrees.
    for (int i = 0; i < 60; ++i) {
        const bool shown = i >= first && i <= last;
        QCOMPARE(dialPixel(image, i * 6.0, 94), shown ? kWhite : kClear);
    }
}

void TestClocks::pointers_data()
{
    QTest::addColumn<QTime>("time");
    QTest::addColumn<double>("degrees");
    QTest::addColumn<double>("radius");
    QTest::addColumn<QRgb>("pixel");

    // The hour pointer spans radius 64 to 76, the minute pointer 64 to 92.
    QTest::newRow("10:30:30 hour at 315") << QTime(10, 30, 30) << 315.0 << 68.0 << kRed;
    QTest::newRow("10:30:30 hour not at 300") << QTime(10, 30, 30) << 300.0 << 68.0 << kClear;
    QTest::newRow("10:30:30 hour not at 330") << QTime(10, 30, 30) << 330.0 << 68.0 << kClear;
    QTest::newRow("10:30:30 minute at 183") << QTime(10, 30, 30) << 183.0 << 85.0 << kBlue;
    QTest::newRow("10:30:30 minute not at 180") << QTime(10, 30, 30) << 180.0 << 85.0 << kClear;
    QTest::newRow("10:30:30 minute not at 186") << QTime(10, 30, 30) << 186.0 << 85.0 << kClear;
    QTest::newRow("13:30:00 hour at 45") << QTime(13, 30, 0) << 45.0 << 68.0 << kRed;
    QTest::newRow("10:30:30 hour tip ends at 76") << QTime(10, 30, 30) << 315.0 << 78.0 << kClear;
    QTest::newRow("10:30:30 minute base at 64") << QTime(10, 30, 30) << 183.0 << 62.0 << kClear;
}

void TestClocks::pointers()
{
    QFETCH(QTime, time);
    QFETCH(double, degrees);
    QFETCH(double, radius);
    QFETCH(QRgb, pixel);

    // The main window's pointers, in opaque colours.
    TeskAnalogClock clock;
    quietAnalog(clock);
    clock.setHands(true);
    clock.setHourHandColor(Qt::red);
    clock.setHourHandBorder(24);
    clock.setHourHandLength(12);
    clock.setHourHandWidth(12);
    clock.setMinuteHandColor(Qt::blue);
    clock.setMinuteHandBorder(8);
    clock.setMinuteHandLength(28);
    clock.setMinuteHandWidth(8);
    showTime(clock, at(time));

    QCOMPARE(dialPixel(renderWidget(clock), degrees, radius), pixel);
}

void TestClocks::endTimeDrawing_data()
{
    QTest::addColumn<int>("endHour");
    QTest::addColumn<int>("endMinute");
    QTest::addColumn<int>("endSecond");
    QTest::addColumn<QTime>("time");
    QTest::addColumn<double>("markerAt");
    QTest::addColumn<bool>("marker");
    QTest::addColumn<double>("arcDegrees");

    QTest::newRow("17:30 at 17:29:44, marker only") << 17 << 30 << 0 << QTime(17, 29, 44) << 180.0 << true << 0.0;
    QTest::newRow("17:30 at 17:29:45, 90 degree arc") << 17 << 30 << 0 << QTime(17, 29, 45) << 180.0 << true << 90.0;
    QTest::newRow("17:30 at 17:29:59, 6 degree arc") << 17 << 30 << 0 << QTime(17, 29, 59) << 180.0 << true << 6.0;
    QTest::newRow("17:30 at 17:30:00, marker alone") << 17 << 30 << 0 << QTime(17, 30, 0) << 180.0 << true << 0.0;
    QTest::newRow("17:30 at 17:30:01, nothing") << 17 << 30 << 0 << QTime(17, 30, 1) << 180.0 << false << 0.0;
    QTest::newRow("00:00:05 at 23:59:49, nothing") << 0 << 0 << 5 << QTime(23, 59, 49) << 0.5 << false << 0.0;
    QTest::newRow("00:00:05 at 23:59:50, 90 degree arc") << 0 << 0 << 5 << QTime(23, 59, 50) << 0.5 << true << 90.0;
    QTest::newRow("00:00:05 at 00:00:04, 6 degree arc") << 0 << 0 << 5 << QTime(0, 0, 4) << 0.5 << true << 6.0;
    QTest::newRow("00:00:05 at 00:00:06, nothing") << 0 << 0 << 5 << QTime(0, 0, 6) << 0.5 << false << 0.0;
    QTest::newRow("hourly :00:05 at 10:59:49, marker only") << 24 << 0 << 5 << QTime(10, 59, 49) << 0.5 << true << 0.0;
    QTest::newRow("hourly :00:05 at 10:59:50, 90 degree arc") << 24 << 0 << 5 << QTime(10, 59, 50) << 0.5 << true << 90.0;
    QTest::newRow("hourly :00:05 at 11:00:05, marker alone") << 24 << 0 << 5 << QTime(11, 0, 5) << 0.5 << true << 0.0;
}

void TestClocks::endTimeDrawing()
{
    QFETCH(int, endHour);
    QFETCH(int, endMinute);
    QFETCH(int, endSecond);
    QFETCH(QTime, time);
    QFETCH(double, markerAt);
    QFETCH(bool, marker);
    QFETCH(double, arcDegrees);

    TeskAnalogClock clock;
    quietAnalog(clock);
    clock.setEndTime(true);
    clock.setEndTimeHour(endHour);
    clock.setEndTimeMinute(endMinute);
    clock.setEndTimeSecond(endSecond);
    showTime(clock, at(time));
    const QImage image = renderWidget(clock);

    // The marker covers radius 92 to 99, the arc (radius 99) 98 to 100; the
    // arc runs counter-clockwise from the marker.
    QCOMPARE(dialPixel(image, markerAt, 95), marker ? kRed : kClear);
    if (arcDegrees > 0) {
        QCOMPARE(dialPixel(image, markerAt - arcDegrees + 2, 99), kRed);
        QCOMPARE(dialPixel(image, markerAt - arcDegrees - 3, 99), kClear);
    } else {
        QCOMPARE(dialPixel(image, markerAt - 4, 99), kClear);
    }
    QCOMPARE(dialPixel(image, markerAt + 4, 99), kClear);
}

void TestClocks::countDownRing_data()
{
    QTest::addColumn<float>("countDown");
    QTest::addColumn<QList<double>>("drawnAt");
    QTest::addColumn<QList<double>>("clearAt");

    using L = QList<double>;
    QTest::newRow("15: 12 to 9 o'clock") << 15.0f << L{-2, -45, -88} << L{3, 45, -95, 180};
    QTest::newRow("-15: 12 to 3 o'clock") << -15.0f << L{2, 45, 88} << L{-3, -45, 95, 180};
    QTest::newRow("60: full ring") << 60.0f << L{0, 90, 180, 270} << L{};
    QTest::newRow("0.5: 3 degrees") << 0.5f << L{-1.5} << L{-6, 3};
    QTest::newRow("0: none") << 0.0f << L{} << L{0, -45, 45};
    QTest::newRow("NaN: none") << std::numeric_limits<float>::quiet_NaN() << L{} << L{0, -45, 45};
    QTest::newRow("infinity: none") << std::numeric_limits<float>::infinity() << L{} << L{0, -45, 45};
    QTest::newRow("1e30: full ring") << 1e30f << L{0, 90, 180, 270} << L{};
}

void TestClocks::countDownRing()
{
    QFETCH(float, countDown);
    QFETCH(QList<double>, drawnAt);
    QFETCH(QList<double>, clearAt);

    TeskAnalogClock clock;
    quietAnalog(clock);
    clock.setCountDownColor(Qt::magenta);
    clock.setCountDownTime(countDown);
    showTime(clock, at(QTime(12, 0, 0)));
    const QImage image = renderWidget(clock);

    // Hour lines 8 long and a spacing of 1 put the ring at radius 87.
    for (double degrees : drawnAt)
        QCOMPARE(dialPixel(image, degrees, 87), kMagenta);
    for (double degrees : clearAt)
        QCOMPARE(dialPixel(image, degrees, 87), kClear);
}

void TestClocks::extremeValuesPaint_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<float>("countDown");

    QTest::newRow("INT_MAX") << INT_MAX << FLT_MAX;
    QTest::newRow("INT_MIN") << INT_MIN << -FLT_MAX;
    QTest::newRow("-1") << -1 << std::numeric_limits<float>::quiet_NaN();
}

void TestClocks::extremeValuesPaint()
{
    QFETCH(int, value);
    QFETCH(float, countDown);

    // The clock takes any value its owner writes; none may overflow on the
    // way to the painter (the sanitizer build checks this).
    TeskAnalogClock clock;
    clock.resize(kDialPixels, kDialPixels);
    const QMetaObject &mo = TeskAnalogClock::staticMetaObject;
    for (int i = mo.propertyOffset(); i < mo.propertyCount(); ++i) {
        const QMetaProperty p = mo.property(i);
        if (p.type() == QVariant::Int)
            QVERIFY(p.write(&clock, value));
        else if (p.type() == QVariant::Bool)
            QVERIFY(p.write(&clock, true));
    }
    clock.setCountDownTime(countDown);
    showTime(clock, at(QTime(23, 59, 59)));
    renderWidget(clock);

    // Written back to the defaults, the clock draws exactly what a new one
    // draws: nothing of the extreme values stays behind in its paint tools.
    TeskAnalogClock fresh;
    fresh.resize(kDialPixels, kDialPixels);
    for (int i = mo.propertyOffset(); i < mo.propertyCount(); ++i)
        QVERIFY(mo.property(i).write(&clock, mo.property(i).read(&fresh)));
    showTime(fresh, at(QTime(23, 59, 59)));
    QCOMPARE(renderWidget(clock), renderWidget(fresh));
}

void TestClocks::dialPlacement()
{
    TeskAnalogClock clock;
    clock.resize(401, 201);
    clock.setHands(false);
    clock.setDotSize(4);
    clock.setDotColor(Qt::white);
    showTime(clock, at(QTime(12, 0, 15)));
    const QImage image = renderWidget(clock);

    // Dots 94 units out at 1.005 px a unit from (200, 100): dot 0 at
    // (200, 5.53), dot 15 at (294.47, 100); nothing beyond the last dot.
    QCOMPARE(image.pixel(200, 5), kWhite);
    QCOMPARE(image.pixel(294, 100), kWhite);
    QCOMPARE(image.pixel(106, 100), kClear);
    QCOMPARE(image.pixel(200, 196), kClear);
}

void TestClocks::analogFirstPaintShowsTheTime()
{
    // Rendered before any tick, the face reads the time itself.
    TeskAnalogClock clock;
    clock.resize(kDialPixels, kDialPixels);
    clock.setHourHandColor(Qt::red);
    clock.setTimeSource([] { return at(QTime(3, 0, 15)); });
    const QImage image = renderWidget(clock);

    // The hour pointer (radius 76 to 88) at 3 o'clock, none at 12.
    QCOMPARE(dialPixel(image, 90, 82), kRed);
    QCOMPARE(dialPixel(image, 0, 82), kClear);
}

void TestClocks::analogTickRepaintsOncePerSecond()
{
    checkRepaintsOncePerSecond<TeskAnalogClock>();
}

void TestClocks::analogWriteRepaintsOnlyOnChange_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QVariant>("value");

    const QVariant colour = QColor(1, 2, 3, 4);
    QTest::newRow("HourLines") << QByteArray("HourLines") << QVariant(true);
    QTest::newRow("HourLinesLength") << QByteArray("HourLinesLength") << QVariant(10);
    QTest::newRow("HourLinesWidth") << QByteArray("HourLinesWidth") << QVariant(3);
    QTest::newRow("HourLinesColor") << QByteArray("HourLinesColor") << colour;
    QTest::newRow("MinuteLines") << QByteArray("MinuteLines") << QVariant(true);
    QTest::newRow("MinuteLinesLength") << QByteArray("MinuteLinesLength") << QVariant(5);
    QTest::newRow("MinuteLinesWidth") << QByteArray("MinuteLinesWidth") << QVariant(2);
    QTest::newRow("MinuteLinesColor") << QByteArray("MinuteLinesColor") << colour;
    QTest::newRow("SecondDots") << QByteArray("SecondDots") << QVariant(false);
    QTest::newRow("SecondDotsCountDown") << QByteArray("SecondDotsCountDown") << QVariant(true);
    QTest::newRow("DotSize") << QByteArray("DotSize") << QVariant(4);
    QTest::newRow("DotColor") << QByteArray("DotColor") << colour;
    QTest::newRow("Hands") << QByteArray("Hands") << QVariant(false);
    QTest::newRow("HourHandColor") << QByteArray("HourHandColor") << colour;
    QTest::newRow("HourHandBorder") << QByteArray("HourHandBorder") << QVariant(24);
    QTest::newRow("HourHandLength") << QByteArray("HourHandLength") << QVariant(13);
    QTest::newRow("HourHandWidth") << QByteArray("HourHandWidth") << QVariant(14);
    QTest::newRow("MinuteHandColor") << QByteArray("MinuteHandColor") << colour;
    QTest::newRow("MinuteHandBorder") << QByteArray("MinuteHandBorder") << QVariant(8);
    QTest::newRow("MinuteHandLength") << QByteArray("MinuteHandLength") << QVariant(28);
    QTest::newRow("MinuteHandWidth") << QByteArray("MinuteHandWidth") << QVariant(9);
    QTest::newRow("EndTime") << QByteArray("EndTime") << QVariant(true);
    QTest::newRow("EndTimeLength") << QByteArray("EndTimeLength") << QVariant(9);
    QTest::newRow("EndTimeWidth") << QByteArray("EndTimeWidth") << QVariant(3);
    QTest::newRow("EndTimeHour") << QByteArray("EndTimeHour") << QVariant(17);
    QTest::newRow("EndTimeMinute") << QByteArray("EndTimeMinute") << QVariant(30);
    QTest::newRow("EndTimeSecond") << QByteArray("EndTimeSecond") << QVariant(5);
    QTest::newRow("EndTimeColor") << QByteArray("EndTimeColor") << colour;
    QTest::newRow("CountDownTime") << QByteArray("CountDownTime") << QVariant(15.0f);
    QTest::newRow("CountDownWidth") << QByteArray("CountDownWidth") << QVariant(3);
    QTest::newRow("CountDownSpacing") << QByteArray("CountDownSpacing") << QVariant(2);
    QTest::newRow("CountDownColor") << QByteArray("CountDownColor") << colour;
}

void TestClocks::analogWriteRepaintsOnlyOnChange()
{
    QFETCH(QByteArray, property);
    QFETCH(QVariant, value);
    checkWriteRepaintsOnlyOnChange<TeskAnalogClock>(property, value);
}

void TestClocks::nanCountDownAlwaysChanges()
{
    TeskAnalogClock clock;
    clock.setTimeSource([this] { return m_now; });
    clock.resize(kDialPixels, kDialPixels);
    PaintCounter counter;
    clock.installEventFilter(&counter);
    clock.show();
    QVERIFY(QTest::qWaitForWindowExposed(&clock));

    const float nan = std::numeric_limits<float>::quiet_NaN();
    QCOMPARE(paintsCausedBy(counter, [&] { clock.setCountDownTime(nan); }), 1);
    QCOMPARE(paintsCausedBy(counter, [&] { clock.setCountDownTime(nan); }), 1);
    QCOMPARE(paintsCausedBy(counter, [&] { clock.setCountDownTime(0.0f); }), 1);
    QCOMPARE(paintsCausedBy(counter, [&] { clock.setCountDownTime(0.0f); }), 0);
}

void TestClocks::ringStepRepaintsItsStretch_data()
{
    QTest::addColumn<float>("from");
    QTest::addColumn<float>("to");
    QTest::addColumn<int>("maxPercent");  // of the face's area
    QTest::newRow("one second off") << 45.0f << 44.0f << 3;
    QTest::newRow("tenths") << 12.3f << 11.3f << 3;
    QTest::newRow("last second gone") << 0.5f << 0.0f << 2;
    QTest::newRow("full ring shrinks") << 75.0f << 59.0f << 3;
    QTest::newRow("full ring stays") << 3600.0f << 3599.0f << 0;
    QTest::newRow("half a ring added") << 10.0f << 40.0f << 75;
}

// A step of the ring repaints the stretch between its two ends, and every
// pixel that the step changes lies inside what was repainted.
void TestClocks::ringStepRepaintsItsStretch()
{
    QFETCH(float, from);
    QFETCH(float, to);
    QFETCH(int, maxPercent);

    TeskAnalogClock clock;
    clock.setTimeSource([this] { return m_now; });
    clock.resize(kDialPixels, kDialPixels);
    clock.setCountDownTime(from);
    const auto render = [&clock] {
        QImage image(clock.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        clock.render(&image);
        return image;
    };
    const QImage before = render();
    PaintCounter counter;
    clock.installEventFilter(&counter);
    clock.show();
    QVERIFY(QTest::qWaitForWindowExposed(&clock));
    QTRY_VERIFY(counter.paints > 0);
    QCoreApplication::processEvents();
    counter.painted = QRegion();
    clock.setCountDownTime(to);
    QCoreApplication::processEvents();
    const QRegion repainted = counter.painted;  // render() below paints too
    const QImage after = render();

    QRegion changed;
    for (int y = 0; y < after.height(); ++y)
        for (int x = 0; x < after.width(); ++x)
            if (before.pixel(x, y) != after.pixel(x, y))
                changed += QRect(x, y, 1, 1);
    QCOMPARE(changed.subtracted(repainted), QRegion());
    qint64 area = 0;
    for (const QRect &r : repainted)
        area += qint64(r.width()) * r.height();
    QVERIFY2(area * 100 <= qint64(maxPercent) * kDialPixels * kDialPixels,
             qPrintable(QStringLiteral("%1 of %2 px").arg(area).arg(kDialPixels * kDialPixels)));
}

// ---- Digital clock ---------------------------------------------------------

void TestClocks::digitalProperties()
{
    const QStringList expected = {
        "TimeDisplay:bool", "TimeDisplayFont:QFont", "TimeDisplayFontColor:QColor",
        "DateDisplay:bool", "DateDisplayFont:QFont", "DateDisplayFontColor:QColor"};
    const QMetaObject &mo = TeskDigitalClock::staticMetaObject;
    QStringList declared;
    for (int i = mo.propertyOffset(); i < mo.propertyCount(); ++i)
        declared << QString("%1:%2").arg(mo.property(i).name(), mo.property(i).typeName());
    QCOMPARE(declared, expected);
    QCOMPARE(mo.methodCount() - mo.methodOffset(), 1);
    QCOMPARE(mo.method(mo.methodOffset()).methodSignature(), QByteArray("checkTime()"));
}

namespace {

QFont pixelFont(int pixels)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixels);
    return font;
}

// What the digital clock should show: each text centred in its box.
QImage expectedLines(QSize size, const QString &time, const QRect &timeBox,
                     const QString &date, const QRect &dateBox, const QColor &colour)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(colour);
    if (!timeBox.isNull()) {
        painter.setFont(pixelFont(30));
        painter.drawText(timeBox, Qt::AlignCenter, time);
    }
    if (!dateBox.isNull()) {
        painter.setFont(pixelFont(18));
        painter.drawText(dateBox, Qt::AlignCenter, date);
    }
    return image;
}

} // namespace

void TestClocks::digitalText_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("time");
    QTest::addColumn<QString>("date");

    QTest::newRow("09:05:03 on Sun 6 Dec 2026")
        << QDateTime(QDate(2026, 12, 6), QTime(9, 5, 3)) << "09:05:03" << "Sun 6 Dec 2026";
    QTest::newRow("13:00:00 on Thu 1 Jan 2026")
        << QDateTime(QDate(2026, 1, 1), QTime(13, 0, 0)) << "13:00:00" << "Thu 1 Jan 2026";
    QTest::newRow("00:00:00 on Wed 9 Sep 2026")
        << QDateTime(QDate(2026, 9, 9), QTime(0, 0, 0)) << "00:00:00" << "Wed 9 Sep 2026";
}

void TestClocks::digitalText()
{
    QFETCH(QDateTime, when);
    QFETCH(QString, time);
    QFETCH(QString, date);

    // The day and month names come from the system locale; the test runs
    // under LC_ALL=C.UTF-8, which gives the English names.
    if (QLocale::system().dayName(7, QLocale::ShortFormat) != QLatin1String("Sun"))
        QSKIP("the system locale here has no English day names");

    TeskDigitalClock clock;
    clock.resize(410, 111);
    clock.setTimeDisplayFont(pixelFont(30));
    clock.setDateDisplayFont(pixelFont(18));
    clock.setTimeDisplayFontColor(Qt::white);
    clock.setDateDisplayFontColor(Qt::white);
    showTime(clock, when);

    const int line = QFontMetrics(pixelFont(30), &clock).height();
    const QImage expected = expectedLines(clock.size(), time, QRect(0, 0, 410, 55),
                                          date, QRect(0, line, 410, 55), Qt::white);
    QCOMPARE(renderWidget(clock), expected);
}

void TestClocks::digitalLines_data()
{
    QTest::addColumn<bool>("timeOn");
    QTest::addColumn<bool>("dateOn");
    QTest::addColumn<QRect>("timeBox");
    QTest::addColumn<QRect>("dateBox");

    // A 410 x 111 clock: each box is 55 px high. The date's box starts one
    // time-font line below the top (-1 here), or at the top without a time.
    QTest::newRow("both lines") << true << true << QRect(0, 0, 410, 55) << QRect(0, -1, 410, 55);
    QTest::newRow("time off: date in the upper half") << false << true << QRect() << QRect(0, 0, 410, 55);
    QTest::newRow("date off") << true << false << QRect(0, 0, 410, 55) << QRect();
    QTest::newRow("both off: nothing") << false << false << QRect() << QRect();
}

void TestClocks::digitalLines()
{
    QFETCH(bool, timeOn);
    QFETCH(bool, dateOn);
    QFETCH(QRect, timeBox);
    QFETCH(QRect, dateBox);

    TeskDigitalClock clock;
    clock.resize(410, 111);
    clock.setTimeDisplay(timeOn);
    clock.setDateDisplay(dateOn);
    clock.setTimeDisplayFont(pixelFont(30));
    clock.setDateDisplayFont(pixelFont(18));
    clock.setTimeDisplayFontColor(Qt::white);
    clock.setDateDisplayFontColor(Qt::white);
    const QDateTime when(QDate(2026, 12, 6), QTime(9, 5, 3));
    showTime(clock, when);

    if (dateBox.top() < 0)
        dateBox.moveTop(QFontMetrics(pixelFont(30), &clock).height());
    const QString date = QLocale::system().toString(when.date(), QStringLiteral("ddd d MMM yyyy"));
    const QImage image = renderWidget(clock);
    QCOMPARE(image, expectedLines(clock.size(), "09:05:03", timeBox, date, dateBox, Qt::white));

    // Nothing below the boxes: with the time off the lower half stays empty.
    const int bottom = std::max(timeBox.isNull() ? 0 : timeBox.bottom(),
                                dateBox.isNull() ? 0 : dateBox.bottom());
    for (int y = bottom + 1; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            QCOMPARE(image.pixel(x, y), kClear);
}

void TestClocks::unsetColoursDrawBlack()
{
    TeskDigitalClock clock;
    clock.resize(410, 111);
    clock.setTimeDisplayFont(pixelFont(30));
    clock.setDateDisplayFont(pixelFont(18));
    showTime(clock, QDateTime(QDate(2026, 12, 6), QTime(9, 5, 3)));
    const QImage image = renderWidget(clock);

    // Every pixel is clear or (partly covered) black, and some are drawn.
    int drawn = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            QCOMPARE(qRgb(qRed(p), qGreen(p), qBlue(p)), qRgb(0, 0, 0));
            drawn += qAlpha(p) == 255;
        }
    }
    QVERIFY(drawn > 100);
}

void TestClocks::digitalIgnoresWidgetFont()
{
    // The main window gives the clock a bold widget font; the lines keep the
    // weight of their own display fonts.
    TeskDigitalClock plain;
    plain.resize(410, 111);
    TeskDigitalClock bold;
    bold.resize(410, 111);
    bold.setFont(QFont(QStringLiteral("DejaVu Sans"), 36, QFont::Bold));
    for (TeskDigitalClock *clock : {&plain, &bold}) {
        clock->setTimeDisplayFont(QFont(QStringLiteral("DejaVu Sans"), 24));
        clock->setDateDisplayFont(QFont(QStringLiteral("DejaVu Sans"), 14));
        showTime(*clock, QDateTime(QDate(2026, 12, 6), QTime(9, 5, 3)));
    }
    QCOMPARE(renderWidget(bold), renderWidget(plain));
}

void TestClocks::digitalFirstPaintShowsTheTime()
{
    // Rendered before any tick, both lines stand as after one.
    const QDateTime time(QDate(2026, 12, 6), QTime(9, 5, 3));
    TeskDigitalClock fresh;
    fresh.resize(410, 111);
    fresh.setTimeSource([time] { return time; });
    QCOMPARE(renderWidget(fresh), shownAt<TeskDigitalClock>(fresh.size(), time));

    // And from the system clock: not a blank face.
    TeskDigitalClock system;
    system.resize(410, 111);
    QImage blank(system.size(), QImage::Format_ARGB32_Premultiplied);
    blank.fill(Qt::transparent);
    QVERIFY(renderWidget(system) != blank);
}

void TestClocks::digitalTickRepaintsOncePerSecond()
{
    checkRepaintsOncePerSecond<TeskDigitalClock>();
}

void TestClocks::digitalSecondRepaintsItsDigit()
{
    // 12:00:01 to 12:00:02 changes the last digit only; its column of the
    // time line repaints, not the whole text (the pixels are checked against
    // a full paint in tst_mainwindow).
    TeskDigitalClock clock;
    clock.resize(410, 111);
    clock.setTimeDisplayFont(QFont(QStringLiteral("DejaVu Sans"), 40));
    clock.setTimeSource([this] { return m_now; });
    PaintCounter counter;
    clock.installEventFilter(&counter);
    m_now = at(QTime(12, 0, 1));
    clock.checkTime();
    clock.show();
    QVERIFY(QTest::qWaitForWindowExposed(&clock));

    m_now = at(QTime(12, 0, 2));
    QCoreApplication::processEvents();
    counter.painted = QRegion();
    QCOMPARE(paintsCausedBy(counter, [&clock] { clock.checkTime(); }), 1);
    const QFontMetrics metrics(QFont(QStringLiteral("DejaVu Sans"), 40));
    const int textWidth = metrics.horizontalAdvance(QStringLiteral("12:00:02"));
    const QRect repainted = counter.painted.boundingRect();
    QVERIFY2(repainted.width() < textWidth / 3, qPrintable(QStringLiteral("%1 of %2 px").arg(repainted.width()).arg(textWidth)));
    QVERIFY(repainted.right() >= (clock.width() + textWidth) / 2);  // over the last digit
}

void TestClocks::digitalWriteRepaintsOnlyOnChange_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QVariant>("value");

    QTest::newRow("TimeDisplay") << QByteArray("TimeDisplay") << QVariant(false);
    QTest::newRow("TimeDisplayFont, another size")
        << QByteArray("TimeDisplayFont") << QVariant(QFont(QStringLiteral("DejaVu Sans"), 41));
    QTest::newRow("TimeDisplayFontColor") << QByteArray("TimeDisplayFontColor") << QVariant(QColor(Qt::white));
    QTest::newRow("DateDisplay") << QByteArray("DateDisplay") << QVariant(false);
    QTest::newRow("DateDisplayFont, another size")
        << QByteArray("DateDisplayFont") << QVariant(QFont(QStringLiteral("DejaVu Sans"), 25));
    QTest::newRow("DateDisplayFontColor") << QByteArray("DateDisplayFontColor") << QVariant(QColor(Qt::white));
}

void TestClocks::digitalWriteRepaintsOnlyOnChange()
{
    QFETCH(QByteArray, property);
    QFETCH(QVariant, value);
    checkWriteRepaintsOnlyOnChange<TeskDigitalClock>(property, value);
}

// ---- The ON AIR lamp -------------------------------------------------------

void TestClocks::onAirText_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("text");

    QTest::newRow("0 s") << qint64(0) << "0:00";
    QTest::newRow("59 s") << qint64(59) << "0:59";
    QTest::newRow("60 s") << qint64(60) << "1:00";
    QTest::newRow("3599 s") << qint64(3599) << "59:59";
    QTest::newRow("3600 s") << qint64(3600) << "1:00:00";
    QTest::newRow("10 h 1 min 1 s") << qint64(36061) << "10:01:01";
    QTest::newRow("a clock set back") << qint64(-5) << "0:00";
}

void TestClocks::onAirText()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, text);
    QCOMPARE(TallyLamp::onAirText(seconds), text);
}

// The lamp at its design size on a black window: lit, a red field with its
// text in white; dark, the panel with the field's outline and the text in
// the dim colour; hidden, nothing at all.
void TestClocks::lampDrawing_data()
{
    QTest::addColumn<bool>("shown");
    QTest::addColumn<bool>("on");

    QTest::newRow("lit") << true << true;
    QTest::newRow("dark") << true << false;
    QTest::newRow("hidden") << false << false;
}

void TestClocks::lampDrawing()
{
    QFETCH(bool, shown);
    QFETCH(bool, on);

    QWidget window;
    window.resize(190, 120);
    window.setAutoFillBackground(true);
    QPalette black = window.palette();
    black.setColor(QPalette::Window, Qt::black);
    window.setPalette(black);
    auto *lamp = new TallyLamp(&window);
    lamp->setGeometry(20, 20, 150, 80);
    lamp->setVisible(shown);
    lamp->setSince(QDateTime::currentDateTime().addSecs(-75));
    lamp->setOn(on);
    QImage image(window.size(), QImage::Format_ARGB32);
    window.render(&image);

    // Beside the text, inside the field (7 px in from the lamp's edges).
    const QPoint field(20 + 11, 20 + 40);
    const QPoint outline(20 + 8, 20 + 40);
    int white = 0, dim = 0;
    for (int y = 20; y < 100; ++y)
        for (int x = 20; x < 170; ++x) {
            const QColor c = image.pixelColor(x, y);
            white += c == Qt::white;
            dim += qAbs(c.red() - lamp->darkColor().red()) < 24 && qAbs(c.green() - lamp->darkColor().green()) < 24
                   && c.red() > c.blue() + 16;
        }
    if (!shown) {
        QCOMPARE(image.pixelColor(field), QColor(Qt::black));
        QCOMPARE(image.pixelColor(20 + 75, 20 + 2), QColor(Qt::black));
        return;
    }
    QCOMPARE(lamp->shownTime(), on ? QStringLiteral("1:15") : QString());
    if (on) {
        QCOMPARE(image.pixelColor(field), lamp->litColor());
        QVERIFY2(white > 300, qPrintable(QString::number(white)));
    } else {
        const QColor panel = image.pixelColor(field);
        QVERIFY2(panel.red() < 0x30 && panel.blue() < 0x30, qPrintable(panel.name()));
        const QColor edge = image.pixelColor(outline);
        const QColor want = lamp->darkColor();
        QVERIFY2(qAbs(edge.red() - want.red()) <= 2 && qAbs(edge.green() - want.green()) <= 2
                     && qAbs(edge.blue() - want.blue()) <= 2,
                 qPrintable(edge.name()));
        QCOMPARE(white, 0);
        QVERIFY2(dim > 300, qPrintable(QString::number(dim)));
    }
}

// A second on air repaints the time's rows of the lamp alone, and of the
// window only what lies under them.
void TestClocks::lampSecondRepaintsItsTime()
{
    qint64 nowMs = QDateTime(QDate(2026, 12, 9), QTime(17, 0, 0)).toMSecsSinceEpoch();
    SecondTicker ticker;
    ticker.setWallClock([&nowMs] { return nowMs; });
    QWidget window;
    window.resize(300, 200);
    auto *lamp = new TallyLamp(&window);
    lamp->setGeometry(100, 60, 150, 80);
    lamp->setTicker(&ticker);
    lamp->setSince(QDateTime::fromMSecsSinceEpoch(nowMs - 59000));
    lamp->setOn(true);
    PaintCounter windowPaints, lampPaints;
    window.installEventFilter(&windowPaints);
    lamp->installEventFilter(&lampPaints);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_VERIFY(lampPaints.paints > 0);
    const QImage before = lamp->grab().toImage();
    QCoreApplication::processEvents();
    windowPaints.paints = 0;
    windowPaints.painted = QRegion();
    lampPaints.paints = 0;
    lampPaints.painted = QRegion();

    // Half a second is no news; the next whole one is.
    nowMs += 500;
    lamp->checkTime();
    QCoreApplication::processEvents();
    QCOMPARE(lampPaints.paints, 0);
    nowMs += 500;
    lamp->checkTime();
    QCoreApplication::processEvents();
    QCOMPARE(lamp->shownTime(), QStringLiteral("1:00"));
    QCOMPARE(lampPaints.paints, 1);
    // The window paints only what shows through the lamp's repainted rows.
    QVERIFY2(lamp->geometry().contains(windowPaints.painted.boundingRect()),
             qPrintable(QStringLiteral("%1 paints, %2,%3 %4x%5").arg(windowPaints.paints)
                            .arg(windowPaints.painted.boundingRect().x()).arg(windowPaints.painted.boundingRect().y())
                            .arg(windowPaints.painted.boundingRect().width()).arg(windowPaints.painted.boundingRect().height())));
    const QRegion repainted = lampPaints.painted;
    const QImage after = lamp->grab().toImage();
    QRegion changed;
    for (int y = 0; y < after.height(); ++y)
        for (int x = 0; x < after.width(); ++x)
            if (before.pixel(x, y) != after.pixel(x, y))
                changed += QRect(x, y, 1, 1);
    QVERIFY(!changed.isEmpty());
    QCOMPARE(changed.subtracted(repainted), QRegion());
    QVERIFY(lamp->rect().contains(repainted.boundingRect()));
    QVERIFY2(repainted.boundingRect().height() * 2 < lamp->height(), qPrintable(QString::number(repainted.boundingRect().height())));
}

QTEST_MAIN(TestClocks)
#include "tst_clocks.moc"
