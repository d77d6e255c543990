#include "artworkscale.h"

#include "scaledlayout.h"

namespace ArtworkScale {

Scaled scale(const QPixmap &background, const QPixmap &filler, const QSize &windowSize, qreal ratio)
{
    const QSize devicePixels = ScaledLayout::devicePixelSize(windowSize, ratio);
    Scaled s;
    s.background = background.scaled(devicePixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    s.background.setDevicePixelRatio(ratio);
    s.filler = filler.scaled(devicePixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    s.filler.setDevicePixelRatio(ratio);
    return s;
}

} // namespace ArtworkScale
