#include "teskanalogclock.h"

#include "clockmath.h"
#include "clockprobe.h"
#include "secondticker.h"

#include <QBrush>
#include <QtMath>
#include <QLineF>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPolygonF>
#include <QRectF>
#include <QRegion>
#include <QTimer>
#include <QTransform>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

constexpr int kTickMs = 100;        // keeps the face within 0.1 s of the true second
constexpr int kPositions = 60;      // one position every 6 degrees
constexpr double kStepDegrees = 6.0;
constexpr double kRim = 100.0;      // dial units from the centre to the rim
constexpr double kLineRim = 96.0;   // outer end of the hour and minute lines
constexpr double kRingRim = 96.0;   // the count-down ring sits inside the lines
constexpr int kRingPiece = 6 * 16;  // the ring is drawn in pieces of a second

// Shapes are computed in double: the owner may write any int, and integer
// sums such as length + border - 100 must not overflow. For every value a
// dial can use the results are the same whole numbers.
double halfUp(int value)
{
    return std::trunc(value * 0.5 + 0.5);
}

QPen linePen(const QColor &color, int width)
{
    return QPen(QBrush(color), width, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
}

// A pointer at 12 o'clock: its tip `border` in from the rim, its base of
// the given width `length` further in.
QPolygonF pointerTriangle(int border, int length, int width)
{
    const double a = halfUp(width);
    const double base = double(length) + border - kRim;
    return QPolygonF({QPointF(a, base), QPointF(-a, base), QPointF(0, border - kRim)});
}

// Every element is drawn at 12 o'clock and turned into place.
void turnTo(QPainter &painter, const QTransform &dial, double degrees)
{
    painter.setTransform(QTransform(dial).rotate(degrees));
}

// Pixels beside a shape's edge that antialiasing may still touch.
constexpr double kAntialiasPad = 2.0;

// The pixels a shape drawn at 12 o'clock and turned to `degrees` may touch,
// widened by `margin` pixels. A shape too large to place counts as touching
// the whole face (and converts no out-of-range double to int).
QRect deviceBounds(const QTransform &dial, const QPolygonF &shape, double degrees, double margin,
                   const QRect &face)
{
    const QRectF box = QTransform(dial).rotate(degrees).map(shape).boundingRect().adjusted(
        -margin, -margin, margin, margin);
    constexpr double kLimit = 1 << 24;
    if (!(box.left() > -kLimit && box.top() > -kLimit && box.right() < kLimit
          && box.bottom() < kLimit))
        return face;
    return box.toAlignedRect();
}

// How far a pen of the given width reaches beyond its path, in pixels.
double penReach(double penWidth, double scale)
{
    return std::abs(penWidth) * scale / 2 + kAntialiasPad;
}

// The square of a circle about the origin.
QRectF circleBox(double radius)
{
    return QRectF(-radius, -radius, 2 * radius, 2 * radius);
}

} // namespace

struct TeskAnalogClock::PaintTools
{
    QPen hourLinePen;
    QPen minuteLinePen;
    QLineF hourLine;
    QLineF minuteLine;
    QPen endTimePen;
    QLineF endTimeLine;
    QRectF endTimeArcBox;
    QPen countDownPen;
    QRectF countDownBox;
    QBrush hourHandBrush;
    QBrush minuteHandBrush;
    QPolygonF hourTriangle;
    QPolygonF minuteTriangle;
    QPen dotPen;
    QBrush dotBrush;
    QRectF dotBox;

    // Where each of the 60 lines and dots lands at the size the tools were
    // built for: a paint skips those outside the region it repaints.
    QSize size;
    std::array<QRect, kPositions> lineBounds;
    std::array<QRect, kPositions> dotBounds;
};

TeskAnalogClock::TeskAnalogClock(QWidget *parent)
    : QWidget(parent)
    , m_tools(std::make_unique<PaintTools>())
{
    setWindowTitle(tr("Analog Clock"));
    resize(200, 200);
    m_timer = new QTimer(this);
    // A coarse timer may be shifted by up to 5 ms so that it wakes together
    // with the other clock's and the release tick: fewer wake-ups all day,
    // and the face still follows the second within about 0.1 s.
    m_timer->setTimerType(Qt::CoarseTimer);
    connect(m_timer, &QTimer::timeout, this, &TeskAnalogClock::checkTime);
    m_timer->start(kTickMs);
}

TeskAnalogClock::~TeskAnalogClock() = default;

void TeskAnalogClock::setTimeSource(TimeSource source)
{
    m_timeSource = std::move(source);
}

void TeskAnalogClock::setTicker(SecondTicker *ticker)
{
    SecondTicker::attach(this, m_ticker, ticker, m_timer, kTickMs);
}

void TeskAnalogClock::checkTime()
{
    ClockProbe::checked("analog");
    const QTime now = readTime();
    if (!now.isValid())
        return;
    m_timeRead = true;
    // The whole time counts, not the second alone: a step of the system
    // time by whole minutes or hours must show on this tick too.
    if (now.second() == m_second && now.minute() == m_minute && now.hour() == m_hour)
        return;
    const int hour = m_hour;
    const int minute = m_minute;
    const int second = m_second;
    m_hour = now.hour();
    m_minute = now.minute();
    m_second = now.second();
    // Only the marks that moved are repainted: on the wall the whole square
    // would otherwise be painted anew each second, artwork and digital clock
    // beneath included, and sent to the display.
    update(changedRegion(hour, minute, second));
}

QTime TeskAnalogClock::readTime() const
{
    return m_timeSource ? m_timeSource().time()
           : m_ticker  ? m_ticker->now().time()
                       : QTime::currentTime();
}

QRegion TeskAnalogClock::changedRegion(int hour, int minute, int second) const
{
    // The end-time marker and its arc change with the time left; while they
    // show, and on the first tick after a property changed, the whole face.
    const auto endTimeShown = [this](int h, int m, int s) {
        return m_endTime
            && ClockMath::endTimeMarkerShown(
                m_endTimeHour, ClockMath::endTimeRemaining(m_endTimeHour, m_endTimeMinute,
                                                           m_endTimeSecond, h, m, s));
    };
    if (m_toolsStale || m_tools->size != size() || endTimeShown(hour, minute, second)
        || endTimeShown(m_hour, m_minute, m_second))
        return rect();

    const PaintTools &t = *m_tools;
    const QTransform dial = ClockMath::dialTransform(width(), height());
    QRegion region;
    if (m_hands) {
        const auto addPointer = [&](const QPolygonF &triangle, double from, double to) {
            if (from == to)
                return;
            region += deviceBounds(dial, triangle, from, kAntialiasPad, rect()) & rect();
            region += deviceBounds(dial, triangle, to, kAntialiasPad, rect()) & rect();
        };
        addPointer(t.hourTriangle, ClockMath::hourPointerAngle(hour, minute),
                   ClockMath::hourPointerAngle(m_hour, m_minute));
        addPointer(t.minuteTriangle, ClockMath::minutePointerAngle(minute, second),
                   ClockMath::minutePointerAngle(m_minute, m_second));
    }
    if (m_secondDots) {
        for (int i = 0; i < kPositions; ++i) {
            if (ClockMath::secondDotShown(i, second, m_secondDotsCountDown)
                != ClockMath::secondDotShown(i, m_second, m_secondDotsCountDown))
                region += t.dotBounds[i] & rect();
        }
    }
    return region;
}

// A changed value repaints; the same value again does nothing. For the
// count-down time a NaN never equals anything, so writing it always repaints.
template <typename T>
void TeskAnalogClock::assign(T &member, const T &value)
{
    if (member == value)
        return;
    member = value;
    m_toolsStale = true;
    update();
}

void TeskAnalogClock::setHourLines(bool on) { assign(m_hourLines, on); }
void TeskAnalogClock::setHourLinesLength(int length) { assign(m_hourLinesLength, length); }
void TeskAnalogClock::setHourLinesWidth(int width) { assign(m_hourLinesWidth, width); }
void TeskAnalogClock::setHourLinesColor(const QColor &color) { assign(m_hourLinesColor, color); }
void TeskAnalogClock::setMinuteLines(bool on) { assign(m_minuteLines, on); }
void TeskAnalogClock::setMinuteLinesLength(int length) { assign(m_minuteLinesLength, length); }
void TeskAnalogClock::setMinuteLinesWidth(int width) { assign(m_minuteLinesWidth, width); }
void TeskAnalogClock::setMinuteLinesColor(const QColor &color) { assign(m_minuteLinesColor, color); }
void TeskAnalogClock::setSecondDots(bool on) { assign(m_secondDots, on); }
void TeskAnalogClock::setSecondDotsCountDown(bool on) { assign(m_secondDotsCountDown, on); }
void TeskAnalogClock::setDotSize(int size) { assign(m_dotSize, size); }
void TeskAnalogClock::setDotColor(const QColor &color) { assign(m_dotColor, color); }
void TeskAnalogClock::setHands(bool on) { assign(m_hands, on); }
void TeskAnalogClock::setHourHandColor(const QColor &color) { assign(m_hourHandColor, color); }
void TeskAnalogClock::setHourHandBorder(int border) { assign(m_hourHandBorder, border); }
void TeskAnalogClock::setHourHandLength(int length) { assign(m_hourHandLength, length); }
void TeskAnalogClock::setHourHandWidth(int width) { assign(m_hourHandWidth, width); }
void TeskAnalogClock::setMinuteHandColor(const QColor &color) { assign(m_minuteHandColor, color); }
void TeskAnalogClock::setMinuteHandBorder(int border) { assign(m_minuteHandBorder, border); }
void TeskAnalogClock::setMinuteHandLength(int length) { assign(m_minuteHandLength, length); }
void TeskAnalogClock::setMinuteHandWidth(int width) { assign(m_minuteHandWidth, width); }
void TeskAnalogClock::setEndTime(bool on) { assign(m_endTime, on); }
void TeskAnalogClock::setEndTimeLength(int length) { assign(m_endTimeLength, length); }
void TeskAnalogClock::setEndTimeWidth(int width) { assign(m_endTimeWidth, width); }
void TeskAnalogClock::setEndTimeHour(int hour) { assign(m_endTimeHour, hour); }
void TeskAnalogClock::setEndTimeMinute(int minute) { assign(m_endTimeMinute, minute); }
void TeskAnalogClock::setEndTimeSecond(int second) { assign(m_endTimeSecond, second); }
void TeskAnalogClock::setEndTimeColor(const QColor &color) { assign(m_endTimeColor, color); }
// The ring is set again every second while a count-down runs: only the
// stretch between its old and new ends is repainted, and the paint tools,
// which do not depend on the time, are kept.
void TeskAnalogClock::setCountDownTime(float time)
{
    const float before = m_countDownTime;
    if (before == time)
        return;
    m_countDownTime = time;
    const auto from = ClockMath::countDownSpan(before);
    const auto to = ClockMath::countDownSpan(time);
    if (m_toolsStale || m_tools->size != size() || (!from && !to && (std::isnan(before) || std::isnan(time)))) {
        update();
        return;
    }
    update(ringChange(from.value_or(0), to.value_or(0)));
}

QRect TeskAnalogClock::ringChange(int fromSpan, int toSpan) const
{
    // Past a full turn the ring is drawn as a full turn.
    constexpr int kTurn = 360 * 16;
    fromSpan = std::clamp(fromSpan, -kTurn, kTurn);
    toSpan = std::clamp(toSpan, -kTurn, kTurn);
    if (fromSpan == toSpan)
        return QRect();
    int lo = std::min(fromSpan, toSpan);
    int hi = std::max(fromSpan, toSpan);
    // The pieces both rings share are the same curves; the piece the shorter
    // one ends in, and the join before it, change with it.
    if (lo >= 0)
        lo = std::max(0, (lo / kRingPiece - 1) * kRingPiece);
    if (hi <= 0)
        hi = std::min(0, (hi / kRingPiece + 1) * kRingPiece);
    const QRectF box = m_tools->countDownBox;
    const double radius = box.width() / 2;
    // Points along the changed arc, a degree or less apart: their bounds,
    // widened by the pen, hold everything the change touches.
    QPolygonF arc;
    const int steps = std::max(1, (hi - lo) / 16);
    for (int i = 0; i <= steps; ++i) {
        const double sixteenths = ClockMath::kTwelveOClock + lo + double(hi - lo) * i / steps;
        const double radians = qDegreesToRadians(sixteenths / 16.0);
        arc << QPointF(box.center().x() + radius * std::cos(radians), box.center().y() - radius * std::sin(radians));
    }
    const double scale = std::min(width(), height()) / 200.0;
    const double pad = std::abs(double(m_countDownWidth)) * scale * 0.75 + kAntialiasPad;
    const QRectF bounds = ClockMath::dialTransform(width(), height()).map(arc).boundingRect().adjusted(-pad, -pad, pad, pad);
    constexpr double kLimit = 1 << 24;
    if (!(bounds.left() > -kLimit && bounds.top() > -kLimit && bounds.right() < kLimit && bounds.bottom() < kLimit))
        return rect();
    return bounds.toAlignedRect() & rect();
}
void TeskAnalogClock::setCountDownWidth(int width) { assign(m_countDownWidth, width); }
void TeskAnalogClock::setCountDownSpacing(int spacing) { assign(m_countDownSpacing, spacing); }
void TeskAnalogClock::setCountDownColor(const QColor &color) { assign(m_countDownColor, color); }

void TeskAnalogClock::rebuildTools()
{
    PaintTools &t = *m_tools;

    // Lines at 12 o'clock; the square cap carries them half the pen width
    // beyond their end points, so an even-width line reaches radius 96.
    t.hourLinePen = linePen(m_hourLinesColor, m_hourLinesWidth);
    const double hourOuter = m_hourLinesWidth / 2 - kLineRim;
    t.hourLine = QLineF(0, hourOuter + m_hourLinesLength, 0, hourOuter);
    t.minuteLinePen = linePen(m_minuteLinesColor, m_minuteLinesWidth);
    const double minuteOuter = m_minuteLinesWidth / 2 - kLineRim;
    t.minuteLine = QLineF(0, minuteOuter + m_minuteLinesLength, 0, minuteOuter);

    t.endTimePen = linePen(m_endTimeColor, m_endTimeWidth);
    t.endTimeLine = QLineF(0, m_endTimeWidth / 2 - kRim, 0, m_endTimeLength - kRim);
    t.endTimeArcBox = circleBox(kRim - m_endTimeWidth / 2);

    t.countDownPen = linePen(m_countDownColor, m_countDownWidth);
    t.countDownBox = circleBox(kRingRim - (double(m_hourLinesLength) + m_countDownSpacing));

    t.hourHandBrush = QBrush(m_hourHandColor);
    t.minuteHandBrush = QBrush(m_minuteHandColor);
    t.hourTriangle = pointerTriangle(m_hourHandBorder, m_hourHandLength, m_hourHandWidth);
    t.minuteTriangle = pointerTriangle(m_minuteHandBorder, m_minuteHandLength, m_minuteHandWidth);

    t.dotPen = QPen(m_dotColor);
    t.dotBrush = QBrush(m_dotColor);
    t.dotBox = QRectF(-halfUp(m_dotSize), double(m_dotSize) - kRim, m_dotSize, m_dotSize);

    // The dots' pen is one dial unit wide; a square cap reaches half the
    // pen width past a line's ends.
    t.size = size();
    const QTransform dial = ClockMath::dialTransform(width(), height());
    const double scale = std::abs(dial.m11());
    const QPolygonF hourLine(QVector<QPointF>{t.hourLine.p1(), t.hourLine.p2()});
    const QPolygonF minuteLine(QVector<QPointF>{t.minuteLine.p1(), t.minuteLine.p2()});
    const double hourReach = penReach(m_hourLinesWidth, scale);
    const double minuteReach = penReach(m_minuteLinesWidth, scale);
    const QPolygonF dot(t.dotBox);
    for (int i = 0; i < kPositions; ++i) {
        const bool hour = i % 5 == 0;
        t.lineBounds[i] = deviceBounds(dial, hour ? hourLine : minuteLine, i * kStepDegrees,
                                       hour ? hourReach : minuteReach, rect());
        t.dotBounds[i] = deviceBounds(dial, dot, i * kStepDegrees, penReach(1, scale), rect());
    }

    m_toolsStale = false;
}

void TeskAnalogClock::paintEvent(QPaintEvent *event)
{
    if (m_toolsStale || m_tools->size != size())
        rebuildTools();
    // Shown before the first tick, the face must already tell the time,
    // not stand at 12:00 for up to a second.
    if (!m_timeRead) {
        const QTime now = readTime();
        if (now.isValid()) {
            m_hour = now.hour();
            m_minute = now.minute();
            m_second = now.second();
            m_timeRead = true;
        }
    }
    const QRegion &region = event->region();

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QTransform dial = ClockMath::dialTransform(width(), height());
    drawLines(painter, dial, region);
    drawEndTime(painter, dial);
    drawCountDownRing(painter, dial);
    drawPointers(painter, dial);
    drawSecondDots(painter, dial, region);
    painter.end();

    ClockProbe::painted(this, "analog", m_second);
}

void TeskAnalogClock::drawLines(QPainter &painter, const QTransform &dial,
                                const QRegion &region) const
{
    if (!m_hourLines && !m_minuteLines)
        return;
    const PaintTools &t = *m_tools;
    for (int i = 0; i < kPositions; ++i) {
        const bool hour = i % 5 == 0;
        if ((hour ? !m_hourLines : !m_minuteLines) || !region.intersects(t.lineBounds[i]))
            continue;
        turnTo(painter, dial, i * kStepDegrees);
        painter.setPen(hour ? t.hourLinePen : t.minuteLinePen);
        painter.drawLine(hour ? t.hourLine : t.minuteLine);
    }
}

void TeskAnalogClock::drawEndTime(QPainter &painter, const QTransform &dial) const
{
    if (!m_endTime)
        return;
    const qint64 remaining = ClockMath::endTimeRemaining(
        m_endTimeHour, m_endTimeMinute, m_endTimeSecond, m_hour, m_minute, m_second);
    if (!ClockMath::endTimeMarkerShown(m_endTimeHour, remaining))
        return;
    const PaintTools &t = *m_tools;
    // The marker stands where the minute pointer will be at the end time.
    turnTo(painter, dial, ClockMath::minutePointerAngle(m_endTimeMinute, m_endTimeSecond));
    painter.setPen(t.endTimePen);
    painter.drawLine(t.endTimeLine);
    if (const int span = ClockMath::endTimeArcSpan(remaining))
        painter.drawArc(t.endTimeArcBox, ClockMath::kTwelveOClock, span);
}

void TeskAnalogClock::drawCountDownRing(QPainter &painter, const QTransform &dial) const
{
    const auto span = ClockMath::countDownSpan(m_countDownTime);
    if (!span)
        return;
    painter.setTransform(dial);
    painter.setPen(m_tools->countDownPen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(ringPath(*span));
}

// The ring as one path of 6-degree pieces from 12 o'clock, past a full turn
// a full turn. Each piece is the same curve whatever the ring's length, so
// a repaint of the changed stretch alone meets the pixels around it exactly.
QPainterPath TeskAnalogClock::ringPath(int span) const
{
    constexpr int kTurn = 360 * 16;
    span = std::clamp(span, -kTurn, kTurn);
    const QRectF box = m_tools->countDownBox;
    QPainterPath path;
    path.arcMoveTo(box, ClockMath::kTwelveOClock / 16.0);
    const int direction = span < 0 ? -1 : 1;
    for (int done = 0; done != span;) {
        const int step = std::abs(span - done) >= kRingPiece ? direction * kRingPiece : span - done;
        path.arcTo(box, (ClockMath::kTwelveOClock + done) / 16.0, step / 16.0);
        done += step;
    }
    return path;
}

void TeskAnalogClock::drawPointers(QPainter &painter, const QTransform &dial) const
{
    if (!m_hands)
        return;
    const PaintTools &t = *m_tools;
    painter.setPen(Qt::NoPen);
    painter.setBrush(t.hourHandBrush);
    turnTo(painter, dial, ClockMath::hourPointerAngle(m_hour, m_minute));
    painter.drawConvexPolygon(t.hourTriangle);
    painter.setBrush(t.minuteHandBrush);
    turnTo(painter, dial, ClockMath::minutePointerAngle(m_minute, m_second));
    painter.drawConvexPolygon(t.minuteTriangle);
}

void TeskAnalogClock::drawSecondDots(QPainter &painter, const QTransform &dial,
                                     const QRegion &region) const
{
    if (!m_secondDots)
        return;
    const PaintTools &t = *m_tools;
    painter.setPen(t.dotPen);
    painter.setBrush(t.dotBrush);
    for (int i = 0; i < kPositions; ++i) {
        if (!ClockMath::secondDotShown(i, m_second, m_secondDotsCountDown)
            || !region.intersects(t.dotBounds[i]))
            continue;
        turnTo(painter, dial, i * kStepDegrees);
        painter.drawEllipse(t.dotBox);
    }
}
