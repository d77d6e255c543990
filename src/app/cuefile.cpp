#include "cuefile.h"

#include "logging.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cmath>

namespace {

constexpr int kMaxFileBytes = 4096;

const char *modeWord(int mode)
{
    switch (mode) {
    case ControlCenter::EndDaily: return "daily";
    case ControlCenter::EndHourly: return "hourly";
    case ControlCenter::EndOnce: return "once";
    default: return "off";
    }
}

// A wall-clock time in ms from the file, 0 for anything that is none: a
// number out of range would not fit the integer (and its conversion would
// be undefined).
qint64 wallMs(const QJsonValue &value)
{
    const double ms = value.toDouble(0);
    return std::isfinite(ms) && ms > 0 && ms < 1e15 ? qint64(ms) : 0;
}

} // namespace

QString cueFilePathFor(const QString &settingsPath)
{
    const QFileInfo settings(settingsPath);
    return settings.absolutePath() + QLatin1Char('/') + settings.completeBaseName() + QStringLiteral(".cues");
}

QByteArray cuesToJson(const ControlCenter::Cues &c)
{
    QJsonObject endmark;
    endmark.insert(QStringLiteral("mode"), QLatin1String(modeWord(c.endMode)));
    endmark.insert(QStringLiteral("hour"), c.hour);
    endmark.insert(QStringLiteral("minute"), c.minute);
    endmark.insert(QStringLiteral("second"), c.second);
    if (c.endMode == ControlCenter::EndOnce)
        endmark.insert(QStringLiteral("at_ms"), double(c.onceAtMs));
    QJsonObject o;
    o.insert(QStringLiteral("endmark"), endmark);
    o.insert(QStringLiteral("ring_end_ms"), c.ringEndMs > 0 ? QJsonValue(double(c.ringEndMs)) : QJsonValue());
    o.insert(QStringLiteral("dots"), c.dotsCountDown ? QStringLiteral("countdown") : QStringLiteral("normal"));
    QJsonObject tally;
    tally.insert(QStringLiteral("on"), c.tallyOn);
    tally.insert(QStringLiteral("text"), c.tallyText);
    tally.insert(QStringLiteral("since_ms"), c.tallyOn ? QJsonValue(double(c.tallySinceMs)) : QJsonValue());
    o.insert(QStringLiteral("tally"), tally);
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<ControlCenter::Cues> cuesFromJson(const QByteArray &json)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    const QJsonObject endmark = o.value(QStringLiteral("endmark")).toObject();
    ControlCenter::Cues c;
    const QString mode = endmark.value(QStringLiteral("mode")).toString();
    c.endMode = mode == QLatin1String("daily")    ? ControlCenter::EndDaily
                : mode == QLatin1String("hourly") ? ControlCenter::EndHourly
                : mode == QLatin1String("once")   ? ControlCenter::EndOnce
                                                  : ControlCenter::EndOff;
    // Whole numbers only; the centre checks the ranges.
    c.hour = endmark.value(QStringLiteral("hour")).toInt(-1);
    c.minute = endmark.value(QStringLiteral("minute")).toInt(-1);
    c.second = endmark.value(QStringLiteral("second")).toInt(-1);
    c.onceAtMs = wallMs(endmark.value(QStringLiteral("at_ms")));
    c.ringEndMs = wallMs(o.value(QStringLiteral("ring_end_ms")));
    c.dotsCountDown = o.value(QStringLiteral("dots")).toString() == QLatin1String("countdown");
    // A file from before the lamp has none: dark, with its first text.
    const QJsonObject tally = o.value(QStringLiteral("tally")).toObject();
    c.tallyOn = tally.value(QStringLiteral("on")).toBool(false);
    c.tallyText = tally.value(QStringLiteral("text")).toString(c.tallyText);
    c.tallySinceMs = wallMs(tally.value(QStringLiteral("since_ms")));
    return c;
}

std::optional<ControlCenter::Cues> CueFile::read()
{
    QFile file(m_path);
    if (!file.exists())
        return std::nullopt;
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.read(kMaxFileBytes + 1) : QByteArray();
    const std::optional<ControlCenter::Cues> cues = bytes.size() <= kMaxFileBytes ? cuesFromJson(bytes) : std::nullopt;
    if (!cues)
        qCWarning(lcSettings).noquote()
            << "cannot read the clock's cues from" << m_path << "(" << file.errorString()
            << ") - the end mark, the count-down, the dots and the ON AIR lamp start off; the next cue replaces the file";
    m_written = cues;
    return cues;
}

void CueFile::write(const ControlCenter::Cues &cues)
{
    if (m_written && *m_written == cues)
        return;
    QSaveFile file(m_path);
    const QByteArray json = cuesToJson(cues);
    const bool ok = file.open(QIODevice::WriteOnly) && file.write(json) == json.size() && file.commit();
    if (ok) {
        m_written = cues;
        if (m_failureTold)
            qCInfo(lcSettings).noquote() << "the clock's cues are kept in" << m_path << "again";
        m_failureTold = false;
        return;
    }
    if (!m_failureTold)
        qCWarning(lcSettings).noquote()
            << "cannot keep the clock's cues in" << m_path << ":" << file.errorString()
            << "- they show on, but a restart will not bring them back; check the folder's space and rights";
    m_failureTold = true;
}
