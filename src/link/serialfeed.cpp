#include "serialfeed.h"

#include <QCoreApplication>
#include <QTimer>

#include "linklogging.h"
#include "portreader.h"
#include "readnotifiers.h"
#include "serialproblem.h"
#include "threadwake.h"

SerialFeed::SerialFeed(QObject *parent)
    : QObject(parent)
    , m_retryTimer(new QTimer(this))
    , m_threadWake(new ThreadWake(this))
    , m_lineRead(readModemLines)
    , m_linePoll(new QTimer(this))
{
    m_retryTimer->setInterval(kRetryMs);
    connect(m_retryTimer, &QTimer::timeout, this, &SerialFeed::retry);
    connect(m_threadWake, &ThreadWake::woken, this, &SerialFeed::threadWoken);
    m_linePoll->setInterval(PortReader::kLinePollMs);
    m_linePoll->setTimerType(Qt::PreciseTimer);
    connect(m_linePoll, &QTimer::timeout, this, &SerialFeed::pollLines);
}

void SerialFeed::threadWoken()
{
    LineNews news;
    {
        std::lock_guard<std::mutex> lock(m_lineMutex);
        std::swap(news, m_lineNews);
    }
    if (news.generation != 0 && news.generation == m_readerGeneration && m_reader)
        setLines(news.lines, news.error);
    const quint64 generation = m_endedGeneration.exchange(0, std::memory_order_acquire);
    if (generation != 0)
        readerEnded(generation, m_endError.load(std::memory_order_relaxed));
}

void SerialFeed::setLineWatch(int mask)
{
    if (mask == m_lineMask)
        return;
    m_lineMask = mask;
    setLines(-1, 0);
    // The reader takes its lines when it starts.
    if (m_reader) {
        stopReader();
        startReader();
    }
    followLineWatch();
}

void SerialFeed::setLineReader(ModemLineRead read)
{
    m_lineRead = read ? std::move(read) : ModemLineRead(readModemLines);
}

void SerialFeed::setLines(int lines, int error)
{
    const QString problem = error != 0 ? qt_error_string(error) : QString();
    if (error != 0)
        lines = -1;
    const bool changed = lines != m_lines || problem != m_linesProblem;
    m_lines = lines;
    m_linesProblem = problem;
    if (changed)
        emit linesChanged(lines);
}

// Without a reader thread the event loop reads the lines, as often.
void SerialFeed::followLineWatch()
{
    const bool poll = m_lineMask != 0 && !m_reader && isOpen() && m_linesProblem.isEmpty();
    if (poll && !m_linePoll->isActive()) {
        m_linePoll->start();
        pollLines();
    } else if (!poll) {
        m_linePoll->stop();
    }
}

void SerialFeed::pollLines()
{
    if (!isOpen() || m_reader || m_lineMask == 0) {
        m_linePoll->stop();
        return;
    }
    int lines = 0;
    const int error = m_lineRead(int(m_port->handle()), &lines);
    if (error != 0) {
        m_linePoll->stop();
        setLines(-1, error);
        return;
    }
    setLines(lines & m_lineMask, 0);
}

SerialFeed::~SerialFeed()
{
    stopReader();
    if (m_port && m_port->isOpen())
        m_port->close();
}

void SerialFeed::close()
{
    stopReader();
    if (m_port) {
        // Quiet first: closing a port that never opened reports "not open"
        // as an error, which is no news about the next port.
        m_port->disconnect(this);
        if (m_port->isOpen())
            m_port->close();
        // A port replaced here is never used again; let it go with its handles.
        m_port->deleteLater();
        m_port = nullptr;
    }
    m_retryTimer->stop();
    m_closePending = false;
    m_problem.clear();
    m_problemError = QSerialPort::NoError;
    m_linePoll->stop();
    setLines(-1, 0);
}

void SerialFeed::open(const QString &portName)
{
    close();
    // Bytes left over from another device must not be glued to new ones.
    m_framer.reset();
    m_portName = portName;
    m_port = new QSerialPort(portName, this);
    m_port->setBaudRate(QSerialPort::Baud115200);
    m_port->setDataBits(QSerialPort::Data8);
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    m_port->setParity(QSerialPort::NoParity);
    m_port->setStopBits(QSerialPort::OneStop);
    connect(m_port, &QSerialPort::readyRead, this, &SerialFeed::readAvailable);
    connect(m_port, &QSerialPort::errorOccurred, this, &SerialFeed::onError);
    if (!m_port->open(QIODevice::ReadWrite)) {
        // An adapter plugged in later is picked up by the retry.
        noteOpenFailure();
        m_retryTimer->start(kRetryMs);
        return;
    }
    portOpened();
}

void SerialFeed::setThreadSink(ThreadSink sink)
{
    m_threadSink = std::move(sink);
}

std::uint64_t SerialFeed::skippedBytes() const
{
    return m_framer.skippedBytes() + m_readerSkipped + (m_reader ? m_reader->skippedBytes() : 0);
}

void SerialFeed::portOpened()
{
    setLines(-1, 0);
    if (m_threadSink)
        startReader();
    followLineWatch();
}

void SerialFeed::startReader()
{
    // The port's own read notifier stays off while the thread reads: the
    // port never reads itself, so nothing switches it back on.
    setReadNotifiers(m_port, false);
    // An end reported by a reader that has since been replaced is old news.
    const quint64 generation = ++m_readerGeneration;
    PortReader::LineWatch lines;
    lines.mask = m_lineMask;
    lines.read = m_lineRead;
    lines.changed = [this, generation](int read, int error) {
        {
            std::lock_guard<std::mutex> lock(m_lineMutex);
            m_lineNews = {generation, read, error};
        }
        m_threadWake->wake();
    };
    // The sink itself goes to the reader, so a packet makes one call
    // through it, not one through a wrapper of ours as well.
    m_reader = std::make_unique<PortReader>(
        int(m_port->handle()), m_threadSink,
        [this, generation](int error) {
            m_endError.store(error, std::memory_order_relaxed);
            m_endedGeneration.store(generation, std::memory_order_release);
            m_threadWake->wake();
        },
        std::move(lines));
    if (!m_reader->isRunning()) {
        // No thread to be had: the event loop reads, as it always could.
        qCWarning(lcLink).noquote() << QStringLiteral("no reader thread for %1 (%2) - reading it on the event loop")
                                               .arg(shownPortName(m_portName), m_reader->startError());
        m_reader.reset();
        setReadNotifiers(m_port, true);
    }
}

void SerialFeed::stopReader()
{
    if (!m_reader)
        return;
    m_readerSkipped += m_reader->skippedBytes();
    m_reader.reset();
}

void SerialFeed::readerEnded(quint64 generation, int error)
{
    if (generation != m_readerGeneration || !m_reader || !m_port || !m_port->isOpen())
        return;
    letVanishedPortGo(error != 0 ? qt_error_string(error)
                                 : QCoreApplication::translate("MeterLink", "the device hung up"));
}

bool SerialFeed::isOpen() const
{
    return m_port && m_port->isOpen();
}

void SerialFeed::readAvailable()
{
    qCDebug(lcLink) << "data arrived.. ";
    if (!m_port || m_reader)
        return;
    const QByteArray chunk = m_port->readAll();
    const int found = m_framer.feed(chunk, [this](const std::uint8_t *packet) {
        MeterPacket::Bytes bytes;
        std::copy(packet, packet + MeterPacket::kSize, bytes.begin());
        emit packetReceived(bytes);
    });
    if (found > 0)
        emit packetsFramed(found);
}

void SerialFeed::setNotified(bool notified)
{
    if (m_reader)
        m_reader->setWatching(notified);
    else if (m_port && m_port->isOpen())
        setReadNotifiers(m_port, notified);
}

void SerialFeed::pull()
{
    if (m_reader) {
        m_reader->readNow();
        return;
    }
    if (!m_port || !m_port->isOpen())
        return;
    // Bytes the port has already taken from the device come first; then one
    // look at the device without waiting, which hands what it holds to
    // readAvailable() through readyRead. A vanished device reports its error
    // here once per pull, never in a loop.
    if (m_port->bytesAvailable() > 0)
        readAvailable();
    m_port->waitForReadyRead(0);
}

void SerialFeed::onError(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError)
        return;
    if (!m_port || sender() != m_port)
        return;
    if (!m_port->isOpen()) {
        noteOpenFailure();
        if (!m_retryTimer->isActive())
            m_retryTimer->start(kRetryMs);
        emit openChanged(false);
        return;
    }
    // A vanished device reports a read error over and over while the port
    // still counts as open; close it outside this signal and retry later.
    if (!m_closePending) {
        m_closePending = true;
        QMetaObject::invokeMethod(this, &SerialFeed::closeVanishedPort, Qt::QueuedConnection);
    }
}

void SerialFeed::closeVanishedPort()
{
    m_closePending = false;
    if (!m_port || !m_port->isOpen())
        return;
    letVanishedPortGo(m_port->errorString());
}

void SerialFeed::letVanishedPortGo(const QString &why)
{
    stopReader();
    // Told once, by the link's state; the retries that follow stay silent.
    m_problem = QCoreApplication::translate("MeterLink", "%1 stopped answering (%2): the device was unplugged or went away.")
                    .arg(shownPortName(serialDevicePath(m_portName)), why);
    m_problemError = QSerialPort::ResourceError;
    m_port->close();
    m_port->clearError();
    m_framer.reset();
    m_retryTimer->start(kRetryMs);
    m_linePoll->stop();
    setLines(-1, 0);
    emit openChanged(false);
}

void SerialFeed::retry()
{
    if (!m_port || m_port->isOpen()) {
        m_retryTimer->stop();
        return;
    }
    if (m_port->open(QIODevice::ReadWrite)) {
        m_port->clearError();
        m_retryTimer->stop();
        m_framer.reset();
        m_problem.clear();
        m_problemError = QSerialPort::NoError;
        qCInfo(lcLink).noquote() << "serial port" << shownPortName(m_portName) << "is open again";
        portOpened();
        emit openChanged(true);
        return;
    }
    noteOpenFailure();
    emit openChanged(false);
}

void SerialFeed::noteOpenFailure()
{
    if (!m_port)
        return;
    const QSerialPort::SerialPortError error = m_port->error();
    // The first reason stays while the port stays shut: a device that went
    // away is then missing, which says less, and "not open" says nothing.
    // A new kind of failure (now there, but not ours to open) is news.
    if (!m_problem.isEmpty()
        && (error == m_problemError || error == QSerialPort::NoError || error == QSerialPort::NotOpenError
            || (m_problemError == QSerialPort::ResourceError && error == QSerialPort::DeviceNotFoundError)))
        return;
    m_problem = describeSerialFailure(m_portName, error, m_port->errorString());
    m_problemError = error;
}
