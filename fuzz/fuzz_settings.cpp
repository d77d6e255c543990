// The settings reader fed an arbitrary settings file: no crash, no hang, a
// damaged file is moved aside, and what is read survives a write and a read.
#include "settingsstore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

QString g_dir;
quint64 g_serial = 0;

void removeAll(const QString &path)
{
    QDir dir(g_dir);
    const QString name = QFileInfo(path).fileName();
    for (const QString &entry : dir.entryList({name + QLatin1Char('*')}, QDir::Files | QDir::Hidden | QDir::System))
        dir.remove(entry);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Keep the files in memory: a tmpfs when there is one.
    const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm")
                                                                   : QDir::tempPath();
    g_dir = base + QStringLiteral("/lumora-fuzz-settings-") + QString::number(QCoreApplication::applicationPid());
    QDir().mkpath(g_dir);
    // The damage check copies the file to the temporary folder first.
    qputenv("TMPDIR", g_dir.toLocal8Bit());
    qputenv("QT_LOGGING_RULES", "lumora.*=false");
    std::atexit([] { QDir(g_dir).removeRecursively(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // A fresh name each time: the toolkit caches a parsed file by name, size
    // and time, and two inputs of one size within a second would look alike.
    const QString path = g_dir + QStringLiteral("/s") + QString::number(++g_serial) + QStringLiteral(".conf");
    {
        QFile file(path);
        check(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }

    StoredSettings first;
    {
        const std::unique_ptr<QSettings> settings = openSettingsFile(path);
        first = readStored(*settings);
        // Whatever the file held, the store that is used parses cleanly: a
        // damaged file has been moved aside and reads as a first run.
        check(settings->status() == QSettings::NoError);
        writeStored(*settings, first);
        check(settings->status() == QSettings::NoError);
    }
    {
        // What was read is written back and read again unchanged.
        const QString again = path + QStringLiteral(".again.conf");
        QFile::copy(path, again);
        const std::unique_ptr<QSettings> settings = openSettingsFile(again);
        check(readStored(*settings) == first);
    }
    // At most the ten backups per name, and none left behind.
    check(QDir(g_dir).entryList({QFileInfo(path).fileName() + QStringLiteral(".bak*")}, QDir::Files).size() <= 10);
    removeAll(path);
    return 0;
}
