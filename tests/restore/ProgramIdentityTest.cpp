// The program's own path as RestoreQz sees it: drive-letter form and starts
// through the dynamic loader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "port/ProgramIdentity.h"
#include "port/Utf.h"
#include "tests/restore/RestoreTestSupport.h"

namespace nork::restore::test {
namespace {

class ProgramPathTest : public RestoreTest {};

TEST_F(ProgramPathTest, PathsUnderALetteredMountTakeTheLetter) {
    const char16_t usb = removableVolume("usb");
    const char16_t inner = removableVolume("usb/inner");  // a mount inside a mount
    ASSERT_NE(usb, 0);
    ASSERT_NE(inner, 0);
    const std::string mnt = (dir_ / "mnt").string();
    auto letter = [](char16_t l, const char16_t* rest) { return std::u16string(1, l) + rest; };
    struct Case {
        std::string native;
        std::u16string expected;
    };
    const Case cases[] = {
        {mnt + "/usb/RestoreQz", letter(usb, u":\\RestoreQz")},
        {mnt + "/usb/tools/RestoreQz", letter(usb, u":\\tools\\RestoreQz")},
        {mnt + "/usb/inner/RestoreQz", letter(inner, u":\\RestoreQz")},
        // A sibling whose name merely starts the same, and the mount itself.
        {mnt + "/usbstick/RestoreQz", port::utf::toUtf16(mnt + "/usbstick/RestoreQz")},
        {mnt + "/usb", port::utf::toUtf16(mnt + "/usb")},
        {"/usr/bin/RestoreQz", u"/usr/bin/RestoreQz"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(port::driveFormOfPath(c.native), c.expected) << c.native;
}

TEST(ProgramPathLoader, LoaderIsRecognisedAndItsProgramFound) {
    struct Case {
        const char* exe;
        bool loader;
    };
    for (const Case& c : {Case{"/usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2", true},
                          Case{"/lib64/ld-linux-x86-64.so.2", true}, Case{"/lib/ld-2.31.so", true},
                          Case{"/usr/bin/ld.so", true}, Case{"/media/usb/RestoreQz", false},
                          Case{"/usr/bin/ld", false}, Case{"/opt/ld-tools/RestoreQz", false}})
        EXPECT_EQ(port::isDynamicLoaderPath(c.exe), c.loader) << c.exe;

    struct Args {
        std::vector<std::string> argv;
        std::string program;
    };
    const Args args[] = {
        {{"ld-linux-x86-64.so.2", "/media/usb/RestoreQz"}, "/media/usb/RestoreQz"},
        {{"ld.so", "--library-path", "/x", "--inhibit-cache", "./RestoreQz", "--flag"},
         "./RestoreQz"},
        {{"ld.so", "--argv0", "RestoreQz", "/media/usb/RestoreQz"}, "/media/usb/RestoreQz"},
        {{"ld.so"}, ""},
        {{"ld.so", "--preload"}, ""},
    };
    for (const Args& a : args)
        EXPECT_EQ(port::programFromLoaderArguments(a.argv), a.program);
}

TEST(ProgramPathLoader, OwnPathOfThisProcessIsReadable) {
    // This test binary is not on a lettered drive: its native path.
    const std::u16string path = port::moduleFileName();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), u'/');
    EXPECT_NE(path.find(u"restore_tests"), std::u16string::npos);
}

}  // namespace
}  // namespace nork::restore::test
