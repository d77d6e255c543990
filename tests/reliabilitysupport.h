#pragma once

// Helpers shared by the long-running reliability tests: real pseudo-terminals,
// the process's own memory and descriptor figures, and settings files written
// before a window is built.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QString>
#include <QUdpSocket>
#include <QtGlobal>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "commsettings.h"
#include "meterpacket.h"
#include "settingsstore.h"
#include "testsupport.h"

namespace Reliability {

// Under AddressSanitizer freed memory sits in a quarantine and everything
// runs slower, so memory figures are reported but not compared there, and
// the longest runs are shortened.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr qint64 kMemorySlackKb = 2 * 1024;

// Resident memory of this process in kB (VmRSS), or -1.
inline qint64 residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Open file descriptors of this process.
inline int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

// Runs the event loop until done() holds or the time is up. Returns done().
// Wakes on every event (the window's 10 ms release tick guarantees some), so
// it costs no fixed pause. Objects handed to deleteLater() go as they would
// in the program's own event loop; processEvents() alone never deletes them
// in a test function, and a serial port's old notifiers would pile up.
template<class Done>
bool pumpUntil(Done done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

// A console cable: a pseudo-terminal whose slave side the window opens as its
// serial port, and whose master side the test writes to.
class Pty
{
public:
    Pty() = default;
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    ~Pty() { close(); }

    bool open()
    {
        close();
        char name[128] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
            return false;
        // Raw from the start, so no byte written before the window sets the
        // line up is changed by the line discipline.
        termios tio{};
        if (::tcgetattr(m_slave, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(m_slave, TCSANOW, &tio);
        }
        // Writes never block for good: a window that stops reading makes
        // write() give up instead of hanging the test.
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        m_slavePath = QString::fromLocal8Bit(name);
        return true;
    }

    // Pulls the plug: the window's reads fail from now on.
    void close()
    {
        if (m_master >= 0)
            ::close(m_master);
        if (m_slave >= 0)
            ::close(m_slave);
        m_master = m_slave = -1;
    }

    // Writes all bytes to the master side; false on a write error, or when
    // the reader has not made room for two seconds.
    bool write(const void *data, size_t size) const
    {
        constexpr int kPollMs = 50;
        constexpr int kMaxFullPolls = 40;
        const char *p = static_cast<const char *>(data);
        int fullPolls = 0;
        while (size > 0) {
            const ssize_t n = ::write(m_master, p, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN) {
                if (++fullPolls > kMaxFullPolls)
                    return false;
                pollfd out{m_master, POLLOUT, 0};
                ::poll(&out, 1, kPollMs);
                continue;
            }
            if (n <= 0)
                return false;
            p += n;
            size -= size_t(n);
        }
        return true;
    }

    bool writePacket(const MeterPacket::Words &words) const
    {
        const MeterPacket::Bytes packet = MeterPacket::encode(words);
        return write(packet.data(), packet.size());
    }

    int master() const { return m_master; }
    int slave() const { return m_slave; }
    QString slavePath() const { return m_slavePath; }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};

// Points the link at target by replacing it at once, as udev does when a
// device comes back under the same name.
inline bool repointLink(const QString &link, const QString &target)
{
    const QByteArray temp = (link + QStringLiteral(".new")).toLocal8Bit();
    ::unlink(temp.constData());
    if (::symlink(target.toLocal8Bit().constData(), temp.constData()) != 0)
        return false;
    return ::rename(temp.constData(), link.toLocal8Bit().constData()) == 0;
}

// Stores a link description where the next window reads it.
inline void storeLink(const CommSettings &comm)
{
    QDir(QFileInfo(TestSupport::settingsPath()).path()).removeRecursively();
    const std::unique_ptr<QSettings> settings = openSettingsFile(TestSupport::settingsPath());
    StoredSettings stored;
    stored.comm = comm;
    writeStored(*settings, stored);
}

// A UDP port nothing listens on now. Port 0 is refused by the link (it would
// listen on a random port), so a test asks the system for a free one.
inline QString freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::Any), 0);
    return QString::number(probe.localPort());
}

inline CommSettings clientLink(const QString &clientHost, const QString &clientPort = freeUdpPort())
{
    CommSettings comm;
    comm.use_udp = true;
    comm.is_server = false;
    comm.client_host = clientHost;
    comm.client_port = clientPort;
    return comm;
}

inline MeterPacket::Levels levelsOf(const MeterPacket::Words &words)
{
    const MeterPacket::Bytes packet = MeterPacket::encode(words);
    return MeterPacket::decode(packet.data());
}

} // namespace Reliability
