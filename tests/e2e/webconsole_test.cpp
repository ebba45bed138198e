// End-to-end test of the web console in a real browser: the agent runs as
// an interactive service of the prefix on an Xvfb screen (the test runs
// under `wine.sh xvfb 24`), colorwin.exe shows known colours, webconsole
// serves its page on loopback and a headless Chromium (tests/web/cdp.py)
// is the operator.
//
// One run, many rules: the page needs the token and the WebSocket a page of
// the console's own origin; the live canvas read back from the page is the
// console's own snapshot, with colorwin's stripes where they are; a click
// in the canvas shown at half size moves the remote pointer to the scaled
// spot; typed keys reach colorwin; the consent prompt's Yes and No show up
// in the page; a file of the remote drive downloaded through the page is
// byte for byte the file, and so is a file uploaded through it. The browser's screenshots of each phase are kept
// in build/artifacts/webconsole/.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "agent/rc_wire.h"
#include "tests/e2e/agent_service.h"

namespace {

using namespace qv;
using namespace std::chrono_literals;
using nlohmann::json;

// colorwin's place, in screen pixels, and its stripes' colours.
constexpr int kWinX = e2e::kColorWinX, kWinY = e2e::kColorWinY;
constexpr auto& kStripes = e2e::kColorWinStripes;
constexpr char kRemoteName[] = "WEBTEST.BIN";  // in the root of the fixture drive D:

std::string Dir() { return e2e::DriveDir('C'); }
std::string WindowLog() { return e2e::ReadFile(Dir() + "/colorwin.log"); }

// The headless browser: cdp.py's command server, one JSON command per line
// on its standard input, one JSON answer per line on its standard output.
class Browser {
public:
    struct Answer {
        bool ok = false;
        json value;
        std::string error;
    };

    bool Start(std::string* err) {
        int in[2], out[2];
        if (pipe(in) || pipe(out)) return false;
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            dup2(in[0], 0);
            dup2(out[1], 1);
            for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
            execl("/usr/bin/python3", "python3", QV_CDP_DRIVER, "serve", static_cast<char*>(nullptr));
            _exit(127);
        }
        setpgid(pid_, pid_);
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
        const Answer a = ReadAnswer(60000);
        if (!a.ok) *err = a.error;
        return a.ok;
    }

    ~Browser() {
        if (pid_ <= 0) return;
        close(to_);  // the driver closes the browser at the end of its input
        close(from_);
        for (int i = 0; i < 100 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) std::this_thread::sleep_for(100ms);
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, WNOHANG);
    }

    Answer Do(json cmd, int timeout_ms = 60000) {
        const std::string line = cmd.dump() + "\n";
        if (write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return {false, {}, "no driver"};
        return ReadAnswer(timeout_ms);
    }
    // The value of a JavaScript expression; a failure is the test's.
    json Eval(const std::string& expr) {
        Answer a = Do({{"cmd", "eval"}, {"expr", expr}});
        EXPECT_TRUE(a.ok) << expr << ": " << a.error;
        return a.value;
    }
    // Waits for a JavaScript condition; false (and a failure of the test) on time-out.
    bool Wait(const std::string& expr, double seconds = 20) {
        Answer a = Do({{"cmd", "wait"}, {"expr", expr}, {"timeout", seconds}}, static_cast<int>(seconds * 1000) + 30000);
        EXPECT_TRUE(a.ok) << a.error << "\npage console: " << Do({{"cmd", "console"}}).value.dump();
        return a.ok;
    }
    void Click(double x, double y) { EXPECT_TRUE(Do({{"cmd", "click"}, {"x", x}, {"y", y}}).ok); }
    void Key(const std::string& key, const std::string& code, int vk, const std::string& text) {
        EXPECT_TRUE(Do({{"cmd", "key"}, {"key", key}, {"code", code}, {"vk", vk}, {"text", text}}).ok);
    }
    void Shot(const std::string& name) {
        const std::string path = std::string(QV_ARTIFACTS_DIR) + "/" + name + ".png";
        EXPECT_TRUE(Do({{"cmd", "screenshot"}, {"path", path}}).ok) << path;
    }

private:
    Answer ReadAnswer(int timeout_ms) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        std::size_t nl;
        while ((nl = buf_.find('\n')) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            pollfd p{from_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return {false, {}, "the browser driver did not answer in time"};
            char chunk[4096];
            const ssize_t n = read(from_, chunk, sizeof chunk);
            if (n <= 0) return {false, {}, "the browser driver ended"};
            buf_.append(chunk, static_cast<std::size_t>(n));
        }
        const json j = json::parse(buf_.substr(0, nl), nullptr, false);
        buf_.erase(0, nl + 1);
        if (j.is_discarded() || !j.is_object()) return {false, {}, "unreadable answer"};
        return {j.value("ok", false), j.contains("value") ? j["value"] : json(), j.value("error", "")};
    }
    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
    std::string buf_;
};

// Helpers the test puts into the page: the canvas compared with the
// console's snapshot, and a pixel of the canvas.
constexpr char kPageHelpers[] = R"js(
window.__t = {
  canvasPixels() {
    const c = document.getElementById('screen');
    const o = new OffscreenCanvas(c.width, c.height), g = o.getContext('2d');
    g.drawImage(c, 0, 0);
    return g.getImageData(0, 0, c.width, c.height).data;
  },
  pixel(x, y) {
    const c = document.getElementById('screen'), d = this.canvasPixels(), i = (y * c.width + x) * 4;
    return [d[i], d[i + 1], d[i + 2]];
  },
  async compare(address) {
    const c = document.getElementById('screen');
    const r = await fetch('/api/snapshot?address=' + encodeURIComponent(address), {cache: 'no-store'});
    if (!r.ok) return {error: 'snapshot: HTTP ' + r.status};
    const bmp = await createImageBitmap(await r.blob(), {colorSpaceConversion: 'none', premultiplyAlpha: 'none'});
    if (bmp.width !== c.width || bmp.height !== c.height)
      return {error: `snapshot ${bmp.width}x${bmp.height}, canvas ${c.width}x${c.height}`};
    const o = new OffscreenCanvas(bmp.width, bmp.height), g = o.getContext('2d');
    g.drawImage(bmp, 0, 0);
    const a = g.getImageData(0, 0, bmp.width, bmp.height).data, b = this.canvasPixels();
    let differ = 0, first = '';
    for (let i = 0; i < a.length; i += 4) {
      if (a[i] === b[i] && a[i + 1] === b[i + 1] && a[i + 2] === b[i + 2]) continue;
      if (!differ++) first = `(${(i / 4) % c.width},${Math.floor(i / 4 / c.width)}) snapshot ${a[i]}/${a[i + 1]}/` +
                             `${a[i + 2]} canvas ${b[i]}/${b[i + 1]}/${b[i + 2]}`;
    }
    return {differ, first, width: c.width, height: c.height};
  },
};
true)js";

std::string Quote(const std::string& s) { return json(s).dump(); }
std::string Sel(const std::string& css) { return "document.querySelector(" + Quote(css) + ")"; }
std::string TextOf(const std::string& css) { return "(" + Sel(css) + "?.textContent ?? '').trim()"; }

class WebConsole : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(std::getenv("DISPLAY") && std::getenv("QV_XVFB_FBDIR")) << "run me under wine.sh xvfb 24";
        e2e::MakeDirs(QV_ARTIFACTS_DIR);
        std::string problem;
        // Also sets LINKCORE_PORT_OFFSET here, for the console.
        ASSERT_NE(e2e::StartInteractiveAgent(&problem), 0u) << problem;

        std::remove((Dir() + "/colorwin.log").c_str());
        e2e::RunOptions o;
        o.env = {std::string("DISPLAY=") + std::getenv("DISPLAY")};
        window_ = e2e::StartWine("P:\\colorwin.exe",
                                 {"--log", "C:\\colorwin.log", "--at", std::to_string(kWinX), std::to_string(kWinY)}, o)
                      .release();
        ASSERT_TRUE(e2e::WaitFor([] { return WindowLog().find("ready") != std::string::npos; }, 20s));

        // The console on a free loopback port; its output in a file, for its address and token.
        log_ = std::string(QV_ARTIFACTS_DIR) + "/webconsole.log";
        std::remove(log_.c_str());
        console_ = e2e::Spawn({"sh", "-c", "exec '" + e2e::HostBinDir() +
                                               "/webconsole' --listen 127.0.0.1:0 --timeout 5000 >'" + log_ + "' 2>&1"})
                       .release();
        const std::string mark = "webconsole: open ";
        auto printed = [&] {  // the whole line
            const std::string out = e2e::ReadFile(log_);
            const std::size_t at = out.find(mark);
            return at != std::string::npos && out.find('\n', at) != std::string::npos;
        };
        ASSERT_TRUE(e2e::WaitFor([&] { return printed() || !console_->Running(); }, 20s) && printed())
            << e2e::ReadFile(log_);
        const std::string out = e2e::ReadFile(log_);
        const std::size_t at = out.find(mark) + mark.size();
        url_ = out.substr(at, out.find('\n', at) - at);  // http://127.0.0.1:PORT/?token=TOKEN
        base_ = url_.substr(0, url_.find("?token="));
        ASSERT_EQ(base_.rfind("http://127.0.0.1:", 0), 0u) << url_;
    }
    static void TearDownTestSuite() {
        delete console_;
        delete window_;
        for (const std::string name : {kRemoteName, "UPLOAD.BIN"}) std::remove((e2e::DriveDir('D') + "/" + name).c_str());
        e2e::RemoveAgent();
    }
    static e2e::Process* window_;
    static e2e::Process* console_;
    static std::string log_, url_, base_;
};
e2e::Process* WebConsole::window_ = nullptr;
e2e::Process* WebConsole::console_ = nullptr;
std::string WebConsole::log_, WebConsole::url_, WebConsole::base_;

TEST_F(WebConsole, OperatorDrivesTheMachineFromTheBrowser) {
    std::cout << "browser screenshots: " << QV_ARTIFACTS_DIR << "/" << std::endl;
    Browser b;
    std::string err;
    ASSERT_TRUE(b.Start(&err)) << err;
    const std::string origin = base_.substr(0, base_.size() - 1), ws = "ws" + base_.substr(4) + "ws";
    const std::string port = origin.substr(origin.rfind(':') + 1), token = url_.substr(url_.find("?token=") + 7);

    // Access: nothing without the token; the WebSocket only from the console's own origin and host.
    ASSERT_TRUE(b.Do({{"cmd", "navigate"}, {"url", base_}}).ok);
    EXPECT_EQ(b.Eval("fetch(location.href).then(r => r.status)"), 403);
    EXPECT_EQ(b.Eval("fetch('/api/snapshot?address=127.0.0.1').then(r => r.status)"), 403);
    b.Shot("01-no-token");
    for (const auto& [o, host, want] : std::vector<std::tuple<std::string, std::string, int>>{
             {"http://evil.example", "", 403},
             {origin, "evil.example:" + port, 403},  // a rebound name
             {origin, "", 101}}) {
        json cmd = {{"cmd", "ws_handshake"}, {"url", ws + "?token=" + token}, {"origin", o}};
        if (!host.empty()) cmd["host"] = host;
        EXPECT_EQ(b.Do(cmd).value, want) << o << " " << host;
    }
    EXPECT_EQ(b.Do({{"cmd", "ws_handshake"}, {"url", ws}, {"origin", origin}}).value, 403) << "no token";

    ASSERT_TRUE(b.Do({{"cmd", "navigate"}, {"url", url_}}).ok);
    ASSERT_TRUE(b.Wait("window.qv && document.getElementById('connection')?.dataset.state === 'open'"));
    ASSERT_EQ(b.Eval(kPageHelpers), true);
    EXPECT_EQ(b.Eval("fetch('/style.css').then(r => r.status)"), 200) << "the cookie carries the token";

    // The machine, added in the page and selected.
    b.Eval("document.getElementById('machine-address').value = '127.0.0.1'; "
           "document.getElementById('machine-add').click(); true");
    const std::string row = "tr[data-address=\"127.0.0.1\"]";
    ASSERT_TRUE(b.Wait(Sel(row) + " !== null"));
    b.Eval(Sel(row + " button.refresh") + "?.click(); true");
    EXPECT_TRUE(b.Wait(TextOf(row + " .transport") + " === 'TCP/IP'", 30));
    b.Eval(Sel(row) + ".click(); true");
    EXPECT_TRUE(b.Wait(TextOf("#selected-address") + " === '127.0.0.1'"));
    b.Shot("02-machine");

    // The live view at 8 bits: the canvas is the console's snapshot, colorwin's stripes in place.
    b.Eval("document.getElementById('view-bits').value = '8'; document.getElementById('view-start').click(); true");
    ASSERT_TRUE(b.Wait("document.getElementById('view-status').dataset.state === 'live'", 60));
    ASSERT_TRUE(b.Wait("document.getElementById('screen').width === 1024"));
    if (!b.Wait("__t.compare('127.0.0.1').then(r => r.differ === 0)", 30))
        ADD_FAILURE() << b.Eval("__t.compare('127.0.0.1')").dump();
    for (int i = 0; i < 8; ++i) {
        const json px = b.Eval("__t.pixel(" + std::to_string(kWinX + 20 * i + 10) + ", " + std::to_string(kWinY + 10) + ")");
        EXPECT_EQ(px, json({kStripes[i][0], kStripes[i][1], kStripes[i][2]})) << "stripe " << i;
    }
    b.Shot("03-view");

    // A click in the canvas shown at half size lands on the remote screen at twice its offset.
    // (Pinned to the viewport's corner, so that its place is whole pixels.)
    const json box = b.Eval(
        "(() => { const c = document.getElementById('screen'); "
        "Object.assign(c.style, {position: 'fixed', left: '0', top: '0', margin: '0', border: '0', padding: '0', "
        "zIndex: 10, width: c.width / 2 + 'px', height: c.height / 2 + 'px'}); "
        "const r = c.getBoundingClientRect(); return [r.left, r.top, c.clientWidth / c.width]; })()");
    ASSERT_TRUE(box.is_array() && box.size() == 3) << box.dump();
    EXPECT_EQ(box[2].get<double>(), 0.5);
    const int mx = kWinX + 38, my = kWinY + 82;
    b.Click(box[0].get<double>() + mx / 2, box[1].get<double>() + my / 2);
    const std::string at = std::to_string(mx) + " " + std::to_string(my);
    EXPECT_TRUE(e2e::WaitFor([&] { return WindowLog().find("mouse " + at) != std::string::npos; }, 10s)) << WindowLog();
    EXPECT_TRUE(b.Wait(TextOf("#view-cursor") + " === '" + std::to_string(mx) + ", " + std::to_string(my) + "'"));

    // Keys typed into the focused canvas reach colorwin.
    b.Key("o", "KeyO", 'O', "o");
    b.Key("k", "KeyK", 'K', "k");
    b.Key("Enter", "Enter", 13, "\r");
    EXPECT_TRUE(e2e::WaitFor([] { return WindowLog().find("char 0x6f\nchar 0x6b\nchar 0x0d\n") != std::string::npos; }, 10s))
        << WindowLog();
    b.Shot("04-input");
    b.Eval("document.getElementById('screen').removeAttribute('style'); true");

    // Consent: the user at the machine answers Yes, then No.
    b.Eval("document.getElementById('consent-requester').value = 'Admin'; "
           "document.getElementById('consent-operation').value = 'transfer'; true");
    for (const std::string answer : {"yes", "no"}) {
        b.Eval("document.getElementById('consent-ask').click(); true");
        EXPECT_TRUE(b.Wait("document.getElementById('consent-status').dataset.state === 'asking'"));
        const e2e::RunResult r = e2e::WineTool("P:\\boxpress.exe", {"--text", "Will you allow Admin to transfer files?",
                                                                    "--wait", "20", answer});
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_TRUE(b.Wait(TextOf("#consent-status") + " === '" + (answer == "yes" ? "Yes" : "No") + "'"));
        b.Shot("05-consent-" + answer);
    }

    // Files: the slave started from the page; a file of the fixture drive downloaded through it.
    std::string data(70001, '\0');
    std::mt19937 rnd(16);
    for (char& c : data) c = static_cast<char>(rnd());
    ASSERT_TRUE(e2e::WriteFile(e2e::DriveDir('D') + "/" + kRemoteName, data));
    const std::string downloads = std::string(QV_ARTIFACTS_DIR) + "/downloads";
    e2e::RemoveTree(downloads);
    ASSERT_TRUE(b.Do({{"cmd", "downloads"}, {"folder", downloads}}).ok);
    b.Eval("document.getElementById('files-start').click(); true");
    const std::string drive_d = "[...document.querySelectorAll('#files-drives button')].find(e => e.textContent.trim() === 'D:')";
    ASSERT_TRUE(b.Wait(drive_d + " !== undefined && document.getElementById('files-status').dataset.state === 'done'",
                       60))
        << e2e::AgentLog();
    b.Eval(drive_d + ".click(); true");
    EXPECT_TRUE(b.Wait(TextOf("#files-dir") + " === 'D:\\\\'"));
    const std::string file_row = "tr[data-name=\"" + std::string(kRemoteName) + "\"]";
    ASSERT_TRUE(b.Wait(Sel(file_row + " button.download") + " !== null", 30));
    b.Shot("06-files");
    b.Eval(Sel(file_row + " button.download") + ".click(); true");
    const Browser::Answer got = b.Do({{"cmd", "wait_download"}, {"name", kRemoteName}, {"timeout", 60}}, 90000);
    ASSERT_TRUE(got.ok) << got.error;
    EXPECT_TRUE(e2e::ReadFile(got.value.get<std::string>()) == data) << "the downloaded file differs";
    EXPECT_TRUE(b.Wait("document.getElementById('files-status').dataset.state === 'done'"));
    b.Shot("07-downloaded");

    // An upload into the folder shown: the remote file is the local one, the progress full.
    const std::string local = downloads + "/UPLOAD.BIN", remote = e2e::DriveDir('D') + "/UPLOAD.BIN";
    std::remove(remote.c_str());
    ASSERT_TRUE(e2e::WriteFile(local, data.substr(1000) + data.substr(0, 1000)));
    ASSERT_TRUE(b.Do({{"cmd", "choose_file"}, {"selector", "#files-upload"}, {"path", local}}).ok);
    EXPECT_TRUE(b.Wait(Sel("#files-list tr[data-name=\"UPLOAD.BIN\"]") + " !== null", 60));
    EXPECT_TRUE(e2e::ReadFile(remote) == e2e::ReadFile(local)) << "the uploaded file differs";
    EXPECT_EQ(b.Eval("[document.getElementById('files-status').dataset.state, "
                     "document.getElementById('files-progress').value]"),
              json({"done", data.size()}));
    b.Shot("08-uploaded");
    b.Eval("document.getElementById('files-stop').click(); true");
    EXPECT_TRUE(b.Wait("document.getElementById('files-status').dataset.state === 'idle'"));

    b.Eval("document.getElementById('view-stop').click(); true");
    EXPECT_TRUE(b.Wait("document.getElementById('view-status').dataset.state === 'stopped'"));
    const json errors = b.Eval("[...document.querySelectorAll('#messages .message.error')].map(e => e.textContent)");
    EXPECT_EQ(errors, json::array()) << "the page reported errors";

    // Told to stop while a page is open, the console ends cleanly (no sanitizer report).
    const e2e::RunResult r = console_->Stop();
    EXPECT_EQ(r.exit_code, 0) << e2e::ReadFile(log_);
}

}  // namespace
