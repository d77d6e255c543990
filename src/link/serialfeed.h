#pragma once

#include <QObject>
#include <QSerialPort>
#include <QString>

#include "meterpacket.h"
#include "packetframer.h"

class QTimer;

// The console's serial line: opens the port at 115200 8N1, frames the bytes
// into meter packets and keeps the port alive. A port that cannot be opened
// is retried every second; a device that vanishes (USB adapter pulled) is
// closed and retried the same way. Usable on its own, without any UDP.
class SerialFeed : public QObject
{
    Q_OBJECT

public:
    static constexpr int kRetryMs = 1000;

    explicit SerialFeed(QObject *parent = nullptr);
    ~SerialFeed() override;

    // Closes any port and opens the named one (the retry takes over when
    // that fails).
    void open(const QString &portName);
    // Closes the port and lets it go; no retry.
    void close();

    // Reads everything the port holds and frames it. Connected to the port's
    // readyRead; also callable by hand.
    void readAvailable();

    // Whether the port reports each arrival (readyRead). Off, its bytes wait
    // in the kernel until pull(). The port's own reads switch it back on, so
    // a caller that wants it off says so again after each pull.
    void setNotified(bool notified);
    // Reads and frames what the port holds now, without waiting.
    void pull();

    bool isOpen() const;
    QString portName() const { return m_portName; }
    // Why the port is not open, with the system's error text; empty while
    // it is open or when no port is named.
    QString problem() const { return m_problem; }
    // The port itself, for reading its state only.
    const QSerialPort *port() const { return m_port; }
    const PacketFramer &framer() const { return m_framer; }

signals:
    // Each framed packet, in stream order; valid during the call only.
    void packetReceived(const MeterPacket::Bytes &packet);
    // After every read that framed at least one packet.
    void packetsFramed(int count);
    // The port opened or closed (vanished, reopened, failed to open).
    void openChanged(bool open);

private:
    void onError(QSerialPort::SerialPortError error);
    void closeVanishedPort();
    void retry();
    void noteOpenFailure();

    QSerialPort *m_port = nullptr;
    QTimer *m_retryTimer = nullptr;
    QString m_portName;
    PacketFramer m_framer;
    QString m_problem;
    bool m_closePending = false;
};
