#include "tools/webconsole/web_server.h"

namespace qv::web {

struct WebServer::Impl {
    ServerOptions options;
    std::vector<Feature*> features;
};

void SendDone(PageLink& page, const nlohmann::json& msg) {
    nlohmann::json ev = {{"ev", "done"}};
    if (msg.contains("req")) ev["req"] = msg["req"];
    page.Send(ev);
}

void SendError(PageLink& page, const nlohmann::json& msg, const char* kind, const std::string& text) {
    nlohmann::json ev = {{"ev", "error"}, {"kind", kind}, {"message", text}};
    if (msg.contains("req")) ev["req"] = msg["req"];
    page.Send(ev);
}

PagePtr FindPage(uint64_t) { return nullptr; }
void SendToAllPages(const nlohmann::json&) {}

WebServer::WebServer(ServerOptions options, std::vector<Feature*> features)
    : impl_(std::make_unique<Impl>(Impl{std::move(options), std::move(features)})) {}
WebServer::~WebServer() { Stop(); }
bool WebServer::Start(std::string* error) {
    *error = "not yet served";
    return false;
}
uint16_t WebServer::port() const { return impl_->options.port; }
void WebServer::Stop() {}

}  // namespace qv::web
