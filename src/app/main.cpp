#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSettings>
#include <QTimer>

#include <cstdio>
#include <vector>

#include "commandline.h"
#include "instancelock.h"
#include "logging.h"
#include "mainwindow.h"
#include "paintcounter.h"
#include "programlogging.h"
#include "servicenotify.h"
#include "settingsstore.h"
#include "signalquit.h"

namespace {

constexpr int kExitUsage = 2;

// The lock sits beside the display's settings file: one copy per store, so
// two copies never overwrite each other's settings, and every private
// settings folder (tests, demos) has its own.
QString lockPath()
{
    const QFileInfo settings(userSettingsPath());
    return settings.path() + QLatin1Char('/') + settings.completeBaseName() + QStringLiteral(".lock");
}

} // namespace

int main(int argc, char *argv[])
{
    // A stop before the window exists ends the program at once and gives
    // back the lock; from SignalQuit::install() on, it ends in order.
    SignalQuit::stopEarlyUntilInstalled();
    setTimedMessagePattern();
    // Our own options first: --help and --version need no display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine line = CommandLine::parse(arguments);
    switch (line.action) {
    case CommandLine::Action::Help:
        std::fputs(qPrintable(CommandLine::helpText()), stdout);
        return 0;
    case CommandLine::Action::Version:
        std::printf("%s\n", qPrintable(CommandLine::versionText()));
        return 0;
    case CommandLine::Action::Error:
        std::fprintf(stderr, "lumora-meters: %s (see lumora-meters --help)\n", qPrintable(line.error));
        return kExitUsage;
    case CommandLine::Action::Run:
        break;
    }

    // These select the settings store and its lock; everything else reads
    // them from the application.
    QCoreApplication::setOrganizationName(QStringLiteral("Korvel B.V."));
    QCoreApplication::setOrganizationDomain(QStringLiteral("korvel.nl"));
    QCoreApplication::setApplicationName(QStringLiteral("Lumora Meters"));
    setSettingsInstance(line.instance);
    const QString lockFile = lockPath();
    QDir().mkpath(QFileInfo(lockFile).path());
    QLockFile lock(lockFile);
    lock.setStaleLockTime(0);  // only a copy that is gone leaves a stale lock
    bool locked = lock.tryLock(0);
    if (!locked && lock.error() == QLockFile::LockFailedError) {
        // The toolkit leaves alone what it cannot prove dead; some of that
        // cannot be alive either, and must not keep the wall dark.
        QFile held(lockFile);
        const std::optional<LockHolder> holder =
            held.open(QIODevice::ReadOnly) ? parseLockFile(held.read(4096)) : std::nullopt;
        const QString stale = staleLockReason(holder, thisProcess());
        if (!stale.isEmpty()) {
            qCInfo(lcApp).noquote() << "taking over the lock" << lockFile << "of no running copy:" << stale;
            lock.removeStaleLockFile();
            locked = lock.tryLock(0);
        }
    }
    if (locked) {
        // A path too long to keep is longer than any that could be locked.
        [[maybe_unused]] const bool kept = SignalQuit::removeOnEarlyStop(QFile::encodeName(lockFile).constData());
    }
    if (!locked) {
        if (lock.error() == QLockFile::LockFailedError) {
            qint64 pid = 0;
            QString host, application;
            lock.getLockInfo(&pid, &host, &application);
            const QString which = line.instance.isEmpty()
                ? QStringLiteral("Lumora Meters is already running")
                : QStringLiteral("instance \"%1\" is already running").arg(line.instance);
            std::fprintf(stderr,
                         "lumora-meters: %s (process %lld); to run a second display on this PC, "
                         "give it its own name: lumora-meters --instance NAME\n",
                         qPrintable(which), static_cast<long long>(pid));
            return kExitUsage;
        }
        // Better a display on the wall than none: carry on without the lock.
        std::fprintf(stderr, "lumora-meters: warning: cannot create %s; not guarding against a second copy\n",
                     qPrintable(lockFile));
    }

    // The toolkit gets the rest of the line.
    std::vector<QByteArray> restBytes;
    std::vector<char *> restArgv;
    for (const QString &arg : line.rest)
        restBytes.push_back(arg.toLocal8Bit());
    for (QByteArray &bytes : restBytes)
        restArgv.push_back(bytes.data());
    restArgv.push_back(nullptr);
    int restArgc = int(restBytes.size());

    // The screen is painted in software only. Without this the X11 platform
    // loads OpenGL to probe it, and with a software GL driver that alone
    // costs some 45 MB of memory. A value set by the user still wins.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    // The meters send the X server a few changed rows a hundred times a
    // second. Through shared memory each of those flushes waits for the
    // server to finish with the segment, an extra wake-up every time; sent
    // over the socket they cost about a third less CPU (measured under Xvfb,
    // see docs/PERFORMANCE.md), for some 2 MB more memory.
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM"))
        qputenv("QT_XCB_NO_MITSHM", "1");
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication app(restArgc, restArgv.data());
    // Whatever the toolkit did not take is a mistake on the command line.
    if (app.arguments().size() > 1) {
        std::fprintf(stderr, "lumora-meters: unknown option \"%s\" (see lumora-meters --help)\n",
                     qPrintable(app.arguments().at(1)));
        return kExitUsage;
    }
    // Lets Wayland desktops match the window to the installed menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("nl.korvel.LumoraMeters"));
    // A logout or a service stop sends SIGTERM: end the event loop so the
    // window is destroyed in order and the settings are written.
    SignalQuit::install(&app);
    qCInfo(lcApp).noquote() << startLine(line.instance, readStored(*openUserSettings()).comm);
    MainWindow window;
    // Off unless lumora.perf debug output is switched on for a measurement.
    PaintCounter::attachIfEnabled(&window);
    // Under systemd: ready once the wall shows something, then the watchdog.
    ServiceNotify service;
    service.readyAfterFirstPaint(&window);
    window.show();
    QTimer::singleShot(0, &app, [] { qCDebug(lcApp) << "running"; });
    return app.exec();
}
