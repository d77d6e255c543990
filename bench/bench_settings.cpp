// Writes the settings a measurement run starts from: the serial port to read
// and the window placed at 0,0 with the given size. Run it on the display the
// program will use (the saved geometry records that screen), with
// XDG_CONFIG_HOME pointing at the run's private folder.
//   lumora-bench-settings SERIALPORT WIDTH HEIGHT

#include "settingsstore.h"

#include <QApplication>
#include <QSettings>
#include <QWidget>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The program's own names: they select the store it reads.
    QCoreApplication::setOrganizationName(QStringLiteral("Korvel B.V."));
    QCoreApplication::setApplicationName(QStringLiteral("Lumora Meters"));
    const QStringList args = app.arguments();
    bool okW = false;
    bool okH = false;
    const int width = args.value(2).toInt(&okW);
    const int height = args.value(3).toInt(&okH);
    if (args.size() != 4 || !okW || !okH || width <= 0 || height <= 0) {
        std::fprintf(stderr, "usage: lumora-bench-settings SERIALPORT WIDTH HEIGHT\n");
        return 2;
    }
    QWidget window;
    window.setGeometry(0, 0, width, height);

    StoredSettings stored;
    stored.comm.serialport = args.at(1);
    stored.geometry = window.saveGeometry();
    const std::unique_ptr<QSettings> settings = openUserSettings();
    writeStored(*settings, stored);
    return settings->status() == QSettings::NoError ? 0 : 1;
}
