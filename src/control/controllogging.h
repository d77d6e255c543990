#pragma once

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>

// Every accepted write with its sender, refusals summed up once a minute,
// and the channel's own troubles.
Q_DECLARE_LOGGING_CATEGORY(lcControl)

// Outside text (a command line, a name, a path) as one log line can carry
// it: valid UTF-8 is kept but for what could forge or hide a line, which is
// written as an escape: a backslash as \\, CR, LF and tab as \r, \n, \t,
// other control characters (NUL, ESC, BEL, BS, DEL, C1) as \xHH, the line
// and paragraph separators and the writing-direction controls as \u{HHHH};
// bytes that are not UTF-8 as \xHH.
QString logText(const QByteArray &outside);
QString logText(const QString &outside);
