// The page's file transfer against an in-process slave: start, drives, a
// sorted listing, a download with progress fetched over HTTP, an upload with
// the browser's time stamp alongside a download, failures in words, the
// download dropped with its page, stop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "slave/mem_fs_test_util.h"
#include "tools/ftconsole/remote_files.h"
#include "tools/ftconsole/slave_link_test_util.h"
#include "tools/webconsole/file_slave.h"
#include "tools/webconsole/files_feature.h"

namespace qv::web {
namespace {

using json = nlohmann::json;
using slave::testing::MemFile;

class FakePage : public PageLink {
public:
    uint64_t id() const override { return 7; }
    bool SendText(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mu_);
        events_.push_back(json::parse(text));
        cv_.notify_all();
        return true;
    }
    bool SendBinary(const uint8_t*, std::size_t) override { return true; }

    // The events up to and including the answer to request req.
    std::vector<json> Answer(int req) {
        std::unique_lock<std::mutex> lock(mu_);
        std::vector<json> got;
        std::size_t seen = 0;
        cv_.wait_for(lock, std::chrono::seconds(20), [&] {
            for (; seen < events_.size(); ++seen) {
                const json& e = events_[seen];
                if (e.value("req", -1) == req && (e["ev"] == "done" || e["ev"] == "error")) return true;
            }
            return false;
        });
        if (seen == events_.size()) {
            ADD_FAILURE() << "no answer to request " << req;
            return {};
        }
        got.assign(events_.begin(), events_.begin() + static_cast<std::ptrdiff_t>(seen) + 1);
        events_.erase(events_.begin(), events_.begin() + static_cast<std::ptrdiff_t>(seen) + 1);
        return got;
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<json> events_;
};

std::string Content(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char>((i * 131 + i / 7) & 0xFF);
    return s;
}

TEST(FilesFeature, TransfersThroughThePage) {
    slave::testing::MemFs fs;
    slave::testing::Ui ui;
    slave::FtSession session(fs, ui);
    using slave::kAttrArchive, slave::kAttrDirectory;
    fs.listings["C:\\TEMP"] = {{"TEMP", kAttrDirectory}};
    fs.listings["C:\\TEMP\\*.*"] = {{".", kAttrDirectory}, {"..", kAttrDirectory}, {"b.txt", kAttrArchive},
                                    {"Zed", kAttrDirectory}, {"a.TXT", kAttrArchive}, {"Sub", kAttrDirectory}};
    const std::string big = Content(300000);
    fs.files["C:\\TEMP\\a.TXT"] = MemFile{big, 0x2521, 0x6000};

    ConsoleSettings settings;
    settings.timeout_ms = 200;
    MachineList list(settings);
    std::string error;
    ASSERT_TRUE(list.Add("127.0.0.1", "", &error)) << error;
    ASSERT_TRUE(list.Add("127.0.0.2", "", &error)) << error;
    auto feature = MakeFilesFeature(list, settings, [&](AgentSession& agent, Failure* f) {
        std::unique_ptr<ftc::PacketLink> link;
        if (agent.address() == "127.0.0.1")
            link = std::make_unique<ftc::testing::LossyLink>(session, "");
        else
            *f = {"refused", "The user of 127.0.0.2 does not allow file transfer."};
        return link;
    });
    auto page = std::make_shared<FakePage>();
    int req = 0;
    // Sends a request; the events up to its answer.
    auto ask = [&](json msg) {
        msg["req"] = ++req;
        EXPECT_TRUE(feature->OnMessage(page, msg));
        return page->Answer(req);
    };
    auto error_of = [](const std::vector<json>& ev) {
        return ev.empty() || ev.back()["ev"] != "error" ? std::string("(no error)")
                                                         : ev.back()["kind"].get<std::string>() + ": " +
                                                               ev.back()["message"].get<std::string>();
    };
    const json at = {{"address", "127.0.0.1"}};
    auto with = [&](json extra) {
        extra.update(at);
        return extra;
    };

    EXPECT_EQ(error_of(ask(with({{"op", "files.drives"}}))), "failed: File transfer is not started on 127.0.0.1.");
    EXPECT_EQ(error_of(ask({{"op", "files.start"}, {"address", "127.0.0.2"}})),
              "refused: The user of 127.0.0.2 does not allow file transfer.");
    auto ev = ask(with({{"op", "files.start"}}));
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0], json({{"ev", "files.ready"}, {"address", "127.0.0.1"}, {"req", req}}));
    EXPECT_EQ(ev[1]["ev"], "done");

    ev = ask(with({{"op", "files.drives"}}));
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0]["drives"], json({"A:", "C:"}));  // network drives are not offered

    ev = ask(with({{"op", "files.list"}, {"dir", "C:\\TEMP"}}));
    ASSERT_EQ(ev.size(), 2u) << error_of(ev);
    EXPECT_EQ(ev[0]["dir"], "C:\\TEMP\\");
    EXPECT_EQ(ev[0]["entries"], json::parse(R"([{"name":"Sub","dir":true},{"name":"Zed","dir":true},
        {"name":"a.TXT","dir":false},{"name":"b.txt","dir":false}])"));

    // Failures as sentences; paths the slave cannot take never reach it.
    struct Bad {
        json msg;
        const char* error;
    };
    const Bad bad[] = {
        {with({{"op", "files.list"}, {"dir", "C:\\NOPE"}}), "failed: There is no folder C:\\NOPE\\ on 127.0.0.1."},
        {with({{"op", "files.get"}, {"path", "C:\\TEMP\\MISSING.TXT"}}),
         "failed: Cannot download C:\\TEMP\\MISSING.TXT from 127.0.0.1: The system cannot find the file specified."},
        {with({{"op", "files.get"}, {"path", "C:\\\xe4\xb8\xad.TXT"}}),
         "bad_request: The path C:\\\xe4\xb8\xad.TXT has characters the remote machine's names cannot hold."},
        {with({{"op", "files.get"}, {"path", "C:\\*.TXT"}}),
         "bad_request: The path C:\\*.TXT contains a wildcard (* or ?)."},
        {{{"op", "files.list"}}, "bad_request: The request names no machine."},
    };
    for (const Bad& b : bad) EXPECT_EQ(error_of(ask(b.msg)), b.error) << b.msg;

    // An upload (a name in the slave's code page, the browser's time) waits
    // for the download before it; both arrive whole.
    const std::string up = Content(20000);
    const uint64_t modified_ms = 1700000000123;
    HttpResponse up_resp;
    std::future<bool> uploaded;
    {
        json get = with({{"op", "files.get"}, {"path", "C:\\TEMP\\a.TXT"}, {"req", ++req}});
        ASSERT_TRUE(feature->OnMessage(page, get));
        uploaded = std::async(std::launch::async, [&] {
            HttpRequest r{"POST", "/api/upload",
                          {{"address", "127.0.0.1"}, {"path", "C:\\TEMP\\Gr\xc3\xbc\xc3\x9f" "e.txt"}, {"page", "7"},
                           {"modified", std::to_string(modified_ms)}},
                          up};
            return feature->OnHttp(r, &up_resp);
        });
    }
    ev = page->Answer(req);
    ASSERT_GE(ev.size(), 4u) << error_of(ev);
    const json got = ev[ev.size() - 2];
    ASSERT_EQ(got["ev"], "files.got");
    uint64_t last = 0;
    for (std::size_t i = 0; i + 2 < ev.size(); ++i) {
        ASSERT_EQ(ev[i]["ev"], "files.progress");
        EXPECT_EQ(ev[i]["transfer"], got["transfer"]);
        EXPECT_EQ(ev[i]["total"], big.size());
        EXPECT_GE(ev[i]["done"].get<uint64_t>(), last);
        last = ev[i]["done"];
    }
    EXPECT_EQ(last, big.size());
    EXPECT_LT(ev.size(), 50u) << "progress is paced";
    EXPECT_EQ(got["name"], "a.TXT");
    EXPECT_EQ(got["size"], big.size());

    ASSERT_TRUE(uploaded.get());
    EXPECT_EQ(up_resp.status, 200) << up_resp.body;
    EXPECT_EQ(json::parse(up_resp.body)["ok"], true);
    const MemFile& stored = fs.files["C:\\TEMP\\Gr\xfc\xdf" "e.txt"];
    EXPECT_EQ(stored.bytes, up);
    uint16_t date = 0, time = 0;
    ftc::TimeToDos(static_cast<time_t>(modified_ms / 1000), &date, &time);
    EXPECT_EQ(stored.date, date);
    EXPECT_EQ(stored.time, time);

    HttpResponse down;
    const HttpRequest fetch{"GET", got["url"].get<std::string>(), {}, ""};
    ASSERT_TRUE(feature->OnHttp(fetch, &down));
    EXPECT_EQ(down.status, 200);
    EXPECT_TRUE(down.body == big);
    EXPECT_EQ(down.attachment_name, "a.TXT");
    // A page's downloads go with it, also one that finishes after it closed.
    feature->OnPageClosed(page);
    ASSERT_TRUE(feature->OnHttp(fetch, &down));
    EXPECT_EQ(down.status, 404);
    ev = ask(with({{"op", "files.get"}, {"path", "C:\\TEMP\\a.TXT"}}));
    ASSERT_EQ(ev.at(ev.size() - 2)["ev"], "files.got");
    ASSERT_TRUE(feature->OnHttp({"GET", ev[ev.size() - 2]["url"], {}, ""}, &down));
    EXPECT_EQ(down.status, 404);

    ev = ask(with({{"op", "files.stop"}}));
    EXPECT_EQ(ev.back()["ev"], "done");
    EXPECT_EQ(error_of(ask(with({{"op", "files.list"}, {"dir", "C:\\"}}))),
              "failed: File transfer is not started on 127.0.0.1.");
    HttpResponse late;
    ASSERT_TRUE(feature->OnHttp({"POST", "/api/upload", {{"address", "127.0.0.1"}, {"path", "C:\\X"}}, "x"}, &late));
    EXPECT_EQ(json::parse(late.body)["ok"], false);
}

// The keep-alive finds a slave whose connection broke and reports it once;
// requests after that are still answered, without the slave.
TEST(FileSlave, ReportsALostSlaveOnceAndAnswersLaterJobs) {
    slave::testing::MemFs fs;
    slave::testing::Ui ui;
    slave::FtSession session(fs, ui);
    std::atomic<bool> broken{false};
    class Breakable : public ftc::testing::LossyLink {
    public:
        Breakable(slave::FtSession& s, std::atomic<bool>& b) : LossyLink(s, ""), broken_(b) {}
        bool Send(const uint8_t* d, std::size_t n) override { return !broken_ && LossyLink::Send(d, n); }

    private:
        std::atomic<bool>& broken_;
    };
    std::promise<void> lost;
    std::atomic<int> reports{0};
    FileSlave slave(std::make_unique<Breakable>(session, broken), 50, [&] {
        if (reports++ == 0) lost.set_value();
    }, 20);
    std::promise<bool> first;
    slave.Post([&](ftc::FtClient* c) { first.set_value(c && c->Existence().ok); });
    EXPECT_TRUE(first.get_future().get());
    broken = true;
    EXPECT_EQ(lost.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    std::promise<bool> later;
    slave.Post([&](ftc::FtClient* c) { later.set_value(c == nullptr); });
    EXPECT_TRUE(later.get_future().get());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(reports, 1);
    EXPECT_TRUE(slave.gone());
}

}  // namespace
}  // namespace qv::web
