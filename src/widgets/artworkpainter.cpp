#include "artworkpainter.h"

#include "artworklayout.h"
#include "meterscale.h"

#include <QFont>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>

#include <algorithm>
#include <cmath>

using namespace ArtworkLayout;

namespace {

const QColor kPanelTop = panelTop();
const QColor kPanelBottom = panelBottom();
const QColor kPanelBorder = panelBorder();
const QColor kPanelHighlight = panelHighlight();
const QColor kWell(0x06, 0x08, 0x0a);
const QColor kWellRim(0x30, 0x38, 0x42);
const QColor kHeaderText(0x8d, 0x99, 0xa6);
const QColor kScaleText(0x9c, 0xa7, 0xb3);
const QColor kWordmark(0xd0, 0xd7, 0xde);
const QColor kWordmarkSub(0x6c, 0x78, 0x84);
const QColor kDialPlate(0x0f, 0x13, 0x17);
const QColor kDialRim(0x26, 0x2e, 0x37);

// Design pixels to device pixels. Everything is drawn in device pixels with
// an untransformed painter, so that each edge meant to be sharp can be put
// on a whole pixel.
class Grid
{
public:
    explicit Grid(const ArtworkPainter::Target &t) : m_scale(t.scale), m_ratio(t.ratio), m_k(t.scale * t.ratio) {}

    double k() const { return m_k; }
    // A design length or coordinate on the nearest whole device pixel.
    int px(double design) const { return int(std::lround(design * m_k)); }
    // A design length of at least one device pixel.
    int thick(double design) const { return std::max(1, px(design)); }
    // A window pixel coordinate in device pixels.
    int device(int logical) const { return int(std::lround(logical * m_ratio)); }
    // A widget's design rectangle where the window puts the widget, in
    // device pixels of the artwork.
    QRect widget(const QRect &design) const
    {
        const QRect r = placed(design, m_scale);
        return QRect(QPoint(device(r.x()), device(r.y())),
                     QPoint(device(r.x() + r.width()) - 1, device(r.y() + r.height()) - 1));
    }
    // Top device row of the mark for db beside a meter: the first row of a
    // bar of that level, as the meter computes it at its placed height.
    int markRow(const QRect &design, double db) const
    {
        const QRect r = placed(design, m_scale);
        const int bar = MeterScale::dinHeights(db, r.height(), MeterScale::Range{}).bar;
        return device(r.y() + r.height() - bar);
    }

private:
    float m_scale;
    qreal m_ratio;
    double m_k;
};

QFont uiFont(int pixelSize, int weight = QFont::Normal, qreal spacing = 0.0)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(std::max(1, pixelSize));
    font.setWeight(weight);
    font.setHintingPreference(QFont::PreferFullHinting);
    if (spacing != 0.0)
        font.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
    return font;
}

// A rounded panel whose one-pixel border lies inside `outer` (design pixels,
// outer edges of the border), with a light catch along its top edge.
void drawPanel(QPainter &p, const Grid &g, const QRect &outer)
{
    const int pen = g.thick(1.0);
    const int x0 = g.px(outer.x());
    const int y0 = g.px(outer.y());
    const int x1 = g.px(outer.x() + outer.width());
    const int y1 = g.px(outer.y() + outer.height());
    // The pen is centred on the rectangle's edge: half a pen inside the outer
    // edge, so an odd pen width covers whole pixels too.
    const QRectF rect(x0 + pen / 2.0, y0 + pen / 2.0, x1 - x0 - pen, y1 - y0 - pen);
    const double corner = kPanelCorner * g.k();
    QLinearGradient fill(rect.topLeft(), rect.bottomLeft());
    fill.setColorAt(0.0, kPanelTop);
    fill.setColorAt(1.0, kPanelBottom);
    p.setPen(QPen(kPanelBorder, pen));
    p.setBrush(fill);
    p.drawRoundedRect(rect, corner, corner);
    // A faint light catch along the top edge gives the panel some depth.
    const double row = y0 + pen + pen / 2.0;
    p.setPen(QPen(kPanelHighlight, pen));
    p.drawLine(QPointF(rect.left() + corner, row), QPointF(rect.right() - corner, row));
}

// The recess the meter sits in; the meter itself paints its own rectangle.
void drawMeterWell(QPainter &p, const Grid &g, const QRect &design)
{
    const QRect meter = g.widget(design);
    const int rim = g.px(3.0);
    const int well = g.px(2.0);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillRect(meter.adjusted(-rim, -rim, rim, rim), kWellRim);
    p.fillRect(meter.adjusted(-well, -well, well, well), kWell);
    p.setRenderHint(QPainter::Antialiasing, true);
}

void drawScale(QPainter &p, const Grid &g, const MeterPair &pair)
{
    const QFont numbers = uiFont(g.px(pair.left.height() > 300 ? 10 : 9));
    p.setFont(numbers);
    const QFontMetrics fm(numbers);
    const QRect left = g.widget(pair.left);
    const QRect right = g.widget(pair.right);
    const int gapLeft = left.x() + left.width();
    const int gapRight = right.x();
    const int centre = (gapLeft + gapRight) / 2;
    const int gap = g.px(kTickGap);
    const int rows = g.thick(1.0);

    for (const Mark &mark : kMarks) {
        const int length = g.thick(mark.text ? kMajorTick : kMinorTick);
        const QColor colour = tickColor(mark.db);
        // Exact ticks without antialiasing, so a tick cannot bleed into the
        // rows next to it. The tick's top row is the bar's top row.
        p.setRenderHint(QPainter::Antialiasing, false);
        const int leftRow = g.markRow(pair.left, mark.db);
        const int rightRow = g.markRow(pair.right, mark.db);
        p.fillRect(QRect(gapLeft + gap, leftRow, length, rows), colour);
        p.fillRect(QRect(gapRight - gap - length, rightRow, length, rows), colour);
        p.setRenderHint(QPainter::Antialiasing, true);

        if (!mark.text)
            continue;
        const QString text = QString::fromLatin1(mark.text);
        const int w = fm.horizontalAdvance(text);
        const QColor textColour = mark.db >= 0.0 ? colour : kScaleText;
        p.setPen(textColour);
        const int baseline = leftRow + (rows - 1) / 2 + (fm.ascent() - fm.descent()) / 2;
        p.drawText(centre - w / 2, baseline, text);
    }
}

void drawHeader(QPainter &p, const Grid &g, const MeterPair &pair)
{
    const int spacing = g.px(2.0);
    const QFont font = uiFont(g.px(11), QFont::Bold, spacing);
    p.setFont(font);
    p.setPen(kHeaderText);
    const QString text = QString::fromLatin1(pair.header);
    const QFontMetrics fm(font);
    const QRect left = g.widget(pair.left);
    const QRect right = g.widget(pair.right);
    // Letter spacing adds a trailing gap; take it off to centre the glyphs.
    const int w = fm.horizontalAdvance(text) - spacing;
    const int centre = (left.x() + right.x() + right.width()) / 2;
    const int top = left.y() - g.px(30);
    p.drawText(centre - w / 2, top + fm.ascent(), text);
}

void drawClockPlate(QPainter &p, const Grid &g)
{
    // A flat, slightly recessed dial plate: the clock draws its own marks
    // and the digital time shows through its middle, so nothing else here.
    const QRectF clock(g.widget(kClockRect));
    const QPointF centre = clock.center();
    const double radius = clock.width() / 2.0 + 3.0 * g.k();
    p.setPen(QPen(kDialRim, 1.5 * g.k()));
    p.setBrush(kDialPlate);
    p.drawEllipse(centre, radius, radius);
    p.setPen(QPen(kPanelBottom, 1.0 * g.k()));
    p.setBrush(Qt::NoBrush);
    const double outer = radius + 3.0 * g.k();
    p.drawEllipse(centre, outer, outer);
}

// A small round seat for the settings icon, which the program draws on it.
void drawIconSeat(QPainter &p, const Grid &g)
{
    const QPointF centre = QRectF(g.widget(kSettingsRect)).center();
    const double radius = 17.0 * g.k();
    p.setPen(QPen(kPanelBorder, 1.0 * g.k()));
    p.setBrush(kPanelBottom);
    p.drawEllipse(centre, radius, radius);
}

void drawWordmark(QPainter &p, const Grid &g)
{
    const QFont brand = uiFont(g.px(15), QFont::Bold, g.px(3.0));
    // The subtitle's spacing is a fraction of a pixel by design; it scales as is.
    const QFont sub = uiFont(g.px(10), QFont::Normal, 2.5 * g.k());
    const int baseline = g.px(28);
    const int left = g.px(34);
    p.setFont(brand);
    p.setPen(kWordmark);
    const QString name = QStringLiteral("LUMORA");
    p.drawText(left, baseline, name);
    const int x = left + QFontMetrics(brand).horizontalAdvance(name) + g.px(6);
    p.setFont(sub);
    p.setPen(kWordmarkSub);
    p.drawText(x, baseline, QStringLiteral("METERS"));
}

} // namespace

namespace ArtworkPainter {

Target designTarget()
{
    return Target{QSize(kWidth, kHeight), 1.0, 1.0f};
}

QImage background(const Target &target)
{
    const bool usable = !target.pixels.isEmpty() && std::isfinite(target.ratio) && target.ratio > 0.0
        && std::isfinite(target.scale) && target.scale > 0.0f;
    if (!usable)
        return QImage();
    QImage image(target.pixels, QImage::Format_RGB32);
    if (image.isNull())
        return image;
    image.fill(baseColor());
    const Grid g(target);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setRenderHint(QPainter::TextAntialiasing, true);

        drawPanel(p, g, kBusPanel);
        drawPanel(p, g, kClockPanel);
        drawPanel(p, g, kMonitorPanel);
        drawClockPlate(p, g);
        drawWordmark(p, g);
        drawIconSeat(p, g);

        for (const MeterPair &pair : meterPairs()) {
            drawHeader(p, g, pair);
            drawMeterWell(p, g, pair.left);
            drawMeterWell(p, g, pair.right);
            drawScale(p, g, pair);
        }
    }
    image.setDevicePixelRatio(target.ratio);
    return image;
}

QImage filler(const QSize &pixels)
{
    if (pixels.isEmpty())
        return QImage();
    QImage image(pixels, QImage::Format_RGB32);
    if (!image.isNull())
        image.fill(baseColor());
    return image;
}

} // namespace ArtworkPainter
