// The applications database: settings, version test, section finder, the
// two tables, portions, and lines that break the grammar.
#include "scanner/software/appdb.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

#include "scanner/software/test_support.h"

namespace qv::scanner {
namespace {

using test::Env;
using test::TempDir;

std::string Db(const std::string& body) { return "[Corvane Inventory]\r\nVersion=2.0\r\n" + body; }

struct Loaded {
    Env e;
    TempDir dir;
    std::unique_ptr<ApplicationsDatabase> db;
    int result = -1;
    explicit Loaded(const std::string& bytes, std::size_t limit = SIZE_MAX, const char* version = "2.0") {
        if (version) e.profile["Version"] = version;
        ApplicationsDatabase::Options o;
        o.profile = e.Reader();
        o.memory_limit = limit;
        db = std::make_unique<ApplicationsDatabase>(e.env, o);
        path = dir.Write("QVAPPL.INI", bytes);
        result = db->LoadPortion(path);
    }
    std::string path;
};

TEST(AppDbSettings, VersionTest) {
    struct Case { const char* version; int result; const char* message; };
    const Case cases[] = {
        {"2.3", 0, ""},
        {"0x2.0", 0, ""},
        {"3.0", 1, "\nQVISCAN Version 2.1 cannot run with QVAPPL.INI Version 3.0\n"},
        {nullptr, 1, "\nQVISCAN Version 2.1 cannot run with QVAPPL.INI Version 1.0\n"},
        {"abc", 1, "\nQVISCAN Version 2.1 cannot run with QVAPPL.INI Version 0.0\n"},
    };
    for (const Case& c : cases) {
        Loaded l("[Applications]\r\n<I>,A.EXE,1,A,1\r\n", SIZE_MAX, c.version);
        EXPECT_EQ(l.result, c.result) << (c.version ? c.version : "missing");
        EXPECT_EQ(l.e.console.err, c.message);
    }
    Env quiet;
    quiet.env.quiet = true;
    ApplicationsDatabase::Options o;
    o.profile = quiet.Reader();
    ApplicationsDatabase db(quiet.env, o);
    EXPECT_EQ(db.LoadPortion("/nonexistent"), 1);
    EXPECT_EQ(quiet.console.err, "");
}

TEST(AppDbSettings, ExtensionsModeAndDuplicate) {
    EXPECT_EQ(SplitExtensions("EXE  COM"), (std::vector<std::string>{"EXE", "", "COM"}));
    EXPECT_EQ(SplitExtensions("EXE COM DLL"), (std::vector<std::string>{"EXE", "COM", "DLL"}));
    EXPECT_TRUE(SplitExtensions("").empty());
    EXPECT_EQ(SplitExtensions(std::string(79, ' ')).size(), 40u);

    Loaded l("");
    EXPECT_EQ(l.db->settings().extensions, (std::vector<std::string>{"EXE", "COM", "DLL"}));
    EXPECT_FALSE(l.db->settings().duplicate_off());
    EXPECT_FALSE(l.db->settings().all());

    Env e;
    e.profile = {{"Version", "2.0"}, {"ScanExtensions", "exe  com"}, {"Duplicate", "off"}, {"Mode", "all"}};
    ApplicationsDatabase::Options o;
    o.profile = e.Reader();
    ApplicationsDatabase db(e.env, o);
    TempDir dir;
    ASSERT_EQ(db.LoadPortion(dir.Write("Q.INI", "")), 0);
    EXPECT_EQ(db.settings().extensions, (std::vector<std::string>{"EXE", "", "COM"}));
    EXPECT_TRUE(db.settings().duplicate_off());
    EXPECT_FALSE(db.settings().all());  // only "A" counts, case-sensitively
}

TEST(AppDbSections, HeadersMustBeExact) {
    struct Case { std::string text; std::size_t apps; std::size_t ignores; };
    const Case cases[] = {
        {"[Applications]\r\n<I>,A.EXE,1,A,1\r\n[Ignore]\r\n<I>,B.EXE\r\n", 1, 1},
        {"[applications]\r\n<I>,A.EXE,1,A,1\r\n", 0, 0},
        {"[Applications] \r\n<I>,A.EXE,1,A,1\r\n", 0, 0},
        {"[Applications]\n<I>,A.EXE,1,A,1\n", 0, 0},
        {"x[Applications]\r\n<I>,A.EXE,1,A,1\r\n", 0, 0},
        // The body ends at any line beginning with "[".
        {"[Applications]\r\n<I>,A.EXE,1,A,1\r\n[Other]\r\n<I>,B.EXE,1,B,1\r\n", 1, 0},
        // The later header counts.
        {"[Applications]\r\n<I>,A.EXE,1,A,1\r\n[Applications]\r\n<I>,B.EXE,1,B,1\r\n<I>,C.EXE,1,C,1\r\n", 2, 0},
        {"", 0, 0},
    };
    for (const Case& c : cases) {
        Loaded l(c.text.empty() ? c.text : Db(c.text));
        ASSERT_EQ(l.result, 0);
        EXPECT_EQ(l.db->entries().size(), c.apps) << c.text;
        EXPECT_EQ(l.db->ignores().size(), c.ignores) << c.text;
        EXPECT_TRUE(l.db->IsLastPortion());
    }
}

TEST(AppDbSections, HeaderAcrossTheBlockBoundary) {
    // A header that straddles the first 32 KB block is seen whole in the next.
    for (std::size_t at : {kSectionBlockSize - 20, kSectionBlockSize - 16, kSectionBlockSize - 8,
                           kSectionBlockSize - 1, kSectionBlockSize, kSectionBlockSize + 1}) {
        std::string text = "[Corvane Inventory]\r\n;";
        text += std::string(at - text.size() - 2, 'x') + "\r\n";
        ASSERT_EQ(text.size(), at);
        text += "[Ignore]\r\n<I>,SKIP.EXE\r\n[Applications]\r\n<I>,A.EXE,1,A,1\r\n";
        Loaded l(text);
        ASSERT_EQ(l.result, 0);
        EXPECT_TRUE(l.db->LookupIgnoredName("SKIP.EXE")) << at;
        EXPECT_EQ(l.db->entries().size(), 1u) << at;
    }
}

TEST(AppDbEntries, FieldsAndTypes) {
    Loaded l(Db("[Applications]\r\n"
                "; a comment, with, commas\r\n"
                "\r\n"
                "<I>,ANY.EXE,1,Any,1.0\r\n"
                "<p>,PAD.EXE,0001,  Padded  ,2.0\r\n"
                "<F>,TWELVE.EXE,12,A description that is longer than four bytes,\r\n"
                "<x>,EMPTY.EXE,5,,\r\n"));
    ASSERT_EQ(l.result, 0);
    const auto& e = l.db->entries();
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].type, kTypeInstalled);
    EXPECT_EQ(e[0].size, 1u);
    EXPECT_EQ(e[1].type, kTypeProgram);  // lower case is the same letter
    EXPECT_EQ(e[1].size, 1u);
    EXPECT_EQ(e[1].description, "  Padded  ");
    EXPECT_EQ(e[2].size, 12u);
    EXPECT_EQ(e[2].description, "A description that is longer than four bytes");
    EXPECT_EQ(e[2].version, "");
    EXPECT_EQ(e[3].description, "");
    LookupResult r = l.db->LookupApplication("ANY.EXE", 123456);
    EXPECT_TRUE(r.exact_kind);
}

TEST(AppDbEntries, NameHashAndChainOrder) {
    EXPECT_EQ(NameHash("AB.EXE", false, SingleByteCharLength), 1);
    EXPECT_EQ(NameHash("AB,100", true, SingleByteCharLength), 1);
    EXPECT_EQ(NameHash("B", false, SingleByteCharLength), 1);
    // A double-byte character is one value.
    auto dbcs = [](unsigned long b) { return (b & 0xFF) >= 0x81 ? 2 : 1; };
    EXPECT_EQ(NameHash("\x82\xA0", false, dbcs), static_cast<std::uint16_t>(0x82A0 - 65));

    Loaded l(Db("[Applications]\r\n<I>,WORD.EXE,100,Word,6.0\r\n<I>,AB.EXE,5,Ab,1\r\n"
                "<I>,WORD.EXE,200,Word,7.0\r\n"));
    auto chain = l.db->ApplicationChain(NameHash("WORD.EXE", false, SingleByteCharLength));
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_EQ(l.db->entries()[chain[0]].size, 100u);
    EXPECT_EQ(l.db->entries()[chain[1]].size, 200u);
}

TEST(AppDbEntries, LinesBreakingTheGrammarStayInsideTheBuffer) {
    // Missing commas, short lines, lone CRs, no CR LF at the end of the body.
    Loaded l(Db("[Applications]\r\n<I>,NOCOMMA.EXE\r\n<I>,ONE.EXE,7\r\n<I>\r\n<\r\n\r\r\n"
                "<I>,TWO.EXE,8,Two\r\n<I>,LAST.EXE,9,Last,1.0"));
    ASSERT_EQ(l.result, 0);
    const auto& e = l.db->entries();
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].name, "NOCOMMA.EXE");
    EXPECT_EQ(e[1].size, 7u);
    EXPECT_EQ(e[2].description, "Two");
    EXPECT_EQ(e[3].version, "1.0");

    // Random bodies: the sanitizers catch any read past the buffer.
    std::mt19937 rng(5);
    const char alphabet[] = "<I>,AB.EXE0123\r\n;[ ";
    for (int round = 0; round < 200; ++round) {
        std::string body;
        std::size_t n = rng() % 300;
        for (std::size_t i = 0; i < n; ++i) body += alphabet[rng() % (sizeof alphabet - 1)];
        Loaded r(Db("[Applications]\r\n" + body + "\r\n[Ignore]\r\n" + body));
        ASSERT_EQ(r.result, 0);
        r.db->LookupApplication("AB.EXE", 0);
        r.db->LookupIgnoredName("AB.EXE");
    }
}

TEST(AppDbFailures, OpenAndMemory) {
    Env e;
    e.profile["Version"] = "2.0";
    ApplicationsDatabase::Options o;
    o.profile = e.Reader();
    ApplicationsDatabase db(e.env, o);
    EXPECT_EQ(db.LoadPortion("/nonexistent/QVAPPL.INI"), 20);
    EXPECT_EQ(e.console.err, "/nonexistent/QVAPPL.INI: No such file or directory\n");

    Loaded small(Db("[Applications]\r\n<I>,A.EXE,1,A,1\r\n"), kSectionBlockSize - 1);
    EXPECT_EQ(small.result, 50);
    EXPECT_EQ(small.e.console.err, "Insufficient memory\n");
    Loaded no_portion(Db("[Applications]\r\n<I>,A.EXE,1,A,1\r\n"), kMinPortionSize);
    EXPECT_EQ(no_portion.result, 0);  // the body is small: its own size fits
}

// A body of many lines, with groups of one NAME, loaded in portions. Comment
// and blank lines (some longer than the NAME look-ahead) lie between the
// lines of a group; a leading comment of varying length moves every cut, so
// cuts fall on every kind of line.
TEST(AppDbPortions, NeverSplitANameAndCoverEveryLineOnce) {
    std::string body;
    std::vector<std::string> lines;
    std::mt19937 rng(7);
    for (int n = 0; lines.size() < 5000; ++n) {
        int group = 1 + static_cast<int>(rng() % 4);
        for (int g = 0; g < group; ++g) {
            std::string line = "<I>,PROG" + std::to_string(n) + ".EXE," + std::to_string(100 + g) +
                               ",Program " + std::to_string(n) + "," + std::to_string(g) + ".0";
            lines.push_back(line);
            body += line + "\r\n";
            switch (rng() % 8) {
            case 0: body += "; comment\r\n"; break;
            case 1: body += "\r\n"; break;
            case 2: body += ";" + std::string(400, 'c') + "\r\n\r\n"; break;
            default: break;
            }
        }
    }
    ASSERT_GT(body.size(), 4 * kMinPortionSize);
    auto check = [&](const std::string& lead, std::size_t limit) {
        Loaded l(Db("[Applications]\r\n" + lead + body + "[Ignore]\r\n<I>,X.EXE\r\n"), limit);
        ASSERT_EQ(l.result, 0);
        EXPECT_LE(l.db->portion_size() + 1, limit);
        std::multiset<std::string> seen;
        std::set<std::string> names_in_earlier;
        int portions = 0;
        for (;;) {
            ++portions;
            std::set<std::string> names;
            for (const auto& e : l.db->entries()) {
                std::string line = "<I>," + std::string(e.name) + "," + std::to_string(e.size) + "," +
                                   std::string(e.description) + "," + std::string(e.version);
                seen.insert(line);
                names.insert(std::string(e.name));
                ASSERT_EQ(names_in_earlier.count(std::string(e.name)), 0u)
                    << "split group " << e.name << " lead " << lead.size() << " limit " << limit;
            }
            names_in_earlier.insert(names.begin(), names.end());
            if (l.db->IsLastPortion()) break;
            ASSERT_EQ(l.db->LoadPortion(l.path), 0);
            ASSERT_LT(portions, 1000);
        }
        EXPECT_GT(portions, 1) << limit;
        EXPECT_EQ(seen, std::multiset<std::string>(lines.begin(), lines.end())) << limit;
        EXPECT_TRUE(l.db->LookupIgnoredName("X.EXE"));
    };
    for (std::size_t limit : {std::size_t(70000), body.size() / 3}) check("", limit);
    for (std::size_t lead = 0; lead < 400; lead += 41) check(";" + std::string(lead, 'x') + "\r\n", 40000);
}

TEST(AppDbPortions, FileClosedBetweenCallsAndReopened) {
    std::string body;
    for (int n = 0; n < 3000; ++n) body += "<I>,P" + std::to_string(n) + ".EXE,1,Some program,1.0\r\n";
    Loaded l(Db("[Applications]\r\n" + body), 40000);
    ASSERT_EQ(l.result, 0);
    ASSERT_FALSE(l.db->IsLastPortion());
    // The file can be removed between two calls; the next reopening fails.
    std::filesystem::remove(l.path);
    EXPECT_EQ(l.db->LoadPortion(l.path), 20);
}

}  // namespace
}  // namespace qv::scanner
