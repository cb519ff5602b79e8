// The hidden-area page store on an area kept in memory: formatting, the
// chunk stream's geometry, allocation and placement, the free list, the
// index and dedicated pages, flushing, and the version rules on opening.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "HAChunkMgr.h"
#include "HAPageMgr.h"
#include "HATestSupport.h"
#include "LogCapture.h"
#include "UFDImpl.h"

namespace nork {
namespace {

using test::blankPages;
using test::CHAMemoryUtils;
using test::CHATestRecord;
using test::checkHAArea;
using test::HAPages;

constexpr std::uint32_t PAGE = HA_DATA_AREA_SIZE;

// A device object, its area in memory and a store over them.
class Store {
  public:
    explicit Store(std::size_t count = 250, int version = 2) : pages(blankPages(count)) {
        device.setDeviceState(STATUS_OK);
        auto owned = std::make_unique<CHAMemoryUtils>(pages, version);
        utils = owned.get();
        mgr.attach(&device, std::move(owned));
    }

    STATUS open() { return mgr.openArea(); }
    // Formats and reopens.
    void format(int version = 2) {
        ASSERT_EQ(buildBlankHA(version, mgr), STATUS_OK);
        ASSERT_EQ(open(), STATUS_OK);
    }
    // Ends an operation as a store does.
    void end() {
        mgr.drop();
        chunks.clear();
    }

    // Writes a raw chunk header into the page images.
    void putHeader(std::uint16_t page, std::uint16_t offset, std::uint32_t type,
                   std::uint32_t size) {
        std::uint8_t head[4];
        proto::putLE32(head, CHAChunk::makeHeader(type, size));
        // Headers in these tests never cross a page.
        std::memcpy(pages[page].data() + HA_PAGE_HEADER_SIZE + offset, head, 4);
    }

    HAPages pages;
    CUFDImpl device;
    CHAMemoryUtils* utils = nullptr;
    CHAPageMgr mgr;
    CHAChunkMgr chunks{mgr};
};

std::vector<test::HAChunkSeen> chunksOf(const HAPages& pages) {
    auto r = checkHAArea(pages);
    EXPECT_TRUE(r.ok()) << r.error;
    return r.chunks;
}

// ---- formatting ----

TEST(HAStoreFormat, ABlankAreaIsOneFreeChunkOverTheWholeStream) {
    Store s;
    ASSERT_EQ(s.open(), STATUS_OK);  // zeros: version 1, converted to 2
    const auto r = checkHAArea(s.pages);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.version, 2);
    ASSERT_EQ(r.chunks.size(), 1u);
    EXPECT_EQ(r.chunks[0].page, 1);
    EXPECT_EQ(r.chunks[0].offset, 0);
    EXPECT_EQ(r.chunks[0].type, HA_CHUNKID_EMPTY);
    EXPECT_EQ(r.chunks[0].size, 126492u);
    // The index page goes by the protected write, the others by the plain one.
    for (const auto& t : s.utils->transfers) {
        if (t.kind == 'W') {
            EXPECT_EQ(t.page, 0);
        }
    }
}

TEST(HAStoreFormat, VersionThreeSetsThePasswordsOfTheIndexPage) {
    Store s(20, 3);
    s.utils->passwords = true;
    ASSERT_EQ(s.open(), STATUS_OK);
    const auto r = checkHAArea(s.pages);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.version, 3);
    EXPECT_EQ(s.utils->passwordsSet,
              (std::set<std::pair<std::uint16_t, char>>{{0, 'w'}, {0, 'r'}}));
    // Version 3 is refused while dedicated pages are listed.
    s.mgr.index().set(5, 77);
    EXPECT_EQ(buildBlankHA(3, s.mgr), STATUS_WRONG_HIDDEN_AREA_VERSION);
}

TEST(HAStoreFormat, FailedPageWritesAreReportedAndManyAbortTheBuild) {
    auto capture = testing::LogCapture::onProcessLog("ha-format");
    {
        Store s(20);
        s.utils->failWrites = {7};
        EXPECT_EQ(buildBlankHA(0, s.mgr), STATUS_OPERATION_NOT_COMPLETED);
        EXPECT_EQ(s.utils->writesTo(19), 1u);
    }
    {
        // Page 0 written, then failures: aborted once five failed and their
        // number reaches the page number.
        Store s(20);
        for (std::uint16_t p = 1; p < 20; ++p)
            s.utils->failWrites.insert(p);
        EXPECT_EQ(buildBlankHA(2, s.mgr), STATUS_ERROR);
        EXPECT_EQ(s.utils->writesTo(6), 0u);
        bool aborted = false;
        for (const auto& line : capture->takeNarrow()) {
            aborted |= line.find(
                           "CHABuilder::buildBlankHA - too many errors in writing pages - "
                           "convert aborted") != std::string::npos;
        }
        EXPECT_TRUE(aborted);
    }
}

// ---- opening and versions ----

// Page 0 images for the version table.
std::vector<std::uint8_t> indexImage(int version, bool magic = true) {
    std::vector<std::uint8_t> page(HA_PAGE_SIZE, 0);
    proto::putLE32(page.data(), 3);
    if (magic)
        std::memcpy(page.data() + 4, "AHA3", 4);
    page[9] = static_cast<std::uint8_t>(version);
    return page;
}

TEST(HAStoreOpen, VersionRules) {
    struct Case {
        const char* name;
        int deviceVersion;
        std::vector<std::uint8_t> page0;  // empty: unreadable
        STATUS expected;
        int versionAfter;  // index version on the pages afterwards (0: untouched)
    } cases[] = {
        {"no magic on a version 2 device", 2, indexImage(2, false), STATUS_OK, 2},
        {"no magic on a version 3 device", 3, indexImage(3, false), STATUS_OK, 3},
        {"stored 1 by its byte", 2, indexImage(1), STATUS_OK, 2},
        {"stored 2 on a version 2 device", 2, indexImage(2), STATUS_OK, 0},
        {"stored 3 on a version 3 device", 3, indexImage(3), STATUS_OK, 0},
        {"stored 2 on a version 3 device", 3, indexImage(2), STATUS_WRONG_HIDDEN_AREA_VERSION, 0},
        {"stored 3 on a version 2 device", 2, indexImage(3), STATUS_WRONG_HIDDEN_AREA_VERSION, 0},
        {"stored 7", 3, indexImage(7), STATUS_WRONG_HIDDEN_AREA_VERSION, 0},
        {"stored 0 by its byte", 2, indexImage(0), STATUS_COMMUNICATION_FAILURE, 0},
        {"device without a usable version", 0, indexImage(1, false),
         STATUS_WRONG_HIDDEN_AREA_VERSION, 0},
        {"unreadable page 0", 2, {}, STATUS_COMMUNICATION_FAILURE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Store s(30, c.deviceVersion);
        s.utils->passwords = true;
        if (c.page0.empty()) {
            s.utils->failReads = {{0, 'r'}, {0, 'R'}};
        } else {
            s.pages[0] = c.page0;
        }
        const auto before = s.pages;
        EXPECT_EQ(s.open(), c.expected);
        if (c.versionAfter != 0) {
            const auto r = checkHAArea(s.pages);
            EXPECT_TRUE(r.ok()) << r.error;
            EXPECT_EQ(r.version, c.versionAfter);
        } else {
            EXPECT_EQ(s.pages, before) << "the area must not be touched";
        }
    }
}

TEST(HAStoreOpen, TheWrongVersionExceptionCarriesTheStoredVersion) {
    Store s(30, 3);
    s.pages[0] = indexImage(2);
    try {
        s.mgr.open();
        FAIL() << "no exception";
    } catch (const CHAWrongVersionException& e) {
        EXPECT_EQ(e.storedVersion(), 2);
    }
}

TEST(HAStoreOpen, ARemovedDeviceIsNotPreparedAndItsPagesFail) {
    Store s(30);
    s.format();
    s.end();
    s.device.setDeviceState(STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(s.open(), STATUS_OK);
    EXPECT_EQ(s.mgr.getDataPage(1), nullptr);
    EXPECT_EQ(s.chunks.find(CHATestRecord("a")), nullptr);
}

// ---- the stream's geometry ----

TEST(HAStoreStream, AChunkCrossesIntoTheNextStreamPage) {
    // A chunk of 100 bytes at (3, 450) continues at (4, 0) and the next
    // starts at (4, 42); with page 4 dedicated it continues at (5, 0).
    for (bool dedicated : {false, true}) {
        SCOPED_TRACE(dedicated ? "page 4 dedicated" : "plain");
        Store s(10);
        s.format();
        CHALocation at{3, 450};
        if (dedicated)
            s.mgr.index().set(4, 99);
        ASSERT_TRUE(s.mgr.advance(at, 100));
        EXPECT_EQ(at.page, dedicated ? 5 : 4);
        EXPECT_EQ(at.offset, 42);
        // The bytes themselves land there.
        std::vector<std::uint8_t> bytes(100);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<std::uint8_t>(i);
        ASSERT_TRUE(s.mgr.writeStream(CHALocation{3, 450}, bytes.data(), 100));
        ASSERT_EQ(s.mgr.flush(), STATUS_OK);
        const std::uint16_t next = dedicated ? 5 : 4;
        EXPECT_EQ(s.pages[3][4 + 450], 0);
        EXPECT_EQ(s.pages[3][4 + 507], 57);
        EXPECT_EQ(s.pages[next][4 + 0], 58);
        EXPECT_EQ(s.pages[next][4 + 41], 99);
        if (dedicated) {
            EXPECT_EQ(s.pages[4][4 + 0], 0);
        }
    }
}

TEST(HAStoreStream, EndsAndPlacesThatAreNone) {
    Store s(4);  // stream of 3 pages: 1524 bytes
    s.format();
    struct Case {
        CHALocation from;
        std::uint32_t n;
        bool ok;
        CHALocation to;
    } cases[] = {
        {{1, 0}, 1524, true, {4, 0}},                               // exactly the end
        {{1, 0}, 1525, false, {}},                                  // past it
        {{3, 500}, 8, true, {4, 0}},     {{1, 508}, 1, false, {}},  // not a place
        {{1, 0}, 0x0FFFFFFF, false, {}},                            // huge size: bounded, refused
    };
    for (const Case& c : cases) {
        CHALocation at = c.from;
        EXPECT_EQ(s.mgr.advance(at, c.n), c.ok)
            << c.from.page << ":" << c.from.offset << "+" << c.n;
        if (c.ok) {
            EXPECT_TRUE(at == c.to);
        }
    }
    std::uint8_t byte = 0;
    EXPECT_FALSE(s.mgr.readStream(CHALocation{4, 0}, &byte, 1));
}

// ---- allocation and writing ----

TEST(HAStoreAllocate, AFortyByteObjectSplitsTheBlankArea) {
    Store s;
    s.format();
    CHATestRecord record = CHATestRecord::sized("forty", 40);
    ASSERT_EQ(s.chunks.writeObject(record, nullptr), STATUS_OK);
    EXPECT_EQ(record.location().page, 1);
    EXPECT_EQ(record.location().offset, 0);
    EXPECT_EQ(record.size(), 40u);
    ASSERT_EQ(s.chunks.commit(), STATUS_OK);
    const auto chunks = chunksOf(s.pages);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[1].page, 1);
    EXPECT_EQ(chunks[1].offset, 40);
    EXPECT_EQ(chunks[1].type, HA_CHUNKID_EMPTY);
    EXPECT_EQ(chunks[1].size, 126452u);
}

TEST(HAStoreAllocate, AFreeChunkFitsExactlyOrWithRoomForTheRest) {
    // A 37-byte object goes into a free chunk of 37 or 41 bytes, not 39.
    struct Case {
        std::uint32_t freeSize;
        bool fits;
    } cases[] = {{37, true}, {39, false}, {41, true}, {40, false}, {36, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.freeSize);
        Store s(3);
        s.format();
        s.end();
        // A free chunk of the size at (1, 0), then a record filling the rest.
        s.putHeader(1, 0, HA_CHUNKID_EMPTY, c.freeSize);
        s.putHeader(1, static_cast<std::uint16_t>(c.freeSize), HA_CHUNKID_COOKIE,
                    2 * PAGE - c.freeSize);
        ASSERT_EQ(s.open(), STATUS_OK);
        CHATestRecord record = CHATestRecord::sized("x", 37);
        const STATUS st = s.chunks.writeObject(record, nullptr);
        if (c.fits) {
            ASSERT_EQ(st, STATUS_OK);
            ASSERT_EQ(s.chunks.commit(), STATUS_OK);
            const auto chunks = chunksOf(s.pages);
            EXPECT_EQ(chunks[0].type, HA_CHUNKID_COOKIE);
            EXPECT_EQ(chunks[0].size, 37u);
            EXPECT_EQ(chunks.size(), c.freeSize == 37 ? 2u : 3u);
        } else {
            EXPECT_EQ(st, STATUS_HIDDEN_AREA_FULL);
        }
    }
}

TEST(HAStoreAllocate, NoRoomIsAFullAreaUnlessTheDriveIsGone) {
    Store s(3);
    s.format();
    CHATestRecord huge = CHATestRecord::sized("h", 2 * PAGE + 1);
    EXPECT_EQ(s.chunks.writeObject(huge, nullptr), STATUS_HIDDEN_AREA_FULL);
    s.utils->failReads = {{0, 'R'}};
    EXPECT_EQ(s.chunks.writeObject(huge, nullptr), STATUS_COMMUNICATION_FAILURE);
}

TEST(HAStoreWrite, ReplacingAStoredObjectByItsNewSize) {
    // Same size: in place. Grown, or shrunk by 1 to 3: moved, old chunk
    // freed. Shrunk by 4 or more: in place with a free chunk behind it.
    struct Case {
        std::uint32_t newSize;
        bool inPlace;
    } cases[] = {{60, true}, {61, false}, {59, false}, {57, false}, {56, true}, {20, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.newSize);
        Store s(5);
        s.format();
        CHATestRecord first = CHATestRecord::sized("k", 60);
        CHATestRecord neighbour = CHATestRecord::sized("n", 30);
        ASSERT_EQ(s.chunks.writeObject(first, nullptr), STATUS_OK);
        ASSERT_EQ(s.chunks.writeObject(neighbour, nullptr), STATUS_OK);
        ASSERT_EQ(s.chunks.commit(), STATUS_OK);
        s.end();

        ASSERT_EQ(s.open(), STATUS_OK);
        auto found = s.chunks.find(CHATestRecord("k"));
        ASSERT_NE(found, nullptr);
        CHATestRecord replacement = CHATestRecord::sized("k", c.newSize);
        ASSERT_EQ(s.chunks.writeObject(replacement, found.get()), STATUS_OK);
        ASSERT_EQ(s.chunks.commit(), STATUS_OK);
        s.end();

        EXPECT_EQ(replacement.location().offset == 0, c.inPlace);
        const auto chunks = chunksOf(s.pages);
        int records = 0;
        for (const auto& ch : chunks)
            records += ch.type == HA_CHUNKID_COOKIE;
        EXPECT_EQ(records, 2);
        if (!c.inPlace) {
            EXPECT_EQ(chunks[0].type, HA_CHUNKID_EMPTY);
            EXPECT_EQ(chunks[0].size, 60u);
        }
        ASSERT_EQ(s.open(), STATUS_OK);
        auto again = s.chunks.find(CHATestRecord("k"));
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again->size(), c.newSize);
        EXPECT_EQ(static_cast<CHATestRecord&>(*again).payload(), replacement.payload());
    }
}

TEST(HAStoreWrite, AnObjectAcrossPagesReadsBackWhole) {
    Store s(6);
    s.format();
    CHATestRecord filler = CHATestRecord::sized("f", 480);
    CHATestRecord spanning("span", std::vector<std::uint8_t>(700));
    for (std::size_t i = 0; i < spanning.payload().size(); ++i)
        const_cast<std::uint8_t&>(spanning.payload()[i]) = static_cast<std::uint8_t>(i * 7);
    ASSERT_EQ(s.chunks.writeObject(filler, nullptr), STATUS_OK);
    ASSERT_EQ(s.chunks.writeObject(spanning, nullptr), STATUS_OK);
    ASSERT_EQ(s.chunks.commit(), STATUS_OK);
    s.end();
    ASSERT_EQ(s.open(), STATUS_OK);
    auto found = s.chunks.find(CHATestRecord("span"));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->location().page, 1);
    EXPECT_EQ(found->location().offset, 480);
    EXPECT_EQ(static_cast<CHATestRecord&>(*found).payload(), spanning.payload());
}

// ---- the free list ----

TEST(HAStoreFreeList, AChunkPassedByTwoScansIsHandedOutOnce) {
    Store s(4);
    s.format();
    s.end();
    // free 100 | record 50 | free 100 | record (rest)
    s.putHeader(1, 0, HA_CHUNKID_EMPTY, 100);
    s.putHeader(1, 100, HA_CHUNKID_COOKIE, 50);
    s.putHeader(1, 150, HA_CHUNKID_EMPTY, 100);
    s.putHeader(1, 250, HA_CHUNKID_COOKIE, 3 * PAGE - 250);
    ASSERT_EQ(s.open(), STATUS_OK);
    // Two searches that find nothing both pass both free chunks.
    EXPECT_EQ(s.chunks.find(CHATestRecord("none")), nullptr);
    EXPECT_EQ(s.chunks.find(CHATestRecord("none either")), nullptr);
    EXPECT_EQ(s.chunks.freeList().size(), 2u);
    // Three objects of 100: two fit, the third finds no room.
    CHATestRecord a = CHATestRecord::sized("a", 100), b = CHATestRecord::sized("b", 100),
                  c = CHATestRecord::sized("c", 100);
    EXPECT_EQ(s.chunks.writeObject(a, nullptr), STATUS_OK);
    EXPECT_EQ(s.chunks.writeObject(b, nullptr), STATUS_OK);
    EXPECT_EQ(s.chunks.writeObject(c, nullptr), STATUS_HIDDEN_AREA_FULL);
    EXPECT_FALSE(a.location() == b.location());
    ASSERT_EQ(s.chunks.commit(), STATUS_OK);
    EXPECT_EQ(chunksOf(s.pages).size(), 4u);
}

TEST(HAStoreFreeList, NeighboursInTheStreamMergeWhateverTheirListOrder) {
    Store s(4);
    s.format();
    // Records a b c d e, then c, a, b removed in that order: the free list
    // is seen as a, b, c by one scan, but c was freed first.
    std::vector<CHATestRecord> records;
    for (const char* name : {"a", "b", "c", "d", "e"})
        records.push_back(CHATestRecord::sized(name, 40));
    for (auto& r : records)
        ASSERT_EQ(s.chunks.writeObject(r, nullptr), STATUS_OK);
    ASSERT_EQ(s.chunks.commit(), STATUS_OK);
    s.end();
    ASSERT_EQ(s.open(), STATUS_OK);
    for (const char* name : {"c", "a", "b"}) {
        auto found = s.chunks.find(CHATestRecord(name));
        ASSERT_NE(found, nullptr);
        ASSERT_EQ(s.chunks.free(*found), STATUS_OK);
    }
    // A final scan lists whatever it passes; then merge and write.
    EXPECT_EQ(s.chunks.find(CHATestRecord("zz")), nullptr);
    ASSERT_EQ(s.chunks.commit(), STATUS_OK);
    const auto chunks = chunksOf(s.pages);
    ASSERT_GE(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].type, HA_CHUNKID_EMPTY);
    EXPECT_EQ(chunks[0].size, 120u);  // a, b and c in one
    EXPECT_EQ(chunks[1].type, HA_CHUNKID_COOKIE);
    EXPECT_EQ(chunks[1].offset, 120);
    std::vector<std::pair<std::pair<int, int>, std::uint32_t>> entries;
    for (const auto& e : s.chunks.freeList())
        entries.push_back({{e.location.page, e.location.offset}, e.size});
    EXPECT_EQ(test::checkFreeEntries(checkHAArea(s.pages), entries), "");
}

TEST(HAStoreFreeList, AMergedChunkIsNotHandedOutInPieces) {
    Store s(4);
    s.format();
    CHATestRecord a = CHATestRecord::sized("a", 40), b = CHATestRecord::sized("b", 40),
                  c = CHATestRecord::sized("c", 40);
    for (auto* r : {&a, &b, &c})
        ASSERT_EQ(s.chunks.writeObject(*r, nullptr), STATUS_OK);
    ASSERT_EQ(s.chunks.commit(), STATUS_OK);
    s.end();
    ASSERT_EQ(s.open(), STATUS_OK);
    for (const char* name : {"a", "b"}) {
        auto found = s.chunks.find(CHATestRecord(name));
        ASSERT_NE(found, nullptr);
        ASSERT_EQ(s.chunks.free(*found), STATUS_OK);
    }
    EXPECT_EQ(s.chunks.find(CHATestRecord("zz")), nullptr);
    ASSERT_EQ(s.chunks.defragment(), STATUS_OK);  // a and b are one chunk of 80 now
    // In the same operation: the first object takes the merged chunk whole,
    // the second must not land on the absorbed chunk's old place inside it.
    CHATestRecord x = CHATestRecord::sized("x", 80), y = CHATestRecord::sized("y", 40);
    ASSERT_EQ(s.chunks.writeObject(x, nullptr), STATUS_OK);
    ASSERT_EQ(s.chunks.writeObject(y, nullptr), STATUS_OK);
    ASSERT_EQ(s.chunks.commit(), STATUS_OK);
    const auto chunks = chunksOf(s.pages);
    int records = 0;
    for (const auto& ch : chunks)
        records += ch.type == HA_CHUNKID_COOKIE;
    EXPECT_EQ(records, 3);
    s.end();
    ASSERT_EQ(s.open(), STATUS_OK);
    for (const CHATestRecord* r : {&x, &y, &c}) {
        auto found = s.chunks.find(CHATestRecord(r->name()));
        ASSERT_NE(found, nullptr) << r->name();
        EXPECT_EQ(static_cast<CHATestRecord&>(*found).payload(), r->payload());
    }
}

// ---- index and dedicated pages ----

TEST(HAStoreIndex, EntriesAreUpdatedReusedAndReleased) {
    auto capture = testing::LogCapture::onProcessLog("ha-index");
    Store s(30);
    s.format();
    CHAIndex& index = s.mgr.index();
    index.set(5, 100);
    index.set(6, 200);
    index.set(7, 100);  // same key: moves
    EXPECT_EQ(index.pageOf(100), 7);
    EXPECT_EQ(index.entryCount(), 2u);
    index.set(0, 200);  // released: listed, key 0
    EXPECT_EQ(index.pageOf(200), 0);
    EXPECT_TRUE(index.isListed(6));
    index.set(6, 300);  // the free entry is reused
    EXPECT_EQ(index.entryCount(), 2u);
    for (std::uint16_t p = 10; p < 25; ++p)
        index.set(p, 1000 + p);
    EXPECT_EQ(index.entryCount(), 17u);
    bool asserted = false;
    for (const auto& line : capture->takeNarrow())
        asserted |= line.find("m_entries.size() <= 16") != std::string::npos;
    EXPECT_TRUE(asserted);
}

TEST(HAStoreIndex, TheIndexPageIsWrittenOnlyWhenItChanged) {
    Store s(10);
    s.format();
    s.end();
    ASSERT_EQ(s.open(), STATUS_OK);
    const std::size_t before = s.utils->writesTo(0);
    CHATestRecord r = CHATestRecord::sized("r", 20);
    ASSERT_EQ(s.chunks.writeObject(r, nullptr), STATUS_OK);
    ASSERT_EQ(s.chunks.commit(), STATUS_OK);
    EXPECT_EQ(s.utils->writesTo(0), before);
    s.mgr.index().set(3, 9);
    ASSERT_EQ(s.mgr.flush(), STATUS_OK);
    EXPECT_EQ(s.utils->writesTo(0), before + 1);
    // Its failure ends the flush before any data page.
    s.mgr.index().set(4, 10);
    s.mgr.markDirty(1);
    s.mgr.getDataPage(1);
    s.utils->failWrites = {0};
    const std::size_t dataWrites = s.utils->writesTo(1);
    EXPECT_EQ(s.mgr.flush(), STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(s.utils->writesTo(1), dataWrites);
}

TEST(HAStoreFlush, DirtyPagesGoHighestFirstAndTheLastFailureIsReported) {
    Store s(10);
    s.format();
    for (std::uint16_t p : {7, 2, 5})
        s.mgr.getDataPage(p)->setMode(0, false);
    s.utils->failWrites = {5};
    s.utils->transfers.clear();
    EXPECT_EQ(s.mgr.flush(), STATUS_COMMUNICATION_FAILURE);
    std::vector<std::uint16_t> order;
    for (const auto& t : s.utils->transfers)
        order.push_back(t.page);
    EXPECT_EQ(order, (std::vector<std::uint16_t>{7, 5, 2}));
    EXPECT_TRUE(s.mgr.dirtyPages().empty());
}

TEST(HAStoreDedicated, AKeyedObjectTakesAWholePageOutOfTheStream) {
    Store s(10);
    s.format();
    CHATestRecord small = CHATestRecord::sized("s", 100);
    ASSERT_EQ(s.chunks.writeObject(small, nullptr), STATUS_OK);
    ASSERT_EQ(s.chunks.commit(), STATUS_OK);

    // The free chunk starts at (1, 100): its first page's part is split
    // off and page 2 is taken.
    CHATestRecord keyed("token", std::vector<std::uint8_t>(48, 0xAB), 0x1234);
    ASSERT_EQ(s.chunks.writeDedicated(keyed), STATUS_OK);
    auto r = checkHAArea(s.pages);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.dedicated, (std::set<std::uint16_t>{2}));
    s.end();

    ASSERT_EQ(s.open(), STATUS_OK);
    CHATestRecord back("", {}, 0x1234);
    ASSERT_EQ(s.chunks.readDedicated(back), STATUS_OK);
    EXPECT_EQ(back.name(), "token");
    EXPECT_EQ(back.payload(), keyed.payload());
    CHATestRecord other("", {}, 0x9);
    EXPECT_EQ(s.chunks.readDedicated(other), STATUS_DATA_NOT_FOUND);
    // The stored record is still found; the stream skips the page.
    EXPECT_NE(s.chunks.find(CHATestRecord("s")), nullptr);

    // Released and taken by another key without touching the stream.
    ASSERT_EQ(s.chunks.releaseDedicated(0x1234), STATUS_OK);
    CHATestRecord second("again", {}, 0x55);
    ASSERT_EQ(s.chunks.writeDedicated(second), STATUS_OK);
    r = checkHAArea(s.pages);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.dedicated, (std::set<std::uint16_t>{2}));
}

TEST(HAStoreDedicated, SixteenPagesAtMost) {
    Store s(40);
    s.format();
    for (std::uint32_t key = 1; key <= 16; ++key) {
        CHATestRecord keyed("k", {}, key);
        ASSERT_EQ(s.chunks.writeDedicated(keyed), STATUS_OK) << key;
    }
    CHATestRecord more("k", {}, 17);
    EXPECT_EQ(s.chunks.writeDedicated(more), STATUS_HIDDEN_AREA_FULL);
    const auto r = checkHAArea(s.pages);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.dedicated.size(), 16u);
}

// ---- pages ----

TEST(HAStorePages, BoundsInsideAPageAreAssertedAndNothingIsCopied) {
    auto capture = testing::LogCapture::onProcessLog("ha-bounds");
    Store s(4);
    s.format();
    CHAPage* page = s.mgr.getDataPage(1);
    ASSERT_NE(page, nullptr);
    const std::vector<std::uint8_t> before(page->image(), page->image() + HA_PAGE_SIZE);
    std::vector<std::uint8_t> big(600, 0xEE);
    EXPECT_FALSE(page->writeAt(big.data(), 10, 500));
    EXPECT_EQ(page->dataAt(508), nullptr);
    EXPECT_EQ(page->writeData(big.data(), 509, 0), STATUS_WRONG_PARAMETERS);
    EXPECT_EQ(std::vector<std::uint8_t>(page->image(), page->image() + HA_PAGE_SIZE), before);
    EXPECT_EQ(s.mgr.getPage(4, 0), nullptr);  // beyond the area
    std::string lines;
    for (const auto& line : capture->takeNarrow())
        lines += line + "\n";
    EXPECT_NE(lines.find("size + wOffset <= data_area_size()"), std::string::npos);
    EXPECT_NE(lines.find("wOffset < data_area_size()"), std::string::npos);
    EXPECT_NE(lines.find("data_size <= data_area_size()"), std::string::npos);
}

}  // namespace
}  // namespace nork
