#pragma once

// What the end-to-end benchmarks share: a console cable (a pseudo-terminal
// whose master side plays the console), a private settings folder written
// for the run, and the program started on it. Used on the display in
// $DISPLAY (an Xvfb of the benchmark script).

#include "ptypair.h"
#include "settingsstore.h"

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <QWidget>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <cstdint>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace ProgramRun {

inline std::int64_t nowNs()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

inline void sleepUntilNs(std::int64_t at)
{
    timespec t{};
    t.tv_sec = time_t(at / 1000000000);
    t.tv_nsec = long(at % 1000000000);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

// The console's end: raw, so the line discipline changes no byte; writes
// wait for the program to read.
struct Cable
{
    PtyPair pty;

    bool open() { return pty.open(false); }
    const char *path() const { return pty.slavePath().c_str(); }
    bool write(const std::uint8_t *bytes, std::size_t size) const { return pty.write(bytes, size); }
};

// Writes the program's settings into a private XDG_CONFIG_HOME (set for
// this process, so the child inherits it), with the window at 0,0 in the
// design size.
inline bool writeSettings(const QTemporaryDir &config, CommSettings comm, int width, int height)
{
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QCoreApplication::setOrganizationName(QStringLiteral("Korvel B.V."));
    QCoreApplication::setApplicationName(QStringLiteral("Lumora Meters"));
    QWidget window;
    window.setGeometry(0, 0, width, height);
    StoredSettings stored;
    stored.comm = std::move(comm);
    stored.geometry = window.saveGeometry();
    const std::unique_ptr<QSettings> settings = openUserSettings();
    writeStored(*settings, stored);
    settings->sync();
    return settings->status() == QSettings::NoError;
}

inline pid_t start(const char *program)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0)
            ::dup2(null, STDERR_FILENO);
        ::execl(program, program, static_cast<char *>(nullptr));
        ::_exit(127);
    }
    return pid;
}

inline void stop(pid_t pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

// The word for a level in dB, as the console sends it.
inline std::uint16_t wordAt(double db)
{
    return std::uint16_t(std::lround((db + 50.0) * 1000.0));
}

} // namespace ProgramRun
