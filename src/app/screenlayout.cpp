#include "screenlayout.h"

#include <QLabel>
#include <QPainter>

#include "artworkscale.h"
#include "scaledlayout.h"
#include "teskdigitalclock.h"
#include "teskppmmeter.h"

bool ScreenLayout::run(QSize windowSize, const QPixmap &artwork, const QPixmap &filler, qreal devicePixelRatio,
                       QPixmap &scaledArtwork, QPixmap &scaledFiller)
{
    const ScaledLayout::Result layout = ScaledLayout::compute(windowSize);
    if (!layout.valid)
        return false;
    ++m_passes;

    // Let the old copies go first, so a resize never holds both sizes at once.
    scaledArtwork = QPixmap();
    scaledFiller = QPixmap();
    m_fillerSecond = QPixmap();
    ArtworkScale::Scaled scaled = ArtworkScale::scale(artwork, filler, windowSize, devicePixelRatio);
    scaledArtwork = std::move(scaled.background);
    scaledFiller = std::move(scaled.fillerFirst.pixels);
    m_fillerFirstAt = scaled.fillerFirst.at;
    m_fillerSecond = std::move(scaled.fillerSecond.pixels);
    m_fillerSecondAt = scaled.fillerSecond.at;
    m_artworkOffset = QPoint(layout.dx, layout.dy);
    m_scale = layout.scale;

    for (const ScaledLayout::Widget w : ScaledLayout::kLayoutOrder)
        m_widgets.placed[w]->setGeometry(layout.rects[w]);
    m_widgets.linkMark->setGeometry(layout.linkMark);
    m_widgets.linkMark->setStyleSheet(
        QStringLiteral("QLabel { background-color: rgb(220, 40, 40); border-radius: %1px; }")
            .arg(layout.linkMark.width() / 2));
    if (m_widgets.tallyLamp)
        m_widgets.tallyLamp->setGeometry(layout.tallyLamp);
    for (size_t i = 0; i < m_widgets.noData.size(); ++i) {
        QLabel *mark = m_widgets.noData[i];
        if (!mark)
            continue;
        mark->setGeometry(layout.noData[i]);
        if (layout.noDataPt > 0) {
            QFont font = mark->font();
            font.setPointSize(layout.noDataPt);
            mark->setFont(font);
        }
    }

    if (layout.labelPt > 0) {
        QFont labelFont = m_widgets.labels[0]->font();
        labelFont.setPointSize(layout.labelPt);
        for (QLabel *label : m_widgets.labels)
            label->setFont(labelFont);
    }
    if (layout.footerPt > 0) {
        QFont footerFont = m_widgets.footer->font();
        footerFont.setPointSize(layout.footerPt);
        m_widgets.footer->setFont(footerFont);
    }
    TeskDigitalClock *digital = m_widgets.digitalClock;
    if (layout.timePt > 0) {
        QFont time = digital->TimeDisplayFont();
        time.setPointSize(layout.timePt);
        digital->setTimeDisplayFont(time);
    }
    if (layout.datePt > 0) {
        QFont date = digital->DateDisplayFont();
        date.setPointSize(layout.datePt);
        digital->setDateDisplayFont(date);
    }

    for (TeskPPMMeter *meter : m_widgets.meters)
        meter->calcPosition();
    return true;
}

void ScreenLayout::paint(QPainter &painter, const QPixmap &scaledArtwork, const QPixmap &scaledFiller) const
{
    // The stretched filler shows only beside the artwork: two strips.
    painter.drawPixmap(m_fillerFirstAt, scaledFiller);
    painter.drawPixmap(m_fillerSecondAt, m_fillerSecond);
    painter.drawPixmap(m_artworkOffset, scaledArtwork);
}
