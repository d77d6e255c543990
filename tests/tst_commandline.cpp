// The program's own options, and one display per settings store.
#include "commandline.h"

#include <QFile>
#include <QProcess>
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

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void withoutDisplay_data();
    void withoutDisplay();
    void oneCopyPerInstance();
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
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(standardLock), kProcessTimeoutMs);

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
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(studioLock), kProcessTimeoutMs);
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

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
