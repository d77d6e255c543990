#include "settingsstore.h"

#include "logging.h"
#include "settingsdetail.h"
#include "settingskeys.h"

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
#include <type_traits>
#include <utility>
#include <variant>

using namespace SettingsDetail;
using SettingsKeys::Key;
using SettingsKeys::kKeys;
using SettingsKeys::Type;

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

// The reader of a key whose member is of type T.
template<typename T>
std::optional<T> readAs(const QVariant &raw)
{
    if constexpr (std::is_same_v<T, bool>) {
        return readFlag(raw);
    } else if constexpr (std::is_same_v<T, QString>) {
        return readText(raw);
    } else if constexpr (std::is_same_v<T, int>) {
        return readInt(raw);
    } else {
        static_assert(std::is_same_v<T, QByteArray>, "a member type without a reader");
        return readBytes(raw);
    }
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

bool readable(const Key &key, const QVariant &v)
{
    return std::visit(
        [&v](const auto &member) {
            using T = typename std::decay_t<decltype(member)>::Value;
            return readAs<T>(v).has_value();
        },
        key.member);
}

QString typeName(Type type)
{
    switch (type) {
    case Type::Flag:
        return QStringLiteral("no flag (true/false, yes/no, on/off, 1/0)");
    case Type::Text:
    case Type::Secret:
        return QStringLiteral("no text");
    case Type::Int:
        return QStringLiteral("no whole number");
    case Type::Bytes:
        return QStringLiteral("no byte array");
    }
    return QString();
}

// Whether a value goes into the file by its key's rule.
template<typename T>
bool written(SettingsKeys::Rule rule, const T &value, const T &firstRun)
{
    switch (rule) {
    case SettingsKeys::Rule::Always:
        return true;
    case SettingsKeys::Rule::WhenSet:
        return value != T();
    case SettingsKeys::Rule::WhenChanged:
        return value != firstRun;
    }
    return true;
}

// A value that reads as absent, with the first-run value used instead.
struct Unread
{
    QString key;
    Type type;
    QString firstRun;
};

// Reads the keys; `unread` gets those present with a value that does not
// read as their type but is kept as it is.
class KeyReader
{
public:
    explicit KeyReader(const QSettings &s) : m_s(s) {}

    void read(const Key &key, StoredSettings &v)
    {
        std::visit([&](const auto &member) { take(key, member.ref(v)); }, key.member);
    }

    QVector<Unread> unread;

private:
    // A value that does not read leaves the field at its first-run value.
    template<typename T>
    void take(const Key &key, T &field)
    {
        const QVariant raw = m_s.value(key.name);
        if (const std::optional<T> value = readAs<T>(raw)) {
            field = *value;
            return;
        }
        if (raw.isValid() && keptAsRead(raw))
            unread.push_back({ key.name, key.type, shown(field) });
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
    for (const Key &key : kKeys)
        r.read(key, v);
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

// One warning per value that does not read as its key's type, and per
// secret the toolkit split at its commas.
void warnAbout(const QSettings &s, const QVector<Unread> &unread, const QStringList &splitSecrets)
{
    QFile file(s.fileName());
    const QByteArray bytes = file.size() <= kMaxFileBytes && file.open(QIODevice::ReadOnly) ? file.readAll()
                                                                                          : QByteArray();
    for (const Unread &u : unread) {
        warnOnce(QStringLiteral("settings file %1, %2 is %3 - read as %4, its first-run value; the line"
                                " is kept as it is, correct it to set %5")
                     .arg(s.fileName(), whereIs(s, bytes, u.key), typeName(u.type), u.firstRun, u.key));
    }
    for (const QString &key : splitSecrets) {
        warnOnce(QStringLiteral("settings file %1, %2 holds commas, which split it into parts: it is read"
                                " with \", \" between them; put the value in double quotes to keep it as typed")
                     .arg(s.fileName(), whereIs(s, bytes, key)));
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
    for (const Key &key : kKeys) {
        if (!s.contains(key.name))
            continue;
        const QVariant raw = s.value(key.name);
        if (!readable(key, raw) && !keptAsRead(raw))
            keys << key.name;
    }
    return keys;
}
} // namespace SettingsDetail

StoredSettings readStored(QSettings &s)
{
    QVector<Unread> unread;
    const StoredSettings v = readValues(s, &unread);
    // Commas in a secret are more likely part of it than a list.
    QStringList splitSecrets;
    for (const Key &key : kKeys) {
        if (key.type != Type::Secret)
            continue;
        const auto parts = texts(s.value(key.name));
        if (parts && parts->size() > 1)
            splitSecrets << key.name;
    }
    if (!unread.isEmpty() || !splitSecrets.isEmpty())
        warnAbout(s, unread, splitSecrets);
    return v;
}

void writeStored(QSettings &s, const StoredSettings &v)
{
    const bool wasSound = s.status() == QSettings::NoError;
    // A value the program has not changed is written back as it was read, in
    // the words the operator typed (yes, a list, a typo that reads as the
    // first-run value), whatever its key's rule says.
    const StoredSettings read = readValues(s, nullptr);
    QHash<QString, QVariant> asRead;
    for (const Key &key : kKeys) {
        const QVariant raw = s.value(key.name);
        if (raw.isValid() && keptAsRead(raw))
            asRead.insert(key.name, raw);
    }
    // Only the program's keys are kept. Stray keys from a damaged file would
    // otherwise be carried along, and some of them the toolkit writes in a
    // form it cannot read back, which would cost the next start everything.
    s.clear();
    const StoredSettings firstRun;
    for (const Key &key : kKeys) {
        std::visit(
            [&](const auto &member) {
                const auto &value = member.get(v);
                if (value == member.get(read) && asRead.contains(key.name))
                    s.setValue(key.name, asRead.value(key.name));
                else if (written(key.rule, value, member.get(firstRun)))
                    s.setValue(key.name, value);
            },
            key.member);
    }
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
