#include "instancelock.h"

#include <QCoreApplication>
#include <QList>
#include <QSysInfo>

std::optional<LockHolder> parseLockFile(const QByteArray &contents)
{
    const QList<QByteArray> lines = contents.split('\n');
    bool ok = false;
    LockHolder holder;
    holder.pid = lines.value(0).trimmed().toLongLong(&ok);
    if (!ok || holder.pid <= 0)
        return std::nullopt;
    holder.application = QString::fromUtf8(lines.value(1));
    holder.host = QString::fromUtf8(lines.value(2));
    holder.machineId = lines.value(3).trimmed();
    holder.bootId = lines.value(4).trimmed();
    return holder;
}

LockHolder thisProcess()
{
    LockHolder self;
    self.pid = QCoreApplication::applicationPid();
    self.host = QSysInfo::machineHostName();
    self.machineId = QSysInfo::machineUniqueId();
    self.bootId = QSysInfo::bootUniqueId();
    return self;
}

QString staleLockReason(const std::optional<LockHolder> &holder, const LockHolder &self)
{
    if (!holder)
        return QStringLiteral("it names no process");
    if (holder->pid == self.pid)
        return QStringLiteral("it names this very process (process %1): a copy that was killed and "
                              "started again in a container")
            .arg(holder->pid);
    if (!holder->host.isEmpty() && holder->host != self.host)
        return QStringLiteral("it was taken on another machine (%1)").arg(holder->host.left(200));
    const auto differ = [](const QByteArray &a, const QByteArray &b) {
        return !a.isEmpty() && !b.isEmpty() && a != b;
    };
    if (differ(holder->machineId, self.machineId))
        return QStringLiteral("it was taken on another machine (machine id %1)")
            .arg(QString::fromLatin1(holder->machineId.left(64)));
    if (differ(holder->bootId, self.bootId))
        return QStringLiteral("it was taken before this PC last started");
    return QString();
}
