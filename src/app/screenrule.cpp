#include "screenrule.h"

#include "designscreen.h"

namespace ScreenRule {

int currentScreen(const QVector<QRect> &availableAreas, int frameX, bool maximized)
{
    const int n = availableAreas.size();
    if (n <= 1)
        return 0;
    // 64 bits: a frame near INT_MAX plus the slack, or a huge area, must not
    // overflow.
    const qint64 x = qint64(frameX) + (maximized ? kMaximizedSlack : 0);
    for (int i = 0; i < n; ++i) {
        const QRect &a = availableAreas.at(i);
        const qint64 right = qint64(a.left()) + a.width();
        if (right > x)
            return i;
    }
    return n - 1;
}

QSize minimumWindowSize(QSize screen, bool fillsScreen)
{
    const QSize design(DesignScreen::kWidth, DesignScreen::kHeight);
    if (!fillsScreen || screen.width() <= 0 || screen.height() <= 0)
        return design;
    return design.boundedTo(screen);
}

} // namespace ScreenRule
