#include "controllistener.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

#include "controlaccess.h"
#include "controlcenter.h"
#include "controldatagram.h"
#include "controllogging.h"

bool isLoopbackBind(const QString &bind)
{
    const QHostAddress address(bind.trimmed());
    return !address.isNull() && address.isLoopback();
}

ControlListener::ControlListener(ControlCenter *center, QObject *parent)
    : QObject(parent)
    , m_center(center)
{
    m_clock.start();
    m_retry.setSingleShot(true);
    m_retry.setInterval(kRetryMs);
    connect(&m_retry, &QTimer::timeout, this, &ControlListener::bindNow);
}

bool ControlListener::isListening() const
{
    return m_socket && m_socket->state() == QAbstractSocket::BoundState;
}

quint16 ControlListener::port() const { return isListening() ? m_socket->localPort() : 0; }

bool ControlListener::listen(const ControlSettings &settings)
{
    m_settings = settings;
    m_retry.stop();
    return bindNow();
}

bool ControlListener::bindNow()
{
    const ControlSettings &settings = m_settings;
    delete m_socket;
    m_socket = nullptr;
    if (settings.port == 0) {
        qCInfo(lcControl) << "control channel off (" LUMORA_KEY_CONTROL_PORT " is 0)";
        setState(State::Off, QStringLiteral(LUMORA_KEY_CONTROL_PORT " is 0"));
        return false;
    }

    QString problem;
    bool waiting = false;
    const QHostAddress bind(settings.bind.trimmed());
    if (settings.port < 0 || settings.port > 65535) {
        problem = QStringLiteral("control channel off: " LUMORA_KEY_CONTROL_PORT " %1 is not a port from 1 to 65535 (0 turns the channel off)")
                      .arg(settings.port);
    } else if (bind.isNull()) {
        problem = QStringLiteral("control channel off: " LUMORA_KEY_CONTROL_BIND " \"%1\" is no IP address; give an address of this PC such as 127.0.0.1")
                      .arg(logText(settings.bind));
    } else {
        m_socket = new QUdpSocket(this);
        if (!m_socket->bind(bind, quint16(settings.port))) {
            if (m_socket->error() == QAbstractSocket::SocketAddressNotAvailableError) {
                // An address that comes with a network link, a VPN or DHCP
                // may come after the display: looked for again and again.
                waiting = true;
                problem = QStringLiteral("control channel waits: " LUMORA_KEY_CONTROL_BIND " %1 is not an address of this PC (%2); "
                                         "trying again every %3 s. Check the address, or the network link that "
                                         "brings it")
                              .arg(bind.toString(), m_socket->errorString()).arg(kRetryMs / 1000);
            } else {
                problem = QStringLiteral("control channel off: cannot listen on %1 port %2 (" LUMORA_KEY_CONTROL_PORT "): %3. "
                                         "Another program or a second display may use the port; give each display "
                                         "its own " LUMORA_KEY_CONTROL_PORT ", or a " LUMORA_KEY_CONTROL_BIND " of this PC")
                              .arg(bind.toString()).arg(settings.port).arg(m_socket->errorString());
            }
            delete m_socket;
            m_socket = nullptr;
        }
    }
    if (!problem.isEmpty()) {
        if (problem != m_lastBindProblem)
            qCWarning(lcControl).noquote() << problem;
        m_lastBindProblem = problem;
        if (waiting)
            m_retry.start();
        setState(waiting ? State::Waiting : State::Off, problem);
        return false;
    }
    m_lastBindProblem.clear();
    connect(m_socket, &QUdpSocket::readyRead, this, &ControlListener::readDatagrams);
    qCInfo(lcControl).noquote() << "control channel listening on" << bind.toString() << "UDP port" << settings.port;
    if (!bind.isLoopback() && settings.allow.trimmed() == QLatin1String(AllowList::kDefault))
        qCWarning(lcControl).noquote()
            << LUMORA_KEY_CONTROL_BIND " is" << bind.toString() << "but " LUMORA_KEY_CONTROL_ALLOW " is still" << AllowList::kDefault
            << "- only this PC may send commands until " LUMORA_KEY_CONTROL_ALLOW " names the studio's network (for example 10.20.0.0/16)";
    setState(State::Listening, QString());
    return true;
}

void ControlListener::setState(State state, const QString &reason)
{
    if (state == m_state && reason == m_reason)
        return;
    m_state = state;
    m_reason = reason;
    emit stateChanged();
}

QString ControlListener::stateWord() const
{
    switch (m_state) {
    case State::Listening: return QStringLiteral("listening");
    case State::Waiting: return QStringLiteral("waiting");
    case State::Off: break;
    }
    return QStringLiteral("off");
}

void ControlListener::readDatagrams()
{
    for (int handled = 0; m_socket && handled < kMaxDatagramsPerTurn; ++handled) {
        // The first read happens even if nothing shows as pending: only a
        // read tells the socket its readyRead was answered, and an
        // unanswered one leaves it silent for good.
        if (handled > 0 && !m_socket->hasPendingDatagrams())
            break;
        // One byte more than a datagram may hold tells a longer one apart.
        const QNetworkDatagram d = m_socket->receiveDatagram(ControlDatagram::kMaxBytes + 1);
        if (!d.isValid())
            continue;
        handle(d.data(), d.senderAddress(), quint16(d.senderPort()));
    }
    // More may be waiting. The reads re-armed the socket's read notifier,
    // so the next turn of the event loop brings another readyRead after the
    // clocks and the meters have had theirs.
}

namespace {

quint32 budgetKey(const QHostAddress &sender)
{
    quint32 ipv4 = 0;
    return senderIPv4(sender, ipv4) ? ipv4 : quint32(qHash(sender));
}

} // namespace

void ControlListener::handle(const QByteArray &datagram, const QHostAddress &sender, quint16 senderPort)
{
    // The datagram is paid for before it is read, so a sender over its rate
    // costs no decoding; it carries its first line, and every further line
    // or answered error pays its own.
    const bool osc = datagram.startsWith('/') || datagram.startsWith("#bundle");
    const bool bundle = datagram.startsWith("#bundle");
    const bool trusted = m_center->trusts(sender);
    if (!trusted)
        m_budget.received(budgetKey(sender), datagram.size(), m_clock.elapsed());
    QList<QByteArray> answers;
    bool busy = !m_center->take(sender);
    ControlDatagram decoded;
    if (!busy)
        decoded = decodeControlDatagram(datagram);
    for (size_t i = 0; !busy && i < decoded.items.size(); ++i) {
        const ControlDatagram::Item &item = decoded.items[i];
        if (i > 0 && !m_center->take(sender)) {
            busy = true;
            break;
        }
        if (!item.error.isEmpty()) {
            answers << "ERR " + item.error;
            continue;
        }
        const ControlCenter::Reply r = m_center->runTaken(item.line, sender);
        answers << (!trusted && r.outcome == ControlCenter::Outcome::Status ? QByteArray(kStatusOverTcp) : r.text);
    }
    // Told once a second; what is over the rate beyond that gets nothing.
    if (busy && m_center->busyReplyDue(sender))
        answers << QByteArrayLiteral("ERR busy");
    if (!trusted)
        fitBudget(answers, osc, bundle, sender);
    if (answers.isEmpty())
        return;
    if (osc)
        reply(encodeOscReplies(answers, bundle), sender, senderPort);
    else
        reply(answers.join('\n') + '\n', sender, senderPort);
}

void ControlListener::fitBudget(QList<QByteArray> &answers, bool osc, bool bundle, const QHostAddress &sender)
{
    const quint32 key = budgetKey(sender);
    const qint64 nowMs = m_clock.elapsed();
    const qint64 left = m_budget.left(key, nowMs);
    // The answers that fit, from the first on; the rest are dropped.
    int kept = 0;
    qint64 bytes = 0;
    for (; kept < answers.size(); ++kept) {
        const qint64 with = osc ? encodeOscReplies(answers.mid(0, kept + 1), bundle).size()
                                : bytes + answers[kept].size() + 1;
        if (with > left)
            break;
        bytes = with;
    }
    m_repliesDropped += quint64(answers.size() - kept);
    answers = answers.mid(0, kept);
    m_budget.answered(key, int(bytes), nowMs);
}

void ControlListener::reply(const QByteArray &bytes, const QHostAddress &to, quint16 port)
{
    if (bytes.isEmpty() || !m_socket)
        return;
    const qint64 sent = m_socket->writeDatagram(bytes, to, port);
    const qint64 nowMs = m_clock.elapsed();
    if (sent == bytes.size()) {
        // Said only when the failure was told.
        if (m_sendFailing && m_failureTold)
            qCInfo(lcControl).noquote() << "control replies are sent again";
        m_sendFailing = false;
        m_failureTold = false;
        return;
    }
    ++m_failedReplies;
    // Sources that fail and work in turn (forged ones, say) would flip this
    // on every datagram: told once a minute at most, with a count.
    if (!m_sendFailing && (m_failedReplies == 1 || nowMs - m_failureToldMs >= 60 * 1000)) {
        qCWarning(lcControl).noquote()
            << "cannot send a control reply to" << to.toString() << "port" << port << ":" << m_socket->errorString()
            << QStringLiteral("(%1 failed in all) - the command itself was run; check the sender's network route")
                   .arg(m_failedReplies);
        m_failureTold = true;
        m_failureToldMs = nowMs;
    }
    m_sendFailing = true;
}
