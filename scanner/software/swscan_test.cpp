// The software scan driver: passes, drives, learning checks, the progress
// display byte for byte, and the "Number of Files" item.
#include "scanner/software/swscan.h"

#include <gtest/gtest.h>

#include "scanner/software/test_support.h"

namespace qv::scanner {
namespace {

using test::Env;
using test::FakePlatform;
using test::FakeTree;
using test::TempDir;

struct ScanRun {
    Env e;
    TempDir dir;
    FakeTree tree;
    FakePlatform platform;
    SoftwareScanParams params;
    std::size_t limit = SIZE_MAX;
    int captures = 0;
    ScanRun(const std::string& apps = "<I>,A.EXE,1,App A,1.0\r\n") {
        e.profile = {{"Version", "2.0"}, {"Mode", "Listed"}};
        params.database_path = dir.Write("QVAPPL.INI", "[Applications]\r\n" + apps);
    }
    int Go() {
        ApplicationsDatabase::Options o;
        o.profile = e.Reader();
        o.memory_limit = limit;
        ApplicationsDatabase db(e.env, o);
        return RunSoftwareScan(e.env, params, db, tree, platform, [&] { ++captures; });
    }
};

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST(SoftwareScan, DrivesRootAndNumberOfFiles) {
    ScanRun r;
    r.platform.fixed = "CD";
    r.params.extra_drive = 'C';
    r.tree.Add("C:\\", "A.EXE", false, 1);
    r.tree.Add("D:\\", "B.TXT", false, 1);
    EXPECT_EQ(r.Go(), 0);
    EXPECT_EQ(r.tree.opened, (std::vector<std::string>{"C:\\*.*", "D:\\*.*", "C:\\*.*"}));
    EXPECT_EQ(r.e.output.items, (std::vector<std::string>{"App A =|1.0", "App A =|1.0", "Number of Files = |     3"}));
    EXPECT_EQ(r.captures, 1);
    EXPECT_EQ(r.e.console.out, "");  // not verbose: no progress display

    // The count is not cut to 16 bits.
    ScanRun many;
    many.platform.fixed = "C";
    for (int i = 0; i < 100000; ++i) many.tree.Add("C:\\", "F" + std::to_string(i) + ".TXT", false, 1);
    EXPECT_EQ(many.Go(), 0);
    EXPECT_EQ(many.e.output.items, std::vector<std::string>{"Number of Files = |100000"});

    ScanRun root;
    root.params.scan_root = "D:\\SUB\\";
    root.tree.Add("D:\\SUB\\", "A.EXE", false, 1);
    EXPECT_EQ(root.Go(), 0);
    EXPECT_EQ(root.tree.opened, (std::vector<std::string>{"D:\\SUB\\*.*"}));
}

TEST(SoftwareScan, SpinnerAdvancesEveryTenthDirectory) {
    ScanRun r;
    r.e.env.verbose = true;
    for (int i = 0; i < 24; ++i) r.tree.Add("C:\\", "D" + std::to_string(i), true, 0);  // 25 directories
    EXPECT_EQ(r.Go(), 0);
    EXPECT_EQ(r.e.console.out, "Scanning Software:  ...|\b/\b-\bDone\n");
}

TEST(SoftwareScan, BarWithMarks) {
    struct Case { std::uint16_t expected; int files; std::string out; };
    const std::string start = "Scanning Software:  " + std::string(50, '.') + std::string(50, '\b');
    const Case cases[] = {
        {120, 10, start + ">>>>>" + std::string(45, '>') + "\n"},   // one mark per two entries
        {30, 60, start + std::string(49, '>') + ">" + "\n"},          // per mark 0: every entry, at most 49
        {120, 0, start + std::string(50, '>') + "\n"},
    };
    for (const Case& c : cases) {
        ScanRun r;
        r.e.env.verbose = true;
        r.params.expected_files = c.expected;
        r.params.files_per_mark = static_cast<std::uint16_t>(c.expected / 50);
        for (int i = 0; i < c.files; ++i) r.tree.Add("C:\\", "F" + std::to_string(i), false, 1);
        EXPECT_EQ(r.Go(), 0);
        EXPECT_EQ(r.e.console.out, c.out) << c.expected << " " << c.files;
    }
}

TEST(SoftwareScan, PortionsWalkOncePerPortion) {
    std::string apps;
    for (int i = 0; i < 3000; ++i) apps += "<I>,P" + std::to_string(i) + ".EXE,1,Program number " + std::to_string(i) + ",1\r\n";
    apps += "<I>,A.EXE,1,App A,1.0\r\n";
    ScanRun r(apps);
    r.limit = 40000;
    r.e.env.verbose = true;
    r.params.expected_files = 100;
    r.params.files_per_mark = 2;
    r.tree.Add("C:\\", "A.EXE", false, 1);
    EXPECT_EQ(r.Go(), 0);
    std::size_t passes = r.tree.opened.size();
    EXPECT_GE(passes, 3u);
    EXPECT_EQ(r.captures, 1);
    EXPECT_EQ(r.e.output.items, (std::vector<std::string>{"App A =|1.0", "Number of Files = |     1"}));
    std::string bar = std::string(50, '.') + std::string(50, '\b');
    std::string want = "Scanning Software:  ";
    for (std::size_t p = 0; p < passes; ++p)
        want += bar + std::string(50, '>') + (p + 1 < passes ? std::string(50, '\b') : std::string("\n"));
    EXPECT_EQ(r.e.console.out, want);
}

TEST(SoftwareScan, LearningChecks) {
    // Learning mode adds no "Number of Files" item.
    ScanRun quiet_learn;
    quiet_learn.params.learning_value = (quiet_learn.dir.path / "LEARN.TXT").string();
    quiet_learn.tree.Add("C:\\", "NEW.EXE", false, 9);
    EXPECT_EQ(quiet_learn.Go(), 0);
    EXPECT_TRUE(quiet_learn.e.output.items.empty());
    EXPECT_EQ(TempDir::Read(quiet_learn.params.learning_value), "<I>,NEW.EXE,9,<Description>,<Version>\n");

    // The learning file cannot be created: 1.
    ScanRun bad;
    bad.params.learning_value = "/nonexistent-dir/LEARN.TXT";
    EXPECT_EQ(bad.Go(), 1);
    EXPECT_EQ(bad.e.console.err, "/nonexistent-dir/LEARN.TXT: No such file or directory\n");

    // A database in portions: 50 with string 20.
    ScanRun big(Repeat("<I>,SOME.EXE,1,Program,1\r\n", 3000));
    big.limit = 40000;
    big.params.learning_value = ":";
    EXPECT_EQ(big.Go(), 50);
    EXPECT_EQ(big.e.console.err, "Insufficient memory for query with this size applications file\n");
    EXPECT_TRUE(big.tree.opened.empty());

    // The database loader's results are passed up.
    ScanRun version;
    version.e.profile["Version"] = "3.0";
    EXPECT_EQ(version.Go(), 1);
}

}  // namespace
}  // namespace qv::scanner
