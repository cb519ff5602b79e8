// The restore program's log: which per-user switches let which levels
// through, the line format's tokens, and calls before initialisation.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Registry.h"
#include "restore/QzLog.h"
#include "unit/RuntimeTestSupport.h"

namespace nork::restore {
namespace {

class QzLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = nork::testing::freshTestDir();
        hive_.emplace("QZ_HKCU_HIVE", (dir_ / "hkcu.reg").string());
        QzLog::instance().resetForTest();
    }
    void TearDown() override { QzLog::instance().resetForTest(); }

    static void setSwitch(const char16_t* name, std::uint32_t value) {
        CRegistry registry;
        ASSERT_TRUE(registry.create(CRegistry::ROOT_CURRENT_USER, u"SOFTWARE\\NORK\\SDK"));
        ASSERT_TRUE(registry.writeDword(name, value));
        registry.close();
    }

    std::filesystem::path dir_;
    std::optional<nork::testing::ScopedEnv> hive_;
};

TEST_F(QzLogTest, SwitchesDecideTheLevels) {
    struct Case {
        const char* name;
        std::vector<std::pair<const char16_t*, std::uint32_t>> switches;
        std::uint32_t mask;
        bool enabled;
    } cases[] = {
        {"none", {}, QZLOG_ERROR, false},
        {"JxLogger", {{u"JxLogger", 1}}, 15, true},
        {"SupportLog", {{u"SupportLog", 1}}, QZLOG_ERROR | QZLOG_DEVELOPER | QZLOG_SUPPORT, true},
        {"DevLog", {{u"DevLog", 1}}, QZLOG_ERROR | QZLOG_DEVELOPER, true},
        {"JxLogger 2 is absent",
         {{u"JxLogger", 2}, {u"DevLog", 1}},
         QZLOG_ERROR | QZLOG_DEVELOPER,
         true},
        {"all zero", {{u"JxLogger", 0}, {u"SupportLog", 0}, {u"DevLog", 0}}, QZLOG_ERROR, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir_ / "hkcu.reg");
        QzLog::instance().resetForTest();
        for (auto& [name, value] : c.switches)
            setSwitch(name, value);
        QzLog::instance().init(u"RestoreQz");
        EXPECT_EQ(QzLog::instance().levelMask(), c.mask);
        EXPECT_EQ(QzLog::instance().enabled(), c.enabled);
    }
}

TEST_F(QzLogTest, DebugLinesOnlyWithJxLoggerAndSupportLinesWithSupportLog) {
    setSwitch(u"SupportLog", 1);
    QzLog::instance().init(u"RestoreQz");
    QZLOG("Init Restore");
    QzLog::instance().log(QZLOG_SUPPORT, "support %d", 7);
    auto lines = QzLog::instance().memoryLines();
    ASSERT_EQ(lines.size(), 1u) << "level 8 is dropped without JxLogger";
    EXPECT_NE(lines[0].find(u"]: support 7"), std::u16string::npos);
    EXPECT_EQ(lines[0].rfind(u"[RestoreQz][", 0), 0u);
}

TEST_F(QzLogTest, CallsBeforeInitWriteNothingAndLeaveItUsable) {
    setSwitch(u"JxLogger", 1);
    QZLOG("too early");
    EXPECT_TRUE(QzLog::instance().memoryLines().empty());
    QzLog::instance().init(u"RestoreQz");
    QZLOG("CRestoreQzDlg - Init ADAPI\n");
    auto lines = QzLog::instance().memoryLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(u"Init ADAPI"), std::u16string::npos);
}

TEST(QzLogFormat, TokensOfTheLineFormat) {
    QzLogRecord record;
    record.day = 9;
    record.month = 12;
    record.year = 2026;
    record.hour = 1;
    record.minute = 44;
    record.second = 2;
    record.millisecond = 123;
    record.thread = 5678;
    record.level = QZLOG_SUPPORT;
    record.message = u"Init Restore";
    const std::map<std::uint32_t, std::u16string> names{{4, u"SUPPORT"}};
    struct Case {
        const char16_t* format;
        const char16_t* expected;
    } cases[] = {
        {u"[%A][%T][TID:%t]: %M", u"[RestoreQz][09/12/2026 01:44:02.123][TID:5678]: Init Restore"},
        {u"%Q and %P at %L in %N", u"%Q and SUPPORT at 28 in .\\QzLog"},
        {u"ends in %", u"ends in %"},
        {u"%%M", u"%%M"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(QzLog::expand(c.format, record, u"RestoreQz", names), c.expected);
}

TEST_F(QzLogTest, ConcurrentCallsGiveWholeLines) {
    setSwitch(u"JxLogger", 1);
    QzLog::instance().init(u"RestoreQz");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i)
                QZLOG("thread %d line %d", t, i);
        });
    for (auto& th : threads)
        th.join();
    auto lines = QzLog::instance().memoryLines();
    ASSERT_EQ(lines.size(), 200u);
    for (const auto& line : lines)
        EXPECT_NE(line.find(u"]: thread "), std::u16string::npos);
}

}  // namespace
}  // namespace nork::restore
