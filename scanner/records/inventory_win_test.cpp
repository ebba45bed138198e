// LoadItemLabel under Wine: the labels come from the running program's own
// string table (this test program carries the records' strings).
#include "scanner/records/inventory.h"

#include "resources/qviscnnt/ids_records.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using qv::scanner::LoadItemLabel;

TEST(LoadItemLabel, LoadsFromTheProgramsOwnStrings) {
    struct Case { unsigned id; const char* text; };
    const Case cases[] = {
        {IDS_BEGIN_CONTENTS, "_BeginContents"},
        {IDS_END_CONTENTS, "_EndContents"},
        {IDS_INVALID_DATA, "Invalid data in file %s:\n%s\n"},
    };
    for (const Case& c : cases) {
        char buf[128];
        std::memset(buf, 'X', sizeof buf);
        EXPECT_EQ(LoadItemLabel(c.id, buf, sizeof buf), static_cast<int>(std::strlen(c.text)));
        EXPECT_STREQ(buf, c.text);
    }
}

TEST(LoadItemLabel, MissingStringAndShortBuffer) {
    char buf[8];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(LoadItemLabel(9999, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");

    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(LoadItemLabel(IDS_BEGIN_CONTENTS, buf, 5), 4);
    EXPECT_STREQ(buf, "_Beg");
    EXPECT_EQ(buf[5], 'X');
    EXPECT_EQ(LoadItemLabel(IDS_BEGIN_CONTENTS, buf, 0), 0);
}

}  // namespace
