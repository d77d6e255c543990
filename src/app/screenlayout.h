#pragma once

#include <QPixmap>
#include <QPoint>
#include <QSize>

#include <array>

#include "designscreen.h"

class QLabel;
class QPainter;
class QWidget;
class TeskDigitalClock;
class TeskPPMMeter;

// Applies the scaled layout to the window's widgets and keeps what the
// window's paint needs from the last pass: where the artwork and the two
// filler strips go, the scale, and how many passes have run.
class ScreenLayout
{
public:
    struct Widgets
    {
        std::array<QWidget *, DesignScreen::kWidgetCount> placed {};  // indexed by DesignScreen::Widget
        std::array<TeskPPMMeter *, 6> meters {};
        std::array<QLabel *, 4> labels {};  // take the label font, in this order; the first gives it
        QLabel *footer = nullptr;
        TeskDigitalClock *digitalClock = nullptr;
        QLabel *linkMark = nullptr;
        QWidget *tallyLamp = nullptr;
        std::array<QLabel *, 3> noData {};  // over the pairs' headers
    };

    explicit ScreenLayout(const Widgets &widgets) : m_widgets(widgets) {}

    // One layout pass for the window size: scales the artwork into
    // scaledArtwork and the filler strip left of (or above) it into
    // scaledFiller, places and sizes every widget, sets the fonts and
    // recomputes the meters. False when the size allows no layout.
    bool run(QSize windowSize, const QPixmap &artwork, const QPixmap &filler, qreal devicePixelRatio,
             QPixmap &scaledArtwork, QPixmap &scaledFiller);

    // Draws the filler strips and the artwork as the last pass placed them.
    void paint(QPainter &painter, const QPixmap &scaledArtwork, const QPixmap &scaledFiller) const;

    float scale() const { return m_scale; }
    int passes() const { return m_passes; }
    QPoint artworkOffset() const { return m_artworkOffset; }

private:
    Widgets m_widgets;
    QPoint m_artworkOffset;
    // The caller's scaledFiller holds the filler strip left of (or above) the
    // artwork; this is the one on the other side.
    QPoint m_fillerFirstAt;
    QPixmap m_fillerSecond;
    QPoint m_fillerSecondAt;
    float m_scale = 1.0f;
    int m_passes = 0;
};
