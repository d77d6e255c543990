#pragma once

#include <QColor>
#include <QDateTime>
#include <QRegion>
#include <QWidget>

class QPainterPath;

#include <functional>
#include <memory>

class QPainter;
class QTimer;
class QTransform;
class SecondTicker;

// The studio's analog clock: hour and minute lines, an end-time marker with a
// 15-second count-down arc, a count-down ring, two triangular pointers near the
// rim and a ring of 60 second dots. It paints no background, so whatever lies
// beneath (the digital clock) shows through the middle of the dial.
class TeskAnalogClock : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(bool HourLines READ HourLines WRITE setHourLines)
    Q_PROPERTY(int HourLinesLength READ HourLinesLength WRITE setHourLinesLength)
    Q_PROPERTY(int HourLinesWidth READ HourLinesWidth WRITE setHourLinesWidth)
    Q_PROPERTY(QColor HourLinesColor READ HourLinesColor WRITE setHourLinesColor)
    Q_PROPERTY(bool MinuteLines READ MinuteLines WRITE setMinuteLines)
    Q_PROPERTY(int MinuteLinesLength READ MinuteLinesLength WRITE setMinuteLinesLength)
    Q_PROPERTY(int MinuteLinesWidth READ MinuteLinesWidth WRITE setMinuteLinesWidth)
    Q_PROPERTY(QColor MinuteLinesColor READ MinuteLinesColor WRITE setMinuteLinesColor)
    Q_PROPERTY(bool SecondDots READ SecondDots WRITE setSecondDots)
    Q_PROPERTY(bool SecondDotsCountDown READ SecondDotsCountDown WRITE setSecondDotsCountDown)
    Q_PROPERTY(int DotSize READ DotSize WRITE setDotSize)
    Q_PROPERTY(QColor DotColor READ DotColor WRITE setDotColor)
    Q_PROPERTY(bool Hands READ Hands WRITE setHands)
    Q_PROPERTY(QColor HourHandColor READ HourHandColor WRITE setHourHandColor)
    Q_PROPERTY(int HourHandBorder READ HourHandBorder WRITE setHourHandBorder)
    Q_PROPERTY(int HourHandLength READ HourHandLength WRITE setHourHandLength)
    Q_PROPERTY(int HourHandWidth READ HourHandWidth WRITE setHourHandWidth)
    Q_PROPERTY(QColor MinuteHandColor READ MinuteHandColor WRITE setMinuteHandColor)
    Q_PROPERTY(int MinuteHandBorder READ MinuteHandBorder WRITE setMinuteHandBorder)
    Q_PROPERTY(int MinuteHandLength READ MinuteHandLength WRITE setMinuteHandLength)
    Q_PROPERTY(int MinuteHandWidth READ MinuteHandWidth WRITE setMinuteHandWidth)
    Q_PROPERTY(bool EndTime READ EndTime WRITE setEndTime)
    Q_PROPERTY(int EndTimeLength READ EndTimeLength WRITE setEndTimeLength)
    Q_PROPERTY(int EndTimeWidth READ EndTimeWidth WRITE setEndTimeWidth)
    Q_PROPERTY(int EndTimeHour READ EndTimeHour WRITE setEndTimeHour)
    Q_PROPERTY(int EndTimeMinute READ EndTimeMinute WRITE setEndTimeMinute)
    Q_PROPERTY(int EndTimeSecond READ EndTimeSecond WRITE setEndTimeSecond)
    Q_PROPERTY(QColor EndTimeColor READ EndTimeColor WRITE setEndTimeColor)
    Q_PROPERTY(float CountDownTime READ CountDownTime WRITE setCountDownTime)
    Q_PROPERTY(int CountDownWidth READ CountDownWidth WRITE setCountDownWidth)
    Q_PROPERTY(int CountDownSpacing READ CountDownSpacing WRITE setCountDownSpacing)
    Q_PROPERTY(QColor CountDownColor READ CountDownColor WRITE setCountDownColor)

public:
    // Where a tick reads the time of day; the system clock unless replaced.
    using TimeSource = std::function<QDateTime()>;

    explicit TeskAnalogClock(QWidget *parent = nullptr);
    ~TeskAnalogClock() override;

    // An empty source restores the system clock.
    void setTimeSource(TimeSource source);

    // Takes the ticks from a source shared with the other clock instead of
    // the clock's own 100 ms timer, which then rests; null restores it.
    void setTicker(SecondTicker *ticker);

    bool HourLines() const { return m_hourLines; }
    int HourLinesLength() const { return m_hourLinesLength; }
    int HourLinesWidth() const { return m_hourLinesWidth; }
    QColor HourLinesColor() const { return m_hourLinesColor; }
    bool MinuteLines() const { return m_minuteLines; }
    int MinuteLinesLength() const { return m_minuteLinesLength; }
    int MinuteLinesWidth() const { return m_minuteLinesWidth; }
    QColor MinuteLinesColor() const { return m_minuteLinesColor; }
    bool SecondDots() const { return m_secondDots; }
    bool SecondDotsCountDown() const { return m_secondDotsCountDown; }
    int DotSize() const { return m_dotSize; }
    QColor DotColor() const { return m_dotColor; }
    bool Hands() const { return m_hands; }
    QColor HourHandColor() const { return m_hourHandColor; }
    int HourHandBorder() const { return m_hourHandBorder; }
    int HourHandLength() const { return m_hourHandLength; }
    int HourHandWidth() const { return m_hourHandWidth; }
    QColor MinuteHandColor() const { return m_minuteHandColor; }
    int MinuteHandBorder() const { return m_minuteHandBorder; }
    int MinuteHandLength() const { return m_minuteHandLength; }
    int MinuteHandWidth() const { return m_minuteHandWidth; }
    bool EndTime() const { return m_endTime; }
    int EndTimeLength() const { return m_endTimeLength; }
    int EndTimeWidth() const { return m_endTimeWidth; }
    int EndTimeHour() const { return m_endTimeHour; }
    int EndTimeMinute() const { return m_endTimeMinute; }
    int EndTimeSecond() const { return m_endTimeSecond; }
    QColor EndTimeColor() const { return m_endTimeColor; }
    float CountDownTime() const { return m_countDownTime; }
    int CountDownWidth() const { return m_countDownWidth; }
    int CountDownSpacing() const { return m_countDownSpacing; }
    QColor CountDownColor() const { return m_countDownColor; }

    void setHourLines(bool on);
    void setHourLinesLength(int length);
    void setHourLinesWidth(int width);
    void setHourLinesColor(const QColor &color);
    void setMinuteLines(bool on);
    void setMinuteLinesLength(int length);
    void setMinuteLinesWidth(int width);
    void setMinuteLinesColor(const QColor &color);
    void setSecondDots(bool on);
    void setSecondDotsCountDown(bool on);
    void setDotSize(int size);
    void setDotColor(const QColor &color);
    void setHands(bool on);
    void setHourHandColor(const QColor &color);
    void setHourHandBorder(int border);
    void setHourHandLength(int length);
    void setHourHandWidth(int width);
    void setMinuteHandColor(const QColor &color);
    void setMinuteHandBorder(int border);
    void setMinuteHandLength(int length);
    void setMinuteHandWidth(int width);
    void setEndTime(bool on);
    void setEndTimeLength(int length);
    void setEndTimeWidth(int width);
    void setEndTimeHour(int hour);
    void setEndTimeMinute(int minute);
    void setEndTimeSecond(int second);
    void setEndTimeColor(const QColor &color);
    void setCountDownTime(float time);
    void setCountDownWidth(int width);
    void setCountDownSpacing(int spacing);
    void setCountDownColor(const QColor &color);

public slots:
    // The 100 ms tick: reads the time and repaints when the second changed.
    void checkTime();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    struct PaintTools;

    template <typename T>
    void assign(T &member, const T &value);
    void rebuildTools();
    // The time from the source, the ticker or the system clock.
    QTime readTime() const;
    // What must be repainted when the shown time moves on from the given one.
    QRegion changedRegion(int hour, int minute, int second) const;
    QRect ringChange(int fromSpan, int toSpan) const;
    QPainterPath ringPath(int span) const;

    // The face, bottom to top; each step draws one kind of mark.
    // Lines and dots outside the repainted region are skipped.
    void drawLines(QPainter &painter, const QTransform &dial, const QRegion &region) const;
    void drawEndTime(QPainter &painter, const QTransform &dial) const;
    void drawCountDownRing(QPainter &painter, const QTransform &dial) const;
    void drawPointers(QPainter &painter, const QTransform &dial) const;
    void drawSecondDots(QPainter &painter, const QTransform &dial, const QRegion &region) const;

    bool m_hourLines = false;
    int m_hourLinesLength = 8;
    int m_hourLinesWidth = 2;
    QColor m_hourLinesColor{0, 0, 0, 255};
    bool m_minuteLines = false;
    int m_minuteLinesLength = 4;
    int m_minuteLinesWidth = 1;
    QColor m_minuteLinesColor{61, 61, 61, 191};
    bool m_secondDots = true;
    bool m_secondDotsCountDown = false;
    int m_dotSize = 1;
    QColor m_dotColor{0, 0, 0, 255};
    bool m_hands = true;
    QColor m_hourHandColor{0, 0, 0, 255};
    int m_hourHandBorder = 12;
    int m_hourHandLength = 12;
    int m_hourHandWidth = 12;
    QColor m_minuteHandColor{61, 61, 61, 191};
    int m_minuteHandBorder = 4;
    int m_minuteHandLength = 8;
    int m_minuteHandWidth = 8;
    int m_hour = 0;
    int m_minute = 0;
    int m_second = 0;
    bool m_timeRead = false;  // false until a tick or the first paint read a valid time
    bool m_endTime = false;
    int m_endTimeLength = 8;
    int m_endTimeWidth = 2;
    int m_endTimeHour = 0;
    int m_endTimeMinute = 0;
    int m_endTimeSecond = 0;
    QColor m_endTimeColor{255, 0, 0, 255};
    float m_countDownTime = 0.0f;
    int m_countDownWidth = 2;
    int m_countDownSpacing = 1;
    QColor m_countDownColor{255, 0, 255, 255};

    TimeSource m_timeSource;
    QTimer *m_timer = nullptr;
    SecondTicker *m_ticker = nullptr;
    // Pens, brushes and shapes derived from the properties and the size,
    // rebuilt on the first paint after a change so a paint allocates none.
    std::unique_ptr<PaintTools> m_tools;
    bool m_toolsStale = true;
};
