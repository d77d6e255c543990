#pragma once

#include <QRect>
#include <QSize>
#include <QVector>

namespace ScreenRule {

// Slack for a maximized window: its frame may start up to this many pixels
// left of its own monitor and still count as being on it.
constexpr int kMaximizedSlack = 8;

// The monitor the window is on, stored as the current screen. Monitors are
// taken as arranged left to right in index order: the window belongs to the
// first one whose available area ends right of the frame's left edge
// (frameX + kMaximizedSlack when maximized). With no monitor the answer is 0;
// a window at or beyond the right edge of every monitor belongs to the last
// one, so the result always names a monitor that exists.
int currentScreen(const QVector<QRect> &availableAreas, int frameX, bool maximized);

// The smallest size the main window may take. A normal window keeps the
// design size (986 x 580). Full screen or maximized, the window must fit the
// screen, so a screen smaller than the design (a 7-inch 800 x 480 panel) cuts
// it to the screen: pass the screen's size for full screen and its available
// size for maximized. An empty screen size leaves the design size.
QSize minimumWindowSize(QSize screen, bool fillsScreen);

} // namespace ScreenRule
