#pragma once

#include <QFont>
#include <QString>

// How a meter name is shown in a label of a given width: in the label's own
// font when it fits; otherwise in a smaller font, down to kMinimumShare of
// the label's size; and only when even that is too wide, cut at the end with
// "…". The name itself is never changed.
struct LabelFit
{
    static constexpr double kMinimumShare = 0.6;

    QFont font;
    QString shown;
    bool shrunk = false;   // font is smaller than the label's
    bool elided = false;   // shown is cut short

    static LabelFit compute(const QString &text, const QFont &font, int width);
};
