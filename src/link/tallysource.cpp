#include "tallysource.h"

ParsedTallySource parseTallySource(const QString &text)
{
    ParsedTallySource parsed;
    const QString word = text.trimmed().toLower();
    parsed.source.name = word;
    if (word.isEmpty()) {
        parsed.ok = true;
        return parsed;
    }
    if (word == QLatin1String("control")) {
        parsed.ok = true;
        parsed.source.kind = TallySource::Kind::Control;
        return parsed;
    }
    const bool inverted = word.startsWith(QLatin1Char('!'));
    const QString line = inverted ? word.mid(1).trimmed() : word;
    static const struct { const char *name; int bit; } kLines[] = {
        {"cts", TallySource::Cts}, {"dsr", TallySource::Dsr}, {"dcd", TallySource::Dcd}, {"ri", TallySource::Ri},
    };
    for (const auto &l : kLines) {
        if (line == QLatin1String(l.name)) {
            parsed.ok = true;
            parsed.source.kind = TallySource::Kind::Line;
            parsed.source.line = l.bit;
            parsed.source.inverted = inverted;
            parsed.source.name = (inverted ? QStringLiteral("!") : QString()) + line;
            return parsed;
        }
    }
    parsed.source = TallySource();
    parsed.error = QStringLiteral("is not control, cts, dsr, dcd or ri (or one of the four lines with ! before it, "
                                  "lit while the line is off)");
    return parsed;
}

bool tallyLineOn(const TallySource &source, int lines)
{
    if (source.kind != TallySource::Kind::Line || lines < 0)
        return false;
    return ((lines & source.line) != 0) != source.inverted;
}

bool LineEdges::feed(int lines)
{
    const int watched = lines < 0 ? -1 : (lines & m_mask);
    if (watched == m_last)
        return false;
    m_last = watched;
    return true;
}
