#pragma once

#include <QString>
#include <QtGlobal>

#include <vector>

// A filter the kernel runs on each datagram before it enters a UDP client's
// receive queue, so a flood of junk cannot crowd out the server's packets.
// It keeps 16-byte datagrams from the given IPv4 senders, and of all other
// 16-byte datagrams that carry both packet marks one in kSampleOneIn, so the
// link can still tell the operator that a wrong server is sending. The rest
// is dropped in the kernel. Works on IPv4 and dual-stack IPv6 sockets alike:
// the source address is read from the IPv4 header itself.
namespace KernelFilter {

constexpr unsigned kSampleOneIn = 32;  // a power of two
// More senders than this (a name with very many addresses) are not listed in
// the kernel: every 16-byte datagram is kept, and user space sorts them.
constexpr std::size_t kMaxServers = 64;

#ifdef Q_OS_LINUX
constexpr bool kAvailable = true;
#else
constexpr bool kAvailable = false;  // user space sorts every datagram
#endif

// Attaches the filter to the socket, replacing any earlier one. False, with
// the system's text in *error, where the system refuses or has no such
// filters; the socket then keeps all it receives.
bool attach(qintptr socket, const std::vector<quint32> &servers, QString *error);

} // namespace KernelFilter
