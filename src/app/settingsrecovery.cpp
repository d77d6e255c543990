// A damaged settings file is looked at before it is used: moved aside, and
// what can be salvaged put back in its place.
#include "settingsstore.h"

#include "logging.h"
#include "settingsdetail.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryFile>

#include <new>

using namespace SettingsDetail;

namespace {

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

struct Judgement
{
    QSettings::Status status = QSettings::AccessError;
    QStringList foreign;   // keys of a sound file whose values the next write replaces
};

Judgement judge(const QString &file, const QByteArray &bytes)
{
    Judgement j;
    try {
        QSettings probe(file, QSettings::NativeFormat);
        chooseCodec(probe, bytes);
        // Sections are parsed lazily: only reading the keys reveals a bad file.
        probe.allKeys();
        j.status = probe.status();
        if (j.status == QSettings::NoError)
            j.foreign = keysLostOnWrite(probe);
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
    if (judge(path, bytes).status == QSettings::NoError)
        return true;
    QFile unusable(path);
    if (!unusable.remove())
        qCWarning(lcSettings).noquote() << "cannot remove" << path << ":" << unusable.errorString();
    return false;
}

// "at line N: "text"", and how many more there are.
template<typename Line>
QString firstOf(const QByteArray &bytes, const QVector<Line> &lines, int number)
{
    QString what = QStringLiteral(" at line %1: %2")
                       .arg(number)
                       .arg(shownLine(bytes.mid(lines.first().start, lines.first().length)));
    if (lines.size() > 1)
        what += QStringLiteral(" (and %1 more)").arg(lines.size() - 1);
    return what;
}

} // namespace

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
                j = judge(copy.fileName(), bytes);
            } else {
                warnOnce(QStringLiteral("could not make a private copy of the settings file in %1 (%2)"
                                        " - reading %3 in place; set TMPDIR to a writable folder")
                             .arg(tmp, why, path));
                j = judge(path, bytes);
            }
        }
    }

    // A quote left open would carry the reader on into the following lines,
    // taking their keys into one value; it is closed where its line ends.
    QVector<OpenQuote> open;
    const bool parsed = j.status != QSettings::AccessError && bytes.size() <= kMaxFileBytes;
    const QByteArray mended = parsed ? withQuotesClosed(bytes, &open) : bytes;

    if (j.status == QSettings::NoError && open.isEmpty()) {
        // A sound file may still hold a value the next write cannot keep
        // under one of our keys, so keep a copy of the file as the operator
        // left it.
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

    // A typo costs its own line, not the whole file: the reader's own rules
    // name the lines it rejects, and the rest is kept when it parses.
    QVector<IniLine> bad;
    if (parsed)
        bad = unparsableLines(mended);
    QStringList faults;
    if (j.status == QSettings::AccessError)
        faults << QStringLiteral("cannot be read");
    else if (j.status == QSettings::FormatError || !bad.isEmpty())
        faults << QStringLiteral("cannot be parsed")
                      + (bad.isEmpty() ? QString()
                                       : firstOf(mended, bad, lineNumberAt(mended, bad.first().start)));
    if (!open.isEmpty())
        faults << QStringLiteral("has a quote that is not closed") + firstOf(bytes, open, open.first().line)
                      + QStringLiteral(", read up to the end of its line");
    const QString what = faults.join(QLatin1String("; "));

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

    if ((!bad.isEmpty() || !open.isEmpty()) && writeSalvage(path, withoutLines(mended, bad))) {
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
