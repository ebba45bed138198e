// The calling side of a linkcore session, for consoles and tools.
//
// Endpoints (contracts/transport.h) wait for callers; a Client is such a
// caller: it connects to a TCP/IP endpoint and exchanges framed packets, or
// exchanges datagrams with an IPX endpoint carried over UDP. Receiving takes
// a time-out so that a console can resend a request that got no answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "libs/linkcore/framing.h"
#include "libs/linkcore/net.h"

namespace qv::link {

class Client {
public:
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Connects to a TCP/IP endpoint. nullptr and *error on failure.
    static std::unique_ptr<Client> ConnectTcp(const std::string& host, uint16_t port, int timeout_ms,
                                              std::string* error);
    // Talks to the IPX endpoint with the given socket value (as handed to
    // InitIPXSession) on host, over UDP.
    static std::unique_ptr<Client> OpenIpx(const std::string& host, uint32_t ipx_socket, std::string* error);

    bool Send(const void* packet, std::size_t len);
    // One whole packet: its length; 0 on time-out; -1 when the session broke
    // (closed, malformed frame) or the packet did not fit cap.
    int Recv(void* buffer, std::size_t cap, int timeout_ms);

    // The socket error of the last failure, as text.
    std::string LastError() const { return error_; }

private:
    Client() = default;
    bool tcp_ = true;
    net::Sock sock_ = net::kBadSock;
    net::Addr peer_;
    FrameReader rx_;
    std::string error_;
};

}  // namespace qv::link
