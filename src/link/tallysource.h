#pragma once

#include <QString>

// Where the ON AIR lamp takes its state from, as tally_source names it:
//   (empty)                 no lamp
//   control                 the control channel's tally commands
//   cts, dsr, dcd, ri       a modem-status input of the meter link's serial
//                           port, lit while the line is asserted
//   !cts, !dsr, !dcd, !ri   the same line, lit while it is not
// The console's GPO contact is wired to the adapter's handshake input, so
// the cable that brings the levels brings the tally too.
struct TallySource
{
    enum class Kind { None, Control, Line };

    // The modem-status inputs, as bits of a line reading.
    enum Line : int { Cts = 1, Dsr = 2, Dcd = 4, Ri = 8 };

    Kind kind = Kind::None;
    int line = 0;           // one Line bit, for Kind::Line
    bool inverted = false;  // lit while the line is not asserted
    QString name;           // as tally_source spells it, lower case: "cts", "!dcd", "control"

    friend bool operator==(const TallySource &a, const TallySource &b)
    {
        return a.kind == b.kind && a.line == b.line && a.inverted == b.inverted;
    }
    friend bool operator!=(const TallySource &a, const TallySource &b) { return !(a == b); }
};

struct ParsedTallySource
{
    bool ok = false;
    TallySource source;  // no lamp when !ok
    QString error;       // what is wrong with the text, when !ok
};

// Reads a tally_source value; blanks around it and the case do not matter.
ParsedTallySource parseTallySource(const QString &text);

// Whether the lamp is lit by a reading of the modem lines (Line bits).
bool tallyLineOn(const TallySource &source, int lines);

// Readings of the modem lines, of which only a change of the watched lines
// is news: the first reading, and then each edge.
class LineEdges
{
public:
    explicit LineEdges(int mask = 0) : m_mask(mask) {}
    // True when the reading is news.
    bool feed(int lines);
    void reset() { m_last = -1; }

private:
    int m_mask;
    int m_last = -1;
};
