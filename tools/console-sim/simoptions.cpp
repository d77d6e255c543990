#include "simoptions.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr double kMaxRate = 100000.0;
constexpr int kLongOnly = 0x100;

enum OptionId {
    OptPattern = kLongOnly, OptLevel, OptRate, OptCount, OptDuration, OptChunks, OptSeed,
    OptSerial, OptPty, OptLink, OptUdp, OptBind, OptWaitReader, OptAllowNetwork, OptHelp, OptVersion,
};

bool parseDouble(const char *text, double *value)
{
    errno = 0;
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

bool parseUnsigned(const char *text, std::uint64_t *value)
{
    if (*text < '0' || *text > '9')  // strtoull would accept "-1" and blanks
        return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (*end != '\0' || errno != 0)
        return false;
    *value = v;
    return true;
}

ParseResult error(const std::string &message)
{
    return {ParseResult::Status::Error, message};
}

} // namespace

const char *simUsage()
{
    return
        "Usage: lumora-console-sim DESTINATION [OPTIONS]\n"
        "Sends the mixing console's 16-byte meter packets.\n"
        "\n"
        "Destination (exactly one):\n"
        "  --serial PATH        an existing serial device or pty; set to raw 115200 8N1\n"
        "  --pty                a new pseudo-terminal; its path is printed as the first\n"
        "                       line on stdout: \"PTY /dev/pts/N\"\n"
        "  --link PATH          with --pty: also make PATH a symlink to it (removed at exit)\n"
        "  --udp HOST:PORT      UDP datagrams to a loopback address (127.0.0.0/8 or [::1])\n"
        "  --bind ADDR          with --udp: send from this loopback address (e.g. 127.0.0.2)\n"
        "  --allow-network      with --udp: also allow the address of another machine,\n"
        "                       to feed a display in another room (unicast only)\n"
        "\n"
        "What is sent:\n"
        "  --pattern NAME       program (default), sweep, steady, silence or garbage\n"
        "                       (garbage: program packets mixed with random bytes,\n"
        "                       damaged and cut-off packets)\n"
        "  --level DB           level of the steady pattern (default -18)\n"
        "  --rate N             packets per second (default 50, up to 100000)\n"
        "  --count N            stop after N packets\n"
        "  --duration SECONDS   stop after this time\n"
        "  --chunks MODE        whole (default): one write per packet; random: random\n"
        "                       write sizes, sometimes several packets in one write\n"
        "                       (serial and pty only; UDP always sends one per datagram)\n"
        "  --seed N             seed of the program pattern and of the chunking (default 1)\n"
        "  --wait-reader        with --pty: start sending only once the other end is\n"
        "                       opened, so a reader gets every packet\n"
        "  --help               this text\n"
        "  --version            the version, then exit\n"
        "\n"
        "Without --count or --duration it runs until SIGINT or SIGTERM.\n"
        "A pty nobody has open drops the packets due meanwhile instead of queuing\n"
        "them, so a reader that opens it later starts with current levels.\n"
        "Exit status: 0 done, 1 a device or socket failed, 2 bad command line.\n";
}

bool parseLoopbackEndpoint(const std::string &text, bool withPort, sockaddr_storage *address,
                           socklen_t *length, std::string *error, bool allowNetwork)
{
    std::string host = text;
    std::uint64_t port = 0;
    if (withPort) {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            *error = "expected HOST:PORT, got \"" + text + "\"";
            return false;
        }
        host = text.substr(0, colon);
        const std::string portText = text.substr(colon + 1);
        if (!parseUnsigned(portText.c_str(), &port) || port < 1 || port > 65535) {
            *error = "port must be a number from 1 to 65535, got \"" + portText + "\"";
            return false;
        }
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host == "localhost")
        host = "127.0.0.1";

    *address = sockaddr_storage{};
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        // The whole of 127.0.0.0/8 is this machine; nothing else is.
        const std::uint32_t a = ntohl(v4.s_addr);
        const bool unicast = a != 0 && a != 0xFFFFFFFFu && (a >> 28) != 0xE && (a & 0xFF) != 0xFF;
        if (allowNetwork && !unicast) {
            *error = "refusing " + host + ": not the address of one machine";
            return false;
        }
        if (!allowNetwork && (a >> 24) != 127) {
            *error = "refusing " + host + ": only loopback addresses (127.0.0.0/8, ::1) are allowed";
            return false;
        }
        auto *sin = reinterpret_cast<sockaddr_in *>(address);
        sin->sin_family = AF_INET;
        sin->sin_addr = v4;
        sin->sin_port = htons(std::uint16_t(port));
        *length = sizeof(sockaddr_in);
        return true;
    }
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        if (allowNetwork && (IN6_IS_ADDR_UNSPECIFIED(&v6) || IN6_IS_ADDR_MULTICAST(&v6))) {
            *error = "refusing " + host + ": not the address of one machine";
            return false;
        }
        if (!allowNetwork && !IN6_IS_ADDR_LOOPBACK(&v6)) {
            *error = "refusing " + host + ": only loopback addresses (127.0.0.0/8, ::1) are allowed";
            return false;
        }
        auto *sin6 = reinterpret_cast<sockaddr_in6 *>(address);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_addr = v6;
        sin6->sin6_port = htons(std::uint16_t(port));
        *length = sizeof(sockaddr_in6);
        return true;
    }
    *error = "not a literal loopback address: \"" + host + "\"";
    return false;
}

ParseResult parseSimOptions(int argc, char **argv, SimOptions *o)
{
    static const option longOptions[] = {
        {"pattern", required_argument, nullptr, OptPattern},
        {"level", required_argument, nullptr, OptLevel},
        {"rate", required_argument, nullptr, OptRate},
        {"count", required_argument, nullptr, OptCount},
        {"duration", required_argument, nullptr, OptDuration},
        {"chunks", required_argument, nullptr, OptChunks},
        {"seed", required_argument, nullptr, OptSeed},
        {"serial", required_argument, nullptr, OptSerial},
        {"pty", no_argument, nullptr, OptPty},
        {"link", required_argument, nullptr, OptLink},
        {"udp", required_argument, nullptr, OptUdp},
        {"bind", required_argument, nullptr, OptBind},
        {"wait-reader", no_argument, nullptr, OptWaitReader},
        {"allow-network", no_argument, nullptr, OptAllowNetwork},
        {"help", no_argument, nullptr, OptHelp},
        {"version", no_argument, nullptr, OptVersion},
        {nullptr, 0, nullptr, 0},
    };

    int destinations = 0;
    std::string bindText;
    std::string udpText;
    bool levelGiven = false;
    optind = 1;
    opterr = 0;
    for (;;) {
        const int id = getopt_long(argc, argv, "h", longOptions, nullptr);
        if (id == -1)
            break;
        const std::string arg = optarg ? optarg : "";
        switch (id) {
        case OptPattern:
            o->garbage = false;
            if (arg == "program")
                o->pattern = ProgramPattern::Kind::Program;
            else if (arg == "sweep")
                o->pattern = ProgramPattern::Kind::Sweep;
            else if (arg == "steady")
                o->pattern = ProgramPattern::Kind::Steady;
            else if (arg == "silence")
                o->pattern = ProgramPattern::Kind::Silence;
            else if (arg == "garbage") {
                o->pattern = ProgramPattern::Kind::Program;
                o->garbage = true;
            } else
                return error("unknown pattern \"" + arg + "\"");
            break;
        case OptLevel:
            if (!parseDouble(optarg, &o->level))
                return error("--level needs a number of dB, got \"" + arg + "\"");
            levelGiven = true;
            break;
        case OptRate:
            if (!parseDouble(optarg, &o->rate) || o->rate < ProgramPattern::kMinRate || o->rate > kMaxRate)
                return error("--rate must be from 0.001 to 100000 packets per second, got \"" + arg + "\"");
            break;
        case OptCount:
            if (!parseUnsigned(optarg, &o->count) || o->count == 0)
                return error("--count must be a whole number above 0, got \"" + arg + "\"");
            break;
        case OptDuration:
            if (!parseDouble(optarg, &o->duration) || o->duration <= 0.0 || o->duration > 1.0e7)
                return error("--duration must be a number of seconds above 0, got \"" + arg + "\"");
            break;
        case OptChunks:
            if (arg == "random")
                o->randomChunks = true;
            else if (arg == "whole")
                o->randomChunks = false;
            else
                return error("--chunks must be random or whole, got \"" + arg + "\"");
            break;
        case OptSeed:
            if (!parseUnsigned(optarg, &o->seed))
                return error("--seed must be a whole number, got \"" + arg + "\"");
            break;
        case OptSerial:
            o->destination = SimOptions::Destination::Serial;
            o->serialPath = arg;
            ++destinations;
            break;
        case OptPty:
            o->destination = SimOptions::Destination::Pty;
            ++destinations;
            break;
        case OptLink:
            o->linkPath = arg;
            break;
        case OptUdp:
            udpText = arg;
            o->destination = SimOptions::Destination::Udp;
            ++destinations;
            break;
        case OptBind:
            bindText = arg;
            break;
        case OptWaitReader:
            o->waitReader = true;
            break;
        case OptAllowNetwork:
            o->allowNetwork = true;
            break;
        case OptHelp:
        case 'h':
            return {ParseResult::Status::Help, simUsage()};
        case OptVersion:
            return {ParseResult::Status::Version, std::string()};
        default:
            return error(std::string("unknown or incomplete option \"")
                         + (optind > 0 && optind <= argc ? argv[optind - 1] : "?") + "\"");
        }
    }
    if (optind < argc)
        return error(std::string("unexpected argument \"") + argv[optind] + "\"");
    if (destinations != 1)
        return error("give exactly one of --serial PATH, --pty or --udp HOST:PORT");
    if (o->allowNetwork && o->destination != SimOptions::Destination::Udp)
        return error("--allow-network goes with --udp");
    if (o->destination == SimOptions::Destination::Udp) {
        std::string message;
        if (!parseLoopbackEndpoint(udpText, true, &o->udpTarget, &o->udpTargetLength, &message, o->allowNetwork))
            return error("--udp: " + message);
    }
    if (!o->linkPath.empty() && o->destination != SimOptions::Destination::Pty)
        return error("--link goes with --pty");
    if (o->waitReader && o->destination != SimOptions::Destination::Pty)
        return error("--wait-reader goes with --pty");
    if (levelGiven && o->pattern != ProgramPattern::Kind::Steady)
        return error("--level goes with --pattern steady");
    if (!bindText.empty()) {
        if (o->destination != SimOptions::Destination::Udp)
            return error("--bind goes with --udp");
        std::string message;
        if (!parseLoopbackEndpoint(bindText, false, &o->udpSource, &o->udpSourceLength, &message))
            return error("--bind: " + message);
        if (o->udpSource.ss_family != o->udpTarget.ss_family)
            return error("--bind and --udp must both be IPv4 or both IPv6");
    }
    return {};
}
