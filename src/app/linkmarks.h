#pragma once

#include "linkstate.h"

#include <QString>

#include <array>

class QLabel;
class QWidget;

// What the wall shows of the meter data link: the red mark beside the
// settings icon while the link is not live, its tooltip saying why, and
// "NO DATA" over each pair's header while no meter data comes.
class LinkMarks
{
public:
    // The labels are children of `parent`, at their design places.
    explicit LinkMarks(QWidget *parent);

    // Shows `state`. `silent` is the link's silence; a link that still
    // awaits its first data shows no NO DATA, so a start or a settings
    // change does not flash. Returns whether NO DATA is shown.
    bool show(LinkState state, const QString &where, const QString &reason, bool silent,
              bool awaitsFirstData);

    QLabel *mark() const { return m_mark; }
    const std::array<QLabel *, 3> &noData() const { return m_noData; }

private:
    QLabel *m_mark = nullptr;
    std::array<QLabel *, 3> m_noData {};
};
