#include <QApplication>
#include <QTimer>

#include "logging.h"

#include "mainwindow.h"
#include "signalquit.h"

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication app(argc, argv);
    // Lets Wayland desktops match the window to the installed menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("nl.korvel.LumoraMeters"));
    // A logout or a service stop sends SIGTERM: end the event loop so the
    // window is destroyed in order and the settings are written.
    SignalQuit::install(&app);
    MainWindow window;
    window.show();
    QTimer::singleShot(0, &app, [] { qCDebug(lcApp) << "running"; });
    return app.exec();
}
