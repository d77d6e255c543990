#pragma once

#include <QByteArray>
#include <QVector>

class QImage;

// A Windows icon file holding several sizes of one picture. Qt's own ICO
// writer stores a single image, so the container is written here: 32-bit
// BGRA bitmaps with an AND mask for the small sizes (readable everywhere),
// PNG for 256 px as Windows expects for that size.
namespace IcoWriter {

// Each image must be square, 1 to 256 px. Returns an empty array otherwise.
QByteArray icoFile(const QVector<QImage> &images);

} // namespace IcoWriter
