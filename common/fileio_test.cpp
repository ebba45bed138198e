// Runs on the host and, built for Windows, under Wine: there a plain fseek
// takes a 32-bit long, so the large offsets check the Windows C runtime too.
#include "common/fileio.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

TEST(FileIo, SeekFileReachesOffsetsPast2And4GB) {
    // A sparse file of a little over 4 GB, removed however the test ends.
    struct TempFile {
        std::string path = testing::TempDir() + "seekfile_test.bin";
        std::FILE* f = std::fopen(path.c_str(), "w+b");
        ~TempFile() {
            if (f) std::fclose(f);
            std::remove(path.c_str());
        }
    } file;
    std::FILE* f = file.f;
    ASSERT_NE(f, nullptr) << file.path;
    struct Case { std::uint64_t offset; char mark; };
    const Case cases[] = {
        {0, 'a'},
        {(1ull << 31) - 1, 'b'},   // the last offset a 32-bit long reaches
        {(1ull << 31) + 5, 'c'},
        {(1ull << 32) + 7, 'd'},   // would wrap to 7 in 32 bits
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(qv::SeekFile(f, c.offset)) << c.offset;
        ASSERT_EQ(std::fputc(c.mark, f), c.mark);
    }
    for (const Case& c : cases) {
        ASSERT_TRUE(qv::SeekFile(f, c.offset)) << c.offset;
        EXPECT_EQ(std::fgetc(f), c.mark) << c.offset;
    }
    EXPECT_FALSE(qv::SeekFile(f, ~0ull));
}

}  // namespace
