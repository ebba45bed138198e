// Inventory values in the "C" conventions, whatever locale the program runs in.
#include "common/dataformat.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

TEST(DataFormat, FixedAndDateTimeInTheCConventions) {
    EXPECT_EQ(FixedC(2016.0, 8, 1), "  2016.0");
    EXPECT_EQ(FixedC(0.05078125, 8, 1), "     0.1");
    EXPECT_EQ(FixedC(123456789.96, 8, 1), "123456790.0");   // wider than the field: not cut
    EXPECT_EQ(FixedC(2.5, 0, 0), "2");                     // ties as printf rounds them
    EXPECT_EQ(DateTimeC(1997, 1, 1, 0, 0, 0), "01/01/97 00:00:00");
    EXPECT_EQ(DateTimeC(2016, 12, 31, 23, 59, 58), "12/31/16 23:59:58");
    EXPECT_EQ(DateTimeC(2000, 6, 5, 14, 7, 9), "06/05/00 14:07:09");
}

}  // namespace
}  // namespace qv
