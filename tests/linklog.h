#pragma once

#include <QLoggingCategory>
#include <QString>
#include <QStringList>

namespace LinkTest {

// Collects what the link writes to the log while it exists, with the link's
// debug lines switched on whatever QT_LOGGING_RULES says. The serial reader
// thread logs too, hence the lock. One at a time.
class LinkLog
{
public:
    LinkLog();
    ~LinkLog();
    LinkLog(const LinkLog &) = delete;
    LinkLog &operator=(const LinkLog &) = delete;

    // The link's lines of this type, in order; or another category's.
    QStringList texts(QtMsgType type, const char *category = "lumora.link") const;
    // What the link told, debug lines left out, in order.
    QStringList told() const;
    void clear();

private:
    QtMessageHandler m_previousHandler = nullptr;
};

} // namespace LinkTest
