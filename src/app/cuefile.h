#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

#include "controlcenter.h"

// The studio's cues on the clock (the end mark, the count-down's end, the
// dots) and the ON AIR lamp as last switched, as a small JSON file beside the display's settings, so a restart of
// the same display shows them again. Written only when they change, at
// once and atomically; what cannot be read or written is logged once.
class CueFile
{
public:
    explicit CueFile(QString path) : m_path(std::move(path)) {}

    // The cues kept, or nothing when there is no file (told when there is
    // one that cannot be read).
    std::optional<ControlCenter::Cues> read();
    void write(const ControlCenter::Cues &cues);

    QString path() const { return m_path; }

private:
    QString m_path;
    std::optional<ControlCenter::Cues> m_written;
    bool m_failureTold = false;
};

// "<settings file without .conf>.cues", beside it.
QString cueFilePathFor(const QString &settingsPath);

QByteArray cuesToJson(const ControlCenter::Cues &cues);
std::optional<ControlCenter::Cues> cuesFromJson(const QByteArray &json);
