#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

#include "controlaccess.h"
#include "controlsettings.h"
#include "mqtttopics.h"

class MqttClient;
class QTimer;

// The control channel on the building's MQTT broker: this display's
// availability (with a last will) and state, retained, and its commands
// from P/ID/cmd, P/all/cmd and P/group/G/cmd, each answered on P/ID/reply
// (or an MQTT 5 request's response topic). The broker's access control
// decides who may send; the rate limit holds per topic. Nothing here waits
// for the broker: the name is looked up by the owner (lookupWanted), and the
// connection lives on libmosquitto's thread (see MqttClient), whose events
// reach this thread through the wake given to setWake().
class MqttRemote : public QObject
{
    Q_OBJECT

public:
    // Runs one command line as a trusted sender, `from` naming it in the
    // log (the topic); the reply line.
    using Runner = std::function<QByteArray(const QByteArray &line, const QString &from)>;

    explicit MqttRemote(Runner run, QObject *parent = nullptr);
    ~MqttRemote() override;

    // How the library's thread wakes this one: the owner calls take() then.
    void setWake(std::function<void()> wake) { m_wake = std::move(wake); }
    // The display's names for its id: the host name and the instance.
    void setIdentity(const QString &hostName, const QString &instance);

    // Connects for these settings (again when they changed); off without a broker.
    void apply(const ControlSettings &settings);
    // The state to publish, retained: at once, or at most 10 times a second.
    void setState(const QByteArray &json);
    // Says offline and disconnects.
    void stop();

    // "off", "connecting" or "connected", and why it is not connected.
    QString stateWord() const;
    QString reason() const { return m_reason; }
    QString displayId() const { return m_id; }

    // The answer to lookupWanted(): the broker name's addresses, or why
    // there are none.
    void lookedUp(const QString &host, const QStringList &addresses, const QString &error);

public slots:
    // Handles what the broker said since the last wake.
    void take();

signals:
    void stateChanged();
    // The broker's name is to be looked up (without blocking this thread);
    // the owner answers with lookedUp(). An address needs no look-up.
    void lookupWanted(const QString &host);

private:
    enum class State { Off, Connecting, Connected };
    void connectNow();
    void retryLater(const QString &why);
    void connected();
    void runCommand(const QByteArray &topic, const QByteArray &payload, const QByteArray &responseTopic,
                    const QByteArray &correlation);
    void publishState();
    // Tells a message or subscription the library would not queue, once
    // until one goes through again.
    void sent(const QString &failure, const QByteArray &topic);
    void become(State state, const QString &reason);
    QString brokerText() const;

    Runner m_run;
    std::function<void()> m_wake;
    QString m_hostName, m_instance;
    ControlSettings m_settings;
    bool m_applied = false;
    MqttTopics::Broker m_broker;
    QString m_id;
    MqttTopics::Topics m_topics;
    QByteArray m_address;  // the broker's, looked up
    std::unique_ptr<MqttClient> m_client;
    State m_state = State::Off;
    QString m_reason;
    QString m_toldFault;  // the fault last logged, so each is told once
    bool m_sendFailureTold = false;
    int m_retryMs = 1000;
    QTimer *m_retry = nullptr;
    QTimer *m_statePacer = nullptr;
    QByteArray m_stateJson;
    QByteArray m_publishedKey;  // the last published state without its counts
    QElapsedTimer m_lastState;
    QElapsedTimer m_clock;
    RateLimit m_rate;
};
