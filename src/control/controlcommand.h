#pragma once

#include <QByteArray>
#include <QString>

// One line of the control channel's command language, read into a value.
// Pure: no clock, no state, no I/O. Keywords are case-insensitive, words are
// separated by spaces or tabs, and a trailing CR or LF is ignored.
//
//   endmark daily HH:MM:SS | endmark hourly MM:SS | endmark in SECONDS | endmark at HH:MM:SS
//   endmark off
//   ring SECONDS | ring at HH:MM:SS | ring add SECONDS | ring off
//   dots countdown | dots normal
//   name N TEXT
//   tally on [TEXT] | tally off | tally text TEXT
//   status | ping
struct ControlCommand
{
    enum class Kind {
        EndMarkDaily,   // hour, minute, second
        EndMarkHourly,  // minute, second
        EndMarkIn,      // seconds (whole, 1 to 86399); once
        EndMarkAt,      // hour, minute, second; once, the next time the clock shows it
        EndMarkOff,
        Ring,           // tenths (1 to 864000)
        RingAt,         // hour, minute, second
        RingAdd,        // tenths, may be negative
        RingOff,
        DotsCountDown,
        DotsNormal,
        Name,           // pair (0 to 2), text
        TallyOn,        // text: the lamp's text, or empty to keep it
        TallyOff,
        TallyText,      // text, never empty
        Status,
        Ping,
    };

    // The longest line taken, without its line end, and the longest name.
    static constexpr int kMaxLineBytes = 256;
    static constexpr int kMaxNameChars = 64;
    static constexpr int kMaxTallyChars = 24;

    Kind kind = Kind::Ping;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int seconds = 0;        // EndMarkIn
    qint64 tenths = 0;      // Ring, RingAdd: tenths of a second
    int pair = 0;
    QString text;

    // True for the commands that change what the display shows.
    bool isWrite() const { return kind != Kind::Status && kind != Kind::Ping; }
};

struct ParsedCommand
{
    bool ok = false;
    ControlCommand command;
    QString error;  // a sentence naming the problem when !ok, e.g. "endmark: minute 61 is not 0 to 59"
};

ParsedCommand parseControlCommand(const QByteArray &line);

// The command's first word, lower case, for the log; empty for a blank line.
QByteArray controlCommandWord(const QByteArray &line);
