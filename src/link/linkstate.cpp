#include "linkstate.h"

#include <QCoreApplication>

QString linkStateDescription(LinkState state, const QString &where)
{
    switch (state) {
    case LinkState::Live:
        return QCoreApplication::translate("MainWindow", "Meter data arrives from %1.").arg(where);
    case LinkState::Silent:
        return QCoreApplication::translate("MainWindow", "No meter data from %1 for more than a second.").arg(where);
    case LinkState::PortClosed:
        return QCoreApplication::translate("MainWindow", "Serial port %1 is not open. Retrying every second.").arg(where);
    case LinkState::BindFailed:
        return QCoreApplication::translate("MainWindow", "Could not listen on UDP port %1.").arg(where);
    case LinkState::InvalidPort:
        return QCoreApplication::translate("MainWindow", "The UDP port \"%1\" is not a number from 1 to 65535.").arg(where);
    }
    return QString();
}
