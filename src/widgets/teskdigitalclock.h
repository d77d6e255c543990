#pragma once

#include <QColor>
#include <QDateTime>
#include <QFont>
#include <QPen>
#include <QString>
#include <QWidget>

#include <functional>

class QTimer;
class SecondTicker;

// The studio's digital clock: the time of day and the date as two centred
// lines, each switchable with its own font and colour. It paints no
// background and sits beneath the analog clock, inside its dial.
class TeskDigitalClock : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(bool TimeDisplay READ TimeDisplay WRITE setTimeDisplay)
    Q_PROPERTY(QFont TimeDisplayFont READ TimeDisplayFont WRITE setTimeDisplayFont)
    Q_PROPERTY(QColor TimeDisplayFontColor READ TimeDisplayFontColor WRITE setTimeDisplayFontColor)
    Q_PROPERTY(bool DateDisplay READ DateDisplay WRITE setDateDisplay)
    Q_PROPERTY(QFont DateDisplayFont READ DateDisplayFont WRITE setDateDisplayFont)
    Q_PROPERTY(QColor DateDisplayFontColor READ DateDisplayFontColor WRITE setDateDisplayFontColor)

public:
    // Where a tick reads the time and date; the system clock unless replaced.
    using TimeSource = std::function<QDateTime()>;

    explicit TeskDigitalClock(QWidget *parent = nullptr);
    ~TeskDigitalClock() override;

    // An empty source restores the system clock.
    void setTimeSource(TimeSource source);

    // Takes the ticks from a source shared with the other clock instead of
    // the clock's own 100 ms timer, which then rests; null restores it.
    void setTicker(SecondTicker *ticker);

    bool TimeDisplay() const { return m_timeDisplay; }
    QFont TimeDisplayFont() const { return m_timeDisplayFont; }
    QColor TimeDisplayFontColor() const { return m_timeDisplayFontColor; }
    bool DateDisplay() const { return m_dateDisplay; }
    QFont DateDisplayFont() const { return m_dateDisplayFont; }
    QColor DateDisplayFontColor() const { return m_dateDisplayFontColor; }

    void setTimeDisplay(bool on);
    void setTimeDisplayFont(const QFont &font);
    void setTimeDisplayFontColor(const QColor &color);
    void setDateDisplay(bool on);
    void setDateDisplayFont(const QFont &font);
    void setDateDisplayFontColor(const QColor &color);

public slots:
    // The 100 ms tick: rebuilds both texts, repaints when the second changed.
    void checkTime();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    // Reads the time and rebuilds both texts from it; false, with nothing
    // changed, when the time read is not valid.
    bool readTime();
    // The upper half, where the time line stands.
    QRect timeBand() const;
    // Where a time text stands in that band, overhanging glyphs included.
    QRect timeTextBounds(const QString &text) const;
    // What the current time text must repaint after `before`: where the
    // characters changed if both texts are as wide, else both texts whole.
    QRegion timeTextChange(const QString &before) const;

    bool m_timeDisplay = true;
    QFont m_timeDisplayFont;
    QColor m_timeDisplayFontColor;
    bool m_dateDisplay = true;
    QFont m_dateDisplayFont;
    QColor m_dateDisplayFontColor;
    int m_lastSecond = 0;
    QString m_timeText;
    QString m_dateText;
    QDate m_date;  // the day m_dateText was built for
    bool m_timeRead = false;  // false until a tick or the first paint read a valid time

    // What paintEvent draws with, kept in step by the write accessors.
    QFont m_timePaintFont;
    QFont m_datePaintFont;
    QPen m_timePen;
    QPen m_datePen;

    TimeSource m_timeSource;
    QTimer *m_timer = nullptr;
    SecondTicker *m_ticker = nullptr;
};
