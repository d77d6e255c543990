#include "linkmarks.h"

#include "designscreen.h"
#include "plaintooltip.h"
#include "scaledlayout.h"

#include <QCoreApplication>
#include <QFont>
#include <QLabel>

LinkMarks::LinkMarks(QWidget *parent)
{
    // The link-state mark sits just left of the settings icon and scales
    // with the screen like every other widget.
    m_mark = new QLabel(parent);
    m_mark->setObjectName(QStringLiteral("linkStateMark"));
    m_mark->setGeometry(DesignScreen::kLinkMark);
    m_mark->setStyleSheet(QStringLiteral("QLabel { background-color: rgb(220, 40, 40); border-radius: 8px; }"));
    m_mark->hide();
    // While no meter data comes, each pair's header says so in red, to be
    // read across the room; the bars fall as they always have.
    for (size_t i = 0; i < m_noData.size(); ++i) {
        QLabel *mark = new QLabel(QCoreApplication::translate("MainWindow", "NO DATA"), parent);
        mark->setObjectName(QStringLiteral("noDataMark%1").arg(i + 1));
        mark->setAlignment(Qt::AlignCenter);
        mark->setGeometry(DesignScreen::kNoDataMarks[i]);
        QFont font(QStringLiteral("DejaVu Sans"), ScaledLayout::kNoDataPt);
        font.setBold(true);
        mark->setFont(font);
        mark->setStyleSheet(QStringLiteral("QLabel { background-color: rgb(200, 30, 30); color: white; }"));
        mark->hide();
        m_noData[i] = mark;
    }
}

bool LinkMarks::show(LinkState state, const QString &where, const QString &reason, bool silent,
                     bool awaitsFirstData)
{
    // The place and the reason come from settings, the network and the system.
    m_mark->setToolTip(plainToolTip(linkStateTooltip(state, where, reason)));
    m_mark->setVisible(state != LinkState::Live);
    // No data while the link is silent: a server whose sends fail still
    // shows its console's levels.
    const bool noData = state != LinkState::Live && silent && !awaitsFirstData;
    for (QLabel *mark : m_noData)
        mark->setVisible(noData);
    return noData;
}
