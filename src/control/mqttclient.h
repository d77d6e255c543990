#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <mutex>
#include <vector>

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

// One connection to an MQTT broker through libmosquitto, on the library's
// own network thread (its TLS handshake cannot be driven from an outside
// loop). What the broker says comes back as events: the library's thread
// queues them under a mutex of ours and calls the wake it was given, and
// the owner takes them on its own thread. Publishing and subscribing may be
// done from the owner's thread at any time; the library locks its queue.
//
// The first connection is tried once; once connected, a lost connection is
// tried again by the library with a back-off from 1 s, doubling to 30 s.
class MqttClient
{
public:
    struct Options
    {
        QByteArray clientId;
        QByteArray host;  // an address: the owner has looked the name up
        int port = 1883;
        bool tls = false;
        QByteArray caFile;  // with tls; empty: the system's CAs
        QByteArray user, password;
        QByteArray willTopic, willPayload;  // retained
        int keepaliveS = 10;
    };

    struct Event
    {
        enum Kind { Connected, Refused, Lost, Message } kind = Lost;
        int code = 0;        // Refused: the broker's reason code; Lost: the library's error
        QByteArray topic, payload;
        QByteArray responseTopic, correlation;  // MQTT 5 request/response
    };

    // `wake` is called on the library's thread after events were queued.
    explicit MqttClient(std::function<void()> wake);
    ~MqttClient();
    MqttClient(const MqttClient &) = delete;
    MqttClient &operator=(const MqttClient &) = delete;

    // Sets up the connection and tries it once; empty, or why it failed at
    // once (then connectAgain() tries it again).
    QString start(const Options &options);
    QString connectAgain();
    // Publishes the last words, disconnects and ends the thread.
    void stop(const QByteArray &topic, const QByteArray &payload);

    std::vector<Event> take();

    // Empty, or the library's reason the message or subscription was not queued.
    QString publish(const QByteArray &topic, const QByteArray &payload, bool retain, int qos = 0,
                    const QByteArray &correlation = {});
    QString subscribe(const QByteArray &topic);

    // The library's word for an error or a reason code.
    static QString errorText(int error);
    static QString reasonText(int reason);

private:
    static void onConnect(mosquitto *, void *self, int reason, int flags, const mosquitto_property *);
    static void onDisconnect(mosquitto *, void *self, int error, const mosquitto_property *);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message, const mosquitto_property *props);
    void queue(Event event);
    QString begin(int connectResult);

    std::function<void()> m_wake;
    mosquitto *m_mosq = nullptr;
    bool m_threadRunning = false;
    std::mutex m_mutex;  // m_events
    std::vector<Event> m_events;
};
