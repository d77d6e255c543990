#include "hostlookup.h"

#include "threadwake.h"

#include <QHostAddress>
#include <QUrl>

#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#ifdef Q_OS_UNIX
#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>
#endif

namespace {

// The system's resolver, asked straight: QHostInfo::fromName also fills the
// toolkit's shared cache, which two look-ups at once would both write.
QHostInfo resolve(const QString &name)
{
#ifdef Q_OS_UNIX
    QHostInfo info;
    info.setHostName(name);
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    const QByteArray ascii = QUrl::toAce(name);
    const int error = ascii.isEmpty() ? EAI_NONAME : ::getaddrinfo(ascii.constData(), nullptr, &hints, &found);
    if (error != 0) {
        info.setError(error == EAI_NONAME ? QHostInfo::HostNotFound : QHostInfo::UnknownError);
        info.setErrorString(error == EAI_NONAME ? QStringLiteral("Host not found")
                                                : QString::fromLocal8Bit(::gai_strerror(error)));
        return info;
    }
    QList<QHostAddress> addresses;
    for (const addrinfo *a = found; a; a = a->ai_next) {
        if (!a->ai_addr)
            continue;
        QHostAddress address;
        address.setAddress(a->ai_addr);
        if (!address.isNull() && !addresses.contains(address))
            addresses.append(address);
    }
    ::freeaddrinfo(found);
    info.setAddresses(addresses);
    if (addresses.isEmpty()) {
        info.setError(QHostInfo::HostNotFound);
        info.setErrorString(QStringLiteral("Host not found"));
    }
    return info;
#else
    return QHostInfo::fromName(name);
#endif
}

} // namespace

// What the worker and the owner share. The worker leaves its answer here and
// wakes the owner, under the mutex, so the owner cannot go in between; once
// the owner is gone, wake is null and the answer is dropped. Only the answer
// of the look-up the owner waits for is kept: an older one that lands late
// must not take the place of the answer the owner has yet to read. Nothing
// of the owner's crosses but through here.
struct HostLookup::Shared
{
    std::mutex mutex;
    ThreadWake *wake = nullptr;
    std::optional<QHostInfo> answer;
    quint64 generation = 0;  // of the answer
    quint64 wanted = 0;      // the look-up waited for; 0: none
};

HostLookup::HostLookup(QObject *parent)
    : QObject(parent)
    , m_shared(std::make_shared<Shared>())
    , m_wake(new ThreadWake(this))
{
    m_shared->wake = m_wake;
    connect(m_wake, &ThreadWake::woken, this, &HostLookup::deliver);
}

HostLookup::~HostLookup()
{
    const std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->wake = nullptr;
}

void HostLookup::start(const QString &name)
{
    const quint64 generation = ++m_generation;
    m_running = true;
    {
        const std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->wanted = generation;
        m_shared->answer.reset();
    }
    // A look-up may hang for as long as the name server takes; the thread is
    // let go, and its answer dropped if nobody wants it any more. A deep copy
    // of the name: nothing implicitly shared crosses to the thread.
    QString ownName(name.constData(), name.size());
    try {
        std::thread([shared = m_shared, resolver = m_resolver, ownName, generation]() mutable {
            QHostInfo info = resolver ? resolver(ownName) : resolve(ownName);
            // The answer may share the name's text; the thread lets go of
            // its own reference before the hand-off, not after it.
            ownName = QString();
            const std::lock_guard<std::mutex> lock(shared->mutex);
            if (!shared->wake || shared->wanted != generation)
                return;
            shared->answer = std::move(info);
            shared->generation = generation;
            shared->wake->wake();
        }).detach();
    } catch (const std::system_error &error) {
        // No thread to be had: the look-up fails now, with the reason, and
        // is tried again as a failed one would be.
        QHostInfo info;
        info.setHostName(ownName);
        info.setError(QHostInfo::UnknownError);
        info.setErrorString(QStringLiteral("no thread for the name look-up (%1)").arg(QString::fromLocal8Bit(error.what())));
        const std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->answer = std::move(info);
        m_shared->generation = generation;
        m_wake->wake();
    }
}

void HostLookup::cancel()
{
    ++m_generation;
    m_running = false;
    const std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->wanted = 0;
    m_shared->answer.reset();
}

void HostLookup::deliver()
{
    std::optional<QHostInfo> answer;
    quint64 generation = 0;
    {
        const std::lock_guard<std::mutex> lock(m_shared->mutex);
        answer.swap(m_shared->answer);
        generation = m_shared->generation;
    }
    if (!answer || generation != m_generation)
        return;
    m_running = false;
    emit finished(*answer);
}
