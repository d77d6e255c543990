#include "hostlookup.h"

#include <QMutex>
#include <QMutexLocker>
#include <QThreadPool>

// The worker posts its answer under the mutex, so the owner cannot be
// destroyed in between; once it is gone, owner is null and the answer is
// dropped. An answer already posted dies with the owner's posted events.
struct HostLookup::Shared
{
    QMutex mutex;
    HostLookup *owner = nullptr;
};

HostLookup::HostLookup(QObject *parent)
    : QObject(parent)
    , m_shared(std::make_shared<Shared>())
{
    m_shared->owner = this;
}

HostLookup::~HostLookup()
{
    QMutexLocker lock(&m_shared->mutex);
    m_shared->owner = nullptr;
}

void HostLookup::start(const QString &name)
{
    const quint64 generation = ++m_generation;
    m_running = true;
    std::shared_ptr<Shared> shared = m_shared;
    Resolver resolver = m_resolver ? m_resolver : Resolver(&QHostInfo::fromName);
    QThreadPool::globalInstance()->start([shared, resolver, name, generation] {
        const QHostInfo info = resolver(name);
        QMutexLocker lock(&shared->mutex);
        if (HostLookup *owner = shared->owner)
            QMetaObject::invokeMethod(
                owner, [owner, info, generation] { owner->deliver(info, generation); }, Qt::QueuedConnection);
    });
}

void HostLookup::cancel()
{
    ++m_generation;
    m_running = false;
}

void HostLookup::deliver(const QHostInfo &info, quint64 generation)
{
    if (generation != m_generation)
        return;
    m_running = false;
    emit finished(info);
}
