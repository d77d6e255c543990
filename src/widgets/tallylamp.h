#pragma once

#include <QColor>
#include <QDateTime>
#include <QString>
#include <QWidget>

class QTimer;
class SecondTicker;

// The studio's ON AIR lamp: a red field with its text, to be read across
// the room, and the time on air below it; dark, only the field's outline
// and the text, dimmed. It stands on a panel of the artwork's own style and
// scales with its size. While lit it repaints the time once a second, on
// the clocks' second when a ticker drives it; nothing else repaints it but a
// change of its properties.
class TallyLamp : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(bool on READ on WRITE setOn)
    Q_PROPERTY(QString text READ text WRITE setText)
    Q_PROPERTY(QDateTime since READ since WRITE setSince)
    Q_PROPERTY(QColor litColor READ litColor WRITE setLitColor)
    Q_PROPERTY(QColor textColor READ textColor WRITE setTextColor)
    Q_PROPERTY(QColor darkColor READ darkColor WRITE setDarkColor)

public:
    // Its own check of the time when no ticker drives it.
    static constexpr int kTickMs = 1000;

    explicit TallyLamp(QWidget *parent = nullptr);

    // Seconds on air as the lamp shows them: m:ss, from an hour on h:mm:ss;
    // less than nothing (a clock set back) shows 0:00.
    static QString onAirText(qint64 seconds);

    bool on() const { return m_on; }
    void setOn(bool on);
    QString text() const { return m_text; }
    void setText(const QString &text);
    // When the lamp came on; the time on air counts from it.
    QDateTime since() const { return m_since; }
    void setSince(const QDateTime &since);
    QColor litColor() const { return m_litColor; }
    void setLitColor(const QColor &color);
    QColor textColor() const { return m_textColor; }
    void setTextColor(const QColor &color);
    QColor darkColor() const { return m_darkColor; }
    void setDarkColor(const QColor &color);

    // The second the lamp's time follows; null: its own timer.
    void setTicker(SecondTicker *ticker);
    // The time on air as shown now; empty while dark.
    QString shownTime() const { return m_shownTime; }

public slots:
    // Reads the time and repaints the time on air when it changed.
    void checkTime();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString timeNow() const;
    QRectF fieldRect() const;
    QRectF timeRect() const;

    bool m_on = false;
    QString m_text = QStringLiteral("ON AIR");
    QDateTime m_since;
    QColor m_litColor{0xd4, 0x1c, 0x24};
    QColor m_textColor{0xff, 0xff, 0xff};
    QColor m_darkColor{0x5c, 0x2a, 0x2e};
    QString m_shownTime;
    QTimer *m_timer = nullptr;
    SecondTicker *m_ticker = nullptr;
};
