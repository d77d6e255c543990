#include "tallylamp.h"

#include <QFont>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QTimer>

#include <algorithm>

#include "artworklayout.h"
#include "secondticker.h"

namespace {

// The lamp's design size; every length below is of it.
constexpr double kDesignHeight = 80.0;
constexpr double kFieldInset = 7.0;
constexpr double kFieldCorner = 4.0;
constexpr double kOutline = 2.0;
// Of the field's height, lit: the text above, the time below.
constexpr double kTextShare = 0.62;

QFont fitted(QFont font, const QString &text, const QRectF &box, double share)
{
    // As large as the box allows, then smaller until the text fits across.
    font.setPixelSize(std::max(1, int(box.height() * share)));
    const QFontMetricsF metrics(font);
    const double width = metrics.horizontalAdvance(text);
    if (width > box.width() && width > 0)
        font.setPixelSize(std::max(1, int(font.pixelSize() * box.width() / width)));
    return font;
}

} // namespace

TallyLamp::TallyLamp(QWidget *parent)
    : QWidget(parent)
    , m_timer(new QTimer(this))
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    m_timer->setInterval(kTickMs);
    connect(m_timer, &QTimer::timeout, this, &TallyLamp::checkTime);
}

QString TallyLamp::onAirText(qint64 seconds)
{
    seconds = std::max<qint64>(0, seconds);
    const qint64 h = seconds / 3600;
    const QString mmss = QStringLiteral("%1:%2").arg((seconds / 60) % 60, h > 0 ? 2 : 1, 10, QLatin1Char('0'))
                             .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return h > 0 ? QString::number(h) + QLatin1Char(':') + mmss : mmss;
}

void TallyLamp::setTicker(SecondTicker *ticker)
{
    SecondTicker::attach(this, m_ticker, ticker, m_timer, kTickMs);
    if (!m_on)
        m_timer->stop();
}

void TallyLamp::setOn(bool on)
{
    if (on == m_on)
        return;
    m_on = on;
    if (!m_ticker) {
        if (on)
            m_timer->start();
        else
            m_timer->stop();
    }
    m_shownTime = on ? timeNow() : QString();
    update();
}

void TallyLamp::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    update();
}

void TallyLamp::setSince(const QDateTime &since)
{
    if (since == m_since)
        return;
    m_since = since;
    if (m_on) {
        m_shownTime = timeNow();
        update();
    }
}

void TallyLamp::setLitColor(const QColor &color)
{
    if (color == m_litColor)
        return;
    m_litColor = color;
    update();
}

void TallyLamp::setTextColor(const QColor &color)
{
    if (color == m_textColor)
        return;
    m_textColor = color;
    update();
}

void TallyLamp::setDarkColor(const QColor &color)
{
    if (color == m_darkColor)
        return;
    m_darkColor = color;
    update();
}

QString TallyLamp::timeNow() const
{
    if (!m_since.isValid())
        return onAirText(0);
    const QDateTime now = m_ticker ? m_ticker->now() : QDateTime::currentDateTime();
    return onAirText(m_since.msecsTo(now) / 1000);
}

void TallyLamp::checkTime()
{
    if (!m_on)
        return;
    const QString shown = timeNow();
    if (shown == m_shownTime)
        return;
    m_shownTime = shown;
    // Only the time's rows are drawn again.
    update(timeRect().toAlignedRect().adjusted(-1, -1, 1, 1));
}

QRectF TallyLamp::fieldRect() const
{
    const double k = height() / kDesignHeight;
    const double inset = std::round(kFieldInset * k);
    return QRectF(rect()).adjusted(inset, inset, -inset, -inset);
}

QRectF TallyLamp::timeRect() const
{
    const QRectF field = fieldRect();
    const double top = field.top() + field.height() * kTextShare;
    return QRectF(field.left(), top, field.width(), field.bottom() - top - field.height() * 0.06);
}

void TallyLamp::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    const double k = height() / kDesignHeight;

    // The panel: a one-pixel border on whole device pixels, as the
    // artwork's panels have.
    const double pen = 1.0 / devicePixelRatioF();
    const QRectF panel = QRectF(rect()).adjusted(pen / 2, pen / 2, -pen / 2, -pen / 2);
    const double corner = ArtworkLayout::kPanelCorner * k;
    QLinearGradient fill(panel.topLeft(), panel.bottomLeft());
    fill.setColorAt(0.0, ArtworkLayout::panelTop());
    fill.setColorAt(1.0, ArtworkLayout::panelBottom());
    p.setPen(QPen(ArtworkLayout::panelBorder(), pen));
    p.setBrush(fill);
    p.drawRoundedRect(panel, corner, corner);

    const QRectF field = fieldRect();
    const double fieldCorner = kFieldCorner * k;
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setWeight(QFont::Bold);
    font.setHintingPreference(QFont::PreferFullHinting);
    if (m_on) {
        p.setPen(Qt::NoPen);
        p.setBrush(m_litColor);
        p.drawRoundedRect(field, fieldCorner, fieldCorner);
        const QRectF textBox(field.left() + 4 * k, field.top(), field.width() - 8 * k, field.height() * kTextShare);
        p.setPen(m_textColor);
        p.setFont(fitted(font, m_text, textBox.adjusted(0, textBox.height() * 0.12, 0, 0), 0.78));
        p.drawText(textBox.adjusted(0, textBox.height() * 0.12, 0, 0), Qt::AlignCenter, m_text);
        QFont time = font;
        time.setWeight(QFont::Normal);
        p.setFont(fitted(time, m_shownTime, timeRect(), 0.9));
        p.drawText(timeRect(), Qt::AlignCenter, m_shownTime);
        return;
    }
    const double outline = std::max(pen, std::round(kOutline * k * devicePixelRatioF()) / devicePixelRatioF());
    p.setPen(QPen(m_darkColor, outline));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(field.adjusted(outline / 2, outline / 2, -outline / 2, -outline / 2), fieldCorner, fieldCorner);
    const QRectF textBox = field.adjusted(4 * k, 0, -4 * k, 0);
    p.setFont(fitted(font, m_text, textBox, 0.78 * kTextShare));
    p.drawText(textBox, Qt::AlignCenter, m_text);
}
