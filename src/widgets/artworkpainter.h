#pragma once

#include <QImage>
#include <QSize>

// Draws the screen artwork and the filler beside it at the size they are
// shown, so panel edges, scale marks and lettering stay sharp on a large
// screen instead of being stretched from the 986 x 580 picture. The program
// draws them in each layout pass; the artwork generator writes the same
// drawing, at the design size, into the resource pictures.
namespace ArtworkPainter {

struct Target
{
    QSize pixels;        // size of the picture in device pixels
    qreal ratio = 1.0;   // device pixels per window pixel
    float scale = 1.0f;  // design pixels to window pixels, the window's own layout factor
};

// The 986 x 580 design screen at one device pixel per pixel.
Target designTarget();

// The screen artwork for the target, carrying the target's pixel ratio.
// The meter marks sit on the rows where the meters, placed by the window
// with the same scale, put the top of a bar of that level. Null for an
// empty target or when the picture cannot be allocated.
QImage background(const Target &target);

// The plain picture shown beside the artwork, of the given size in device
// pixels; null for an empty size.
QImage filler(const QSize &pixels);

} // namespace ArtworkPainter
