#include "common/sitekey.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "common/sitekey_posix.h"

namespace qv::sitekey {
namespace {

const std::string kHex = "000102030405060708090a0b0c0d0e0f101112131415161718191A1B1C1D1E1F";

TEST(SiteKey, ParseAcceptsOneLineOfHexOnly) {
    struct Case {
        std::string text;
        bool ok;
        const char* why;
    } cases[] = {
        {kHex, true, ""},
        {kHex + "\n", true, ""},
        {kHex + "\r\n", true, ""},
        {kHex + "\n\n", false, "found 65 characters"},
        {kHex.substr(2), false, "found 62 characters"},
        {"", false, "found 0 characters"},
        {kHex.substr(0, 63) + "g", false, "character 64 is not"},
        {std::string(64, '0'), false, "all zeros"},
    };
    for (const Case& c : cases) {
        Key k{};
        std::string why;
        EXPECT_EQ(Parse(c.text, &k, &why), c.ok) << c.text;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.text << ": " << why;
        EXPECT_EQ(k[0x1F], c.ok ? 0x1F : 0) << c.text;
    }
}

// A file system answering from fields, for the order and wording of Load().
struct FakeAccess : KeyFileAccess {
    bool readable = true, open = false;
    std::string data = kHex + "\n", check_error;
    bool Read(const std::string&, std::size_t max, std::string* d, std::string* e) override {
        if (!readable) *e = "Access denied";
        else *d = data.substr(0, max + 1);
        return readable;
    }
    bool OpenToOthers(const std::string&, std::string* who, std::string* e) override {
        *who = "Everyone";
        *e = check_error;
        return open;
    }
};

TEST(SiteKey, LoadRefusesWhatCannotServeAsAKey) {
    struct Case {
        void (*set)(FakeAccess&);
        const char* message;  // "" = accepted
    } cases[] = {
        {[](FakeAccess&) {}, ""},
        {[](FakeAccess& a) { a.readable = false; }, "site key file K: cannot be read: Access denied"},
        {[](FakeAccess& a) { a.open = true; }, "site key file K: refused: other users (Everyone) may read"},
        {[](FakeAccess& a) { a.check_error = "error 5"; }, "its access list cannot be checked: error 5"},
        {[](FakeAccess& a) { a.data = std::string(1000, 'a'); }, "longer than 256 bytes"},
        {[](FakeAccess& a) { a.data = "key"; }, "not a site key: expected one line"},
        // A file open to others is refused before its contents are looked at.
        {[](FakeAccess& a) { a.open = true, a.data = "x"; }, "refused: other users"},
    };
    for (const Case& c : cases) {
        FakeAccess a;
        c.set(a);
        const LoadResult r = Load("K", a);
        EXPECT_EQ(r.ok, c.message[0] == 0) << r.message;
        EXPECT_NE(r.message.find(c.message), std::string::npos) << r.message;
    }
}

TEST(SiteKey, PosixKeygenMakesAnOwnerOnlyFileAndNeverOverwrites) {
    char dir[] = "/tmp/sitekey_testXXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string path = std::string(dir) + "/site.key";
    const mode_t old_mask = umask(0);  // a careless umask must not open the new file
    std::string error;
    ASSERT_TRUE(WriteNewKeyFile(path, &error)) << error;
    umask(old_mask);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    PosixKeyFileAccess fs;
    const LoadResult first = Load(path, fs);
    ASSERT_TRUE(first.ok) << first.message;
    EXPECT_FALSE(WriteNewKeyFile(path, &error));
    EXPECT_NE(error.find("already exists"), std::string::npos) << error;
    EXPECT_EQ(Load(path, fs).key, first.key);

    // A second key differs; group or other access refuses a key.
    const std::string other = std::string(dir) + "/other.key";
    ASSERT_TRUE(WriteNewKeyFile(other, &error)) << error;
    EXPECT_NE(Load(other, fs).key, first.key);
    for (mode_t m : {0640, 0604, 0620}) {
        chmod(path.c_str(), m);
        const LoadResult r = Load(path, fs);
        EXPECT_FALSE(r.ok) << std::oct << m;
        EXPECT_NE(r.message.find("chmod 600"), std::string::npos) << r.message;
    }
    EXPECT_NE(Load(std::string(dir) + "/missing", fs).message.find("cannot be read"), std::string::npos);
    unlink(path.c_str());
    unlink(other.c_str());
    rmdir(dir);
}

}  // namespace
}  // namespace qv::sitekey
