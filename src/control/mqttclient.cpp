#include "mqttclient.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

struct LibraryInit
{
    LibraryInit() { mosquitto_lib_init(); }
    ~LibraryInit() { mosquitto_lib_cleanup(); }
};

void initLibrary()
{
    static LibraryInit init;
}

} // namespace

MqttClient::MqttClient(std::function<void()> wake)
    : m_wake(std::move(wake))
{
    initLibrary();
}

MqttClient::~MqttClient()
{
    if (m_mosq) {
        if (m_threadRunning) {
            mosquitto_disconnect(m_mosq);
            mosquitto_loop_stop(m_mosq, false);
        }
        mosquitto_destroy(m_mosq);
    }
}

QString MqttClient::errorText(int error)
{
    if (error == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString::fromUtf8(mosquitto_strerror(error));
}

QString MqttClient::reasonText(int reason)
{
    return QString::fromUtf8(mosquitto_reason_string(reason));
}

QString MqttClient::start(const Options &o)
{
    m_mosq = mosquitto_new(o.clientId.constData(), true, this);
    if (!m_mosq)
        return QString::fromLocal8Bit(std::strerror(errno));
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(m_mosq, &MqttClient::onConnect);
    mosquitto_disconnect_v5_callback_set(m_mosq, &MqttClient::onDisconnect);
    mosquitto_message_v5_callback_set(m_mosq, &MqttClient::onMessage);
    mosquitto_reconnect_delay_set(m_mosq, 1, 30, true);
    int rc = MOSQ_ERR_SUCCESS;
    if (!o.user.isEmpty())
        rc = mosquitto_username_pw_set(m_mosq, o.user.constData(), o.password.isEmpty() ? nullptr : o.password.constData());
    if (rc == MOSQ_ERR_SUCCESS && o.tls)
        rc = mosquitto_tls_set(m_mosq, o.caFile.isEmpty() ? nullptr : o.caFile.constData(),
                                         o.caFile.isEmpty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
    if (rc == MOSQ_ERR_SUCCESS && !o.willTopic.isEmpty())
        rc = mosquitto_will_set_v5(m_mosq, o.willTopic.constData(), o.willPayload.size(), o.willPayload.constData(), 1,
                                   true, nullptr);
    if (rc != MOSQ_ERR_SUCCESS)
        return errorText(rc);
    return begin(mosquitto_connect_async(m_mosq, o.host.constData(), o.port, o.keepaliveS));
}

QString MqttClient::connectAgain()
{
    if (!m_mosq)
        return QStringLiteral("not set up");
    if (m_threadRunning)
        return {};  // the library's thread tries again by itself
    return begin(mosquitto_reconnect_async(m_mosq));
}

QString MqttClient::begin(int connectResult)
{
    // The thread starts once a connection is under way: one that failed at
    // once would leave it waiting with nothing to try (and deaf to a stop).
    if (connectResult != MOSQ_ERR_SUCCESS)
        return errorText(connectResult);
    const int rc = mosquitto_loop_start(m_mosq);
    m_threadRunning = rc == MOSQ_ERR_SUCCESS;
    return m_threadRunning ? QString() : errorText(rc);
}

void MqttClient::stop(const QByteArray &topic, const QByteArray &payload)
{
    if (!m_mosq)
        return;
    if (!topic.isEmpty())
        mosquitto_publish_v5(m_mosq, nullptr, topic.constData(), payload.size(), payload.constData(), 1, true, nullptr);
    mosquitto_disconnect(m_mosq);
    if (m_threadRunning)
        mosquitto_loop_stop(m_mosq, false);
    m_threadRunning = false;
}

std::vector<MqttClient::Event> MqttClient::take()
{
    std::vector<Event> taken;
    std::lock_guard<std::mutex> lock(m_mutex);
    taken.swap(m_events);
    return taken;
}

QString MqttClient::publish(const QByteArray &topic, const QByteArray &payload, bool retain, int qos,
                            const QByteArray &correlation)
{
    if (!m_mosq)
        return QStringLiteral("not set up");
    mosquitto_property *props = nullptr;
    if (!correlation.isEmpty())
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.constData(),
                                      uint16_t(correlation.size()));
    const int rc = mosquitto_publish_v5(m_mosq, nullptr, topic.constData(), payload.size(), payload.constData(), qos,
                                        retain, props);
    mosquitto_property_free_all(&props);
    return rc == MOSQ_ERR_SUCCESS ? QString() : errorText(rc);
}

QString MqttClient::subscribe(const QByteArray &topic)
{
    if (!m_mosq)
        return QStringLiteral("not set up");
    const int rc = mosquitto_subscribe_v5(m_mosq, nullptr, topic.constData(), 1, 0, nullptr);
    return rc == MOSQ_ERR_SUCCESS ? QString() : errorText(rc);
}

void MqttClient::queue(Event event)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // A broker that floods us is read no faster than the owner takes:
        // beyond this, messages are dropped (the rate limit would refuse
        // them anyway).
        if (event.kind == Event::Message && m_events.size() >= 1024)
            return;
        m_events.push_back(std::move(event));
    }
    m_wake();
}

void MqttClient::onConnect(mosquitto *, void *self, int reason, int, const mosquitto_property *)
{
    Event e;
    e.kind = reason == 0 ? Event::Connected : Event::Refused;
    e.code = reason;
    static_cast<MqttClient *>(self)->queue(std::move(e));
}

void MqttClient::onDisconnect(mosquitto *, void *self, int error, const mosquitto_property *)
{
    Event e;
    e.kind = Event::Lost;
    e.code = error;
    static_cast<MqttClient *>(self)->queue(std::move(e));
}

void MqttClient::onMessage(mosquitto *, void *self, const mosquitto_message *m, const mosquitto_property *props)
{
    Event e;
    e.kind = Event::Message;
    e.topic = QByteArray(m->topic);
    e.payload = QByteArray(static_cast<const char *>(m->payload), m->payloadlen);
    char *response = nullptr;
    if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &response, false) && response) {
        e.responseTopic = QByteArray(response);
        std::free(response);
    }
    void *correlation = nullptr;
    uint16_t length = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &correlation, &length, false) && correlation) {
        e.correlation = QByteArray(static_cast<const char *>(correlation), length);
        std::free(correlation);
    }
    static_cast<MqttClient *>(self)->queue(std::move(e));
}
