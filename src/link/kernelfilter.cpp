#include "kernelfilter.h"

#include "meterpacket.h"

#ifdef Q_OS_LINUX
#include <linux/filter.h>
#include <sys/socket.h>

#include <cerrno>
#endif

namespace KernelFilter {

#ifdef Q_OS_LINUX
namespace {

// When the filter runs, offset 0 is the UDP header; the IP header is reached
// through the kernel's network-header offset.
constexpr quint32 kUdpLength = 4;
constexpr quint32 kPayload = 8;
constexpr quint32 kDatagramLength = kPayload + MeterPacket::kSize;
constexpr quint32 kIpVersion = quint32(SKF_NET_OFF);
constexpr quint32 kIpv4Source = quint32(SKF_NET_OFF) + 12;
constexpr quint32 kKeep = 0xFFFFFFFFu;

sock_filter statement(quint16 code, quint32 k)
{
    return sock_filter{code, 0, 0, k};
}

sock_filter jump(quint16 code, quint32 k, quint8 ifTrue, quint8 ifFalse)
{
    return sock_filter{code, ifTrue, ifFalse, k};
}

std::vector<sock_filter> program(const std::vector<quint32> &servers)
{
    const bool listed = servers.size() <= kMaxServers;
    std::vector<sock_filter> p;
    // Not 16 bytes: no meter packet.
    p.push_back(statement(BPF_LD | BPF_H | BPF_ABS, kUdpLength));
    p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, kDatagramLength, 1, 0));
    p.push_back(statement(BPF_RET | BPF_K, 0));
    if (!listed) {
        p.push_back(statement(BPF_RET | BPF_K, kKeep));
        return p;
    }
    // From a listed IPv4 sender: keep. IPv6 senders are never listed.
    const auto count = quint8(servers.size());
    p.push_back(statement(BPF_LD | BPF_B | BPF_ABS, kIpVersion));
    p.push_back(statement(BPF_ALU | BPF_RSH | BPF_K, 4));
    p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, 4, 0, quint8(count + 1)));
    p.push_back(statement(BPF_LD | BPF_W | BPF_ABS, kIpv4Source));
    for (std::size_t i = 0; i < servers.size(); ++i)
        p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, servers[i], quint8(count - i + 6), 0));
    // Anyone else's marked packet: a sample, for the wrong-sender notice.
    p.push_back(statement(BPF_LD | BPF_H | BPF_ABS, kPayload));
    p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, 0xAAAA, 0, 6));
    p.push_back(statement(BPF_LD | BPF_H | BPF_ABS, kPayload + MeterPacket::kSize - 2));
    p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, 0x5555, 0, 4));
    p.push_back(statement(BPF_LD | BPF_W | BPF_ABS, quint32(SKF_AD_OFF + SKF_AD_RANDOM)));
    p.push_back(statement(BPF_ALU | BPF_AND | BPF_K, kSampleOneIn - 1));
    p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1));
    p.push_back(statement(BPF_RET | BPF_K, kKeep));
    p.push_back(statement(BPF_RET | BPF_K, 0));
    return p;
}

} // namespace
#endif

bool attach(qintptr socket, const std::vector<quint32> &servers, QString *error)
{
#ifdef Q_OS_LINUX
    std::vector<sock_filter> code = program(servers);
    const sock_fprog fprog{static_cast<unsigned short>(code.size()), code.data()};
    if (::setsockopt(int(socket), SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog) == 0)
        return true;
    if (error)
        *error = qt_error_string(errno);
    return false;
#else
    Q_UNUSED(socket)
    Q_UNUSED(servers)
    if (error)
        *error = QStringLiteral("this system has no socket filters");
    return false;
#endif
}

} // namespace KernelFilter
