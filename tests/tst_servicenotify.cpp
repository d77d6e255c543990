// The display and the relay under a service manager: READY=1 once, then the
// watchdog at half its limit, from a real notification socket.
#include <QElapsedTimer>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "linktestsupport.h"

namespace {

constexpr int kStartTimeoutMs = 20000;
// WATCHDOG_USEC as the test's unit sets it: a ping is due every 200 ms.
constexpr int kWatchdogUsec = 400000;
constexpr int kPingMs = kWatchdogUsec / 2000;

// The service manager's end: a datagram socket in a temporary folder.
class NotifySocket
{
public:
    explicit NotifySocket(const QString &path)
        : m_path(path)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = path.toLocal8Bit();
        if (size_t(name.size()) >= sizeof(address.sun_path))
            return;
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            return;
        m_notifier.reset(new QSocketNotifier(m_fd, QSocketNotifier::Read));
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { drain(); });
    }
    ~NotifySocket()
    {
        m_notifier.reset();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    bool isBound() const { return bool(m_notifier); }
    QString path() const { return m_path; }
    int count(const QByteArray &line) const { return m_messages.count(line); }
    QString log() const { return QString::fromLatin1(m_messages.join(" | ")); }

private:
    void drain()
    {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(m_fd, buffer, sizeof buffer, 0)) >= 0) {
            for (const QByteArray &line : QByteArray(buffer, int(n)).split('\n'))
                if (!line.isEmpty())
                    m_messages << line;
        }
    }

    QString m_path;
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QList<QByteArray> m_messages;
};

} // namespace

class TestServiceNotify : public QObject
{
    Q_OBJECT

private slots:
    void readyOnceThenWatchdog_data();
    void readyOnceThenWatchdog();
};

void TestServiceNotify::readyOnceThenWatchdog_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");   // "{serial}" stands for the console's pty

    QTest::newRow("display") << QStringLiteral(LUMORA_PROGRAM) << QStringList();
    QTest::newRow("relay") << QStringLiteral(LUMORA_RELAY)
                           << QStringList{"--serial", "{serial}", "--interface", "127.0.0.1",
                                          "--port", "5000", "--destination", "127.0.0.1"};
}

void TestServiceNotify::readyOnceThenWatchdog()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QTemporaryDir dir;
    NotifySocket manager(dir.filePath(QStringLiteral("notify")));
    QVERIFY(manager.isBound());
    LinkTest::Pty console;
    QVERIFY(console.open());
    arguments.replaceInStrings(QStringLiteral("{serial}"), console.slavePath());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
    env.insert(QStringLiteral("NOTIFY_SOCKET"), manager.path());
    env.insert(QStringLiteral("WATCHDOG_USEC"), QString::number(kWatchdogUsec));
    env.remove(QStringLiteral("WATCHDOG_PID"));   // when set, it must name the program itself
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    QTRY_VERIFY2_WITH_TIMEOUT(manager.count("READY=1") == 1, qPrintable(manager.log()), kStartTimeoutMs);

    // At least three pings in ten intervals, and not faster than the pace.
    const int before = manager.count("WATCHDOG=1");
    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY2_WITH_TIMEOUT(manager.count("WATCHDOG=1") >= before + 3, qPrintable(manager.log()), 10 * kPingMs);
    QVERIFY2(clock.elapsed() >= 2 * kPingMs * 9 / 10, qPrintable(QString::number(clock.elapsed())));

    process.terminate();
    QVERIFY(process.waitForFinished(kStartTimeoutMs));
    QCOMPARE(process.exitCode(), 0);
    QTRY_COMPARE(manager.count("STOPPING=1"), 1);
    QCOMPARE(manager.count("READY=1"), 1);
}

QTEST_GUILESS_MAIN(TestServiceNotify)
#include "tst_servicenotify.moc"
