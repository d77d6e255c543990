#pragma once

#include <QElapsedTimer>
#include <QObject>

class QTimer;
class QWidget;

// Counts the paints of the meters, the clocks and the main window and logs
// the running totals once a second under lumora.perf, so a measurement can
// tell repaints per second. Attached only when that category's debug output
// is on; otherwise the program pays one check at start-up.
class PaintCounter : public QObject
{
    Q_OBJECT

public:
    // Returns the counter (owned by window), or nullptr when switched off.
    static PaintCounter *attachIfEnabled(QWidget *window);

    qint64 meterPaints() const { return m_meterPaints; }
    qint64 clockPaints() const { return m_clockPaints; }
    qint64 windowPaints() const { return m_windowPaints; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit PaintCounter(QWidget *window);
    void report() const;

    QWidget *m_window;
    QElapsedTimer m_clock;
    qint64 m_meterPaints = 0;
    qint64 m_clockPaints = 0;
    qint64 m_windowPaints = 0;
};
