#include "controlcommand.h"

#include <QList>
#include <QTextCodec>

#include <cmath>

namespace {

using Kind = ControlCommand::Kind;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The words of a line; `rest` receives what follows the word at index
// restAfter (without the blanks before it), for the name's free text.
QList<QByteArray> splitWords(const QByteArray &line, int restAfter, QByteArray *rest)
{
    QList<QByteArray> words;
    int i = 0;
    const int n = line.size();
    while (i < n) {
        while (i < n && isBlank(line[i]))
            ++i;
        if (i >= n)
            break;
        if (rest && words.size() == restAfter + 1) {
            *rest = line.mid(i);
            return words;
        }
        const int start = i;
        while (i < n && !isBlank(line[i]))
            ++i;
        words << line.mid(start, i - start);
    }
    return words;
}

ParsedCommand refuse(const QString &error)
{
    ParsedCommand p;
    p.error = error;
    return p;
}

ParsedCommand accept(const ControlCommand &c)
{
    ParsedCommand p;
    p.ok = true;
    p.command = c;
    return p;
}

QString shown(const QByteArray &word)
{
    // Quoted back to the sender as Latin-1 with anything unprintable as '?',
    // so a reply is always one printable line.
    QString s = QString::fromLatin1(word.left(32));
    for (QChar &c : s) {
        if (c.unicode() < 0x20 || c.unicode() >= 0x7f)
            c = QLatin1Char('?');
    }
    if (word.size() > 32)
        s += QStringLiteral("...");
    return QLatin1Char('\'') + s + QLatin1Char('\'');
}

QString codePoint(ushort u) { return QString::number(u, 16).toUpper().rightJustified(4, QLatin1Char('0')); }

bool allDigits(const QByteArray &s)
{
    if (s.isEmpty())
        return false;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// "HH:MM:SS" (withHour) or "MM:SS"; each field one or two digits.
bool parseClockTime(const QByteArray &word, bool withHour, const char *what, ControlCommand &c,
                    QString &error)
{
    const QList<QByteArray> parts = word.split(':');
    const int expected = withHour ? 3 : 2;
    bool shapeOk = parts.size() == expected;
    for (const QByteArray &p : parts)
        shapeOk = shapeOk && allDigits(p) && p.size() <= 2;
    if (!shapeOk) {
        error = QStringLiteral("%1: expected %2, got %3")
                    .arg(QLatin1String(what), withHour ? QStringLiteral("HH:MM:SS") : QStringLiteral("MM:SS"),
                         shown(word));
        return false;
    }
    int k = 0;
    c.hour = withHour ? parts[k++].toInt() : 0;
    c.minute = parts[k++].toInt();
    c.second = parts[k++].toInt();
    if (c.hour > 23) {
        error = QStringLiteral("%1: hour %2 is not 0 to 23").arg(QLatin1String(what)).arg(c.hour);
        return false;
    }
    if (c.minute > 59) {
        error = QStringLiteral("%1: minute %2 is not 0 to 59").arg(QLatin1String(what)).arg(c.minute);
        return false;
    }
    if (c.second > 59) {
        error = QStringLiteral("%1: second %2 is not 0 to 59").arg(QLatin1String(what)).arg(c.second);
        return false;
    }
    return true;
}

// A decimal number of seconds, "45", "45.5", "-10", "+0.25", rounded to
// tenths. No exponents, no infinities: what a person or a script writes.
bool parseTenths(const QByteArray &word, bool allowSign, qint64 &tenths)
{
    int i = 0;
    bool negative = false;
    if (allowSign && i < word.size() && (word[i] == '-' || word[i] == '+')) {
        negative = word[i] == '-';
        ++i;
    }
    const int intStart = i;
    while (i < word.size() && word[i] >= '0' && word[i] <= '9')
        ++i;
    const QByteArray whole = word.mid(intStart, i - intStart);
    QByteArray fraction;
    if (i < word.size() && word[i] == '.') {
        ++i;
        const int fracStart = i;
        while (i < word.size() && word[i] >= '0' && word[i] <= '9')
            ++i;
        fraction = word.mid(fracStart, i - fracStart);
    }
    if (i != word.size() || (whole.isEmpty() && fraction.isEmpty()))
        return false;
    // Anything past a day is refused by the caller; a long run of digits
    // must not overflow on the way there.
    if (whole.size() > 9)
        return false;
    qint64 value = whole.isEmpty() ? 0 : whole.toLongLong() * 10;
    if (!fraction.isEmpty()) {
        value += fraction[0] - '0';
        // Round half up on the hundredths.
        if (fraction.size() > 1 && fraction[1] >= '5')
            value += 1;
    }
    tenths = negative ? -value : value;
    return true;
}

QString formatTenths(qint64 tenths)
{
    return tenths % 10 == 0 ? QString::number(tenths / 10)
                            : QString::number(double(tenths) / 10.0, 'f', 1);
}

ParsedCommand parseEndMark(const QList<QByteArray> &w)
{
    ControlCommand c;
    const QByteArray mode = w.value(1).toLower();
    if (mode == "off") {
        if (w.size() != 2)
            return refuse(QStringLiteral("endmark off: takes nothing more"));
        c.kind = Kind::EndMarkOff;
        return accept(c);
    }
    if (mode != "daily" && mode != "hourly" && mode != "in" && mode != "at")
        return refuse(QStringLiteral("endmark: expected daily HH:MM:SS, hourly MM:SS, in SECONDS, at HH:MM:SS or off"));
    if (w.size() != 3)
        return refuse(QStringLiteral("endmark %1: expected one value").arg(QString::fromLatin1(mode)));
    QString error;
    if (mode == "daily" || mode == "at") {
        c.kind = mode == "at" ? Kind::EndMarkAt : Kind::EndMarkDaily;
        if (!parseClockTime(w[2], true, "endmark", c, error))
            return refuse(error);
        return accept(c);
    }
    if (mode == "hourly") {
        c.kind = Kind::EndMarkHourly;
        if (!parseClockTime(w[2], false, "endmark", c, error))
            return refuse(error);
        return accept(c);
    }
    c.kind = Kind::EndMarkIn;
    if (!allDigits(w[2]) || w[2].size() > 5 || w[2].toInt() < 1 || w[2].toInt() > 86399)
        return refuse(QStringLiteral("endmark in: %1 is not a whole number of seconds from 1 to 86399")
                          .arg(shown(w[2])));
    c.seconds = w[2].toInt();
    return accept(c);
}

ParsedCommand parseRing(const QList<QByteArray> &w)
{
    ControlCommand c;
    const QByteArray first = w.value(1).toLower();
    if (first == "off") {
        if (w.size() != 2)
            return refuse(QStringLiteral("ring off: takes nothing more"));
        c.kind = Kind::RingOff;
        return accept(c);
    }
    if (first == "at") {
        if (w.size() != 3)
            return refuse(QStringLiteral("ring at: expected HH:MM:SS"));
        c.kind = Kind::RingAt;
        QString error;
        if (!parseClockTime(w[2], true, "ring at", c, error))
            return refuse(error);
        return accept(c);
    }
    if (first == "add") {
        if (w.size() != 3)
            return refuse(QStringLiteral("ring add: expected one number of seconds"));
        c.kind = Kind::RingAdd;
        if (!parseTenths(w[2], true, c.tenths) || c.tenths < -864000 || c.tenths > 864000)
            return refuse(QStringLiteral("ring add: %1 is not a number of seconds from -86400 to 86400")
                              .arg(shown(w[2])));
        return accept(c);
    }
    if (w.size() != 2)
        return refuse(QStringLiteral("ring: expected SECONDS, at HH:MM:SS, add SECONDS or off"));
    c.kind = Kind::Ring;
    if (!parseTenths(w[1], false, c.tenths))
        return refuse(QStringLiteral("ring: expected SECONDS, at HH:MM:SS, add SECONDS or off, got %1")
                          .arg(shown(w[1])));
    if (c.tenths <= 0 || c.tenths > 864000)
        return refuse(QStringLiteral("ring: %1 seconds is not more than 0 and at most 86400")
                          .arg(c.tenths <= 0 ? QString::fromLatin1(w[1]) : formatTenths(c.tenths)));
    return accept(c);
}

// The free text at the end of a line (a name, the lamp's text) as the
// screen may show it: UTF-8, tabs as blanks, control characters left out,
// and no character that could make it read as other text. `what` starts
// each error sentence, and `noun` names the text in it.
bool cleanText(const QByteArray &rest, const QString &what, const QString &noun, int maxChars, QString &text,
               QString &error)
{
    QTextCodec::ConverterState state;
    const QString decoded = QTextCodec::codecForName("UTF-8")->toUnicode(rest.constData(), rest.size(), &state);
    if (state.invalidChars > 0) {
        error = QStringLiteral("%1: the text is not UTF-8").arg(what);
        return false;
    }
    text.clear();
    text.reserve(decoded.size());
    for (const QChar ch : decoded) {
        const ushort u = ch.unicode();
        // A tab between words is a blank, not nothing.
        if (u == '\t') {
            text += QLatin1Char(' ');
            continue;
        }
        if (u < 0x20 || (u >= 0x7f && u < 0xa0))
            continue;
        // A direction control turns the rest of the line round, and a line
        // or paragraph separator breaks it: either lets a text pass for
        // something the display says itself.
        if (u == 0x061c || u == 0x200e || u == 0x200f || (u >= 0x202a && u <= 0x202e) || (u >= 0x2066 && u <= 0x2069)) {
            error = QStringLiteral("%1: U+%2 is a writing-direction control, which could make the %3 "
                                   "read as other text; send the %3 without it")
                        .arg(what, codePoint(u), noun);
            return false;
        }
        if (u == 0x2028 || u == 0x2029) {
            error = QStringLiteral("%1: U+%2 breaks the line; a %3 is one line").arg(what, codePoint(u), noun);
            return false;
        }
        text += ch;
    }
    const int chars = text.toUcs4().size();
    if (chars > maxChars) {
        error = QStringLiteral("%1: %2 characters, at most %3").arg(what).arg(chars).arg(maxChars);
        return false;
    }
    return true;
}

ParsedCommand parseName(const QList<QByteArray> &w, const QByteArray &rest)
{
    ControlCommand c;
    c.kind = Kind::Name;
    if (w.size() < 2 || !allDigits(w[1]) || w[1].size() != 1 || w[1][0] < '1' || w[1][0] > '3')
        return refuse(QStringLiteral("name: expected a pair number 1 to 3, got %1").arg(shown(w.value(1))));
    c.pair = w[1][0] - '1';
    QString error;
    if (!cleanText(rest, QStringLiteral("name"), QStringLiteral("name"), ControlCommand::kMaxNameChars, c.text, error))
        return refuse(error);
    return accept(c);
}

ParsedCommand parseTally(const QList<QByteArray> &w, const QByteArray &rest)
{
    ControlCommand c;
    const QByteArray mode = w.value(1).toLower();
    if (mode == "off") {
        if (!rest.isEmpty())
            return refuse(QStringLiteral("tally off: takes nothing more"));
        c.kind = Kind::TallyOff;
        return accept(c);
    }
    if (mode != "on" && mode != "text")
        return refuse(QStringLiteral("tally: expected on [TEXT], off or text TEXT"));
    c.kind = mode == "on" ? Kind::TallyOn : Kind::TallyText;
    const QString what = QStringLiteral("tally ") + QString::fromLatin1(mode);
    QString error;
    if (!cleanText(rest, what, QStringLiteral("lamp's text"), ControlCommand::kMaxTallyChars, c.text, error))
        return refuse(error);
    c.text = c.text.trimmed();
    if (c.kind == Kind::TallyText && c.text.isEmpty())
        return refuse(QStringLiteral("tally text: expected the lamp's text, at most %1 characters")
                          .arg(ControlCommand::kMaxTallyChars));
    return accept(c);
}

} // namespace

QByteArray controlCommandWord(const QByteArray &line)
{
    const QList<QByteArray> words = splitWords(line.left(ControlCommand::kMaxLineBytes), -1, nullptr);
    return words.isEmpty() ? QByteArray() : words.first().toLower().left(16);
}

ParsedCommand parseControlCommand(const QByteArray &raw)
{
    QByteArray line = raw;
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.size() > ControlCommand::kMaxLineBytes)
        return refuse(QStringLiteral("line longer than %1 bytes").arg(ControlCommand::kMaxLineBytes));

    const QList<QByteArray> all = splitWords(line, -1, nullptr);
    if (all.isEmpty())
        return refuse(QStringLiteral("empty command"));
    const QByteArray word = all[0].toLower();
    if (word == "name" || word == "tally") {
        // The text is the rest of the line, inner spaces and all.
        QByteArray rest;
        const QList<QByteArray> w = splitWords(line, 1, &rest);
        while (!rest.isEmpty() && isBlank(rest.back()))
            rest.chop(1);
        return word == "name" ? parseName(w, rest) : parseTally(w, rest);
    }

    ControlCommand c;
    if (word == "endmark")
        return parseEndMark(all);
    if (word == "ring")
        return parseRing(all);
    if (word == "dots") {
        const QByteArray mode = all.value(1).toLower();
        if (all.size() != 2 || (mode != "countdown" && mode != "normal"))
            return refuse(QStringLiteral("dots: expected countdown or normal"));
        c.kind = mode == "countdown" ? Kind::DotsCountDown : Kind::DotsNormal;
        return accept(c);
    }
    if (word == "status" || word == "ping") {
        if (all.size() != 1)
            return refuse(QStringLiteral("%1: takes nothing more").arg(QString::fromLatin1(word)));
        c.kind = word == "status" ? Kind::Status : Kind::Ping;
        return accept(c);
    }
    return refuse(QStringLiteral("unknown command %1; the commands are endmark, ring, dots, name, tally, status and ping")
                      .arg(shown(all[0])));
}
