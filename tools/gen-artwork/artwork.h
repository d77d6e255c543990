#pragma once

#include <QImage>

// The program's pictures, drawn in code so they can be regenerated exactly.
// The screen artwork and the filler come from the program's own drawing
// (ArtworkPainter) at the design size, the same code that draws them at the
// window's size when the screen is scaled.
namespace Artwork {

QImage background();            // 986 x 580 screen artwork
QImage filler();                // 1024 x 580, shown beside a resized artwork
QImage settingsGear(int size);  // light grey gear on transparent
QImage appIcon(int size);       // window and file icon at one size
QImage mockScreen();            // artwork with rough stand-ins drawn over it

} // namespace Artwork
