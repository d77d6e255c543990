#include "teskdigitalclock.h"

#include "clockmath.h"
#include "clockprobe.h"
#include "secondticker.h"

#include <QFontMetrics>
#include <QLocale>
#include <QPaintEvent>
#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

constexpr int kTickMs = 100;  // keeps the text within 0.1 s of the true second

// An unset colour draws black.
QPen textPen(const QColor &color)
{
    return QPen(color.isValid() ? color : QColor(Qt::black));
}

// The display fonts alone decide how the text looks. A painter would fill
// every attribute the font leaves unset from the widget's own font (the main
// window gives the clock a bold one), so mark them all as set: what is unset
// keeps the application default it already holds.
QFont paintFont(const QFont &font)
{
    QFont f(font);
    f.resolve(QFont::AllPropertiesResolved);
    return f;
}

// Glyphs may reach past their advance by the font's bearings; the
// antialiased edge may touch one pixel more.
int glyphOverhang(const QFontMetrics &metrics)
{
    return std::max({0, -metrics.minLeftBearing(), -metrics.minRightBearing()}) + 2;
}

} // namespace

TeskDigitalClock::TeskDigitalClock(QWidget *parent)
    : QWidget(parent)
    , m_timePaintFont(paintFont(m_timeDisplayFont))
    , m_datePaintFont(paintFont(m_dateDisplayFont))
    , m_timePen(textPen(m_timeDisplayFontColor))
    , m_datePen(textPen(m_dateDisplayFontColor))
{
    m_timer = new QTimer(this);
    // A coarse timer may be shifted by up to 5 ms so that it wakes together
    // with the analog clock's and the release tick: fewer wake-ups all day.
    m_timer->setTimerType(Qt::CoarseTimer);
    connect(m_timer, &QTimer::timeout, this, &TeskDigitalClock::checkTime);
    m_timer->start(kTickMs);
    setWindowTitle(tr("Digital Clock"));
    resize(100, 30);
}

TeskDigitalClock::~TeskDigitalClock() = default;

void TeskDigitalClock::setTimeSource(TimeSource source)
{
    m_timeSource = std::move(source);
}

void TeskDigitalClock::setTicker(SecondTicker *ticker)
{
    SecondTicker::attach(this, m_ticker, ticker, m_timer, kTickMs);
}

void TeskDigitalClock::setTimeDisplay(bool on)
{
    if (m_timeDisplay == on)
        return;
    m_timeDisplay = on;
    update();
}

void TeskDigitalClock::setTimeDisplayFont(const QFont &font)
{
    if (m_timeDisplayFont == font)
        return;
    m_timeDisplayFont = font;
    m_timePaintFont = paintFont(font);
    update();
}

void TeskDigitalClock::setTimeDisplayFontColor(const QColor &color)
{
    if (m_timeDisplayFontColor == color)
        return;
    m_timeDisplayFontColor = color;
    m_timePen = textPen(color);
    update();
}

void TeskDigitalClock::setDateDisplay(bool on)
{
    if (m_dateDisplay == on)
        return;
    m_dateDisplay = on;
    update();
}

void TeskDigitalClock::setDateDisplayFont(const QFont &font)
{
    if (m_dateDisplayFont == font)
        return;
    m_dateDisplayFont = font;
    m_datePaintFont = paintFont(font);
    update();
}

void TeskDigitalClock::setDateDisplayFontColor(const QColor &color)
{
    if (m_dateDisplayFontColor == color)
        return;
    m_dateDisplayFontColor = color;
    m_datePen = textPen(color);
    update();
}

void TeskDigitalClock::checkTime()
{
    ClockProbe::checked("digital");
    const QString oldTimeText = m_timeText;
    const QString oldDateText = m_dateText;
    const int oldSecond = m_lastSecond;
    if (!readTime())
        return;

    // Both texts are rebuilt on every tick; a new second repaints, and so
    // does any other change of the texts: a step of the system time by
    // whole minutes or days, or the first tick filling the empty texts.
    const bool dateChanged = m_dateText != oldDateText;
    if (m_lastSecond == oldSecond && m_timeText == oldTimeText && !dateChanged)
        return;
    // The time line is clipped to the upper half, so a new second repaints
    // what changed of the text there alone, mostly one digit; a new date
    // the whole clock.
    if (dateChanged)
        update();
    else
        update(timeTextChange(oldTimeText));
}

bool TeskDigitalClock::readTime()
{
    // One reading for both lines, so a tick at midnight cannot pair the new
    // day's time with the old day's date.
    const QDateTime now = m_timeSource ? m_timeSource()
                          : m_ticker ? m_ticker->now()
                                     : QDateTime::currentDateTime();
    const QTime time = now.time();
    const QDate date = now.date();
    if (!time.isValid())
        return false;
    m_timeText = ClockMath::timeText(time);
    // The date's text asks the locale, and changes once a day.
    if (date != m_date || m_dateText.isEmpty())
        m_dateText = ClockMath::dateText(date, QLocale::system());
    m_date = date;
    m_lastSecond = time.second();
    m_timeRead = true;
    return true;
}

QRect TeskDigitalClock::timeTextBounds(const QString &text) const
{
    const QRect band = timeBand();
    const QFontMetrics metrics(m_timePaintFont, this);
    const int overhang = glyphOverhang(metrics);
    const QRect bounds = metrics.boundingRect(band, Qt::AlignCenter, text);
    return QRect(bounds.left() - overhang, band.top(), bounds.width() + 2 * overhang, band.height())
        & band;
}

QRegion TeskDigitalClock::timeTextChange(const QString &before) const
{
    const QString &after = m_timeText;
    const QFontMetricsF metrics(m_timePaintFont, this);
    if (before.size() != after.size() || metrics.horizontalAdvance(before) != metrics.horizontalAdvance(after))
        return QRegion(timeTextBounds(before)) + timeTextBounds(after);
    int first = 0;
    while (first < after.size() && before.at(first) == after.at(first))
        ++first;
    if (first == after.size())
        return QRegion();
    int end = after.size();
    while (before.at(end - 1) == after.at(end - 1))
        --end;
    // As wide as before, the text stands where it stood, and so do the
    // unchanged characters on either side; the digits of a clock font are
    // all one width, so this is the common case. The changed glyphs' own ink
    // is repainted, old and new, with the antialiased edge and a tenth of the
    // line height more on each side for a kerning pair across the edge of
    // the change. The font's widest bearings would reach out to the dial's
    // marks, which repaint a shade differently when a clip edge cuts them.
    const QRect band = timeBand();
    const QRectF text = metrics.boundingRect(QRectF(band), Qt::AlignCenter, after);
    const double origin = text.left() + metrics.horizontalAdvance(after.left(first));
    const QRectF ink = metrics.boundingRect(before.mid(first, end - first))
                           .united(metrics.boundingRect(after.mid(first, end - first)));
    const int margin = 2 + int(std::ceil(metrics.height() / 10));
    const int left = int(std::floor(origin + ink.left())) - margin;
    const int right = int(std::ceil(origin + ink.right())) + margin;
    return QRect(left, band.top(), right - left, band.height()) & band;
}

QRect TeskDigitalClock::timeBand() const
{
    return QRect(0, 0, width(), height() / 2);
}

void TeskDigitalClock::paintEvent(QPaintEvent *event)
{
    // Shown before the first tick, the clock must already tell the time,
    // not stay blank for up to a second.
    if (!m_timeRead)
        readTime();

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);

    const int half = height() / 2;
    int top = 0;
    if (m_timeDisplay) {
        painter.setPen(m_timePen);
        painter.setFont(m_timePaintFont);
        // A line outside the repainted region is not laid out: a new second
        // repaints a digit of the time line alone.
        if (event->region().intersects(timeBand()))
            painter.drawText(timeBand(), Qt::AlignCenter, m_timeText);
        // The date starts one time-font line below the top, not at the middle.
        top = painter.fontMetrics().height();
    }
    if (m_dateDisplay) {
        painter.setPen(m_datePen);
        painter.setFont(m_datePaintFont);
        const QRect dateBand(0, top, width(), half);
        if (event->region().intersects(dateBand))
            painter.drawText(dateBand, Qt::AlignCenter, m_dateText);
    }
    painter.end();

    ClockProbe::painted(this, "digital", m_lastSecond);
}
