// The program's own options, and one display per settings store.
#include "commandline.h"
#include "instancelock.h"
#include "commsettings.h"
#include "logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QUdpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kProcessTimeoutMs = 20000;
const QString kProgram = QStringLiteral(LUMORA_PROGRAM);

// A run of the program with private settings and no display at all.
QProcessEnvironment headless(const QTemporaryDir &dir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
    return env;
}

QString storeFile(const QTemporaryDir &dir, const QString &name)
{
    return dir.filePath(QStringLiteral("config/Korvel B.V./") + name);
}

// Waits for the display's start line, which it writes once a stop ends it
// in order; what it wrote to stderr meanwhile goes to err.
bool startedUp(QProcess &program, QString *err = nullptr)
{
    QString seen;
    program.setReadChannel(QProcess::StandardError);
    QDeadlineTimer deadline(kProcessTimeoutMs);
    while (!seen.contains(QLatin1String(" starting: ")) && program.state() != QProcess::NotRunning
           && !deadline.hasExpired()) {
        program.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 100)));
        seen += QString::fromLocal8Bit(program.readAllStandardError());
    }
    if (err)
        *err += seen;
    return seen.contains(QLatin1String(" starting: "));
}

} // namespace

Q_DECLARE_METATYPE(CommSettings)

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void withoutDisplay_data();
    void withoutDisplay();
    void oneCopyPerInstance();
    void staleLockReason_data();
    void staleLockReason();
    void staleLockTakenOver_data();
    void staleLockTakenOver();
    void startLine_data();
    void startLine();
    void startLineTimed_data();
    void startLineTimed();
};

void TestCommandLine::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("action");
    QTest::addColumn<QString>("instance");
    QTest::addColumn<QStringList>("rest");

    const int run = int(CommandLine::Action::Run);
    const int error = int(CommandLine::Action::Error);
    const QString prog = QStringLiteral("lumora-meters");
    QTest::newRow("nothing") << QStringList{prog} << run << "" << QStringList{prog};
    QTest::newRow("stops at the first mistake") << QStringList{prog, "--instance", "../x", "-h"} << error << "" << QStringList{prog};
    QTest::newRow("--version") << QStringList{prog, "--version"} << int(CommandLine::Action::Version) << ""
                               << QStringList{prog};
    QTest::newRow("instance, toolkit options left")
        << QStringList{prog, "-platform", "offscreen", "--instance", "studio-2.b"} << run << "studio-2.b"
        << QStringList{prog, "-platform", "offscreen"};
    QTest::newRow("--instance=NAME") << QStringList{prog, "--instance=wall_2"} << run << "wall_2"
                                     << QStringList{prog};
    QTest::newRow("instance without a name") << QStringList{prog, "--instance"} << error << "" << QStringList{prog};
    QTest::newRow("instance twice") << QStringList{prog, "--instance", "a", "--instance", "b"} << error << "a"
                                    << QStringList{prog};
    QTest::newRow("slash") << QStringList{prog, "--instance", "a/b"} << error << "" << QStringList{prog};
    QTest::newRow("dot first") << QStringList{prog, "--instance", ".."} << error << "" << QStringList{prog};
    QTest::newRow("blank") << QStringList{prog, "--instance", "studio 2"} << error << "" << QStringList{prog};
    QTest::newRow("empty") << QStringList{prog, "--instance="} << error << "" << QStringList{prog};
    QTest::newRow("64 characters") << QStringList{prog, "--instance", QString(64, 'a')} << run << QString(64, 'a')
                                   << QStringList{prog};
    QTest::newRow("65 characters") << QStringList{prog, "--instance", QString(65, 'a')} << error << ""
                                   << QStringList{prog};
    QTest::newRow("name with a newline at its end") << QStringList{prog, "--instance", "abc\n"} << error << ""
                                                    << QStringList{prog};
    QTest::newRow("toolkit options, value joined or not")
        << QStringList{prog, "--platform=offscreen", "-reverse", "-style", "Fusion"} << run << ""
        << QStringList{prog, "--platform=offscreen", "-reverse", "-style", "Fusion"};
    QTest::newRow("unknown option") << QStringList{prog, "--bogus"} << error << "" << QStringList{prog};
    QTest::newRow("a stray word") << QStringList{prog, "studio"} << error << "" << QStringList{prog};
    QTest::newRow("toolkit option without its value") << QStringList{prog, "-platform"} << error << ""
                                                       << QStringList{prog};
}

void TestCommandLine::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, action);
    QFETCH(QString, instance);
    QFETCH(QStringList, rest);

    const CommandLine line = CommandLine::parse(arguments);
    QCOMPARE(int(line.action), action);
    QCOMPARE(line.instance, instance);
    QCOMPARE(line.error.isEmpty(), action != int(CommandLine::Action::Error));
    if (action == int(CommandLine::Action::Run))
        QCOMPARE(line.rest, rest);
}

void TestCommandLine::withoutDisplay_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");

    QTest::newRow("--help") << QStringList{"--help"} << 0 << "Usage: lumora-meters [--instance NAME]" << "";
    QTest::newRow("-h") << QStringList{"-h"} << 0 << "--instance NAME" << "";
    QTest::newRow("--version") << QStringList{"--version"} << 0 << "Lumora Meters 1.9\n" << "";
    QTest::newRow("bad instance") << QStringList{"--instance", "a/b"} << 2 << "" << "invalid instance name";
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << "" << "unknown option \"--bogus\"";
}

// Over ssh there is no display: these answer and exit without the toolkit.
void TestCommandLine::withoutDisplay()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);

    QTemporaryDir dir;
    QProcess program;
    program.setProcessEnvironment(headless(dir));
    program.start(kProgram, arguments);
    QVERIFY(program.waitForFinished(kProcessTimeoutMs));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), exitCode);
    const QString stdOut = QString::fromLocal8Bit(program.readAllStandardOutput());
    const QString stdErr = QString::fromLocal8Bit(program.readAllStandardError());
    QVERIFY2(out.isEmpty() ? stdOut.isEmpty() : stdOut.contains(out), qPrintable(stdOut));
    QVERIFY2(err.isEmpty() ? stdErr.isEmpty() : stdErr.contains(err), qPrintable(stdErr));
}

// Two real copies: the second of the same instance refuses to start, with
// one line that says how to run a second display; another instance runs
// beside the first, each with its own settings file.
void TestCommandLine::oneCopyPerInstance()
{
    QTemporaryDir dir;
    QProcessEnvironment env = headless(dir);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    const QString standardLock = storeFile(dir, QStringLiteral("Lumora Meters.lock"));
    const QString studioLock = storeFile(dir, QStringLiteral("Lumora Meters-studio2.lock"));

    QProcess first;
    first.setProcessEnvironment(env);
    first.start(kProgram, QStringList());
    QVERIFY(startedUp(first));
    QVERIFY(QFile::exists(standardLock));

    QProcess second;
    second.setProcessEnvironment(env);
    second.start(kProgram, QStringList());
    QVERIFY(second.waitForFinished(kProcessTimeoutMs));
    QCOMPARE(second.exitCode(), 2);
    const QStringList lines = QString::fromLocal8Bit(second.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(QStringLiteral("already running"))
                 && lines.first().contains(QStringLiteral("--instance NAME")),
             qPrintable(lines.first()));

    QProcess other;
    other.setProcessEnvironment(env);
    other.start(kProgram, {QStringLiteral("--instance"), QStringLiteral("studio2")});
    QVERIFY(startedUp(other));
    QVERIFY(QFile::exists(studioLock));
    QCOMPARE(first.state(), QProcess::Running);

    for (QProcess *running : {&first, &other}) {
        running->terminate();
        QVERIFY(running->waitForFinished(kProcessTimeoutMs));
        QCOMPARE(running->exitCode(), 0);
    }
    QVERIFY(QFile::exists(storeFile(dir, QStringLiteral("Lumora Meters.conf"))));
    QVERIFY(QFile::exists(storeFile(dir, QStringLiteral("Lumora Meters-studio2.conf"))));
    QVERIFY(!QFile::exists(standardLock));
    QVERIFY(!QFile::exists(studioLock));
}

void TestCommandLine::staleLockReason_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("stale");

    const LockHolder self{1234, QStringLiteral("lumora-meters"), QStringLiteral("studio-pc"), "m1", "b1"};
    QTest::newRow("a live copy here") << QByteArray("4242\nlumora-meters\nstudio-pc\nm1\nb1\n") << false;
    QTest::newRow("older lock: pid, program, host") << QByteArray("4242\nlumora-meters\nstudio-pc\n") << false;
    QTest::newRow("no host written") << QByteArray("4242\nlumora-meters\n\n") << false;
    QTest::newRow("our own pid") << QByteArray("1234\nlumora-meters\nstudio-pc\nm1\nb1\n") << true;
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("pid 0") << QByteArray("0\nlumora-meters\nstudio-pc\n") << true;
    QTest::newRow("garbage") << QByteArray("\x01\x02 not a pid") << true;
    QTest::newRow("another host") << QByteArray("4242\nlumora-meters\nold-pc\nm1\nb1\n") << true;
    QTest::newRow("a cloned disk's machine id") << QByteArray("4242\nlumora-meters\nstudio-pc\nm2\nb1\n") << true;
    QTest::newRow("an earlier boot") << QByteArray("4242\nlumora-meters\nstudio-pc\nm1\nb0\n") << true;
}

void TestCommandLine::staleLockReason()
{
    QFETCH(QByteArray, contents);
    QFETCH(bool, stale);
    const LockHolder self{1234, QStringLiteral("lumora-meters"), QStringLiteral("studio-pc"), "m1", "b1"};
    QCOMPARE(!::staleLockReason(parseLockFile(contents), self).isEmpty(), stale);
}

// Locks that no running copy holds, written by the test where a real copy
// would find them at its start; the copy takes them over and runs.
void TestCommandLine::staleLockTakenOver_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("inContainer");

    const LockHolder self = thisProcess();
    const QByteArray tail = "\n" + self.machineId + "\n" + self.bootId + "\n";
    QTest::newRow("empty lock file") << QByteArray() << false;
    QTest::newRow("another machine's")
        << QByteArray("4242\nlumora-meters\nold-studio-pc\n0123456789abcdef\nfedcba9876543210\n") << false;
    // In a PID namespace the display is process 1 again after a kill.
    QTest::newRow("own pid in a container")
        << ("1\nlumora-meters\n" + self.host.toUtf8() + tail) << true;
}

void TestCommandLine::staleLockTakenOver()
{
    QFETCH(QByteArray, contents);
    QFETCH(bool, inContainer);

    QTemporaryDir dir;
    QProcessEnvironment env = headless(dir);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    const QString lockFile = storeFile(dir, QStringLiteral("Lumora Meters.lock"));
    QVERIFY(QDir().mkpath(QFileInfo(lockFile).path()));
    QFile lock(lockFile);
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write(contents);
    lock.close();

    QProcess program;
    program.setProcessEnvironment(env);
    if (inContainer)
        program.start(QStringLiteral("unshare"), {QStringLiteral("--pid"), QStringLiteral("--fork"),
                                                  QStringLiteral("--mount-proc"),
                                                  QStringLiteral("--kill-child=SIGTERM"), kProgram});
    else
        program.start(kProgram, QStringList());
    QVERIFY(program.waitForStarted(kProcessTimeoutMs));
    QString err;
    const bool started = startedUp(program, &err);
    if (inContainer && program.state() == QProcess::NotRunning && err.contains(QStringLiteral("unshare")))
        QSKIP(qPrintable(QStringLiteral("no PID namespace here: ") + err.trimmed()));
    QVERIFY2(started && err.contains(QStringLiteral("taking over the lock")), qPrintable(err));
    // unshare waits out a SIGTERM; its end sends the display one.
    if (inContainer)
        program.kill();
    else
        program.terminate();
    QVERIFY(program.waitForFinished(kProcessTimeoutMs));
    if (!inContainer)
        QCOMPARE(program.exitCode(), 0);
    QTRY_VERIFY(!QFile::exists(lockFile));
}

void TestCommandLine::startLine_data()
{
    QTest::addColumn<QString>("instance");
    QTest::addColumn<CommSettings>("link");
    QTest::addColumn<QString>("told");

    // A UDP link on port 5000 with serial port ttyUSB0; host and where: the
    // server's address and destination, or the client's host and group.
    const auto udp = [](bool server, const QString &host, const QString &where) {
        CommSettings s;
        s.use_udp = true;
        s.is_server = server;
        s.serialport = QStringLiteral("ttyUSB0");
        s.server_port = s.client_port = QStringLiteral("5000");
        (server ? s.server_host : s.client_host) = host;
        (server ? s.server_destination : s.client_group) = where;
        return s;
    };
    CommSettings serial = udp(false, QString(), QString());
    serial.use_udp = false;
    CommSettings longName;
    longName.serialport = QString(300, QLatin1Char('x'));

    QTest::newRow("serial") << "" << serial << "instance default, serial port ttyUSB0";
    QTest::newRow("no port yet") << "" << CommSettings() << "instance default, no serial port chosen";
    QTest::newRow("server") << "studio2" << udp(true, "10.10.1.10", "")
                            << "instance studio2, serial port ttyUSB0, UDP server from 10.10.1.10 to 255.255.255.255 port 5000";
    QTest::newRow("server to a group") << "" << udp(true, "10.10.1.10", "239.1.2.3")
                                       << "instance default, serial port ttyUSB0, UDP server from 10.10.1.10 to 239.1.2.3 port 5000";
    QTest::newRow("client") << "" << udp(false, "10.10.1.10", "") << "instance default, UDP client on port 5000 from 10.10.1.10";
    QTest::newRow("client of a group, any host")
        << "" << udp(false, "", "239.1.2.3") << "instance default, UDP client on port 5000 in group 239.1.2.3 from any host";
    CommSettings noPort = udp(false, "10.10.1.10", "");
    noPort.client_port = QStringLiteral(" ");
    QTest::newRow("client without a port") << "" << noPort
                                           << "instance default, UDP client on no port (client_port is empty) from 10.10.1.10";
    CommSettings forging = serial;
    forging.serialport = QStringLiteral("ttyUSB0\n2026-12-09 lumora.app info: quit\x1b[2J");
    QTest::newRow("port name cannot forge a line")
        << "" << forging << "instance default, serial port ttyUSB0\\x0a2026-12-09 lumora.app info: quit\\x1b[2J";
    QTest::newRow("long port name cut")
        << "" << longName
        << QStringLiteral("instance default, serial port %1... (300 characters)").arg(QString(200, QLatin1Char('x')));
}

void TestCommandLine::startLine()
{
    QFETCH(QString, instance);
    QFETCH(CommSettings, link);
    QFETCH(QString, told);
    QCOMPARE(::startLine(instance, link), CommandLine::versionText() + QStringLiteral(" starting: ") + told);
}

void TestCommandLine::startLineTimed_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("first");

    QTest::newRow("time by default")
        << "" << R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} lumora\.app: Lumora Meters [\d.]+ starting: )"
                 R"(instance default, UDP client on port \d+ from 10\.10\.1\.10$)";
    QTest::newRow("QT_MESSAGE_PATTERN wins") << "%{message}" << R"(^Lumora Meters [\d.]+ starting: )"
                                                 R"(instance default, UDP client on port \d+ from 10\.10\.1\.10$)";
}

// The first line of a real start, from the stored settings.
void TestCommandLine::startLineTimed()
{
    QFETCH(QString, pattern);
    QFETCH(QString, first);

    QTemporaryDir dir;
    QProcessEnvironment env = headless(dir);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (pattern.isEmpty())
        env.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    else
        env.insert(QStringLiteral("QT_MESSAGE_PATTERN"), pattern);
    QUdpSocket free;
    QVERIFY(free.bind(QHostAddress(QHostAddress::LocalHost), 0));
    {
        QSettings store(storeFile(dir, QStringLiteral("Lumora Meters.conf")), QSettings::NativeFormat);
        store.setValue(QStringLiteral("use_udp"), true);
        store.setValue(QStringLiteral("client_host"), QStringLiteral("10.10.1.10"));
        store.setValue(QStringLiteral("client_port"), QString::number(free.localPort()));
    }
    free.close();

    QProcess program;
    program.setProcessEnvironment(env);
    program.start(kProgram, QStringList());
    QString err;
    QTRY_VERIFY_WITH_TIMEOUT((err += QString::fromLocal8Bit(program.readAllStandardError())).contains(QLatin1String("starting")),
                             kProcessTimeoutMs);
    program.terminate();
    QVERIFY(program.waitForFinished(kProcessTimeoutMs));
    QStringList lines = err.split(QLatin1Char('\n'));
    lines = lines.filter(QStringLiteral("starting"));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(QRegularExpression(first).match(lines.first()).hasMatch(), qPrintable(lines.first()));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
