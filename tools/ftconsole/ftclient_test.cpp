// The console's protocol client against the slave's own protocol logic,
// over a link that loses and repeats packets.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "slave/ft_session.h"
#include "slave/mem_fs_test_util.h"
#include "tools/ftconsole/ftclient.h"
#include "tools/ftconsole/slave_link_test_util.h"

namespace qv::ftc {
namespace {

using slave::testing::MemFile;
using slave::testing::MemFs;
using slave::testing::Ui;
using testing::LossyLink;

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

// A slave that misbehaves: `answer` gives the replies to each request, and
// with `flood` set every wait for a reply gets that unrelated reply at once,
// for ever.
class FakeSlave : public PacketLink {
public:
    std::function<std::vector<ft::Reply>(const ft::Request&)> answer;
    std::optional<ft::Reply> flood;
    long recvs = 0, sends = 0;

    bool Send(const uint8_t* d, std::size_t n) override {
        if (++sends > 20000) return false;  // a console that never stops asking
        ft::Request req;
        req.Decode(d, n);
        if (answer)
            for (const ft::Reply& r : answer(req)) queue_.push_back(r);
        return true;
    }
    int Recv(uint8_t* b, std::size_t, int) override {
        if (++recvs > 5'000'000) return -1;  // a console that never gives up
        ft::Reply r;
        if (!queue_.empty()) {
            r = queue_.front();
            queue_.pop_front();
        } else if (flood) {
            r = *flood;
        } else {
            return 0;
        }
        return static_cast<int>(r.Encode(b));
    }

private:
    std::deque<ft::Reply> queue_;
};

ft::Reply Block(uint16_t command, uint16_t sequence, const std::string& data, bool last) {
    ft::Reply r;
    r.command = command;
    r.sequence = sequence;
    r.last = last;
    r.length = static_cast<uint16_t>(data.size());
    std::copy(data.begin(), data.end(), r.data.begin());
    return r;
}

ft::Reply SizeReply(uint32_t size) {
    return Block(ft::FT_FILE_SIZE, 0, std::string{char(size), char(size >> 8), char(size >> 16), char(size >> 24)},
                 true);
}

// Endless file blocks of `len` bytes with last = 0, after a size reply.
std::function<std::vector<ft::Reply>(const ft::Request&)> EndlessFile(uint32_t announced, std::size_t len,
                                                                        bool last_at_two = false) {
    return [=](const ft::Request& q) -> std::vector<ft::Reply> {
        if (q.command == ft::FT_FILE_SIZE) return {SizeReply(announced)};
        const uint16_t seq = q.command == ft::FT_SEND_FILE ? 0 : static_cast<uint16_t>(q.sequence + 1);
        ft::Reply r = Block(q.command, seq, std::string(len, 'x'), last_at_two && seq == 1);
        r.file_date = 0x2521;
        return {r};
    };
}

TEST(FtClient, SlaveThatMisbehaves) {
    const auto get = [](FtClient& c, std::string* got) {
        uint16_t d, t;
        return c.Get("C:\\F", got, &d, &t);
    };
    const struct {
        const char* name;
        std::function<void(FakeSlave&)> setup;
        std::function<Result(FtClient&, std::string*)> run;  // *got: what the console took in
        const char* error;
        std::size_t got;
    } kCases[] = {
        {"unrelated replies never end the wait",
         [](FakeSlave& s) { s.flood = Block(ft::FT_DRIVE_INFO, 0, "\x02", true); },
         [](FtClient& c, std::string*) { return c.Existence(); }, "sent only replies that do not belong to the request, 3 times", 0},
        {"unrelated replies during a download",
         [](FakeSlave& s) {
             s.answer = [](const ft::Request& q) -> std::vector<ft::Reply> {
                 if (q.command == ft::FT_FILE_SIZE) return {SizeReply(5000)};
                 if (q.command == ft::FT_SEND_FILE) return {Block(ft::FT_SEND_FILE, 0, std::string(496, 'a'), false)};
                 return {};
             };
             s.flood = Block(ft::FT_SEND_NEXT_BLOCK, 7, "", false);
         },
         get,
         "sent only replies that do not belong to the request", 496},
        {"a listing that never ends",
         [](FakeSlave& s) {
             s.answer = [](const ft::Request& q) -> std::vector<ft::Reply> {
                 const uint16_t seq = q.command == ft::FT_FILE_INFO ? 0 : static_cast<uint16_t>(q.sequence + 1);
                 std::string names;
                 for (int i = 0; i < 50; ++i) names += std::string("NAME.TXT", 9);  // each with its zero
                 return {Block(q.command, seq, names + '\0', false)};
             };
         },
         [](FtClient& c, std::string* got) {
             std::vector<std::string> names;
             Result r = c.List("C:\\*.*", true, &names);
             *got = std::string(names.size(), '.');
             return r;
         },
         "more than 100000 names", kListMaxNames},
        {"a listing of empty blocks that never ends",
         [](FakeSlave& s) {
             s.answer = [](const ft::Request& q) -> std::vector<ft::Reply> {
                 return {Block(q.command, q.command == ft::FT_FILE_INFO ? 0 : q.sequence + 1, std::string(1, '\0'),
                               false)};
             };
         },
         [](FtClient& c, std::string*) {
             std::vector<std::string> names;
             return c.List("C:\\*.*", true, &names);
         },
         "empty listing block", 0},
        {"a download that never ends", [](FakeSlave& s) { s.answer = EndlessFile(5000, 496); },
         get,
         "more than the 5000 bytes it announced", 4960},
        {"a download larger than announced", [](FakeSlave& s) { s.answer = EndlessFile(496, 496, true); },
         get,
         "more than the 496 bytes it announced", 496},
        {"short blocks that never end", [](FakeSlave& s) { s.answer = EndlessFile(100000, 3); },
         get,
         "short block", 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        FakeSlave slave;
        c.setup(slave);
        FtClient client(slave, 5, 2);
        std::string got;
        Result r = c.run(client, &got);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.error.find(c.error), std::string::npos) << r.error;
        EXPECT_EQ(got.size(), c.got);
        EXPECT_LT(slave.recvs, 5'000'000);
        EXPECT_LE(slave.sends, 20000);
    }
}

TEST(FtClient, StreamsThroughSinkAndSource) {
    MemFs fs;
    Ui ui;
    slave::FtSession s(fs, ui);
    LossyLink link(s, "");
    FtClient c(link, 10, 2);
    const std::string data = Content(3000);
    std::size_t pos = 0, pulls = 0;
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    Result put = c.Upload(
        "C:\\S",
        [&](uint8_t* b, std::size_t cap) {
            ++pulls;
            const std::size_t n = std::min<std::size_t>({cap, 700, data.size() - pos});
            std::copy(data.begin() + static_cast<long>(pos), data.begin() + static_cast<long>(pos + n), b);
            pos += n;
            return static_cast<long>(n);
        },
        data.size(), 0x2521, 0x6000, false, [&](uint64_t d, uint64_t t) { progress.emplace_back(d, t); });
    ASSERT_TRUE(put.ok) << put.error;
    EXPECT_EQ(fs.files["C:\\S"].bytes, data);
    EXPECT_EQ(progress.back(), std::make_pair(uint64_t{3000}, uint64_t{3000}));

    std::string back;
    std::size_t calls = 0;
    uint16_t d = 0, t = 0;
    Result get = c.Download(
        "C:\\S", [&](const uint8_t* b, std::size_t n) { return ++calls, back.append(reinterpret_cast<const char*>(b), n), true; },
        &d, &t);
    ASSERT_TRUE(get.ok) << get.error;
    EXPECT_EQ(back, data);
    EXPECT_EQ(calls, 7u);  // one per block: nothing held whole

    Result full = c.Download("C:\\S", [](const uint8_t*, std::size_t) { return false; }, &d, &t);
    EXPECT_EQ(full.error, "the local file could not be written");
    Result unread = c.Upload("C:\\T", [](uint8_t*, std::size_t) { return -1L; }, 10, 0, 0, false);
    EXPECT_NE(unread.error.find("could not be read"), std::string::npos);
}

}  // namespace
}  // namespace qv::ftc
