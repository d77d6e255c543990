#include "settingsstore.h"

#include "logging.h"
#include "settingsdetail.h"

#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QSettings>
#include <QTextCodec>
#include <QVariant>
#include <QVector>

#include <climits>
#include <cmath>
#include <memory>
#include <utility>

using namespace SettingsDetail;

namespace {

// The toolkit reads a line with commas as a list, and a list of one value
// as that value once it is written back; either is taken as what it holds.
QVariant single(const QVariant &v)
{
    if (v.userType() == QMetaType::QStringList && v.toStringList().size() == 1)
        return v.toStringList().first();
    if (v.userType() == QMetaType::QVariantList && v.toList().size() == 1)
        return v.toList().first();
    return v;
}

// The texts of a value the toolkit read as a text or as a list of texts.
std::optional<QStringList> texts(const QVariant &v)
{
    switch (v.userType()) {
    case QMetaType::QString:
        return QStringList { v.toString() };
    case QMetaType::QStringList:
        if (!v.toStringList().isEmpty())
            return v.toStringList();
        return std::nullopt;
    case QMetaType::QVariantList: {
        // A list with an item that starts with '@' comes as variants.
        const QVariantList items = v.toList();
        QStringList list;
        for (const QVariant &item : items) {
            if (item.userType() != QMetaType::QString)
                return std::nullopt;
            list << item.toString();
        }
        if (list.isEmpty())
            return std::nullopt;
        return list;
    }
    default:
        return std::nullopt;
    }
}

// Each reader gives nothing when the value does not read as the key's type;
// the caller then uses the key's first-run value.
std::optional<bool> readFlag(const QVariant &raw)
{
    const QVariant v = single(raw);
    switch (v.userType()) {
    case QMetaType::Bool:
        return v.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return v.toBool();
    case QMetaType::QString:
    case QMetaType::QByteArray: {
        const QString word = v.toString().trimmed().toLower();
        if (word == QLatin1String("true") || word == QLatin1String("yes") || word == QLatin1String("on")
            || word == QLatin1String("1"))
            return true;
        if (word == QLatin1String("false") || word == QLatin1String("no") || word == QLatin1String("off")
            || word == QLatin1String("0"))
            return false;
        return std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

std::optional<QString> readText(const QVariant &raw)
{
    const QVariant v = single(raw);
    if (const auto list = texts(v))
        return list->join(QLatin1String(", "));
    if (v.userType() == QMetaType::QStringList || v.userType() == QMetaType::QVariantList)
        return std::nullopt;
    QVariant converted = v;
    if (!converted.isValid() || !converted.convert(QMetaType::QString))
        return std::nullopt;
    return converted.toString();
}

std::optional<QByteArray> readBytes(const QVariant &raw)
{
    QVariant v = single(raw);
    if (!v.isValid() || !v.convert(QMetaType::QByteArray))
        return std::nullopt;
    return v.toByteArray();
}

std::optional<int> readInt(const QVariant &raw)
{
    const QVariant v = single(raw);
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

// True when the toolkit writes the value so that it reads back the same:
// what a line typed by hand gives (a text, a list of texts, a byte array, a
// rectangle, size or point), but not every serialized variant.
bool keptAsRead(const QVariant &v)
{
    switch (v.userType()) {
    case QMetaType::QByteArray:
    case QMetaType::QRect:
    case QMetaType::QSize:
    case QMetaType::QPoint:
        return true;
    default:
        return texts(v).has_value();
    }
}

enum class Kind { Flag, Text, Int, Bytes };

struct KeyKind
{
    const QString &key;
    Kind kind;
};

const KeyKind kKeys[] {
    { kIsServer, Kind::Flag },          { kUseUdp, Kind::Flag },
    { kSerialPort, Kind::Text },        { kServerHost, Kind::Text },
    { kServerPort, Kind::Text },        { kClientHost, Kind::Text },
    { kClientPort, Kind::Text },        { kServerDestination, Kind::Text },
    { kServerTtl, Kind::Text },         { kClientGroup, Kind::Text },
    { kControlPort, Kind::Int },        { kControlBind, Kind::Text },
    { kControlAllow, Kind::Text },      { kControlToken, Kind::Text },
    { kLabelKeys[0], Kind::Text },      { kLabelKeys[1], Kind::Text },
    { kLabelKeys[2], Kind::Text },      { kCurrentScreen, Kind::Int },
    { kGeometry, Kind::Bytes },
};

bool readable(Kind kind, const QVariant &v)
{
    switch (kind) {
    case Kind::Flag:
        return readFlag(v).has_value();
    case Kind::Text:
        return readText(v).has_value();
    case Kind::Int:
        return readInt(v).has_value();
    case Kind::Bytes:
        return readBytes(v).has_value();
    }
    return false;
}

QString kindName(Kind kind)
{
    switch (kind) {
    case Kind::Flag:
        return QStringLiteral("no flag (true/false, yes/no, on/off, 1/0)");
    case Kind::Text:
        return QStringLiteral("no text");
    case Kind::Int:
        return QStringLiteral("no whole number");
    case Kind::Bytes:
        return QStringLiteral("no byte array");
    }
    return QString();
}

// A value that reads as absent, with the first-run value used instead.
struct Unread
{
    QString key;
    Kind kind;
    QString firstRun;
};

// Reads the keys; `unread` gets those present with a value that does not
// read as their type but is kept as it is.
class KeyReader
{
public:
    explicit KeyReader(const QSettings &s) : m_s(s) {}

    void flag(const QString &key, bool &field) { take(key, Kind::Flag, field, readFlag(m_s.value(key))); }
    void text(const QString &key, QString &field) { take(key, Kind::Text, field, readText(m_s.value(key))); }
    void number(const QString &key, int &field) { take(key, Kind::Int, field, readInt(m_s.value(key))); }
    void bytes(const QString &key, QByteArray &field)
    {
        take(key, Kind::Bytes, field, readBytes(m_s.value(key)));
    }

    QVector<Unread> unread;

private:
    template<typename T>
    void take(const QString &key, Kind kind, T &field, const std::optional<T> &value)
    {
        if (value) {
            field = *value;
            return;
        }
        const QVariant raw = m_s.value(key);
        if (raw.isValid() && keptAsRead(raw))
            unread.push_back({ key, kind, shown(field) });
    }
    static QString shown(bool v) { return v ? QStringLiteral("true") : QStringLiteral("false"); }
    static QString shown(int v) { return QString::number(v); }
    static QString shown(const QString &v)
    {
        return v.isEmpty() ? QStringLiteral("empty") : QLatin1Char('"') + v + QLatin1Char('"');
    }
    static QString shown(const QByteArray &) { return QStringLiteral("empty"); }

    const QSettings &m_s;
};

StoredSettings readValues(const QSettings &s, QVector<Unread> *unread)
{
    KeyReader r(s);
    StoredSettings v;
    r.flag(kIsServer, v.comm.is_server);
    r.flag(kUseUdp, v.comm.use_udp);
    r.text(kSerialPort, v.comm.serialport);
    r.text(kServerHost, v.comm.server_host);
    r.text(kServerPort, v.comm.server_port);
    r.text(kClientHost, v.comm.client_host);
    r.text(kClientPort, v.comm.client_port);
    r.text(kServerDestination, v.comm.server_destination);
    r.text(kServerTtl, v.comm.server_ttl);
    r.text(kClientGroup, v.comm.client_group);
    r.number(kControlPort, v.control.port);
    r.text(kControlBind, v.control.bind);
    r.text(kControlAllow, v.control.allow);
    r.text(kControlToken, v.control.token);
    // A label that is present keeps its text even when empty; an absent one,
    // or one that holds something that is no text, keeps the default name.
    for (size_t i = 0; i < kLabelKeys.size(); ++i)
        r.text(kLabelKeys[i], v.labels[i]);
    r.number(kCurrentScreen, v.currentScreen);
    r.bytes(kGeometry, v.geometry);
    if (unread)
        *unread = r.unread;
    return v;
}

// Where a key is set, as the file has it: "line N: "text"".
QString whereIs(const QSettings &s, const QByteArray &bytes, const QString &key)
{
    if (const auto line = lineOfKey(bytes, key))
        return QStringLiteral("line %1: %2")
            .arg(lineNumberAt(bytes, line->start))
            .arg(shownLine(bytes.mid(line->start, line->length)));
    // Not where the toolkit found it (a key spelled with escapes, say):
    // shown as it was read.
    const QVariant raw = s.value(key);
    const QString text = readText(raw).value_or(QString::fromLatin1(raw.typeName()));
    return shownLine((key + QLatin1Char('=') + text).toUtf8());
}

// One warning per value that does not read as its key's type, and for a
// secret the toolkit split at its commas.
void warnAbout(const QSettings &s, const QVector<Unread> &unread, bool tokenSplit)
{
    QFile file(s.fileName());
    const QByteArray bytes = file.size() <= kMaxFileBytes && file.open(QIODevice::ReadOnly) ? file.readAll()
                                                                                          : QByteArray();
    for (const Unread &u : unread) {
        warnOnce(QStringLiteral("settings file %1, %2 is %3 - read as %4, its first-run value; the line"
                                " is kept as it is, correct it to set %5")
                     .arg(s.fileName(), whereIs(s, bytes, u.key), kindName(u.kind), u.firstRun, u.key));
    }
    if (tokenSplit) {
        warnOnce(QStringLiteral("settings file %1, %2 holds commas, which split it into parts: it is read"
                                " with \", \" between them; put the value in double quotes to keep it as typed")
                     .arg(s.fileName(), whereIs(s, bytes, kControlToken)));
    }
}

// The toolkit's UTF-8 writer takes one UTF-16 unit at a time, and drops a
// character outside the basic plane (an emoji, say); its reader takes a
// U+FEFF that starts a run of text between escapes for a byte order mark,
// and drops it. A file that holds either is written in escapes, as the store
// always was, which read back the same.
bool needsEscapes(const QSettings &s)
{
    const QStringList keys = s.allKeys();
    for (const QString &key : keys) {
        const auto list = texts(s.value(key));
        if (!list)
            continue;
        for (const QString &text : *list) {
            for (const QChar c : text) {
                if (c.isSurrogate() || c == QChar::ByteOrderMark)
                    return true;
            }
        }
    }
    return false;
}

QByteArray storeBytes(const QString &path)
{
    QFile file(path);
    if (file.size() > kMaxFileBytes || !file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// Opens the store of `path` after recoverDamagedFile() has looked at it,
// reading it in the codec it is written in.
template<typename... Args>
std::unique_ptr<QSettings> openStore(const QString &path, Args &&...args)
{
    recoverDamagedFile(path);
    auto s = std::make_unique<QSettings>(std::forward<Args>(args)...);
    const QByteArray bytes = storeBytes(path);
    chooseCodec(*s, bytes);
    if (const int line = firstLineNotUtf8(bytes))
        warnOnce(QStringLiteral("settings file %1 is not UTF-8 text (line %2 is the first that is not) - read"
                                " as Latin-1; the next write stores it as UTF-8")
                     .arg(path)
                     .arg(line));
    return s;
}

} // namespace

namespace SettingsDetail {
QStringList keysLostOnWrite(const QSettings &s)
{
    QStringList keys;
    for (const KeyKind &k : kKeys) {
        if (!s.contains(k.key))
            continue;
        const QVariant raw = s.value(k.key);
        if (!readable(k.kind, raw) && !keptAsRead(raw))
            keys << k.key;
    }
    return keys;
}
} // namespace SettingsDetail

StoredSettings readStored(QSettings &s)
{
    QVector<Unread> unread;
    const StoredSettings v = readValues(s, &unread);
    // Commas in a secret are more likely part of it than a list.
    const auto token = texts(s.value(kControlToken));
    const bool tokenSplit = token && token->size() > 1;
    if (!unread.isEmpty() || tokenSplit)
        warnAbout(s, unread, tokenSplit);
    return v;
}

void writeStored(QSettings &s, const StoredSettings &v)
{
    const bool wasSound = s.status() == QSettings::NoError;
    // A value the program has not changed is written back as it was read, in
    // the words the operator typed (yes, a list, a typo that reads as the
    // first-run value), whatever the rules below say.
    const StoredSettings read = readValues(s, nullptr);
    QHash<QString, QVariant> asRead;
    for (const KeyKind &k : kKeys) {
        const QVariant raw = s.value(k.key);
        if (raw.isValid() && keptAsRead(raw))
            asRead.insert(k.key, raw);
    }
    // Only the program's keys are kept. Stray keys from a damaged file would
    // otherwise be carried along, and some of them the toolkit writes in a
    // form it cannot read back, which would cost the next start everything.
    s.clear();
    const auto put = [&](const QString &key, const QVariant &value, bool unchanged, bool wanted = true) {
        if (unchanged && asRead.contains(key))
            s.setValue(key, asRead.value(key));
        else if (wanted)
            s.setValue(key, value);
    };
    put(kIsServer, v.comm.is_server, v.comm.is_server == read.comm.is_server);
    put(kUseUdp, v.comm.use_udp, v.comm.use_udp == read.comm.use_udp);
    put(kSerialPort, v.comm.serialport, v.comm.serialport == read.comm.serialport);
    put(kServerHost, v.comm.server_host, v.comm.server_host == read.comm.server_host);
    put(kServerPort, v.comm.server_port, v.comm.server_port == read.comm.server_port);
    put(kClientHost, v.comm.client_host, v.comm.client_host == read.comm.client_host);
    put(kClientPort, v.comm.client_port, v.comm.client_port == read.comm.client_port);
    // The installer's three keys only when set, so a plain display's file
    // stays as it always was.
    const auto whenSet = [&put](const QString &key, const QString &value, const QString &before) {
        put(key, value, value == before, !value.isEmpty());
    };
    whenSet(kServerDestination, v.comm.server_destination, read.comm.server_destination);
    whenSet(kServerTtl, v.comm.server_ttl, read.comm.server_ttl);
    whenSet(kClientGroup, v.comm.client_group, read.comm.client_group);
    // The control channel's keys only where they differ from the defaults.
    const ControlSettings control;
    put(kControlPort, v.control.port, v.control.port == read.control.port, v.control.port != control.port);
    put(kControlBind, v.control.bind, v.control.bind == read.control.bind, v.control.bind != control.bind);
    put(kControlAllow, v.control.allow, v.control.allow == read.control.allow,
        v.control.allow != control.allow);
    whenSet(kControlToken, v.control.token, read.control.token);
    put(kCurrentScreen, v.currentScreen, v.currentScreen == read.currentScreen);
    put(kGeometry, v.geometry, v.geometry == read.geometry);
    for (size_t i = 0; i < kLabelKeys.size(); ++i)
        put(kLabelKeys[i], v.labels[i], v.labels[i] == read.labels[i]);
    s.setIniCodec(needsEscapes(s) ? nullptr : QTextCodec::codecForName("UTF-8"));
    s.sync();
    // The status sticks once set, so only a store that was sound can tell.
    if (wasSound && s.status() != QSettings::NoError)
        qCWarning(lcSettings) << "could not write the settings to" << s.fileName();
}

std::unique_ptr<QSettings> openSettingsFile(const QString &path)
{
    return openStore(path, path, QSettings::NativeFormat);
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
    return openStore(userSettingsPath(), QSettings::NativeFormat, QSettings::UserScope,
                     QCoreApplication::organizationName(), applicationForStore());
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
