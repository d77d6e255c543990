// The settings file as text, read by the rules of the toolkit's INI reader:
// its lines, where a key is set, what cannot be parsed, and how a line is
// shown in the log.
#include "settingsdetail.h"

#include "logging.h"
#include "settingskeys.h"

#include <QSet>
#include <QSettings>
#include <QTextCodec>

namespace SettingsDetail {

namespace {

bool isIniSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// True when the byte at i ends a physical line: "\n", "\r\n" counted at its
// "\n", or a lone "\r".
bool endsLine(const QByteArray &data, int i)
{
    const char c = data.at(i);
    return c == '\n' || (c == '\r' && (i + 1 >= data.size() || data.at(i + 1) != '\n'));
}

int endOfPhysicalLine(const QByteArray &data, int from)
{
    int end = from;
    while (end < data.size() && data.at(end) != '\n' && data.at(end) != '\r')
        ++end;
    return end;
}

// The secret a line sets, if it sets one: its value is never written to the log.
std::optional<QLatin1String> secretOf(const QByteArray &line)
{
    const QByteArray text = line.trimmed().toLower();
    for (const SettingsKeys::Key &key : SettingsKeys::kKeys) {
        if (key.type == SettingsKeys::Type::Secret
            && text.startsWith(QByteArray(key.name.data(), key.name.size()).toLower()))
            return key.name;
    }
    return std::nullopt;
}

} // namespace

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
        if (endsLine(data, i))
            ++number;
    }
    return number;
}

QString shownLine(const QByteArray &line)
{
    constexpr int kShownBytes = 80;
    // A typo in a secret's line (no '=', say) must not print the secret.
    if (const auto secret = secretOf(line))
        return QStringLiteral("\"%1 ...\" (its value is not shown)").arg(*secret);
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

QByteArray withQuotesClosed(const QByteArray &data, QVector<OpenQuote> *open)
{
    // The reader's rules for quotes: a backslash takes the next byte as it
    // is, and a ';' outside quotes comments out the rest of the line.
    const int size = data.size();
    QByteArray closed;
    int copied = 0;
    int line = 1;
    int lineStart = 0;
    bool inQuotes = false;
    OpenQuote quote;
    const auto close = [&](int at) {
        closed += data.mid(copied, at - copied);
        closed += '"';
        copied = at;
        quote.length = endOfPhysicalLine(data, quote.start) - quote.start;
        open->push_back(quote);
        inQuotes = false;
    };
    // Steps over the byte at i, counting the lines it ends.
    const auto step = [&](int &i) {
        if (endsLine(data, i)) {
            ++line;
            lineStart = i + 1;
        }
        ++i;
    };
    int i = lineStart;
    while (i < size) {
        const char c = data.at(i);
        if (c == '\n' || c == '\r') {
            if (inQuotes)
                close(i);
            step(i);
        } else if (c == '\\') {
            step(i);
            if (i < size) {
                const char escaped = data.at(i);
                step(i);
                const bool pair = i < size && ((escaped == '\n' && data.at(i) == '\r')
                                               || (escaped == '\r' && data.at(i) == '\n'));
                if (pair)
                    step(i);
            }
        } else if (c == ';' && !inQuotes) {
            i = endOfPhysicalLine(data, i);
        } else {
            if (c == '"') {
                if (!inQuotes) {
                    quote.line = line;
                    quote.start = lineStart;
                }
                inQuotes = !inQuotes;
            }
            step(i);
        }
    }
    if (inQuotes)
        close(size);
    return open->isEmpty() ? data : closed + data.mid(copied);
}

std::optional<IniLine> lineOfKey(const QByteArray &data, const QString &key)
{
    const QByteArray wanted = key.toUtf8();
    std::optional<IniLine> found;
    bool outsideGroups = true;
    int pos = 0;
    IniLine line;
    while (nextIniLine(data, pos, line)) {
        const QByteArray text = QByteArray::fromRawData(data.constData() + line.start, line.length);
        if (text.startsWith('[')) {
            const QByteArray name = text.mid(1, text.indexOf(']') - 1).trimmed();
            outsideGroups = name.compare("general", Qt::CaseInsensitive) == 0;
        } else if (outsideGroups && line.equals != -1
                   && data.mid(line.start, line.equals - line.start).trimmed() == wanted) {
            found = line;   // the toolkit takes the last one
        }
    }
    return found;
}

int firstLineNotUtf8(const QByteArray &data)
{
    QTextCodec *utf8 = QTextCodec::codecForName("UTF-8");
    const auto valid = [utf8](const char *text, int length) {
        QTextCodec::ConverterState state;
        utf8->toUnicode(text, length, &state);
        return state.invalidChars == 0 && state.remainingChars == 0;
    };
    if (valid(data.constData(), data.size()))
        return 0;
    // No byte of a multi-byte character ends a line, so lines can be judged
    // one by one.
    int line = 1;
    int start = 0;
    for (int i = 0; i <= data.size(); ++i) {
        if (i < data.size() && !endsLine(data, i))
            continue;
        if (!valid(data.constData() + start, i - start))
            return line;
        ++line;
        start = i + 1;
    }
    return 1;
}

void chooseCodec(QSettings &s, const QByteArray &bytes)
{
    const bool latin1 = firstLineNotUtf8(bytes) != 0;
    // Without a codec the toolkit reads Latin-1 and writes escapes.
    s.setIniCodec(latin1 ? nullptr : QTextCodec::codecForName("UTF-8"));
}

void warnOnce(const QString &text)
{
    static QSet<QString> said;
    if (!lcSettings().isWarningEnabled() || said.contains(text))
        return;
    said.insert(text);
    qCWarning(lcSettings).noquote() << text;
}

} // namespace SettingsDetail
