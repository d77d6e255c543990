#pragma once

#include <QHostInfo>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class ThreadWake;

// Looks a host name up on a thread of its own and answers on the owner's
// thread.
// Unlike QHostInfo::lookupHost it asks the system each time: the toolkit
// keeps an answer for a minute, and a studio PC that moved must be found
// again sooner. A new start() or cancel() drops the answer of the one before.
class HostLookup : public QObject
{
    Q_OBJECT

public:
    using Resolver = std::function<QHostInfo(const QString &name)>;

    explicit HostLookup(QObject *parent = nullptr);
    ~HostLookup() override;

    void start(const QString &name);
    void cancel();
    bool isRunning() const { return m_running; }

    // Stands in for the system's resolver (tests). Called on the look-up's
    // thread.
    void setResolver(Resolver resolver) { m_resolver = std::move(resolver); }

signals:
    void finished(const QHostInfo &info);

private:
    struct Shared;
    void deliver();

    std::shared_ptr<Shared> m_shared;
    ThreadWake *m_wake = nullptr;
    Resolver m_resolver;
    quint64 m_generation = 0;
    bool m_running = false;
};
