#pragma once

#include "programpattern.h"

#include <sys/socket.h>

#include <cstdint>
#include <string>

// The simulator's command line, parsed and checked before anything is
// opened or sent.
struct SimOptions
{
    enum class Destination { None, Serial, Pty, Udp };

    ProgramPattern::Kind pattern = ProgramPattern::Kind::Program;
    bool garbage = false;                 // mix damaged data into the stream
    double rate = ProgramPattern::kDefaultRate;
    double level = ProgramPattern::kDefaultSteadyDb;
    std::uint64_t count = 0;              // 0: no packet limit
    double duration = 0.0;                // seconds; 0: no time limit
    bool randomChunks = false;
    bool waitReader = false;
    bool allowNetwork = false;            // --udp may name another machine
    std::uint64_t seed = 1;

    Destination destination = Destination::None;
    std::string serialPath;
    std::string linkPath;
    sockaddr_storage udpTarget{};
    socklen_t udpTargetLength = 0;
    sockaddr_storage udpSource{};
    socklen_t udpSourceLength = 0;        // 0: let the system choose
};

struct ParseResult
{
    enum class Status { Run, Help, Version, Error };
    Status status = Status::Run;
    std::string message;
};

ParseResult parseSimOptions(int argc, char **argv, SimOptions *options);

// A literal loopback address, optionally with a port ("127.0.0.1:5000",
// "[::1]:5000", "localhost:5000"). Anything that does not stay on this
// machine is refused, broadcast included. withPort false parses an address
// alone (port 0). With allowNetwork, a literal unicast address of another
// machine is taken too; broadcast, multicast and the any-address never are.
bool parseLoopbackEndpoint(const std::string &text, bool withPort, sockaddr_storage *address,
                           socklen_t *length, std::string *error, bool allowNetwork = false);

const char *simUsage();
