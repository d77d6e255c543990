#pragma once

#include <QPixmap>
#include <QSize>

// The costly half of the layout pass: the artwork scaled to fit the window
// with its aspect ratio kept, and the filler stretched over the whole window,
// both with smooth filtering. Done once per resize; paints only draw the
// results.
namespace ArtworkScale {

struct Scaled
{
    QPixmap background;
    QPixmap filler;
};

// windowSize is in device-independent pixels; the pictures are scaled to
// device pixels (windowSize times ratio) so they stay sharp on high-DPI
// screens, and carry that ratio.
Scaled scale(const QPixmap &background, const QPixmap &filler, const QSize &windowSize, qreal ratio);

} // namespace ArtworkScale
