#pragma once

#include <QColor>
#include <QRect>
#include <QRectF>

#include <array>
#include <cmath>

#include "designscreen.h"

// Where the screen artwork puts things, in the pixels of the 986 x 580 design
// screen. The meters are drawn by the program on top of the artwork; the dB
// marks printed beside them must meet the top edge of a bar of that level, so
// the mark rows come from MeterScale::dinHeights at these very rectangles.
namespace ArtworkLayout {

constexpr int kWidth = DesignScreen::kWidth;
constexpr int kHeight = DesignScreen::kHeight;
constexpr int kFillerWidth = 1024;
constexpr int kFillerHeight = 580;

struct MeterPair
{
    const char *header;  // engraved above the pair
    QRect left;
    QRect right;
};

// Prog, Sub and control-room monitor, in packet order, at the meters' own
// design rectangles in the main window.
inline const std::array<MeterPair, 3> &meterPairs()
{
    using namespace DesignScreen;
    const Rects &design = kRects;
    static const std::array<MeterPair, 3> pairs{{
        {"PGM", design[ProgLeft], design[ProgRight]},
        {"SUB", design[SubLeft], design[SubRight]},
        {"CRM", design[CrmLeft], design[CrmRight]},
    }};
    return pairs;
}

// Panels behind the two studio meter pairs, the clock and the monitor pair,
// as the outer edges of their one-pixel borders.
constexpr QRect kBusPanel(30, 40, 303, 501);
constexpr QRect kClockPanel(341, 40, 425, 501);
constexpr QRect kMonitorPanel(805, 150, 151, 391);
constexpr double kPanelCorner = 7.0;
// The panels' fill (top to bottom), their border and the light catch along
// their top edge; the ON AIR lamp draws its panel in the same.
inline QColor panelTop() { return QColor(0x1c, 0x22, 0x29); }
inline QColor panelBottom() { return QColor(0x16, 0x1b, 0x21); }
inline QColor panelBorder() { return QColor(0x2a, 0x32, 0x3b); }
inline QColor panelHighlight() { return QColor(0x33, 0x3c, 0x47); }
// The analog clock and the settings icon, where the program places them.
constexpr QRect kClockRect = DesignScreen::kRects[DesignScreen::AnalogClock];
constexpr QRect kSettingsRect = DesignScreen::kRects[DesignScreen::SettingsButton];

struct Mark
{
    double db;
    const char *text;  // nullptr: a minor mark without a number
};

// The printed scale. Majors carry a number; minors only a short tick.
constexpr std::array<Mark, 16> kMarks{{
    {-50.0, "-50"}, {-45.0, nullptr}, {-40.0, "-40"}, {-35.0, nullptr},
    {-30.0, "-30"}, {-25.0, nullptr}, {-20.0, "-20"}, {-15.0, nullptr},
    {-10.0, "-10"}, {-8.0, nullptr},  {-5.0, "-5"},   {-3.0, nullptr},
    {-1.0, nullptr}, {0.0, "0"},      {+3.0, nullptr}, {+5.0, "+5"},
}};

// Ticks start this far from the meter's edge (leaving room for its bezel)
// and reach outwards into the gap between the two meters of a pair.
constexpr int kTickGap = 4;
constexpr int kMajorTick = 8;
constexpr int kMinorTick = 4;

// Tick colours: a cool grey below the reference level, amber at 0 dB and
// red above it, as on the console's own meter bridge. Drawn without
// antialiasing so each mark is whole rows of exactly one colour.
inline QColor tickColor(double db)
{
    if (db > 0.0)
        return QColor(0xe8, 0x46, 0x3a);
    if (db == 0.0)
        return QColor(0xf2, 0xa9, 0x2c);
    return QColor(0xb4, 0xbe, 0xc8);
}

// The colour of the screen's outer border; the filler picture shown beside
// a resized artwork is this colour, so the seams cannot be seen.
inline QColor baseColor() { return QColor(0x12, 0x16, 0x1b); }

// First column of the tick beside a meter, and the tick's length. The left
// meter of a pair has its ticks on its right-hand side, the right meter on
// its left-hand side.
inline int tickColumn(const QRect &meter, bool leftOfPair, int length)
{
    return leftOfPair ? meter.x() + meter.width() + kTickGap
                      : meter.x() - kTickGap - length;
}

// A widget's design rectangle in a window scaled by `scale`, relative to the
// artwork's corner: each of x, y, width and height times the scale, formed
// in double and cut toward zero on its own, exactly as the window places the
// widget, so that the artwork drawn at that scale meets the widgets.
inline QRect placed(const QRect &design, float scale)
{
    const double s = scale;
    return QRect(int(std::trunc(design.x() * s)), int(std::trunc(design.y() * s)),
                 int(std::trunc(design.width() * s)), int(std::trunc(design.height() * s)));
}

} // namespace ArtworkLayout
