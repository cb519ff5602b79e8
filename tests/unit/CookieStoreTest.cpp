// The cookie store on a hidden area kept in memory: each kind set, read,
// overwritten and removed, where entries land in the chunk stream, the
// refusals, the dumps, the lock, the public handle and the registration.
// After every operation the area must still pass the consistency checker.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CookieImpl.h"
#include "HATestSupport.h"
#include "HIDHandleMgr.h"
#include "RuntimeTestSupport.h"
#include "UFD.h"
#include "UFDImpl.h"
#include "port/NamedMutex.h"
#include "qz/Cookie.h"
#include "qz/CookieImplQz.h"
#include "qz/QzServices.h"

namespace nork {
namespace {

using test::blankPages;
using test::CHAMemoryUtils;
using test::checkHAArea;
using test::HAChunkSeen;
using test::HAPages;

// A cookie store over an area in memory.
class Cookies : public ::testing::Test {
  protected:
    void SetUp() override { make(250, 2); }

    void make(std::size_t count, int version) {
        CHIDHandleMgr::instance().setLockDirectory(testing::freshTestDir().string());
        pages = blankPages(count);
        device = std::make_unique<CUFDImpl>();
        device->setSerialNumber(u"CK00TEST00000001");
        device->setDeviceState(STATUS_OK);
        store = std::make_unique<qz::CCookieImplQzV2>();
        auto owned = std::make_unique<CHAMemoryUtils>(pages, version);
        utils = owned.get();
        store->attach(device.get(), std::move(owned));
    }

    // The area's chunks; fails the test when the area is inconsistent.
    std::vector<HAChunkSeen> chunks() {
        const auto r = checkHAArea(pages);
        EXPECT_TRUE(r.ok()) << r.error;
        return r.chunks;
    }
    void expectConsistent() {
        const auto r = checkHAArea(pages);
        EXPECT_TRUE(r.ok()) << r.error;
    }

    std::string getString(const char* section, const char* key, STATUS& st) {
        char buffer[8192];
        std::uint32_t size = sizeof buffer;
        st = store->getString(section, key, buffer, size);
        return st == STATUS_OK ? std::string(buffer) : std::string();
    }
    std::vector<std::uint8_t> getBinary(const char* section, const char* key, STATUS& st) {
        std::vector<std::uint8_t> buffer(8192);
        std::uint32_t size = static_cast<std::uint32_t>(buffer.size());
        st = store->getBinary(section, key, buffer.data(), size);
        buffer.resize(st == STATUS_OK ? size : 0);
        return buffer;
    }

    HAPages pages;
    std::unique_ptr<CUFDImpl> device;
    std::unique_ptr<CCookieImpl> store;
    CHAMemoryUtils* utils = nullptr;
};

std::vector<std::uint8_t> bytes(std::size_t n, int seed) {
    std::vector<std::uint8_t> b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(seed + 7 * i);
    return b;
}

// ---- each kind ----

TEST_F(Cookies, EachKindIsSetReadOverwrittenAndRemoved) {
    // Values of each kind: first, then an overwrite of another size.
    const std::string longText(300, 'q');
    const auto blob = bytes(700, 3), small = bytes(5, 9);

    ASSERT_EQ(store->setInt("Jx App", "OptedOut", 1), STATUS_OK);
    ASSERT_EQ(store->setString("Jx App", "Name", "first"), STATUS_OK);
    ASSERT_EQ(store->setBinary("Blob", "Data", blob.data(), 700), STATUS_OK);
    expectConsistent();

    std::int32_t value = 0;
    STATUS st = STATUS_ERROR;
    EXPECT_EQ(store->getInt("Jx App", "OptedOut", value), STATUS_OK);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(getString("Jx App", "Name", st), "first");
    EXPECT_EQ(getBinary("Blob", "Data", st), blob);

    ASSERT_EQ(store->setInt("Jx App", "OptedOut", -5), STATUS_OK);
    ASSERT_EQ(store->setString("Jx App", "Name", longText.c_str()), STATUS_OK);
    ASSERT_EQ(store->setBinary("Blob", "Data", small.data(), 5), STATUS_OK);
    expectConsistent();
    EXPECT_EQ(store->getInt("Jx App", "OptedOut", value), STATUS_OK);
    EXPECT_EQ(value, -5);
    EXPECT_EQ(getString("Jx App", "Name", st), longText);
    EXPECT_EQ(getBinary("Blob", "Data", st), small);

    // Exactly three cookies are stored.
    int stored = 0;
    for (const auto& c : chunks())
        stored += c.type == 2;
    EXPECT_EQ(stored, 3);

    EXPECT_EQ(store->removeCookie("Jx App", "OptedOut"), STATUS_OK);
    EXPECT_EQ(store->getInt("Jx App", "OptedOut", value), STATUS_DATA_NOT_FOUND);
    EXPECT_EQ(getString("Jx App", "Name", st), longText);
    EXPECT_EQ(store->removeCookie("Blob", "Data"), STATUS_OK);
    getBinary("Blob", "Data", st);
    EXPECT_EQ(st, STATUS_DATA_NOT_FOUND);
    expectConsistent();
}

TEST_F(Cookies, EmptyAndMissingValuesAndNamesAreStored) {
    ASSERT_EQ(store->setString("S", "empty", ""), STATUS_OK);
    ASSERT_EQ(store->setString("S", "null", nullptr), STATUS_OK);
    ASSERT_EQ(store->setBinary("S", "none", nullptr, 0), STATUS_OK);
    ASSERT_EQ(store->setInt("S", nullptr, 7), STATUS_OK);
    STATUS st = STATUS_ERROR;
    EXPECT_EQ(getString("S", "empty", st), "");
    EXPECT_EQ(st, STATUS_OK);
    EXPECT_EQ(getString("S", "null", st), "");
    EXPECT_EQ(st, STATUS_OK);
    EXPECT_TRUE(getBinary("S", "none", st).empty());
    EXPECT_EQ(st, STATUS_OK);
    std::int32_t value = 0;
    EXPECT_EQ(store->getInt("S", "", value), STATUS_OK);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(store->setBinary("S", "bad", nullptr, 3), STATUS_WRONG_PARAMETERS);
    expectConsistent();
}

// ---- where entries land ----

TEST_F(Cookies, AnIntegerCookieTakesTwentyFiveBytesAndIsOverwrittenInPlace) {
    ASSERT_EQ(store->setInt("Jx App", "OptedOut", 1), STATUS_OK);
    auto c = chunks();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].type, 2u);
    EXPECT_EQ(c[0].size, 25u);
    EXPECT_EQ(c[1].size, 126492u - 25);

    // The entry's bytes on the page, as the drive keeps them.
    const std::uint8_t* at = pages[1].data() + 4;
    const std::uint8_t expected[] = {25,  0,   0,   0x20, 1,   'J', 'x', ' ', 'A', 'p', 'p', 0, 'O',
                                     'p', 't', 'e', 'd',  'O', 'u', 't', 0,   1,   0,   0,   0};
    EXPECT_EQ(std::memcmp(at, expected, sizeof expected), 0);

    ASSERT_EQ(store->setInt("Jx App", "OptedOut", 2), STATUS_OK);
    const auto again = chunks();
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[0].page, 1);
    EXPECT_EQ(again[0].offset, 0);
    EXPECT_EQ(at[21], 2);
}

// A string cookie "S"/"A" needs 10 + length bytes.
TEST_F(Cookies, AStringThatChangesSizeStaysOrMovesByTheFourByteRule) {
    struct Case {
        std::size_t before, after;
        bool inPlace;  // the entry keeps (1, 0)
    } cases[] = {
        {20, 20, true},   // same size: over the old one
        {20, 16, true},   // 4 shorter: split, a free chunk of 4 behind
        {20, 10, true},   // much shorter: split
        {20, 17, false},  // 3 shorter: moves, the old chunk freed
        {20, 19, false},  // 1 shorter: moves
        {20, 21, false},  // longer: moves
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.before) + " -> " + std::to_string(c.after));
        make(250, 2);
        ASSERT_EQ(store->setString("S", "A", std::string(c.before, 'a').c_str()), STATUS_OK);
        ASSERT_EQ(store->setString("S", "B", "behind"), STATUS_OK);
        ASSERT_EQ(store->setString("S", "A", std::string(c.after, 'b').c_str()), STATUS_OK);
        const auto seen = chunks();
        ASSERT_GE(seen.size(), 3u);
        if (c.inPlace) {
            EXPECT_EQ(seen[0].type, 2u);
            EXPECT_EQ(seen[0].size, 10 + c.after);
            if (c.after != c.before) {
                EXPECT_EQ(seen[1].type, 1u);
                EXPECT_EQ(seen[1].size, c.before - c.after);
            }
        } else {
            EXPECT_EQ(seen[0].type, 1u);
            EXPECT_EQ(seen[0].size, 10 + c.before);
        }
        STATUS st = STATUS_ERROR;
        EXPECT_EQ(getString("S", "A", st), std::string(c.after, 'b'));
        EXPECT_EQ(getString("S", "B", st), "behind");
    }
}

// A 37-byte cookie goes into a free chunk of 37 or 41 bytes, not of 39
// (which would leave a rest too small for a chunk header).
TEST_F(Cookies, ANewCookieFitsAFreeChunkOfExactlyItsSizeOrFourMore) {
    struct Case {
        std::size_t hole;
        bool fits;
    } cases[] = {{37, true}, {39, false}, {41, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE("hole " + std::to_string(c.hole));
        make(250, 2);
        ASSERT_EQ(store->setString("S", "A", std::string(c.hole - 10, 'a').c_str()), STATUS_OK);
        ASSERT_EQ(store->setString("S", "B", "x"), STATUS_OK);
        ASSERT_EQ(store->removeCookie("S", "A"), STATUS_OK);
        ASSERT_EQ(chunks()[0].type, 1u);
        ASSERT_EQ(store->setString("S", "C", std::string(27, 'c').c_str()), STATUS_OK);
        const auto seen = chunks();
        if (c.fits) {
            EXPECT_EQ(seen[0].type, 2u);
            EXPECT_EQ(seen[0].size, 37u);
            if (c.hole == 41) {
                EXPECT_EQ(seen[1].type, 1u);
                EXPECT_EQ(seen[1].size, 4u);
            }
        } else {
            EXPECT_EQ(seen[0].type, 1u);
            EXPECT_EQ(seen[0].size, 39u);
        }
        STATUS st = STATUS_ERROR;
        EXPECT_EQ(getString("S", "C", st), std::string(27, 'c'));
    }
}

TEST_F(Cookies, FreedNeighboursMergeIntoOneChunk) {
    for (const char* key : {"a", "b", "c"})
        ASSERT_EQ(store->setInt("S", key, 1), STATUS_OK);
    ASSERT_EQ(store->removeSection("S"), STATUS_OK);
    const auto seen = chunks();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].type, 1u);
    std::uint64_t free = 0;
    EXPECT_EQ(store->getFreeSpace(free), STATUS_OK);
    EXPECT_EQ(free, 126492u);
}

// ---- kinds, sections and matching ----

TEST_F(Cookies, KindsAreSeparateCookiesAndSectionsAreRemovedWhole) {
    ASSERT_EQ(store->setString("Jx App", "OptedOut", "yes"), STATUS_OK);
    std::int32_t value = 0;
    EXPECT_EQ(store->getInt("Jx App", "OptedOut", value), STATUS_DATA_NOT_FOUND);
    ASSERT_EQ(store->setInt("Jx App", "OptedOut", 1), STATUS_OK);
    EXPECT_EQ(store->getInt("Jx App", "OptedOut", value), STATUS_OK);
    // Names compare byte for byte.
    EXPECT_EQ(store->getInt("jx app", "OptedOut", value), STATUS_DATA_NOT_FOUND);

    const auto blob = bytes(10, 1);
    ASSERT_EQ(store->setBinary("Jx App", "Blob", blob.data(), 10), STATUS_OK);
    ASSERT_EQ(store->setInt("Other", "OptedOut", 3), STATUS_OK);

    // removeCookie takes every kind of the names.
    EXPECT_EQ(store->removeCookie("Jx App", "OptedOut"), STATUS_OK);
    STATUS st = STATUS_ERROR;
    getString("Jx App", "OptedOut", st);
    EXPECT_EQ(st, STATUS_DATA_NOT_FOUND);
    EXPECT_EQ(store->getInt("Jx App", "OptedOut", value), STATUS_DATA_NOT_FOUND);

    ASSERT_EQ(store->setString("Jx App", "Name", "n"), STATUS_OK);
    EXPECT_EQ(store->removeSection("Jx App"), STATUS_OK);
    EXPECT_EQ(store->removeSection("Jx App"), STATUS_DATA_NOT_FOUND);
    getBinary("Jx App", "Blob", st);
    EXPECT_EQ(st, STATUS_DATA_NOT_FOUND);
    EXPECT_EQ(store->getInt("Other", "OptedOut", value), STATUS_OK);
    EXPECT_EQ(value, 3);
    expectConsistent();
}

// ---- refusals ----

TEST_F(Cookies, SmallBuffersGetTheNeededSize) {
    ASSERT_EQ(store->setString("S", "str", "hello"), STATUS_OK);
    const auto blob = bytes(40, 2);
    ASSERT_EQ(store->setBinary("S", "bin", blob.data(), 40), STATUS_OK);

    char text[6];
    std::uint32_t size = 5;
    EXPECT_EQ(store->getString("S", "str", text, size), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 6u);
    size = 6;
    EXPECT_EQ(store->getString("S", "str", text, size), STATUS_OK);
    EXPECT_STREQ(text, "hello");

    std::vector<std::uint8_t> out(40);
    size = 39;
    EXPECT_EQ(store->getBinary("S", "bin", out.data(), size), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 40u);
    size = 40;
    EXPECT_EQ(store->getBinary("S", "bin", out.data(), size), STATUS_OK);
    EXPECT_EQ(out, blob);
}

TEST_F(Cookies, AFullAreaRefusesTheEntryAndKeepsTheOthers) {
    make(4, 2);  // a stream of 3 pages: 1524 bytes
    ASSERT_EQ(store->setInt("S", "k", 1), STATUS_OK);
    const auto big = bytes(1500, 4);
    EXPECT_EQ(store->setBinary("S", "big", big.data(), 1500), STATUS_HIDDEN_AREA_FULL);
    ASSERT_EQ(store->setBinary("S", "fits", big.data(), 1000), STATUS_OK);
    // Growing the cookie needs a new place: there is none.
    EXPECT_EQ(store->setBinary("S", "fits", big.data(), 1200), STATUS_HIDDEN_AREA_FULL);
    STATUS st = STATUS_ERROR;
    EXPECT_EQ(getBinary("S", "fits", st),
              std::vector<std::uint8_t>(big.begin(), big.begin() + 1000));
    std::int32_t value = 0;
    EXPECT_EQ(store->getInt("S", "k", value), STATUS_OK);
    expectConsistent();
}

TEST_F(Cookies, ADriveThatStopsAnsweringIsACommunicationFailure) {
    ASSERT_EQ(store->setInt("S", "k", 1), STATUS_OK);
    // Page 0 unreadable: the stored version is 0.
    utils->failReads = {{0, 'R'}, {0, 'r'}};
    std::int32_t value = 0;
    EXPECT_EQ(store->getInt("S", "k", value), STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(store->setInt("S", "k", 2), STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(store->removeCookie("S", "k"), STATUS_COMMUNICATION_FAILURE);
    // The data pages fail: a missing page is not a missing cookie.
    utils->failReads = {{1, 'r'}};
    EXPECT_EQ(store->getInt("S", "k", value), STATUS_DATA_NOT_FOUND);
    utils->failReads.clear();
    utils->failWrites = {1};
    EXPECT_EQ(store->setInt("S", "k", 3), STATUS_COMMUNICATION_FAILURE);
    utils->failWrites.clear();
    EXPECT_EQ(store->getInt("S", "k", value), STATUS_OK);
    EXPECT_EQ(value, 1);
    expectConsistent();
}

// ---- page reads ----

// An operation reads each page once, page 0 included: the version check,
// the index and the answer check of a lookup that finds nothing share one
// read. A formatted area needs page 0 and the first stream page.
TEST_F(Cookies, AnOperationReadsEachPageAtMostOnce) {
    using Operation = std::function<STATUS(CCookieImpl&)>;
    const auto fill = [](CCookieImpl& s, int n) {
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(s.setString("Filler", std::to_string(i).c_str(), "0123456789abcdef"),
                      STATUS_OK);
    };
    std::int32_t value = 0;
    const Operation getInt = [&](CCookieImpl& s) { return s.getInt("S", "k", value); };
    struct Case {
        const char* name;
        int others;   // cookies stored before the one used
        bool stored;  // the integer cookie S/k is there before the operation
        Operation operation;
        STATUS expected;
        std::size_t reads;  // the operation's page reads, 0: not checked
    };
    const Case cases[] = {
        {"get on an empty store", 0, false, getInt, STATUS_DATA_NOT_FOUND, 2},
        {"get hit", 0, true, getInt, STATUS_OK, 2},
        {"set new", 0, false, [](CCookieImpl& s) { return s.setInt("S", "k", 2); }, STATUS_OK, 2},
        {"set over", 0, true, [](CCookieImpl& s) { return s.setInt("S", "k", 2); }, STATUS_OK, 2},
        {"remove", 0, true, [](CCookieImpl& s) { return s.removeCookie("S", "k"); }, STATUS_OK, 2},
        {"remove missing", 0, false, [](CCookieImpl& s) { return s.removeCookie("S", "k"); },
         STATUS_DATA_NOT_FOUND, 2},
        // Behind pages of other cookies: every page walked, none twice.
        {"get miss behind others", 60, false, getInt, STATUS_DATA_NOT_FOUND, 0},
        {"get hit behind others", 60, true, getInt, STATUS_OK, 0},
        {"set that moves", 60, true,
         [](CCookieImpl& s) { return s.setString("S", "k", std::string(600, 'm').c_str()); },
         STATUS_OK, 0},
        {"remove behind others", 60, true, [](CCookieImpl& s) { return s.removeCookie("S", "k"); },
         STATUS_OK, 0},
        {"remove a section", 60, true, [](CCookieImpl& s) { return s.removeSection("Filler"); },
         STATUS_OK, 0},
        {"free space", 60, true,
         [](CCookieImpl& s) {
             std::uint64_t free = 0;
             return s.getFreeSpace(free);
         },
         STATUS_OK, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        make(250, 2);
        ASSERT_EQ(store->format(true), STATUS_OK);
        fill(*store, c.others);
        if (c.stored) {
            ASSERT_EQ(store->setInt("S", "k", 1), STATUS_OK);
        }
        utils->transfers.clear();
        EXPECT_EQ(c.operation(*store), c.expected);
        std::map<std::uint16_t, int> readsOf;
        std::size_t reads = 0;
        for (const CHAMemoryUtils::Transfer& t : utils->transfers) {
            if (t.kind == 'r' || t.kind == 'R') {
                ++readsOf[t.page];
                ++reads;
            }
        }
        for (const auto& [page, n] : readsOf)
            EXPECT_EQ(n, 1) << "page " << page;
        if (c.reads != 0) {
            EXPECT_EQ(reads, c.reads);
        }
        if (c.others > 0) {
            EXPECT_GT(readsOf.size(), 2u) << "the cookies should fill more than one page";
        }
        expectConsistent();
    }
}

// Nothing read is kept between operations: another process's change shows
// at the next one, page 0 included.
TEST_F(Cookies, AnotherStoreOnTheDriveIsSeenAtTheNextOperation) {
    ASSERT_EQ(store->setInt("S", "k", 1), STATUS_OK);
    qz::CCookieImplQzV2 other;
    other.attach(device.get(), std::make_unique<CHAMemoryUtils>(pages, 2));
    std::int32_t value = 0;
    ASSERT_EQ(store->getInt("S", "k", value), STATUS_OK);
    ASSERT_EQ(other.setInt("S", "k", 2), STATUS_OK);
    ASSERT_EQ(store->getInt("S", "k", value), STATUS_OK);
    EXPECT_EQ(value, 2);
    // Formatted to version 0 by the other: this store formats it anew.
    ASSERT_EQ(other.format(false), STATUS_OK);
    EXPECT_EQ(store->getInt("S", "k", value), STATUS_DATA_NOT_FOUND);
    expectConsistent();
}

TEST_F(Cookies, AVersionTwoAreaOnAVersionThreeDriveIsRefused) {
    ASSERT_EQ(store->setInt("S", "k", 1), STATUS_OK);
    HAPages kept = pages;
    make(250, 3);
    pages = kept;
    std::int32_t value = 0;
    EXPECT_EQ(store->getInt("S", "k", value), STATUS_WRONG_HIDDEN_AREA_VERSION);
    EXPECT_EQ(store->setInt("S", "k", 2), STATUS_WRONG_HIDDEN_AREA_VERSION);
    EXPECT_EQ(pages, kept);
}

TEST_F(Cookies, WithoutADeviceEveryOperationFails) {
    qz::CCookieImplQzV1 unattached;
    std::int32_t value = 0;
    std::uint64_t free = 0;
    EXPECT_EQ(unattached.getInt("S", "k", value), STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(unattached.setInt("S", "k", 1), STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(unattached.getFreeSpace(free), STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(unattached.format(true), STATUS_COMMUNICATION_FAILURE);
}

// ---- free space, format, dumps ----

TEST_F(Cookies, FreeSpaceAndFormat) {
    std::uint64_t free = 0;
    ASSERT_EQ(store->getFreeSpace(free), STATUS_OK);
    EXPECT_EQ(free, 126492u);
    ASSERT_EQ(store->setInt("Jx App", "OptedOut", 1), STATUS_OK);
    ASSERT_EQ(store->getFreeSpace(free), STATUS_OK);
    EXPECT_EQ(free, 126492u - 25);

    ASSERT_EQ(store->format(true), STATUS_OK);
    expectConsistent();
    std::int32_t value = 0;
    EXPECT_EQ(store->getInt("Jx App", "OptedOut", value), STATUS_DATA_NOT_FOUND);

    // Version 0: every page blank; the next operation formats it anew.
    ASSERT_EQ(store->setInt("Jx App", "OptedOut", 1), STATUS_OK);
    ASSERT_EQ(store->format(false), STATUS_OK);
    EXPECT_EQ(pages[0], std::vector<std::uint8_t>(512, 0));
    EXPECT_EQ(store->getInt("Jx App", "OptedOut", value), STATUS_DATA_NOT_FOUND);
    expectConsistent();
}

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST_F(Cookies, TheDumpListsEveryCookie) {
    ASSERT_EQ(store->setInt("Jx App", "OptedOut", -3), STATUS_OK);
    ASSERT_EQ(store->setString("S", "str", "text"), STATUS_OK);
    ASSERT_EQ(store->setString("S", "long", std::string(4096, 'l').c_str()), STATUS_OK);
    const std::uint8_t raw[] = {'R', 'A', 'W'};
    ASSERT_EQ(store->setBinary("S", "bin", raw, 3), STATUS_OK);

    const auto dir = testing::freshTestDir();
    const auto withBinary = dir / "with.txt", without = dir / "without.txt";
    ASSERT_EQ(store->dump(withBinary.u16string().c_str(), true), STATUS_OK);
    ASSERT_EQ(store->dump(without.u16string().c_str(), false), STATUS_OK);
    const std::string head =
        "[Jx App (int)]\r\nOptedOut = -3\r\n[S (string)]\r\nstr = text\r\n"
        "[S (string)]\r\nlong = string larger then 4096 bytes\r\n[S (binary)]\r\nbin = ";
    std::uint64_t free = 0;
    ASSERT_EQ(store->getFreeSpace(free), STATUS_OK);
    const std::string tail = "Hidden area free space = " + std::to_string(free) + " bytes.\r\n";
    EXPECT_EQ(fileText(withBinary), head + "RAW\n" + tail);
    EXPECT_EQ(fileText(without), head + "binary here - no dump\n" + tail);

    EXPECT_EQ(store->dump(u"x", false), STATUS_WRONG_PARAMETERS);
    EXPECT_EQ(store->dump((dir / "no" / "such.txt").u16string().c_str(), false),
              STATUS_WRONG_PARAMETERS);
    EXPECT_EQ(store->dumpPagesToFile(u"", true), STATUS_WRONG_PARAMETERS);
}

TEST_F(Cookies, ThePageDumpShowsEveryDataByte) {
    make(3, 2);
    ASSERT_EQ(store->setInt("S", "k", 0x55), STATUS_OK);
    const auto path = testing::freshTestDir() / "pages.txt";
    ASSERT_EQ(store->dumpPagesToFile(path.u16string().c_str(), true), STATUS_OK);
    const std::string text = fileText(path);
    EXPECT_EQ(text.rfind("page: 0              0x41 0x48 0x41 0x33 0x00 0x02", 0), 0u);
    EXPECT_NE(text.find("page: 1              0x0D 0x00 0x00 0x20 0x01 0x53 0x00 0x6B"),
              std::string::npos);
    EXPECT_NE(text.find("page: 2 "), std::string::npos);
    // A line break after every 16 bytes of the page (12 of the first line).
    EXPECT_NE(text.find(" 0x00\r\n 0x00"), std::string::npos);
    EXPECT_EQ(text.size(), 3 * (20 + 508 * 5 + 2 * 32));
}

// ---- lock ----

TEST_F(Cookies, AnOperationWaitsForTheDrivesNamedLock) {
    EXPECT_EQ(store->mutexName(), u"__QZ_SDK_HIDDEN_AREA_LOCK__CK00TEST00000001");
    port::NamedMutex* lock = CHIDHandleMgr::instance().getMutexOf(store->mutexName().c_str());
    ASSERT_NE(lock, nullptr);
    ASSERT_FALSE(lock->lock());
    std::atomic<bool> done{false};
    std::thread other([&] {
        EXPECT_EQ(store->setInt("S", "k", 1), STATUS_OK);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(done);
    lock->unlock();
    other.join();
    EXPECT_TRUE(done);
    // Released at the end of the operation, also of a failed one.
    std::int32_t value = 0;
    EXPECT_EQ(store->getInt("S", "none", value), STATUS_DATA_NOT_FOUND);
    ASSERT_FALSE(lock->tryLock());
    lock->unlock();
}

// ---- the public handle and the registration ----

TEST_F(Cookies, ThePublicHandleConvertsNamesAndForwards) {
    device->addService(*qz::makeQzService(8, 2));
    auto* registered = dynamic_cast<CCookieImpl*>(device->getService(8).get());
    ASSERT_NE(registered, nullptr);
    auto owned = std::make_unique<CHAMemoryUtils>(pages, 2);
    registered->attach(device.get(), std::move(owned));
    ASSERT_EQ(registered->setInt("Jx App", "OptedOut", 9), STATUS_OK);
    ASSERT_EQ(registered->setInt("Sekt\xC3\xB6", "Schl\xC3\xBCssel", 4), STATUS_OK);

    const qz::CCookie handle{CUFD(device.get())};
    std::int32_t value = 0;
    EXPECT_EQ(handle.getInt(u"Jx App", u"OptedOut", value), STATUS_OK);
    EXPECT_EQ(value, 9);
    EXPECT_EQ(handle.getInt(u"Sekt\u00F6", u"Schl\u00FCssel", value), STATUS_OK);
    EXPECT_EQ(value, 4);
    EXPECT_EQ(handle.getInt(u"Jx App", u"Missing", value), STATUS_DATA_NOT_FOUND);
    // An unpaired surrogate in either name does not convert.
    const char16_t bad[] = {u'A', 0xD800, 0};
    EXPECT_EQ(handle.getInt(bad, u"OptedOut", value), STATUS_SDK_INTERNAL_ERROR);
    EXPECT_EQ(handle.getInt(u"Jx App", bad, value), STATUS_SDK_INTERNAL_ERROR);

    EXPECT_EQ(qz::CCookie().getInt(u"Jx App", u"OptedOut", value), STATUS_COMMAND_NOT_SUPPORTED);
    CUFDImpl other;
    other.setSerialNumber(u"CK00TEST00000002");
    other.addService(CServiceImpl(8, 5));
    EXPECT_EQ(qz::CCookie(CUFD(&other)).getInt(u"Jx App", u"OptedOut", value),
              STATUS_COMMAND_NOT_SUPPORTED);
}

TEST(CookieRegistration, TheServiceVersionChoosesTheImplementation) {
    for (std::uint16_t version : {0, 1})
        EXPECT_NE(dynamic_cast<qz::CCookieImplQzV1*>(qz::makeQzService(8, version).get()), nullptr);
    for (std::uint16_t version : {2, 3})
        EXPECT_NE(dynamic_cast<qz::CCookieImplQzV2*>(qz::makeQzService(8, version).get()), nullptr);
    EXPECT_EQ(qz::makeQzService(8, 4), nullptr);
    auto v3 = qz::makeQzService(8, 3);
    EXPECT_EQ(v3->version(), 3);
    auto copy = v3->clone();
    EXPECT_NE(dynamic_cast<qz::CCookieImplQzV2*>(copy.get()), nullptr);
}

}  // namespace
}  // namespace nork
