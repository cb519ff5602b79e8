#include "port/System.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <thread>

#include "RuntimeTestSupport.h"

namespace nork::port {
namespace {

using nork::testing::freshTestDir;
namespace fs = std::filesystem;

TEST(PortSystem, LongPathNameNeedsAnExistingPath) {
    auto dir = freshTestDir();
    fs::create_directories(dir / "a" / "b");
    std::string out = "unchanged";
    ASSERT_FALSE(longPathName((dir / "a" / "." / "b" / "..").string(), out));
    EXPECT_EQ(out, fs::canonical(dir / "a").string());

    out = "unchanged";
    EXPECT_EQ(longPathName((dir / "missing").string(), out).code, PortErrc::NotFound);
    EXPECT_EQ(longPathName("", out).code, PortErrc::InvalidArgument);
    EXPECT_EQ(out, "unchanged");
}

TEST(PortSystem, LocalTimeFields) {
    std::tm t{};
    t.tm_year = 2007 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 9;
    t.tm_hour = 8;
    t.tm_min = 5;
    t.tm_sec = 3;
    t.tm_isdst = -1;
    LocalTime lt;
    ASSERT_FALSE(localTime(std::mktime(&t), lt));
    EXPECT_EQ(lt.year, 2007);
    EXPECT_EQ(lt.month, 3);
    EXPECT_EQ(lt.day, 9);
    EXPECT_EQ(lt.hour, 8);
    EXPECT_EQ(lt.minute, 5);
    EXPECT_EQ(lt.second, 3);
    EXPECT_EQ(lt.dayOfYear, 67);
    EXPECT_EQ(lt.dayOfWeek, 5);  // a Friday
}

TEST(PortSystem, ErrnoTextsAndIds) {
    EXPECT_EQ(errnoText(ENOENT), "No such file or directory");
    EXPECT_FALSE(errnoText(99999).empty());
    std::uint32_t other = 0;
    std::thread([&] { other = currentThreadId(); }).join();
    EXPECT_NE(other, currentThreadId());
    EXPECT_NE(currentProcessId(), 0u);
}

TEST(PortSystem, CreateDirectoriesAndChildProcesses) {
    if (nork::testing::rerunAloneUnlessSingleThreaded())
        return;
    auto dir = freshTestDir();
    EXPECT_FALSE(createDirectories((dir / "x" / "y" / "z").string()));
    EXPECT_TRUE(fs::is_directory(dir / "x" / "y" / "z"));
    EXPECT_FALSE(createDirectories((dir / "x").string()));  // exists: fine

    std::int64_t pid = 0;
    int code = -1;
    ASSERT_FALSE(startChildProcess([] { return 7; }, false, pid));
    ASSERT_FALSE(waitChildProcess(pid, code));
    EXPECT_EQ(code, 7);
    ASSERT_FALSE(startChildProcess(
        []() -> int {
            std::raise(SIGKILL);
            return 0;
        },
        false, pid));
    ASSERT_FALSE(waitChildProcess(pid, code));
    EXPECT_EQ(code, 128 + SIGKILL);
}

}  // namespace
}  // namespace nork::port
