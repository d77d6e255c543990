#include "settingsstore.h"

#include "logging.h"

#include <QCoreApplication>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>
#include <QVariant>

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
                                kServerDestination, kServerTtl, kClientGroup })
        check(key, readText(s, key).has_value());
    check(kCurrentScreen, readInt(s, kCurrentScreen).has_value());
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
    if (!info.exists() || !info.isFile())
        return QString();

    // The toolkit reports a damaged file only to the settings object that
    // happened to parse it, and shares what it parsed with every later object
    // for the same path. So judge a private copy under a fresh name.
    QSettings::Status status = QSettings::AccessError;
    QStringList foreign;
    QFile original(path);
    QTemporaryFile copy(QDir::tempPath() + QStringLiteral("/lumora-settings-XXXXXX.conf"));
    if (original.open(QIODevice::ReadOnly) && copy.open()) {
        const QByteArray bytes = original.readAll();
        copy.write(bytes);
        copy.close();
        if (bytes.size() > kMaxFileBytes) {
            // Real stores are a few hundred bytes; a huge one is damage, and
            // parsing it would only cost time and memory.
            status = QSettings::FormatError;
        } else {
            try {
                QSettings probe(copy.fileName(), QSettings::NativeFormat);
                // Sections are parsed lazily: only reading the keys reveals a
                // bad file.
                probe.allKeys();
                status = probe.status();
                if (status == QSettings::NoError)
                    foreign = foreignKeys(probe);
            } catch (const std::bad_alloc &) {
                // A serialized value can claim billions of elements; the
                // toolkit's parser then gives up on the allocation. Such a
                // file is damage, not a reason for the display to die.
                status = QSettings::FormatError;
            }
        }
    }
    original.close();

    if (status == QSettings::NoError) {
        // A sound file may still hold a value of another type under one of
        // our keys. That key reads as absent and the next write replaces it,
        // so keep a copy of the file as the operator left it.
        if (foreign.isEmpty())
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
            << foreign.join(QLatin1String(", ")) << "- read as absent;"
            << (kept ? QStringLiteral("kept a copy as %1").arg(backup)
                     : QStringLiteral("could not keep a copy as %1").arg(backup));
        return kept ? backup : QString();
    }

    const char *what = status == QSettings::FormatError ? "cannot be parsed" : "cannot be read";
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
