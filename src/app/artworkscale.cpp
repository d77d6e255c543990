#include "artworkscale.h"

#include <QPainter>
#include <QRect>

#include <cmath>

#include "artworkpainter.h"
#include "scaledlayout.h"

namespace ArtworkScale {

namespace {

// The part `strip` (window pixels) of the filler over the whole window:
// drawn at the strip's size, or, failing that, cut from the loaded filler
// stretched over the window.
FillerStrip fillerPart(const QPixmap &filler, const QSize &windowSize, const QRect &strip, qreal ratio)
{
    FillerStrip part;
    part.at = strip.topLeft();
    if (filler.isNull() || strip.isEmpty())
        return part;
    const QSize devicePixels = ScaledLayout::devicePixelSize(strip.size(), ratio);
    if (devicePixels.isEmpty())
        return part;
    QImage drawn = ArtworkPainter::filler(devicePixels);
    QPixmap pixels;
    if (!drawn.isNull()) {
        pixels = QPixmap::fromImage(std::move(drawn));
    } else {
        pixels = QPixmap(devicePixels);
        pixels.fill(Qt::transparent);
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

// The artwork at `pixels` (device pixels), drawn with the window's layout
// factor so the scale marks meet the meters the layout pass places.
QPixmap artworkAt(const QPixmap &background, const QSize &pixels, const QSize &windowSize, qreal ratio)
{
    if (pixels == background.size())
        return background;
    const ScaledLayout::Result layout = ScaledLayout::compute(windowSize);
    if (layout.valid) {
        QImage drawn = ArtworkPainter::background({pixels, ratio, layout.scale});
        if (!drawn.isNull())
            return QPixmap::fromImage(std::move(drawn));
    }
    return background.scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

} // namespace

Scaled scale(const QPixmap &background, const QPixmap &filler, const QSize &windowSize, qreal ratio)
{
    const QSize devicePixels = ScaledLayout::devicePixelSize(windowSize, ratio);
    Scaled s;
    if (!background.isNull() && !devicePixels.isEmpty()) {
        const QSize fitted = background.size().scaled(devicePixels, Qt::KeepAspectRatio);
        s.background = artworkAt(background, fitted, windowSize, ratio);
    }
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
    s.fillerFirst = fillerPart(filler, windowSize, first, ratio);
    s.fillerSecond = fillerPart(filler, windowSize, second, ratio);
    return s;
}

} // namespace ArtworkScale
