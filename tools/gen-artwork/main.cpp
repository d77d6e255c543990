// Writes the program's pictures into the resources folder:
//   lumora-gen-artwork [--out DIR] [--preview FILE]
// DIR defaults to the source tree's resources/. The files are committed, so
// this only needs running after the artwork has been changed.

#include "artwork.h"
#include "icowriter.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QTextStream>

namespace {

constexpr int kIconSizes[] = {16, 32, 48, 64, 128, 256};

bool savePng(const QImage &image, const QString &path)
{
    if (!image.save(path, "PNG")) {
        QTextStream(stderr) << "cannot write " << path << '\n';
        return false;
    }
    QTextStream(stdout) << "wrote " << path << '\n';
    return true;
}

bool saveFile(const QByteArray &bytes, const QString &path)
{
    QFile file(path);
    if (bytes.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        QTextStream(stderr) << "cannot write " << path << '\n';
        return false;
    }
    QTextStream(stdout) << "wrote " << path << '\n';
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    // Text is rendered into images only; no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("lumora-gen-artwork"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Generates the Lumora Meters artwork and icon."));
    parser.addHelpOption();
    QCommandLineOption outOption(QStringLiteral("out"),
                                 QStringLiteral("Resources folder to write into (png/ and ico/ below it)."),
                                 QStringLiteral("DIR"), QStringLiteral(LUMORA_RESOURCES_DIR));
    parser.addOption(outOption);
    QCommandLineOption previewOption(QStringLiteral("preview"),
                                     QStringLiteral("Also write a mock screen with stand-in meters and clock to FILE."),
                                     QStringLiteral("FILE"));
    parser.addOption(previewOption);
    parser.process(app);

    const QDir out(parser.value(outOption));
    if (!out.mkpath(QStringLiteral("png")) || !out.mkpath(QStringLiteral("ico"))) {
        QTextStream(stderr) << "cannot create folders below " << out.path() << '\n';
        return 1;
    }

    QVector<QImage> icons;
    for (int size : kIconSizes)
        icons.append(Artwork::appIcon(size));

    bool ok = savePng(Artwork::background(), out.filePath(QStringLiteral("png/LumoraBackground.png")));
    ok = savePng(Artwork::filler(), out.filePath(QStringLiteral("png/SonavoBackgroundEmpty.png"))) && ok;
    ok = savePng(Artwork::settingsGear(256), out.filePath(QStringLiteral("png/Settings.png"))) && ok;
    ok = saveFile(IcoWriter::icoFile(icons), out.filePath(QStringLiteral("ico/SonavoIcon256x256Border.ico"))) && ok;
    if (parser.isSet(previewOption))
        ok = savePng(Artwork::mockScreen(), parser.value(previewOption)) && ok;
    return ok ? 0 : 1;
}
