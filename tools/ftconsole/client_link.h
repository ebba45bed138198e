// A console's packet link over a linkcore client connection.
#pragma once

#include "libs/linkcore/client.h"
#include "tools/ftconsole/ftclient.h"

namespace qv::ftc {

class ClientLink : public PacketLink {
public:
    explicit ClientLink(link::Client& c) : c_(c) {}
    bool Send(const uint8_t* d, std::size_t n) override { return c_.Send(d, n); }
    int Recv(uint8_t* b, std::size_t cap, int t) override { return c_.Recv(b, cap, t); }

private:
    link::Client& c_;
};

}  // namespace qv::ftc
