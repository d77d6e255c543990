#pragma once

#include <QRect>
#include <QSize>
#include <QPoint>

#include <array>

#include "designscreen.h"

// The screen is drawn for a 986 x 580 artwork. When the window has another
// size the artwork is fitted with its aspect ratio kept and centred, and every
// child widget is moved and resized with the same factor and offset. This is
// the arithmetic of that layout pass, free of widgets so it can be checked
// figure by figure; MainWindow applies the result.
namespace ScaledLayout {

using namespace DesignScreen;

constexpr int kDesignWidth = DesignScreen::kWidth;
constexpr int kDesignHeight = DesignScreen::kHeight;
// 986 / 580: wider windows fit the artwork to the height, others to the width.
constexpr double kWideThreshold = 1.7;
// No widget can be larger than QWIDGETSIZE_MAX; beyond it the products of the
// pass would leave the int range, so such sizes are refused.
constexpr int kMaxSide = 16777215;

// Design point sizes of the label texts (meter names and time caption), the
// footer, and the digital clock's time and date.
constexpr int kLabelPt = 15;
constexpr int kFooterPt = 11;
constexpr int kTimePt = 40;
constexpr int kDatePt = 24;
constexpr int kNoDataPt = 10;  // the pairs' "NO DATA"

// The order in which the layout pass sets the geometries. It differs from
// the storage order above: the time caption comes before labelMeter3, the
// same order the label fonts are handed out in.
constexpr std::array<Widget, kWidgetCount> kLayoutOrder = {
    ProgLeft, ProgRight, SubLeft, SubRight, CrmLeft, CrmRight,
    AnalogClock, DigitalClock,
    LabelMeter1, LabelMeter2, TimeLabel, LabelMeter3,
    FooterLabel, SettingsButton,
};

// The four widgets that take the label font, in the order they get it.
constexpr std::array<Widget, 4> kLabelFontOrder = {
    LabelMeter1, LabelMeter2, TimeLabel, LabelMeter3,
};

constexpr QRect kLinkMarkDesign = DesignScreen::kLinkMark;

// The design rectangles of the 986 x 580 screen, in storage order.
inline Rects designGeometry() { return DesignScreen::kRects; }

struct Result
{
    bool valid = false;    // false: the window size allows no layout, apply nothing
    int dx = 0;            // offset of the fitted artwork in the window;
    int dy = 0;            // one of the two is always 0
    float scale = 0.0f;    // design pixels to window pixels
    Rects rects {};        // indexed by Widget
    QRect linkMark;
    QRect tallyLamp;                 // DesignScreen::kTallyLamp
    std::array<QRect, 3> noData {};  // DesignScreen::kNoDataMarks
    int noDataPt = 0;
    int labelPt = 0;
    int footerPt = 0;
    int timePt = 0;
    int datePt = 0;
};

// One layout pass for a window of the given size. Sizes with a side of 0 or
// less, or above kMaxSide, give an invalid result with scale 0.
Result compute(QSize window, const Rects &design = designGeometry(),
               const QRect &linkMarkDesign = kLinkMarkDesign);

// A design rectangle under the pass: each of x, y, width and height is the
// int times the scale, formed in double and cut toward zero on its own.
QRect scaleRect(const QRect &design, float scale, int dx, int dy);
// trunc(designPt * scale), formed in double.
int scaledPointSize(int designPt, float scale);

// The logical size of the artwork fitted into the window with its aspect ratio
// kept (the largest size that fits); empty for an empty window.
QSize fittedArtworkSize(QSize window);

// Where the paint draws the scaled artwork: half the free width and height,
// cut toward zero, so an odd free pixel goes to the right or bottom.
QPoint paintOffset(QSize window, QSize artwork);

// Device pixels for a picture shown at the given logical size on a screen
// with this device pixel ratio, so scaled artwork stays sharp on high-DPI
// screens. Each side is rounded to the nearest pixel; a ratio that is not a
// positive finite number counts as 1; empty sizes give an empty size.
QSize devicePixelSize(QSize logical, double devicePixelRatio);

} // namespace ScaledLayout
