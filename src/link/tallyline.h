#pragma once

#include <QObject>
#include <QString>

#include "tallysource.h"

class SerialFeed;

// The ON AIR lamp's modem line on the meter link's serial port: watches the
// line that the tally source names and tells whether the lamp is lit. A line
// that cannot be read (a pty, an adapter without handshake inputs), or a
// link without a serial port, is told once, and the lamp stays dark.
class TallyLine : public QObject
{
    Q_OBJECT

public:
    explicit TallyLine(SerialFeed *feed, QObject *parent = nullptr);

    // The source in force; only Kind::Line watches the port.
    void setSource(const TallySource &source);
    const TallySource &source() const { return m_source; }
    // Whether the link has a serial port at all (not a UDP client).
    void setPortInUse(bool inUse);

    // The line was read, and what it says.
    bool isKnown() const { return m_known; }
    bool isOn() const { return m_on; }
    // Why the line cannot be read, as the log told it; empty while it can
    // be (or none is watched).
    QString problem() const { return m_problem; }

signals:
    // The reading or the problem changed.
    void changed(bool known, bool on);

private:
    void follow(int lines);

    SerialFeed *m_feed;
    TallySource m_source;
    bool m_portInUse = true;
    bool m_known = false;
    bool m_on = false;
    QString m_problem;
    bool m_problemTold = false;
    bool m_noPortTold = false;
};
