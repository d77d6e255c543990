#pragma once

#include "commsettings.h"
#include "controlsettings.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>

#include <array>
#include <memory>

class QSettings;

// The values the display keeps between runs, as they are held in the
// store. The defaults are the values of absent keys (a first run).
struct StoredSettings
{
    CommSettings comm;
    ControlSettings control;
    std::array<QString, 3> labels { QStringLiteral("Prog"), QStringLiteral("Sub"),
                                    QStringLiteral("CRM") };
    int currentScreen = 0;
    QByteArray geometry;   // the window's saved geometry; empty restores nothing

    // Key by key of the table of keys (settingskeys.h).
    friend bool operator==(const StoredSettings &a, const StoredSettings &b);
    friend bool operator!=(const StoredSettings &a, const StoredSettings &b) { return !(a == b); }
};

Q_DECLARE_METATYPE(StoredSettings)

namespace SettingsKeys {
// How many backups of a damaged file are kept: name.bak, name.bak.1 ...
constexpr int kMaxBackups = 10;
} // namespace SettingsKeys

// Reads the keys of the table in settingskeys.h: the display's own keys, the
// three UDP keys an installer may add and the control keys. An absent key
// gives the absent value: false, empty text, 0, an empty byte array, the
// control channel's defaults, or for a meter label its default name. A label that is present with an empty text stays empty. A flag reads
// true/false, yes/no, on/off or 1/0 in any case; a line with commas, which
// the toolkit reads as a list, reads as its items joined by ", " where a text
// belongs. A value that does not read as its key's type gives the absent
// value too, and is warned about once, naming its line (never a secret's
// value); writeStored() then keeps it as it is.
StoredSettings readStored(QSettings &s);

// Writes the display's own keys, and the installer's and the control keys
// when set (each key by its row in the table: flags as bools, ports as texts,
// whole numbers as int, the geometry as a byte array) and flushes them to
// disk, so a value written when the operator changes it survives a power cut. A key whose value `v` leaves as `s` read it
// is written back as it was read: in the operator's words, and also when it
// did not read as its type. The file is UTF-8 (in escapes, as before, when a
// text holds a character the toolkit's UTF-8 writer would lose). A failed
// write is logged.
void writeStored(QSettings &s, const StoredSettings &v);

// Chooses the display whose store openUserSettings() opens: empty for the
// standard one (Lumora Meters.conf), a name for another display on the same
// PC (Lumora Meters-NAME.conf). Set once, at start.
void setSettingsInstance(const QString &name);
// The instance the store was set to; empty for the standard display.
QString settingsInstance();

// The file of the current display's per-user store.
QString userSettingsPath();

// The per-user store of this display, chosen by the application's
// organisation and application names ($XDG_CONFIG_HOME/<organisation>/
// <application>.conf on Linux, <application>-NAME.conf for an instance),
// after recoverDamagedFile() has looked at it. It reads the file as UTF-8, or
// as Latin-1 (with a warning) when the file is not UTF-8 text.
std::unique_ptr<QSettings> openUserSettings();

// A store in the given file, checked the same way (tests and tools).
std::unique_ptr<QSettings> openSettingsFile(const QString &path);

// Looks at a settings file before it is used. If it cannot be parsed or
// read, or a quote is left open at the end of a line (the toolkit would read
// on into the next lines), moves it aside to the first free backup name
// (path.bak, then path.bak.1 ... path.bak.9; with all ten in use the last is
// replaced; a copy when it cannot be moved), so nothing overwrites it. The
// lines that cannot be parsed are logged and left out of a new file in its
// place, and an open quote is closed at the end of its line there, so the
// other keys are still read; when nothing can be salvaged every key reads as
// absent. When no backup can be made the file is left alone. If it is sound
// but one of our keys holds a value the next write cannot keep (a serialized
// variant of another type), a copy is kept under the same names. Logs one
// warning in either case. Returns the backup's path, or an empty string when
// there was nothing to keep or it could not be kept.
// The file is judged from a private copy in the temporary folder; when none
// can be made there it is judged in place, and only a file that cannot be
// parsed or read is ever moved aside. A path that is no regular file (a
// folder, say) is left alone with one warning.
QString recoverDamagedFile(const QString &path);

// What to write when the file may have been changed by someone else since
// it was last read or written (`known`): every value that differs on disk
// from `known` is kept as it is on disk, the others are taken from `ours`.
StoredSettings keepChangesOnDisk(const StoredSettings &ours, const StoredSettings &known,
                                 const StoredSettings &disk);
