#include "controllogging.h"

#include <QTextCodec>

Q_LOGGING_CATEGORY(lcControl, "lumora.control", QtInfoMsg)

namespace {

QString hexEscape(const char *form, uint value, int width)
{
    return QString::fromLatin1(form).arg(value, width, 16, QLatin1Char('0'));
}

// Escapes one code point, or returns it as it is.
void append(QString &out, uint u)
{
    switch (u) {
    case '\\': out += QLatin1String("\\\\"); return;
    case '\n': out += QLatin1String("\\n"); return;
    case '\r': out += QLatin1String("\\r"); return;
    case '\t': out += QLatin1String("\\t"); return;
    default: break;
    }
    if (u < 0x20 || (u >= 0x7f && u < 0xa0)) {
        out += hexEscape("\\x%1", u, 2);
        return;
    }
    if (u == 0x061c || u == 0x200e || u == 0x200f || u == 0x2028 || u == 0x2029 || (u >= 0x202a && u <= 0x202e)
        || (u >= 0x2066 && u <= 0x2069)) {
        out += hexEscape("\\u{%1}", u, 4);
        return;
    }
    out += QString::fromUcs4(&u, 1);
}

} // namespace

QString logText(const QString &outside)
{
    QString out;
    out.reserve(outside.size());
    const QVector<uint> points = outside.toUcs4();
    for (const uint u : points)
        append(out, u);
    return out;
}

QString logText(const QByteArray &outside)
{
    QTextCodec::ConverterState state;
    const QString decoded = QTextCodec::codecForName("UTF-8")->toUnicode(outside.constData(), outside.size(), &state);
    if (state.invalidChars == 0 && state.remainingChars == 0)
        return logText(decoded);
    // Not UTF-8: printable ASCII as it is, every other byte escaped.
    QString out;
    for (const char c : outside) {
        const uchar b = uchar(c);
        if (b >= 0x80)
            out += hexEscape("\\x%1", b, 2);
        else
            append(out, b);
    }
    return out;
}
