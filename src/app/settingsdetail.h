#pragma once

// Shared by the sources of the settings store (settingsstore.cpp,
// settingsini.cpp, settingsrecovery.cpp); nothing else includes it.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <optional>

class QSettings;

namespace SettingsDetail {

// A store of a few dozen short values is a few hundred bytes; beyond this a
// file is taken as damaged without being parsed.
constexpr qint64 kMaxFileBytes = 4 * 1024 * 1024;

// ---- Values (settingsstore.cpp) ------------------------------------------
// The keys of the store that are present but hold a value that can neither
// be read as the key's type nor written back as it was read (a serialized
// variant of another type, say): the next write replaces them.
QStringList keysLostOnWrite(const QSettings &s);

// ---- The file as text (settingsini.cpp) ----------------------------------
// One logical line of the toolkit's INI reader: a backslash joins the next
// physical line, quotes may span lines, and a ';' at the start of a line
// comments it out. Offsets into the file's bytes.
struct IniLine
{
    int start = 0;
    int length = 0;
    int equals = -1;
};

bool nextIniLine(const QByteArray &data, int &pos, IniLine &line);
// The lines the toolkit's reader rejects: a section header without its
// closing bracket, and a line that is neither a header nor a key.
QVector<IniLine> unparsableLines(const QByteArray &data);
QByteArray withoutLines(const QByteArray &data, const QVector<IniLine> &lines);
int lineNumberAt(const QByteArray &data, int offset);
// A line of the file as it can be shown in one log line: cut short, quoted,
// with control characters and other bytes that are no plain text escaped,
// and the value of a secret left out.
QString shownLine(const QByteArray &line);

// A quote still open at the end of its line. The toolkit would read on into
// the following lines, taking their keys into this value.
struct OpenQuote
{
    int line = 0;     // its line number
    int start = 0;    // the physical line, as offsets into the file
    int length = 0;
};
// The file with each quote that is open at the end of its line closed
// there; `open` gets those lines.
QByteArray withQuotesClosed(const QByteArray &data, QVector<OpenQuote> *open);

// The last logical line that sets `key` outside any group, if there is one.
std::optional<IniLine> lineOfKey(const QByteArray &data, const QString &key);

// The line number of the first line that is not UTF-8 text; 0 when all is.
int firstLineNotUtf8(const QByteArray &data);
// Sets the codec that `s` reads the file's `bytes` with: UTF-8, unless they
// are not UTF-8 text (typed in a Latin-1 editor, say) and are then read as
// Latin-1, as the store always read them. Every settings object on one file
// must read it alike: the toolkit shares what one parsed with the others.
void chooseCodec(QSettings &s, const QByteArray &bytes);

// A warning that would otherwise repeat at every read and write of the store.
void warnOnce(const QString &text);

} // namespace SettingsDetail
