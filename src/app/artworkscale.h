#pragma once

#include <QPixmap>
#include <QPoint>
#include <QSize>

// The costly half of the layout pass: the artwork fitted to the window with
// its aspect ratio kept, and the filler over the rest of the window. Both are
// drawn afresh at the window's device-pixel size, so edges, marks and
// lettering stay sharp; the loaded pictures are what is shown when that
// cannot be done. Done once per resize; paints only draw the results.
namespace ArtworkScale {

// A piece of the filler and where it goes, in window pixels.
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
    // is some 0.4 MB instead of 8 MB for the whole filler.
    FillerStrip fillerFirst;
    FillerStrip fillerSecond;
};

// windowSize is in device-independent pixels; the pictures are made in
// device pixels (windowSize times ratio) so they stay sharp on high-DPI
// screens, and carry that ratio. At the artwork's own size the loaded
// background is used as it is; where the artwork cannot be drawn, the loaded
// pictures are stretched instead. A null filler leaves the strips empty.
Scaled scale(const QPixmap &background, const QPixmap &filler, const QSize &windowSize, qreal ratio);

} // namespace ArtworkScale
