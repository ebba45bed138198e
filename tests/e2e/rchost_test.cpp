// End-to-end test of the remote control agent: rchost32.exe is installed
// with its install.cmd as a real service of the test prefix, started and
// stopped through the service manager, and driven over TCP/IP by native
// clients on the verify and data endpoints.
//
// One run covers many rules, in the order a service lives: installed and
// started (sc query shows START_PENDING and RUNNING), the information reply,
// a console that leaves without ending its session and the busy reply a
// second console then gets, a second viewer that never takes over a viewing
// session, a program started by remote execute (KSLAVE.exe), the settings
// pipe, a "CommandLine" change that restarts the agent, and a stop while a
// viewer is connected (three disconnect packets, then STOPPED). A keyed
// run follows: the agent and the slave with a site key, consoles with and
// without it, and the permissions the agent then enforces.
//
// A service does not inherit the environment of the command that starts it,
// so the port offset of this run (LINKCORE_PORT_OFFSET, see the KSLAVE test)
// is put into the prefix's system environment, and the wineserver restarted
// so that the service manager reads it; both are undone at the end.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "agent/rc_wire.h"
#include "contracts/transport.h"
#include "libs/linkcore/client.h"
#include "tests/e2e/agent_service.h"

namespace {

using namespace qv;
using namespace std::chrono_literals;
using e2e::PortFree;

using e2e::Reg;
using e2e::WaitBound;
using e2e::WaitAgentState;
const char* const kService = e2e::kAgentService;
const char* const kAgentKey = "HKLM\\SOFTWARE\\Brekon\\Fieldhaven\\QVWM\\Rchost32";
const char* const kInstallDir = e2e::kAgentInstallDir;

std::string Random(std::size_t n) {
    std::mt19937 rng(15);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

e2e::RunResult Wine(const std::string& program, const std::vector<std::string>& args) {
    return e2e::WineTool(program, args);
}
std::string ServiceState() { return e2e::AgentServiceState(); }
bool WaitState(const std::string& want, std::set<std::string>* seen, std::chrono::seconds timeout = 20s) {
    return WaitAgentState(want, seen, timeout);
}

class Agent : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        offset_ = e2e::TakeAgentPortOffset();
        ASSERT_NE(offset_, 0u) << "no free ports for the agent";
        // The user's settings: chat refused, an audible signal; the other
        // permissions keep their defaults.
        e2e::WriteFile(e2e::DriveDir('C') + "/QVCLIENT.INI", "[Sight]\r\nAllow Chat=no\r\nAllow Reboot=YES\r\n"
                                                           "Audible Signal=yes\r\n");
        e2e::PrepareAgent(offset_);
        dir_ = e2e::DriveDir('C') + "/rchost";
    }
    static void TearDownTestSuite() {
        std::remove((e2e::DriveDir('C') + "/QVCLIENT.INI").c_str());
        e2e::RemoveAgent();
    }

    static uint16_t Port(uint32_t base) { return static_cast<uint16_t>(base + offset_); }

    // Connects, retrying while the agent opens the endpoint (after a restart
    // or a reconnect). The client adds LINKCORE_PORT_OFFSET itself.
    static std::unique_ptr<link::Client> Connect(uint32_t base) {
        std::string err;
        for (int i = 0; i < 100; ++i) {
            if (auto c = link::Client::ConnectTcp("127.0.0.1", static_cast<uint16_t>(base), 5000, &err)) return c;
            std::this_thread::sleep_for(100ms);
        }
        ADD_FAILURE() << err << "\n" << Log();
        return nullptr;
    }

    // One verify request and its reply (empty on time-out).
    static std::vector<uint8_t> Ask(link::Client& c, std::vector<uint8_t> request, int timeout_ms = 5000) {
        EXPECT_TRUE(c.Send(request.data(), request.size()));
        uint8_t buf[1500];
        const int n = c.Recv(buf, sizeof buf, timeout_ms);
        return n > 0 ? std::vector<uint8_t>(buf, buf + n) : std::vector<uint8_t>{};
    }

    static std::string Log() { return e2e::ReadFile(dir_ + "/rchost32.log"); }

    static uint32_t offset_;
    static std::string dir_;
};
uint32_t Agent::offset_ = 0;
std::string Agent::dir_;

e2e::RunResult Console(const std::vector<std::string>& args) {
    std::vector<std::string> argv{e2e::HostBinDir() + "/rcconsole", "--timeout", "5000"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("127.0.0.1");
    e2e::RunOptions o;
    o.timeout_ms = 60000;
    return e2e::Run(argv, o);
}

// A viewer on the data endpoint: connects, starts viewing, reads packets
// (the screen data that viewing brings is passed over: these checks are
// about the session's control packets).
struct Viewer {
    std::unique_ptr<link::Client> c;
    std::vector<uint8_t> Next(int timeout_ms) {
        uint8_t buf[1500];
        int n = 0;
        do n = c->Recv(buf, sizeof buf, timeout_ms);
        while (n > 0 && buf[0] == rc::PT_DATA);
        return n > 0 ? std::vector<uint8_t>(buf, buf + n) : std::vector<uint8_t>{};
    }
    void Send(std::vector<uint8_t> p) { EXPECT_TRUE(c->Send(p.data(), p.size())); }
    static std::vector<uint8_t> StartViewing(uint8_t seq, const std::string& name) {
        std::vector<uint8_t> p{rc::PT_DATA, seq, 255, 0, rc::kCmdStartViewing, 2, 4};
        std::string n = name;
        n.resize(rc::kViewerNameBytes, '\0');
        p.insert(p.end(), n.begin(), n.end());
        return p;
    }
};

TEST_F(Agent, LivesAsAServiceAndServesConsoles) {
    // Installed and started by its own script, the states watched meanwhile.
    std::set<std::string> seen;
    {
        e2e::RunOptions o;
        o.timeout_ms = 60000;
        auto install = e2e::StartWine("C:\\windows\\system32\\cmd.exe",
                                      {"/c", std::string(kInstallDir) + "\\install.cmd", "TCPIP"}, o);
        while (install->Running()) {
            const std::string s = ServiceState();
            if (!s.empty()) seen.insert(s);
        }
        const e2e::RunResult r = install->Wait(1000);
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    }
    ASSERT_TRUE(WaitState("RUNNING", &seen)) << Log();
    ASSERT_TRUE(WaitBound(Port(rc::kVerifyTcpPort), 10s)) << Log();
    e2e::RunResult r;
    std::cout << "service states seen while starting:";
    for (const std::string& s : seen) std::cout << " " << s;
    std::cout << "\n";
    EXPECT_NE(Log().find("Creating Main Windows"), std::string::npos);
    // The audit source is registered with the message file beside the program.
    r = Reg({"query", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Security\\Brekon Rchost Agent"});
    EXPECT_NE(r.out.find("C:\\rchost\\rchostmsg.dll"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("TypesSupported    REG_DWORD    0x1f"), std::string::npos) << r.out;
    // install.cmd registers the service message source with the same file.
    r = Reg({"query", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Rchost32"});
    EXPECT_NE(r.out.find("EventMessageFile    REG_EXPAND_SZ    C:\\rchost\\rchostmsg.dll"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("TypesSupported    REG_DWORD    0x7"), std::string::npos) << r.out;

    // The console's information query.
    r = Console({"-c", "info 3"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    for (const char* line : {"level: 3", "product: Fieldhaven Workgroup Manager ver 1.1", "session: none",
                             "viewer: none"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;

    // The user's settings from QVCLIENT.INI, as a console sees them.
    r = Console({"-c", "establish"});
    EXPECT_NE(r.out.find("permissions: takeover reboot file-transfer remote-execute ping-test\n"), std::string::npos)
        << r.out << r.err;
    EXPECT_NE(r.out.find("signals: audible\n"), std::string::npos) << r.out;

    // "Check out!" requests never stop the agent answering.
    {
        auto c = Connect(rc::kVerifyTcpPort);
        ASSERT_TRUE(c);
        for (uint8_t type : {rc::kSetTokenData, rc::kGetTokenData, rc::kSetTokenData}) {
            const std::vector<uint8_t> req{0, type, 0, 0};
            EXPECT_TRUE(c->Send(req.data(), req.size()));
        }
        EXPECT_EQ(Ask(*c, {0, rc::kInfoQuery, 0, 0}).size(), rc::kInfoLevel0ReplySize);
        // One box at a time: the first request's stands, the others were dropped.
        r = Wine("P:\\boxpress.exe", {"--service", "--caption", "Check out!", "--text",
                                      "Console sent a request to set the token", "ok"});
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        r = Wine("P:\\boxpress.exe", {"--service", "--caption", "Check out!", "--wait", "1", "ok"});
        EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    }

    // Remote execute starts the file transfer slave, which listens.
    r = Console({"-c", "exec KSLAVE.exe TCPIP"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(WaitBound(Port(1764), 20s)) << Log();

    // A local program reads and sets the flags through the pipe.
    r = Wine("P:\\rcpipe.exe", {"set", "0x04", "0x0001"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    r = Wine("P:\\rcpipe.exe", {"get"});
    EXPECT_NE(r.out.find("signals 0x04 visible"), std::string::npos) << r.out << r.err;
    EXPECT_NE(r.out.find("permissions 0x00000001 takeover\n"), std::string::npos) << r.out;
    r = Console({"-c", "establish"});
    EXPECT_NE(r.out.find("permissions: takeover\n"), std::string::npos) << r.out << r.err;
    EXPECT_EQ(Wine("P:\\rcpipe.exe", {"set", "0", "0x20F1"}).exit_code, 0);

    // The user answers the consent prompt, once yes and once no.
    for (const char* answer : {"yes", "no"}) {
        std::vector<std::string> argv{e2e::HostBinDir() + "/rcconsole", "--wait", "30", "-c", "ask Admin transfer",
                                      "127.0.0.1"};
        auto ask = e2e::Spawn(argv);
        r = Wine("P:\\boxpress.exe", {"--service", "--caption", "Brekon Remote Control Agent", "--text",
                                      "Will you allow Admin to transfer files?", "--wait", "20", answer});
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        const e2e::RunResult a = ask->Wait(40000);
        EXPECT_EQ(a.exit_code, answer[0] == 'y' ? 0 : 1) << a.out << a.err;
        EXPECT_NE(a.out.find(answer[0] == 'y' ? "allowed" : "refused"), std::string::npos) << a.out << a.err;
    }

    // A change of "CommandLine" restarts the agent with the new options:
    // here lower case after a minus sign, the IPX form (carried over UDP).
    auto change_options = [](const std::string& value) {
        const std::size_t mark = Log().size();
        Reg({"add", kAgentKey, "/v", "CommandLine", "/d", value, "/f", "/reg:32"});
        for (int i = 0; i < 100 && Log().find("Doing WinMainSetup", mark) == std::string::npos; ++i)
            std::this_thread::sleep_for(100ms);
        EXPECT_NE(Log().find("** Threads gone**", mark), std::string::npos) << Log();
        EXPECT_NE(Log().find("Doing WinMainSetup", mark), std::string::npos) << Log();
        return mark;
    };
    change_options("-ipx");
    const uint16_t udp_verify = static_cast<uint16_t>(LinkIpxSocketToUdpPort(rc::kVerifyIpxSocket) + offset_);
    for (int i = 0; i < 100 && PortFree(SOCK_DGRAM, udp_verify); ++i) std::this_thread::sleep_for(100ms);
    r = Console({"--ipx", "-c", "info 1"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err << Log();
    EXPECT_NE(r.out.find("transport: IPX"), std::string::npos) << r.out;

    // A token that is no option is shown to the user, and the rest applies.
    change_options("/TCPIP -L1 /SX");
    r = Wine("P:\\boxpress.exe", {"--service", "--caption", "Remote Control Agent", "--text",
                                  "Bad command-line parameter SX", "--wait", "20", "ok"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    ASSERT_TRUE(WaitBound(Port(rc::kVerifyTcpPort), 10s)) << Log();
    r = Console({"-c", "info 1"});
    EXPECT_EQ(r.exit_code, 0) << r.err << Log();
    EXPECT_NE(r.out.find("transport: TCP/IP"), std::string::npos) << r.out;

    // A console leaves without ending its session; the next one is told
    // who holds the agent, and for how long.
    r = Console({"--no-end", "-c", "establish"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("session established"), std::string::npos) << r.out;
    r = Console({"-c", "establish"});
    EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
    EXPECT_NE(r.err.find("is busy with another console (owner 127.0.0.1"), std::string::npos) << r.err;

    // A viewer connects and views; a second viewer never takes over.
    Viewer first{Connect(rc::kDataTcpPort)};
    ASSERT_TRUE(first.c);
    first.Send({rc::PT_CONNECT, 0, 0, 0});
    EXPECT_EQ(first.Next(5000), (std::vector<uint8_t>{rc::PT_CONNECT_ACK, 0, 0, 0}));
    first.Send(Viewer::StartViewing(0, "first viewer"));
    EXPECT_EQ(first.Next(5000), (std::vector<uint8_t>{rc::PT_ACK, 0, 0, 0}));
    Viewer second{Connect(rc::kDataTcpPort)};
    ASSERT_TRUE(second.c);
    second.Send({rc::PT_CONNECT, 0, 0, 0});
    EXPECT_TRUE(second.Next(1500).empty());
    first.Send({rc::PT_STATUS_REQUEST, 0, 0, 0});
    EXPECT_EQ(first.Next(5000), (std::vector<uint8_t>{rc::PT_STATUS, 0, 0, 0}));

    // The viewer leaves; the data endpoint opens again (with one new send
    // thread) and serves the next viewer.
    first.Send({rc::PT_DISCONNECT, 0, 0, 0});
    EXPECT_EQ(first.Next(5000), (std::vector<uint8_t>{rc::PT_DISCONNECT_ACK, 0, 0, 0}));
    second.c.reset();
    for (int i = 0; i < 50 && Log().find("Restarting TCP/IP") == std::string::npos; ++i)
        std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(WaitBound(Port(rc::kDataTcpPort), 10s));
    first.c = Connect(rc::kDataTcpPort);
    ASSERT_TRUE(first.c);
    first.Send({rc::PT_CONNECT, 0, 0, 0});
    EXPECT_EQ(first.Next(5000), (std::vector<uint8_t>{rc::PT_CONNECT_ACK, 0, 0, 0})) << Log();
    first.Send(Viewer::StartViewing(0, "first viewer again"));
    EXPECT_EQ(first.Next(5000), (std::vector<uint8_t>{rc::PT_ACK, 0, 0, 0}));
    {
        const std::string log = Log();
        const std::size_t restart = log.find("Restarting TCP/IP");
        std::size_t threads = 0;
        for (std::size_t at = log.find("Starting send thread", restart); at != std::string::npos;
             at = log.find("Starting send thread", at + 1))
            ++threads;
        EXPECT_EQ(threads, 1u) << log;
    }

    // A settings change while viewing waits for the end of viewing.
    {
        const std::size_t mark = Log().size();
        Reg({"add", kAgentKey, "/v", "CommandLine", "/d", "TCPIP", "/f", "/reg:32"});
        std::this_thread::sleep_for(2s);
        EXPECT_EQ(Log().find("Doing WinMainSetup", mark), std::string::npos) << Log();
        first.Send({rc::PT_DATA, 1, 0, 0, rc::kCmdPause});  // viewing pauses: the changes thread ends
        for (int i = 0; i < 100 && Log().find("Doing WinMainSetup", mark) == std::string::npos; ++i)
            std::this_thread::sleep_for(100ms);
        EXPECT_NE(Log().find("Doing WinMainSetup", mark), std::string::npos) << Log();
        ASSERT_TRUE(WaitBound(Port(rc::kDataTcpPort), 10s));
        first.c = Connect(rc::kDataTcpPort);
        ASSERT_TRUE(first.c);
        first.Send({rc::PT_CONNECT, 0, 0, 0});
        EXPECT_EQ(first.Next(5000), (std::vector<uint8_t>{rc::PT_CONNECT_ACK, 0, 0, 0})) << Log();
    }

    // Stopped while the viewer is connected: three disconnect packets, then
    // the service ends.
    seen.clear();
    auto stop = e2e::StartWine("C:\\windows\\system32\\net.exe", {"stop", kService});
    int disconnects = 0;
    for (std::vector<uint8_t> p = first.Next(15000); !p.empty(); p = first.Next(5000)) {
        if (p == std::vector<uint8_t>{rc::PT_DISCONNECT, 0, 0, 0}) ++disconnects;
    }
    EXPECT_EQ(disconnects, 3);
    stop->Wait(30000);
    EXPECT_TRUE(WaitState("STOPPED", &seen)) << Log();
    const std::string log = Log();
    EXPECT_NE(log.find("REALLY cleaning up!"), std::string::npos);
    EXPECT_NE(log.find("** Threads gone**", log.find("REALLY cleaning up!")), std::string::npos) << log;
}

}  // namespace

namespace {

// When the set-up fails (here: the verify port is taken), the user is told
// in a box on the services' desktop and the service ends as STOPPED with an
// error exit code instead of claiming to run.
TEST_F(Agent, FailedSetUpEndsTheServiceWithAnError) {
    ASSERT_TRUE(WaitState("STOPPED", nullptr, 5s)) << "the previous test left the service running";
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(Port(rc::kVerifyTcpPort));
    ASSERT_TRUE(fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && listen(fd, 1) == 0);
    Reg({"add", kAgentKey, "/v", "CommandLine", "/d", "TCPIP", "/f", "/reg:32"});
    e2e::RunResult r = Wine("C:\\windows\\system32\\sc.exe", {"start", kService});
    EXPECT_EQ(ServiceState(), "START_PENDING");  // the box holds the set-up
    r = Wine("P:\\boxpress.exe", {"--service", "--caption", "Remote Control Agent", "--text",
                                  "Failed to initialize the network.", "--wait", "20", "ok"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    std::set<std::string> seen;
    EXPECT_TRUE(WaitState("STOPPED", &seen)) << Log();
    EXPECT_EQ(seen.count("RUNNING"), 0u);
    r = Wine("C:\\windows\\system32\\sc.exe", {"query", kService});
    EXPECT_NE(r.out.find("WIN32_EXIT_CODE    : 1066"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("SERVICE_EXIT_CODE  : 1 "), std::string::npos) << r.out;
    close(fd);
}

}  // namespace

namespace {

// With a site key beside it, the agent serves only consoles holding the
// same key, and so does the slave it starts; the agent enforces the user's
// permissions itself; a key file others may read stops the start-up.
TEST_F(Agent, KeyedAgentAndSlaveServeOnlyConsolesWithTheKey) {
    ASSERT_TRUE(WaitState("STOPPED", nullptr, 5s)) << "the previous test left the service running";
    char tmp[] = "/tmp/rchost_keyed_XXXXXX";
    ASSERT_TRUE(mkdtemp(tmp));
    const std::string site = std::string(tmp) + "/site.key", other = std::string(tmp) + "/other.key";
    const std::string rcconsole = e2e::HostBinDir() + "/rcconsole", ftconsole = e2e::HostBinDir() + "/ftconsole";
    e2e::RunResult r = e2e::Run({rcconsole, "keygen", site});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    r = e2e::Run({rcconsole, "keygen", site});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("already exists"), std::string::npos) << r.err;
    ASSERT_EQ(e2e::Run({ftconsole, "keygen", other}).exit_code, 0);

    // Wine builds the file's access list from its mode: 0600 is owner-only.
    const std::string agent_key = dir_ + "/SITE.KEY";
    e2e::WriteFile(agent_key, e2e::ReadFile(site));
    chmod(agent_key.c_str(), 0600);
    const std::string data = Random(300000), got = std::string(tmp) + "/got.bin";
    e2e::WriteFile(dir_ + "/data.bin", data);
    e2e::WriteFile(e2e::DriveDir('C') + "/QVCLIENT.INI", "[Sight]\r\nAllow Reboot=No\r\n");
    Reg({"add", kAgentKey, "/v", "CommandLine", "/d", "TCPIP", "/f", "/reg:32"});
    Wine("C:\\windows\\system32\\sc.exe", {"start", kService});
    ASSERT_TRUE(WaitState("RUNNING", nullptr)) << Log();
    ASSERT_TRUE(WaitBound(Port(rc::kVerifyTcpPort), 10s)) << Log();
    EXPECT_NE(Log().find("Site key from C:\\rchost\\SITE.KEY: sessions are keyed"), std::string::npos) << Log();

    // The slave the first test started closes within 20 s of its start.
    for (int i = 0; i < 250 && !PortFree(SOCK_STREAM, Port(1764)); ++i) std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(PortFree(SOCK_STREAM, Port(1764)));

    // The console with the key: information, session, the slave started.
    r = Console({"--key-file", site, "-c", "info 3; establish; exec KSLAVE.exe TCPIP"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err << Log();
    for (const char* line : {"product: Fieldhaven Workgroup Manager ver 1.1", "session established",
                             "permissions: takeover file-transfer chat remote-execute ping-test\n",
                             "started KSLAVE.exe"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    ASSERT_TRUE(WaitBound(Port(1764), 20s)) << Log();

    // The slave found the key beside it: a download with the key is
    // byte-identical; without it, or with another, nothing answers.
    auto ft = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv{ftconsole, "--timeout", "3000"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back("127.0.0.1");
        return e2e::Run(argv);
    };
    r = ft({"--key-file", site, "-c", "get C:\\rchost\\data.bin " + got});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(e2e::ReadFile(got) == data);
    r = ft({"-c", "pwd"});
    EXPECT_EQ(r.exit_code, 2) << r.out;
    EXPECT_NE(r.err.find("requires a site key (--key-file)"), std::string::npos) << r.err;
    r = ft({"--key-file", other, "-c", "pwd"});
    EXPECT_EQ(r.exit_code, 2) << r.out;
    EXPECT_NE(r.err.find("holds another site key, or none"), std::string::npos) << r.err;
    EXPECT_EQ(ft({"--key-file", site, "-c", "quit"}).exit_code, 0);

    // The agent: nothing for a console without the key or with another.
    r = Console({"--timeout", "1500", "-c", "info"});
    EXPECT_EQ(r.exit_code, 2) << r.out;
    EXPECT_NE(r.err.find("requires a site key (--key-file)"), std::string::npos) << r.err;
    r = Console({"--timeout", "1500", "--key-file", other, "-c", "info"});
    EXPECT_EQ(r.exit_code, 2) << r.out;
    EXPECT_NE(r.err.find("keyed handshake"), std::string::npos) << r.err;
    r = Console({"--key-file", site, "-c", "watch 8 2"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("viewing at 8 bits per pixel"), std::string::npos) << r.out;

    // The user allows reboots while the console establishes, and forbids
    // them while it asks: the console's reboot reaches the agent, which
    // refuses it (status 8) and says so in its log.
    ASSERT_EQ(Wine("P:\\rcpipe.exe", {"set", "0", "0x20F1"}).exit_code, 0);
    auto asker = e2e::Spawn({rcconsole, "--key-file", site, "--yes", "--wait", "30", "-c",
                             "establish; ask Admin reboot; reboot", "127.0.0.1"});
    // A button the box lacks: boxpress only waits for the box to show.
    r = Wine("P:\\boxpress.exe", {"--service", "--caption", "Brekon Remote Control Agent", "--wait", "20", "ok"});
    EXPECT_NE(r.out.find("text Will you allow Admin to reboot your machine?"), std::string::npos) << r.out << r.err;
    ASSERT_EQ(Wine("P:\\rcpipe.exe", {"set", "0", "0x20B1"}).exit_code, 0);
    r = Wine("P:\\boxpress.exe", {"--service", "--caption", "Brekon Remote Control Agent", "--wait", "20", "yes"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    r = asker->Wait(40000);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("permissions: takeover reboot"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("reboot: refused by the agent: the user of this machine does not allow it (status 8)"),
              std::string::npos)
        << r.err;
    EXPECT_NE(Log().find("Command refused: \"Allow Reboot\" is not allowed by the user"), std::string::npos) << Log();
    EXPECT_EQ(ServiceState(), "RUNNING");

    // A key file other users may read: the agent does not start at all.
    Wine("C:\\windows\\system32\\net.exe", {"stop", kService});
    ASSERT_TRUE(WaitState("STOPPED", nullptr)) << Log();
    chmod(agent_key.c_str(), 0644);
    Wine("C:\\windows\\system32\\sc.exe", {"start", kService});
    std::set<std::string> seen;
    EXPECT_TRUE(WaitState("STOPPED", &seen)) << Log();
    EXPECT_EQ(seen.count("RUNNING"), 0u);
    EXPECT_NE(Log().find("site key file C:\\rchost\\SITE.KEY: refused: other users (Everyone)"), std::string::npos)
        << Log();
    std::remove(agent_key.c_str());
    e2e::RemoveTree(tmp);
}

}  // namespace
