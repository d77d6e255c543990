#include <QApplication>
#include <QTimer>

#include "logging.h"

#include "mainwindow.h"
#include "paintcounter.h"
#include "signalquit.h"

int main(int argc, char *argv[])
{
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
    QApplication app(argc, argv);
    // These select the settings store; everything else reads them from here.
    QCoreApplication::setOrganizationName(QStringLiteral("Korvel B.V."));
    QCoreApplication::setOrganizationDomain(QStringLiteral("korvel.nl"));
    QCoreApplication::setApplicationName(QStringLiteral("Lumora Meters"));
    // Lets Wayland desktops match the window to the installed menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("nl.korvel.LumoraMeters"));
    // A logout or a service stop sends SIGTERM: end the event loop so the
    // window is destroyed in order and the settings are written.
    SignalQuit::install(&app);
    MainWindow window;
    // Off unless lumora.perf debug output is switched on for a measurement.
    PaintCounter::attachIfEnabled(&window);
    window.show();
    QTimer::singleShot(0, &app, [] { qCDebug(lcApp) << "running"; });
    return app.exec();
}
