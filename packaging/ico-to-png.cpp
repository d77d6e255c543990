// Writes each image of the program's .ico as a PNG in the icon theme's
// layout, so installing needs no second copy of the icon in the sources:
//   lumora-ico-to-png ICO OUTDIR NAME SIZE...
// gives OUTDIR/<N>x<N>/apps/NAME.png for every image. It fails unless the
// icon holds exactly the square SIZEs given, so a changed icon file is
// noticed by the build instead of installing a partial set.

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QImageReader>
#include <QSet>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    QTextStream err(stderr);
    if (args.size() < 5) {
        err << "usage: lumora-ico-to-png ICO OUTDIR NAME SIZE...\n";
        return 2;
    }
    const QString icoPath = args.at(1);
    const QDir outDir(args.at(2));
    const QString name = args.at(3);
    QSet<int> expected;
    for (int i = 4; i < args.size(); ++i)
        expected.insert(args.at(i).toInt());

    QImageReader reader(icoPath, "ico");
    const int count = reader.imageCount();
    if (count <= 0) {
        err << "cannot read " << icoPath << ": " << reader.errorString() << '\n';
        return 1;
    }
    QSet<int> written;
    for (int i = 0; i < count; ++i) {
        if (!reader.jumpToImage(i)) {
            err << "cannot reach image " << i << " of " << icoPath << '\n';
            return 1;
        }
        const QImage image = reader.read();
        if (image.isNull() || image.width() != image.height()) {
            err << "image " << i << " of " << icoPath << " is not a square picture\n";
            return 1;
        }
        const int size = image.width();
        if (!expected.contains(size) || written.contains(size)) {
            err << icoPath << " holds an unexpected " << size << "x" << size << " image\n";
            return 1;
        }
        const QString dir = QStringLiteral("%1x%1/apps").arg(size);
        const QString path = outDir.filePath(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
        if (!outDir.mkpath(dir) || !image.save(path, "PNG")) {
            err << "cannot write " << path << '\n';
            return 1;
        }
        written.insert(size);
    }
    if (written != expected) {
        err << icoPath << " lacks some of the expected sizes\n";
        return 1;
    }
    return 0;
}
