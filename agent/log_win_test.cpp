// Wine tests of the agent's logs: the log file (capped, one rollover, whole
// lines) and the events as they reach the event log.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "agent/agent_win.h"
#include "rchostmsg.h"

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST(AgentLogFile, RollsOverOnceAtTheCapKeepingWholeLines) {
    char tmp[MAX_PATH];
    ASSERT_GT(::GetTempPathA(sizeof tmp, tmp), 0u);
    const std::string dir = std::string(tmp) + "rchost_log_test";
    ::CreateDirectoryA(dir.c_str(), nullptr);
    const std::string log = dir + "\\rchost32.log", old = log + ".old";
    ::DeleteFileA(log.c_str());
    ::DeleteFileA(old.c_str());

    qv::agent::OpenLogFile(dir);
    for (int i = 0; i < 5000; ++i) qv::agent::Log("line %05d %0232d", i, 0);  // ~1.2 MB in all
    qv::agent::CloseLogFile();

    const std::string now = Slurp(log), before = Slurp(old);
    constexpr std::size_t kCap = 1024 * 1024;
    EXPECT_LE(now.size(), kCap);
    EXPECT_LE(before.size(), kCap);
    EXPECT_GT(before.size(), kCap - 300);  // filled up to the cap before rolling over
    // Each file holds whole lines, and the newest is last.
    for (const std::string* f : {&now, &before}) {
        ASSERT_FALSE(f->empty());
        EXPECT_EQ(f->compare(0, 5, "line "), 0);
        EXPECT_EQ(f->substr(f->size() - 2), "\r\n");
    }
    EXPECT_NE(now.find("line 04999 "), std::string::npos);
    // The older file continues where the previous one was dropped; together
    // they end with every line written since.
    const std::size_t last_old = std::stoul(before.substr(before.rfind("line ") + 5, 5));
    EXPECT_EQ(std::stoul(now.substr(5, 5)), last_old + 1);
    ::DeleteFileA(log.c_str());
    ::DeleteFileA(old.c_str());
    ::RemoveDirectoryA(dir.c_str());
}

TEST(AgentLogFile, ALongLineIsCutNotOverrun) {
    char tmp[MAX_PATH];
    ASSERT_GT(::GetTempPathA(sizeof tmp, tmp), 0u);
    const std::string dir = std::string(tmp) + "rchost_log_test2";
    ::CreateDirectoryA(dir.c_str(), nullptr);
    const std::string log = dir + "\\rchost32.log";
    ::DeleteFileA(log.c_str());
    qv::agent::OpenLogFile(dir);
    const std::string long_text(400, 'x');
    qv::agent::Log("%s", long_text.c_str());
    qv::agent::CloseLogFile();
    EXPECT_EQ(Slurp(log), std::string(255, 'x') + "\r\n");
    ::DeleteFileA(log.c_str());
    ::RemoveDirectoryA(dir.c_str());
}

// Wine's event log keeps nothing, so the events are recorded at the call.
struct Reported {
    WORD type;
    DWORD id;
    std::string first;
};
std::vector<Reported> g_reported;
BOOL WINAPI RecordEvent(HANDLE, WORD type, WORD, DWORD id, PSID, WORD count, DWORD, LPCSTR* strings, LPVOID) {
    g_reported.push_back({type, id, count ? strings[0] : ""});
    return TRUE;
}

TEST(AgentEvents, UseTheMessageFilesIds) {
    qv::agent::g_report_event = RecordEvent;
    qv::agent::Events().Audit(qv::agent::kAuditReboot, true, nullptr);
    qv::agent::Events().ServiceMessage("Unable to load RCHOST");
    qv::agent::g_report_event = ::ReportEventA;
    ASSERT_EQ(g_reported.size(), 2u);
    EXPECT_EQ(g_reported[0].type, EVENTLOG_AUDIT_SUCCESS);
    EXPECT_EQ(g_reported[0].id, static_cast<DWORD>(RCHOST_AUDIT_REBOOT));
    // The service message has its own ID, shown as event 1 without meeting audit event 1.
    EXPECT_EQ(g_reported[1].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(g_reported[1].id, static_cast<DWORD>(RCHOST_MSG_SERVICE));
    EXPECT_EQ(g_reported[1].first, "Unable to load RCHOST");
}

}  // namespace
