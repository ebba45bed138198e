// Wine test of the agent's log file: capped, one rollover, whole lines.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

#include "agent/agent_win.h"

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

}  // namespace
