#include "tallyline.h"

#include "commsettings.h"
#include "linklogging.h"
#include "serialfeed.h"
#include "serialproblem.h"

TallyLine::TallyLine(SerialFeed *feed, QObject *parent)
    : QObject(parent)
    , m_feed(feed)
{
    connect(m_feed, &SerialFeed::linesChanged, this, &TallyLine::follow);
}

void TallyLine::setSource(const TallySource &source)
{
    const bool line = source.kind == TallySource::Kind::Line;
    if (source != m_source) {
        m_problemTold = false;
        m_noPortTold = false;
    }
    m_source = source;
    m_feed->setLineWatch(line ? source.line : 0);
    setPortInUse(m_portInUse);
    follow(m_feed->lines());
}

void TallyLine::setPortInUse(bool inUse)
{
    m_portInUse = inUse;
    if (m_source.kind != TallySource::Kind::Line || inUse || m_noPortTold)
        return;
    m_noPortTold = true;
    qCWarning(lcLink).noquote()
        << QStringLiteral(LUMORA_KEY_TALLY_SOURCE "=%1 reads a line of the serial port, but this display is a UDP "
                          "client and opens none - the ON AIR lamp stays dark; set " LUMORA_KEY_TALLY_SOURCE
                          "=control and send it tally commands, or wire the console's GPO to the serial port of "
                          "the display that reads the console")
               .arg(m_source.name);
}

void TallyLine::follow(int lines)
{
    const bool line = m_source.kind == TallySource::Kind::Line;
    const bool known = line && lines >= 0;
    const bool on = known && tallyLineOn(m_source, lines);
    if (line && !known && !m_feed->linesProblem().isEmpty() && !m_problemTold) {
        m_problemTold = true;
        qCWarning(lcLink).noquote()
            << QStringLiteral(LUMORA_KEY_TALLY_SOURCE "=%1: cannot read the modem lines of %2 (%3) - the ON AIR lamp "
                              "stays dark. A pseudo-terminal and some USB adapters have no such lines: wire the "
                              "console's GPO to an adapter's CTS, DSR, DCD or RI input, or set "
                              LUMORA_KEY_TALLY_SOURCE "=control")
                   .arg(m_source.name, shownPortName(serialDevicePath(m_feed->portName())), m_feed->linesProblem());
    }
    if (known == m_known && on == m_on)
        return;
    m_known = known;
    m_on = on;
    emit changed(known, on);
}
