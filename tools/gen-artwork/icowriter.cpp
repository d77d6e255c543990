#include "icowriter.h"

#include <QBuffer>
#include <QImage>

#include <cstdint>

namespace {

constexpr int kDirHeaderSize = 6;
constexpr int kDirEntrySize = 16;
constexpr int kBitmapInfoSize = 40;
constexpr int kPngThreshold = 256;

void putLe16(QByteArray &out, int value)
{
    out.append(char(value & 0xFF));
    out.append(char((value >> 8) & 0xFF));
}

void putLe32(QByteArray &out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.append(char((value >> (8 * i)) & 0xFF));
}

QByteArray pngEntry(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// A DIB as an icon entry: the header states twice the height (colour rows
// plus mask rows), rows run bottom-up, and the 1-bit AND mask follows with
// each row padded to 32 bits.
QByteArray bitmapEntry(const QImage &source)
{
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    const int size = image.width();
    const int maskStride = ((size + 31) / 32) * 4;
    const std::uint32_t pixelBytes = std::uint32_t(size) * std::uint32_t(size) * 4u;
    const std::uint32_t maskBytes = std::uint32_t(maskStride) * std::uint32_t(size);

    QByteArray out;
    putLe32(out, kBitmapInfoSize);
    putLe32(out, std::uint32_t(size));
    putLe32(out, std::uint32_t(size) * 2u);
    putLe16(out, 1);   // planes
    putLe16(out, 32);  // bits per pixel
    putLe32(out, 0);   // BI_RGB
    putLe32(out, pixelBytes + maskBytes);
    putLe32(out, 0);
    putLe32(out, 0);
    putLe32(out, 0);
    putLe32(out, 0);

    for (int y = size - 1; y >= 0; --y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < size; ++x) {
            out.append(char(qBlue(row[x])));
            out.append(char(qGreen(row[x])));
            out.append(char(qRed(row[x])));
            out.append(char(qAlpha(row[x])));
        }
    }
    // Old readers without alpha use the mask: set = transparent.
    for (int y = size - 1; y >= 0; --y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        QByteArray maskRow(maskStride, '\0');
        for (int x = 0; x < size; ++x) {
            if (qAlpha(row[x]) == 0)
                maskRow[x / 8] = char(maskRow[x / 8] | (0x80 >> (x % 8)));
        }
        out.append(maskRow);
    }
    return out;
}

} // namespace

namespace IcoWriter {

QByteArray icoFile(const QVector<QImage> &images)
{
    QVector<QByteArray> entries;
    for (const QImage &image : images) {
        if (image.isNull() || image.width() != image.height()
            || image.width() < 1 || image.width() > kPngThreshold)
            return {};
        entries.append(image.width() >= kPngThreshold ? pngEntry(image) : bitmapEntry(image));
    }

    QByteArray out;
    putLe16(out, 0);  // reserved
    putLe16(out, 1);  // type: icon
    putLe16(out, images.size());
    std::uint32_t offset = std::uint32_t(kDirHeaderSize + kDirEntrySize * images.size());
    for (int i = 0; i < images.size(); ++i) {
        const int size = images.at(i).width();
        out.append(char(size >= 256 ? 0 : size));  // 0 stands for 256
        out.append(char(size >= 256 ? 0 : size));
        out.append(char(0));  // no palette
        out.append(char(0));  // reserved
        putLe16(out, 1);      // planes
        putLe16(out, 32);     // bits per pixel
        putLe32(out, std::uint32_t(entries.at(i).size()));
        putLe32(out, offset);
        offset += std::uint32_t(entries.at(i).size());
    }
    for (const QByteArray &entry : entries)
        out.append(entry);
    return out;
}

} // namespace IcoWriter
