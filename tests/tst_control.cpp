// The control channel on loopback: replies, who may send, the ring's count
// and what a command does to the display.
#include "controlcenter.h"
#include "controllistener.h"
#include "controlwiring.h"
#include "cuefile.h"
#include "timesyncwatch.h"
#include "mainwindow.h"
#include "tallylamp.h"
#include "teskanalogclock.h"
#include "privatenetwork.h"
#include "testsupport.h"

#include <oscpack/osc/OscOutboundPacketStream.h>
#include <oscpack/osc/OscReceivedElements.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QLabel>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QUdpSocket>

#include <memory>
#include <vector>

namespace {

// A UDP port on loopback that nothing holds at the moment.
quint16 freePort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return probe.localPort();
}

// A sender on loopback that waits for the reply to what it sends.
struct Sender
{
    QUdpSocket socket;
    quint16 to;

    explicit Sender(quint16 port, const QHostAddress &from = QHostAddress(QHostAddress::LocalHost)) : to(port)
    {
        socket.bind(from, 0);
    }

    QByteArray ask(const QByteArray &datagram)
    {
        socket.writeDatagram(datagram, QHostAddress::LocalHost, to);
        if (!socket.hasPendingDatagrams() && !QSignalSpy(&socket, &QUdpSocket::readyRead).wait(5000))
            return QByteArray("(no reply)");
        return socket.receiveDatagram().data();
    }
};

QByteArray oscRing(float seconds)
{
    char buffer[64];
    osc::OutboundPacketStream s(buffer, sizeof buffer);
    s << osc::BeginMessage("/lumora/ring") << seconds << osc::EndMessage;
    return QByteArray(s.Data(), int(s.Size()));
}

struct Channel
{
    ControlCenter center;
    ControlListener listener{&center};
    quint16 port = freePort();

    explicit Channel(const QString &allow = QString::fromLatin1(AllowList::kDefault))
    {
        center.setAllowList(allow);
        ControlSettings settings;
        settings.port = port;
        settings.allow = allow;
        listener.listen(settings);
    }
};

} // namespace

class TestControl : public QObject
{
    Q_OBJECT

private slots:
    void textAndOscReplies();
    void notAllowedAnsweredWithinWhatItSent();
    void rateLimitChangesNothing();
    void floodLeavesAllowedSenders();
    void floodIsReadInTurns();
    void portTakenIsToldOnce();
    void lateAddressIsTaken();
    void ringCountsDown();
    void oneShotMarkClears();
    void instantsInTheState_data();
    void instantsInTheState();
    void commandsReachTheDisplay();
    void cuesOutliveARestart();
    void cueTimesOutOfRange_data();
    void cueTimesOutOfRange();
    void tallyFollowsItsSource_data();
    void tallyFollowsItsSource();
    void syncToldFromTheFirstReading_data();
    void syncToldFromTheFirstReading();
};

void TestControl::textAndOscReplies()
{
    Channel channel;
    QVERIFY(channel.listener.isListening());
    Sender sender(channel.port);
    QCOMPARE(sender.ask("ping\nring 45\nendmark daily 17:61:00\n"),
             QByteArray("OK\nOK\nERR endmark: minute 61 is not 0 to 59\n"));
    QCOMPARE(channel.center.ringRemaining(), 45.0f);

    const QByteArray reply = sender.ask(oscRing(12.5f));
    const osc::ReceivedMessage message{osc::ReceivedPacket(reply.constData(), std::size_t(reply.size()))};
    QCOMPARE(QByteArray(message.AddressPattern()), QByteArray("/lumora/reply"));
    QCOMPARE(QByteArray(message.ArgumentsBegin()->AsString()), QByteArray("OK"));
    QCOMPARE(channel.center.ringRemaining(), 12.5f);
}

// UDP lets anyone forge a source: a sender outside control_allow is
// answered no more bytes than it sent in the second, the first answers
// first, and the state (many times a request's size) only over TCP.
void TestControl::notAllowedAnsweredWithinWhatItSent()
{
    Channel channel(QStringLiteral("10.0.0.0/8"));
    Sender sender(channel.port);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("refused a command from 127.0.0.1 - not in control_allow"));
    const QByteArray lines = "dots countdown\ndots countdown\nping\n";
    QCOMPARE(sender.ask(lines), QByteArray("ERR not allowed from 127.0.0.1\n"));
    QCOMPARE(channel.listener.repliesDropped(), quint64(2));
    const QByteArray status = "status" + QByteArray(24, ' ');
    QCOMPARE(sender.ask(status), QByteArray(ControlListener::kStatusOverTcp) + "\n");
    QCOMPARE(QJsonDocument::fromJson(channel.center.statusJson()).object().value("dots").toString(),
             QStringLiteral("normal"));
}

void TestControl::rateLimitChangesNothing()
{
    Channel channel;
    Sender sender(channel.port);
    QByteArray burst;
    for (int i = 0; i < 20; ++i)
        burst += "dots normal\n";
    burst += "dots countdown\nping\n";
    // The datagram carries its first line; over the rate, "ERR busy" is
    // told once.
    QCOMPARE(sender.ask(burst), QByteArray("OK\n").repeated(20) + "ERR busy\n");
    QCOMPARE(QJsonDocument::fromJson(channel.center.statusJson()).object().value("dots").toString(),
             QStringLiteral("normal"));
}

// A burst is read a batch per turn of the event loop, so the clocks get
// their turns in between, and every datagram is still answered.
// Senders outside control_allow share one rate: however many of them
// flood, an allowed sender that has sent nothing yet is answered; an OSC
// bundle is answered with one bundle, with every reply counted against
// the rate and the rest told "ERR busy" once.
void TestControl::floodLeavesAllowedSenders()
{
    Channel channel(QStringLiteral("127.0.0.1, 127.0.0.4"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("refused a command from 127.0.0.2 - not in control_allow"));
    Sender outsider(channel.port, QHostAddress(QStringLiteral("127.0.0.2")));
    Sender other(channel.port, QHostAddress(QStringLiteral("127.0.0.3")));
    QByteArray lines;
    for (int i = 0; i < 30; ++i)
        lines += "dots countdown\n";
    // 450 bytes sent: 14 answers of 31 bytes fit, the other six and the
    // "busy" do not.
    QCOMPARE(outsider.ask(lines), QByteArray("ERR not allowed from 127.0.0.2\n").repeated(14));
    QCOMPARE(channel.listener.repliesDropped(), quint64(7));
    // Told "busy" once a second for all of them.
    other.socket.writeDatagram("ping\nping\n", QHostAddress::LocalHost, channel.port);

    Sender allowed(channel.port);
    QByteArray bundle = QByteArray("#bundle\0\0\0\0\0\0\0\0\1", 16);
    const QByteArray message = QByteArray("/other/x\0\0\0\0,\0\0\0", 16);
    for (int i = 0; i < 30; ++i)
        bundle += QByteArray("\0\0\0\x10", 4) + message;
    const QByteArray reply = allowed.ask(bundle);
    const osc::ReceivedPacket packet(reply.constData(), osc::osc_bundle_element_size_t(reply.size()));
    QVERIFY(packet.IsBundle());
    QStringList texts;
    const osc::ReceivedBundle replies(packet);
    for (auto it = replies.ElementsBegin(); it != replies.ElementsEnd(); ++it)
        texts << osc::ReceivedMessage(*it).ArgumentsBegin()->AsString();
    QCOMPARE(texts.size(), 21);
    QCOMPARE(texts.first(), QStringLiteral("ERR osc: address /other/x is not /lumora/<command>"));
    QCOMPARE(texts.last(), QStringLiteral("ERR busy"));
    // Nothing more came: an allowed sender that has sent nothing yet is
    // answered, and the others have nothing else waiting.
    QCOMPARE(Sender(channel.port, QHostAddress(QStringLiteral("127.0.0.4"))).ask("dots countdown"), QByteArray("OK\n"));
    QVERIFY(!allowed.socket.hasPendingDatagrams());
    QVERIFY(!other.socket.hasPendingDatagrams());
}

void TestControl::floodIsReadInTurns()
{
    Channel channel;
    // More than a turn's batch, within each sender's rate; fits the receive buffer.
    std::vector<std::unique_ptr<Sender>> senders;
    for (int s = 1; s <= 5; ++s)
        senders.push_back(std::make_unique<Sender>(channel.port, QHostAddress(QStringLiteral("127.0.0.%1").arg(s))));
    const int sent = 100;
    for (int i = 0; i < sent; ++i)
        QCOMPARE(senders[size_t(i % 5)]->socket.writeDatagram("ping", QHostAddress::LocalHost, channel.port), qint64(4));
    const auto repliesWaiting = [&] {
        int n = 0;
        for (const auto &sender : senders)
            for (; sender->socket.hasPendingDatagrams(); ++n)
                sender->socket.receiveDatagram();
        return n;
    };
    Sender &sender = *senders.front();
    int firstTurn = 0;
    QElapsedTimer waited;
    waited.start();
    while (firstTurn == 0 && waited.elapsed() < 5000) {
        QCoreApplication::processEvents();
        firstTurn = repliesWaiting();
    }
    QVERIFY2(firstTurn > 0 && firstTurn <= ControlListener::kMaxDatagramsPerTurn, qPrintable(QString::number(firstTurn)));
    int answered = firstTurn;
    QTRY_COMPARE((answered += repliesWaiting(), answered), sent);
    QVERIFY(sender.ask("ping") != "(no reply)");
}

void TestControl::portTakenIsToldOnce()
{
    Channel first;
    ControlCenter center;
    ControlListener second(&center);
    ControlSettings settings;
    settings.port = first.port;
    static QStringList warnings;
    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type == QtWarningMsg)
            warnings << text;
    });
    const bool listened = second.listen(settings) || second.listen(settings);
    qInstallMessageHandler(previous);
    QVERIFY(!listened);
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.at(0).contains(QStringLiteral("port %1 (control_port)").arg(first.port)), qPrintable(warnings.at(0)));
}

// control_bind names an address that comes after the display (a link, a
// VPN, DHCP): the channel says so once, tries again, and listens when it
// comes. In a private network, where the address can be added.
void TestControl::lateAddressIsTaken()
{
    if (!PrivateNetwork::inside()) {
        PrivateNetwork::run(this, "lateAddressIsTaken");
        return;
    }
    QVERIFY(PrivateNetwork::onlyLoopback());
    ControlCenter center;
    ControlListener listener(&center);
    ControlSettings settings;
    settings.port = freePort();
    settings.bind = QStringLiteral("10.10.1.23");
    settings.allow = QStringLiteral("127.0.0.0/8, 10.10.1.0/24");
    center.setAllowList(settings.allow);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("control channel waits: control_bind 10.10.1.23 is not an "
                                                          "address of this PC .*trying again every 5 s"));
    QVERIFY(!listener.listen(settings));
    QCOMPARE(listener.stateWord(), QStringLiteral("waiting"));
    QCOMPARE(QProcess::execute(QStringLiteral("ip"), {"addr", "add", "10.10.1.23/32", "dev", "lo"}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(listener.isListening(), ControlListener::kRetryMs + 3000);
    QCOMPARE(listener.stateWord(), QStringLiteral("listening"));
    QUdpSocket sender;
    QVERIFY(sender.bind(QHostAddress(QStringLiteral("10.10.1.23")), 0));
    sender.writeDatagram("dots countdown", QHostAddress(QStringLiteral("10.10.1.23")), listener.port());
    QVERIFY(sender.hasPendingDatagrams() || QSignalSpy(&sender, &QUdpSocket::readyRead).wait(5000));
    QCOMPARE(sender.receiveDatagram().data(), QByteArray("OK\n"));
}

// The ring shows the time still to go, shrinking on each second, and is
// gone at 0; a second with no count-down running changes nothing.
void TestControl::ringCountsDown()
{
    qint64 now = 1'700'000'000'300;
    ControlCenter center(nullptr, [&now] { return now; });
    QSignalSpy shown(&center, &ControlCenter::ringChanged);
    const QHostAddress me(QHostAddress::LocalHost);

    QCOMPARE(center.run("ring 2.5", me).text, QByteArray("OK"));
    for (int i = 0; i < 3; ++i) {
        now += 1000;
        center.secondTicked();
    }
    QCOMPARE(center.ringRemaining(), 0.0f);
    QList<float> values;
    for (const QList<QVariant> &s : shown)
        values << s.at(0).toFloat();
    QCOMPARE(values, (QList<float>{2.5f, 1.5f, 0.5f, 0.0f}));
    QCOMPARE(center.run("ring add 5", me).text, QByteArray("ERR ring add: no count-down is running"));

    center.run("ring 45", me);
    QCOMPARE(center.run("ring add -10", me).text, QByteArray("OK"));
    QCOMPARE(center.ringRemaining(), 35.0f);
    QCOMPARE(center.run("ring add 86390", me).text, QByteArray("ERR ring add: the count-down would pass 86400 seconds"));
    QCOMPARE(center.run("ring add -40", me).text, QByteArray("OK"));
    QCOMPARE(center.ringRemaining(), 0.0f);
    shown.clear();
    now += 1000;
    center.secondTicked();
    QCOMPARE(shown.count(), 0);
}

// The state gives each mark's and the ring's next instant, so a client can
// count down by itself, and when the display started; each in ISO 8601 with
// the offset from UTC.
void TestControl::instantsInTheState_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QString>("field");     // object.key in the state
    QTest::addColumn<QDateTime>("instant");  // invalid: null

    const QDate day(2026, 12, 9);
    QTest::newRow("at") << QByteArray("endmark at 17:30:00") << "endmark.next_at" << QDateTime(day, QTime(17, 30));
    QTest::newRow("daily, today") << QByteArray("endmark daily 17:30:00") << "endmark.next_at" << QDateTime(day, QTime(17, 30));
    QTest::newRow("daily, tomorrow") << QByteArray("endmark daily 15:00:00") << "endmark.next_at"
                                     << QDateTime(day.addDays(1), QTime(15, 0));
    QTest::newRow("daily, this second") << QByteArray("endmark daily 16:00:00") << "endmark.next_at"
                                        << QDateTime(day, QTime(16, 0));
    QTest::newRow("hourly") << QByteArray("endmark hourly 15:00") << "endmark.next_at" << QDateTime(day, QTime(16, 15));
    QTest::newRow("hourly, this second") << QByteArray("endmark hourly 00:00") << "endmark.next_at"
                                         << QDateTime(day, QTime(16, 0));
    QTest::newRow("hourly, late in the hour") << QByteArray("endmark hourly 59:59") << "endmark.next_at"
                                              << QDateTime(day, QTime(16, 59, 59));
    QTest::newRow("in 90") << QByteArray("endmark in 90") << "endmark.next_at" << QDateTime(day, QTime(16, 1, 30));
    QTest::newRow("off") << QByteArray("endmark off") << "endmark.next_at" << QDateTime();
    QTest::newRow("ring, to the ms") << QByteArray("ring 45.5") << "ring.ends_at" << QDateTime(day, QTime(16, 0, 45, 800));
    QTest::newRow("no ring") << QByteArray("ring off") << "ring.ends_at" << QDateTime();
    QTest::newRow("started") << QByteArray("ping") << "started_at" << QDateTime(day, QTime(15, 59, 0));
}

void TestControl::instantsInTheState()
{
    QFETCH(QByteArray, command);
    QFETCH(QString, field);
    QFETCH(QDateTime, instant);

    qint64 now = QDateTime(QDate(2026, 12, 9), QTime(15, 59, 0, 700)).toMSecsSinceEpoch();
    ControlCenter center(nullptr, [&now] { return now; });
    now += 60 * 1000 - 400;  // 16:00:00.300
    QCOMPARE(center.run(command, QHostAddress(QHostAddress::LocalHost)).text, QByteArray("OK"));
    const QJsonObject state = QJsonDocument::fromJson(center.statusJson()).object();
    const QStringList path = field.split('.');
    const QJsonValue value = path.size() == 2 ? state.value(path[0]).toObject().value(path[1]) : state.value(field);
    if (!instant.isValid()) {
        QVERIFY(value.isNull());
        return;
    }
    const QString text = value.toString();
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d(\\.\\d{3})?([+-]\\d\\d:\\d\\d|Z)$"))
                 .match(text).hasMatch(),
             qPrintable(text));
    QCOMPARE(QDateTime::fromString(text, Qt::ISODateWithMs).toMSecsSinceEpoch(), instant.toMSecsSinceEpoch());
}

// A mark "in N" or "at" a time is shown from the hour before it and
// cleared once it has passed; "daily" comes back each day.
void TestControl::oneShotMarkClears()
{
    qint64 now = QDateTime(QDate(2026, 12, 9), QTime(16, 0, 0)).toMSecsSinceEpoch() + 300;
    ControlCenter center(nullptr, [&now] { return now; });
    QSignalSpy marks(&center, &ControlCenter::endMarkChanged);
    const QHostAddress me(QHostAddress::LocalHost);
    const auto endmark = [&] { return QJsonDocument::fromJson(center.statusJson()).object().value("endmark").toObject(); };
    const auto tick = [&](qint64 ms) {
        now += ms;
        center.secondTicked();
    };

    QCOMPARE(center.run("endmark at 17:30:00", me).text, QByteArray("OK"));
    QCOMPARE(endmark().value("mode").toString(), QStringLiteral("once"));
    QCOMPARE(endmark().value("remaining_s").toInt(), 5400);
    QCOMPARE(marks.last().at(0).toBool(), false);  // not yet: over an hour to go
    tick(1800 * 1000);
    QCOMPARE(marks.last(), (QList<QVariant>{true, 17, 30, 0}));
    tick(3599 * 1000);
    QCOMPARE(endmark().value("remaining_s").toInt(), 1);
    tick(1000);
    QCOMPARE(marks.last().at(0).toBool(), false);
    QCOMPARE(endmark().value("mode").toString(), QStringLiteral("off"));

    QCOMPARE(center.run("endmark in 90", me).text, QByteArray("OK"));
    QCOMPARE(marks.last(), (QList<QVariant>{true, 17, 31, 30}));
    tick(89 * 1000);
    QCOMPARE(endmark().value("remaining_s").toInt(), 1);
    tick(1000);
    QCOMPARE(endmark().value("mode").toString(), QStringLiteral("off"));
    tick(86400 * 1000);
    QCOMPARE(endmark().value("mode").toString(), QStringLiteral("off"));

    QCOMPARE(center.run("endmark daily 17:30:00", me).text, QByteArray("OK"));
    tick(3600 * 1000);
    QCOMPARE(endmark().value("mode").toString(), QStringLiteral("daily"));
}

void TestControl::commandsReachTheDisplay()
{
    const quint16 port = freePort();
    {
        QSettings file(TestSupport::settingsPath(), QSettings::IniFormat);
        file.setValue("control_port", port);
    }
    MainWindow window;
    TeskAnalogClock *clock = window.findChild<TeskAnalogClock *>(QStringLiteral("AnalogClock"));
    QVERIFY(clock);
    Sender sender(port);
    QCOMPARE(sender.ask("endmark daily 17:30:05\nring 45\ndots countdown\nname 2 Studio 2\n"),
             QByteArray("OK\nOK\nOK\nOK\n"));
    QVERIFY(clock->EndTime());
    QCOMPARE(clock->EndTimeHour(), 17);
    QCOMPARE(clock->EndTimeMinute(), 30);
    QCOMPARE(clock->EndTimeSecond(), 5);
    QVERIFY(clock->CountDownTime() > 44.0f && clock->CountDownTime() <= 45.0f);
    QVERIFY(clock->SecondDotsCountDown());

    QCOMPARE(sender.ask("endmark hourly 15:00\nring off\ndots normal"), QByteArray("OK\nOK\nOK\n"));
    QCOMPARE(clock->EndTimeHour(), 24);
    QCOMPARE(clock->EndTimeMinute(), 15);
    QCOMPARE(clock->CountDownTime(), 0.0f);
    QVERIFY(!clock->SecondDotsCountDown());

    // Stored at once, as a rename by click is.
    QCOMPARE(QSettings(TestSupport::settingsPath(), QSettings::IniFormat).value("labelMeter2").toString(),
             QStringLiteral("Studio 2"));
    const QJsonObject status = QJsonDocument::fromJson(sender.ask("status")).object();
    QCOMPARE(status.value("names").toVariant().toStringList(),
             (QStringList{"Prog", "Studio 2", "CRM"}));
    QCOMPARE(status.value("endmark").toObject().value("mode").toString(), QStringLiteral("hourly"));
}

// The end mark, the ring and the dots come back after a restart of the
// same display; a count-down that ended meanwhile does not.
void TestControl::cuesOutliveARestart()
{
    const quint16 port = freePort();
    {
        QSettings file(TestSupport::settingsPath(), QSettings::IniFormat);
        file.setValue("control_port", port);
    }
    const QString cues = cueFilePathFor(TestSupport::settingsPath());
    QDateTime onAirSince;
    {
        QSettings(TestSupport::settingsPath(), QSettings::IniFormat).setValue("tally_source", "control");
        MainWindow window;
        QCOMPARE(Sender(port).ask("endmark daily 17:30:05\nring 45\ndots countdown\ntally on MIC LIVE\n"),
                 QByteArray("OK\nOK\nOK\nOK\n"));
        onAirSince = window.findChild<TallyLamp *>(QStringLiteral("tallyLamp"))->since();
        QVERIFY(onAirSince.isValid());
    }
    {
        MainWindow window;
        TeskAnalogClock *clock = window.findChild<TeskAnalogClock *>(QStringLiteral("AnalogClock"));
        QVERIFY(clock->EndTime());
        QCOMPARE(clock->EndTimeHour(), 17);
        QCOMPARE(clock->EndTimeSecond(), 5);
        QVERIFY(clock->CountDownTime() > 40.0f && clock->CountDownTime() <= 45.0f);
        QVERIFY(clock->SecondDotsCountDown());
        // Still on air, counting from when it came on.
        const TallyLamp *lamp = window.findChild<TallyLamp *>(QStringLiteral("tallyLamp"));
        QVERIFY(lamp->on());
        QCOMPARE(lamp->text(), QStringLiteral("MIC LIVE"));
        QCOMPARE(lamp->since(), onAirSince);
    }
    // The count-down's end is behind us at the next start.
    QFile kept(cues);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    ControlCenter::Cues ended = *cuesFromJson(kept.readAll());
    ended.ringEndMs = QDateTime::currentMSecsSinceEpoch() - 1000;
    CueFile(cues).write(ended);
    MainWindow window;
    TeskAnalogClock *clock = window.findChild<TeskAnalogClock *>(QStringLiteral("AnalogClock"));
    QCOMPARE(clock->CountDownTime(), 0.0f);
    QVERIFY(clock->EndTime());
}

// A cue file's times are whole ms of the wall clock; a number that cannot
// be one (too large for the integer, below zero) reads as none.
void TestControl::cueTimesOutOfRange_data()
{
    QTest::addColumn<QByteArray>("time");
    QTest::addColumn<qint64>("read");

    QTest::newRow("a time") << QByteArray("1796832000000") << qint64(1796832000000);
    QTest::newRow("1e300") << QByteArray("1e300") << qint64(0);
    QTest::newRow("below zero") << QByteArray("-5") << qint64(0);
    QTest::newRow("not a number") << QByteArray("\"soon\"") << qint64(0);
}

void TestControl::cueTimesOutOfRange()
{
    QFETCH(QByteArray, time);
    QFETCH(qint64, read);
    const auto cues = cuesFromJson("{\"endmark\":{\"mode\":\"once\",\"hour\":1,\"minute\":2,\"second\":3,\"at_ms\":" + time
                                   + "},\"ring_end_ms\":" + time + ",\"tally\":{\"on\":true,\"since_ms\":" + time + "}}");
    QVERIFY(cues);
    QCOMPARE(cues->onceAtMs, read);
    QCOMPARE(cues->ringEndMs, read);
    QCOMPARE(cues->tallySinceMs, read);
}

// What the lamp's source allows: no source, no lamp and no tally commands;
// commands switch a lamp of their own; a serial line switches its lamp
// itself, and the commands only set the text.
void TestControl::tallyFollowsItsSource_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QByteArray>("commands");
    QTest::addColumn<QByteArray>("replies");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<bool>("lit");
    QTest::addColumn<QString>("text");

    const QByteArray none = "ERR tally: no tally_source is set\n";
    QTest::newRow("no source") << "" << QByteArray("tally on\n") << none << false << false << "ON AIR";
    QTest::newRow("dtr is an output") << "dtr" << QByteArray("tally text X\n") << none << false << false << "ON AIR";
    QTest::newRow("commands") << "control" << QByteArray("tally on\n") << QByteArray("OK\n") << true << true << "ON AIR";
    QTest::newRow("commands set the text") << " Control " << QByteArray("tally on MIC LIVE\ntally text NEWS\n")
                                           << QByteArray("OK\nOK\n") << true << true << "NEWS";
    QTest::newRow("commands, off again") << "control" << QByteArray("tally on\ntally off\n") << QByteArray("OK\nOK\n")
                                         << true << false << "ON AIR";
    QTest::newRow("a line switches it") << "!cts" << QByteArray("tally on\ntally text STUDIO 2\n")
                                        << QByteArray("ERR tally: the !cts line switches the lamp (tally_source=!cts); "
                                                      "tally text TEXT sets its text\nOK\n")
                                        << true << false << "STUDIO 2";
}

void TestControl::tallyFollowsItsSource()
{
    QFETCH(QString, source);
    QFETCH(QByteArray, commands);
    QFETCH(QByteArray, replies);
    QFETCH(bool, shown);
    QFETCH(bool, lit);
    QFETCH(QString, text);

    const quint16 port = freePort();
    {
        QSettings file(TestSupport::settingsPath(), QSettings::IniFormat);
        file.setValue("control_port", port);
        file.setValue("tally_source", source);
    }
    QFile::remove(cueFilePathFor(TestSupport::settingsPath()));
    MainWindow window;
    const TallyLamp *lamp = window.findChild<TallyLamp *>(QStringLiteral("tallyLamp"));
    Sender sender(port);
    QCOMPARE(sender.ask(commands), replies);
    QCOMPARE(lamp->isVisibleTo(&window), shown);
    QCOMPARE(lamp->on(), lit);
    QCOMPARE(lamp->text(), text);
    const QJsonObject tally = QJsonDocument::fromJson(sender.ask("status")).object().value("tally").toObject();
    QCOMPARE(tally.value("on").toBool(), lit);
    QCOMPARE(tally.value("text").toString(), text);
    QCOMPARE(tally.value("since").isNull(), !lit);
    QCOMPARE(tally.value("source").toString(), shown ? source.trimmed().toLower() : QString());
}

// The caption waits a minute before it warns; the state tells the kernel's
// word from the first reading.
void TestControl::syncToldFromTheFirstReading_data()
{
    QTest::addColumn<int>("kernel");
    QTest::addColumn<QString>("told");
    QTest::newRow("unsynchronised") << int(ClockStatus::Unsynchronised) << "unsynced";
    QTest::newRow("synchronised") << int(ClockStatus::Synchronised) << "synced";
    QTest::newRow("no reading") << int(ClockStatus::Unknown) << "unknown";
}

void TestControl::syncToldFromTheFirstReading()
{
    QFETCH(int, kernel);
    QFETCH(QString, told);
    QLabel caption;
    TimeSyncWatch watch(&caption, nullptr, [kernel] {
        ClockStatus s;
        s.sync = ClockStatus::Sync(kernel);
        s.maximumErrorUs = 16000000;
        return s;
    }, [] { return qint64(0); });
    ControlWiring::Parts parts;
    parts.timeSync = &watch;
    ControlWiring wiring(parts);
    QVERIFY(!watch.warningShown());
    const QJsonObject status = QJsonDocument::fromJson(wiring.center().statusJson()).object();
    QCOMPARE(status.value("clock").toObject().value("sync").toString(), told);
}

LUMORA_TEST_MAIN(TestControl)
#include "tst_control.moc"
