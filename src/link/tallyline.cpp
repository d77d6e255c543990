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
        m_problem.clear();
    }
    m_source = source;
    m_feed->setLineWatch(line ? source.line : 0);
    setPortInUse(m_portInUse);
    follow(m_feed->lines());
}

void TallyLine::setPortInUse(bool inUse)
{
    if (inUse && !m_portInUse)
        m_problem.clear();  // the UDP client's
    m_portInUse = inUse;
    if (m_source.kind != TallySource::Kind::Line || inUse) {
        follow(m_feed->lines());
        return;
    }
    const QString problem = QStringLiteral(LUMORA_KEY_TALLY_SOURCE "=%1 reads a line of the serial port, but this "
                                           "display is a UDP client and opens none")
                                .arg(m_source.name);
    if (!m_noPortTold)
        qCWarning(lcLink).noquote()
            << problem
            << QStringLiteral("- the ON AIR lamp stays dark; set " LUMORA_KEY_TALLY_SOURCE "=control and send it "
                              "tally commands, or wire the console's GPO to the serial port of the display that "
                              "reads the console");
    m_noPortTold = true;
    if (problem != m_problem) {
        m_problem = problem;
        emit changed(m_known, m_on);
    }
}

void TallyLine::follow(int lines)
{
    const bool line = m_source.kind == TallySource::Kind::Line;
    const bool known = line && lines >= 0;
    const bool on = known && tallyLineOn(m_source, lines);
    QString problem;
    if (line && !m_portInUse) {
        problem = m_problem;  // the UDP client's, told by setPortInUse()
    } else if (line && !known && !m_feed->linesProblem().isEmpty()) {
        problem = QStringLiteral(LUMORA_KEY_TALLY_SOURCE "=%1: cannot read the modem lines of %2 (%3)")
                      .arg(m_source.name, shownPortName(serialDevicePath(m_feed->portName())), m_feed->linesProblem());
        if (!m_problemTold)
            qCWarning(lcLink).noquote()
                << problem
                << "- the ON AIR lamp stays dark. A pseudo-terminal and some USB adapters have no such lines: wire "
                   "the console's GPO to an adapter's CTS, DSR, DCD or RI input, or set " LUMORA_KEY_TALLY_SOURCE
                   "=control";
        m_problemTold = true;
    } else if (line && !known) {
        // Not read yet, or the port is shut (the link mark tells why): the
        // last reason stands until a reading.
        problem = m_problem;
    }
    if (known == m_known && on == m_on && problem == m_problem)
        return;
    m_known = known;
    m_on = on;
    m_problem = problem;
    emit changed(known, on);
}
