#include "settingsfile.h"

#include "logging.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QHash>
#include <QSettings>
#include <QTimer>

namespace {
// How many SettingsFile objects of this process use each file.
QHash<QString, int> &filesInUse()
{
    static QHash<QString, int> inUse;
    return inUse;
}
} // namespace

SettingsFile::SettingsFile(const QString &path, Opener open, QObject *parent)
    : QObject(parent)
    , m_path(QFileInfo(path).absoluteFilePath())
    , m_open(std::move(open))
    , m_watcher(new QFileSystemWatcher(this))
    , m_settle(new QTimer(this))
{
    ++filesInUse()[m_path];
    // Editors write in steps (truncate, write; or write a copy, rename):
    // look once they are done.
    m_settle->setSingleShot(true);
    m_settle->setInterval(kSettleMs);
    connect(m_settle, &QTimer::timeout, this, &SettingsFile::check);
    connect(m_watcher, &QFileSystemWatcher::fileChanged, m_settle, qOverload<>(&QTimer::start));
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, m_settle, qOverload<>(&QTimer::start));
}

SettingsFile::~SettingsFile()
{
    if (--filesInUse()[m_path] == 0)
        filesInUse().remove(m_path);
}

bool SettingsFile::shared() const
{
    return filesInUse().value(m_path) > 1;
}

StoredSettings SettingsFile::read()
{
    m_known = readStored(*m_open());
    arm();
    return m_known;
}

void SettingsFile::write(const StoredSettings &ours)
{
    const std::unique_ptr<QSettings> settings = m_open();
    const StoredSettings disk = readStored(*settings);
    const StoredSettings before = m_known;
    const StoredSettings written = shared() ? ours : keepChangesOnDisk(ours, before, disk);
    writeStored(*settings, written);
    m_known = written;
    arm();
    if (written != ours) {
        qCInfo(lcSettings).noquote() << "settings file" << m_path
                                     << "was changed since it was read: kept those changes";
        // Taken like any other edit, but not from inside the caller's write.
        QMetaObject::invokeMethod(this, [this, written, before] { emit changedOnDisk(written, before); },
                                  Qt::QueuedConnection);
    }
}

void SettingsFile::arm()
{
    // The file when it exists, and the nearest folder that exists on the way
    // to it: the file may be replaced, or created with its folder.
    QStringList wanted;
    if (QFileInfo(m_path).isFile())
        wanted << m_path;
    QString folder = QFileInfo(m_path).absolutePath();
    while (!QFileInfo(folder).isDir() && folder != QDir::rootPath())
        folder = QFileInfo(folder).absolutePath();
    wanted << folder;

    const QStringList watched = m_watcher->files() + m_watcher->directories();
    for (const QString &path : watched) {
        if (!wanted.contains(path))
            m_watcher->removePath(path);
    }
    for (const QString &path : wanted) {
        if (!watched.contains(path) && !m_watcher->addPath(path))
            warnUnwatched(path);
    }
}

void SettingsFile::warnUnwatched(const QString &path)
{
    if (m_warnedUnwatched)
        return;
    m_warnedUnwatched = true;
    qCWarning(lcSettings).noquote()
        << "cannot watch" << path << "for changes - an edit of the settings file is taken at the"
        << "next start only (raise fs.inotify.max_user_watches if it is used up)";
}

void SettingsFile::check()
{
    arm();
    // A file removed is no edit; the next write puts it back.
    if (shared() || !QFileInfo(m_path).isFile())
        return;
    const StoredSettings disk = readStored(*m_open());
    if (disk == m_known)
        return;
    const StoredSettings before = m_known;
    m_known = disk;
    qCInfo(lcSettings).noquote() << "settings file" << m_path << "was changed: taking the changes";
    emit changedOnDisk(disk, before);
}
