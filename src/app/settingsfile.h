#pragma once

#include "settingsstore.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QFileSystemWatcher;
class QSettings;
class QTimer;

// One display's settings file while the display runs: read at start,
// written at quit and after each change, and watched in between, so an
// installer's edit is taken while the display runs and not undone when it
// quits. Editors replace files, so the folder is watched as well.
class SettingsFile : public QObject
{
    Q_OBJECT
public:
    using Opener = std::function<std::unique_ptr<QSettings>()>;
    // `open` gives the store of `path` (openUserSettings, openSettingsFile).
    SettingsFile(const QString &path, Opener open, QObject *parent = nullptr);
    ~SettingsFile() override;

    // Reads the store and starts watching the file.
    StoredSettings read();
    // Writes `ours`, keeping every value someone else changed on disk since
    // the last read or write; such a change is then reported as changedOnDisk
    // once control returns to the event loop.
    void write(const StoredSettings &ours);

    // How long a change on disk may take to be reported, at most.
    static constexpr int kSettleMs = 300;

signals:
    // Someone else changed the file: what it holds now and what it held
    // when this display last read or wrote it. Our own writes never show
    // up here. Not reported while two of these share one file in a process,
    // since each would take the other's writes for an edit.
    void changedOnDisk(const StoredSettings &now, const StoredSettings &before);

private:
    void arm();
    void check();
    bool shared() const;
    void warnUnwatched(const QString &path);

    QString m_path;
    Opener m_open;
    QFileSystemWatcher *m_watcher;
    QTimer *m_settle;
    StoredSettings m_known;
    bool m_warnedUnwatched = false;
};
