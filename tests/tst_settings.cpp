#include "settingsfile.h"
#include "settingskeys.h"
#include "settingsstore.h"
#include "testsupport.h"

#include <QtTest>
#include <QSettings>
#include <QTemporaryDir>

#include <csignal>
#include <unistd.h>
#include <functional>
#include <memory>

namespace QTest {
template<>
char *toString(const StoredSettings &v)
{
    const auto cut = [](const QString &s) { return s.size() > 40 ? s.left(40) + "..." : s; };
    const QString text = QStringLiteral("{%1 %2 '%3' '%4' '%5' '%6' '%7' ['%8' '%9' '%10'] %11 %12 %13 '%14' '%15'}")
        .arg(v.comm.is_server).arg(v.comm.use_udp)
        .arg(v.comm.serialport, v.comm.server_host, v.comm.server_port, v.comm.client_host,
             v.comm.client_port, cut(v.labels[0]), cut(v.labels[1]))
        .arg(cut(v.labels[2])).arg(v.currentScreen).arg(QString::fromLatin1(v.geometry.toHex()))
        .arg(v.control.port).arg(v.control.bind, v.control.allow);
    return qstrdup(text.toUtf8().constData());
}
} // namespace QTest

namespace {

StoredSettings with(const std::function<void(StoredSettings &)> &change)
{
    StoredSettings v;
    change(v);
    return v;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(f.write(bytes), qint64(bytes.size()));
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return f.readAll();
}

// A fresh look at what is on disk: a copy under a new name, so nothing the
// toolkit cached for the original path can answer instead of the file.
StoredSettings readFromDisk(const QString &path, const QString &scratch)
{
    QFile::remove(scratch);
    QFile::copy(path, scratch);
    QSettings s(scratch, QSettings::NativeFormat);
    s.setIniCodec("UTF-8");
    // What the copy holds was told about when the file itself was read.
    QLoggingCategory::setFilterRules(QStringLiteral("lumora.settings.warning=false"));
    const StoredSettings v = readStored(s);
    QLoggingCategory::setFilterRules(QString());
    return v;
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void firstRun();
    void readRules_data();
    void readRules();
    void roundTrip();
    void everyKey_data();
    void everyKey();
    void strayKeysAreNotCarried();
    void damagedFile_data();
    void damagedFile();
    void earlierBackupsAreKept();
    void backupNamesRunOut();
    void unreadableFile();
    void userStoreLocation();
    void failedWriteIsLogged();
    void unusableTempFolder_data();
    void unusableTempFolder();
    void pathIsAFolder();
    void keepChangesOnDisk_data();
    void keepChangesOnDisk();
    void editWhileRunning();


private:
    QTemporaryDir m_xdg;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path() const { return m_dir->filePath(QStringLiteral("Lumora Meters.conf")); }
    QString scratch() const { return m_dir->filePath(QStringLiteral("scratch.conf")); }
};

void TestSettings::initTestCase()
{
    // Before the first settings object: the toolkit looks the folder up once.
    QVERIFY(m_xdg.isValid());
    TestSupport::nameApplication();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_xdg.path()));
}

void TestSettings::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestSettings::firstRun()
{
    auto s = openSettingsFile(path());
    const StoredSettings v = readStored(*s);
    QCOMPARE(v.comm.is_server, false);
    QCOMPARE(v.comm.use_udp, false);
    QCOMPARE(v.comm.serialport, QString());
    QCOMPARE(v.comm.server_port, QString());
    QCOMPARE(v.comm.client_port, QString());
    QCOMPARE(v.labels, (std::array<QString, 3> { "Prog", "Sub", "CRM" }));
    QCOMPARE(v.currentScreen, 0);
    QVERIFY(v.geometry.isEmpty());
    // Reading alone creates nothing, and there is nothing to back up.
    s.reset();
    QVERIFY(!QFile::exists(path()));
    QVERIFY(!QFile::exists(path() + ".bak"));
}

void TestSettings::readRules_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<StoredSettings>("expected");
    QTest::addColumn<bool>("keepsCopy");   // a .bak holds the file as it was
    QTest::addColumn<QString>("warned");   // a warning; empty: none, or the copy's
    QTest::addColumn<QByteArray>("kept");  // lines the file holds after the quit
    const auto row = [](const char *name, const QByteArray &file, const StoredSettings &expected,
                        bool keepsCopy, const QString &warned = {}, const QByteArray &kept = {}) {
        QTest::newRow(name) << file << expected << keepsCopy << warned << kept;
    };
    // A value that does not read as its key's type, named with its line.
    const auto unread = [](int line, const QString &text, const QString &what, const QString &read) {
        return QStringLiteral("line %1: \"%2\" is no %3.* - read as %4, its first-run value; the line is kept")
            .arg(line).arg(QRegularExpression::escape(text), what, read);
    };

    row("empty file", QByteArray(), StoredSettings(), false);
    row("link as the dialog stores it",
        "[General]\nis_server=true\nuse_udp=true\nserialport=/dev/ttyUSB0\nserver_host=192.168.1.10\n"
        "server_port=05000\nclient_host=192.168.1.20\nclient_port=6000\n",
        with([](StoredSettings &v) {
            v.comm = { true, true, "/dev/ttyUSB0", "192.168.1.10", "05000", "192.168.1.20", "6000", {}, {}, {}, {} };
        }),
        false, {}, "is_server=true\nserver_port=05000");
    row("installer's multicast keys",
        "[General]\nserver_destination=239.192.0.7\nserver_ttl=4\nclient_group=239.192.0.8\n",
        with([](StoredSettings &v) {
            v.comm.server_destination = "239.192.0.7";
            v.comm.server_ttl = "4";
            v.comm.client_group = "239.192.0.8";
        }),
        false);

    // -- the settings lines of the README, as printed
    row("README: the channel opened to the studio network",
        "control_bind=10.20.1.15\ncontrol_allow=127.0.0.0/8, 10.20.1.0/24\n",
        with([](StoredSettings &v) {
            v.control.bind = "10.20.1.15";
            v.control.allow = "127.0.0.0/8, 10.20.1.0/24";
        }),
        false, {}, "control_bind=10.20.1.15\ncontrol_allow=127.0.0.0/8, 10.20.1.0/24");
    row("README: control_port=0 turns the channel off", "control_port=0\n",
        with([](StoredSettings &v) { v.control.port = 0; }), false, {}, "control_port=0");
    row("README: control_port=7374 for a second display", "control_port=7374\n",
        with([](StoredSettings &v) { v.control.port = 7374; }), false, {}, "control_port=7374");
    row("README: the multicast examples", "server_destination=239.192.10.1\nserver_ttl=4\nclient_group=239.192.10.1\n",
        with([](StoredSettings &v) {
            v.comm.server_destination = "239.192.10.1";
            v.comm.server_ttl = "4";
            v.comm.client_group = "239.192.10.1";
        }),
        false, {}, "server_destination=239.192.10.1\nserver_ttl=4\nclient_group=239.192.10.1");

    // -- flags: the words an operator types, and typos
    row("flags as 1 and 0", "[General]\nis_server=1\nuse_udp=0\n",
        with([](StoredSettings &v) { v.comm.is_server = true; }), false, {}, "is_server=1\nuse_udp=0");
    row("flags as Yes and no", "[General]\nis_server=Yes\nuse_udp=no\n",
        with([](StoredSettings &v) { v.comm.is_server = true; }), false, {}, "is_server=Yes\nuse_udp=no");
    row("flags as ON and off", "[General]\nis_server=off\nuse_udp=ON\n",
        with([](StoredSettings &v) { v.comm.use_udp = true; }), false, {}, "is_server=off\nuse_udp=ON");
    row("flag typo reads its first-run value", "[General]\nuse_udp=flase\nis_server=true\n",
        with([](StoredSettings &v) { v.comm.is_server = true; }), false,
        unread(2, "use_udp=flase", "flag \\(true/false, yes/no, on/off, 1/0\\)", "false"), "use_udp=flase");
    row("flag as a rectangle reads false", "[General]\nis_server=@Rect(1 2 3 4)\nuse_udp=true\n",
        with([](StoredSettings &v) { v.comm.use_udp = true; }), false,
        unread(2, "is_server=@Rect(1 2 3 4)", "flag", "false"), "is_server=@Rect(1 2 3 4)");

    // -- texts: lists read as their items, hand-typed UTF-8, earlier escapes
    row("empty labelMeter2 stays empty", "[General]\nlabelMeter2=\n",
        with([](StoredSettings &v) { v.labels[1].clear(); }), false, {}, "labelMeter2=");
    row("label markup is kept as text", "[General]\nlabelMeter1=\"<b>Studio</b> &amp; <img src=x>\"\n",
        with([](StoredSettings &v) { v.labels[0] = "<b>Studio</b> &amp; <img src=x>"; }), false);
    row("label of 1 MB is read whole", QByteArray("[General]\nlabelMeter1=") + QByteArray(1 << 20, 'x') + "\n",
        with([](StoredSettings &v) { v.labels[0] = QString(1 << 20, 'x'); }), false);
    row("label with a comma reads whole", "[General]\nlabelMeter1=Studio 1, left\n",
        with([](StoredSettings &v) { v.labels[0] = "Studio 1, left"; }), false, {}, "labelMeter1=Studio 1, left");
    row("port as a list reads its items", "[General]\nserver_port=5000, 6000\nclient_port=6000\n",
        with([](StoredSettings &v) {
            v.comm.server_port = "5000, 6000";
            v.comm.client_port = "6000";
        }),
        false, {}, "server_port=5000, 6000");
    row("list with an item that starts with @", "control_allow=@studio, 10.0.0.0/8\n",
        with([](StoredSettings &v) { v.control.allow = "@studio, 10.0.0.0/8"; }), false);
    row("label typed in UTF-8", "[General]\nlabelMeter1=Studio K\xc3\xb6ln\n",
        with([](StoredSettings &v) { v.labels[0] = QString::fromUtf8("Studio K\xc3\xb6ln"); }), false, {},
        "labelMeter1=Studio K\xc3\xb6ln");
    row("label as the earlier writer escaped it", "[General]\nlabelMeter1=Studio K\\xf6ln\n",
        with([](StoredSettings &v) { v.labels[0] = QString::fromUtf8("Studio K\xc3\xb6ln"); }), false, {},
        "labelMeter1=Studio K\xc3\xb6ln");
    // The toolkit's UTF-8 writer drops characters beyond 16 bits.
    row("label with an emoji stays in escapes", "[General]\nlabelMeter2=\\xd83c\\xdfb5 Live\n",
        with([](StoredSettings &v) { v.labels[1] = QString::fromUtf8("\xf0\x9f\x8e\xb5 Live"); }), false, {},
        "labelMeter2=\\xd83c\\xdfb5 Live");
    // ... and its reader drops a U+FEFF that follows an escape (found by the fuzzer).
    row("label with a U+FEFF stays in escapes", QByteArray("[General]\nlabelMeter1=a\0\xef\xbb\xbf b\n", 30),
        with([](StoredSettings &v) { v.labels[0] = QString("a") + QChar(0) + QChar(0xfeff) + " b"; }), false);
    row("label typed in Latin-1 reads as before", "[General]\nlabelMeter1=Studio K\xf6ln\n",
        with([](StoredSettings &v) { v.labels[0] = QString::fromUtf8("Studio K\xc3\xb6ln"); }), false,
        "is not UTF-8 text \\(line 2 is the first that is not\\) - read as Latin-1",
        "labelMeter1=Studio K\xc3\xb6ln");
    row("label with an open quote at the end", "[General]\nlabelMeter1=Studio \"A\n",
        with([](StoredSettings &v) { v.labels[0] = "Studio A"; }), true,
        "has a quote that is not closed at line 2: \"labelMeter1=Studio \\\\x22A\", read up to the end"
        " of its line - kept it as .*\\.bak and read the other lines",
        "labelMeter1=Studio A");
    row("label with an open quote before other keys", "labelMeter1=Studio \"A\nuse_udp=true\nlabelMeter2=B\n",
        with([](StoredSettings &v) {
            v.labels[0] = "Studio A";
            v.labels[1] = "B";
            v.comm.use_udp = true;
        }),
        true, "has a quote that is not closed at line 1: ", "use_udp=true");
    row("label as a rectangle keeps its name", "[General]\nlabelMeter2=@Rect(1 2 3 4)\n", StoredSettings(),
        false, unread(2, "labelMeter2=@Rect(1 2 3 4)", "text", "\"Sub\""), "labelMeter2=@Rect(1 2 3 4)");
    row("secret with a comma is told of, not shown", "[General]\ncontrol_token=3f9a,77c2\n",
        with([](StoredSettings &v) { v.control.token = "3f9a, 77c2"; }), false,
        "line 2: \"control_token \\.\\.\\.\" \\(its value is not shown\\) holds commas");
    row("secret of another type is not shown", "[General]\ncontrol_token=@Size(17 4)\n", StoredSettings(),
        false, "line 2: \"control_token \\.\\.\\.\" \\(its value is not shown\\) is no text", "control_token=@Size(17 4)");

    // -- values the next write cannot keep: read as absent, a copy is kept
    row("unknown stored type reads empty", "[General]\nserialport=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x5junk)\n",
        StoredSettings(), true);
    row("map where a host belongs reads empty",
        "[General]\nclient_host=@Variant(\\0\\0\\0\\b\\0\\0\\0\\x1\\0\\0\\0\\x2\\0\\x61\\0\\0\\0\\x2\\0\\0\\0\\x1)\n",
        StoredSettings(), true);

    // -- geometry
    row("geometry as a rectangle reads empty", "[General]\ngeometry=@Rect(0 0 986 580)\n", StoredSettings(),
        false, unread(2, "geometry=@Rect(0 0 986 580)", "byte array", "empty"), "geometry=@Rect(0 0 986 580)");
    row("geometry bytes", "[General]\ngeometry=@ByteArray(\\x1\\xd9\\xd0\\xcb\\0\\x3)\n",
        with([](StoredSettings &v) { v.geometry = QByteArray("\x01\xd9\xd0\xcb\x00\x03", 6); }), false);

    // -- whole numbers
    row("screen 1", "[General]\ncurrent_screen=1\n", with([](StoredSettings &v) { v.currentScreen = 1; }), false);
    row("screen that no longer exists is passed on", "[General]\ncurrent_screen=-1\n",
        with([](StoredSettings &v) { v.currentScreen = -1; }), false);
    row("screen as a word reads 0", "[General]\ncurrent_screen=left\n", StoredSettings(), false,
        unread(2, "current_screen=left", "whole number", "0"), "current_screen=left");
    row("screen beyond int reads 0", "[General]\ncurrent_screen=99999999999\n", StoredSettings(), false,
        unread(2, "current_screen=99999999999", "whole number", "0"), "current_screen=99999999999");
    row("control port typo reads 7373", "[General]\ncontrol_port=73a3\n", StoredSettings(), false,
        unread(2, "control_port=73a3", "whole number", "7373"), "control_port=73a3");
    row("screen as 64-bit 2^40 reads 0",
        "[General]\ncurrent_screen=@Variant(\\0\\0\\0\\x4\\0\\0\\x1\\0\\0\\0\\0\\0)\n", StoredSettings(), true);
    row("screen as double 2.6 reads 2",
        "[General]\ncurrent_screen=@Variant(\\0\\0\\0\\x6@\\x4\\xcc\\xcc\\xcc\\xcc\\xcc\\xcd)\n",
        with([](StoredSettings &v) { v.currentScreen = 2; }), false);
    row("screen as double NaN reads 0",
        "[General]\ncurrent_screen=@Variant(\\0\\0\\0\\x6\\x7f\\xf8\\0\\0\\0\\0\\0\\0)\n", StoredSettings(), true);
    row("screen as double infinity reads 0",
        "[General]\ncurrent_screen=@Variant(\\0\\0\\0\\x6\\x7f\\xf0\\0\\0\\0\\0\\0\\0)\n", StoredSettings(), true);
    row("screen as double 1e300 reads 0",
        "[General]\ncurrent_screen=@Variant(\\0\\0\\0\\x6\\x7e\\x37\\xe4\\x3c\\x88\\0\\x75\\x9c)\n",
        StoredSettings(), true);
}

void TestSettings::readRules()
{
    QFETCH(QByteArray, file);
    QFETCH(StoredSettings, expected);
    QFETCH(bool, keepsCopy);
    QFETCH(QString, warned);
    QFETCH(QByteArray, kept);
    writeFile(path(), file);
    const QString copyWarning = QStringLiteral("holds values of another type");
    if (!warned.isEmpty() || keepsCopy)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warned.isEmpty() ? copyWarning : warned));
    auto s = openSettingsFile(path());
    QCOMPARE(readStored(*s), expected);
    QCOMPARE(QFile::exists(path() + ".bak"), keepsCopy);
    if (keepsCopy)
        QCOMPARE(readFile(path() + ".bak"), file);
    if (keepsCopy && warned.isEmpty()) {
        // Seen again before the exit write replaces the value: no second copy.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(copyWarning));
        QCOMPARE(recoverDamagedFile(path()), path() + ".bak");
        QVERIFY(!QFile::exists(path() + ".bak.1"));
    }

    // The quit writes back what was read: the lines as they were typed, and
    // the same values for the next start.
    writeStored(*s, expected);
    s.reset();
    const QByteArray after = "\n" + readFile(path());
    for (const QByteArray &line : kept.split('\n')) {
        if (!line.isEmpty())
            QVERIFY2(after.contains("\n" + line + "\n"), after.constData());
    }
    QCOMPARE(readFromDisk(path(), scratch()), expected);
    // A value the program changes is written as it is now.
    StoredSettings changed = expected;
    changed.comm.use_udp = !changed.comm.use_udp;
    changed.labels[0] = "Changed";
    writeStored(*openSettingsFile(path()), changed);
    QCOMPARE(readFromDisk(path(), scratch()), changed);
}

void TestSettings::roundTrip()
{
    StoredSettings v;
    v.comm = { true, true, "/dev/ttyUSB0", "192.168.10.5", "05000", "fe80::1", "0", {}, {}, {}, {} };
    v.labels = { "Studio A, B", "Ω \"quoted\" ;=@x", "line\nbreak \\ slash" };
    v.currentScreen = 2;
    v.geometry = QByteArray("\x01\xd9\xd0\xcb\x00\x03\xff\x00", 8);
    {
        auto s = openSettingsFile(path());
        writeStored(*s, v);
        QCOMPARE(s->status(), QSettings::NoError);
    }
    // The ports are texts: the leading zero survives.
    const QByteArray raw = readFile(path());
    QVERIFY2(raw.contains("\nserver_port=05000\n"), raw.constData());
    QVERIFY2(raw.contains("\nis_server=true\n"), raw.constData());
    QVERIFY2(raw.contains("\ncurrent_screen=2\n"), raw.constData());
    QCOMPARE(readFromDisk(path(), scratch()), v);
    QSettings disk(scratch(), QSettings::NativeFormat);
    QCOMPARE(disk.allKeys().size(), 12);  // the installer's keys only when set
    QCOMPARE(disk.value("server_port").userType(), int(QMetaType::QString));
    // What we write is sound: no backup on the next start.
    QCOMPARE(recoverDamagedFile(path()), QString());

    v.comm.server_destination = "10.0.0.9";
    v.comm.server_ttl = "1";
    v.comm.client_group = "239.1.1.1";
    writeStored(*openSettingsFile(path()), v);
    QCOMPARE(readFromDisk(path(), scratch()), v);
    QCOMPARE(QSettings(scratch(), QSettings::NativeFormat).allKeys().size(), 15);
}

void TestSettings::everyKey_data()
{
    QTest::addColumn<QByteArray>("line");       // the key's line in the file
    QTest::addColumn<StoredSettings>("expected");
    QTest::addColumn<QByteArray>("written");    // its line when the display writes the value
    QStringList keys;
    const auto row = [&keys](const char *key, const QByteArray &line, const StoredSettings &expected,
                             const QByteArray &written) {
        keys << key;
        QTest::newRow(key) << line << expected << written;
    };
    row("is_server", "is_server=yes", with([](StoredSettings &v) { v.comm.is_server = true; }), "is_server=true");
    row("use_udp", "use_udp=on", with([](StoredSettings &v) { v.comm.use_udp = true; }), "use_udp=true");
    row("serialport", "serialport=/dev/ttyS3", with([](StoredSettings &v) { v.comm.serialport = "/dev/ttyS3"; }),
        "serialport=/dev/ttyS3");
    row("server_host", "server_host=192.168.1.10",
        with([](StoredSettings &v) { v.comm.server_host = "192.168.1.10"; }), "server_host=192.168.1.10");
    row("server_port", "server_port=05000", with([](StoredSettings &v) { v.comm.server_port = "05000"; }),
        "server_port=05000");
    row("client_host", "client_host=studio-a", with([](StoredSettings &v) { v.comm.client_host = "studio-a"; }),
        "client_host=studio-a");
    row("client_port", "client_port=6000", with([](StoredSettings &v) { v.comm.client_port = "6000"; }),
        "client_port=6000");
    row("server_destination", "server_destination=239.192.10.1",
        with([](StoredSettings &v) { v.comm.server_destination = "239.192.10.1"; }),
        "server_destination=239.192.10.1");
    row("server_ttl", "server_ttl=4", with([](StoredSettings &v) { v.comm.server_ttl = "4"; }), "server_ttl=4");
    row("client_group", "client_group=239.192.10.2",
        with([](StoredSettings &v) { v.comm.client_group = "239.192.10.2"; }), "client_group=239.192.10.2");
    row("tally_source", "tally_source=!dcd", with([](StoredSettings &v) { v.comm.tally_source = "!dcd"; }),
        "tally_source=!dcd");
    row("control_port", "control_port=7374", with([](StoredSettings &v) { v.control.port = 7374; }),
        "control_port=7374");
    row("control_bind", "control_bind=10.20.1.15", with([](StoredSettings &v) { v.control.bind = "10.20.1.15"; }),
        "control_bind=10.20.1.15");
    row("control_allow", "control_allow=10.20.0.0/16",
        with([](StoredSettings &v) { v.control.allow = "10.20.0.0/16"; }), "control_allow=10.20.0.0/16");
    row("control_token", "control_token=3f9a77c2", with([](StoredSettings &v) { v.control.token = "3f9a77c2"; }),
        "control_token=3f9a77c2");
    row("mqtt_broker", "mqtt_broker=mqtts://broker.studio:8883",
        with([](StoredSettings &v) { v.control.mqttBroker = "mqtts://broker.studio:8883"; }),
        "mqtt_broker=mqtts://broker.studio:8883");
    row("mqtt_user", "mqtt_user=wall", with([](StoredSettings &v) { v.control.mqttUser = "wall"; }), "mqtt_user=wall");
    row("mqtt_password", "mqtt_password=s3cret", with([](StoredSettings &v) { v.control.mqttPassword = "s3cret"; }),
        "mqtt_password=s3cret");
    row("mqtt_ca", "mqtt_ca=/etc/ssl/studio-ca.pem", with([](StoredSettings &v) { v.control.mqttCa = "/etc/ssl/studio-ca.pem"; }),
        "mqtt_ca=/etc/ssl/studio-ca.pem");
    row("mqtt_topic", "mqtt_topic=radio", with([](StoredSettings &v) { v.control.mqttTopic = "radio"; }), "mqtt_topic=radio");
    row("mqtt_id", "mqtt_id=studio-1", with([](StoredSettings &v) { v.control.mqttId = "studio-1"; }), "mqtt_id=studio-1");
    row("mqtt_groups", "mqtt_groups=news, studio-a", with([](StoredSettings &v) { v.control.mqttGroups = "news, studio-a"; }),
        "mqtt_groups=\"news, studio-a\"");
    row("labelMeter1", "labelMeter1=Booth", with([](StoredSettings &v) { v.labels[0] = "Booth"; }),
        "labelMeter1=Booth");
    row("labelMeter2", "labelMeter2=Booth", with([](StoredSettings &v) { v.labels[1] = "Booth"; }),
        "labelMeter2=Booth");
    row("labelMeter3", "labelMeter3=Booth", with([](StoredSettings &v) { v.labels[2] = "Booth"; }),
        "labelMeter3=Booth");
    row("current_screen", "current_screen=2", with([](StoredSettings &v) { v.currentScreen = 2; }),
        "current_screen=2");
    row("geometry", "geometry=@ByteArray(xy)", with([](StoredSettings &v) { v.geometry = "xy"; }),
        "geometry=@ByteArray(xy)");
    // A key of the table without a row above fails as a row of its own.
    for (const SettingsKeys::Key &key : SettingsKeys::kKeys) {
        if (!keys.contains(key.name))
            QTest::newRow(qPrintable(QStringLiteral("%1 (no row)").arg(key.name))) << QByteArray() << StoredSettings()
                                                                                 << QByteArray();
    }
}

// Each key on its own: read, written by its type, merged and compared as the
// member it belongs to, and described in the README.
void TestSettings::everyKey()
{
    QFETCH(QByteArray, line);
    QFETCH(StoredSettings, expected);
    QFETCH(QByteArray, written);
    QVERIFY2(expected != StoredSettings(), "a key with no row here, or one the comparison leaves out");
    writeFile(path(), "[General]\n" + line + "\n");
    QCOMPARE(readStored(*openSettingsFile(path())), expected);

    const QString fresh = m_dir->filePath(QStringLiteral("fresh.conf"));
    writeStored(*openSettingsFile(fresh), expected);
    const QByteArray raw = readFile(fresh);
    QVERIFY2(raw.contains("\n" + written + "\n"), raw.constData());
    QCOMPARE(readFromDisk(fresh, scratch()), expected);

    QCOMPARE(::keepChangesOnDisk(StoredSettings(), StoredSettings(), expected), expected);
    QCOMPARE(::keepChangesOnDisk(expected, StoredSettings(), StoredSettings()), expected);

    const QByteArray readme = readFile(QStringLiteral(LUMORA_README));
    const int from = readme.indexOf("\n## Settings\n");
    QVERIFY(from >= 0);
    const QByteArray section = readme.mid(from, readme.indexOf("\n## ", from + 1) - from);
    const QByteArray key = line.left(line.indexOf('='));
    QVERIFY2(section.contains("\n| `" + key + "` |"), "not in the README's settings table");
}

// Found by the settings fuzzer: a file the toolkit parses, but with a stray
// group whose key it writes back in a form it cannot read. Carried along by
// the write, it cost the next start every setting.
void TestSettings::strayKeysAreNotCarried()
{
    {
        QFile file(path());
        QVERIFY(file.open(QIODevice::WriteOnly));
        static const char raw[] = "[neebG\\\"\xf0\0\0l]\r\r\r=x\n[General]\nuse_udp=true\nstray=1\n";
        file.write(raw, sizeof raw - 1);
    }
    StoredSettings v;
    {
        auto s = openSettingsFile(path());
        v = readStored(*s);
        QVERIFY(v.comm.use_udp);
        writeStored(*s, v);
    }
    QSettings disk(path(), QSettings::NativeFormat);
    QCOMPARE(disk.allKeys().size(), 12);
    QCOMPARE(readFromDisk(path(), scratch()), v);
    QCOMPARE(recoverDamagedFile(path()), QString());
}

void TestSettings::damagedFile_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("logged");       // what the warning says after "cannot be parsed"
    QTest::addColumn<StoredSettings>("expected");  // the keys that are still read

    QTest::newRow("binary junk") << QByteArray("\x00\x01\x02\xff\xfe garbage\n", 15)
        << R"( at line 1: "\\x00\\x01\\x02\\xff\\xfe garbage" .*- kept it as .*\.bak and read the other lines)"
        << StoredSettings();
    QTest::newRow("broken section header") << QByteArray("[General\nis_server=true\nlabelMeter1=X\n")
        << R"( at line 1: "\[General" - kept it as .*\.bak and read the other lines)"
        << with([](StoredSettings &v) { v.comm.is_server = true; v.labels[0] = "X"; });
    QTest::newRow("text without keys") << QByteArray("just words without equals\n")
        << R"( at line 1: "just words without equals" -)" << StoredSettings();
    QTest::newRow("stray bracket after a key") << QByteArray("\\xff\\xfe=1\nuse_udp=true\n[\n")
        << R"( at line 3: "\[" -)" << with([](StoredSettings &v) { v.comm.use_udp = true; });
    // An installer's typo costs its own line only.
    QTest::newRow("typo between keys")
        << QByteArray("[General]\nuse_udp=true\nclient_group 239.1.1.1\nclient_port=6000\n")
        << R"( at line 3: "client_group 239.1.1.1" -)"
        << with([](StoredSettings &v) { v.comm.use_udp = true; v.comm.client_port = "6000"; });
    QTest::newRow("typo in a secret's line")
        << QByteArray("[General]\nuse_udp=true\n  Control_Token 3f9a77c2e1\n")
        << R"( at line 3: "control_token \.\.\." \(its value is not shown\) -)"
        << with([](StoredSettings &v) { v.comm.use_udp = true; });
    QTest::newRow("long line is cut")
        << QByteArray("[General]\nlabelMeter1=A\n") + QByteArray(300, 'y') + "\n"
        << " at line 3: \"y{80}\\.\\.\\.\" -" << with([](StoredSettings &v) { v.labels[0] = "A"; });
    // A serialized string list that claims two billion entries: the
    // toolkit's parser gives up on the allocation (found by the fuzzer).
    QTest::newRow("value claiming billions of elements")
        << QByteArray("[General]\nclient_port=@Variant(\\0\\0\\0\\v\\x7f\\0\\0\\0\\x6QPoint)\n")
        << " - kept it as .*\\.bak and started from defaults" << StoredSettings();
    QTest::newRow("over 4 MiB") << QByteArray("[General]\nlabelMeter1=") + QByteArray(4 * 1024 * 1024, 'x')
                                + QByteArray("\n")
        << " - kept it as .*\\.bak and started from defaults" << StoredSettings();
}

void TestSettings::damagedFile()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, logged);
    QFETCH(StoredSettings, expected);
    writeFile(path(), file);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot be parsed" + logged));
    auto s = openSettingsFile(path());
    QCOMPARE(readStored(*s), expected);
    QCOMPARE(s->status(), QSettings::NoError);
    QCOMPARE(readFile(path() + ".bak"), file);

    // The exit write leaves a sound file with nothing of the damage in it.
    const StoredSettings v = with([](StoredSettings &v) { v.comm.serialport = "/dev/ttyS1"; });
    writeStored(*s, v);
    s.reset();
    QCOMPARE(readFromDisk(path(), scratch()), v);
    QSettings disk(scratch(), QSettings::NativeFormat);
    QCOMPARE(disk.allKeys().size(), 12);
    QCOMPARE(readFile(path() + ".bak"), file);
}

void TestSettings::earlierBackupsAreKept()
{
    const QList<QByteArray> damage { "[a\n", "[bb\n", "[ccc\n" };
    for (const QByteArray &bytes : damage) {
        writeFile(path(), bytes);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot be parsed"));
        openSettingsFile(path());
    }
    QCOMPARE(readFile(path() + ".bak"), damage[0]);
    QCOMPARE(readFile(path() + ".bak.1"), damage[1]);
    QCOMPARE(readFile(path() + ".bak.2"), damage[2]);
}

void TestSettings::backupNamesRunOut()
{
    const auto name = [this](int i) {
        return i == 0 ? path() + ".bak" : path() + ".bak." + QString::number(i);
    };
    for (int i = 0; i < SettingsKeys::kMaxBackups; ++i)
        writeFile(name(i), "old " + QByteArray::number(i));
    writeFile(path(), "[newest\n");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("kept it as .*\\.bak\\.9 "));
    QCOMPARE(recoverDamagedFile(path()), name(9));
    QCOMPARE(readFile(name(9)), QByteArray("[newest\n"));
    for (int i = 0; i < SettingsKeys::kMaxBackups - 1; ++i)
        QCOMPARE(readFile(name(i)), "old " + QByteArray::number(i));
}

void TestSettings::unreadableFile()
{
    if (::geteuid() == 0)
        QSKIP("file permissions do not bind the superuser");
    writeFile(path(), "[General]\nlabelMeter1=Studio\n");
    QVERIFY(QFile::setPermissions(path(), QFileDevice::WriteOwner));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot be read - kept it as .*\\.bak"));
    auto s = openSettingsFile(path());
    QCOMPARE(readStored(*s), StoredSettings());
    // Moved aside untouched; the exit write makes a new, readable file.
    QVERIFY(QFile::exists(path() + ".bak"));
    writeStored(*s, StoredSettings());
    QCOMPARE(s->status(), QSettings::NoError);
    QCOMPARE(readFromDisk(path(), scratch()), StoredSettings());
}

void TestSettings::userStoreLocation()
{
    const QString expected = m_xdg.filePath("Korvel B.V./Lumora Meters.conf");
    {
        auto s = openUserSettings();
        QCOMPARE(s->fileName(), expected);
        writeStored(*s, with([](StoredSettings &v) { v.labels[2] = "Booth"; }));
    }
    QVERIFY(readFile(expected).contains("labelMeter3=Booth"));

    // The user store gets the same care when it is damaged.
    writeFile(expected, "[broken\nlabelMeter3=Booth\n");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot be parsed at line 1"));
    auto s = openUserSettings();
    QCOMPARE(readStored(*s), with([](StoredSettings &v) { v.labels[2] = "Booth"; }));
    QCOMPARE(readFile(expected + ".bak"), QByteArray("[broken\nlabelMeter3=Booth\n"));
}

void TestSettings::failedWriteIsLogged()
{
    // The folder the file should live in is a plain file: nothing can be written.
    writeFile(m_dir->filePath("blocked"), "not a folder");
    QSettings s(m_dir->filePath("blocked/Lumora Meters.conf"), QSettings::NativeFormat);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("could not write the settings"));
    writeStored(s, StoredSettings());
    QCOMPARE(s.status(), QSettings::AccessError);
}

void TestSettings::unusableTempFolder_data()
{
    QTest::addColumn<QString>("tmp");           // TMPDIR, inside the test's folder
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<StoredSettings>("expected");
    QTest::addColumn<bool>("movedAside");

    const QByteArray sound = "[General]\nuse_udp=true\nlabelMeter1=Studio\n";
    const StoredSettings soundRead = with([](StoredSettings &v) {
        v.comm.use_udp = true;
        v.labels[0] = "Studio";
    });
    QTest::newRow("missing folder") << "missing" << sound << soundRead << false;
    QTest::newRow("a file, not a folder") << "plain-file" << sound << soundRead << false;
    QTest::newRow("read-only folder") << "read-only" << sound << soundRead << false;
    // Judged in place, a damaged file is still moved aside.
    QTest::newRow("missing folder, damaged file") << "missing" << QByteArray("[General\nuse_udp=true\n")
        << with([](StoredSettings &v) { v.comm.use_udp = true; }) << true;
}

void TestSettings::unusableTempFolder()
{
    QFETCH(QString, tmp);
    QFETCH(QByteArray, file);
    QFETCH(StoredSettings, expected);
    QFETCH(bool, movedAside);
    const QString tmpPath = m_dir->filePath(tmp);
    if (tmp == "plain-file")
        writeFile(tmpPath, "x");
    if (tmp == "read-only") {
        if (::geteuid() == 0)
            QSKIP("file permissions do not bind the superuser");
        QVERIFY(QDir().mkpath(tmpPath));
        QVERIFY(QFile::setPermissions(tmpPath, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    }
    const QByteArray savedTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(tmpPath));
    const auto restore = qScopeGuard([&] {
        if (savedTmp.isNull())
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", savedTmp);
    });

    writeFile(path(), file);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("could not make a private copy .* reading .* in place"));
    if (movedAside)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot be parsed at line 1"));
    auto s = openSettingsFile(path());
    QCOMPARE(readStored(*s), expected);
    QCOMPARE(QFile::exists(path() + ".bak"), movedAside);
    if (!movedAside)
        QCOMPARE(readFile(path()), file);
}

void TestSettings::pathIsAFolder()
{
    QVERIFY(QDir().mkpath(path()));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("settings path .*/Lumora Meters.conf is a folder"));
    auto s = openSettingsFile(path());
    QCOMPARE(readStored(*s), StoredSettings());
    QVERIFY(QFileInfo(path()).isDir());
}

void TestSettings::keepChangesOnDisk_data()
{
    QTest::addColumn<StoredSettings>("ours");
    QTest::addColumn<StoredSettings>("disk");
    QTest::addColumn<StoredSettings>("written");
    // Each row starts from a file that held the defaults when it was read.
    const auto group = [](StoredSettings &v) { v.comm.client_group = "239.1.1.1"; };
    const auto renamed = [](StoredSettings &v) { v.labels[1] = "Booth"; };
    const auto moved = [](StoredSettings &v) { v.geometry = "ours"; };
    QTest::newRow("unchanged on disk: ours") << with(moved) << StoredSettings() << with(moved);
    QTest::newRow("changed on disk: kept")
        << with(moved) << with(group) << with([&](StoredSettings &v) { moved(v); group(v); });
    QTest::newRow("changed on both sides: the disk's")
        << with(renamed) << with([](StoredSettings &v) { v.labels[1] = "Edit"; })
        << with([](StoredSettings &v) { v.labels[1] = "Edit"; });
    QTest::newRow("reset on disk to the default: kept")
        << with(group) << StoredSettings() << StoredSettings();
}

void TestSettings::keepChangesOnDisk()
{
    QFETCH(StoredSettings, ours);
    QFETCH(StoredSettings, disk);
    QFETCH(StoredSettings, written);
    StoredSettings known;
    // The last row: ours took the group from an earlier read of the file.
    if (QByteArray(QTest::currentDataTag()).startsWith("reset"))
        known.comm.client_group = "239.1.1.1";
    QCOMPARE(::keepChangesOnDisk(ours, known, disk), written);
}

void TestSettings::editWhileRunning()
{
    qRegisterMetaType<StoredSettings>();
    writeFile(path(), "[General]\nuse_udp=true\n");
    SettingsFile file(path(), [this] { return openSettingsFile(path()); });
    QSignalSpy changed(&file, &SettingsFile::changedOnDisk);
    StoredSettings ours = file.read();
    QVERIFY(ours.comm.use_udp);

    // An editor writes a new file and renames it over the old one.
    const auto edit = [this](const QByteArray &bytes) {
        writeFile(path() + ".swp", bytes);
        QVERIFY(::rename(QFile::encodeName(path() + ".swp"), QFile::encodeName(path())) == 0);
    };
    edit("[General]\nuse_udp=true\nclient_group=239.1.1.1\n");
    QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 2000);
    QCOMPARE(changed.at(0).at(0).value<StoredSettings>().comm.client_group, QStringLiteral("239.1.1.1"));
    QCOMPARE(changed.at(0).at(1).value<StoredSettings>(), ours);

    // Our own write is no edit.
    ours.comm.client_group = "239.1.1.1";
    ours.labels[0] = "Studio";
    file.write(ours);
    QVERIFY(!changed.wait(4 * SettingsFile::kSettleMs));

    // An edit not yet taken when we write (at quit, say) is kept.
    edit("[General]\nuse_udp=true\nclient_group=239.1.1.1\nlabelMeter1=Studio\nlabelMeter2=Edit\n");
    ours.geometry = "moved";
    file.write(ours);
    const StoredSettings onDisk = readFromDisk(path(), scratch());
    QCOMPARE(onDisk.labels[1], QStringLiteral("Edit"));
    QCOMPARE(onDisk.geometry, QByteArray("moved"));
    QTRY_COMPARE(changed.count(), 2);
    QCOMPARE(changed.at(1).at(0).value<StoredSettings>(), onDisk);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
