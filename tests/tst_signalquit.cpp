#include "signalquit.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>

// A logout or a service stop must end the event loop in order, so the
// window's destructor still stores the settings.
class TestSignalQuit : public QObject
{
    Q_OBJECT

private slots:
    void signalEndsEventLoop_data();
    void signalEndsEventLoop();
    void signalBeforeEventLoop();
    void earlyStop_data();
    void earlyStop();
    void handlersRestored();
    void inheritedIgnoreKept_data();
    void inheritedIgnoreKept();
    void oneInstanceAtATime();
};

// -- orderly shutdown on signals

void TestSignalQuit::signalEndsEventLoop_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM logout or service stop") << SIGTERM;
    QTest::newRow("SIGINT Ctrl+C in a terminal") << SIGINT;
    QTest::newRow("SIGHUP terminal closed") << SIGHUP;
}

void TestSignalQuit::signalEndsEventLoop()
{
    QFETCH(int, signalNumber);
    QObject owner;
    SignalQuit *quit = SignalQuit::install(&owner);
    QVERIFY(quit);
    QSignalSpy received(quit, &SignalQuit::received);
    QTimer::singleShot(0, [signalNumber] { ::raise(signalNumber); });
    // A guard, not a pause: ends the loop with another code if nothing comes.
    QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(received.count(), 1);
    QCOMPARE(received.at(0).at(0).toInt(), signalNumber);
}

void TestSignalQuit::signalBeforeEventLoop()
{
    // A stop during start-up, before the event loop runs, ends it at once.
    QObject owner;
    SignalQuit *quit = SignalQuit::install(&owner);
    QVERIFY(quit);
    QSignalSpy received(quit, &SignalQuit::received);
    ::raise(SIGTERM);
    ::raise(SIGTERM);
    QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(received.count(), 2);
}

// A stop while the program still starts, before the event loop can end it
// in order, ends it at once with 0 and removes its lock; an ignored hang-up
// stays ignored. Run in a child, as the stop ends the process.
void TestSignalQuit::earlyStop_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("ignoredBefore");
    QTest::addColumn<bool>("lockOwned");
    QTest::addColumn<int>("status");   // -1: still running
    QTest::addColumn<bool>("lockLeft");

    QTest::newRow("SIGTERM, lock ours") << int(SIGTERM) << false << true << 0 << false;
    QTest::newRow("SIGTERM before the lock") << int(SIGTERM) << false << false << 0 << true;
    QTest::newRow("SIGINT") << int(SIGINT) << false << true << 0 << false;
    QTest::newRow("SIGHUP under nohup") << int(SIGHUP) << true << true << -1 << true;
}

void TestSignalQuit::earlyStop()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, ignoredBefore);
    QFETCH(bool, lockOwned);
    QFETCH(int, status);
    QFETCH(bool, lockLeft);

    QTemporaryDir dir;
    const QByteArray lock = QFile::encodeName(dir.filePath(QStringLiteral("display.lock")));
    QFile file(QString::fromLocal8Bit(lock));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // Only calls that are safe after a fork from a threaded process.
        if (ignoredBefore)
            ::signal(signalNumber, SIG_IGN);
        SignalQuit::stopEarlyUntilInstalled();
        if (lockOwned && !SignalQuit::removeOnEarlyStop(lock.constData()))
            ::_exit(3);
        ::raise(signalNumber);
        ::_exit(42);  // it let the program run on
    }
    int wstatus = 0;
    QCOMPARE(::waitpid(child, &wstatus, 0), child);
    QVERIFY2(WIFEXITED(wstatus), qPrintable(QStringLiteral("ended by signal %1").arg(WTERMSIG(wstatus))));
    QCOMPARE(WEXITSTATUS(wstatus), status < 0 ? 42 : status);
    QCOMPARE(QFile::exists(file.fileName()), lockLeft);
}

void TestSignalQuit::handlersRestored()
{
    std::array<struct sigaction, 3> before {};
    for (size_t i = 0; i < before.size(); ++i)
        QCOMPARE(::sigaction(SignalQuit::kSignals[i], nullptr, &before[i]), 0);
    {
        QObject owner;
        QVERIFY(SignalQuit::install(&owner));
        struct sigaction now {};
        ::sigaction(SIGTERM, nullptr, &now);
        QVERIFY(now.sa_handler != before[0].sa_handler);
        ::sigaction(SIGPIPE, nullptr, &now);
        QVERIFY(now.sa_handler == SIG_IGN);  // a log reader gone is no reason to die
    }
    for (size_t i = 0; i < before.size(); ++i) {
        struct sigaction after {};
        QCOMPARE(::sigaction(SignalQuit::kSignals[i], nullptr, &after), 0);
        QVERIFY(after.sa_handler == before[i].sa_handler);
    }
}

void TestSignalQuit::inheritedIgnoreKept_data()
{
    QTest::addColumn<int>("ignored");
    QTest::newRow("SIGHUP under nohup") << SIGHUP;
    QTest::newRow("SIGINT in a background job") << SIGINT;
}

// A signal ignored at start stays ignored; a stop still quits.
void TestSignalQuit::inheritedIgnoreKept()
{
    QFETCH(int, ignored);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction before {};
    QCOMPARE(::sigaction(ignored, &ignore, &before), 0);
    {
        QObject owner;
        SignalQuit *quit = SignalQuit::install(&owner);
        QVERIFY(quit);
        QSignalSpy received(quit, &SignalQuit::received);
        QTimer::singleShot(0, [ignored] {
            ::raise(ignored);
            ::raise(SIGTERM);
        });
        QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(received.count(), 1);
        QCOMPARE(received.at(0).at(0).toInt(), int(SIGTERM));
    }
    ::sigaction(ignored, &before, nullptr);
}

void TestSignalQuit::oneInstanceAtATime()
{
    auto first = std::make_unique<QObject>();
    QVERIFY(SignalQuit::install(first.get()));
    QObject other;
    QVERIFY(!SignalQuit::install(&other));
    first.reset();
    QVERIFY(SignalQuit::install(&other));
}

QTEST_GUILESS_MAIN(TestSignalQuit)
#include "tst_signalquit.moc"
