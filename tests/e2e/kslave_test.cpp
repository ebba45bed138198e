// End-to-end tests of the file transfer slave: KSLAVE.exe runs under Wine,
// and the Linux console (ftconsole) or a packet-level client drives it over
// TCP/IP or the IPX-over-UDP form.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <regex>
#include <string>
#include <thread>

#include "libs/linkcore/client.h"
#include "slave/ft_protocol.h"
#include "tests/e2e/wine_run.h"
#include "tools/ftconsole/ftclient.h"

namespace {

using namespace qv;
using namespace std::chrono_literals;
using e2e::PortFree;

constexpr uint16_t kSlavePort = 1764;
constexpr uint16_t kSlaveUdpPort = 0x4041;  // IPX socket 0x0041 by the port rule
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

// Seconds since 1970 of a wall-clock time read as UTC.
time_t WallClockAsUtc(int year, int month, int day, int hour) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    return timegm(&tm);
}

// The local time zone's offset from UTC at this moment, in seconds.
long UtcOffsetNow() {
    const time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local.tm_gmtoff;
}

void SetMTime(const std::string& path, time_t t) {
    struct timespec ts[2] = {{t, 0}, {t, 0}};
    utimensat(AT_FDCWD, path.c_str(), ts, 0);
}

// Every test runs its slave on ports of its own: the library shifts all
// ports by LINKCORE_PORT_OFFSET, and each test takes an offset whose TCP and
// UDP ports nobody holds (other build trees run these tests at the same
// time on this machine, and a port the previous test used may still be in
// TIME_WAIT). The slave gets the offset in its environment; this process
// and the consoles it starts get it through setenv.
uint32_t TakeOffset() {
    static uint32_t next = 1000 + static_cast<uint32_t>(getpid() % 400) * 20;
    for (int tries = 0; tries < 400; ++tries) {
        uint32_t off = next;
        next = next + 20 > 9000 ? 1000 : next + 20;
        if (PortFree(SOCK_STREAM, static_cast<uint16_t>(kSlavePort + off)) &&
            PortFree(SOCK_DGRAM, static_cast<uint16_t>(kSlaveUdpPort + off)))
            return off;
    }
    ADD_FAILURE() << "no free port pair for the slave";
    return 0;
}

// Waits until the slave holds its port (a bind of our own fails), without
// talking to it. False after timeout.
bool WaitBound(int type, uint16_t port, std::chrono::milliseconds timeout) {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        if (!PortFree(type, port)) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

uint32_t g_offset = 0;

// Connects to the slave's TCP endpoint, waiting for it to come up.
std::unique_ptr<link::Client> ConnectSlave(e2e::Process* slave) {
    if (!WaitBound(SOCK_STREAM, static_cast<uint16_t>(kSlavePort + g_offset), 30s)) {
        e2e::RunResult r = slave->Stop();
        ADD_FAILURE() << "slave never listened on port " << kSlavePort + g_offset << "; its output:\n"
                      << r.out << r.err;
        return nullptr;
    }
    std::string err;
    auto c = link::Client::ConnectTcp("127.0.0.1", kSlavePort, 5000, &err);
    if (!c) ADD_FAILURE() << "cannot connect to the slave: " << err;
    return c;
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
        g_offset = TakeOffset();
        setenv("LINKCORE_PORT_OFFSET", std::to_string(g_offset).c_str(), 1);
    }
    void TearDown() override {
        // Nothing of this test may outlive it: the slave is ended and gone
        // before the next test starts.
        if (slave_ && slave_->Running()) slave_->Stop();
        slave_.reset();
    }
    void Start(const std::vector<std::string>& args, std::vector<std::string> env = {},
               const std::string& program = kSlave) {
        slave_ = StartSlave(args, env, program);
        ASSERT_TRUE(slave_);
    }
    static std::unique_ptr<e2e::Process> StartSlave(const std::vector<std::string>& args,
                                                    std::vector<std::string> env, const std::string& program = kSlave) {
        e2e::RunOptions o;
        env.push_back("LINKCORE_PORT_OFFSET=" + std::to_string(g_offset));
        o.env = env;
        return e2e::StartWine(program, args, o);
    }
    // Holds the slave's TCP port with a listening socket of ours, so that
    // the slave's endpoint cannot open; -1 when that fails.
    int TakeTcpPort() const {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(TcpPort());
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && listen(fd, 1) == 0) return fd;
        if (fd >= 0) close(fd);
        return -1;
    }
    uint16_t TcpPort() const { return static_cast<uint16_t>(kSlavePort + g_offset); }
    uint16_t UdpPort() const { return static_cast<uint16_t>(kSlaveUdpPort + g_offset); }
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
    ASSERT_TRUE(ConnectSlave(slave_.get()));  // up (this connection says nothing and is dropped)

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

// The console as a person uses it: quoted paths with blanks, a listing of
// what is no directory, rm of a directory or of a missing file, verify of a
// root, put of a directory, and the failures before any slave answers.
TEST_F(KslaveTest, ConsoleSaysWhatWentWrong) {
    e2e::MakeDirs(d_ + "/Program Files");
    ASSERT_TRUE(e2e::WriteFile(d_ + "/Program Files/IN ONE.TXT", "1"));
    ASSERT_TRUE(e2e::WriteFile(d_ + "/A.TXT", "a"));
    Start({"tcpip"});
    ASSERT_TRUE(ConnectSlave(slave_.get()));
    e2e::RunResult r = Console(
        {"-c",
         "ls \"D:\\kslave\\Program Files\"; ls D:\\kslave\\NOPE; ls D:\\kslave\\A.TXT; rm D:\\kslave\\SUB; "
         "rm D:\\kslave\\GONE.TXT; verify D:\\; put " + local_ + " D:\\kslave\\DIR; get; frobnicate; quit",
         "127.0.0.1"});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_NE(r.out.find("IN ONE.TXT\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("D:\\ exists\n"), std::string::npos) << r.out;
    for (const char* e : {"ls D:\\kslave\\NOPE: no such directory",
                          "ls D:\\kslave\\A.TXT: D:\\kslave\\A.TXT is a file, not a directory",
                          "rm D:\\kslave\\SUB: is a directory; not removed",
                          "rm D:\\kslave\\GONE.TXT: The system cannot find the file specified. (status 2)",
                          ": is a directory; only files can be uploaded", "get: missing argument; usage: get REMOTE",
                          "unknown command: frobnicate (type help"})
        EXPECT_NE(r.err.find(e), std::string::npos) << e << "\n" << r.err;
    EXPECT_TRUE(e2e::FileExists(d_ + "/SUB"));
    EXPECT_EQ(slave_->Wait(20000).exit_code, 0);

    // Nothing listens any more: the refusal in words; a bad port is refused.
    r = Console({"-c", "drives", "127.0.0.1"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("connection refused by 127.0.0.1:" + std::to_string(TcpPort())), std::string::npos) << r.err;
    r = Console({"--port", "70000", "127.0.0.1"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("--port needs a port number from 1 to 65535"), std::string::npos) << r.err;
}

// Two consoles upload and download at once: each either gets its own file
// through whole (one after the other), or is told that the slave is busy
// and leaves no partial file; never a mixed file, never a false success.
TEST_F(KslaveTest, TwoConsolesAtOnce) {
    const std::string one = Random(600 * 1024, 11), two = Random(600 * 1024, 12);
    ASSERT_TRUE(e2e::WriteFile(local_ + "/ONE.BIN", one));
    ASSERT_TRUE(e2e::WriteFile(local_ + "/TWO.BIN", two));
    Start({"tcpip"});
    ASSERT_TRUE(ConnectSlave(slave_.get()));
    auto console = [&](const std::string& name) {
        e2e::RunOptions o;
        o.timeout_ms = 120000;
        return e2e::Spawn({e2e::HostBinDir() + "/ftconsole", "--timeout", "700", "-c",
                           "put " + local_ + "/" + name + " D:\\kslave\\" + name + "; get D:\\kslave\\" + name +
                               " " + local_ + "/BACK." + name,
                           "127.0.0.1"},
                          o);
    };
    auto first = console("ONE.BIN");
    std::this_thread::sleep_for(300ms);
    auto second = console("TWO.BIN");
    // The slave writes a status line per request to its standard output:
    // keep reading its pipe while the consoles run, or a full pipe would
    // stop the slave itself.
    for (int waited = 0; (first->Running() || second->Running()) && waited < 120000; waited += 20) {
        slave_->Running();
        std::this_thread::sleep_for(20ms);
    }
    const e2e::RunResult results[] = {first->Wait(1000), second->Wait(1000)};
    const std::string* sent[] = {&one, &two};
    const char* names[] = {"ONE.BIN", "TWO.BIN"};
    int whole = 0;
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(names[i]);
        const e2e::RunResult& r = results[i];
        const std::string back = local_ + "/BACK." + names[i];
        if (r.exit_code == 0) {
            ++whole;
            EXPECT_EQ(e2e::ReadFile(d_ + "/" + names[i]), *sent[i]);
            EXPECT_EQ(e2e::ReadFile(back), *sent[i]);
        } else {
            EXPECT_EQ(r.exit_code, 2) << r.err;
            EXPECT_NE(r.err.find("busy with another console"), std::string::npos) << r.err;
            EXPECT_FALSE(e2e::FileExists(back));
        }
    }
    EXPECT_GE(whole, 1);  // the first console is served whole
    // No partial download is left behind under any name.
    const std::string ls = e2e::Run({"ls", "-a", local_}).out;
    EXPECT_EQ(ls.find(".ftpart"), std::string::npos) << ls;
    slave_->Stop();
}

TEST_F(KslaveTest, IpxFormByDefaultAndDriveKinds) {
    ASSERT_TRUE(e2e::WriteFile(e2e::DriveDir('N') + "/REMOTE.TXT", "r"));
    e2e::RemoveTree(e2e::DriveDir('E'));
    e2e::MakeDirs(e2e::DriveDir('E'));
    Start({});
    ASSERT_TRUE(WaitBound(SOCK_DGRAM, UdpPort(), 30s));
    e2e::RunResult r =
        Console({"--ipx", "--port", "16449", "-c", "drives; ls N:\\; drive E:; drive C:; quit", "127.0.0.1"});
    EXPECT_EQ(r.exit_code, 1) << r.err;  // the empty removable drive
    // Network drive N: is not listed and its listing is empty; the removable E: is.
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "C: D: E:");
    EXPECT_NE(r.out.find("E: has no medium"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("C: ready"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("REMOTE.TXT"), std::string::npos);
    EXPECT_EQ(slave_->Wait(20000).exit_code, 0);
}

TEST_F(KslaveTest, ClosesItselfWhenNoConsoleCallsWithin20Seconds) {
    // The 20 seconds are counted by the slave's timer, which starts after
    // the process does and before the endpoint opens: the exit comes at
    // least 20 s after the start, and at most 20 s (plus shutdown) after
    // the port was seen taken.
    const auto started = std::chrono::steady_clock::now();
    Start({"tcp"});
    ASSERT_TRUE(WaitBound(SOCK_STREAM, TcpPort(), 30s));
    const auto listening = std::chrono::steady_clock::now();
    e2e::RunResult s = slave_->Wait(40000);
    const auto ended = std::chrono::steady_clock::now();
    EXPECT_FALSE(s.timed_out);
    EXPECT_EQ(s.exit_code, 0);
    EXPECT_GE(ended - started, 19750ms);
    EXPECT_LE(ended - listening, 25s);
    EXPECT_NE(s.out.find("Receive Packet"), std::string::npos) << s.out;
    EXPECT_NE(s.out.find(kShutdownLine), std::string::npos) << s.out;
    EXPECT_EQ(s.out.find("FT_EXISTENCE"), std::string::npos) << s.out;
}

// A language library beside the program (XSL32<LNG>.DLL, the language
// forced by XLAT32_LANG) gives the status texts it has; the others, and
// the dialog it lacks, come from the program itself.
TEST_F(KslaveTest, LanguageLibraryBesideTheProgramGivesItsTexts) {
    const std::string bin = std::getenv("QV_WIN32_BIN") ? std::getenv("QV_WIN32_BIN") : "";
    ASSERT_FALSE(bin.empty());
    const std::string prog = d_ + "/PROG";
    e2e::MakeDirs(prog);
    for (const char* f : {"KSLAVE.exe", "linkcore.dll", "xlat32.dll"})
        ASSERT_TRUE(e2e::WriteFile(prog + "/" + f, e2e::ReadFile(bin + "/" + f))) << f;
    const std::string lang = e2e::ReadFile(bin + "/../wtests/kslave_lang.dll");
    ASSERT_FALSE(lang.empty());
    ASSERT_TRUE(e2e::WriteFile(prog + "/XSL32TST.DLL", lang));

    Start({"tcpip"}, {"XLAT32_LANG=TST"}, "D:\\kslave\\PROG\\KSLAVE.exe");
    ASSERT_TRUE(WaitBound(SOCK_STREAM, TcpPort(), 30s));
    e2e::RunResult r = Console({"-c", "pwd; quit", "127.0.0.1"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    e2e::RunResult s = slave_->Wait(20000);
    EXPECT_EQ(s.exit_code, 0);
    EXPECT_NE(s.out.find("Paket empfangen\r\n"), std::string::npos) << s.out;
    EXPECT_NE(s.out.find("Paket senden\r\n"), std::string::npos) << s.out;
    EXPECT_NE(s.out.find("Anforderung zum Beenden erhalten.\r\n"), std::string::npos) << s.out;
    EXPECT_NE(s.out.find("Dateitransfer wird beendet.\r\n"), std::string::npos) << s.out;
    EXPECT_NE(s.out.find("Received an acknowledge/verify FT_EXISTENCE command.\r\n"), std::string::npos);
    EXPECT_EQ(s.out.find("Receive Packet"), std::string::npos);
}

// "LanaNum" of section "Sight" in QVCLIENT.INI shows in the message the
// slave gives when its endpoint cannot open (here: the port is taken). The
// file is looked for in SMS_LOCAL_DIR when it is set, else in the root of
// the first fixed drive, C:.
TEST_F(KslaveTest, SettingsFileLanaNumInTheMessageWhenTheEndpointCannotOpen) {
    const int taken = TakeTcpPort();
    ASSERT_GE(taken, 0);
    const std::string c_ini = e2e::DriveDir('C') + "/QVCLIENT.INI";
    ASSERT_TRUE(e2e::WriteFile(d_ + "/QVCLIENT.INI", "[Sight]\r\nLanaNum=7\r\n"));
    ASSERT_TRUE(e2e::WriteFile(c_ini, "[Sight]\r\nLanaNum = 3\r\n"));

    // Both fail at once on the taken port; each then waits in its message
    // box for timer 1, so they are ended here once the line is out.
    Start({"tcp"}, {"SMS_LOCAL_DIR=D:\\kslave\\"});
    auto from_c = StartSlave({"tcp"}, {});
    ASSERT_TRUE(from_c);
    e2e::RunResult s = slave_->Wait(10000);
    e2e::RunResult c = from_c->Wait(1000);
    close(taken);
    std::remove(c_ini.c_str());
    // The computer name, blank-padded to 20 characters.
    const std::regex line("Unable to listen for session: gSlaveName: ([^ ]+ *) gLanaNum: ([0-9]+)\r\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(s.out, m, line)) << s.out;
    EXPECT_EQ(m[1].length(), 20);
    EXPECT_EQ(m[2], "7");
    ASSERT_TRUE(std::regex_search(c.out, m, line)) << c.out;
    EXPECT_EQ(m[2], "3");
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string l = text.substr(pos, nl - pos);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        out.push_back(l);
        pos = nl + 1;
    }
    return out;
}

// Sends one bare request of `command` to the slave; with `await_reply`,
// also waits for its reply.
bool Request(link::Client& client, uint16_t command, bool await_reply) {
    ft::Request r;
    r.command = command;
    uint8_t wire[ft::kRequestMax];
    if (!client.Send(wire, r.Encode(wire, 1))) return false;
    uint8_t in[ft::kReplyMax];
    return !await_reply || client.Recv(in, sizeof in, 10000) > 0;
}

// What kslave_peek reads of the slave's status list.
struct StatusList {
    long count = -1, top = -1, visible = -1;
    std::vector<std::string> shown;
    std::string raw;
};

StatusList PeekList() {
    e2e::RunOptions quick;
    quick.timeout_ms = 30000;
    e2e::RunResult peek = e2e::RunWine("W:\\kslave_peek.exe", {"list"}, quick);
    EXPECT_EQ(peek.exit_code, 0) << peek.out << peek.err;
    StatusList list;
    list.raw = peek.out;
    for (const std::string& l : Lines(peek.out)) {
        if (l.rfind("line ", 0) == 0) list.shown.push_back(l.substr(5));
        else if (l.rfind("count ", 0) == 0) list.count = std::stol(l.substr(6));
        else if (l.rfind("top ", 0) == 0) list.top = std::stol(l.substr(4));
        else if (l.rfind("visible ", 0) == 0) list.visible = std::stol(l.substr(8));
    }
    return list;
}

// The status list, read from outside by kslave_peek, holds the last 15
// lines, scrolled so that the last one shows; WM_ENDSESSION ends the slave.
TEST_F(KslaveTest, StatusListKeepsTheLast15LinesAndEndSessionEndsTheSlave) {
    Start({"tcpip"});
    auto client = ConnectSlave(slave_.get());
    ASSERT_TRUE(client);
    ASSERT_TRUE(Request(*client, ft::FT_EXISTENCE, true));
    for (uint16_t c = 50; c < 60; ++c) ASSERT_TRUE(Request(*client, c, false));  // unknown: no reply
    ASSERT_TRUE(Request(*client, ft::FT_SERVER_INFO, true));  // everything before it is handled
    std::this_thread::sleep_for(1s);                          // the list takes queued lines on a timer

    const StatusList list = PeekList();
    const std::vector<std::string>& shown = list.shown;
    EXPECT_EQ(list.count, 15);
    ASSERT_EQ(shown.size(), 15u) << list.raw;
    EXPECT_EQ(shown.back(), "Receive Packet");
    EXPECT_EQ(shown[shown.size() - 3], "Received a request to send server information.");
    EXPECT_EQ(shown[shown.size() - 5], "Received an unknown command: 59");
    ASSERT_GT(list.visible, 0);
    if (list.visible < list.count) {
        EXPECT_EQ(list.top, list.count - list.visible);  // the last line is the last visible one
    }

    e2e::RunOptions quick;
    quick.timeout_ms = 30000;
    e2e::RunResult end = e2e::RunWine("W:\\kslave_peek.exe", {"endsession"}, quick);
    EXPECT_EQ(end.exit_code, 0) << end.out;
    e2e::RunResult s = slave_->Wait(20000);
    EXPECT_FALSE(s.timed_out);
    EXPECT_EQ(s.exit_code, 0);
    // The list shows the same lines the slave wrote out, the last 15 of them.
    const std::vector<std::string> all = Lines(s.out);
    auto at = std::search(all.begin(), all.end(), shown.begin(), shown.end());
    ASSERT_NE(at, all.end()) << s.out;
    EXPECT_EQ(*(at + 15), kShutdownLine);
}

// A request that keeps the slave waiting for over a second is preceded by
// "Listening:", and the system menu's Close ends the slave
// as its console's terminate would: the window goes, the endpoint closes.
TEST_F(KslaveTest, ListeningAfterALongWaitAndSystemMenuCloseEndsTheSlave) {
    Start({"tcpip"});
    auto client = ConnectSlave(slave_.get());
    ASSERT_TRUE(client);
    ASSERT_TRUE(Request(*client, ft::FT_EXISTENCE, true));
    std::this_thread::sleep_for(2500ms);
    ASSERT_TRUE(Request(*client, ft::FT_SERVER_INFO, true));  // after a long wait
    std::this_thread::sleep_for(1s);                          // the list takes queued lines on a timer

    const StatusList list = PeekList();
    const std::vector<std::string> wait_then_request = {
        "Receive Packet", "Listening:", "Received a request to send server information."};
    EXPECT_NE(std::search(list.shown.begin(), list.shown.end(), wait_then_request.begin(),
                          wait_then_request.end()),
              list.shown.end())
        << list.raw;

    e2e::RunOptions quick;
    quick.timeout_ms = 30000;
    e2e::RunResult close = e2e::RunWine("W:\\kslave_peek.exe", {"close"}, quick);
    EXPECT_EQ(close.exit_code, 0) << close.out;
    e2e::RunResult s = slave_->Wait(20000);
    EXPECT_FALSE(s.timed_out);
    EXPECT_EQ(s.exit_code, 0);
    EXPECT_NE(s.out.find(kShutdownLine), std::string::npos) << s.out;
}

// Presses OK in the message box captioned `caption` (kslave_peek waits for
// it) and returns what the box showed: its caption, the "text" and
// "button" lines, "closed" once it is gone.
std::vector<std::string> PressBox(const std::string& caption) {
    e2e::RunOptions quick;
    quick.timeout_ms = 60000;
    e2e::RunResult r = e2e::RunWine("W:\\kslave_peek.exe", {"box", caption}, quick);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    return Lines(r.out);
}

bool Has(const std::vector<std::string>& lines, const std::string& l) {
    return std::find(lines.begin(), lines.end(), l) != lines.end();
}

// With its port taken the slave cannot listen: its protocol thread shows
// "Unable to listen for session" in a box captioned "TRACE" and ends once
// the box is closed; the window stays, and timer 1 ends the program 20 s
// after it started, not later (its thread is not waited for).
TEST_F(KslaveTest, TraceBoxWhenTheEndpointCannotOpenThenTimerEndsTheSlave) {
    const int taken = TakeTcpPort();
    ASSERT_GE(taken, 0);
    ASSERT_TRUE(e2e::WriteFile(d_ + "/QVCLIENT.INI", "[Sight]\r\nLanaNum=5\r\n"));

    Start({"tcp"}, {"SMS_LOCAL_DIR=D:\\kslave"});
    std::vector<std::string> box = PressBox("TRACE");
    const auto closed = std::chrono::steady_clock::now();
    close(taken);
    EXPECT_TRUE(Has(box, "caption TRACE")) << ::testing::PrintToString(box);
    EXPECT_TRUE(Has(box, "button 1 OK")) << ::testing::PrintToString(box);
    EXPECT_TRUE(Has(box, "closed")) << ::testing::PrintToString(box);
    const std::regex text("text Unable to listen for session: gSlaveName: ([^ ]+ *) gLanaNum: 5");
    auto it = std::find_if(box.begin(), box.end(), [&](const std::string& l) { return std::regex_match(l, text); });
    ASSERT_NE(it, box.end()) << ::testing::PrintToString(box);
    std::smatch m;
    std::regex_match(*it, m, text);
    EXPECT_EQ(m[1].length(), 20);  // the blank-padded computer name

    // The box gone, the slave's window stays, its list empty.
    ASSERT_TRUE(slave_->Running());
    const StatusList list = PeekList();
    EXPECT_EQ(list.count, 0) << list.raw;

    e2e::RunResult s = slave_->Wait(40000);
    const auto ended = std::chrono::steady_clock::now();
    EXPECT_FALSE(s.timed_out);
    EXPECT_EQ(s.exit_code, 0);
    EXPECT_NE(s.out.find(kShutdownLine), std::string::npos) << s.out;
    EXPECT_EQ(s.out.find("Receive Packet"), std::string::npos) << s.out;
    // Timer 1 started before the box showed; a protocol thread still in its
    // box would add the 10-second wait for the thread.
    EXPECT_LE(ended - closed, 25s);
}

// A program whose main dialog cannot be made (here: a copy whose dialog
// resource is renamed) shows "Unable to display main dialog" captioned
// "System Error" before it listens, and ends with exit code 0 once the box
// is closed.
TEST_F(KslaveTest, SystemErrorBoxWhenTheMainDialogCannotBeMade) {
    const std::string bin = std::getenv("QV_WIN32_BIN") ? std::getenv("QV_WIN32_BIN") : "";
    ASSERT_FALSE(bin.empty());
    const std::string prog = d_ + "/PROG";
    e2e::MakeDirs(prog);
    for (const char* f : {"linkcore.dll", "xlat32.dll"})
        ASSERT_TRUE(e2e::WriteFile(prog + "/" + f, e2e::ReadFile(bin + "/" + f))) << f;
    // Resource names are stored as UTF-16LE in the image.
    std::string exe = e2e::ReadFile(bin + "/KSLAVE.exe");
    std::string name;
    for (char c : std::string("SLAVE_MAIN_DLG")) name += std::string{c, '\0'};
    const std::size_t at = exe.find(name);
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(exe.find(name, at + 1), std::string::npos);
    exe[at + name.size() - 2] = 'X';
    ASSERT_TRUE(e2e::WriteFile(prog + "/KSLAVE.exe", exe));

    Start({"tcp"}, {}, "D:\\kslave\\PROG\\KSLAVE.exe");
    std::vector<std::string> box = PressBox("System Error");
    EXPECT_TRUE(Has(box, "caption System Error")) << ::testing::PrintToString(box);
    EXPECT_TRUE(Has(box, "text Unable to display main dialog")) << ::testing::PrintToString(box);
    EXPECT_TRUE(Has(box, "button 1 OK")) << ::testing::PrintToString(box);
    EXPECT_TRUE(Has(box, "closed")) << ::testing::PrintToString(box);

    e2e::RunResult s = slave_->Wait(10000);
    EXPECT_FALSE(s.timed_out);
    EXPECT_EQ(s.exit_code, 0);
    EXPECT_EQ(s.out, "");  // no window, no protocol thread, no status line
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
    auto client = ConnectSlave(slave_.get());
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
    // 12:00:00 on 1 September 1998, local time as the Windows calls count
    // it: with the offset from UTC in effect now (daylight saving of today,
    // not of that day), in the time zone the slave runs in (the same TZ).
    EXPECT_EQ(MTime(d_ + "/ROUGH.BIN"), WallClockAsUtc(1998, 9, 1, 12) - UtcOffsetNow());
    EXPECT_EQ(c.Put("D:\\kslave\\ROUGH.BIN", "x", 0, 0, true).status, 80);
    EXPECT_GT(c.resends(), 0);
    EXPECT_TRUE(c.Terminate().ok);
    EXPECT_EQ(slave_->Wait(20000).exit_code, 0);
}

// One request as raw bytes (data_len bytes of data, exactly as given) and
// its reply; command 0xFFFF when none came.
ft::Reply Ask(link::Client& client, uint16_t command, const std::string& data, uint16_t seq = 0,
              uint16_t p1 = 0, uint16_t p2 = 0) {
    ft::Request r;
    r.command = command;
    r.sequence = seq;
    r.param1 = p1;
    r.param2 = p2;
    std::copy(data.begin(), data.end(), r.data.begin());
    uint8_t wire[ft::kRequestMax];
    ft::Reply rep;
    rep.command = 0xFFFF;
    uint8_t in[ft::kReplyMax];
    int n = client.Send(wire, r.Encode(wire, data.size())) ? client.Recv(in, sizeof in, 10000) : -1;
    if (n <= 0 || !rep.Decode(in, static_cast<std::size_t>(n))) rep.command = 0xFFFF;
    return rep;
}

std::string Z(const std::string& path) { return path + std::string(1, '\0'); }

// Replies tell the truth: a short path never picks up bytes of an earlier
// request, a failed delete answers its Windows error code, large files
// answer their exact size up to 4 GiB - 1 and status 223 beyond, and a
// failed upload answers its failure to every later block and the close.
TEST_F(KslaveTest, RepliesAreTrueForShortPathsDeletesLargeFilesAndFailedUploads) {
    ASSERT_TRUE(e2e::WriteFile(d_ + "/important.txt", "keep"));
    struct Size { const char* name; uint64_t size; uint16_t status; uint32_t answered; } sizes[] = {
        {"S3G.BIN", 3ull << 30, 0, 0xC0000000u},
        {"S4GM1.BIN", (4ull << 30) - 1, 0, 0xFFFFFFFFu},
        {"S4G.BIN", 4ull << 30, 223, 0},
        {"S5G.BIN", 5ull << 30, 223, 0},
    };
    for (const Size& z : sizes) {  // sparse: no space taken
        const std::string f = d_ + "/" + z.name;
        ASSERT_TRUE(e2e::WriteFile(f, ""));
        ASSERT_EQ(truncate(f.c_str(), static_cast<off_t>(z.size)), 0) << f;
    }
    Start({"tcpip"});
    auto client = ConnectSlave(slave_.get());
    ASSERT_TRUE(client);
    link::Client& c = *client;
    ASSERT_EQ(Ask(c, ft::FT_EXISTENCE, "").status, 0);

    // "D:\kslave\i" sent without its zero after a longer path.
    EXPECT_EQ(Ask(c, ft::FT_VERIFY_VOLUME, Z("D:\\kslave\\important.txt")).status, 0);
    ft::Reply del = Ask(c, ft::FT_DELETE_FILE, "D:\\kslave\\i");
    EXPECT_EQ(del.command, ft::FT_DELETE_FILE);
    EXPECT_EQ(del.status, ft::kStatusBadPath);
    EXPECT_EQ(e2e::ReadFile(d_ + "/important.txt"), "keep");

    // Deletes that fail: missing file, a directory, a wildcard.
    EXPECT_EQ(Ask(c, ft::FT_DELETE_FILE, Z("D:\\kslave\\NOPE.TXT")).status, 2);
    EXPECT_EQ(Ask(c, ft::FT_DELETE_FILE, Z("D:\\kslave\\SUB")).status, 5);
    EXPECT_NE(Ask(c, ft::FT_DELETE_FILE, Z("D:\\kslave\\*.txt")).status, 0);
    EXPECT_EQ(e2e::ReadFile(d_ + "/important.txt"), "keep");
    EXPECT_EQ(Ask(c, ft::FT_DELETE_FILE, Z("D:\\kslave\\important.txt")).status, 0);
    EXPECT_FALSE(e2e::FileExists(d_ + "/important.txt"));

    for (const Size& z : sizes) {
        SCOPED_TRACE(z.name);
        ft::Reply r = Ask(c, ft::FT_FILE_SIZE, Z(std::string("D:\\kslave\\") + z.name));
        EXPECT_EQ(r.status, z.status);
        if (z.status == 0) {
            ASSERT_EQ(r.length, 4);
            EXPECT_EQ(r.data[0] | r.data[1] << 8 | r.data[2] << 16 | static_cast<uint32_t>(r.data[3]) << 24,
                      z.answered);
        } else {
            EXPECT_EQ(r.length, 0);
        }
    }

    // An upload block claiming more bytes than it carries: refused, and so
    // is everything after it, the block resent and the close included.
    ASSERT_EQ(Ask(c, ft::FT_CREATE_FILE, Z("D:\\kslave\\UP.BIN")).status, 0);
    EXPECT_EQ(Ask(c, ft::FT_WRITE_BLOCK, "abc", 1, 3).status, 0);
    EXPECT_EQ(Ask(c, ft::FT_WRITE_BLOCK, "abc", 2, 300).status, 87);
    EXPECT_EQ(Ask(c, ft::FT_WRITE_BLOCK, "abc", 2, 300).status, 87);
    EXPECT_EQ(Ask(c, ft::FT_WRITE_BLOCK, "def", 3, 3).status, 87);
    EXPECT_EQ(Ask(c, ft::FT_WRITE_BLOCK, "", 4, 0).status, 87);
    EXPECT_EQ(Ask(c, ft::FT_TERMINATE, "").status, 0);
    EXPECT_EQ(slave_->Wait(20000).exit_code, 0);
}

}  // namespace
