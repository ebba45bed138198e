// A scripted, in-memory stand-in for the socket layer (net.h), so that the
// transport's endpoints can be fuzzed without sockets: callers connect,
// send bytes in chunks, hang up or reset, datagrams arrive, and the clock
// moves only when the script says so. Single-threaded.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "libs/linkcore/net.h"

namespace qv::link::script {

struct Connection {
    net::Addr from;
    std::deque<std::vector<std::uint8_t>> chunks;  // what the caller sent, as it arrives
    bool hung_up = false;      // orderly close after the chunks
    bool reset = false;        // reads fail
    bool accepted = false;
    bool closed = false;       // closed by the endpoint
    bool send_fails = false;   // the endpoint's next send fails part-way
    std::vector<std::uint8_t> received;  // what the endpoint sent to the caller
};

struct Datagram {
    net::Addr from;
    std::vector<std::uint8_t> bytes;
    bool truncated = false;
};

struct World {
    std::uint64_t now = 1000;
    std::map<net::Sock, Connection> conns;    // by socket number
    std::deque<net::Sock> waiting;            // connected, not yet accepted
    std::deque<Datagram> datagrams;           // for the datagram endpoint
    std::vector<std::uint8_t> last_datagram;  // the last one the endpoint read
    net::Addr last_from;
    std::vector<std::pair<net::Addr, std::vector<std::uint8_t>>> sent_datagrams;
    net::Sock listener = net::kBadSock, udp = net::kBadSock, wake = net::kBadSock;
    int wake_bytes = 0;
    net::Sock next = 10;
};

// The world the stand-in works on; Reset gives a fresh one.
World& TheWorld();
void Reset();

}  // namespace qv::link::script
