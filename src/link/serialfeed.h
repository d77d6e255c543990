#pragma once

#include <QObject>
#include <QSerialPort>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "meterpacket.h"
#include "modemlines.h"
#include "packetframer.h"

class PortReader;
class QTimer;
class ThreadWake;

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

    // Read each open port on a thread of its own: every packet goes to sink,
    // on that thread, and none comes through packetReceived. Opening, the
    // retry and a vanished device are handled here as before. An empty sink
    // reads on the event loop again. A reader takes the sink in force when
    // it starts (at each open).
    using ThreadSink = std::function<void(const std::uint8_t *packet)>;
    void setThreadSink(ThreadSink sink);
    // A reader thread is reading the open port now.
    bool isThreaded() const { return m_reader != nullptr; }
    // Bytes let go while resyncing, on the event loop and on reader threads.
    std::uint64_t skippedBytes() const;

    // Reads everything the port holds and frames it. Connected to the port's
    // readyRead; also callable by hand.
    void readAvailable();

    // Whether the port reports each arrival (readyRead; with a reader
    // thread, whether that thread watches). Off, its bytes wait in the
    // kernel until pull(). The port's own reads switch it back on, so a
    // caller that wants it off says so again after each pull.
    void setNotified(bool notified);
    // Reads and frames what the port holds now, without waiting (with a
    // reader thread, its packets go to the thread sink, on this thread).
    void pull();

    // The modem-status inputs to watch (TallySource::Line bits; 0: none).
    // The reader thread reads them every PortReader::kLinePollMs; without
    // one, the event loop does.
    void setLineWatch(int mask);
    // Reads the lines in place of the port's own (the tests' lines). Takes
    // force at the next open.
    void setLineReader(ModemLineRead read);
    // The watched lines as last read, or -1 while they are not known: no
    // port open, or lines that cannot be read (linesProblem() then says why).
    int lines() const { return m_lines; }
    QString linesProblem() const { return m_linesProblem; }

    bool isOpen() const;
    QString portName() const { return m_portName; }
    // Why the port is not open, with the system's error text; empty while
    // it is open or when no port is named.
    QString problem() const { return m_problem; }
    // The port itself, for reading its state only.
    const QSerialPort *port() const { return m_port; }

signals:
    // Each framed packet, in stream order; valid during the call only.
    void packetReceived(const MeterPacket::Bytes &packet);
    // After every read that framed at least one packet.
    void packetsFramed(int count);
    // The port opened or closed (vanished, reopened, failed to open).
    void openChanged(bool open);
    // lines() changed.
    void linesChanged(int lines);

private:
    void onError(QSerialPort::SerialPortError error);
    void closeVanishedPort();
    void letVanishedPortGo(const QString &why);
    void retry();
    void noteOpenFailure();
    void portOpened();
    void startReader();
    void stopReader();
    void readerEnded(quint64 generation, int error);
    void threadWoken();
    void setLines(int lines, int error);
    void pollLines();
    void followLineWatch();

    QSerialPort *m_port = nullptr;
    QTimer *m_retryTimer = nullptr;
    QString m_portName;
    PacketFramer m_framer;
    QString m_problem;
    // The failure m_problem tells of; ResourceError: the device went away.
    QSerialPort::SerialPortError m_problemError = QSerialPort::NoError;
    bool m_closePending = false;
    ThreadSink m_threadSink;
    std::unique_ptr<PortReader> m_reader;
    std::uint64_t m_readerSkipped = 0;  // by readers that have ended
    quint64 m_readerGeneration = 0;
    // How the reader thread tells of its end (the reader's generation and
    // the error; generation 0 is no end) and of its lines (m_lineNews):
    // what it tells first, then a wake.
    ThreadWake *m_threadWake = nullptr;
    std::atomic<quint64> m_endedGeneration{0};
    std::atomic<int> m_endError{0};

    int m_lineMask = 0;
    ModemLineRead m_lineRead;
    int m_lines = -1;
    QString m_linesProblem;
    QTimer *m_linePoll = nullptr;  // reads the lines when no reader thread does
    // A reader's news of the lines: its generation (0: no news), the lines
    // and the error of a failed reading. Written by the reader thread,
    // taken on the event loop after the wake.
    struct LineNews
    {
        quint64 generation = 0;
        int lines = -1;
        int error = 0;
    };
    std::mutex m_lineMutex;
    LineNews m_lineNews;
};
