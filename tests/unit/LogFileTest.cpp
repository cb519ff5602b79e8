#include "LogOutputFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RuntimeTestSupport.h"
#include "port/System.h"

namespace nork {
namespace {

using nork::testing::freshTestDir;
using nork::testing::readFile;
using nork::testing::writeFile;
namespace fs = std::filesystem;

std::time_t march9At080503() {
    std::tm t{};
    t.tm_year = 2007 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 9;
    t.tm_hour = 8;
    t.tm_min = 5;
    t.tm_sec = 3;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

std::map<std::string, std::string> filesIn(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(dir)) {
        files[e.path().filename().string()] = readFile(e.path());
    }
    return files;
}

std::u16string u16(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// Runs each body in a forked copy of this process, all at once, and waits
// for them; every one must end with 0.
void runInChildren(const std::vector<std::function<int()>>& bodies) {
    std::vector<std::int64_t> pids;
    for (const auto& body : bodies) {
        std::int64_t pid = 0;
        ASSERT_FALSE(port::startChildProcess(body, false, pid));
        pids.push_back(pid);
    }
    for (std::int64_t pid : pids) {
        int code = -1;
        ASSERT_FALSE(port::waitChildProcess(pid, code));
        EXPECT_EQ(code, 0);
    }
}

TEST(LogFileName, PatternPlaceholders) {
    port::LocalTime t;
    t.year = 2007;
    t.month = 3;
    t.day = 9;
    t.hour = 8;
    t.minute = 5;
    t.second = 3;
    t.dayOfYear = 67;
    t.dayOfWeek = 5;
    struct Case {
        const char* pattern;
        int sequence;
        std::string expected;
        int sequenceAfter;
    } cases[] = {
        {CLogOutputFile::DEFAULT_PATTERN, 0, "9-3-2007--853--0.log", 1},
        {CLogOutputFile::DEFAULT_PATTERN, 12, "9-3-2007--853--12.log", 13},
        {"%o_%w", 0, "67_5", 0},
        {"%g%g", 4, "45", 6},
        {"%x%%%Q", 0, "%x%%%Q", 0},
        {"end%", 0, "end%", 0},
        {"", 0, "", 0},
    };
    for (const auto& c : cases) {
        int sequence = c.sequence;
        EXPECT_EQ(CLogOutputFile::expandPattern(c.pattern, t, sequence), c.expected) << c.pattern;
        EXPECT_EQ(sequence, c.sequenceAfter) << c.pattern;
    }
}

TEST(LogFileOutput, FirstFileOfARunIsNamedByItsStartTime) {
    auto dir = freshTestDir();
    CLogOutputFile out;
    EXPECT_EQ(out.directory(), "./");
    out.setDirectory(dir.string());
    EXPECT_EQ(out.directory(), dir.string() + "/");
    out.setDirectory("");  // ignored
    EXPECT_EQ(out.directory(), dir.string() + "/");
    out.setClock(&march9At080503);
    EXPECT_EQ(out.currentFilePath(), "");  // created on the first line

    out.write(4, u"first");
    out.write(4, u"caf\u00e9 \U0001F600");
    EXPECT_EQ(out.currentFilePath(), (dir / "9-3-2007--853--0.log").string());
    EXPECT_EQ(filesIn(dir),
              (std::map<std::string, std::string>{
                  {"9-3-2007--853--0.log", "first\ncaf\xC3\xA9 \xF0\x9F\x98\x80\n"}}));
}

TEST(LogFileOutput, RotationRules) {
    struct Case {
        const char* name;
        std::uint32_t lineLimit;
        std::uint32_t byteLimit;
        int maxFiles;
        bool rotation;
        int lines;
        std::map<std::string, std::string> expected;
    } cases[] = {
        {"defaults: one file", 0, 0, -1, true, 4, {{"f0", "L0\nL1\nL2\nL3\n"}}},
        {"line limit", 2, 0, -1, true, 5, {{"f0", "L0\nL1\n"}, {"f1", "L2\nL3\n"}, {"f2", "L4\n"}}},
        // Each "Ln" counts 4 bytes; the limit is checked before a line.
        {"byte limit", 0, 6, -1, true, 3, {{"f0", "L0\nL1\n"}, {"f1", "L2\n"}}},
        {"reuse oldest", 1, 0, 2, true, 5, {{"f3", "L3\n"}, {"f4", "L4\n"}}},
        {"rotation off", 1, 4, -1, false, 3, {{"f0", "L0\nL1\nL2\n"}}},
        {"no file allowed", 0, 0, 0, true, 2, {}},
    };
    for (const auto& c : cases) {
        auto dir = freshTestDir();
        {
            CLogOutputFile out;
            out.setDirectory(dir.string());
            out.setFilePattern("f%g");
            out.setLineLimit(c.lineLimit);
            out.setByteLimit(c.byteLimit);
            out.setMaxFiles(c.maxFiles);
            out.setRotation(c.rotation);
            for (int i = 0; i < c.lines; ++i) {
                std::string text = "L" + std::to_string(i);
                out.write(4, std::u16string(text.begin(), text.end()));
            }
        }
        EXPECT_EQ(filesIn(dir), c.expected) << c.name;
    }
}

TEST(LogFileOutput, UnopenableFileLosesTheLineOnly) {
    auto dir = freshTestDir();
    CLogOutputFile out;
    out.setFilePattern("f%g");
    out.setDirectory((dir / "missing" / "deeper").string());
    EXPECT_NO_THROW(out.write(4, u"lost"));
    EXPECT_EQ(out.currentFilePath(), "");
    out.setDirectory(dir.string());  // the next line tries a new file
    out.write(4, u"kept");
    EXPECT_EQ(filesIn(dir), (std::map<std::string, std::string>{{"f1", "kept\n"}}));
}

TEST(LogFileOutput, LinesFromThreadsNeverInterleave) {
    constexpr int kThreads = 6;
    constexpr int kLines = 300;
    auto dir = freshTestDir();
    CLogOutputFile out;
    out.setDirectory(dir.string());
    out.setFilePattern("f%g");
    out.setLineLimit(250);  // rotation under load too
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&out, t] {
            for (int i = 0; i < kLines; ++i) {
                std::string text = std::to_string(t) + "-" + std::to_string(i) + "-" +
                                   std::string(60, static_cast<char>('a' + t));
                out.write(4, std::u16string(text.begin(), text.end()));
            }
        });
    }
    for (auto& th : threads)
        th.join();
    std::set<std::string> seen;
    for (const auto& [name, text] : filesIn(dir)) {
        std::istringstream in(text);
        std::string line;
        int count = 0;
        while (std::getline(in, line)) {
            ++count;
            int t = line[0] - '0';
            ASSERT_EQ(line.substr(line.rfind('-') + 1), std::string(60, static_cast<char>('a' + t)))
                << line;
            seen.insert(line.substr(0, line.rfind('-')));
        }
        EXPECT_LE(count, 250) << name;
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

// Processes started in the same second build the same name, and an earlier
// run may have left a file of that name: each process gets a file of its
// own, holding its lines only, and the earlier file stays as it was.
TEST(LogFileOutput, ProcessesStartedInOneSecondEachGetAFileOfTheirOwn) {
    if (nork::testing::rerunAloneUnlessSingleThreaded())
        return;
    constexpr int kProcesses = 4;
    constexpr int kLines = 200;
    auto dir = freshTestDir();
    writeFile(dir / "9-3-2007--853--0.log", "earlier run\n");
    auto linesOf = [](int process) {
        std::string text;
        for (int i = 0; i < kLines; ++i)
            text += "process " + std::to_string(process) + " line " + std::to_string(i) + "\n";
        return text;
    };
    std::vector<std::function<int()>> bodies;
    for (int p = 0; p < kProcesses; ++p) {
        bodies.push_back([&dir, &linesOf, p] {
            CLogOutputFile out;
            out.setDirectory(dir.string());
            out.setClock(&march9At080503);
            std::istringstream lines(linesOf(p));
            std::string line;
            while (std::getline(lines, line))
                out.write(4, u16(line));
            return 0;
        });
    }
    runInChildren(bodies);

    std::map<std::string, std::string> files = filesIn(dir);
    EXPECT_EQ(files["9-3-2007--853--0.log"], "earlier run\n");
    files.erase("9-3-2007--853--0.log");
    std::set<std::string> names;
    std::set<int> writers;
    for (const auto& [name, text] : files) {
        names.insert(name);
        const int process = std::atoi(text.c_str() + std::string("process ").size());
        EXPECT_EQ(text, linesOf(process)) << name;
        writers.insert(process);
    }
    EXPECT_EQ(names, (std::set<std::string>{"9-3-2007--853--1.log", "9-3-2007--853--2.log",
                                            "9-3-2007--853--3.log", "9-3-2007--853--4.log"}));
    EXPECT_EQ(writers.size(), static_cast<std::size_t>(kProcesses));
}

// A child forked after its parent opened the file shares the descriptor:
// it must start a file of its own rather than write into the parent's.
TEST(LogFileOutput, AForkedChildNeverWritesIntoItsParentsFile) {
    if (nork::testing::rerunAloneUnlessSingleThreaded())
        return;
    auto dir = freshTestDir();
    CLogOutputFile out;
    out.setDirectory(dir.string());
    out.setFilePattern("f%g");
    out.write(4, u"parent before");
    runInChildren({[&out] {
        out.write(4, u"child");
        return 0;
    }});
    out.write(4, u"parent after");
    EXPECT_EQ(filesIn(dir), (std::map<std::string, std::string>{
                                {"f0", "parent before\nparent after\n"}, {"f1", "child\n"}}));
}

// A name that stays taken: a pattern without a sequence number has no other
// name, and the line is lost; the file found there is left alone.
TEST(LogFileOutput, ATakenNameIsNeverOpenedOver) {
    auto dir = freshTestDir();
    writeFile(dir / "fixed.log", "someone else's\n");
    CLogOutputFile out;
    out.setDirectory(dir.string());
    out.setFilePattern("fixed.log");
    EXPECT_NO_THROW(out.write(4, u"lost"));
    EXPECT_EQ(out.currentFilePath(), "");
    EXPECT_EQ(filesIn(dir),
              (std::map<std::string, std::string>{{"fixed.log", "someone else's\n"}}));
}

}  // namespace
}  // namespace nork
