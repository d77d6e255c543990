// The display on a real MQTT broker: mosquitto on a free loopback port,
// started and stopped by the test, and its own command-line clients. Group
// and all-display commands reach the display and are answered, a wrong
// group's do not; availability says offline on a clean stop, and the will
// says it for a display that was killed; and nothing about a broker that
// cannot be reached holds the GUI thread.
#include "controlcenter.h"
#include "controlwiring.h"
#include "linklog.h"
#include "mainwindow.h"
#include "mqttremote.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kProgram = QStringLiteral(LUMORA_PROGRAM);

// The control channel's warnings while a LinkLog exists.
QStringList warnings(const LinkTest::LinkLog &log)
{
    return log.texts(QtWarningMsg, "lumora.control");
}

quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// mosquitto on loopback, with a config file of its own.
class Broker
{
public:
    explicit Broker(quint16 port = freeTcpPort()) : m_port(port) {}
    ~Broker() { stop(); }
    // `access`: the lines that replace anonymous access (a password file, an ACL).
    bool start(const QByteArray &access = "allow_anonymous true\n")
    {
        QFile conf(m_dir.filePath(QStringLiteral("mosquitto.conf")));
        if (!conf.open(QIODevice::WriteOnly))
            return false;
        // Started by root, mosquitto would become its own user, who may not
        // read the test's private folder.
        conf.write(QStringLiteral("listener %1 127.0.0.1\npersistence false\n").arg(m_port).toUtf8()
                   + (::geteuid() == 0 ? "user root\n" : "") + access);
        conf.close();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), conf.fileName()});
        if (!m_process.waitForStarted(5000))
            return false;
        QElapsedTimer wait;
        wait.start();
        while (wait.elapsed() < 5000) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, m_port);
            if (probe.waitForConnected(200))
                return true;
            if (m_process.state() != QProcess::Running)
                return false;
        }
        return false;
    }
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    quint16 port() const { return m_port; }
    QString file(const QString &name) const { return m_dir.filePath(name); }
    QString url() const { return QStringLiteral("mqtt://127.0.0.1:%1").arg(m_port); }

private:
    quint16 m_port;
    QTemporaryDir m_dir;
    QProcess m_process;
};

// mosquitto_sub on the broker, every line it prints as "topic payload".
class Watch
{
public:
    Watch(const Broker &broker, const QStringList &topics, const QStringList &login = {})
    {
        QStringList args = QStringList{QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                                       QString::number(broker.port()), QStringLiteral("-v")} + login;
        for (const QString &t : topics)
            args << QStringLiteral("-t") << t;
        m_process.start(QStringLiteral("mosquitto_sub"), args);
    }
    ~Watch()
    {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
    bool saw(const QByteArray &line)
    {
        m_seen += m_process.readAllStandardOutput();
        return m_seen.split('\n').contains(line);
    }
    QByteArray seen() const { return m_seen; }

private:
    QProcess m_process;
    QByteArray m_seen;
};

bool publish(const Broker &broker, const QString &topic, const QString &message, const QStringList &login = {})
{
    return QProcess::execute(QStringLiteral("mosquitto_pub"),
                             QStringList{QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                                         QString::number(broker.port()), QStringLiteral("-t"), topic, QStringLiteral("-m"),
                                         message} + login)
        == 0;
}

void storeMqtt(const QString &broker, const QString &id, const QString &groups)
{
    QSettings file(TestSupport::settingsPath(), QSettings::IniFormat);
    file.clear();
    file.setValue("control_port", 0);
    file.setValue("mqtt_broker", broker);
    file.setValue("mqtt_id", id);
    file.setValue("mqtt_groups", groups);
}

} // namespace

class TestMqtt : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void commandsByTopic();
    void loginAndAccess();
    void availability_data();
    void availability();
    void unreachableBrokerHoldsNothing_data();
    void unreachableBrokerHoldsNothing();
};

void TestMqtt::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("mosquitto")).isEmpty()
        && QStandardPaths::findExecutable(QStringLiteral("mosquitto"), {QStringLiteral("/usr/sbin")}).isEmpty())
        QSKIP("mosquitto is not installed (scripts/deps test installs it)");
}

// Commands to this display, to all and to its groups are run and answered;
// a group it is not in reaches it not.
void TestMqtt::commandsByTopic()
{
    Broker broker;
    QVERIFY(broker.start());
    storeMqtt(broker.url(), QStringLiteral("Wall 1"), QStringLiteral("news, studio-a"));
    Watch watch(broker, {QStringLiteral("lumora/wall-1/availability"), QStringLiteral("lumora/wall-1/reply"),
                         QStringLiteral("studio/answers")});
    MainWindow window;
    ControlCenter &center = window.control().center();
    QTRY_VERIFY_WITH_TIMEOUT(watch.saw("lumora/wall-1/availability online"), 10000);
    QVERIFY(center.statusJson().contains("\"mqtt\":{\"id\":\"wall-1\",\"reason\":\"\",\"state\":\"connected\"}"));

    QVERIFY(publish(broker, QStringLiteral("lumora/group/sports/cmd"), QStringLiteral("name 1 Sports")));
    QVERIFY(publish(broker, QStringLiteral("lumora/group/news/cmd"), QStringLiteral("name 1 News")));
    QVERIFY(publish(broker, QStringLiteral("lumora/all/cmd"), QStringLiteral("name 2 Everywhere")));
    QVERIFY(publish(broker, QStringLiteral("lumora/wall-1/cmd"), QStringLiteral("ring ten")));
    QTRY_VERIFY_WITH_TIMEOUT(watch.saw("lumora/wall-1/reply ERR ring: expected SECONDS, at HH:MM:SS, add SECONDS or off, got 'ten'"), 10000);
    const QJsonObject status = QJsonDocument::fromJson(center.statusJson()).object();
    QCOMPARE(status.value("names").toVariant().toStringList(), (QStringList{"News", "Everywhere", "CRM"}));
    QCOMPARE(watch.seen().count("lumora/wall-1/reply OK"), 2);
    // An MQTT 5 request is answered where it asks.
    QVERIFY(publish(broker, QStringLiteral("lumora/wall-1/cmd"), QStringLiteral("ping"),
                    {QStringLiteral("-V"), QStringLiteral("5"), QStringLiteral("-D"), QStringLiteral("publish"),
                     QStringLiteral("response-topic"), QStringLiteral("studio/answers"), QStringLiteral("-D"),
                     QStringLiteral("publish"), QStringLiteral("correlation-data"), QStringLiteral("42")}));
    QTRY_VERIFY_WITH_TIMEOUT(watch.saw("studio/answers OK"), 10000);
    QCOMPARE(watch.seen().count("lumora/wall-1/reply OK"), 2);
}

// The broker's logins and access list decide: a wrong password is told
// once, and a command from a login that may not write changes nothing.
void TestMqtt::loginAndAccess()
{
    Broker broker;
    const QString passwords = broker.file(QStringLiteral("passwords"));
    bool first = true;
    for (const QStringList &user : {QStringList{"wall4", "good"}, QStringList{"automation", "auto"}, QStringList{"reader", "read"}}) {
        const QStringList args = (first ? QStringList{QStringLiteral("-c")} : QStringList()) + QStringList{QStringLiteral("-b"), passwords, user[0], user[1]};
        QCOMPARE(QProcess::execute(QStringLiteral("mosquitto_passwd"), args), 0);
        first = false;
    }
    QFile acl(broker.file(QStringLiteral("acl")));
    QVERIFY(acl.open(QIODevice::WriteOnly));
    acl.write("pattern read lumora/#\npattern write lumora/%u/#\nuser automation\ntopic write lumora/+/cmd\n");
    acl.close();
    QVERIFY(broker.start("allow_anonymous false\npassword_file " + passwords.toUtf8() + "\nacl_file " + acl.fileName().toUtf8() + "\n"));

    storeMqtt(broker.url(), QStringLiteral("wall4"), QString());
    {
        QSettings file(TestSupport::settingsPath(), QSettings::IniFormat);
        file.setValue("mqtt_user", "wall4");
        file.setValue("mqtt_password", "wrong");
    }
    {
        LinkTest::LinkLog log;
        MainWindow window;
        QTRY_VERIFY_WITH_TIMEOUT(!warnings(log).filter(QStringLiteral("refused")).isEmpty(), 10000);
        QCOMPARE(warnings(log).filter(QStringLiteral("MQTT: the broker")).size(), 1);
        QVERIFY(!warnings(log).join(QLatin1Char('\n')).contains(QLatin1String("wrong")));  // never the password
        QCOMPARE(window.control().mqtt().stateWord(), QStringLiteral("connecting"));
    }
    QSettings(TestSupport::settingsPath(), QSettings::IniFormat).setValue("mqtt_password", "good");
    const QStringList reader{QStringLiteral("-u"), QStringLiteral("reader"), QStringLiteral("-P"), QStringLiteral("read")};
    Watch watch(broker, {QStringLiteral("lumora/wall4/availability")}, reader);
    MainWindow window;
    QTRY_VERIFY_WITH_TIMEOUT(watch.saw("lumora/wall4/availability online"), 10000);
    const QStringList automation{QStringLiteral("-u"), QStringLiteral("automation"), QStringLiteral("-P"), QStringLiteral("auto")};
    QVERIFY(publish(broker, QStringLiteral("lumora/wall4/cmd"), QStringLiteral("name 1 Taken"), reader));
    QVERIFY(publish(broker, QStringLiteral("lumora/wall4/cmd"), QStringLiteral("name 2 Sent"), automation));
    ControlCenter &center = window.control().center();
    QTRY_VERIFY_WITH_TIMEOUT(center.statusJson().contains("\"Sent\""), 10000);
    QVERIFY(!center.statusJson().contains("\"Taken\""));
}

// Offline is said by a display that stops and by the broker for one that
// was killed; a broker that restarts has the display online again.
void TestMqtt::availability_data()
{
    QTest::addColumn<QString>("end");
    QTest::newRow("stopped") << "SIGTERM";
    QTest::newRow("killed") << "SIGKILL";
    QTest::newRow("the broker restarts") << "broker";
}

void TestMqtt::availability()
{
    QFETCH(QString, end);
    Broker broker;
    QVERIFY(broker.start());
    QTemporaryDir home;
    QDir().mkpath(home.filePath(QStringLiteral("Korvel B.V.")));
    {
        QSettings file(home.filePath(QStringLiteral("Korvel B.V./Lumora Meters.conf")), QSettings::IniFormat);
        file.setValue("control_port", 0);
        file.setValue("mqtt_broker", broker.url());
        file.setValue("mqtt_id", "wall2");
    }
    Watch watch(broker, {QStringLiteral("lumora/wall2/availability")});
    QProcess display;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    display.setProcessEnvironment(env);
    display.start(kProgram, QStringList());
    QVERIFY(display.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(watch.saw("lumora/wall2/availability online"), 15000);
    if (end == QLatin1String("broker")) {
        broker.stop();
        Broker again(broker.port());
        QVERIFY(again.start());
        Watch after(again, {QStringLiteral("lumora/wall2/availability"), QStringLiteral("lumora/wall2/state")});
        QTRY_VERIFY_WITH_TIMEOUT(after.saw("lumora/wall2/availability online"), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(after.seen().contains("lumora/wall2/state {"), 5000);
        display.terminate();
        QVERIFY(display.waitForFinished(10000));
        return;
    }
    ::kill(pid_t(display.processId()), end == QLatin1String("SIGKILL") ? SIGKILL : SIGTERM);
    QVERIFY(display.waitForFinished(10000));
    QTRY_VERIFY_WITH_TIMEOUT(watch.saw("lumora/wall2/availability offline"), 10000);
}

// A broker that accepts and never answers, a name that does not resolve and
// a port that refuses: the GUI thread's 20 ms timer keeps its beat while
// the display keeps trying, and the fault is told once.
void TestMqtt::unreachableBrokerHoldsNothing_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("told");
    QTest::newRow("never answers") << "silent" << "";
    QTest::newRow("no such name") << "name" << "MQTT: cannot reach the broker mqtt://no-such-host.invalid:1883";
    QTest::newRow("port refuses") << "refused" << "MQTT: cannot reach the broker mqtt://127.0.0.1:";
}

void TestMqtt::unreachableBrokerHoldsNothing()
{
    QFETCH(QString, kind);
    QFETCH(QString, told);
    int listener = -1;
    QString url;
    if (kind == QLatin1String("silent")) {
        // Listening, so connections are taken by the kernel, but nothing is
        // ever read or written.
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0);
        QVERIFY(::listen(listener, 8) == 0);
        socklen_t length = sizeof a;
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&a), &length);
        url = QStringLiteral("mqtt://127.0.0.1:%1").arg(ntohs(a.sin_port));
    } else if (kind == QLatin1String("name")) {
        url = QStringLiteral("mqtt://no-such-host.invalid");
    } else {
        url = QStringLiteral("mqtt://127.0.0.1:%1").arg(freeTcpPort());
    }
    storeMqtt(url, QStringLiteral("wall3"), QString());
    LinkTest::LinkLog log;
    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    QTimer beat;
    beat.setTimerType(Qt::PreciseTimer);
    MainWindow window;
    clock.start();
    QObject::connect(&beat, &QTimer::timeout, [&] {
        longest = qMax(longest, clock.elapsed() - last);
        last = clock.elapsed();
    });
    beat.start(20);
    QTRY_VERIFY_WITH_TIMEOUT(clock.elapsed() > 3000, 5000);
    QVERIFY2(longest < 250, qPrintable(QString::number(longest)));
    QCOMPARE(window.control().mqtt().stateWord(), QStringLiteral("connecting"));
    if (!told.isEmpty())
        QCOMPARE(warnings(log).filter(told).size(), 1);
    if (listener >= 0)
        ::close(listener);
    if (kind == QLatin1String("refused")) {
        // The broker comes: the display finds it on its next try.
        Broker late(quint16(url.section(QLatin1Char(':'), -1).toUInt()));
        QVERIFY(late.start());
        QTRY_COMPARE_WITH_TIMEOUT(window.control().mqtt().stateWord(), QStringLiteral("connected"), 20000);
    }
}

LUMORA_TEST_MAIN(TestMqtt)
#include "tst_mqtt.moc"
