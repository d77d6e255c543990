// Renders the main window, fed a fixed set of meter packets over loopback UDP
// at a fixed clock time, at 986 x 580 and 1920 x 1080, into PNG files. Given a
// folder of earlier renderings it compares them pixel for pixel instead.
// scripts/same-screen builds this at two commits and compares the two.
//
//   samescreen OUTDIR [REFERENCEDIR]
#include <QApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QHostAddress>
#include <QImage>
#include <QSettings>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <cstdio>
#include <memory>

#include "mainwindow.h"
#include "meterpacket.h"
#include "settingsstore.h"
#include "teskanalogclock.h"
#include "teskdigitalclock.h"
#include "teskppmmeter.h"

namespace {

const char *const kMeters[] = {"ProgLeft", "ProgRight", "SubLeft", "SubRight", "CrmLeft", "CrmRight"};

QImage render(const QSize &size, quint16 port)
{
    MainWindow window;
    const QDateTime at(QDate(2024, 3, 14), QTime(10, 9, 26));
    auto *analog = window.findChild<TeskAnalogClock *>(QStringLiteral("AnalogClock"));
    auto *digital = window.findChild<TeskDigitalClock *>(QStringLiteral("DigitalClock"));
    analog->setTimeSource([at] { return at; });
    digital->setTimeSource([at] { return at; });
    analog->checkTime();
    digital->checkTime();
    window.resize(size);
    window.show();

    // Distinct levels, one of them above the top of the scale.
    const MeterPacket::Bytes bytes = MeterPacket::encode({44000, 50000, 30000, 38000, 58000, 12345});
    const MeterPacket::Levels levels = MeterPacket::decode(bytes.data());
    QUdpSocket console;
    console.bind(QHostAddress(QHostAddress::LocalHost), 0);
    const auto settled = [&] {
        for (int i = 0; i < 6; ++i) {
            auto *meter = window.findChild<TeskPPMMeter *>(QString::fromLatin1(kMeters[i]));
            if (meter->dBPosition() != std::min(levels[i], meter->MaxdBPosition()))
                return false;
        }
        return true;
    };
    const QDeadlineTimer deadline(10000);
    while (!settled() && !deadline.hasExpired()) {
        console.writeDatagram(reinterpret_cast<const char *>(bytes.data()), qint64(bytes.size()),
                              QHostAddress::LocalHost, port);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    if (!settled())
        std::fprintf(stderr, "meters did not settle\n");
    // Lays out and paints everything that is pending.
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
    return window.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    QCoreApplication::setOrganizationName(QStringLiteral("Korvel B.V."));
    QCoreApplication::setOrganizationDomain(QStringLiteral("korvel.nl"));
    QCoreApplication::setApplicationName(QStringLiteral("Lumora Meters"));
    if (argc < 2) {
        std::fprintf(stderr, "usage: samescreen OUTDIR [REFERENCEDIR]\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QString reference = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    QDir().mkpath(out);

    // A free loopback port for the client link.
    quint16 port = 0;
    {
        QUdpSocket probe;
        probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
        port = probe.localPort();
    }
    StoredSettings stored;
    stored.comm.use_udp = true;
    stored.comm.client_host = QStringLiteral("127.0.0.1");
    stored.comm.client_port = QString::number(port);
    writeStored(*openUserSettings(), stored);

    int differing = 0;
    for (const QSize size : {QSize(986, 580), QSize(1920, 1080)}) {
        const QString name = QStringLiteral("screen-%1x%2.png").arg(size.width()).arg(size.height());
        const QImage shot = render(size, port);
        shot.save(out + QLatin1Char('/') + name);
        if (reference.isEmpty()) {
            std::printf("%s: %dx%d written\n", qPrintable(name), shot.width(), shot.height());
            continue;
        }
        QImage before(reference + QLatin1Char('/') + name);
        before = before.convertToFormat(QImage::Format_ARGB32);
        int diff = 0;
        if (before.size() != shot.size()) {
            diff = -1;
        } else {
            for (int y = 0; y < shot.height(); ++y)
                for (int x = 0; x < shot.width(); ++x)
                    diff += before.pixel(x, y) != shot.pixel(x, y);
        }
        std::printf("%s: %dx%d, %d pixels differ%s\n", qPrintable(name), shot.width(), shot.height(),
                    diff < 0 ? 0 : diff, diff < 0 ? " (sizes differ)" : "");
        differing += diff != 0;
    }
    return differing == 0 ? 0 : 1;
}
