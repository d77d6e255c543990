#pragma once

#include <QRect>

#include <array>

// The 986 x 580 design screen: where every widget of the main window stands
// on the artwork, in design pixels. The window, its scaled layout and the
// artwork generator all take their rectangles from here.
namespace DesignScreen {

constexpr int kWidth = 986;
constexpr int kHeight = 580;

// The laid-out widgets, in the order the main window stores their design
// rectangles (designGeometry).
enum Widget : int {
    ProgLeft,
    ProgRight,
    SubLeft,
    SubRight,
    CrmLeft,
    CrmRight,
    AnalogClock,
    DigitalClock,
    LabelMeter1,
    LabelMeter2,
    LabelMeter3,
    TimeLabel,
    FooterLabel,
    SettingsButton,
};
constexpr int kWidgetCount = 14;
using Rects = std::array<QRect, kWidgetCount>;

// Meters, clocks, time caption and footer are relative to the central
// widget; the three meter labels and the settings icon to the window.
constexpr Rects kRects = {
    QRect(54, 73, 12, 415),    // ProgLeft
    QRect(143, 73, 12, 415),   // ProgRight
    QRect(210, 73, 12, 415),   // SubLeft
    QRect(299, 73, 12, 415),   // SubRight
    QRect(844, 199, 8, 291),   // CrmLeft
    QRect(907, 199, 8, 291),   // CrmRight
    QRect(348, 85, 410, 410),  // AnalogClock
    QRect(348, 260, 410, 111), // DigitalClock
    QRect(44, 502, 121, 31),   // LabelMeter1
    QRect(194, 502, 131, 31),  // LabelMeter2
    QRect(830, 502, 101, 31),  // LabelMeter3
    QRect(356, 502, 401, 31),  // TimeLabel
    QRect(360, 550, 381, 21),  // FooterLabel
    QRect(900, 28, 25, 25),    // SettingsButton
};

// The small link-state mark beside the settings icon, relative to the window.
constexpr QRect kLinkMark(876, 33, 16, 16);

// The ON AIR lamp, in the free space between the settings icon's row and
// the monitor pair's panel, relative to the window. Drawn only when a tally
// source is set.
constexpr QRect kTallyLamp(806, 62, 150, 80);

// The headers of the three meter pairs on the artwork (PGM, SUB, CRM),
// relative to the window: while no meter data comes, "NO DATA" covers each,
// to be read across the room.
constexpr std::array<QRect, 3> kNoDataMarks = {
    QRect(54, 42, 102, 20),
    QRect(210, 42, 102, 20),
    QRect(842, 165, 74, 20),
};

} // namespace DesignScreen
