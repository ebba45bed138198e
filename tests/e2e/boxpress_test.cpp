// boxpress presses the box of a Windows service: the service's boxes live on
// the services' own window station and desktop, which the presser enters.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "tests/e2e/wine_run.h"

namespace qv {
namespace {

using namespace std::chrono_literals;

e2e::RunResult Sc(const std::vector<std::string>& args) {
    e2e::RunOptions quick;
    quick.timeout_ms = 30000;
    return e2e::RunWine("C:\\windows\\system32\\sc.exe", args, quick);
}

TEST(BoxPress, PressesYesAndNoInAServicesBox) {
    const std::string answer_file = e2e::DriveDir('C') + "/boxsvc.txt";
    Sc({"delete", "QvBoxSvc"});
    ASSERT_EQ(Sc({"create", "QvBoxSvc", "binPath=", "W:\\boxsvc.exe", "type=", "own", "start=", "demand"}).exit_code,
              0);
    for (const char* button : {"yes", "no"}) {
        SCOPED_TRACE(button);
        std::remove(answer_file.c_str());
        ASSERT_EQ(Sc({"start", "QvBoxSvc"}).exit_code, 0);
        e2e::RunOptions quick;
        quick.timeout_ms = 60000;
        const e2e::RunResult r =
            e2e::RunWine("P:\\boxpress.exe", {"--service", "--caption", "Box Service", button}, quick);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        const std::string lines[] = {"caption Box Service", "text Press a button", "button 6 &Yes",
                                     std::string("pressed ") + button, "closed"};
        for (const std::string& line : lines)
            EXPECT_NE(r.out.find(line + "\n"), std::string::npos) << line << "\n" << r.out;
        std::string got;
        for (int i = 0; i < 100 && (got = e2e::ReadFile(answer_file)).empty(); ++i) std::this_thread::sleep_for(100ms);
        EXPECT_EQ(got, button);
    }
    Sc({"delete", "QvBoxSvc"});
}

}  // namespace
}  // namespace qv
