#include "signalquit.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <pthread.h>
#include <memory>

// A logout or a service stop must end the event loop in order, so the
// window's destructor still stores the settings.
class TestSignalQuit : public QObject
{
    Q_OBJECT

private slots:
    void signalEndsEventLoop_data();
    void signalEndsEventLoop();
    void signalBeforeEventLoop();
    void signalHeldUntilInstalled();
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

// A stop while the program still starts, before there is a handler, is
// held back and then ends the event loop in order; the mask is as before.
void TestSignalQuit::signalHeldUntilInstalled()
{
    sigset_t before;
    QCOMPARE(::pthread_sigmask(SIG_SETMASK, nullptr, &before), 0);
    QVERIFY(!sigismember(&before, SIGTERM));
    SignalQuit::holdUntilInstalled();
    ::raise(SIGTERM);  // fatal here, were it not held
    sigset_t pending;
    QCOMPARE(::sigpending(&pending), 0);
    QVERIFY(sigismember(&pending, SIGTERM));

    QObject owner;
    SignalQuit *quit = SignalQuit::install(&owner);
    QVERIFY(quit);
    QSignalSpy received(quit, &SignalQuit::received);
    QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(received.count(), 1);
    sigset_t after;
    QCOMPARE(::pthread_sigmask(SIG_SETMASK, nullptr, &after), 0);
    for (const int sig : SignalQuit::kSignals)
        QCOMPARE(bool(sigismember(&after, sig)), bool(sigismember(&before, sig)));
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
