// An in-process slave behind a console's packet link, for the tests of the
// consoles that drive it.
#pragma once

#include <algorithm>
#include <deque>
#include <string>

#include "slave/ft_session.h"
#include "tools/ftconsole/ftclient.h"

namespace qv::ftc::testing {

// Delivers each request to an in-process slave. Drops, by a fixed pattern,
// some requests before the slave sees them and some replies after it has
// acted, and delivers some replies twice.
class LossyLink : public PacketLink {
public:
    LossyLink(slave::FtSession& s, std::string pattern) : session_(s), pattern_(std::move(pattern)) {}
    bool Send(const uint8_t* d, std::size_t n) override {
        char what = pattern_.empty() ? '.' : pattern_[count_++ % pattern_.size()];
        if (what == 'q') return true;  // request lost
        session_.Receive(d, n);
        slave::FtSession::Outcome o = session_.Handle();
        if (!o.reply || what == 'r') return true;  // no reply, or reply lost
        uint8_t out[ft::kReplyMax];
        std::string rep(reinterpret_cast<char*>(out), session_.EncodeReply(out));
        queue_.push_back(rep);
        if (what == 'd') queue_.push_back(rep);  // duplicated
        return true;
    }
    int Recv(uint8_t* b, std::size_t cap, int) override {
        if (queue_.empty()) return 0;
        std::string r = queue_.front();
        queue_.pop_front();
        std::copy(r.begin(), r.end(), b);
        return static_cast<int>(r.size());
    }

private:
    slave::FtSession& session_;
    std::string pattern_;
    std::size_t count_ = 0;
    std::deque<std::string> queue_;
};

}  // namespace qv::ftc::testing
