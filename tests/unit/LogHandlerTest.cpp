#include "LogHandler.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "LogCapture.h"
#include "LogMessage.h"
#include "LogOutputDebugout.h"
#include "LogOutputStream.h"
#include "RuntimeTestSupport.h"
#include "WideStream.h"
#include "port/System.h"

namespace nork {
namespace {

using nork::testing::freshTestDir;
using nork::testing::readFile;

using CaptureOutput = nork::testing::LogCapture;

std::u16string widen(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

std::time_t localTimeOf(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

CLogMessage message(std::uint32_t level, const char* text, std::uint32_t threadId = 1234,
                    std::time_t when = localTimeOf(2007, 3, 9, 14, 5, 9)) {
    CLogMessage m(when, 77, threadId, ENOENT, "./source/SDK.cpp");
    m.format(level, "%s", {text});
    return m;
}

TEST(LogHandlerLine, PlaceholdersOfTheLineFormat) {
    const std::u16string pid = widen(std::to_string(port::currentProcessId()));
    struct Case {
        const char* format;
        std::u16string expected;
    } cases[] = {
        {"[NORK] [%t][%T]: %M", u"[NORK] [1234][14:05:09]: abc"},
        {CLogHandler::INITIAL_LINE_FORMAT, u"[" + pid + u":1234] | abc"},
        {"%D", u"Mar  9 2007"},
        {"%L|%N|%P", u"77|./source/SDK.cpp|WARNING"},
        {"%m", u"No such file or directory"},
        {"%p", pid},
        {"a %Q b", u"a %Q b"},
        {"%%M", u"%abc"},
        {"100% %5 %", u"100% %5 %"},
        {"caf\xC3\xA9 %M", u"caf\u00e9 abc"},
        {"", u""},
    };
    for (const auto& c : cases) {
        CLogHandler handler;
        handler.setLineFormat(c.format);
        EXPECT_EQ(handler.formatLine(message(LOG_WARNING, "abc")), c.expected) << c.format;
    }
    CLogHandler handler;
    handler.setLineFormat("%D");
    EXPECT_EQ(handler.formatLine(message(LOG_INFO, "", 1, localTimeOf(2008, 12, 25, 0, 0, 0))),
              u"Dec 25 2008");
}

TEST(LogHandlerLine, LimitsOfFormatAndLine) {
    CLogHandler handler;
    handler.setLineFormat("%M");
    handler.setLineFormat(nullptr);  // ignored
    EXPECT_EQ(handler.lineFormat(), "%M");
    handler.setLineFormat(std::string(300, 'x').c_str());
    EXPECT_EQ(handler.lineFormat().size(), CLogHandler::MAX_LINE_FORMAT_CHARS);

    // A message is cut to 4095 characters, a line to 8191.
    std::string big(5000, 'a');
    CLogMessage m(0, 1, 1, 0, "f");
    m.format(LOG_INFO, "%s", {big});
    EXPECT_EQ(m.text().size(), CLogMessage::MAX_TEXT_CHARS);
    handler.setLineFormat("%M%M%M");
    EXPECT_EQ(handler.formatLine(m).size(), CLogHandler::LINE_BUFFER_CHARS - 1);
    CLogMessage longFile(0, 1, 1, 0, std::string(300, 'f').c_str());
    EXPECT_EQ(longFile.file().size(), CLogMessage::MAX_FILE_CHARS);
    EXPECT_EQ(longFile.level(), static_cast<std::uint32_t>(LOG_DEBUG));  // until formatted
}

TEST(LogHandlerLine, LevelNames) {
    const char* names[] = {"TRACE",   "DEBUG", "INFO",     "NOTICE", "WARNING",
                           "STARTUP", "ERROR", "CRITICAL", "ALERT",  "EMERGENCY"};
    for (std::uint32_t bit = 0; bit < 10; ++bit) {
        EXPECT_STREQ(CLogHandler::levelName(1u << bit), names[bit]);
    }
    EXPECT_STREQ(CLogHandler::levelName(3), "");
    EXPECT_STREQ(CLogHandler::levelName(1024), "");
}

TEST(LogHandlerRouting, MaskSubscriptionsAndNames) {
    CLogHandler handler;
    handler.setLineFormat("%M");
    auto errors = std::make_shared<CaptureOutput>();
    auto all = std::make_shared<CaptureOutput>();
    auto intruder = std::make_shared<CaptureOutput>();
    ASSERT_TRUE(handler.registerOutput("errors", errors, LOG_ERROR | LOG_CRITICAL));
    ASSERT_TRUE(handler.registerOutput("all", all, LOG_ALL_LEVELS));
    EXPECT_FALSE(handler.registerOutput("all", intruder, LOG_ALL_LEVELS));  // first wins
    EXPECT_FALSE(handler.registerOutput("null", nullptr, LOG_ALL_LEVELS));
    EXPECT_EQ(handler.output("all"), all);
    EXPECT_EQ(handler.output("none"), nullptr);

    EXPECT_EQ(handler.levels(), 0xFFFFFFFFu);  // a fresh handler passes everything
    handler.clearLevels(0xFFFFFFFFu);
    handler.setLevels(LOG_ERROR);
    handler.setLevels(LOG_INFO);  // ORs
    EXPECT_EQ(handler.levels(), static_cast<std::uint32_t>(LOG_ERROR | LOG_INFO));

    handler.log(message(LOG_TRACE, "trace"));  // masked
    handler.log(message(LOG_INFO, "info"));
    handler.log(message(LOG_ERROR, "error"));
    handler.clearLevels(LOG_ERROR);
    handler.log(message(LOG_ERROR, "masked error"));

    EXPECT_EQ(errors->lines(), std::vector<std::u16string>{u"error"});
    EXPECT_EQ(all->lines(), (std::vector<std::u16string>{u"info", u"error"}));
    EXPECT_EQ(all->levels(), (std::vector<std::uint32_t>{LOG_INFO, LOG_ERROR}));
    EXPECT_TRUE(intruder->lines().empty());
}

TEST(LogHandlerRouting, OutputsRunInSubscriptionOrder) {
    CLogHandler handler;
    std::vector<int> order;
    struct Ordered : CLogOutputDevice {
        Ordered(std::vector<int>& o, int i) : out(o), id(i) {}
        void write(std::uint32_t, const std::u16string&) override { out.push_back(id); }
        std::vector<int>& out;
        int id;
    };
    for (int i : {3, 1, 2}) {
        handler.registerOutput("o" + std::to_string(i), std::make_shared<Ordered>(order, i),
                               LOG_INFO);
    }
    handler.log(message(LOG_INFO, "x"));
    EXPECT_EQ(order, (std::vector<int>{3, 1, 2}));
}

TEST(LogOutputStreamTest, WritesLinesAndSkipsAFailedStream) {
    std::basic_ostringstream<char16_t> wide;
    CLogOutputStream out(&wide);
    out.write(LOG_INFO, u"one");
    out.write(LOG_INFO, u"t\u00e9o");
    EXPECT_EQ(wide.str(), u"one\nt\u00e9o\n");

    wide.setstate(std::ios::badbit);
    out.write(LOG_INFO, u"lost");
    wide.clear();
    EXPECT_EQ(wide.str(), u"one\nt\u00e9o\n");

    // A stream that throws on failure does not throw through the output.
    struct FailingBuffer : std::basic_streambuf<char16_t> {
        int_type overflow(int_type) override { return traits_type::eof(); }
    } failing;
    std::basic_ostream<char16_t> throwing(&failing);
    throwing.exceptions(std::ios::badbit | std::ios::failbit);
    CLogOutputStream broken(&throwing);
    EXPECT_NO_THROW(broken.write(LOG_INFO, u"x"));
    CLogOutputStream none(nullptr);
    EXPECT_NO_THROW(none.write(LOG_INFO, u"x"));
}

TEST(LogOutputDebugoutTest, FollowsTheDebugChannelSetting) {
    auto dir = freshTestDir();
    std::string file = (dir / "debug.txt").string();
    CLogOutputDebugout out;
    {
        nork::testing::ScopedEnv unset("QZ_DEBUG_OUTPUT", nullptr);
        out.write(LOG_INFO, u"discarded");
    }
    {
        nork::testing::ScopedEnv debug("QZ_DEBUG_OUTPUT", file);
        out.write(LOG_INFO, u"caf\u00e9");
        out.write(LOG_INFO, u"two");
    }
    EXPECT_EQ(readFile(file), "caf\xC3\xA9\ntwo\n");
}

TEST(WideStreamTest, WritesUtf8ToTheNarrowStream) {
    std::ostringstream narrow;
    CUtf8WideStream wide(narrow);
    const std::u16string text = u"a\u00e9\u4e2d";
    wide.write(text.data(), static_cast<std::streamsize>(text.size()));
    const char16_t pair[] = {0xD83D, 0xDE00};
    wide.put(pair[0]);  // a pair split over two calls is joined
    wide.put(pair[1]);
    const char16_t lone[] = {0xDC00, u'x', 0xD800, u'y'};
    wide.write(lone, 4);
    wide.flush();
    EXPECT_TRUE(wide.good());
    EXPECT_EQ(narrow.str(), "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xEF\xBF\xBDx\xEF\xBF\xBDy");

    // As the SDK's log stream.
    std::ostringstream sink;
    CUtf8WideStream logStream(sink);
    CLogOutputStream out(&logStream);
    out.write(LOG_ERROR, u"line \u00e9");
    EXPECT_EQ(sink.str(), "line \xC3\xA9\n");
}

// Lines from many threads reach an output whole, one per line.
TEST(LogOutputConcurrency, LinesFromThreadsNeverInterleave) {
    constexpr int kThreads = 8;
    constexpr int kLines = 300;
    auto dir = freshTestDir();
    std::string debugFile = (dir / "debug.txt").string();
    std::optional<nork::testing::ScopedEnv> debug;
    debug.emplace("QZ_DEBUG_OUTPUT", debugFile);

    std::ostringstream sink;
    CUtf8WideStream wide(sink);
    CLogHandler handler;
    handler.setLineFormat("%t:%M");
    handler.registerOutput("stream", std::make_shared<CLogOutputStream>(&wide), LOG_ALL_LEVELS);
    handler.registerOutput("debug", std::make_shared<CLogOutputDebugout>(), LOG_ALL_LEVELS);

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&handler, t] {
            std::string payload(40, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) {
                CLogMessage m(0, i, static_cast<std::uint32_t>(t), 0, "f");
                m.format(LOG_INFO, "%d-%s", {i, payload});
                handler.log(m);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    debug.reset();

    for (const std::string& text : {sink.str(), readFile(debugFile)}) {
        std::istringstream in(text);
        std::string line;
        std::set<std::string> seen;
        while (std::getline(in, line)) {
            auto colon = line.find(':');
            auto dash = line.find('-');
            ASSERT_TRUE(colon != std::string::npos && dash != std::string::npos) << line;
            int t = std::stoi(line.substr(0, colon));
            ASSERT_EQ(line.substr(dash + 1), std::string(40, static_cast<char>('a' + t))) << line;
            seen.insert(line.substr(0, dash));
        }
        EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
    }
}

// The process-wide handler behind NORK_LOG and zyk_assert.
TEST(LogMacros, RecordWhereAndWhoAndAssertionsContinue) {
    auto capture = CaptureOutput::onProcessLog("LogMacros");
    CLogHandler& handler = CLogHandler::instance();
    handler.setLevels(LOG_ALL_LEVELS);
    handler.setLineFormat("%P|%t|%m|%N:%L|%M");

    errno = ENOENT;
    NORK_LOG(LOG_ERROR, "CFoo::bar - failed with %s, code %d", u"Device is gone", 200);
    const int logLine = __LINE__ - 1;

    bool continued = false;
    zyk_assert(1 + 1 == 3, "1 + 1 == 3");
    const int assertLine = __LINE__ - 1;
    zyk_assert(1 + 1 == 2, "1 + 1 == 2");  // holds: nothing logged
    continued = true;
    EXPECT_TRUE(continued);

    auto lines = capture->lines();
    ASSERT_EQ(lines.size(), 2u);
    const std::u16string tid = widen(std::to_string(port::currentThreadId()));
    const std::u16string file = widen(__FILE__);
    EXPECT_EQ(lines[0], u"ERROR|" + tid + u"|No such file or directory|" + file + u":" +
                            widen(std::to_string(logLine)) +
                            u"|CFoo::bar - failed with Device is gone, code 200");
    std::u16string assertText =
        u"zyk_assert --- [1 + 1 == 3] (" + file + u":" + widen(std::to_string(assertLine)) + u")";
    EXPECT_EQ(lines[1].substr(0, 6), u"ALERT|");
    EXPECT_EQ(lines[1].substr(lines[1].size() - assertText.size()), assertText);
}

}  // namespace
}  // namespace nork
