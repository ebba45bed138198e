// The console's protocol client against the slave's own protocol logic,
// over a link that loses and repeats packets.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "slave/ft_session.h"
#include "slave/mem_fs_test_util.h"
#include "tools/ftconsole/ftclient.h"

namespace qv::ftc {
namespace {

using slave::testing::MemFile;
using slave::testing::MemFs;
using slave::testing::Ui;

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

std::string Content(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char>((i * 131 + i / 7) & 0xFF);
    return s;
}

TEST(FtClient, TransfersSurviveLostAndRepeatedPackets) {
    // '.' delivered, 'q' request lost, 'r' reply lost, 'd' reply duplicated.
    for (const char* pattern : {"", ".q..r.d", "r.", "qd.r..", "..d", ".rq"}) {
        SCOPED_TRACE(pattern);
        MemFs fs;
        Ui ui;
        slave::FtSession s(fs, ui);
        LossyLink link(s, pattern);
        FtClient c(link, 10, 4);
        ASSERT_TRUE(c.Existence().ok);
        for (std::size_t size : {0u, 10u, 496u, 992u, 5000u}) {
            SCOPED_TRACE(size);
            const std::string data = Content(size);
            Result put = c.Put("C:\\F" + std::to_string(size), data, 0x2521, 0x6000, false);
            ASSERT_TRUE(put.ok) << put.error;
            EXPECT_EQ(fs.files["C:\\F" + std::to_string(size)].bytes, data);  // every block once, in order
            std::string back;
            uint16_t date = 0, time = 0;
            Result get = c.Get("C:\\F" + std::to_string(size), &back, &date, &time);
            ASSERT_TRUE(get.ok) << get.error;
            EXPECT_EQ(back, data);
            EXPECT_EQ(date, 0x2521);
            EXPECT_EQ(time, 0x6000);
        }
        std::vector<slave::FindEntry> many;
        for (int i = 0; i < 120; ++i) many.push_back({"NAME" + std::to_string(10000 + i) + ".TXT", slave::kAttrArchive});
        fs.listings["C:\\*.*"] = many;
        std::vector<std::string> names;
        ASSERT_TRUE(c.List("C:\\*.*", true, &names).ok);
        ASSERT_EQ(names.size(), 120u);
        EXPECT_EQ(names.front(), "NAME10000.TXT");
        EXPECT_EQ(names.back(), "NAME10119.TXT");
        if (std::string(pattern).find_first_of("qr") != std::string::npos) {
            EXPECT_GT(c.resends(), 0);
        }
    }
}

TEST(FtClient, StatusesAndErrors) {
    MemFs fs;
    Ui ui;
    slave::FtSession s(fs, ui);
    LossyLink link(s, "");
    FtClient c(link, 10, 2);
    std::string data;
    uint16_t d, t;
    Result r = c.Get("C:\\MISSING", &data, &d, &t);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(SystemErrorText(2), "The system cannot find the file specified.");
    EXPECT_EQ(SystemErrorText(112), "There is not enough space on the disk.");
    EXPECT_EQ(SystemErrorText(9999), "System error 9999.");
    fs.files["C:\\OLD"] = MemFile{"x", 0, 0};
    EXPECT_EQ(c.Put("C:\\OLD", "y", 0, 0, true).status, 80);

    fs.disk_left = 600;
    fs.write_error = 112;
    Result full = c.Put("C:\\BIG", Content(2000), 0, 0, false);
    EXPECT_EQ(full.status, 112);

    LossyLink dead(s, "q");  // every request lost
    FtClient gone(dead, 1, 2);
    Result none = gone.Existence();
    EXPECT_FALSE(none.ok);
    EXPECT_EQ(none.error, "no reply from the slave");
    EXPECT_EQ(gone.resends(), 2);
}

}  // namespace
}  // namespace qv::ftc
