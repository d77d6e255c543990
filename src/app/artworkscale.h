#pragma once

#include <QPixmap>
#include <QPoint>
#include <QSize>

// The costly half of the layout pass: the artwork scaled to fit the window
// with its aspect ratio kept, and the filler stretched over the whole window,
// both with smooth filtering. Done once per resize; paints only draw the
// results.
namespace ArtworkScale {

// A piece of the stretched filler and where it goes, in window pixels.
struct FillerStrip
{
    QPoint at;
    QPixmap pixels;
};

struct Scaled
{
    QPixmap background;
    // The artwork covers the filler except for two strips beside it (left and
    // right, or above and below). Only those are kept: at 1920 x 1080 that
    // is some 0.4 MB instead of 8 MB for the whole stretched filler.
    FillerStrip fillerFirst;
    FillerStrip fillerSecond;
};

// windowSize is in device-independent pixels; the pictures are scaled to
// device pixels (windowSize times ratio) so they stay sharp on high-DPI
// screens, and carry that ratio.
Scaled scale(const QPixmap &background, const QPixmap &filler, const QSize &windowSize, qreal ratio);

} // namespace ArtworkScale
