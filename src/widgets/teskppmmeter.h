#pragma once

#include <QBrush>
#include <QColor>
#include <QImage>
#include <QString>
#include <QWidget>

#include "meterscale.h"

typedef double double_db;

// A vertical peak programme meter for one channel. The owner writes the level
// into dBPosition, calls calcPosition() to clamp it and place the bar, and asks
// for a repaint when the bar height in pixels changed; painting only draws the
// cached heights.
class TeskPPMMeter : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(double dBPosition READ dBPosition WRITE setdBPosition)
    Q_PROPERTY(double MindBPosition READ MindBPosition WRITE setMindBPosition)
    Q_PROPERTY(double MaxdBPosition READ MaxdBPosition WRITE setMaxdBPosition)
    Q_PROPERTY(double ReleasePerSecond READ ReleasePerSecond WRITE setReleasePerSecond)
    Q_PROPERTY(bool DINCurve READ DINCurve WRITE setDINCurve)
    Q_PROPERTY(bool GradientBackground READ GradientBackground WRITE setGradientBackground)
    Q_PROPERTY(bool GradientForground READ GradientForground WRITE setGradientForground)
    Q_PROPERTY(QColor MaxColor READ MaxColor WRITE setMaxColor)
    Q_PROPERTY(QColor MinColor READ MinColor WRITE setMinColor)
    Q_PROPERTY(QColor MaxBackgroundColor READ MaxBackgroundColor WRITE setMaxBackgroundColor)
    Q_PROPERTY(QColor MinBackgroundColor READ MinBackgroundColor WRITE setMinBackgroundColor)
    Q_PROPERTY(QString SkinEnvironmentVariable READ SkinEnvironmentVariable WRITE setSkinEnvironmentVariable)
    Q_PROPERTY(QString PPMMeterBackgroundFileName READ PPMMeterBackgroundFileName WRITE setPPMMeterBackgroundFileName)

public:
    explicit TeskPPMMeter(QWidget *parent = nullptr);

    double dBPosition() const { return m_dBPosition; }
    double MindBPosition() const { return m_range.minDb; }
    double MaxdBPosition() const { return m_range.maxDb; }
    double ReleasePerSecond() const { return m_releasePerSecond; }
    bool DINCurve() const { return m_dinCurve; }
    bool GradientBackground() const { return m_gradientBackground; }
    bool GradientForground() const { return m_gradientForground; }
    const QColor &MaxColor() const { return m_maxColor; }
    const QColor &MinColor() const { return m_minColor; }
    const QColor &MaxBackgroundColor() const { return m_maxBackgroundColor; }
    const QColor &MinBackgroundColor() const { return m_minBackgroundColor; }
    QString SkinEnvironmentVariable() const { return m_skinEnvironmentVariable; }
    QString PPMMeterBackgroundFileName() const { return m_backgroundFileName; }

    void setMindBPosition(double value);
    void setMaxdBPosition(double value);
    void setReleasePerSecond(double value);
    void setDINCurve(bool value);
    void setGradientBackground(bool value);
    void setGradientForground(bool value);
    virtual void setMaxColor(const QColor &color);
    virtual void setMinColor(const QColor &color);
    virtual void setMaxBackgroundColor(const QColor &color);
    virtual void setMinBackgroundColor(const QColor &color);
    void setSkinEnvironmentVariable(const QString &name);
    void setPPMMeterBackgroundFileName(const QString &name);

    // Stores a level without scheduling a repaint; the release step uses it
    // and repaints only when calcPosition() reports a new bar height.
    void assigndBPosition(double value) { m_dBPosition = value; }

    // Takes a new level as the release tick does: stores it and places the
    // bar, without a repaint. True when the level moved (a level clamped back
    // to where it stood, as at the top of the scale, did not move; a NaN
    // always counts as moving).
    bool placeLevel(double level);
    // Repaints the rows between the bar height `before` and the current one:
    // once a frame, however many ticks placed the bar in between.
    void repaintBarSince(int before);

    // Clamps dBPosition to the scale and recomputes the bar and 0 dB heights
    // for the current height. True when the bar height in pixels changed.
    bool calcPosition();

    int barHeight() const { return m_barHeight; }
    int zeroHeight() const { return m_zeroHeight; }

    // Rows (top and bottom, inclusive) whose pixels differ between a bar of
    // height a and one of height b, in the current painting style; an empty
    // rectangle when nothing visible changes.
    QRect changedRows(int a, int b) const;

public slots:
    void setdBPosition(double_db NewdBPosition);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void reloadBackground();
    int half() const;
    void rebuildGradients(int mid);

    double m_dBPosition = -50.0;
    MeterScale::Range m_range;
    double m_releasePerSecond = 18.0;
    bool m_dinCurve = true;
    bool m_gradientBackground = true;
    bool m_gradientForground = false;
    QColor m_maxColor{255, 0, 0, 255};
    QColor m_minColor{0, 255, 0, 255};
    QColor m_maxBackgroundColor{64, 0, 0, 255};
    QColor m_minBackgroundColor{0, 64, 0, 255};
    QString m_skinEnvironmentVariable;
    QString m_backgroundFileName;

    QImage m_backgroundImage;
    int m_barHeight = 0;
    int m_zeroHeight = 0;
    int m_lastBarHeight = 0;

    // The two gradients depend only on the colours and the mid-height, so
    // they are built once and kept until either changes.
    QBrush m_backgroundGradient;
    QBrush m_barGradient;
    int m_gradientHalf = -1;  // the mid-height they were built for; -1: stale
};
