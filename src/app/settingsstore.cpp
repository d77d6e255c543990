#include "settingsstore.h"

#include "logging.h"

#include <QCoreApplication>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QSettings>
#include <QTemporaryFile>
#include <QVariant>
#include <QVector>

#include <climits>
#include <cmath>
#include <new>
#include <optional>

namespace {

// A store of twelve short values is a few hundred bytes; beyond this a file
// is taken as damaged without being parsed.
constexpr qint64 kMaxFileBytes = 4 * 1024 * 1024;

const QString kIsServer = QStringLiteral("is_server");
const QString kUseUdp = QStringLiteral("use_udp");
const QString kSerialPort = QStringLiteral("serialport");
const QString kServerHost = QStringLiteral("server_host");
const QString kServerPort = QStringLiteral("server_port");
const QString kClientHost = QStringLiteral("client_host");
const QString kClientPort = QStringLiteral("client_port");
// Set by the installer in the file; written back only when set.
const QString kServerDestination = QStringLiteral("server_destination");
const QString kServerTtl = QStringLiteral("server_ttl");
const QString kClientGroup = QStringLiteral("client_group");
const QString kControlPort = QStringLiteral("control_port");
const QString kControlBind = QStringLiteral("control_bind");
const QString kControlAllow = QStringLiteral("control_allow");
const QString kControlToken = QStringLiteral("control_token");
const QString kCurrentScreen = QStringLiteral("current_screen");
const QString kGeometry = QStringLiteral("geometry");
const std::array<QString, 3> kLabelKeys { QStringLiteral("labelMeter1"),
                                          QStringLiteral("labelMeter2"),
                                          QStringLiteral("labelMeter3") };

// Each reader gives nothing when the key is absent or its value does not
// convert to the key's type; the caller then uses the absent value.
std::optional<QVariant> converted(const QSettings &s, const QString &key, int type)
{
    QVariant v = s.value(key);
    if (!v.isValid() || !v.convert(type))
        return std::nullopt;
    return v;
}

std::optional<bool> readBool(const QSettings &s, const QString &key)
{
    if (const auto v = converted(s, key, QMetaType::Bool))
        return v->toBool();
    return std::nullopt;
}

std::optional<QString> readText(const QSettings &s, const QString &key)
{
    if (const auto v = converted(s, key, QMetaType::QString))
        return v->toString();
    return std::nullopt;
}

std::optional<QByteArray> readBytes(const QSettings &s, const QString &key)
{
    if (const auto v = converted(s, key, QMetaType::QByteArray))
        return v->toByteArray();
    return std::nullopt;
}

std::optional<int> readInt(const QSettings &s, const QString &key)
{
    const QVariant v = s.value(key);
    const int type = v.userType();
    // The toolkit rounds a floating value through a 64-bit integer, which is
    // undefined for NaN, infinities and huge values a damaged file may hold.
    if (type == QMetaType::Double || type == QMetaType::Float) {
        const double d = v.toDouble();
        if (!std::isfinite(d) || d <= double(INT_MIN) - 1.0 || d >= double(INT_MAX) + 1.0)
            return std::nullopt;
        return static_cast<int>(std::trunc(d));
    }
    bool ok = false;
    const qlonglong n = v.toLongLong(&ok);
    if (!ok || n < INT_MIN || n > INT_MAX)
        return std::nullopt;
    return static_cast<int>(n);
}

// The keys that are present but hold a value of another type.
QStringList foreignKeys(const QSettings &s)
{
    QStringList keys;
    const auto check = [&](const QString &key, bool readable) {
        if (!readable && s.contains(key))
            keys << key;
    };
    check(kIsServer, readBool(s, kIsServer).has_value());
    check(kUseUdp, readBool(s, kUseUdp).has_value());
    for (const QString &key : { kSerialPort, kServerHost, kServerPort, kClientHost, kClientPort,
                                kServerDestination, kServerTtl, kClientGroup, kControlBind,
                                kControlAllow, kControlToken })
        check(key, readText(s, key).has_value());
    check(kCurrentScreen, readInt(s, kCurrentScreen).has_value());
    check(kControlPort, readInt(s, kControlPort).has_value());
    check(kGeometry, readBytes(s, kGeometry).has_value());
    for (const QString &key : kLabelKeys)
        check(key, readText(s, key).has_value());
    return keys;
}

QString backupName(const QString &path, int i)
{
    return i == 0 ? path + QStringLiteral(".bak")
                  : path + QStringLiteral(".bak.") + QString::number(i);
}

QString backupPathFor(const QString &path)
{
    const auto taken = [](const QString &p) {
        const QFileInfo fi(p);
        return fi.exists() || fi.isSymLink();
    };
    QString candidate;
    for (int i = 0; i < SettingsKeys::kMaxBackups; ++i) {
        candidate = backupName(path, i);
        if (!taken(candidate))
            return candidate;
    }
    // All in use: the newest damage replaces the last backup, the earlier
    // ones stay as they are.
    QFile::remove(candidate);
    return candidate;
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// An existing backup with exactly the bytes of the file, if there is one.
QString identicalBackup(const QString &path)
{
    const QByteArray bytes = fileBytes(path);
    for (int i = 0; i < SettingsKeys::kMaxBackups; ++i) {
        const QString candidate = backupName(path, i);
        if (QFileInfo(candidate).size() == bytes.size() && QFileInfo::exists(candidate)
            && fileBytes(candidate) == bytes)
            return candidate;
    }
    return QString();
}


// A warning that would otherwise repeat at every read and write of the store.
void warnOnce(const QString &text)
{
    static QSet<QString> said;
    if (said.contains(text))
        return;
    said.insert(text);
    qCWarning(lcSettings).noquote() << text;
}

// One logical line of the toolkit's INI reader: a backslash joins the next
// physical line, quotes may span lines, and a ';' at the start of a line
// comments it out.
struct IniLine
{
    int start = 0;
    int length = 0;
    int equals = -1;
};

bool isIniSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool nextIniLine(const QByteArray &data, int &pos, IniLine &line)
{
    const int size = data.size();
    bool inQuotes = false;
    line.equals = -1;
    line.start = pos;
    while (line.start < size && isIniSpace(data.at(line.start)))
        ++line.start;
    int i = line.start;
    while (i < size) {
        const char c = data.at(i++);
        if (c == '=') {
            if (!inQuotes && line.equals == -1)
                line.equals = i - 1;
        } else if (c == '\n' || c == '\r') {
            if (i == line.start + 1) {
                ++line.start;
            } else if (!inQuotes) {
                --i;
                break;
            }
        } else if (c == '\\') {
            if (i < size) {
                const char escaped = data.at(i++);
                if (i < size) {
                    const char next = data.at(i);
                    if ((escaped == '\n' && next == '\r') || (escaped == '\r' && next == '\n'))
                        ++i;
                }
            }
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else if (c == ';') {
            if (i == line.start + 1) {
                while (i < size && data.at(i) != '\n' && data.at(i) != '\r')
                    ++i;
                while (i < size && isIniSpace(data.at(i)))
                    ++i;
                line.start = i;
            } else if (!inQuotes) {
                --i;
                break;
            }
        }
    }
    pos = i;
    line.length = i - line.start;
    return line.length > 0;
}

// The lines the toolkit's reader rejects: a section header without its
// closing bracket, and a line that is neither a header nor a key.
QVector<IniLine> unparsableLines(const QByteArray &data)
{
    QVector<IniLine> bad;
    int pos = 0;
    IniLine line;
    while (nextIniLine(data, pos, line)) {
        const QByteArray text = QByteArray::fromRawData(data.constData() + line.start, line.length);
        if (text.startsWith('[') ? !text.contains(']') : line.equals == -1)
            bad << line;
    }
    return bad;
}

QByteArray withoutLines(const QByteArray &data, const QVector<IniLine> &lines)
{
    QByteArray kept;
    int from = 0;
    for (const IniLine &line : lines) {
        kept += data.mid(from, line.start - from);
        from = line.start + line.length;
    }
    return kept + data.mid(from);
}

int lineNumberAt(const QByteArray &data, int offset)
{
    int number = 1;
    for (int i = 0; i < offset; ++i) {
        const char c = data.at(i);
        if (c == '\n' || (c == '\r' && (i + 1 >= data.size() || data.at(i + 1) != '\n')))
            ++number;
    }
    return number;
}

// A line of the file as it can be shown in one log line: cut short, with
// control characters and other bytes that are no plain text escaped.
// Keys whose values are never written to the log.
bool holdsSecret(const QByteArray &line)
{
    const QByteArray key = line.trimmed().toLower();
    return key.startsWith(kControlToken.toLatin1());
}

QString shownLine(const QByteArray &line)
{
    constexpr int kShownBytes = 80;
    // A typo in a secret's line (no '=', say) must not print the secret.
    if (holdsSecret(line))
        return QStringLiteral("\"%1 ...\" (its value is not shown)").arg(kControlToken);
    QString shown;
    for (int i = 0; i < qMin(line.size(), kShownBytes); ++i) {
        const auto c = static_cast<unsigned char>(line.at(i));
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\')
            shown += QLatin1Char(char(c));
        else
            shown += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
    }
    if (line.size() > kShownBytes)
        shown += QStringLiteral("...");
    return QLatin1Char('"') + shown + QLatin1Char('"');
}

struct Judgement
{
    QSettings::Status status = QSettings::AccessError;
    QStringList foreign;   // keys of a sound file that hold a value of another type
};

Judgement judge(const QString &file)
{
    Judgement j;
    try {
        QSettings probe(file, QSettings::NativeFormat);
        // Sections are parsed lazily: only reading the keys reveals a bad file.
        probe.allKeys();
        j.status = probe.status();
        if (j.status == QSettings::NoError)
            j.foreign = foreignKeys(probe);
    } catch (const std::bad_alloc &) {
        // A serialized value can claim billions of elements; the toolkit's
        // parser then gives up on the allocation. Such a file is damage, not
        // a reason for the display to die.
        j.status = QSettings::FormatError;
    }
    return j;
}

// Writes a copy of the bytes the toolkit has never seen under this name.
bool makePrivateCopy(QTemporaryFile &copy, const QByteArray &bytes, QString *why)
{
    if (!copy.open()) {
        *why = copy.errorString();
        return false;
    }
    if (copy.write(bytes) != bytes.size() || !copy.flush()) {
        *why = copy.errorString();
        return false;
    }
    copy.close();
    return true;
}

// Puts the readable lines of a damaged file where it was. False, and no file
// left behind, when they do not make a sound file either.
bool writeSalvage(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return false;
    // Its size differs from the damaged file's, so this parses it afresh.
    if (judge(path).status == QSettings::NoError)
        return true;
    QFile unusable(path);
    if (!unusable.remove())
        qCWarning(lcSettings).noquote() << "cannot remove" << path << ":" << unusable.errorString();
    return false;
}

} // namespace

StoredSettings readStored(QSettings &s)
{
    StoredSettings v;
    v.comm.is_server = readBool(s, kIsServer).value_or(false);
    v.comm.use_udp = readBool(s, kUseUdp).value_or(false);
    v.comm.serialport = readText(s, kSerialPort).value_or(QString());
    v.comm.server_host = readText(s, kServerHost).value_or(QString());
    v.comm.server_port = readText(s, kServerPort).value_or(QString());
    v.comm.client_host = readText(s, kClientHost).value_or(QString());
    v.comm.client_port = readText(s, kClientPort).value_or(QString());
    v.comm.server_destination = readText(s, kServerDestination).value_or(QString());
    v.comm.server_ttl = readText(s, kServerTtl).value_or(QString());
    v.comm.client_group = readText(s, kClientGroup).value_or(QString());
    const ControlSettings control;
    v.control.port = readInt(s, kControlPort).value_or(control.port);
    v.control.bind = readText(s, kControlBind).value_or(control.bind);
    v.control.allow = readText(s, kControlAllow).value_or(control.allow);
    v.control.token = readText(s, kControlToken).value_or(control.token);
    // A label that is present keeps its text even when empty; an absent one,
    // or one that holds something that is no text, keeps the default name.
    for (size_t i = 0; i < kLabelKeys.size(); ++i)
        v.labels[i] = readText(s, kLabelKeys[i]).value_or(v.labels[i]);
    v.currentScreen = readInt(s, kCurrentScreen).value_or(0);
    v.geometry = readBytes(s, kGeometry).value_or(QByteArray());
    return v;
}

void writeStored(QSettings &s, const StoredSettings &v)
{
    const bool wasSound = s.status() == QSettings::NoError;
    // Only the program's keys are kept. Stray keys from a damaged file would
    // otherwise be carried along, and some of them the toolkit writes in a
    // form it cannot read back, which would cost the next start everything.
    s.clear();
    s.setValue(kIsServer, v.comm.is_server);
    s.setValue(kUseUdp, v.comm.use_udp);
    s.setValue(kSerialPort, v.comm.serialport);
    s.setValue(kServerHost, v.comm.server_host);
    s.setValue(kServerPort, v.comm.server_port);
    s.setValue(kClientHost, v.comm.client_host);
    s.setValue(kClientPort, v.comm.client_port);
    // The installer's three keys only when set, so a plain display's file
    // stays as it always was.
    const auto writeWhenSet = [&s](const QString &key, const QString &value) {
        if (!value.isEmpty())
            s.setValue(key, value);
    };
    writeWhenSet(kServerDestination, v.comm.server_destination);
    writeWhenSet(kServerTtl, v.comm.server_ttl);
    writeWhenSet(kClientGroup, v.comm.client_group);
    // The control channel's keys only where they differ from the defaults.
    const ControlSettings control;
    if (v.control.port != control.port)
        s.setValue(kControlPort, v.control.port);
    if (v.control.bind != control.bind)
        s.setValue(kControlBind, v.control.bind);
    if (v.control.allow != control.allow)
        s.setValue(kControlAllow, v.control.allow);
    writeWhenSet(kControlToken, v.control.token);
    s.setValue(kCurrentScreen, v.currentScreen);
    s.setValue(kGeometry, v.geometry);
    for (size_t i = 0; i < kLabelKeys.size(); ++i)
        s.setValue(kLabelKeys[i], v.labels[i]);
    s.sync();
    // The status sticks once set, so only a store that was sound can tell.
    if (wasSound && s.status() != QSettings::NoError)
        qCWarning(lcSettings) << "could not write the settings to" << s.fileName();
}

QString recoverDamagedFile(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QString();
    if (!info.isFile()) {
        // Nothing can be read from it nor written to it; the display runs on
        // its first-run values.
        warnOnce(QStringLiteral("settings path %1 is %2, not a settings file - started from defaults"
                                " and nothing will be stored; remove or rename it")
                     .arg(path, info.isDir() ? QStringLiteral("a folder") : QStringLiteral("no regular file")));
        return QString();
    }

    Judgement j;
    QByteArray bytes;
    QFile original(path);
    if (original.open(QIODevice::ReadOnly)) {
        bytes = original.readAll();
        original.close();
        if (bytes.size() > kMaxFileBytes) {
            // Real stores are a few hundred bytes; a huge one is damage, and
            // parsing it would only cost time and memory.
            j.status = QSettings::FormatError;
        } else {
            // The toolkit reports a damaged file only to the settings object
            // that happened to parse it, and shares what it parsed with every
            // later object for the same path. So judge a private copy under
            // a fresh name. Without one (no usable temporary folder) the file
            // is judged in place, which is as sound on the first look.
            // The toolkit gives an empty temporary folder for a TMPDIR that
            // does not exist, and a copy would then land in the root folder.
            QString tmp = QDir::tempPath();
            QString why;
            if (tmp.isEmpty())
                tmp = qEnvironmentVariable("TMPDIR");
            QTemporaryFile copy(tmp + QStringLiteral("/lumora-settings-XXXXXX.conf"));
            if (!QFileInfo(tmp).isDir())
                why = QStringLiteral("no such folder");
            if (why.isEmpty() && makePrivateCopy(copy, bytes, &why)) {
                j = judge(copy.fileName());
            } else {
                warnOnce(QStringLiteral("could not make a private copy of the settings file in %1 (%2)"
                                        " - reading %3 in place; set TMPDIR to a writable folder")
                             .arg(tmp, why, path));
                j = judge(path);
            }
        }
    }

    if (j.status == QSettings::NoError) {
        // A sound file may still hold a value of another type under one of
        // our keys. That key reads as absent and the next write replaces it,
        // so keep a copy of the file as the operator left it.
        if (j.foreign.isEmpty())
            return QString();
        // The same file seen again (at the exit write, say) is not copied twice.
        QString backup = identicalBackup(path);
        bool kept = !backup.isEmpty();
        if (!kept) {
            backup = backupPathFor(path);
            kept = QFile::copy(path, backup);
        }
        qCWarning(lcSettings).noquote()
            << "settings file" << path << "holds values of another type under"
            << j.foreign.join(QLatin1String(", ")) << "- read as absent;"
            << (kept ? QStringLiteral("kept a copy as %1").arg(backup)
                     : QStringLiteral("could not keep a copy as %1").arg(backup));
        return kept ? backup : QString();
    }

    QString what = j.status == QSettings::FormatError ? QStringLiteral("cannot be parsed")
                                                      : QStringLiteral("cannot be read");
    // A typo costs its own line, not the whole file: the reader's own rules
    // name the lines it rejects, and the rest is kept when it parses.
    QVector<IniLine> bad;
    if (j.status == QSettings::FormatError && bytes.size() <= kMaxFileBytes)
        bad = unparsableLines(bytes);
    if (!bad.isEmpty()) {
        what += QStringLiteral(" at line %1: %2")
                    .arg(lineNumberAt(bytes, bad.first().start))
                    .arg(shownLine(bytes.mid(bad.first().start, bad.first().length)));
        if (bad.size() > 1)
            what += QStringLiteral(" (and %1 more)").arg(bad.size() - 1);
    }

    const QString backup = backupPathFor(path);
    // Moving it aside keeps the bytes exactly and leaves no damage behind for
    // the next start; a copy is the fallback when it cannot be moved.
    const bool kept = QFile::rename(path, backup) || QFile::copy(path, backup);
    if (!kept) {
        // Without a copy the file is left as it is for now: the keys the
        // parser could salvage are read, and only the exit write replaces it.
        qCWarning(lcSettings).noquote() << "settings file" << path << what
                                        << "- could not keep a copy as" << backup;
        return QString();
    }

    if (!bad.isEmpty() && writeSalvage(path, withoutLines(bytes, bad))) {
        qCWarning(lcSettings).noquote() << "settings file" << path << what << "- kept it as"
                                        << backup << "and read the other lines";
        return backup;
    }

    // Forget whatever the toolkit made of the damage, so every key reads as
    // absent and no garbage key is written back later.
    {
        QSettings stale(path, QSettings::NativeFormat);
        stale.clear();
        stale.sync();
    }
    qCWarning(lcSettings).noquote() << "settings file" << path << what << "- kept it as"
                                    << backup << "and started from defaults";
    return backup;
}

std::unique_ptr<QSettings> openSettingsFile(const QString &path)
{
    recoverDamagedFile(path);
    return std::make_unique<QSettings>(path, QSettings::NativeFormat);
}

namespace {
QString g_instance;

QString applicationForStore()
{
    const QString application = QCoreApplication::applicationName();
    return g_instance.isEmpty() ? application : application + QLatin1Char('-') + g_instance;
}
} // namespace

void setSettingsInstance(const QString &name)
{
    g_instance = name;
}

QString settingsInstance()
{
    return g_instance;
}

QString userSettingsPath()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope,
                     QCoreApplication::organizationName(), applicationForStore())
        .fileName();
}

std::unique_ptr<QSettings> openUserSettings()
{
    recoverDamagedFile(userSettingsPath());
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QCoreApplication::organizationName(),
                                       applicationForStore());
}

StoredSettings keepChangesOnDisk(const StoredSettings &ours, const StoredSettings &known,
                                 const StoredSettings &disk)
{
    StoredSettings v = ours;
    const auto keep = [](auto &value, const auto &before, const auto &onDisk) {
        if (onDisk != before)
            value = onDisk;
    };
    keep(v.comm.is_server, known.comm.is_server, disk.comm.is_server);
    keep(v.comm.use_udp, known.comm.use_udp, disk.comm.use_udp);
    keep(v.comm.serialport, known.comm.serialport, disk.comm.serialport);
    keep(v.comm.server_host, known.comm.server_host, disk.comm.server_host);
    keep(v.comm.server_port, known.comm.server_port, disk.comm.server_port);
    keep(v.comm.client_host, known.comm.client_host, disk.comm.client_host);
    keep(v.comm.client_port, known.comm.client_port, disk.comm.client_port);
    keep(v.comm.server_destination, known.comm.server_destination, disk.comm.server_destination);
    keep(v.comm.server_ttl, known.comm.server_ttl, disk.comm.server_ttl);
    keep(v.comm.client_group, known.comm.client_group, disk.comm.client_group);
    keep(v.control.port, known.control.port, disk.control.port);
    keep(v.control.bind, known.control.bind, disk.control.bind);
    keep(v.control.allow, known.control.allow, disk.control.allow);
    keep(v.control.token, known.control.token, disk.control.token);
    for (size_t i = 0; i < v.labels.size(); ++i)
        keep(v.labels[i], known.labels[i], disk.labels[i]);
    keep(v.currentScreen, known.currentScreen, disk.currentScreen);
    keep(v.geometry, known.geometry, disk.geometry);
    return v;
}
