#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

// Who holds a display's lock, as the lock file says: the process, its
// program, and the machine and boot it ran in.
struct LockHolder
{
    qint64 pid = 0;
    QString application;
    QString host;
    QByteArray machineId;
    QByteArray bootId;
};

// Reads a lock file's contents (one item a line); nothing when they name
// no process.
std::optional<LockHolder> parseLockFile(const QByteArray &contents);

// This process, in the same terms.
LockHolder thisProcess();

// Why a lock that could not be taken is held by no live copy on this PC, in
// words for the log; empty when a live copy may hold it. A copy killed in a
// container leaves its own PID, which the next start there gets again; a
// lock that cannot be read or that comes from another machine or an
// earlier boot (a restored home folder, a cloned disk, a power cut) can
// never be a copy that runs now.
QString staleLockReason(const std::optional<LockHolder> &holder, const LockHolder &self);
