#include "tools/webconsole/web_server.h"

#include <arpa/inet.h>
#include <civetweb.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace qv::web {
namespace {

// A text message from a page larger than this closes its WebSocket (the
// page's requests are small; files travel over /api/upload).
constexpr std::size_t kMaxPageMessage = std::size_t{1} << 20;
constexpr const char kCookie[] = "qv_token";
constexpr std::size_t kReadChunk = 64 * 1024;
// Connections served at once (every open page holds one).
constexpr const char kThreads[] = "32";

struct StaticFile {
    const char* path;
    const char* file;
    const char* type;
};
// The page's files: nothing else is served from the web root.
constexpr StaticFile kStaticFiles[] = {
    {"/", "index.html", "text/html; charset=utf-8"},
    {"/index.html", "index.html", "text/html; charset=utf-8"},
    {"/app.js", "app.js", "text/javascript; charset=utf-8"},
    {"/view.js", "view.js", "text/javascript; charset=utf-8"},
    {"/files.js", "files.js", "text/javascript; charset=utf-8"},
    {"/style.css", "style.css", "text/css; charset=utf-8"},
};

bool ConstantTimeEqual(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string UrlDecode(const std::string& s) {
    std::string out(s.size() + 1, '\0');
    const int n = mg_url_decode(s.data(), static_cast<int>(s.size()), out.data(), static_cast<int>(out.size()), 1);
    out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return out;
}

std::map<std::string, std::string> ParseQuery(const char* q) {
    std::map<std::string, std::string> out;
    if (!q) return out;
    std::istringstream in(q);
    for (std::string pair; std::getline(in, pair, '&');) {
        if (pair.empty()) continue;
        const std::size_t eq = pair.find('=');
        out[UrlDecode(pair.substr(0, eq))] = eq == std::string::npos ? "" : UrlDecode(pair.substr(eq + 1));
    }
    return out;
}

// A file name safe inside a quoted Content-Disposition parameter.
std::string HeaderSafeName(const std::string& name) {
    std::string out;
    for (const char ch : name) {
        const unsigned char u = static_cast<unsigned char>(ch);
        out += (u < 0x20 || u >= 0x7F || ch == '"' || ch == '\\' || ch == '/') ? '_' : ch;
    }
    return out.empty() ? "download" : out;
}

void Reply(mg_connection* conn, int status, const std::string& type, const std::string& body,
           const std::string& extra_headers = "") {
    const bool head = std::strcmp(mg_get_request_info(conn)->request_method, "HEAD") == 0;
    mg_printf(conn,
              "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: no-store\r\n"
              "X-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\nReferrer-Policy: no-referrer\r\n"
              "Connection: close\r\n%s\r\n",
              status, mg_get_response_code_text(conn, status), type.c_str(), body.size(), extra_headers.c_str());
    if (!body.empty() && !head) mg_write(conn, body.data(), body.size());
}

void ReplyText(mg_connection* conn, int status, const std::string& text) {
    Reply(conn, status, "text/plain; charset=utf-8", text + "\n");
}

class Page;

// The open pages of the process, by id (FindPage, SendToAllPages).
struct Registry {
    std::mutex mu;
    std::map<uint64_t, std::weak_ptr<Page>> pages;
    std::atomic<uint64_t> next_id{1};
};
Registry& Pages() {
    static Registry r;
    return r;
}

class Page : public PageLink {
public:
    Page(uint64_t id, mg_connection* conn) : id_(id), conn_(conn) {}
    uint64_t id() const override { return id_; }
    bool SendText(const std::string& text) override { return Write(MG_WEBSOCKET_OPCODE_TEXT, text.data(), text.size()); }
    bool SendBinary(const uint8_t* data, std::size_t n) override {
        return Write(MG_WEBSOCKET_OPCODE_BINARY, reinterpret_cast<const char*>(data), n);
    }
    // The connection is closing: no send touches it from now on.
    void Close() {
        std::lock_guard<std::mutex> l(mu_);
        conn_ = nullptr;
    }
    std::string partial;  // a text message arriving in fragments (connection thread only)
    bool partial_text = false;

private:
    bool Write(int opcode, const char* data, std::size_t n) {
        std::lock_guard<std::mutex> l(mu_);
        if (!conn_) return false;
        mg_lock_connection(conn_);
        const int r = mg_websocket_write(conn_, opcode, data, n);
        mg_unlock_connection(conn_);
        if (r <= 0) conn_ = nullptr;  // the page is gone
        return r > 0;
    }

    const uint64_t id_;
    std::mutex mu_;
    mg_connection* conn_;
};

}  // namespace

struct WebServer::Impl {
    ServerOptions options;
    std::vector<Feature*> features;
    mg_context* ctx = nullptr;
    uint16_t port = 0;
    std::string host_port;  // what the Host header must say: "127.0.0.1:8470"
    std::mutex pages_mu;
    std::map<uint64_t, std::shared_ptr<Page>> pages;  // this server's open pages

    // The token of a request: from ?token= or the cookie.
    bool HasToken(const mg_connection* conn, bool* from_query) const {
        const mg_request_info* ri = mg_get_request_info(conn);
        const auto q = ParseQuery(ri->query_string);
        const auto it = q.find("token");
        *from_query = false;
        if (it != q.end() && ConstantTimeEqual(it->second, options.token)) {
            *from_query = true;
            return true;
        }
        const char* cookie = mg_get_header(conn, "Cookie");
        if (!cookie) return false;
        char value[256];
        if (mg_get_cookie(cookie, kCookie, value, sizeof value) < 0) return false;
        return ConstantTimeEqual(value, options.token);
    }

    // A WebSocket from a page of this console: the Host is the address listened on (no rebound
    // DNS name) and the Origin, when given, is that same host.
    bool SameOrigin(const mg_connection* conn) const {
        const char* host = mg_get_header(conn, "Host");
        if (!host || !HostAccepted(host)) return false;
        const char* origin = mg_get_header(conn, "Origin");
        return !origin || std::string(origin) == std::string("http://") + host;
    }

    bool HostAccepted(const std::string& host) const {
        if (host == host_port) return true;
        // Browsers resolve "localhost" to the loopback themselves: no rebinding possible.
        if ((options.host == "127.0.0.1" || options.host == "::1") && host == "localhost:" + std::to_string(port))
            return true;
        // Listening on every address: any IP literal with our port (never a name).
        if (options.host != "0.0.0.0" && options.host != "::") return false;
        const std::string suffix = ":" + std::to_string(port);
        if (host.size() <= suffix.size() || host.compare(host.size() - suffix.size(), suffix.size(), suffix) != 0)
            return false;
        std::string addr = host.substr(0, host.size() - suffix.size());
        if (addr.size() > 2 && addr.front() == '[' && addr.back() == ']') addr = addr.substr(1, addr.size() - 2);
        unsigned char buf[16];
        return inet_pton(AF_INET, addr.c_str(), buf) == 1 || inet_pton(AF_INET6, addr.c_str(), buf) == 1;
    }

    int BeginRequest(mg_connection* conn) {
        bool from_query = false;
        if (!HasToken(conn, &from_query)) {
            ReplyText(conn, 403,
                      "Access denied: open the address the web console printed at start (it carries the token).");
            return 403;
        }
        const mg_request_info* ri = mg_get_request_info(conn);
        if (std::strcmp(ri->local_uri, "/ws") == 0 && !SameOrigin(conn)) {
            ReplyText(conn, 403, "Access denied: the WebSocket must come from the console's own page.");
            return 403;
        }
        return 0;
    }

    int HandleHttp(mg_connection* conn) {
        const mg_request_info* ri = mg_get_request_info(conn);
        const std::string path = ri->local_uri ? ri->local_uri : "";
        bool from_query = false;
        HasToken(conn, &from_query);
        const std::string cookie = from_query ? std::string("Set-Cookie: ") + kCookie + "=" + options.token +
                                                    "; HttpOnly; SameSite=Strict; Path=/\r\n"
                                              : "";
        if (path.rfind("/api/", 0) == 0) return HandleApi(conn, path, cookie);
        for (const StaticFile& f : kStaticFiles) {
            if (path != f.path) continue;
            if (std::strcmp(ri->request_method, "GET") != 0 && std::strcmp(ri->request_method, "HEAD") != 0) {
                ReplyText(conn, 405, "Only GET is served here.");
                return 405;
            }
            std::string body;
            if (!ReadWholeFile(options.web_root + "/" + f.file, &body)) {
                ReplyText(conn, 500, std::string("The console cannot read its page file ") + f.file + ".");
                return 500;
            }
            Reply(conn, 200, f.type, body, cookie);
            return 200;
        }
        ReplyText(conn, 404, "Not found.");
        return 404;
    }

    int HandleApi(mg_connection* conn, const std::string& path, const std::string& cookie) {
        const mg_request_info* ri = mg_get_request_info(conn);
        HttpRequest req;
        req.method = ri->request_method;
        req.path = path;
        req.query = ParseQuery(ri->query_string);
        if (ri->content_length > static_cast<long long>(kMaxPostBody)) {
            Reply(conn, 413, "application/json", TooLarge());
            return 413;
        }
        // On the heap: CivetWeb's threads have small stacks.
        std::vector<char> buf(kReadChunk);
        for (int n; (n = mg_read(conn, buf.data(), buf.size())) > 0;) {
            if (req.body.size() + static_cast<std::size_t>(n) > kMaxPostBody) {
                Reply(conn, 413, "application/json", TooLarge());
                return 413;
            }
            req.body.append(buf.data(), static_cast<std::size_t>(n));
        }
        HttpResponse resp;
        bool answered = false;
        for (Feature* f : features) {
            try {
                answered = f->OnHttp(req, &resp);
            } catch (const std::exception& e) {
                resp = HttpResponse{};
                resp.status = 400;
                resp.body = nlohmann::json{{"ok", false}, {"kind", "bad_request"}, {"message", e.what()}}.dump();
                answered = true;
            }
            if (answered) break;
        }
        if (!answered) {
            resp.status = 404;
            resp.body = nlohmann::json{{"ok", false}, {"kind", "bad_request"}, {"message", "No such request."}}.dump();
        }
        std::string headers = cookie;
        if (!resp.attachment_name.empty())
            headers += "Content-Disposition: attachment; filename=\"" + HeaderSafeName(resp.attachment_name) + "\"\r\n";
        Reply(conn, resp.status, resp.content_type, resp.body, headers);
        return resp.status;
    }

    static std::string TooLarge() {
        return nlohmann::json{{"ok", false},
                              {"kind", "bad_request"},
                              {"message", "The file is larger than the console takes (" +
                                              std::to_string(kMaxPostBody >> 20) + " MiB)."}}
            .dump();
    }

    void Ready(mg_connection* conn) {
        auto page = std::make_shared<Page>(Pages().next_id++, conn);
        mg_set_user_connection_data(conn, page.get());
        {
            std::lock_guard<std::mutex> l(pages_mu);
            pages[page->id()] = page;
        }
        {
            std::lock_guard<std::mutex> l(Pages().mu);
            Pages().pages[page->id()] = page;
        }
        page->Send({{"ev", "hello"}, {"page", page->id()}, {"version", 1}});
    }

    std::shared_ptr<Page> PageOf(const mg_connection* conn) {
        auto* raw = static_cast<Page*>(mg_get_user_connection_data(conn));
        if (!raw) return nullptr;
        std::lock_guard<std::mutex> l(pages_mu);
        const auto it = pages.find(raw->id());
        return it == pages.end() ? nullptr : it->second;
    }

    int Data(mg_connection* conn, int bits, const char* data, std::size_t n) {
        const std::shared_ptr<Page> page = PageOf(conn);
        if (!page) return 0;
        const int opcode = bits & 0x0F;
        const bool fin = (bits & 0x80) != 0;
        if (opcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
        if (opcode == MG_WEBSOCKET_OPCODE_TEXT) {
            page->partial.clear();
            page->partial_text = true;
        } else if (opcode != MG_WEBSOCKET_OPCODE_CONTINUATION) {
            if (opcode == MG_WEBSOCKET_OPCODE_BINARY)
                SendError(*page, nlohmann::json::object(), "bad_request", "The console takes only JSON requests.");
            page->partial_text = false;
            return 1;  // pings, pongs and binary messages: nothing to do
        }
        if (!page->partial_text) return 1;  // the rest of a binary message
        if (page->partial.size() + n > kMaxPageMessage) {
            SendError(*page, nlohmann::json::object(), "bad_request", "The request is too large.");
            return 0;
        }
        page->partial.append(data, n);
        if (!fin) return 1;
        std::string text;
        text.swap(page->partial);
        page->partial_text = false;
        Dispatch(page, text);
        return 1;
    }

    void Dispatch(const std::shared_ptr<Page>& page, const std::string& text) {
        const nlohmann::json msg = nlohmann::json::parse(text, nullptr, false);
        if (msg.is_discarded() || !msg.is_object() || !msg.contains("op") || !msg["op"].is_string()) {
            SendError(*page, msg.is_object() ? msg : nlohmann::json::object(), "bad_request",
                      "The request is not a JSON object with an \"op\".");
            return;
        }
        try {
            for (Feature* f : features)
                if (f->OnMessage(page, msg)) return;
            SendError(*page, msg, "bad_request", "The console does not know the request \"" +
                                                     msg["op"].get<std::string>() + "\".");
        } catch (const std::exception& e) {
            // A field of the wrong type, say.
            SendError(*page, msg, "bad_request", std::string("The request is malformed: ") + e.what() + ".");
        }
    }

    void Closed(const mg_connection* conn) {
        const std::shared_ptr<Page> page = PageOf(conn);
        if (!page) return;
        page->Close();
        {
            std::lock_guard<std::mutex> l(Pages().mu);
            Pages().pages.erase(page->id());
        }
        {
            std::lock_guard<std::mutex> l(pages_mu);
            pages.erase(page->id());
        }
        for (Feature* f : features) {
            try {
                f->OnPageClosed(page);
            } catch (const std::exception&) {
                // Nothing to tell a closed page.
            }
        }
    }
};

namespace {

WebServer::Impl* ImplOf(const mg_connection* conn) {
    return static_cast<WebServer::Impl*>(mg_get_user_data(mg_get_context(conn)));
}

int OnBeginRequest(mg_connection* conn) { return ImplOf(conn)->BeginRequest(conn); }
int OnHttp(mg_connection* conn, void*) { return ImplOf(conn)->HandleHttp(conn); }
int OnWsConnect(const mg_connection*, void*) { return 0; }  // checked in OnBeginRequest
void OnWsReady(mg_connection* conn, void*) { ImplOf(conn)->Ready(conn); }
int OnWsData(mg_connection* conn, int bits, char* data, size_t n, void*) {
    return ImplOf(conn)->Data(conn, bits, data, n);
}
void OnWsClose(const mg_connection* conn, void*) { ImplOf(conn)->Closed(conn); }
int OnLog(const mg_connection*, const char*) { return 1; }  // failures reach the operator as replies

}  // namespace

void SendDone(PageLink& page, const nlohmann::json& msg) {
    nlohmann::json ev = {{"ev", "done"}};
    if (msg.is_object() && msg.contains("req")) ev["req"] = msg["req"];
    page.Send(ev);
}

void SendError(PageLink& page, const nlohmann::json& msg, const char* kind, const std::string& text) {
    nlohmann::json ev = {{"ev", "error"}, {"kind", kind}, {"message", text}};
    if (msg.is_object() && msg.contains("req")) ev["req"] = msg["req"];
    page.Send(ev);
}

bool ReadWholeFile(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    *out = s.str();
    return !in.bad();
}

PagePtr FindPage(uint64_t id) {
    std::lock_guard<std::mutex> l(Pages().mu);
    const auto it = Pages().pages.find(id);
    return it == Pages().pages.end() ? nullptr : it->second.lock();
}

void SendToAllPages(const nlohmann::json& ev) {
    std::vector<PagePtr> all;
    {
        std::lock_guard<std::mutex> l(Pages().mu);
        for (auto& [id, weak] : Pages().pages)
            if (PagePtr p = weak.lock()) all.push_back(std::move(p));
    }
    const std::string text = ev.dump();
    for (const PagePtr& p : all) p->SendText(text);
}

WebServer::WebServer(ServerOptions options, std::vector<Feature*> features) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->features = std::move(features);
}

WebServer::~WebServer() { Stop(); }

bool WebServer::Start(std::string* error) {
    Impl& s = *impl_;
    if (s.ctx) return true;
    const bool v6 = s.options.host.find(':') != std::string::npos;
    const std::string bracketed = v6 ? "[" + s.options.host + "]" : s.options.host;
    const std::string ports = bracketed + ":" + std::to_string(s.options.port);
    const char* config[] = {"listening_ports", ports.c_str(), "num_threads", kThreads,
                            "enable_directory_listing", "no", "request_timeout_ms", "30000",
                            // An idle page is pinged now and then: a page gone without closing is noticed.
                            "websocket_timeout_ms", "30000", "enable_websocket_ping_pong", "yes", nullptr};
    mg_init_library(0);
    mg_callbacks cb{};
    cb.begin_request = OnBeginRequest;
    cb.log_message = OnLog;
    char text[256] = {};
    unsigned code = 0;
    mg_error_data err{&code, text, sizeof text};
    mg_init_data init{&cb, &s, config};
    s.ctx = mg_start2(&init, &err);
    if (!s.ctx) {
        *error = "cannot listen on " + ports + (text[0] ? std::string(": ") + text : std::string());
        return false;
    }
    mg_server_port sp[4] = {};
    const int n = mg_get_server_ports(s.ctx, 4, sp);
    s.port = n > 0 ? static_cast<uint16_t>(sp[0].port) : s.options.port;
    s.host_port = bracketed + ":" + std::to_string(s.port);
    mg_set_request_handler(s.ctx, "/", OnHttp, nullptr);
    mg_set_websocket_handler(s.ctx, "/ws", OnWsConnect, OnWsReady, OnWsData, OnWsClose, nullptr);
    return true;
}

uint16_t WebServer::port() const { return impl_->port; }

void WebServer::Stop() {
    if (!impl_->ctx) return;
    mg_stop(impl_->ctx);  // closes every connection; the close handlers run
    impl_->ctx = nullptr;
    mg_exit_library();
}

}  // namespace qv::web
