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
#include "linktestsupport.h"
#include "meterpacket.h"
#include "settingsstore.h"
#include "testsupport.h"

namespace Reliability {

// Under AddressSanitizer freed memory sits in a quarantine and everything
// runs slower, so memory figures are reported but not compared there, and
// the longest runs are shortened. ThreadSanitizer is slower still.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
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

// The console cable of the link tests.
using LinkTest::Pty;

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

inline MeterPacket::Levels levelsOf(const MeterPacket::Words &words)
{
    const MeterPacket::Bytes packet = MeterPacket::encode(words);
    return MeterPacket::decode(packet.data());
}

} // namespace Reliability
