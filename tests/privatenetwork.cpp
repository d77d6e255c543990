#include "privatenetwork.h"

#include <QNetworkInterface>
#include <QProcess>
#include <QtTest>

namespace PrivateNetwork {

bool inside()
{
    return qEnvironmentVariableIsSet(kVariable);
}

bool onlyLoopback()
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &i : interfaces)
        if (!(i.flags() & QNetworkInterface::IsLoopBack))
            return false;
    return !interfaces.isEmpty();
}

void run(const QObject *test, const char *function)
{
    const QString tag = QLatin1String(QTest::currentDataTag());
    const QString which = tag.isEmpty() ? QLatin1String(function)
                                        : QStringLiteral("%1:%2").arg(QLatin1String(function), tag);
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QLatin1String(kVariable), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.start(QStringLiteral("unshare"),
                {QStringLiteral("-n"), QStringLiteral("sh"), QStringLiteral("-c"),
                 QStringLiteral("ip link set lo up && ip link set lo multicast on"
                                " && ip route add 255.255.255.255/32 dev lo && ip route add 224.0.0.0/4 dev lo"
                                " && exec \"$0\" \"$@\""),
                 QCoreApplication::applicationFilePath(), which});
    if (!child.waitForStarted())
        QSKIP("unshare is not available here");
    if (!child.waitForFinished(kChildTimeoutMs)) {
        child.kill();
        child.waitForFinished();
        QFAIL("the test in the private network did not finish");
    }
    const QString out = QString::fromLocal8Bit(child.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(child.readAllStandardError());
    if (!out.contains(QLatin1String("Start testing")))
        QSKIP(qPrintable(QStringLiteral("no private network namespace here: %1").arg(err.trimmed())));
    const QString row = QStringLiteral("%1::%2(%3)")
                            .arg(QLatin1String(test->metaObject()->className()), QLatin1String(function), tag);
    const int skipped = out.indexOf(QStringLiteral("SKIP   : ") + row);
    if (skipped >= 0 && child.exitCode() == 0)
        QSKIP(qPrintable(out.mid(skipped).section(QLatin1Char('\n'), 0, 0)));
    const QString passed = QStringLiteral("PASS   : ") + row;
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0 || !out.contains(passed))
        QFAIL(qPrintable(QStringLiteral("in the private network:\n%1%2").arg(out, err)));
    // Figures the copy printed are worth keeping in this run's log.
    for (const QString &line : out.split(QLatin1Char('\n')))
        if (line.startsWith(QLatin1String("QINFO")))
            qInfo("in the private network: %s", qPrintable(line.section(QLatin1String(") "), 1)));
}

} // namespace PrivateNetwork
