#include "studiostyle.h"

#include "teskanalogclock.h"
#include "teskdigitalclock.h"

#include <QColor>
#include <QFont>

namespace StudioStyle {

void styleAnalogClock(TeskAnalogClock &clock)
{
    clock.setHourLines(true);
    clock.setHourLinesColor(QColor(0, 255, 0, 255));
    clock.setMinuteLines(true);
    clock.setMinuteLinesLength(4);
    clock.setMinuteLinesColor(QColor(0, 170, 0, 255));
    clock.setSecondDots(true);
    clock.setSecondDotsCountDown(false);
    clock.setDotSize(4);
    clock.setDotColor(QColor(255, 255, 255, 255));
    clock.setHands(true);
    clock.setHourHandColor(QColor(255, 0, 0, 128));
    clock.setHourHandBorder(24);
    clock.setHourHandLength(12);
    clock.setHourHandWidth(12);
    clock.setMinuteHandColor(QColor(0, 0, 255, 128));
    clock.setMinuteHandBorder(8);
    clock.setMinuteHandLength(28);
    clock.setMinuteHandWidth(8);
}

void styleDigitalClock(TeskDigitalClock &clock)
{
    QFont general(QStringLiteral("Bitstream Vera Sans"), 36, 75, false);
    general.setStrikeOut(false);
    clock.setFont(general);
    clock.setTimeDisplayFont(QFont(QStringLiteral("DejaVu Sans"), 40));
    clock.setTimeDisplayFontColor(QColor(255, 255, 255, 255));
    clock.setDateDisplay(true);
    clock.setDateDisplayFont(QFont(QStringLiteral("DejaVu Sans"), 24));
    clock.setDateDisplayFontColor(QColor(255, 255, 255, 255));
}

} // namespace StudioStyle
