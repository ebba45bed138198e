// The web console: who gets the page and its WebSocket, the machines file,
// the failure sentences, and the machine requests of a page against a
// scripted agent, end to end over a real WebSocket.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "tests/loopback_port.h"
#include "tools/rcconsole/agent_ops.h"
#include "tools/rcconsole/scripted_agent.h"
#include "tools/webconsole/machines_feature.h"
#include "tools/webconsole/web_server.h"

namespace qv::web {
namespace {

using namespace std::chrono_literals;
using rcc::Bytes;

const std::string kToken = "tok-0123456789abcdef";

// A plain TCP connection to the console, for HTTP and a minimal WebSocket client.
class Conn {
public:
    explicit Conn(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval tv{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~Conn() { ::close(fd_); }
    void Write(const std::string& s) { EXPECT_EQ(::send(fd_, s.data(), s.size(), MSG_NOSIGNAL), ssize_t(s.size())); }
    // Reads until the text holds `until` (or, when empty, the peer closes).
    std::string ReadUntil(const std::string& until) {
        while (until.empty() || in_.find(until) == std::string::npos) {
            char b[4096];
            const ssize_t n = ::recv(fd_, b, sizeof b, 0);
            if (n <= 0) break;
            in_.append(b, static_cast<std::size_t>(n));
        }
        std::string out;
        const std::size_t end = until.empty() ? in_.size() : std::min(in_.size(), in_.find(until) + until.size());
        out = in_.substr(0, end);
        in_.erase(0, end);
        return out;
    }
    bool ReadBytes(std::size_t n, std::string* out) {
        while (in_.size() < n) {
            char b[4096];
            const ssize_t got = ::recv(fd_, b, sizeof b, 0);
            if (got <= 0) return false;
            in_.append(b, static_cast<std::size_t>(got));
        }
        *out = in_.substr(0, n);
        in_.erase(0, n);
        return true;
    }

private:
    int fd_;
    std::string in_;
};

int Status(const std::string& response) {
    return response.size() > 12 ? std::atoi(response.c_str() + 9) : 0;
}

// A WebSocket client just good enough for the console: masked text frames out, text frames in.
class Ws {
public:
    Ws(uint16_t port, const std::string& query, const std::string& host, const std::string& origin) : c_(port) {
        c_.Write("GET /ws" + query + " HTTP/1.1\r\nHost: " + host + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" +
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
                 (origin.empty() ? "" : "Origin: " + origin + "\r\n") + "\r\n");
        status = Status(c_.ReadUntil("\r\n\r\n"));
    }
    void Send(const std::string& text) {
        std::string f = {'\x81'};
        f += static_cast<char>(0x80 | (text.size() < 126 ? text.size() : 126));
        if (text.size() >= 126) f += {static_cast<char>(text.size() >> 8), static_cast<char>(text.size() & 0xFF)};
        const char mask[4] = {1, 2, 3, 4};
        f.append(mask, 4);
        for (std::size_t i = 0; i < text.size(); ++i) f += static_cast<char>(text[i] ^ mask[i % 4]);
        c_.Write(f);
    }
    void Send(const nlohmann::json& j) { Send(j.dump()); }
    // The next text message as JSON (null when the connection ended).
    nlohmann::json Next() {
        for (;;) {
            std::string h, ext, payload;
            if (!c_.ReadBytes(2, &h)) return nullptr;
            uint64_t n = static_cast<uint8_t>(h[1]) & 0x7F;
            if (n >= 126) {
                if (!c_.ReadBytes(n == 126 ? 2 : 8, &ext)) return nullptr;
                n = 0;
                for (const char ch : ext) n = n << 8 | static_cast<uint8_t>(ch);
            }
            if (!c_.ReadBytes(n, &payload)) return nullptr;
            if ((h[0] & 0x0F) == 1) return nlohmann::json::parse(payload, nullptr, false);
            if ((h[0] & 0x0F) == 8) return nullptr;
        }
    }
    // The events up to and including the answer to request req.
    std::vector<nlohmann::json> Answer(int req) {
        std::vector<nlohmann::json> out;
        for (nlohmann::json m = Next(); !m.is_null(); m = Next()) {
            out.push_back(m);
            if ((m["ev"] == "done" || m["ev"] == "error") && m.value("req", -1) == req) break;
        }
        return out;
    }
    int status = 0;

private:
    Conn c_;
};

// A feature for the server's own tests: echoes test.echo and answers /api/echo.
class EchoFeature : public Feature {
public:
    bool OnMessage(const PagePtr& page, const nlohmann::json& msg) override {
        if (msg["op"] != "test.echo") return false;
        last = page;
        page->Send({{"ev", "echo"}, {"text", msg.value("text", "")}});
        SendDone(*page, msg);
        return true;
    }
    bool OnHttp(const HttpRequest& req, HttpResponse* resp) override {
        if (req.path != "/api/echo") return false;
        resp->body = req.query.count("x") ? req.query.at("x") : "";
        resp->attachment_name = "a\"b\r\n.txt";
        return true;
    }
    PagePtr last;
};

TEST(WebConsole, TokenPageFilesAndWebSocketAccess) {
    EchoFeature echo;
    ServerOptions o;
    o.port = 0;
    o.token = kToken;
    o.web_root = QV_WEBCONSOLE_WEB_ROOT;
    WebServer server(o, {&echo});
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    const uint16_t port = server.port();
    const std::string host = "127.0.0.1:" + std::to_string(port);
    std::string wrong = kToken;
    wrong.back() = 'x';

    struct Http {
        const char* name;
        std::string request;  // request line and headers, without the closing blank line
        int status;
        std::string has;  // a text the response holds
    };
    const Http http[] = {
        {"no token", "GET / HTTP/1.1", 403, "token"},
        {"token in the query sets the cookie", "GET /?token=" + kToken + " HTTP/1.1", 200,
         "Set-Cookie: qv_token=" + kToken + "; HttpOnly; SameSite=Strict; Path=/"},
        {"cookie", "GET /app.js HTTP/1.1\r\nCookie: other=1; qv_token=" + kToken, 200, "window.qv"},
        {"wrong token", "GET /?token=" + wrong + " HTTP/1.1", 403, ""},
        {"wrong cookie", "GET / HTTP/1.1\r\nCookie: qv_token=" + wrong, 403, ""},
        {"dot-dot", "GET /../CMakeLists.txt?token=" + kToken + " HTTP/1.1", 404, ""},
        {"encoded dot-dot", "GET /%2e%2e/web_server.cpp?token=" + kToken + " HTTP/1.1", 404, ""},
        {"a source file beside the page", "GET /PAGE_PROTOCOL.md?token=" + kToken + " HTTP/1.1", 404, ""},
        {"api to the feature, safe file name", "GET /api/echo?x=a%20b&token=" + kToken + " HTTP/1.1", 200,
         "Content-Disposition: attachment; filename=\"a_b__.txt\"\r\n"},
        {"api nobody answers", "GET /api/nothing?token=" + kToken + " HTTP/1.1", 404, "bad_request"},
        {"body over the limit", "POST /api/echo?token=" + kToken + " HTTP/1.1\r\nContent-Length: " +
                                    std::to_string(kMaxPostBody + 1), 413, "larger"},
    };
    for (const Http& c : http) {
        SCOPED_TRACE(c.name);
        Conn conn(port);
        conn.Write(c.request + "\r\nHost: " + host + "\r\n\r\n");
        // (Up to the text looked for: the console reads the rest of a refused body before closing.)
        const std::string r = conn.ReadUntil(c.has);
        EXPECT_EQ(Status(r), c.status) << r.substr(0, 200);
        EXPECT_NE(r.find(c.has), std::string::npos) << r.substr(0, 400);
    }

    struct Handshake {
        const char* name;
        std::string query, host, origin;
        int status;
    };
    const std::string q = "?token=" + kToken;
    const Handshake refused[] = {
        {"another site's page", q, host, "http://evil.example", 403},
        {"a rebound name", q, "evil.example:" + std::to_string(port), "http://evil.example:" + std::to_string(port), 403},
        {"no token", "", host, "http://" + host, 403},
    };
    for (const Handshake& h : refused) {
        SCOPED_TRACE(h.name);
        EXPECT_EQ(Ws(port, h.query, h.host, h.origin).status, h.status);
    }

    const std::string localhost = "localhost:" + std::to_string(port);
    EXPECT_EQ(Ws(port, q, localhost, "http://" + localhost).status, 101);
    uint64_t id = 0;
    {
        Ws ws(port, q, host, "http://" + host);
        ASSERT_EQ(ws.status, 101);
        const nlohmann::json hello = ws.Next();
        EXPECT_EQ(hello["ev"], "hello");
        id = hello.value("page", uint64_t{0});
        EXPECT_NE(FindPage(id), nullptr);
        ws.Send(std::string("{not json"));
        EXPECT_EQ(ws.Next()["kind"], "bad_request");
        ws.Send(nlohmann::json{{"op", "no.such"}, {"req", 7}});
        const nlohmann::json unknown = ws.Next();
        EXPECT_EQ(unknown["ev"], "error");
        EXPECT_EQ(unknown["kind"], "bad_request");
        EXPECT_EQ(unknown["req"], 7);
        ws.Send(nlohmann::json{{"op", "test.echo"}, {"req", 8}, {"text", std::string(300, 'e')}});
        const auto answer = ws.Answer(8);
        ASSERT_EQ(answer.size(), 2u);
        EXPECT_EQ(answer[0]["text"], std::string(300, 'e'));
        EXPECT_EQ(answer[1]["ev"], "done");
    }
    // A closed page: gone from the registry, and sends to it fail instead of touching the connection.
    for (int i = 0; i < 200 && FindPage(id); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(FindPage(id), nullptr);
    ASSERT_NE(echo.last, nullptr);
    EXPECT_FALSE(echo.last->SendText("{}"));
}

TEST(WebConsole, MachinesFile) {
    struct Case {
        std::string text;
        std::vector<std::pair<std::string, std::string>> machines;
        const char* error;
    };
    const Case cases[] = {
        {"# the help desk's machines\n\n10.0.0.7  Front desk  # by the door\r\npc-12.example.org\n",
         {{"10.0.0.7", "Front desk"}, {"pc-12.example.org", ""}}, ""},
        {"10.0.0.7\n10.0.0.8\n  10.0.0.7 again\n", {}, "m.txt:3: 10.0.0.7 is listed already on line 1"},
        {"ok.example\nbad_name!\n", {}, "m.txt:2: \"bad_name!\" is not a machine address"},
        {"-rf\n", {}, "m.txt:1: \"-rf\" is not"},
        {"::1\n", {}, "m.txt:1: \"::1\" is not"},
        {"10.0.0.1 " + std::string(101, 'x') + "\n", {}, "m.txt:1: the label is longer than 100"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<MachineEntry> got;
        std::string error;
        const bool ok = ParseMachinesFile(c.text, "m.txt", &got, &error);
        EXPECT_EQ(ok, c.error[0] == 0);
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        if (!ok) continue;
        ASSERT_EQ(got.size(), c.machines.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].address, c.machines[i].first);
            EXPECT_EQ(got[i].label, c.machines[i].second);
        }
    }
}

TEST(WebConsole, FailuresInWholeSentences) {
    rcc::Outcome busy;
    busy.busy = busy.owner_known = true;
    busy.owner.age_ticks = 200;
    const uint8_t owner[] = {10, 0, 0, 7, 0x04, 0xD2};
    std::memcpy(busy.owner.owner, owner, sizeof owner);
    rcc::Outcome anonymous_busy;
    anonymous_busy.busy = true;
    rcc::Outcome silent;
    silent.no_reply = true;
    silent.error = "no reply from the agent";
    rcc::Outcome broken;
    broken.error = "the connection to the agent broke";
    rcc::Outcome refused;
    refused.refused = true;
    refused.status = 8;
    refused.error = "refused by the agent: the user of this machine does not allow it";
    rcc::Outcome expired;
    expired.status = rc::kStatusTimedOut;
    expired.error = "the session timed out";
    rcc::Outcome other;
    other.status = rc::kStatusBadRequest;
    other.error = "the agent did not accept the request (unknown or malformed)";
    struct Case {
        const rcc::Outcome& o;
        const char* kind;
        const char* sentence;
    };
    const Case cases[] = {
        {busy, "busy", "The machine at 10.1.2.3 is busy with another console (10.0.0.7, for 11 s); starting X was not done."},
        {anonymous_busy, "busy", "The machine at 10.1.2.3 is busy with another console; starting X was not done."},
        {silent, "no_reply", "Starting X failed: the machine at 10.1.2.3 does not answer (no reply within 2000 ms); it is"},
        {broken, "no_reply", "Starting X failed: the machine at 10.1.2.3 does not answer (the connection to the agent broke)"},
        {refused, "refused", "Starting X was refused: the user of the machine at 10.1.2.3 does not allow it."},
        {expired, "expired", "Starting X failed: the session with the machine at 10.1.2.3 has expired; the next request"},
        {other, "failed", "Starting X failed on the machine at 10.1.2.3: the agent did not accept the request (unknown or "
                          "malformed) (status -5)."},
    };
    ConsoleSettings settings;
    AgentSession s("10.1.2.3", settings);
    for (const Case& c : cases) {
        const Failure f = s.FromOutcome("starting X", c.o);
        EXPECT_EQ(f.kind, c.kind) << c.sentence;
        EXPECT_EQ(f.message.rfind(c.sentence, 0), 0u) << f.message;
    }
}

// A console serving the machine requests, a scripted agent it reaches on the agent's own port (moved
// to a free one by LINKCORE_PORT_OFFSET), and a page's WebSocket.
struct Rig {
    explicit Rig(int keepalive_ms = 60000) {
        for (int i = 0; i < 20 && (free_port <= int(rc::kVerifyTcpPort) || free_port > 49151); ++i)
            free_port = testing_support::FreeLoopbackPort(SOCK_STREAM);
        setenv("LINKCORE_PORT_OFFSET", std::to_string(free_port - rc::kVerifyTcpPort).c_str(), 1);
        agent = std::make_unique<rcc::Endpoint>(0, rc::kVerifyTcpPort);
        settings.timeout_ms = 300;
        settings.keepalive_ms = keepalive_ms;
        list = std::make_unique<MachineList>(settings);
        feature = MakeMachinesFeature(*list, settings);
        ServerOptions o;
        o.port = 0;
        o.token = kToken;
        o.web_root = QV_WEBCONSOLE_WEB_ROOT;
        server = std::make_unique<WebServer>(o, std::vector<Feature*>{feature.get()});
        std::string error;
        EXPECT_TRUE(server->Start(&error)) << error;
        const std::string host = "127.0.0.1:" + std::to_string(server->port());
        ws = std::make_unique<Ws>(server->port(), "?token=" + kToken, host, "http://" + host);
        EXPECT_EQ(ws->status, 101);
        ws->Next();  // hello
    }
    ~Rig() {
        server->Stop();
        list->Clear();
        unsetenv("LINKCORE_PORT_OFFSET");
    }
    // Sends a request (to 127.0.0.1 unless it names another address), plays the agent's side, and
    // returns the page's events up to the request's answer.
    std::vector<nlohmann::json> Ask(nlohmann::json msg, const std::function<void()>& agent_side = nullptr) {
        msg["req"] = ++req;
        if (!msg.contains("address")) msg["address"] = "127.0.0.1";
        ws->Send(msg);
        if (agent_side) agent_side();
        return ws->Answer(req);
    }
    // Adds 127.0.0.1 and runs a program there: the console then holds a session.
    void HoldSession(uint32_t permissions) {
        Ask({{"op", "machines.add"}});
        const auto events = Ask({{"op", "agent.exec"}, {"program", "notepad"}}, [&] {
            agent->Expect(rcc::kEstablish, rcc::EstablishOk(permissions, 0));
            rcc::Command(*agent, rcc::kExec, rcc::CommandReplyBytes(0, 0));
            rcc::Command(*agent, rcc::kPoll, rcc::CommandReplyBytes(0, rc::kResultStarted));
        });
        EXPECT_EQ(events.back()["ev"], "done") << events.back();
    }

    int free_port = 0;
    std::unique_ptr<rcc::Endpoint> agent;
    ConsoleSettings settings;
    std::unique_ptr<MachineList> list;
    std::unique_ptr<Feature> feature;
    std::unique_ptr<WebServer> server;
    std::unique_ptr<Ws> ws;
    int req = 0;
};

// A page's machine requests against a scripted agent: the console's requests on the wire, the
// events and answers on the page, the session kept, refused, lost and ended.
TEST(WebConsole, MachineRequestsAgainstAScriptedAgent) {
    Rig rig;
    ASSERT_TRUE(rig.agent->ok());
    rcc::Endpoint& agent = *rig.agent;
    auto ask = [&](nlohmann::json msg, std::function<void()> agent_side = nullptr) {
        return rig.Ask(std::move(msg), agent_side);
    };
    auto last = [](const std::vector<nlohmann::json>& events) { return events.back(); };

    EXPECT_EQ(last(ask({{"op", "machines.add"}, {"address", "no such!"}}))["kind"], "bad_request");
    EXPECT_EQ(last(ask({{"op", "agent.exec"}, {"program", "x"}}))["kind"], "bad_request");  // not listed yet
    auto events = ask({{"op", "machines.add"}, {"label", "Front desk"}});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["machines"][0]["label"], "Front desk");
    EXPECT_EQ(events[0]["machines"][0]["state"], "unknown");

    Bytes info(176, 0);  // a level 1 reply, as an agent gives it
    const uint8_t head[] = {0, 0, 1, 0, 'U', 'S', 'E', 'R', 1, 0, 1, 0, 8, 0, 0x00, 0x04, 8, 0, 0x00, 0x04, 1, 1};
    std::memcpy(info.data(), head, sizeof head);
    info[22] = 34, info[24] = 71, info[26] = 3, info[28] = 76, info[30] = 0xFF, info[31] = 0xFF;
    std::memcpy(&info[34], "Workgroup Manager", 18);
    const Bytes busy = {0, 2, 0xFE, 0xFF, 200, 0, 10, 0, 0, 7, 0x04, 0xD2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

    // Refresh while another console holds the machine: the information, no flags, who holds it.
    events = ask({{"op", "machines.refresh"}}, [&] {
        agent.Expect({0, 0, 3, 0}, info);
        agent.Expect(rcc::kEstablish, busy);
    });
    ASSERT_EQ(events.size(), 2u);
    nlohmann::json m = events[0]["machine"];
    EXPECT_EQ(m["state"], "ok");
    EXPECT_EQ(m["os_version"], "4.0");
    EXPECT_EQ(m["transport"], "TCP/IP");
    EXPECT_EQ(m["session"], "none");
    EXPECT_TRUE(m["permissions"].is_null());
    EXPECT_NE(m.value("error", "").find("busy with another console (10.0.0.7, for 11 s)"), std::string::npos) << m;
    EXPECT_EQ(events[1]["ev"], "done");

    // Refresh when free: a session is established for the flags and ended again.
    events = ask({{"op", "machines.refresh"}}, [&] {
        agent.Expect({0, 0, 3, 0}, info);
        agent.Expect(rcc::kEstablish, rcc::EstablishOk(rc::kAllowTakeover | rc::kAllowRemoteExecute, 0x04));
        agent.Expect(rcc::kEnd, {0, 3, 0, 0});
    });
    m = events[0]["machine"];
    EXPECT_EQ(m["permissions"], nlohmann::json({"takeover", "remote-execute"}));
    EXPECT_EQ(m["signals"], nlohmann::json({"visible"}));
    EXPECT_FALSE(m.contains("error"));

    // Run a program: the session is established and kept.
    events = ask({{"op", "agent.exec"}, {"program", "C:\\My Tools\\tool.exe"}, {"args", "/q"}}, [&] {
        agent.Expect(rcc::kEstablish, rcc::EstablishOk(rc::kAllowTakeover | rc::kAllowRemoteExecute, 0));
        agent.Expect(rcc::kValidate);
        const Bytes exec = agent.Next();
        EXPECT_EQ(std::string(exec.begin() + 12, exec.end()),
                  std::string("\"C:\\My Tools\\tool.exe\"\0/q\0\0\0\0", 29));
        agent.Send(rcc::CommandReplyBytes(0, 0));
        rcc::Command(agent, rcc::kPoll, rcc::CommandReplyBytes(0, rc::kResultStarted));
    });
    EXPECT_EQ(last(events)["ev"], "done") << last(events);

    // Reboot is not among the user's flags: refused without asking the agent.
    EXPECT_EQ(last(ask({{"op", "agent.reboot"}}))["kind"], "refused");

    // Consent: asking, then the user's answer, polled while the prompt is open.
    events = ask({{"op", "agent.ask"}, {"requester", "Help desk"}, {"operation", "take over"}}, [&] {
        rcc::Command(agent, rcc::kExec, rcc::CommandReplyBytes(0, 0));
        rcc::Command(agent, rcc::kPoll, rcc::CommandReplyBytes(0, rc::kResultPromptOpen));
        rcc::Command(agent, rcc::kPoll, rcc::CommandReplyBytes(0, rc::kResultRefused));
    });
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0]["state"], "asking");
    EXPECT_EQ(events[1]["state"], "refused");
    EXPECT_EQ(events[2]["ev"], "done");

    // The session timed out on the agent: expired, and the next request establishes a new one.
    events = ask({{"op", "agent.exec"}, {"program", "notepad"}}, [&] {
        agent.Expect(rcc::kValidate, {0, 1, 0xFC, 0xFF});
        agent.Expect(rcc::kExec, rcc::CommandReplyBytes(8, 0));
    });
    EXPECT_EQ(last(events)["kind"], "expired") << last(events);
    events = ask({{"op", "agent.exec"}, {"program", "notepad"}}, [&] {
        agent.Expect(rcc::kEstablish, rcc::EstablishOk(rc::kAllowRemoteExecute, 0));
        rcc::Command(agent, rcc::kExec, rcc::CommandReplyBytes(0, 0xFFFF));
        rcc::Command(agent, rcc::kPoll, rcc::CommandReplyBytes(0, 2));
    });
    EXPECT_EQ(last(events)["kind"], "failed");
    EXPECT_NE(last(events)["message"].get<std::string>().find("(Windows error 2)"), std::string::npos);

    // An agent gone silent.
    events = ask({{"op", "agent.exec"}, {"program", "notepad"}});
    EXPECT_EQ(last(events)["kind"], "no_reply") << last(events);

    // Leaving ends the session the console holds.
    std::thread end([&] { rig.list->Clear(); });
    for (Bytes got = agent.Next(); !got.empty() && got[1] != rcc::kEnd[1]; got = agent.Next()) {
    }
    end.join();
}

// An idle held session is validated; when the agent says it is gone, every page hears of it.
TEST(WebConsole, ALostSessionIsReportedToThePages) {
    Rig rig(200);
    rig.HoldSession(rc::kAllowRemoteExecute);
    rig.agent->Expect(rcc::kValidate, {0, 1, 0xFC, 0xFF});
    const nlohmann::json lost = rig.ws->Next();
    EXPECT_EQ(lost["ev"], "session");
    EXPECT_EQ(lost["state"], "lost");
    EXPECT_NE(lost.value("message", "").find("The session with the machine at 127.0.0.1 was lost"), std::string::npos)
        << lost;
}

}  // namespace
}  // namespace qv::web
