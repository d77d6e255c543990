#pragma once

#include <cstddef>
#include <string>

struct termios;

// A pseudo-terminal standing in for a serial cable: the master is the
// console's end, written to by the simulator, a test or a benchmark; the
// slave is the device the display opens by its name.
class PtyPair
{
public:
    PtyPair() = default;
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;
    ~PtyPair() { close(); }

    // A new pair, its slave in raw mode from the start, so the line
    // discipline changes no byte written before the reader sets the line up;
    // with `line`, the slave takes those settings instead. The master does
    // not block when `nonBlockingMaster`. False, with errno set, where the
    // system refuses. An open pair is closed first.
    bool open(bool nonBlockingMaster = true, const termios *line = nullptr);

    // Closes both ends: the reader's reads fail from now on.
    void close();
    // Closes this side's copy of the slave: only the reader has it open, so
    // the master sees when the reader lets go, and a pulled cable's device
    // goes away with the master.
    void closeSlave();
    // Hands the master over to the caller, who closes it.
    int releaseMaster();

    // Hangs the line up as a pulled USB adapter does: the reader's reads
    // come back empty, not failed. False where the system refuses.
    bool hangUp() const;

    // Writes all bytes to the master. On a full terminal (a non-blocking
    // master) it waits for room, and gives up once it has waited `maxWaitMs`
    // in all. False on a write error or when it gave up.
    bool write(const void *data, std::size_t size, int maxWaitMs = 2000) const;

    int master() const { return m_master; }
    int slave() const { return m_slave; }
    const std::string &slavePath() const { return m_slavePath; }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
};
