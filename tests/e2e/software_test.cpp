// The software phase of qviscnnt.exe under Wine, on a fixture tree of the
// D: drive with an applications database written for it: items and the file
// count in the flat file, the verbose progress display, learning into a
// file and interactively through a terminal, and configuration file capture.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/e2e/invserver_peer.h"
#include "tests/e2e/terminal.h"
#include "tests/e2e/wine_run.h"

namespace {

using namespace qv::e2e;

const char kProgram[] = "P:\\qviscnnt.exe";

const std::string kDatabase =
    "[Corvane Inventory]\r\n"
    "Version=2.0\r\n"
    "Mode=All\r\n"
    "MifPath=D:\\SWT\\MIFS\r\n"
    "CfgFiles1=D:\\SWT\\CFG\\CONFIG.SYS D:\\SWT\\CFG\\MISSING.INI\r\n"
    "\r\n"
    "[Applications]\r\n"
    "; known programs\r\n"
    "<I>,A.EXE,100,App A,1.0\r\n"
    "<P>,WORD.EXE,1000,  Word Processor  ,6.0\r\n"
    "[Ignore]\r\n"
    "<I>,SKIP.EXE\r\n";

class Software : public ::testing::Test {
protected:
    std::string root;
    void SetUp() override {
        root = DriveDir('D') + "/SWT";
        RemoveTree(root);
        RemoveTree(DriveDir('C') + "/QVISCAN.CFG");
        WriteFile(root + "/QVAPPL.INI", kDatabase);
        WriteFile(root + "/TREE/A.EXE", std::string(100, 'a'));
        WriteFile(root + "/TREE/README.TXT", "text");
        WriteFile(root + "/TREE/SKIP.EXE", "s");
        WriteFile(root + "/TREE/TOOLS/ZIP.EXE", std::string(1234, 'z'));
        WriteFile(root + "/TREE/TOOLS/WORD.EXE", std::string(999, 'w'));
        WriteFile(root + "/CFG/CONFIG.SYS", "FILES=40\r\nBUFFERS=20");  // no final line break
    }
    void TearDown() override { RemoveTree(root); }
    RunResult Scan(std::vector<std::string> args) {
        RunOptions o;
        o.timeout_ms = 60000;
        RunResult r = RunWine(kProgram, args, o);
        EXPECT_FALSE(r.timed_out);
        return r;
    }
};

TEST_F(Software, ItemsAndFileCountInTheFlatFile) {
    RunResult r = Scan({"/O=D:\\SWT\\OUT.TXT", "/I=D:\\SWT\\QVAPPL.INI", "/D=D:\\SWT\\TREE"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    std::string flat = ReadFile(root + "/OUT.TXT");
    std::size_t sw = flat.find("_SOFTWARE =\r\n");
    ASSERT_NE(sw, std::string::npos) << flat;
    std::string tail = flat.substr(sw);

    // The configuration file and its contents block come first; its text ends
    // without a line break, yet "_EndContents" stands on its own line.
    std::size_t cfg = tail.find("Cfg - D:\\SWT\\CFG\\CONFIG.SYS = ");
    ASSERT_NE(cfg, std::string::npos) << tail;
    std::string block = "\r\n_BeginContents\r\nCONFIG.SYS\r\nD:\\SWT\\CFG\\\r\n";
    std::size_t begin = tail.find(block);
    ASSERT_NE(begin, std::string::npos) << tail;
    std::size_t text = tail.find("\r\n20\r\nFILES=40\r\nBUFFERS=20\r\n_EndContents\r\n", begin);
    EXPECT_NE(text, std::string::npos) << tail;
    EXPECT_EQ(tail.find("MISSING"), std::string::npos);

    // Then the walk, in listing order (sorted), subdirectories in place.
    std::size_t walk = tail.find("_EndContents\r\n") + 14;
    EXPECT_EQ(tail.substr(walk),
              "App A = 1.0\r\n"
              "Word Processor = Exists\r\n"
              "D:\\SWT\\TREE\\TOOLS\\ZIP.EXE = 1234\r\n"
              "Number of Files =       5\r\n");
}

TEST_F(Software, SoftwareAndConfigFilesRowsInTheMifFile) {
    RunResult r = Scan({"/M", "/I=D:\\SWT\\QVAPPL.INI", "/D=D:\\SWT\\TREE"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    std::string mif = ReadFile(root + "/MIFS/QVISCAN.MIF");
    // Only the Path column has its backslashes doubled.
    EXPECT_NE(mif.find("\"App A\",\"1.0\",\"A.EXE\","), std::string::npos) << mif;
    EXPECT_NE(mif.find("\"Word Processor\",\"Exists\",\"WORD.EXE\","), std::string::npos) << mif;
    EXPECT_NE(mif.find("\"D:\\SWT\\TREE\\TOOLS\\ZIP.EXE\",\"1234\",\"ZIP.EXE\","), std::string::npos) << mif;
    EXPECT_NE(mif.find("\"D:\\\\SWT\\\\TREE\\\\TOOLS\""), std::string::npos) << mif;
    EXPECT_NE(mif.find("\"CONFIG.SYS\",\"D:\\\\SWT\\\\CFG\\\\\","), std::string::npos) << mif;
}

TEST_F(Software, VerboseProgressDisplay) {
    for (int i = 0; i < 12; ++i) MakeDirs(root + "/TREE/D" + std::to_string(i));
    RunResult r = Scan({"/O=D:\\SWT\\OUT.TXT", "/I=D:\\SWT\\QVAPPL.INI", "/D=D:\\SWT\\TREE", "/V"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // 14 directories entered (the root, TOOLS and D0..D11): one spinner step.
    EXPECT_NE(r.out.find("Scanning Hardware...\r\nScanning Software:  ...|\b/\bDone\r\n"), std::string::npos)
        << r.out;
}

TEST_F(Software, MissingDatabaseAndVersionMismatch) {
    RunResult r = Scan({"/O=D:\\SWT\\OUT.TXT", "/I=D:\\SWT\\NONE.INI", "/D=D:\\SWT\\TREE"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("Unable to perform Software Scanning.\r\nD:\\SWT\\NONE.INI not found.\r\n"),
              std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(root + "/OUT.TXT").find("_SOFTWARE"), std::string::npos);

    WriteFile(root + "/OLD.INI", "[Corvane Inventory]\r\nVersion=3.0\r\n");
    r = Scan({"/O=D:\\SWT\\OUT.TXT", "/I=D:\\SWT\\OLD.INI", "/D=D:\\SWT\\TREE"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("\r\nQVISCAN Version 2.1 cannot run with QVAPPL.INI Version 3.0\r\n"), std::string::npos)
        << r.err;
}

TEST_F(Software, LearningFile) {
    RunResult r = Scan({"/Q=D:\\SWT\\LEARN.TXT", "/I=D:\\SWT\\QVAPPL.INI", "/D=D:\\SWT\\TREE"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(ReadFile(root + "/LEARN.TXT"),
              "<I>,WORD.EXE,999,  Word Processor  ,<Version>\r\n"
              "<I>,ZIP.EXE,1234,<Description>,<Version>\r\n");
    EXPECT_EQ(ReadFile(root + "/QVAPPL.INI"), kDatabase);
}

// Interactive learning needs a console: the program runs in a tmux pane and
// the test types the answers.
TEST_F(Software, InteractiveLearningThroughATerminal) {
    if (!Terminal::Available()) GTEST_SKIP() << "tmux not available";
    std::string rc = root + "/rc.txt";
    Terminal t(std::string(std::getenv("QV_HARNESS") ? std::getenv("QV_HARNESS") : "tests/harness/wine.sh") +
               " run 'P:\\qviscnnt.exe' /Q '/I=D:\\SWT\\QVAPPL.INI' '/D=D:\\SWT\\TREE'; echo $? > " + rc +
               "; sleep 30");
    // WORD.EXE in an unknown size: only a version is asked for.
    ASSERT_TRUE(t.WaitFor("Enter Software Version (or ENTER to Ignore):")) << t.Screen();
    t.Keys({"7.0", "Enter"});
    // ZIP.EXE: a wrong key beeps and is rubbed out, then choice 1.
    ASSERT_TRUE(t.WaitFor("Choice:")) << t.Screen();
    t.Keys({"x"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    t.Keys({"1"});
    ASSERT_TRUE(t.WaitFor("Enter Description of Application:")) << t.Screen();
    t.Keys({"Zip Utility", "Enter"});
    // (tmux drops the blanks at the ends of lines)
    ASSERT_TRUE(t.WaitFor("Zip Utility\nEnter Software Version:")) << t.Screen();
    t.Keys({"2.0", "Enter"});
    for (int i = 0; i < 300 && !FileExists(rc); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(FileExists(rc)) << t.Screen();
    EXPECT_EQ(ReadFile(rc), "0\n");
    EXPECT_EQ(t.Screen().find("Choice: x"), std::string::npos);  // the x was rubbed out
    EXPECT_EQ(ReadFile(root + "/QVAPPL.INI"),
              "[Corvane Inventory]\r\nVersion=2.0\r\nMode=All\r\nMifPath=D:\\SWT\\MIFS\r\n"
              "CfgFiles1=D:\\SWT\\CFG\\CONFIG.SYS D:\\SWT\\CFG\\MISSING.INI\r\n\r\n"
              "[Applications]\r\n"
              "<I>,ZIP.EXE,1234,Zip Utility,2.0\r\n"
              "<I>,WORD.EXE,999,  Word Processor  ,7.0\r\n"
              "; known programs\r\n<I>,A.EXE,100,App A,1.0\r\n<P>,WORD.EXE,1000,  Word Processor  ,6.0\r\n"
              "[Ignore]\r\n<I>,SKIP.EXE\r\n");
}

// A flat file whose captured text does not end in a line break, replayed to
// the inventory server (tools/invserver): the server stores the same items.
TEST_F(Software, FlatFileWithContentsBlockReplaysToTheServer) {
    RunResult r = Scan({"/O=D:\\SWT\\OUT.TXT", "/I=D:\\SWT\\QVAPPL.INI", "/D=D:\\SWT\\TREE"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    std::string flat = ReadFile(root + "/OUT.TXT");
    ASSERT_NE(flat.find("BUFFERS=20\r\n_EndContents\r\n"), std::string::npos);

    InventoryServer server;
    r = Scan({"/T=D:\\SWT\\OUT.TXT", "/S=SRV", "/NTT127.0.0.1:" + std::to_string(server.port())});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    server.Log();  // stopped: everything it received is stored
    std::string stored = server.StoredInventory();
    EXPECT_EQ(stored, flat);
}

}  // namespace
