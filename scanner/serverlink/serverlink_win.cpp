// The main flow's entry points to the inventory server link (serverlink.h):
// one link per run, over the WinSock platform (winsock_platform_win.cpp).
#include <cstdlib>
#include <memory>

#include "scanner/driver/settings.h"
#include "scanner/records/inventory.h"
#include "scanner/serverlink/serverlink.h"
#include "scanner/serverlink/winsock_platform.h"
#include "scanner/software/configfiles.h"

namespace qv::serverlink {
namespace {

// The run's link. Never destroyed: the program may exit while the receiving
// thread still runs (a quiet IPX link is never closed), and that thread must
// not find its link gone.
struct RunLink {
    std::unique_ptr<LinkPlatform> platform;
    std::unique_ptr<LinkCore> core;
    bool ip = false;
};

RunLink& Run() {
    static RunLink* link = new RunLink;
    return *link;
}

}  // namespace
}  // namespace qv::serverlink

namespace qv::scanner {

using namespace qv::serverlink;

void ServerLinkOpen(const ServerLinkTextFn& text) {
    const RunSettings& s = Settings();
    if (s.server_name.empty() || s.transport == Transport::None) return;
    RunLink& run = Run();
    run.platform = MakeWinSockPlatform(text, s.program_name);
    LinkConfig cfg;
    cfg.server_name = s.server_name;
    cfg.retransmit_seconds = s.retransmit_seconds;
    cfg.reply_rounds = s.reply_rounds;
    cfg.quiet = s.quiet;
    run.core = std::make_unique<LinkCore>(*run.platform, cfg);
    run.ip = s.transport == Transport::Ip;
    int result = run.ip ? run.core->OpenIp(s.server_address) : run.core->OpenIpx(s.server_address);
    if (run.core->ReportOpen(result)) std::exit(1);
    SetInventoryPacketSink(run.core.get());
}

void ServerExchange() {
    RunState& st = State();
    RunLink& run = Run();
    if (Settings().server_name.empty() || !run.core) {
        st.expected_file_count = 1;
        return;
    }
    run.core->RequestDeviceId(st.device_id);
    ReplyOutcome r = run.core->ReceiveServerReply(ConfigFiles());
    if (r.version_mismatch) std::exit(1);
    if (r.assigned) st.device_id = r.device_id;
    st.expected_file_count = r.count;
}

bool ServerLinkFinish() {
    RunLink& run = Run();
    if (!run.core) return true;
    const bool delivered = run.core->WaitForAllAcks() == 0;
    // The IPX link is closed only when its open was reported as a success
    // (not in quiet mode); the IP link always.
    if (run.core->ipx_in_use() || run.ip) run.core->Close();
    return delivered;
}

bool ServerLinkActive() { return Run().core != nullptr; }
bool ServerLinkIpxInUse() { return Run().core && Run().core->ipx_in_use(); }

const std::string& ServerLinkLocalIpxAddress() {
    static const std::string none;
    return Run().core ? Run().core->local_ipx_address() : none;
}

}  // namespace qv::scanner
