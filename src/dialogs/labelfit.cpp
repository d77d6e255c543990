#include "labelfit.h"

#include <QFontMetricsF>

#include <cmath>

namespace {

// Finer steps than a whole point keep long names as large as they fit.
constexpr double kStep = 0.25;

double sizeOf(const QFont &font)
{
    return font.pointSizeF() > 0 ? font.pointSizeF() : double(font.pixelSize());
}

void setSize(QFont *font, double size, bool points)
{
    if (points)
        font->setPointSizeF(size);
    else
        font->setPixelSize(std::max(1, int(size)));
}

bool fits(const QString &text, const QFont &font, int width)
{
    return QFontMetricsF(font).horizontalAdvance(text) <= width;
}

} // namespace

LabelFit LabelFit::compute(const QString &text, const QFont &font, int width)
{
    LabelFit fit{font, text};
    if (text.isEmpty() || width <= 0 || fits(text, font, width))
        return fit;

    const bool points = font.pointSizeF() > 0;
    const double full = sizeOf(font);
    const double smallest = full * kMinimumShare;
    // Text width grows about in step with the font size: start from the
    // estimate, then step down until it truly fits.
    const double advance = QFontMetricsF(font).horizontalAdvance(text);
    double size = std::floor(full * width / advance / kStep) * kStep;
    size = std::max(smallest, std::min(size, full - kStep));
    for (;;) {
        setSize(&fit.font, size, points);
        if (fits(text, fit.font, width) || size <= smallest)
            break;
        size = std::max(smallest, size - kStep);
    }
    fit.shrunk = true;
    if (!fits(text, fit.font, width)) {
        fit.shown = QFontMetrics(fit.font).elidedText(text, Qt::ElideRight, width);
        fit.elided = true;
    }
    return fit;
}
