#include "teskppmmeter.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPaintEvent>

#include <algorithm>

TeskPPMMeter::TeskPPMMeter(QWidget *parent)
    : QWidget(parent)
{
    reloadBackground();
    // The paint covers every pixel, so nothing beneath needs to be drawn first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setWindowTitle(tr("PPM Meter"));
    resize(16, 200);
}

void TeskPPMMeter::setdBPosition(double_db NewdBPosition)
{
    m_dBPosition = NewdBPosition;
    update();
}

void TeskPPMMeter::setMindBPosition(double value)
{
    if (value == m_range.minDb)
        return;
    m_range = MeterScale::makeRange(value, m_range.maxDb);
    update();
}

void TeskPPMMeter::setMaxdBPosition(double value)
{
    if (value == m_range.maxDb)
        return;
    m_range = MeterScale::makeRange(m_range.minDb, value);
    update();
}

void TeskPPMMeter::setReleasePerSecond(double value)
{
    // Kept for the property only: the owner sets the meters' fall-back speed.
    if (value != m_releasePerSecond)
        m_releasePerSecond = value;
}

void TeskPPMMeter::setDINCurve(bool value)
{
    if (value == m_dinCurve)
        return;
    m_dinCurve = value;
    update();
}

void TeskPPMMeter::setGradientBackground(bool value)
{
    if (value == m_gradientBackground)
        return;
    m_gradientBackground = value;
    update();
}

void TeskPPMMeter::setGradientForground(bool value)
{
    if (value == m_gradientForground)
        return;
    m_gradientForground = value;
    update();
}

void TeskPPMMeter::setMaxColor(const QColor &color)
{
    m_maxColor = color;
    m_gradientHalf = -1;
    update();
}

void TeskPPMMeter::setMinColor(const QColor &color)
{
    m_minColor = color;
    m_gradientHalf = -1;
    update();
}

void TeskPPMMeter::setMaxBackgroundColor(const QColor &color)
{
    m_maxBackgroundColor = color;
    m_gradientHalf = -1;
    update();
}

void TeskPPMMeter::setMinBackgroundColor(const QColor &color)
{
    m_minBackgroundColor = color;
    m_gradientHalf = -1;
    update();
}

void TeskPPMMeter::setSkinEnvironmentVariable(const QString &name)
{
    if (name == m_skinEnvironmentVariable)
        return;
    m_skinEnvironmentVariable = name;
    reloadBackground();
    update();
}

void TeskPPMMeter::setPPMMeterBackgroundFileName(const QString &name)
{
    if (name == m_backgroundFileName)
        return;
    m_backgroundFileName = name;
    reloadBackground();
    update();
}

void TeskPPMMeter::reloadBackground()
{
    // The skin folder comes from the environment; an unset variable leaves
    // just "/" in front of the file name.
    const QString folder = QString::fromLatin1(qgetenv(m_skinEnvironmentVariable.toLatin1().constData()));
    const QString path = folder + QLatin1Char('/') + m_backgroundFileName;
    if (!m_backgroundImage.load(path))
        m_backgroundImage = QImage();
}

bool TeskPPMMeter::calcPosition()
{
    m_dBPosition = MeterScale::clampLevel(m_dBPosition, m_range);
    const MeterScale::Heights h = m_dinCurve
        ? MeterScale::dinHeights(m_dBPosition, height(), m_range)
        : MeterScale::linearHeights(m_dBPosition, height(), m_range);
    m_barHeight = h.bar;
    m_zeroHeight = h.zero;
    if (m_barHeight == m_lastBarHeight)
        return false;
    m_lastBarHeight = m_barHeight;
    return true;
}

bool TeskPPMMeter::placeLevel(double level)
{
    const double was = m_dBPosition;
    m_dBPosition = level;
    calcPosition();
    return !(m_dBPosition == was);
}

void TeskPPMMeter::repaintBarSince(int before)
{
    // Only the rows between the two heights differ on screen; where the bar
    // stood in between was never shown.
    if (before != m_barHeight)
        update(changedRows(before, m_barHeight));
}

int TeskPPMMeter::half() const
{
    return MeterScale::truncToInt(height() * 0.5 + 0.5);
}

QRect TeskPPMMeter::changedRows(int a, int b) const
{
    if (a == b)
        return {};
    const int h = height();
    // A row's colour depends only on whether the bar reaches it; the two
    // extra rows on either side cover the overlap of the solid and the
    // gradient parts, whose boundary moves with the bar on odd heights.
    const int top = std::max(0, h - std::max(a, b) - 2);
    const int bottom = std::min(h - 1, h - std::min(a, b) + 1);
    if (bottom < top)
        return {};
    return QRect(0, top, width(), bottom - top + 1);
}

namespace {

// Fills rows first..last (inclusive) over the whole width; an inverted pair
// fills nothing.
void fillRows(QPainter &p, int width, int first, int last, const QBrush &brush)
{
    if (last < first)
        return;
    p.fillRect(QRect(0, first, width, last - first + 1), brush);
}

// The same with a solid colour, which needs no brush of its own.
void fillRows(QPainter &p, int width, int first, int last, const QColor &color)
{
    if (last < first)
        return;
    p.fillRect(QRect(0, first, width, last - first + 1), color);
}

// Shades from low at the mid-height to high at the top edge.
QBrush upperHalfGradient(int mid, const QColor &low, const QColor &high)
{
    QLinearGradient gradient(0, mid, 0, 0);
    gradient.setColorAt(0, low);
    gradient.setColorAt(1, high);
    return QBrush(gradient);
}

} // namespace

void TeskPPMMeter::rebuildGradients(int mid)
{
    m_backgroundGradient = upperHalfGradient(mid, m_minBackgroundColor, m_maxBackgroundColor);
    m_barGradient = upperHalfGradient(mid, m_minColor, m_maxColor);
    m_gradientHalf = mid;
}

void TeskPPMMeter::paintEvent(QPaintEvent *)
{
    // Every area is a whole-pixel rectangle, which antialiasing would draw
    // with exactly the same pixels at many times the cost, so it stays off.
    QPainter p(this);
    p.setPen(Qt::NoPen);

    if (!m_backgroundImage.isNull())
        p.drawImage(0, 0, m_backgroundImage);

    const int w = width();
    const int h = height();
    const int mid = half();
    if (mid != m_gradientHalf)
        rebuildGradients(mid);

    if (m_gradientBackground) {
        fillRows(p, w, mid, 2 * mid - 1, m_minBackgroundColor);
        fillRows(p, w, 0, mid - 1, m_backgroundGradient);
    } else {
        fillRows(p, w, h - m_zeroHeight, h - 1, m_minBackgroundColor);
        fillRows(p, w, 0, h - m_zeroHeight - 1, m_maxBackgroundColor);
    }

    if (m_gradientForground) {
        fillRows(p, w, h - std::min(m_barHeight, mid + 2), h - 1, m_minColor);
        if (m_barHeight > mid)
            fillRows(p, w, 2 * mid - m_barHeight, mid - 1, m_barGradient);
    } else if (m_barHeight > m_zeroHeight) {
        fillRows(p, w, h - m_zeroHeight, h - 1, m_minColor);
        fillRows(p, w, h - m_barHeight, h - m_zeroHeight - 1, m_maxColor);
    } else {
        fillRows(p, w, h - m_barHeight, h - 1, m_minColor);
    }
}
