// The calling side of a linkcore session, for consoles and tools.
//
// Endpoints (contracts/transport.h) wait for callers; a Client is such a
// caller: it connects to a TCP/IP endpoint and exchanges framed packets, or
// exchanges datagrams with an IPX endpoint carried over UDP. Receiving takes
// a time-out so that a console can resend a request that got no answer.
//
// Where a site key is configured (LinkSetSiteKey, before the Client is
// created), the Client runs the keyed handshake and seals and opens every
// packet itself; its callers send and receive plain packets as before.
// Over TCP, ConnectTcp completes the handshake within its time-out and fails
// with a clear message when the endpoint does not answer it (another key, or
// none). Over UDP the handshake rides on the first Send and the following
// Recv calls: a request sent before the endpoint answered is sent as soon as
// the answer arrives, and a resend repeats the handshake message, so a
// console's usual resend-after-time-out loop works unchanged.
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

    // True when this Client runs keyed sessions.
    bool Keyed() const { return keyed_ != nullptr; }

private:
    struct KeyState;
    Client();
    bool SendRaw(const void* bytes, std::size_t len);
    int RecvRaw(void* buffer, std::size_t cap, uint64_t deadline_ms);
    bool Handshake(int timeout_ms);
    std::unique_ptr<KeyState> keyed_;
    bool tcp_ = true;
    net::Sock sock_ = net::kBadSock;
    net::Addr peer_;
    FrameReader rx_;
    std::string error_;
};

}  // namespace qv::link
