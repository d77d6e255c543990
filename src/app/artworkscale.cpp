#include "artworkscale.h"

#include <QPainter>
#include <QRect>

#include <cmath>

#include "scaledlayout.h"

namespace ArtworkScale {

namespace {

// The part `strip` (window pixels) of the filler stretched over the whole
// window, drawn straight into a pixmap of the strip's size.
FillerStrip stretchedPart(const QPixmap &filler, const QSize &windowSize, const QRect &strip, qreal ratio)
{
    FillerStrip part;
    part.at = strip.topLeft();
    if (filler.isNull() || strip.isEmpty())
        return part;
    const QSize devicePixels = ScaledLayout::devicePixelSize(strip.size(), ratio);
    if (devicePixels.isEmpty())
        return part;
    QPixmap pixels(devicePixels);
    pixels.fill(Qt::transparent);
    {
        QPainter painter(&pixels);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const QRectF whole(-strip.left() * ratio, -strip.top() * ratio,
                           windowSize.width() * ratio, windowSize.height() * ratio);
        painter.drawPixmap(whole, filler, QRectF(filler.rect()));
    }
    pixels.setDevicePixelRatio(ratio);
    part.pixels = std::move(pixels);
    return part;
}

} // namespace

Scaled scale(const QPixmap &background, const QPixmap &filler, const QSize &windowSize, qreal ratio)
{
    const QSize devicePixels = ScaledLayout::devicePixelSize(windowSize, ratio);
    Scaled s;
    s.background = background.scaled(devicePixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    s.background.setDevicePixelRatio(ratio);

    // The free strips beside the fitted artwork, each reaching one pixel under
    // it, so rounding on a high-DPI screen can leave no seam.
    const QSize art = ScaledLayout::fittedArtworkSize(windowSize);
    const QPoint offset = ScaledLayout::paintOffset(windowSize, art);
    const int w = windowSize.width();
    const int h = windowSize.height();
    QRect first, second;
    if (art.width() < w) {
        first = QRect(0, 0, offset.x() + 1, h);
        const int right = offset.x() + art.width() - 1;
        second = QRect(right, 0, w - right, h);
    } else if (art.height() < h) {
        first = QRect(0, 0, w, offset.y() + 1);
        const int bottom = offset.y() + art.height() - 1;
        second = QRect(0, bottom, w, h - bottom);
    }
    s.fillerFirst = stretchedPart(filler, windowSize, first, ratio);
    s.fillerSecond = stretchedPart(filler, windowSize, second, ratio);
    return s;
}

} // namespace ArtworkScale
