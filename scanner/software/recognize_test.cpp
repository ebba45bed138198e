// Recognition by Mode, Duplicate, ignore list, time stamps, and the walk.
#include "scanner/software/recognize.h"

#include <gtest/gtest.h>

#include "scanner/software/test_support.h"
#include "scanner/software/walk.h"

namespace qv::scanner {
namespace {

using test::Env;
using test::FakeTree;
using test::TempDir;

// 100 ns ticks of a UTC date and time (a FILETIME).
std::uint64_t Ticks(int y, int mo, int d, int h, int mi, int s) {
    // Days from 1601-01-01 via days from 1970 (civil algorithm).
    y -= mo <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = static_cast<unsigned>(y - era * 400);
    unsigned doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    long long days = era * 146097 + doe - 719468;
    long long secs = days * 86400 + h * 3600 + mi * 60 + s + 11644473600ll;
    return static_cast<std::uint64_t>(secs) * 10000000ull;
}

struct Scan {
    Env e;
    TempDir dir;
    std::unique_ptr<ApplicationsDatabase> db;
    std::unique_ptr<Recognizer> rec;
    Scan(const std::string& mode, const std::string& apps, const std::string& duplicate = "On",
         UnknownFileHandler* learner = nullptr) {
        e.profile = {{"Version", "2.0"}, {"Mode", mode}, {"Duplicate", duplicate}};
        ApplicationsDatabase::Options o;
        o.profile = e.Reader();
        db = std::make_unique<ApplicationsDatabase>(e.env, o);
        std::string text = "[Applications]\r\n" + apps + "[Ignore]\r\n<I>,SKIP.EXE\r\n";
        EXPECT_EQ(db->LoadPortion(dir.Write("QVAPPL.INI", text)), 0);
        rec = std::make_unique<Recognizer>(e.env, *db, learner);
    }
    void File(const char* name, std::uint64_t size, const char* dir = "C:\\UTIL\\") {
        DirEntry entry;
        std::snprintf(entry.name, sizeof entry.name, "%s", name);
        entry.size = size;
        entry.write_time = Ticks(1998, 6, 5, 13, 5, 0);
        EXPECT_EQ(rec->RecognizeFile(entry, dir), 0);
    }
    std::string Items() const {
        std::string s;
        for (const auto& i : e.output.items) s += i + ";";
        return s;
    }
};

const char kApps[] =
    "<I>,WORD.EXE,1000,  Word Processor  ,6.0\r\n"
    "<P>,PAINT.EXE,500,Paint,3.1\r\n"
    "<F>,FILE.DLL,77,Library,1.2\r\n"
    "<X>,OTHER.EXE,10,Other,1\r\n";

TEST(Recognize, ModeTable) {
    struct Case { const char* file; std::uint64_t size; const char* listed; const char* all; const char* unlisted; };
    const Case cases[] = {
        {"ZIP.EXE", 1234, "", "C:\\UTIL\\ZIP.EXE =|1234;", "C:\\UTIL\\ZIP.EXE =|1234;"},
        {"ZIP.EXE", 3000000000u, "", "C:\\UTIL\\ZIP.EXE =|3000000000;", "C:\\UTIL\\ZIP.EXE =|3000000000;"},
        // 4 GB more than the listed size: the low 32 bits do not make a match.
        {"PAINT.EXE", (1ull << 32) + 500, "Paint =|Exists;", "Paint =|Exists;", ""},
        {"WORD.EXE", 1000, "Word Processor =|6.0;", "Word Processor =|6.0;", ""},
        {"WORD.EXE", 999, "", "", ""},
        {"PAINT.EXE", 500, "Paint =|3.1;", "Paint =|3.1;", ""},
        {"PAINT.EXE", 501, "Paint =|Exists;", "Paint =|Exists;", ""},
        {"FILE.DLL", 1, "Library =|Exists;", "Library =|Exists;", ""},
        {"OTHER.EXE", 10, "", "", ""},
        {"SKIP.EXE", 5, "", "", ""},
    };
    for (const Case& c : cases) {
        const char* want[] = {c.listed, c.all, c.unlisted};
        const char* modes[] = {"Listed", "All", "Unlisted"};
        for (int m = 0; m < 3; ++m) {
            Scan s(modes[m], kApps);
            s.File(c.file, c.size);
            EXPECT_EQ(s.Items(), want[m]) << c.file << " " << c.size << " " << modes[m];
            EXPECT_EQ(s.e.output.rows.size(), s.e.output.items.size());
        }
    }
}

TEST(Recognize, RowsAndTimeStamps) {
    Scan s("All", kApps);
    s.File("WORD.EXE", 1000, "C:\\APPS\\WORD\\");
    s.File("ZIP.EXE", 1234, "C:\\");
    ASSERT_EQ(s.e.output.rows.size(), 2u);
    EXPECT_EQ(s.e.output.rows[0],
              "Corvane|Software|1.0|\"Word Processor\",\"6.0\",\"WORD.EXE\",\"01:05:00P\",\"06-05-98\","
              "\"1000\",\"C:\\\\APPS\\\\WORD\"");
    EXPECT_EQ(s.e.output.rows[1],
              "Corvane|Software|1.0|\"C:\\ZIP.EXE\",\"1234\",\"ZIP.EXE\",\"01:05:00P\",\"06-05-98\","
              "\"1234\",\"C:\"");

    struct Stamp { std::uint64_t ticks; const char* time; const char* date; };
    const Stamp stamps[] = {
        {Ticks(1998, 6, 5, 12, 30, 41), "12:30:40A", "06-05-98"},
        {Ticks(1998, 6, 5, 13, 5, 0), "01:05:00P", "06-05-98"},
        {Ticks(1998, 6, 5, 0, 10, 0), "12:10:00A", "06-05-98"},
        {Ticks(2000, 1, 2, 23, 59, 59), "11:59:58P", "01-02-100"},
        {Ticks(1970, 1, 1, 0, 0, 0), "12:00:00A", "00-00-80"},
    };
    for (const Stamp& st : stamps) {
        DirEntry e;
        e.write_time = st.ticks;
        e.size = 4000000000u;
        FileStamp f = FormatFileStamp(e);
        EXPECT_EQ(f.time, st.time);
        EXPECT_EQ(f.date, st.date);
        EXPECT_EQ(f.size, "4000000000");
    }
}

TEST(Recognize, DuplicateOffAcrossTwoDirectories) {
    struct Case { const char* mode; const char* items; };
    const Case cases[] = {
        {"Listed", "Word Processor =|6.0;"},
        {"All", "Word Processor =|6.0;C:\\B\\WORD.EXE =|1000;"},
        {"Unlisted", "C:\\B\\WORD.EXE =|1000;"},
    };
    for (const Case& c : cases) {
        Scan s(c.mode, kApps, "Off");
        s.File("WORD.EXE", 1000, "C:\\A\\");
        s.File("WORD.EXE", 1000, "C:\\B\\");
        EXPECT_EQ(s.Items(), c.items) << c.mode;
    }
    Scan on("Listed", kApps, "On");
    on.File("WORD.EXE", 1000, "C:\\A\\");
    on.File("WORD.EXE", 1000, "C:\\B\\");
    EXPECT_EQ(on.Items(), "Word Processor =|6.0;Word Processor =|6.0;");
}

TEST(Recognize, ExactMatchStopsAtFirstSuitableEntry) {
    Scan s("Listed", "<I>,WORD.EXE,100,Word,6.0\r\n<I>,WORD.EXE,200,Word,7.0\r\n<I>,WORD.EXE,1,Word,any\r\n");
    s.File("WORD.EXE", 200);
    s.File("WORD.EXE", 100);
    s.File("WORD.EXE", 5);
    s.File("word.exe", 100);  // the first two characters must be identical
    EXPECT_EQ(s.Items(), "Word =|7.0;Word =|6.0;Word =|any;");
}

struct Recorder : UnknownFileHandler {
    std::vector<std::string> calls;
    int result = 0;
    int HandleUnknownFile(const DirEntry& e, std::string_view dir, const ApplicationEntry* n) override {
        calls.push_back(std::string(dir) + e.name + (n ? "+" + std::string(n->description) : ""));
        return result;
    }
};

TEST(Recognize, LearningHandsOnEverythingButExactMatches) {
    Recorder learner;
    Scan s("Listed", kApps, "Off", &learner);
    s.File("WORD.EXE", 1000);
    s.File("WORD.EXE", 5);
    s.File("WORD.EXE", 5);  // name mark set, Duplicate off: no entry
    s.File("ZIP.EXE", 1);
    s.File("SKIP.EXE", 1);
    EXPECT_EQ(learner.calls, (std::vector<std::string>{"C:\\UTIL\\WORD.EXE+  Word Processor  ",
                                                       "C:\\UTIL\\WORD.EXE", "C:\\UTIL\\ZIP.EXE"}));
    EXPECT_TRUE(s.e.output.items.empty());
}

// The walk over a fake tree.
struct WalkFixture {
    Scan scan;
    FakeTree tree;
    Walker walker;
    std::unique_ptr<Recorder> rec;
    WalkFixture(bool no_subdirs, std::vector<std::string> extensions = {"EXE", "COM", "DLL"})
        : scan("All", kApps), walker(tree, *scan.rec, settings, nullptr, no_subdirs) {
        settings.extensions = std::move(extensions);
        tree.Add("C:\\", ".", true, 0);
        tree.Add("C:\\", "..", true, 0);
        tree.Add("C:\\", ".HIDDEN.EXE", false, 1);
        tree.Add("C:\\", "README.TXT", false, 10);
        tree.Add("C:\\", "TOOLS.EXE", true, 0);
        tree.Add("C:\\TOOLS.EXE\\", "ZIP.EXE", false, 1234);
        tree.Add("C:\\", "X.DLL", false, 3);
        tree.Add("C:\\", "TELECOM", false, 4);
    }
    SoftwareScanSettings settings;
};

TEST(Walk, ExtensionsDirectoriesAndDots) {
    WalkFixture w(false);
    EXPECT_EQ(w.walker.WalkRoot("C:\\"), 0);
    EXPECT_EQ(w.scan.Items(),
              "C:\\TOOLS.EXE =|0;C:\\TOOLS.EXE\\ZIP.EXE =|1234;C:\\X.DLL =|3;C:\\TELECOM =|4;");
    EXPECT_EQ(w.walker.file_count(), 4);  // .HIDDEN.EXE is skipped, directories not counted
    EXPECT_EQ(w.tree.opened, (std::vector<std::string>{"C:\\*.*", "C:\\TOOLS.EXE\\*.*"}));

    WalkFixture flat(true);
    flat.walker.WalkRoot("C:\\");
    EXPECT_EQ(flat.tree.opened, (std::vector<std::string>{"C:\\*.*"}));

    WalkFixture both(false, {"DLL", "LL"});  // X.DLL is recognised once
    both.walker.WalkRoot("C:\\");
    EXPECT_EQ(both.scan.Items(), "C:\\X.DLL =|3;");

    WalkFixture every(false, {"EXE", ""});  // an empty token matches every name
    every.walker.WalkRoot("C:\\");
    EXPECT_EQ(every.scan.e.output.items.size(), 5u);
}

TEST(Walk, LongPathsAreNotDescended) {
    WalkFixture w(false);
    std::string deep = "C:\\";
    std::string name(120, 'D');
    for (int i = 0; i < 3; ++i) {
        w.tree.Add(deep, name, true, 0);
        deep += name + "\\";
    }
    w.tree.Add(deep, "IN.EXE", false, 1);
    EXPECT_EQ(w.walker.WalkRoot("C:\\"), 0);
    for (const auto& p : w.tree.opened) EXPECT_LE(p.size(), kSwPathMax);
    EXPECT_EQ(w.scan.Items().find("IN.EXE"), std::string::npos);
}

TEST(Walk, LearningResultEndsTheWalk) {
    Recorder learner;
    learner.result = 30;
    Scan scan("Listed", kApps, "On", &learner);
    FakeTree tree;
    tree.Add("C:\\", "A.EXE", false, 1);
    tree.Add("C:\\", "B.EXE", false, 1);
    SoftwareScanSettings settings;
    settings.extensions = {"EXE"};
    Walker walker(tree, *scan.rec, settings, nullptr, false);
    EXPECT_EQ(walker.WalkRoot("C:\\"), 30);
    EXPECT_EQ(learner.calls.size(), 1u);
}

}  // namespace
}  // namespace qv::scanner
