// The console's web side: the page's files, the access token, the page's
// WebSocket and the /api/ requests, served with CivetWeb.
//
// A page that connects to /ws gets an id and a PageLink; its JSON requests
// are handed to the features (machines, view, files) in turn until one takes
// them. Requests under /api/ go to the features' OnHttp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qv::web {

// One page's WebSocket. Send* are thread-safe and never block for long; false once the page is gone.
class PageLink {
public:
    virtual ~PageLink() = default;
    virtual uint64_t id() const = 0;
    virtual bool SendText(const std::string& text) = 0;
    virtual bool SendBinary(const uint8_t* data, std::size_t n) = 0;
    bool Send(const nlohmann::json& ev) { return SendText(ev.dump()); }
};
using PagePtr = std::shared_ptr<PageLink>;

struct HttpRequest {
    std::string method, path;
    std::map<std::string, std::string> query;
    std::string body;
};
struct HttpResponse {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
    std::string attachment_name;  // non-empty: Content-Disposition attachment
};

// A part of the console (machines, view, files). OnMessage is called on the page's own connection
// thread: never block there for long (post work to the machine's worker or your own thread).
class Feature {
public:
    virtual ~Feature() = default;
    virtual bool OnMessage(const PagePtr& page, const nlohmann::json& msg) = 0;  // true: taken
    virtual void OnPageClosed(const PagePtr& page) {}
    virtual bool OnHttp(const HttpRequest& req, HttpResponse* resp) { return false; }  // /api/... ; true: answered
};

// The answers every request ends with: {"ev":"done","req":N} / {"ev":"error","req":N,"kind","message"}.
void SendDone(PageLink& page, const nlohmann::json& msg);
void SendError(PageLink& page, const nlohmann::json& msg, const char* kind, const std::string& text);
PagePtr FindPage(uint64_t id);  // an open page by its id (upload progress); null when gone
// Reads a whole file (a page file, the token file, the machines file); false when it cannot.
bool ReadWholeFile(const std::string& path, std::string* out);
// Sends ev to every open page (a lost session, a changed machine list).
void SendToAllPages(const nlohmann::json& ev);

// The largest POST body taken (an upload); a larger one is refused with 413.
constexpr std::size_t kMaxPostBody = std::size_t{256} << 20;

struct ServerOptions {
    std::string host = "127.0.0.1";  // the address to listen on
    uint16_t port = 8470;            // 0: any free port
    std::string token;               // what every request must carry
    std::string web_root;            // the folder of index.html, app.js, ...
};

class WebServer {
public:
    WebServer(ServerOptions options, std::vector<Feature*> features);
    ~WebServer();  // Stop()
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Starts listening; false with the reason in *error.
    bool Start(std::string* error);
    // The port listened on (the one taken when 0 was asked).
    uint16_t port() const;
    // Closes every page and stops serving. Safe to call twice.
    void Stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace qv::web
