// Learning mode: learning file lines, the prompts, and the database rewrite.
#include "scanner/software/learn.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "scanner/software/test_support.h"

namespace qv::scanner {
namespace {

using test::Env;
using test::FakePlatform;
using test::TempDir;

const std::string kDb =
    "[Corvane Inventory]\r\nVersion=2.0\r\n"
    "[Applications]\r\n<I>,WORD.EXE,1000,Word,6.0\r\n"
    "[Ignore]\r\n<I>,SKIP.EXE\r\n";

DirEntry Entry(const char* name, std::uint32_t size) {
    DirEntry e;
    std::snprintf(e.name, sizeof e.name, "%s", name);
    e.size = size;
    return e;
}

std::size_t FilesIn(const std::filesystem::path& dir) {
    std::size_t n = 0;
    for (auto& f : std::filesystem::directory_iterator(dir)) n += f.is_regular_file();
    return n;
}

TEST(LearnFile, TemplateLines) {
    Env e;
    FakePlatform platform;
    TempDir dir;
    std::string path = dir.Write("LEARN.TXT", "old\n");
    std::FILE* f = std::fopen(path.c_str(), "a");
    Learner learner(e.env, platform, path, "unused", f);
    ApplicationEntry word;
    word.description = "Word";
    EXPECT_EQ(learner.HandleUnknownFile(Entry("ZIP.EXE", 1234), "C:\\UTIL\\", nullptr), 0);
    EXPECT_EQ(learner.HandleUnknownFile(Entry("WORD.EXE", 77), "C:\\", &word), 0);
    std::fclose(f);
    EXPECT_EQ(TempDir::Read(path),
              "old\n<I>,ZIP.EXE,1234,<Description>,<Version>\n<I>,WORD.EXE,77,Word,<Version>\n");
}

struct Interactive {
    Env e;
    FakePlatform platform;
    TempDir dir;
    std::string db;
    std::unique_ptr<Learner> learner;
    explicit Interactive(const std::string& text = kDb) {
        db = dir.Write("QVAPPL.INI", text);
        learner = std::make_unique<Learner>(e.env, platform, ":", db, nullptr);
    }
};

TEST(LearnInteractive, ChoicesAndRubOut) {
    Interactive t;
    t.e.console.keys = {'x', '1'};
    t.e.console.lines = {"Zip Utility", "2.0"};
    EXPECT_EQ(t.learner->HandleUnknownFile(Entry("ZIP.EXE", 1234), "C:\\UTIL\\", nullptr), 0);
    EXPECT_EQ(t.e.console.out,
              "\n\n\nFile ZIP.EXE in Directory C:\\UTIL\\; size 1234 bytes\n"
              "Would you like to:    1. Add to [Applications] section\n"
              "                      2. Add to [Ignore] section\n"
              "                      3. Ignore this file\n"
              "              Choice: x\a\b \b1"
              "\n\nEnter Description of Application: Zip Utility\n"
              "Enter Software Version: 2.0\n");
    EXPECT_EQ(TempDir::Read(t.db),
              "[Corvane Inventory]\r\nVersion=2.0\r\n[Applications]\r\n<I>,ZIP.EXE,1234,Zip Utility,2.0\r\n"
              "<I>,WORD.EXE,1000,Word,6.0\r\n[Ignore]\r\n<I>,SKIP.EXE\r\n");

    t.e.console.keys = {'2'};
    EXPECT_EQ(t.learner->HandleUnknownFile(Entry("TMP.EXE", 1), "C:\\", nullptr), 0);
    EXPECT_NE(TempDir::Read(t.db).find("[Ignore]\r\n<I>,TMP.EXE\r\n<I>,SKIP.EXE\r\n"), std::string::npos);

    std::string before = TempDir::Read(t.db);
    t.e.console.keys = {'3'};
    EXPECT_EQ(t.learner->HandleUnknownFile(Entry("NO.EXE", 1), "C:\\", nullptr), 0);
    t.e.console.keys = {};  // end of input: nothing added
    EXPECT_EQ(t.learner->HandleUnknownFile(Entry("NO.EXE", 1), "C:\\", nullptr), 0);
    EXPECT_EQ(TempDir::Read(t.db), before);
    EXPECT_EQ(FilesIn(t.dir.path), 1u);  // no temporary file left
}

TEST(LearnInteractive, KnownProgramAsksOnlyForAVersion) {
    Interactive t;
    ApplicationEntry word;
    word.description = "Word";
    t.e.console.lines = {""};
    EXPECT_EQ(t.learner->HandleUnknownFile(Entry("WORD.EXE", 5), "C:\\", &word), 0);
    EXPECT_EQ(TempDir::Read(t.db), kDb);  // Enter adds nothing
    EXPECT_NE(t.e.console.out.find("  Unrecognized Version of Software 'Word'\n"
                                   "  Enter Software Version (or ENTER to Ignore): "),
              std::string::npos);
    t.e.console.lines = {std::string(100, 'v')};  // cut to 79 characters
    EXPECT_EQ(t.learner->HandleUnknownFile(Entry("WORD.EXE", 5), "C:\\", &word), 0);
    EXPECT_NE(TempDir::Read(t.db).find("<I>,WORD.EXE,5,Word," + std::string(79, 'v') + "\r\n<I>,WORD"),
              std::string::npos);
}

TEST(LearnRewrite, BinaryCopyKeepsEveryByteAndEndsLinesWithCrLf) {
    Env e;
    FakePlatform platform;
    TempDir dir;
    std::string text = std::string("[Applications]\n<I>,A.EXE,1,A\x1a" "B,1\r\n") + "x\ry\n" +
                       std::string(300, 'L') + "\n[Ignore]\r\nlast";
    std::string db = dir.Write("QVAPPL.INI", text);
    ASSERT_EQ(AddApplicationLine(e.env, platform, "NEW.EXE", -1, "", "", db), 0);
    EXPECT_EQ(TempDir::Read(db), std::string("[Applications]\r\n<I>,NEW.EXE,-1,,\r\n<I>,A.EXE,1,A\x1a" "B,1\r\n") +
                                     "x\ry\r\n" + std::string(300, 'L') + "\r\n[Ignore]\r\nlast");
}

TEST(LearnRewrite, FailuresLeaveTheDatabaseAsItWas) {
    Env e;
    FakePlatform platform;
    TempDir dir;
    // No [Ignore] header (and one that only looks like it): 30.
    std::string no_ignore = "[Applications]\r\n<I>,A.EXE,1,A,1\r\n[Ignore] \r\n[ignore]\r\n";
    std::string db = dir.Write("QVAPPL.INI", no_ignore);
    EXPECT_EQ(AddIgnoreLine(e.env, platform, "X.EXE", db), 30);
    EXPECT_EQ(TempDir::Read(db), no_ignore);
    EXPECT_EQ(FilesIn(dir.path), 1u);
    EXPECT_EQ(e.console.err, "");

    // The database cannot be opened for update: 20 and the file error report.
    std::string missing = (dir.path / "NONE.INI").string();
    EXPECT_EQ(AddApplicationLine(e.env, platform, "X.EXE", 1, "d", "v", missing), 20);
    EXPECT_EQ(e.console.err, missing + ": No such file or directory\n");
    std::filesystem::create_directory(dir.path / "DIR.INI");  // a directory cannot be opened for update
    EXPECT_EQ(AddApplicationLine(e.env, platform, "X.EXE", 1, "d", "v", (dir.path / "DIR.INI").string()), 20);

    // The replacement fails: the original stays, the temporary file goes.
    platform.replace_fails = true;
    e.console.err.clear();
    EXPECT_EQ(AddApplicationLine(e.env, platform, "X.EXE", 1, "d", "v", db), 20);
    EXPECT_EQ(TempDir::Read(db), no_ignore);
    EXPECT_EQ(FilesIn(dir.path), 1u);
    EXPECT_NE(e.console.err, "");

    // The temporary file cannot be created (its directory is gone).
    platform.replace_fails = false;
    Env e2;
    EXPECT_EQ(AddApplicationLine(e2.env, platform, "X.EXE", 1, "d", "v", "/nonexistent-dir/QVAPPL.INI"), 20);
}

}  // namespace
}  // namespace qv::scanner
