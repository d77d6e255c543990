#pragma once

#include <QRect>
#include <QVector>

namespace ScreenRule {

// Slack for a maximized window: its frame may start up to this many pixels
// left of its own monitor and still count as being on it.
constexpr int kMaximizedSlack = 8;

// The monitor the window is on, for storing as current_screen. Monitors are
// taken as arranged left to right in index order: the window belongs to the
// first one whose available area ends right of the frame's left edge
// (frameX + kMaximizedSlack when maximized). With no monitor the answer is 0;
// a window at or beyond the right edge of every monitor belongs to the last
// one, so the result always names a monitor that exists.
int currentScreen(const QVector<QRect> &availableAreas, int frameX, bool maximized);

} // namespace ScreenRule
