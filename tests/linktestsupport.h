#pragma once

// Real parts for the link tests: a pseudo-terminal standing in for the
// console's serial cable, meter packets, a main window built from stored link
// settings, and a capture of the link's log lines.

#include <QLoggingCategory>
#include <QSerialPort>
#include <QUdpSocket>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "commsettings.h"
#include "mainwindow.h"
#include "meterlink.h"
#include "releaseclock.h"
#include "linklog.h"
#include "meterpacket.h"
#include "ptypair.h"
#include "settingsstore.h"
#include "teskppmmeter.h"

namespace LinkTest {

// A meter packet carrying the given raw words.
inline QByteArray packet(const MeterPacket::Words &words)
{
    const MeterPacket::Bytes bytes = MeterPacket::encode(words);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

// A packet with all six words the same.
inline QByteArray packetOf(quint16 word)
{
    return packet({word, word, word, word, word, word});
}

// Packet number n of a numbered stream: the first word counts, the others
// vary, and 0x0D0A turns up among the levels now and then.
inline QByteArray numberedPacket(quint32 n)
{
    const auto seq = quint16(n);
    return packet({seq, quint16(n % 7 == 0 ? 0x0D0A : 50000), quint16(0x0A0D), quint16(n * 3),
                   quint16(0xAA55), quint16(0x55AA)});
}

// The console's end of a serial cable: the master of a pseudo-terminal. The
// window opens the slave through a symbolic link, so an unplugged cable can
// come back under the same name pointing at a new terminal.
class ConsoleCable
{
public:
    ConsoleCable()
    {
        // The serial port's lock file is named after the link, so the name
        // must not clash with a test running beside this one.
        static int serial = 0;
        m_linkPath = m_dir.path() + QStringLiteral("/console-%1-%2").arg(::getpid()).arg(++serial);
    }
    ~ConsoleCable() { unplug(); }
    ConsoleCable(const ConsoleCable &) = delete;
    ConsoleCable &operator=(const ConsoleCable &) = delete;

    QString linkPath() const { return m_linkPath; }
    bool isPlugged() const { return m_pty.master() >= 0; }

    // A fresh terminal, with the link pointed at it.
    bool plug()
    {
        unplug();
        if (!m_pty.open())
            return false;
        // Only the window reads the slave; the master never blocks the test.
        m_pty.closeSlave();
        m_pending.clear();
        const QByteArray temp = (m_linkPath + QStringLiteral(".new")).toLocal8Bit();
        ::unlink(temp.constData());
        return ::symlink(m_pty.slavePath().c_str(), temp.constData()) == 0
            && ::rename(temp.constData(), m_linkPath.toLocal8Bit().constData()) == 0;
    }

    // Pulls the cable: the terminal goes away and, as with a USB adapter,
    // so does the device behind the name (a terminal number freed here may
    // soon belong to another program).
    void unplug()
    {
        if (!isPlugged())
            return;
        m_pty.close();
        const QByteArray temp = (m_linkPath + QStringLiteral(".new")).toLocal8Bit();
        const QByteArray gone = (m_dir.path() + QStringLiteral("/unplugged")).toLocal8Bit();
        ::unlink(temp.constData());
        if (::symlink(gone.constData(), temp.constData()) == 0)
            ::rename(temp.constData(), m_linkPath.toLocal8Bit().constData());
    }

    // Queues bytes and writes as much as the terminal takes now; the rest
    // goes out with the next write() or flush().
    void write(const QByteArray &bytes)
    {
        m_pending += bytes;
        flush();
    }

    void flush()
    {
        while (isPlugged() && !m_pending.isEmpty()) {
            const ssize_t n = ::write(m_pty.master(), m_pending.constData(), size_t(m_pending.size()));
            if (n <= 0)
                return;  // full (EAGAIN) or gone: try again later
            m_pending.remove(0, int(n));
        }
    }

    int pendingBytes() const { return m_pending.size(); }

private:
    QTemporaryDir m_dir;
    QString m_linkPath;
    QByteArray m_pending;
    PtyPair m_pty;
};

// A console cable: a pseudo-terminal whose slave side the window opens as its
// serial port, and whose master side the test writes to.
class Pty : public PtyPair
{
public:
    bool open() { return PtyPair::open(); }
    QString slavePath() const { return QString::fromStdString(PtyPair::slavePath()); }

    bool writePacket(const MeterPacket::Words &words) const
    {
        const MeterPacket::Bytes packet = MeterPacket::encode(words);
        return write(packet.data(), packet.size());
    }
};

// A link description for each mode.
inline CommSettings serialLink(const QString &port)
{
    CommSettings s;
    s.serialport = port;
    return s;
}

inline CommSettings clientLink(const QString &port, const QString &host = QStringLiteral("127.0.0.1"))
{
    CommSettings s;
    s.use_udp = true;
    s.client_host = host;
    s.client_port = port;
    return s;
}

inline CommSettings serverLink(const QString &serial, const QString &host, const QString &port)
{
    CommSettings s;
    s.use_udp = true;
    s.is_server = true;
    s.serialport = serial;
    s.server_host = host;
    s.server_port = port;
    return s;
}

// The link on its own, set up from the given settings, keeping the levels
// it last put out (the meters' targets, in a window).
class LinkUnderTest
{
public:
    explicit LinkUnderTest(const CommSettings &settings)
    {
        QObject::connect(&link, &MeterLink::levelsDecoded,
                         [this](const MeterPacket::Levels &levels) { last = levels; });
        link.rebuild(settings);
    }
    MeterLink link;
    MeterPacket::Levels last{};
};

// A UDP port that is free on this machine just now.
inline quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::AnyIPv4), 0);
    return probe.localPort();
}

// The same as settings text. Port 0 is refused by the link (it would listen
// on a random port), so a test asks the system for a free one.
inline QString freeUdpPortText()
{
    return QString::number(freeUdpPort());
}

// A main window that starts with the given link, as after a restart.
inline std::unique_ptr<MainWindow> windowWith(const CommSettings &link)
{
    {
        StoredSettings stored;
        stored.comm = link;
        const std::unique_ptr<QSettings> settings = openUserSettings();
        writeStored(*settings, stored);
    }
    return std::make_unique<MainWindow>();
}

inline TeskPPMMeter *meter(MainWindow &window, int index)
{
    static const char *const names[] = {"ProgLeft", "ProgRight", "SubLeft", "SubRight", "CrmLeft", "CrmRight"};
    return window.findChild<TeskPPMMeter *>(QString::fromLatin1(names[index]));
}

inline QWidget *linkMark(MainWindow &window)
{
    return window.findChild<QWidget *>(QStringLiteral("linkStateMark"));
}

// True when the mark would be on screen with the window.
inline bool markShown(MainWindow &window)
{
    return linkMark(window)->isVisibleTo(&window);
}

inline std::array<double, 6> levelsOf(const QByteArray &bytes)
{
    return MeterPacket::decode(reinterpret_cast<const std::uint8_t *>(bytes.constData()));
}

} // namespace LinkTest
