#pragma once

#include <QHostAddress>
#include <QString>

#include <atomic>
#include <cstdint>

class QObject;
class QUdpSocket;
class ThreadWake;

// A UDP server's sending end: its socket, and the send of each packet on
// whichever thread framed it (the serial reader thread, or the event loop).
//
// Thread rules. Everything is set up, bound and released on the owner's
// thread; only send() runs on the reader thread. The reader's side takes
// no lock, so a packet costs it none here: the descriptor number, the
// address and the port are fixed before any reader starts (aim()) and stay
// so for the sender's life, and what changes while it sends is atomic:
// - the descriptor is our own, a copy of the bound socket's or one that
//   sends nowhere while no socket is bound. A rebind swaps what it stands
//   for in one step (dup3), so a send never goes to a closed or reused
//   number;
// - the turn is odd while the descriptor stands for a bound socket, and
//   each swap moves it on, so a send that overlapped a swap neither sends
//   while released nor judges the new socket;
// - the error of the last send, and the counts.
// A change between working and failing wakes the owner's thread through
// the ThreadWake given; the owner then reads sendError().
class ServerSender
{
public:
    enum class Bound { Yes, AddressMissing, Failed };

    // Each socket is a child of socketParent; changeWake lives on the
    // owner's thread and outlives this sender.
    ServerSender(QObject *socketParent, ThreadWake *changeWake);
    ~ServerSender();

    ServerSender(const ServerSender &) = delete;
    ServerSender &operator=(const ServerSender &) = delete;

    // Where each packet goes, before any reader starts. False, with the
    // system's text, when no descriptor is to be had; nothing is sent then.
    bool aim(const QHostAddress &destination, quint16 port, QString *error);
    // Binds a new socket to local and fromPort (0: any) and sends on it from
    // now. Not Yes: *problem says why, in the system's words, and packets
    // count as unsent until a bind succeeds.
    Bound bind(const QHostAddress &local, quint16 fromPort, int multicastTtl, QString *problem);
    // Lets the socket go: packets count as unsent from here, and the port is
    // free for the next bind.
    void release();
    bool isBound() const;
    // The socket in use; a new one after each bind.
    QUdpSocket *socket() const { return m_socket; }

    // Any thread, one packet at a time. A failed send loses this one packet
    // on the network.
    void send(const std::uint8_t *packet);

    // The errno of the last send; 0: it went out.
    int sendError() const { return m_error.load(std::memory_order_relaxed); }
    quint64 sent() const { return m_sent.load(std::memory_order_relaxed); }
    quint64 unsent() const { return m_unsent.load(std::memory_order_relaxed); }

private:
    void renewSocket();
    void openTurn();
    void closeTurn();

    QObject *m_socketParent;
    ThreadWake *m_changeWake;
    QUdpSocket *m_socket = nullptr;
    int m_fd = -1;            // -1: not aimed
    quint32 m_address = 0;    // IPv4, host order
    quint16 m_port = 0;
    QHostAddress m_destination;
    std::atomic<unsigned> m_turn{0};
    std::atomic<int> m_error{0};
    std::atomic<quint64> m_sent{0};
    std::atomic<quint64> m_unsent{0};
};
