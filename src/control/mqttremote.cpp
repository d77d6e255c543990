#include "mqttremote.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include "controllogging.h"
#include "mqttclient.h"

namespace {
constexpr int kMaxRetryMs = 30000;
constexpr int kStateEveryMs = 100;  // at most 10 states a second
constexpr int kMaxCommandBytes = 4096;
} // namespace

MqttRemote::MqttRemote(Runner run, QObject *parent)
    : QObject(parent)
    , m_run(std::move(run))
    , m_retry(new QTimer(this))
    , m_statePacer(new QTimer(this))
{
    m_retry->setSingleShot(true);
    connect(m_retry, &QTimer::timeout, this, &MqttRemote::connectNow);
    m_statePacer->setSingleShot(true);
    connect(m_statePacer, &QTimer::timeout, this, &MqttRemote::publishState);
    m_clock.start();
}

MqttRemote::~MqttRemote() { stop(); }

void MqttRemote::setIdentity(const QString &hostName, const QString &instance)
{
    m_hostName = hostName;
    m_instance = instance;
}

QString MqttRemote::stateWord() const
{
    switch (m_state) {
    case State::Off: return QStringLiteral("off");
    case State::Connecting: return QStringLiteral("connecting");
    case State::Connected: return QStringLiteral("connected");
    }
    return {};
}

QString MqttRemote::brokerText() const
{
    return QStringLiteral("%1%2:%3").arg(m_broker.tls ? QStringLiteral("mqtts://") : QStringLiteral("mqtt://"),
                                         logText(m_broker.host)).arg(m_broker.port);
}

void MqttRemote::become(State state, const QString &reason)
{
    if (state == m_state && reason == m_reason)
        return;
    m_state = state;
    m_reason = reason;
    emit stateChanged();
}

void MqttRemote::apply(const ControlSettings &settings)
{
    if (m_applied && settings.sameMqtt(m_settings))
        return;
    stop();
    m_settings = settings;
    m_applied = true;
    m_toldFault.clear();
    m_retryMs = 1000;
    if (settings.mqttBroker.trimmed().isEmpty()) {
        become(State::Off, QString());
        return;
    }
    m_broker = MqttTopics::parseBroker(settings.mqttBroker);
    if (!m_broker.ok) {
        const QString why = QStringLiteral(LUMORA_KEY_MQTT_BROKER " %1 %2").arg(logText(settings.mqttBroker), m_broker.error);
        qCWarning(lcControl).noquote() << "MQTT off:" << why << "- write it as mqtt://HOST:PORT or mqtts://HOST:PORT";
        become(State::Off, why);
        return;
    }
    QStringList refused;
    const QStringList groups = MqttTopics::groups(settings.mqttGroups, &refused);
    if (!refused.isEmpty())
        qCWarning(lcControl).noquote() << LUMORA_KEY_MQTT_GROUPS ": left out" << logText(refused.join(QStringLiteral(", ")))
                                       << "- a group name is not empty and has no /, + or #";
    m_id = MqttTopics::displayId(settings.mqttId, m_hostName, m_instance);
    m_topics = MqttTopics::topics(settings.mqttTopic.trimmed().isEmpty() ? QStringLiteral("lumora") : settings.mqttTopic,
                                  m_id, groups);
    become(State::Connecting, QStringLiteral("looking up %1").arg(logText(m_broker.host)));
    connectNow();
}

void MqttRemote::connectNow()
{
    if (m_state == State::Off)
        return;
    if (m_client) {
        const QString failure = m_client->connectAgain();
        if (!failure.isEmpty())
            retryLater(failure);
        return;
    }
    // The name first, by the owner: libmosquitto would look it up on this
    // thread.
    const QHostAddress address(m_broker.host);
    if (!address.isNull())
        lookedUp(m_broker.host, {address.toString()}, QString());
    else
        emit lookupWanted(m_broker.host);
}

void MqttRemote::lookedUp(const QString &host, const QStringList &addresses, const QString &error)
{
    if (m_state == State::Off || host != m_broker.host || m_client)
        return;
    if (addresses.isEmpty()) {
        retryLater(QStringLiteral("cannot find the host %1 (%2)").arg(logText(host), error.isEmpty() ? QStringLiteral("no address") : error));
        return;
    }
    m_address = addresses.first().toUtf8();
    m_client = std::make_unique<MqttClient>([this] {
        if (m_wake)
            m_wake();
    });
    MqttClient::Options o;
    o.clientId = "lumora-" + m_id.toUtf8();
    o.host = m_address;
    o.port = m_broker.port;
    o.tls = m_broker.tls;
    o.caFile = m_settings.mqttCa.toLocal8Bit();
    o.user = m_settings.mqttUser.toUtf8();
    o.password = m_settings.mqttPassword.toUtf8();
    o.willTopic = m_topics.availability;
    o.willPayload = "offline";
    const QString failure = m_client->start(o);
    if (!failure.isEmpty())
        retryLater(failure);
}

void MqttRemote::retryLater(const QString &why)
{
    const QString fault = why;
    if (fault != m_toldFault)
        qCWarning(lcControl).noquote() << "MQTT: cannot reach the broker" << brokerText() << "(" + why + ")"
                                       << "- retrying";
    m_toldFault = fault;
    become(State::Connecting, why);
    m_retry->start(m_retryMs);
    m_retryMs = qMin(m_retryMs * 2, kMaxRetryMs);
}

void MqttRemote::take()
{
    if (!m_client)
        return;
    for (MqttClient::Event &e : m_client->take()) {
        switch (e.kind) {
        case MqttClient::Event::Connected:
            connected();
            break;
        case MqttClient::Event::Refused: {
            const QString why = QStringLiteral("refused: %1").arg(MqttClient::reasonText(e.code));
            if (why != m_toldFault)
                qCWarning(lcControl).noquote() << "MQTT: the broker" << brokerText() << why
                                               << "- check " LUMORA_KEY_MQTT_USER " and " LUMORA_KEY_MQTT_PASSWORD
                                                  " and the broker's access list; retrying";
            m_toldFault = why;
            become(State::Connecting, why);
            break;
        }
        case MqttClient::Event::Lost:
            if (e.code != 0 && m_state == State::Connected) {
                const QString why = QStringLiteral("lost: %1").arg(MqttClient::errorText(e.code));
                qCWarning(lcControl).noquote() << "MQTT: the broker" << brokerText() << why << "- retrying";
                m_toldFault = why;
                become(State::Connecting, why);
            }
            break;
        case MqttClient::Event::Message:
            runCommand(e.topic, e.payload, e.responseTopic, e.correlation);
            break;
        }
    }
}

void MqttRemote::connected()
{
    m_retry->stop();
    m_retryMs = 1000;
    if (!m_toldFault.isEmpty() || m_state != State::Connected)
        qCInfo(lcControl).noquote() << "MQTT: connected to" << brokerText() << "as" << m_id;
    m_toldFault.clear();
    become(State::Connected, QString());
    // The subscriptions first: the broker takes a client's packets in
    // order, so whoever sees "online" may send at once.
    for (const QByteArray &topic : QList<QByteArray>{m_topics.cmd, m_topics.all} + m_topics.groups)
        sent(m_client->subscribe(topic), topic);
    sent(m_client->publish(m_topics.availability, "online", true, 1), m_topics.availability);
    m_lastState.invalidate();
    m_publishedKey.clear();
    publishState();
}

void MqttRemote::runCommand(const QByteArray &topic, const QByteArray &payload, const QByteArray &responseTopic,
                            const QByteArray &correlation)
{
    if (m_state != State::Connected)
        return;
    const QByteArray replyTopic = responseTopic.isEmpty() ? m_topics.reply : responseTopic;
    QByteArray reply;
    if (!m_rate.take(QString::fromUtf8(topic), true, m_clock.elapsed())) {
        if (!m_rate.busyReplyDue(QString::fromUtf8(topic), true, m_clock.elapsed()))
            return;
        reply = "ERR busy";
    } else if (payload.size() > kMaxCommandBytes || (payload.contains('\n') && payload.indexOf('\n') < payload.size() - 1)) {
        reply = "ERR mqtt: one command line per message";
    } else {
        reply = m_run(payload, QStringLiteral("MQTT ") + logText(topic));
    }
    sent(m_client->publish(replyTopic, reply, false, 0, correlation), replyTopic);
}

void MqttRemote::sent(const QString &failure, const QByteArray &topic)
{
    if (failure.isEmpty()) {
        m_sendFailureTold = false;
        return;
    }
    if (!m_sendFailureTold)
        qCWarning(lcControl).noquote() << "MQTT: nothing can be sent on" << logText(topic) << "to" << brokerText()
                                       << "(" + failure + ") - the connection is tried again; further failures are not told until one goes through";
    m_sendFailureTold = true;
}

// The state without what changes every second by itself (the time still to
// go, the time on air): the instants tell those, and a running count-down
// must not be republished each second.
static QByteArray changeKey(const QByteArray &json)
{
    QJsonObject o = QJsonDocument::fromJson(json).object();
    for (const char *part : {"ring", "endmark", "tally"}) {
        QJsonObject inner = o.value(QLatin1String(part)).toObject();
        inner.remove(QStringLiteral("remaining_s"));
        inner.remove(QStringLiteral("on_air_s"));
        o.insert(QLatin1String(part), inner);
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

void MqttRemote::setState(const QByteArray &json)
{
    m_stateJson = json;
    if (m_state != State::Connected || m_statePacer->isActive())
        return;
    if (changeKey(json) == m_publishedKey)
        return;
    const qint64 since = m_lastState.isValid() ? m_lastState.elapsed() : kStateEveryMs;
    if (since >= kStateEveryMs)
        publishState();
    else
        m_statePacer->start(int(kStateEveryMs - since));
}

void MqttRemote::publishState()
{
    if (m_state != State::Connected || !m_client || m_stateJson.isEmpty())
        return;
    sent(m_client->publish(m_topics.state, m_stateJson, true, 0), m_topics.state);
    m_publishedKey = changeKey(m_stateJson);
    m_lastState.start();
}

void MqttRemote::stop()
{
    m_retry->stop();
    m_statePacer->stop();
    if (m_client) {
        // A clean end says offline itself; the broker keeps the will for a
        // display that vanishes.
        m_client->stop(m_state == State::Connected ? m_topics.availability : QByteArray(), "offline");
        m_client.reset();
    }
    if (m_state != State::Off)
        become(State::Off, QString());
}
