#include "scaledlayout.h"

#include <cmath>

namespace ScaledLayout {

namespace {

// A double that is known to lie well inside the int range, cut toward zero.
int truncToInt(double v)
{
    return static_cast<int>(std::trunc(v));
}

bool isUsable(QSize window)
{
    return window.width() > 0 && window.height() > 0
        && window.width() <= kMaxSide && window.height() <= kMaxSide;
}

} // namespace

QRect scaleRect(const QRect &design, float scale, int dx, int dy)
{
    const double s = scale;
    return QRect(truncToInt(design.x() * s) + dx, truncToInt(design.y() * s) + dy,
                 truncToInt(design.width() * s), truncToInt(design.height() * s));
}

int scaledPointSize(int designPt, float scale)
{
    return truncToInt(designPt * static_cast<double>(scale));
}

Result compute(QSize window, const Rects &design, const QRect &linkMarkDesign)
{
    Result res;
    if (!isUsable(window))
        return res;

    // 64-bit products: h * 986 leaves the int range long before kMaxSide.
    const qint64 w = window.width();
    const qint64 h = window.height();
    const double r = double(w) / double(h);
    double scale = 0.0;
    if (r > kWideThreshold) {
        const qint64 sw = h * kDesignWidth / kDesignHeight;
        res.dx = int((w - sw) / 2);
        res.dy = 0;
        scale = (double(sw) / 986.0 + double(h) / 580.0) * 0.5;
    } else {
        const qint64 sh = w * kDesignHeight / kDesignWidth;
        res.dx = 0;
        res.dy = int((h - sh) / 2);
        scale = (double(w) / 986.0 + double(sh) / 580.0) * 0.5;
    }
    // Rounded once to single precision; everything below uses this value.
    res.scale = static_cast<float>(scale);

    for (int i = 0; i < kWidgetCount; ++i)
        res.rects[i] = scaleRect(design[i], res.scale, res.dx, res.dy);
    res.linkMark = scaleRect(linkMarkDesign, res.scale, res.dx, res.dy);
    res.tallyLamp = scaleRect(kTallyLamp, res.scale, res.dx, res.dy);
    for (size_t i = 0; i < res.noData.size(); ++i)
        res.noData[i] = scaleRect(kNoDataMarks[i], res.scale, res.dx, res.dy);
    res.noDataPt = scaledPointSize(kNoDataPt, res.scale);

    res.labelPt = scaledPointSize(kLabelPt, res.scale);
    res.footerPt = scaledPointSize(kFooterPt, res.scale);
    res.timePt = scaledPointSize(kTimePt, res.scale);
    res.datePt = scaledPointSize(kDatePt, res.scale);
    res.valid = true;
    return res;
}

QSize fittedArtworkSize(QSize window)
{
    if (window.width() <= 0 || window.height() <= 0)
        return QSize(0, 0);
    return QSize(kDesignWidth, kDesignHeight).scaled(window, Qt::KeepAspectRatio);
}

QPoint paintOffset(QSize window, QSize artwork)
{
    // In 64 bits: the difference of two arbitrary ints may leave the int
    // range, half of it never does.
    return QPoint(int((qint64(window.width()) - artwork.width()) / 2),
                  int((qint64(window.height()) - artwork.height()) / 2));
}

QSize devicePixelSize(QSize logical, double devicePixelRatio)
{
    if (logical.width() <= 0 || logical.height() <= 0)
        return QSize(0, 0);
    const double dpr = (std::isfinite(devicePixelRatio) && devicePixelRatio > 0.0)
        ? devicePixelRatio : 1.0;
    // Clamped before the conversion: a huge ratio must not overflow the int.
    const auto side = [dpr](int v) {
        const double d = std::round(v * dpr);
        return d >= kMaxSide ? kMaxSide : (d < 1.0 ? 1 : static_cast<int>(d));
    };
    return QSize(side(logical.width()), side(logical.height()));
}

} // namespace ScaledLayout
