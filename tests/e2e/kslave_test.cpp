// End-to-end tests of the file transfer slave: KSLAVE.exe runs under Wine,
// and the Linux console (ftconsole) or a packet-level client drives it over
// TCP/IP or the IPX-over-UDP form.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <random>
#include <string>
#include <thread>

#include "libs/linkcore/client.h"
#include "tests/e2e/wine_run.h"
#include "tools/ftconsole/ftclient.h"

namespace {

using namespace qv;
using namespace std::chrono_literals;

constexpr uint16_t kSlavePort = 1764;
const char* const kSlave = "P:\\KSLAVE.exe";
const char* const kShutdownLine = "Shutting down the file transfer slave.";

std::string Random(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

time_t MTime(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

void SetMTime(const std::string& path, time_t t) {
    struct timespec ts[2] = {{t, 0}, {t, 0}};
    utimensat(AT_FDCWD, path.c_str(), ts, 0);
}

// Connects to the slave's TCP endpoint, waiting for it to come up.
std::unique_ptr<link::Client> ConnectSlave() {
    auto until = std::chrono::steady_clock::now() + 15s;
    std::string err;
    while (std::chrono::steady_clock::now() < until) {
        if (auto c = link::Client::ConnectTcp("127.0.0.1", kSlavePort, 1000, &err)) return c;
        std::this_thread::sleep_for(100ms);
    }
    ADD_FAILURE() << "slave never listened: " << err;
    return nullptr;
}

e2e::RunResult Console(const std::vector<std::string>& args) {
    std::vector<std::string> argv{e2e::HostBinDir() + "/ftconsole"};
    argv.insert(argv.end(), args.begin(), args.end());
    e2e::RunOptions o;
    o.timeout_ms = 60000;
    return e2e::Run(argv, o);
}

class KslaveTest : public ::testing::Test {
protected:
    void SetUp() override {
        d_ = e2e::DriveDir('D') + "/kslave";
        e2e::RemoveTree(d_);
        e2e::MakeDirs(d_ + "/SUB");
        local_ = ::testing::TempDir() + "kslave_local";
        e2e::RemoveTree(local_);
        e2e::MakeDirs(local_);
    }
    void TearDown() override {
        if (slave_ && slave_->Running()) slave_->Stop();
    }
    void Start(const std::vector<std::string>& args) {
        slave_ = e2e::StartWine(kSlave, args);
        ASSERT_TRUE(slave_);
    }
    std::string d_, local_;
    std::unique_ptr<e2e::Process> slave_;
};

TEST_F(KslaveTest, ConsoleOverTcpListsDownloadsAndUploadsWithTimeStamps) {
    const std::string small = "hello\r\n";
    const std::string exact = Random(496, 1);
    const std::string big = Random(70001, 2);
    ASSERT_TRUE(e2e::WriteFile(d_ + "/A.TXT", small));
    ASSERT_TRUE(e2e::WriteFile(d_ + "/B.BIN", exact));
    ASSERT_TRUE(e2e::WriteFile(d_ + "/BIG.BIN", big));
    ASSERT_TRUE(e2e::WriteFile(d_ + "/HIDDEN.TXT", "x"));
    const time_t stamp = 905000000;  // 1998-09-05, an even second
    SetMTime(d_ + "/BIG.BIN", stamp);
    ASSERT_TRUE(e2e::WriteFile(local_ + "/UP.BIN", big));
    SetMTime(local_ + "/UP.BIN", stamp + 3600);

    Start({"tcpip"});
    ASSERT_TRUE(ConnectSlave());  // up (this connection says nothing and is dropped)

    e2e::RunResult r = Console(
        {"-c",
         "drives; ls D:\\kslave; get D:\\kslave\\BIG.BIN " + local_ + "/BIG.BIN; get D:\\kslave\\B.BIN " + local_ +
             "/B.BIN; get D:\\kslave\\A.TXT " + local_ + "/A.TXT; put " + local_ + "/UP.BIN D:\\kslave\\UP.BIN; " +
             "size D:\\kslave\\UP.BIN; mkdir D:\\kslave\\NEW; verify D:\\kslave\\NEW; rm D:\\kslave\\A.TXT; "
             "get D:\\kslave\\NOPE.TXT " + local_ + "/NOPE; quit",
         "127.0.0.1"});
    EXPECT_EQ(r.exit_code, 1) << r.err;  // only the missing file failed
    EXPECT_NE(r.out.find("C: D: E:\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("SUB\\\nA.TXT\nB.BIN\nBIG.BIN\nHIDDEN.TXT\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("70001\n"), std::string::npos);
    EXPECT_NE(r.out.find("D:\\kslave\\NEW exists"), std::string::npos);
    EXPECT_NE(r.err.find("get D:\\kslave\\NOPE.TXT: The system cannot find the file specified. (status 2)"),
              std::string::npos)
        << r.err;

    EXPECT_EQ(e2e::ReadFile(local_ + "/BIG.BIN"), big);
    EXPECT_EQ(e2e::ReadFile(local_ + "/B.BIN"), exact);
    EXPECT_EQ(e2e::ReadFile(local_ + "/A.TXT"), small);
    EXPECT_EQ(MTime(local_ + "/BIG.BIN"), stamp);
    EXPECT_EQ(e2e::ReadFile(d_ + "/UP.BIN"), big);
    EXPECT_EQ(MTime(d_ + "/UP.BIN"), stamp + 3600);
    EXPECT_FALSE(e2e::FileExists(d_ + "/A.TXT"));

    e2e::RunResult s = slave_->Wait(20000);
    EXPECT_FALSE(s.timed_out);
    EXPECT_EQ(s.exit_code, 0);
    EXPECT_NE(s.out.find("Received a request to terminate the slave program."), std::string::npos);
    EXPECT_NE(s.out.find(kShutdownLine), std::string::npos);
}

TEST_F(KslaveTest, IpxFormByDefaultAndDriveKinds) {
    ASSERT_TRUE(e2e::WriteFile(e2e::DriveDir('N') + "/REMOTE.TXT", "r"));
    e2e::RemoveTree(e2e::DriveDir('E'));
    e2e::MakeDirs(e2e::DriveDir('E'));
    Start({});
    std::this_thread::sleep_for(2s);
    e2e::RunResult r = Console({"--ipx", "-c", "drives; ls N:\\; drive E:; drive C:; quit", "127.0.0.1"});
    EXPECT_EQ(r.exit_code, 1) << r.err;  // the empty removable drive
    // Network drive N: is not listed and its listing is empty; the removable E: is.
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "C: D: E:");
    EXPECT_NE(r.out.find("E: has no medium"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("C: ready"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("REMOTE.TXT"), std::string::npos);
    EXPECT_EQ(slave_->Wait(20000).exit_code, 0);
}

TEST_F(KslaveTest, ClosesItselfWhenNoConsoleCallsWithin20Seconds) {
    auto start = std::chrono::steady_clock::now();
    Start({"tcp"});
    e2e::RunResult s = slave_->Wait(40000);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(s.timed_out);
    EXPECT_EQ(s.exit_code, 0);
    EXPECT_GE(took, 19s);
    EXPECT_NE(s.out.find(kShutdownLine), std::string::npos) << s.out;
    EXPECT_EQ(s.out.find("FT_EXISTENCE"), std::string::npos);
}

// A link that loses some requests and sends others twice, as a poor network
// and a console's resends would.
class RoughLink : public ftc::PacketLink {
public:
    explicit RoughLink(link::Client& c) : c_(c) {}
    bool Send(const uint8_t* d, std::size_t n) override {
        ++count_;
        if (count_ % 7 == 3) return true;                    // lost
        if (count_ % 5 == 1 && !c_.Send(d, n)) return false;  // repeated
        return c_.Send(d, n);
    }
    int Recv(uint8_t* b, std::size_t cap, int t) override { return c_.Recv(b, cap, t); }

private:
    link::Client& c_;
    int count_ = 0;
};

TEST_F(KslaveTest, PacketClientThatDropsAndRepeatsRequests) {
    Start({"tcpip"});
    auto client = ConnectSlave();
    ASSERT_TRUE(client);
    RoughLink rough(*client);
    ftc::FtClient c(rough, 500, 8);
    ASSERT_TRUE(c.Existence().ok);
    const std::string data = Random(10 * 496 + 17, 3);
    ftc::Result put = c.Put("D:\\kslave\\ROUGH.BIN", data, 0x2521, 0x6000, true);
    ASSERT_TRUE(put.ok) << put.error << " " << put.status;
    std::string back;
    uint16_t date = 0, time = 0;
    ASSERT_TRUE(c.Get("D:\\kslave\\ROUGH.BIN", &back, &date, &time).ok);
    EXPECT_EQ(back, data);
    EXPECT_EQ(e2e::ReadFile(d_ + "/ROUGH.BIN"), data);  // every block written once
    EXPECT_EQ(date, 0x2521);
    EXPECT_EQ(time, 0x6000);
    // 12:00:00 on 1 September 1998, local time.
    std::tm tm{};
    tm.tm_year = 98;
    tm.tm_mon = 8;
    tm.tm_mday = 1;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    EXPECT_EQ(MTime(d_ + "/ROUGH.BIN"), std::mktime(&tm));
    EXPECT_EQ(c.Put("D:\\kslave\\ROUGH.BIN", "x", 0, 0, true).status, 80);
    EXPECT_GT(c.resends(), 0);
    EXPECT_TRUE(c.Terminate().ok);
    EXPECT_EQ(slave_->Wait(20000).exit_code, 0);
}

}  // namespace
