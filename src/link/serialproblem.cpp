#include "serialproblem.h"

#include <QCoreApplication>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MeterLink", text);
}

// True when the user may open the device for reading and writing. The
// effective identity counts, as it does for open() itself.
bool userMayOpen(const QString &path)
{
#ifdef Q_OS_UNIX
    return ::faccessat(AT_FDCWD, QFile::encodeName(path).constData(), R_OK | W_OK, AT_EACCESS) == 0;
#else
    Q_UNUSED(path);
    return true;
#endif
}

} // namespace

QString serialDevicePath(const QString &portName)
{
#ifdef Q_OS_UNIX
    if (!portName.startsWith(QLatin1Char('/')))
        return QStringLiteral("/dev/") + portName;
#endif
    return portName;
}

QString describeSerialFailure(const QString &portName, QSerialPort::SerialPortError error,
                              const QString &systemText)
{
    if (portName.isEmpty())
        return QString();
    const QString path = serialDevicePath(portName);
    const QString shown = shownPortName(path);
#ifdef Q_OS_UNIX
    const bool exists = QFileInfo::exists(path);
#else
    const bool exists = true;  // COM ports are no files
#endif
    if (error == QSerialPort::DeviceNotFoundError || !exists)
        return tr("%1 does not exist (%2): is the console's cable or USB adapter plugged in?")
            .arg(shown, systemText);
    if (error == QSerialPort::PermissionError && !userMayOpen(path))
        return tr("Permission denied on %1 (%2): the user must be in the dialout group "
                  "(sudo adduser $USER dialout, then log in again).")
            .arg(shown, systemText);
    if (error == QSerialPort::PermissionError)
        return tr("%1 is in use by another program (%2).").arg(shown, systemText);
    return tr("%1: %2").arg(shown, systemText);
}

QString shownPortName(const QString &portName)
{
    // A line end or an escape sequence in a typed name must not forge or
    // hide a log line: control characters are written as \xHH.
    QString shown;
    const QString cut = portName.left(kShownPortNameLength);
    for (const QChar c : cut) {
        const ushort u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u < 0xa0) || u == 0x2028 || u == 0x2029 || (u >= 0x202a && u <= 0x202e)
            || (u >= 0x2066 && u <= 0x2069))
            shown += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    if (portName.size() <= kShownPortNameLength)
        return shown;
    return shown + QStringLiteral("... (%1 characters)").arg(portName.size());
}
