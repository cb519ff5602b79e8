// The introduction program's file log: macro expansion, the echo switch,
// rotation past the size limit, and writers sharing one file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Registry.h"
#include "introduction/IntroLog.h"
#include "port/System.h"
#include "port/Utf.h"
#include "unit/RuntimeTestSupport.h"

namespace nork::introduction {
namespace {

class IntroLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = nork::testing::freshTestDir();
        hive_.emplace("QZ_HKCU_HIVE", (dir_ / "hkcu.reg").string());
    }

    static void setSwitch(const char16_t* name, std::uint32_t value) {
        CRegistry registry;
        ASSERT_TRUE(registry.create(CRegistry::ROOT_CURRENT_USER, u"SOFTWARE\\NORK\\SDK"));
        ASSERT_TRUE(registry.writeDword(name, value));
        registry.close();
    }

    // A logger writing intro.log in the test directory.
    void configure(CIntroLog& log, const std::u16string& lineTemplate) const {
        log.setDirectory(port::utf::toUtf16(dir_.string()));
        log.setFileName(u"intro.log");
        log.setLineTemplate(lineTemplate);
        log.setLockDir(dir_.string());
        log.setEnabled(true);
    }

    std::string readFile(const std::string& name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::filesystem::path dir_;
    std::optional<nork::testing::ScopedEnv> hive_;
};

TEST_F(IntroLogTest, EchoFollowsJxLoggerOnly) {
    struct Case {
        const char* name;
        const char16_t* value;  // nullptr: no value
        std::uint32_t data;
        bool echo;
    } cases[] = {
        {"absent", nullptr, 0, false},
        {"JxLogger 1", u"JxLogger", 1, true},
        {"JxLogger 2", u"JxLogger", 2, false},
        {"SupportLog 1 does not echo", u"SupportLog", 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir_ / "hkcu.reg");
        if (c.value)
            setSwitch(c.value, c.data);
        EXPECT_EQ(CIntroLog().echoToDebugger(), c.echo);
    }
}

TEST_F(IntroLogTest, DisabledByDefaultWritesNothing) {
    CIntroLog log;
    log.setDirectory(port::utf::toUtf16(dir_.string()));
    log.setFileName(u"intro.log");
    log.setLockDir(dir_.string());
    EXPECT_FALSE(log.enabled());
    EXPECT_FALSE(log.log(INTRO_ERROR, "nothing %d", 1));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "intro.log"));
}

TEST_F(IntroLogTest, MacrosAreExpandedEverywhere) {
    CIntroLog log;
    log.setLineTemplate(
        u"<$(LogLevel)> $(ErrorMessage) pid=$(ProcessID) $(ProcessID) err=$(LastError)");
    const std::u16string pid = port::utf::toUtf16(std::to_string(port::currentProcessId()));
    const struct {
        std::uint32_t level;
        const char16_t* name;
    } levels[] = {{INTRO_INFO, u"info"},
                  {INTRO_WARNING, u"warning"},
                  {INTRO_ERROR, u"error"},
                  {7, u"unknown"}};
    for (const auto& l : levels) {
        EXPECT_EQ(log.expand(l.level, 13, u"hello"),
                  u"<" + std::u16string(l.name) + u"> hello pid=" + pid + u" " + pid + u" err=13");
    }

    // Time and thread id have their fixed shapes; the program path is ours.
    log.setLineTemplate(u"$(DateTime)|$(ThreadID)|$(ExePath)");
    const std::string line = port::utf::toUtf8(log.expand(INTRO_INFO, 0, u""));
    const std::string tid = std::to_string(port::currentThreadId());
    ASSERT_GE(line.size(), 24u) << line;
    for (std::size_t i : {2u, 5u})
        EXPECT_EQ(line[i], '/') << line;
    EXPECT_EQ(line[10], ' ');
    EXPECT_EQ(line[19], '.');
    EXPECT_EQ(line.substr(23, tid.size() + 2), "|" + tid + "|") << line;
    EXPECT_NE(line.find("restore_tests"), std::string::npos) << line;
}

TEST_F(IntroLogTest, AppendsWithinTheLimitAndRotatesPastIt) {
    CIntroLog log;
    configure(log, u"[$(LogLevel)] $(ErrorMessage)\n");
    ASSERT_FALSE(log.log(INTRO_INFO, "first %s", std::u16string(u"line")));
    ASSERT_FALSE(log.log(INTRO_WARNING, "second"));
    EXPECT_EQ(readFile("intro.log"), "[info] first line\n[warning] second\n");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "intro.log.old"));

    // 600000 bytes is past the 524288-byte limit: kept as .old (replacing an
    // older copy), and the file starts over with the new line.
    const std::string big(600000, 'x');
    std::ofstream(dir_ / "intro.log", std::ios::binary) << big;
    std::ofstream(dir_ / "intro.log.old", std::ios::binary) << "stale";
    ASSERT_FALSE(log.log(INTRO_ERROR, "after rotation"));
    EXPECT_EQ(readFile("intro.log"), "[error] after rotation\n");
    EXPECT_EQ(readFile("intro.log.old"), big);

    // Exactly at the limit is still appended to.
    const std::string atLimit(CIntroLog::DEFAULT_SIZE_LIMIT, 'y');
    std::ofstream(dir_ / "intro.log", std::ios::binary) << atLimit;
    ASSERT_FALSE(log.log(INTRO_INFO, "z"));
    EXPECT_EQ(readFile("intro.log"), atLimit + "[info] z\n");
}

TEST_F(IntroLogTest, EchoedLinesReachTheDebuggerChannel) {
    setSwitch(u"JxLogger", 1);
    nork::testing::ScopedEnv channel("QZ_DEBUG_OUTPUT", (dir_ / "debug.txt").string());
    CIntroLog log;
    configure(log, u"$(ErrorMessage)\n");
    ASSERT_TRUE(log.echoToDebugger());
    ASSERT_FALSE(log.log(INTRO_INFO, "seen %d", 42));
    EXPECT_EQ(readFile("debug.txt"), "seen 42\n");
}

TEST_F(IntroLogTest, ConcurrentWritersEachLeaveOneWholeLine) {
    constexpr int kThreads = 8;
    constexpr int kLines = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            // One logger each, as separate processes would have.
            CIntroLog log;
            configure(log, u"$(ErrorMessage)\n");
            for (int i = 0; i < kLines; ++i)
                EXPECT_FALSE(
                    log.log(INTRO_INFO, "writer %d line %d %s", t, i, std::u16string(40, u'-')));
        });
    }
    for (auto& th : threads)
        th.join();
    std::istringstream in(readFile("intro.log"));
    std::set<std::string> seen;
    std::string line;
    while (std::getline(in, line)) {
        EXPECT_EQ(line.substr(line.size() - 40), std::string(40, '-')) << line;
        EXPECT_TRUE(seen.insert(line).second) << "twice: " << line;
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

}  // namespace
}  // namespace nork::introduction
