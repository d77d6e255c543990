#include "readnotifiers.h"

#include <QObject>
#include <QSocketNotifier>

void setReadNotifiers(QObject *transport, bool enabled)
{
    if (!transport)
        return;
    const auto notifiers = transport->findChildren<QSocketNotifier *>();
    for (QSocketNotifier *notifier : notifiers) {
        if (notifier->type() == QSocketNotifier::Read && notifier->isEnabled() != enabled)
            notifier->setEnabled(enabled);
    }
}
