#include "portnumber.h"

#include <QString>

std::optional<quint16> parsePort(const QString &text)
{
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok, 10);
    if (!ok || value < kLowestPort || value > kHighestPort)
        return std::nullopt;
    return quint16(value);
}

qulonglong portTextValue(const QString &text)
{
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok, 10);
    return ok ? value : 0;
}
