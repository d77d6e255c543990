#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

#include <functional>
#include <map>

#include "webrequest.h"

class QSocketNotifier;
class QTimer;
struct MHD_Daemon;
struct MHD_Connection;

// The web remote's HTTP side: libmicrohttpd without a thread or a listening
// socket of its own, run from the GUI thread's loop (a notifier on its epoll
// descriptor and a timer for its timeouts). It takes the connections the
// front door routes here; each answer closes its connection.
//
// Lives on the GUI thread.
class WebHttp : public QObject
{
    Q_OBJECT

public:
    struct Sources
    {
        WebRequest::Runner runner;
        std::function<QByteArray()> status;   // the state as JSON, now
        std::function<QByteArray()> metrics;  // the Prometheus text, now
        std::function<QByteArray()> scale;    // the meters' scale as JSON; empty: not known
        QByteArray token;
        QByteArray page;  // empty: missing from the build
    };

    static constexpr int kMaxConnections = 64;
    static constexpr unsigned kMemoryPerConnection = 32 * 1024;

    WebHttp(Sources sources, int perPeer, QObject *parent = nullptr);
    ~WebHttp() override;

    // False, after a warning, when libmicrohttpd cannot start.
    bool start();
    // Closes every connection at once.
    void stop();

    // Takes a connected socket whose request is unread; false when refused
    // (the fd is closed then).
    bool add(qintptr fd, const QHostAddress &peer);
    // A connection that add() took has ended.
    std::function<void(const QHostAddress &peer)> ended;

private:
    struct Request;
    void run();
    int answer(MHD_Connection *c, const char *url, const char *method, const char *upload, size_t *uploadSize,
               void **context);
    int command(MHD_Connection *c, Request &r);

    Sources m_sources;
    const int m_perPeer;
    MHD_Daemon *m_daemon = nullptr;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_timer;
    std::map<int, QHostAddress> m_peers;  // by fd, while libmicrohttpd has it
    bool m_running = false;
};
