#include "artwork.h"

#include "artworklayout.h"
#include "artworkpainter.h"
#include "designscreen.h"
#include "meterscale.h"
#include "version.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

using namespace ArtworkLayout;

namespace {

constexpr double kPi = 3.14159265358979323846;

QFont uiFont(int pixelSize)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixelSize);
    font.setHintingPreference(QFont::PreferFullHinting);
    return font;
}

// A gear outline: teeth as trapezoids around a root circle, with a hole.
QPainterPath gearPath(QPointF centre, double tip, double root, double hole, int teeth)
{
    QPainterPath path;
    const double pitch = 2.0 * kPi / teeth;
    const double tipHalf = pitch * 0.19;
    const double rootHalf = pitch * 0.29;
    auto at = [&](double angle, double radius) {
        return QPointF(centre.x() + radius * std::cos(angle), centre.y() + radius * std::sin(angle));
    };
    for (int i = 0; i < teeth; ++i) {
        const double a = i * pitch - kPi / 2.0;
        if (i == 0)
            path.moveTo(at(a - rootHalf, root));
        else
            path.lineTo(at(a - rootHalf, root));
        path.lineTo(at(a - tipHalf, tip));
        path.lineTo(at(a + tipHalf, tip));
        path.lineTo(at(a + rootHalf, root));
        // Root arc to the next tooth, in small steps.
        constexpr int steps = 8;
        const double from = a + rootHalf;
        const double to = a + pitch - rootHalf;
        for (int s = 1; s < steps; ++s)
            path.lineTo(at(from + (to - from) * s / steps, root));
    }
    path.closeSubpath();
    path.addEllipse(centre, hole, hole);
    path.setFillRule(Qt::OddEvenFill);
    return path;
}

} // namespace

namespace Artwork {

QImage background()
{
    return ArtworkPainter::background(ArtworkPainter::designTarget());
}

QImage filler()
{
    return ArtworkPainter::filler(QSize(kFillerWidth, kFillerHeight));
}

QImage settingsGear(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    const double s = size / 256.0;
    const QPointF centre(size / 2.0, size / 2.0);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xd3, 0xd9, 0xdf));
    p.drawPath(gearPath(centre, 122.0 * s, 94.0 * s, 40.0 * s, 8));
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

QImage appIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    const double s = size / 256.0;

    // Rounded plate with a light border.
    const double border = std::max(1.0, 10.0 * s);
    const QRectF plate(border / 2.0, border / 2.0, size - border, size - border);
    QLinearGradient fill(plate.topLeft(), plate.bottomLeft());
    fill.setColorAt(0.0, QColor(0x24, 0x2c, 0x35));
    fill.setColorAt(1.0, QColor(0x0f, 0x13, 0x18));
    p.setPen(QPen(QColor(0xa9, 0xb4, 0xbf), border));
    p.setBrush(fill);
    const double corner = 44.0 * s;
    p.drawRoundedRect(plate, corner, corner);

    // Clock ring: twelve hour marks, as on the studio clock.
    const QPointF centre(size / 2.0, size / 2.0);
    const QColor green(0x3c, 0xe0, 0x6e);
    if (size >= 48) {
        p.setPen(Qt::NoPen);
        p.setBrush(green);
        const double ring = 88.0 * s;
        const double dot = 9.0 * s;
        for (int i = 0; i < 12; ++i) {
            const double a = i * kPi / 6.0;
            p.drawEllipse(QPointF(centre.x() + ring * std::sin(a), centre.y() - ring * std::cos(a)), dot, dot);
        }
    } else {
        p.setPen(QPen(green, std::max(1.0, 14.0 * s)));
        p.setBrush(Qt::NoBrush);
        const double ring = 86.0 * s;
        p.drawEllipse(centre, ring, ring);
    }

    // Three meter bars of different heights: green, with amber and red
    // tops on the louder ones.
    const double barWidth = (size >= 48 ? 26.0 : 36.0) * s;
    const double gap = (size >= 48 ? 14.0 : 10.0) * s;
    const double bottom = centre.y() + 58.0 * s;
    const double fullHeight = 116.0 * s;
    const double levels[3] = {0.62, 0.95, 0.78};
    const double left = centre.x() - 1.5 * barWidth - gap;
    p.setRenderHint(QPainter::Antialiasing, size >= 48);
    for (int i = 0; i < 3; ++i) {
        const double x = left + i * (barWidth + gap);
        const double h = fullHeight * levels[i];
        QLinearGradient bar(QPointF(0, bottom), QPointF(0, bottom - fullHeight));
        bar.setColorAt(0.0, QColor(0x2f, 0xc8, 0x5c));
        bar.setColorAt(0.62, QColor(0x7c, 0xe0, 0x4a));
        bar.setColorAt(0.78, QColor(0xf2, 0xb1, 0x2c));
        bar.setColorAt(1.0, QColor(0xe8, 0x46, 0x3a));
        p.setPen(Qt::NoPen);
        p.setBrush(bar);
        p.drawRect(QRectF(x, bottom - h, barWidth, h));
    }
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

QImage mockScreen()
{
    // Only for judging the artwork by eye: rough stand-ins for what the
    // program draws on top (meters at sample levels, the clock's marks, the
    // texts and the settings icon). Not a picture the program uses.
    QImage image = background();
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    const double levels[6] = {-4.0, -7.0, -18.0, -16.0, 1.5, 0.0};
    int channel = 0;
    for (const MeterPair &pair : meterPairs()) {
        for (const QRect &meter : {pair.left, pair.right}) {
            const int bar = MeterScale::dinHeights(levels[channel++], meter.height(), MeterScale::Range{}).bar;
            QLinearGradient back(meter.bottomLeft(), meter.topLeft());
            back.setColorAt(0.5, QColor(0, 64, 0));
            back.setColorAt(1.0, QColor(64, 0, 0));
            p.fillRect(meter, back);
            QLinearGradient fore(meter.bottomLeft(), meter.topLeft());
            fore.setColorAt(0.5, QColor(0, 255, 0));
            fore.setColorAt(1.0, QColor(255, 0, 0));
            p.fillRect(QRect(meter.x(), meter.y() + meter.height() - bar, meter.width(), bar), fore);
        }
    }
    const QPointF centre = QRectF(kClockRect).center();
    const double unit = kClockRect.width() / 200.0;
    for (int i = 0; i < 60; ++i) {
        const double a = i * kPi / 30.0;
        const QPointF dir(std::sin(a), -std::cos(a));
        const double inner = (i % 5 == 0 ? 90.0 : 96.0) * unit;
        p.setPen(QPen(i % 5 == 0 ? QColor(0, 255, 0) : QColor(0, 170, 0), i % 5 == 0 ? 3.0 : 1.5));
        p.drawLine(centre + dir * inner, centre + dir * 100.0 * unit);
        if (i <= 37) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(255, 40, 40));
            p.drawEllipse(centre + dir * 84.0 * unit, 2.5 * unit, 2.5 * unit);
        }
    }
    p.setPen(Qt::white);
    p.setFont(uiFont(53));
    const QRect digital = DesignScreen::kRects[DesignScreen::DigitalClock];
    p.drawText(QRect(digital.topLeft(), QSize(digital.width(), 55)), Qt::AlignCenter, QStringLiteral("14:27:37"));
    p.setFont(uiFont(32));
    p.drawText(QRect(digital.topLeft() + QPoint(0, 65), QSize(digital.width(), 55)), Qt::AlignCenter,
               QStringLiteral("Sun 6 Dec 2026"));
    p.setFont(uiFont(20));
    const DesignScreen::Rects &design = DesignScreen::kRects;
    p.drawText(design[DesignScreen::LabelMeter1], Qt::AlignCenter, QStringLiteral("Program"));
    p.drawText(design[DesignScreen::LabelMeter2], Qt::AlignCenter, QStringLiteral("Sub"));
    p.drawText(design[DesignScreen::LabelMeter3], Qt::AlignCenter, QStringLiteral("CRM"));
    p.drawText(design[DesignScreen::TimeLabel], Qt::AlignCenter, QStringLiteral("System Time"));
    p.setPen(QColor(0xc0, 0xc0, 0xc0));
    p.setFont(uiFont(14));
    p.drawText(design[DesignScreen::FooterLabel], Qt::AlignCenter,
               QStringLiteral("Lumora Meters - v%1.%2").arg(LumoraVersion::kMajor).arg(LumoraVersion::kMinor));
    p.drawImage(kSettingsRect, settingsGear(256).scaled(25, 25, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    p.end();
    return image;
}

} // namespace Artwork
