// The slave's resource script holds exactly the texts of texts.h.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "slave/texts.h"

namespace qv::slave {
namespace {

TEST(SlaveTexts, ResourceScriptMatchesTheTable) {
    std::ifstream in(KSLAVE_RC);
    ASSERT_TRUE(in) << KSLAVE_RC;
    std::map<int, std::string> table;
    std::regex line(R"re(^\s*(\d{4})\s+"(.*)"\s*$)re");
    std::string l;
    while (std::getline(in, l)) {
        std::smatch m;
        if (std::regex_match(l, m, line)) table[std::stoi(m[1])] = m[2];
    }
    ASSERT_EQ(table.size(), std::size(kDefaultTexts));
    for (const DefaultText& t : kDefaultTexts) EXPECT_EQ(table[t.id], t.text) << t.id;
}

}  // namespace
}  // namespace qv::slave
