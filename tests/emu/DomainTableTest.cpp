#include <gtest/gtest.h>

#include <stdexcept>

#include "model/DomainTable.h"

namespace qzemu {
namespace {

struct Placed {
    std::uint8_t type;
    std::uint16_t flags;
    std::uint32_t first;
    std::uint32_t size;
    std::uint8_t lun;
};

TEST(DomainLayout, ParsesAndPlacesDomainsConsecutively) {
    struct Case {
        const char* layout;
        std::uint32_t flash;
        std::vector<Placed> expected;
    };
    const Case cases[] = {
        {"public:all", 1000, {{2, 0, 0, 1000, 0}}},
        {"public", 1000, {{2, 0, 0, 1000, 0}}},
        {"cd:65536,public:rest", 100000, {{3, 0, 0, 65536, 0}, {2, 0, 65536, 34464, 1}}},
        // A domain without LUN does not take a LUN number.
        {"type1:10,public:20,type4:5,cd:rest",
         100,
         {{1, 0, 0, 10, 255}, {2, 0, 10, 20, 0}, {4, 0, 30, 5, 255}, {3, 0, 35, 65, 1}}},
        // Free space may stay behind the last domain.
        {"public:1M:wp", 10000, {{2, 1, 0, 2048, 0}}},
        {"cd:2K:locked+wp,public:1:0x10", 10, {{3, 9, 0, 4, 0}, {2, 0x10, 4, 1, 1}}},
        {"", 10, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layout);
        DomainTable table = DomainTable::parse(c.layout, c.flash);
        ASSERT_EQ(table.domains().size(), c.expected.size());
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            const Domain& d = table.domains()[i];
            EXPECT_EQ(d.type, c.expected[i].type) << i;
            EXPECT_EQ(d.flags, c.expected[i].flags) << i;
            EXPECT_EQ(d.firstSector, c.expected[i].first) << i;
            EXPECT_EQ(d.sizeSectors, c.expected[i].size) << i;
            EXPECT_EQ(d.lun, c.expected[i].lun) << i;
        }
        // The text form reads back as the same table.
        DomainTable again = DomainTable::parse(table.toLayout(), c.flash);
        ASSERT_EQ(again.domains().size(), table.domains().size());
        for (std::size_t i = 0; i < table.domains().size(); ++i) {
            EXPECT_EQ(again.domains()[i].sizeSectors, table.domains()[i].sizeSectors);
            EXPECT_EQ(again.domains()[i].flags, table.domains()[i].flags);
            EXPECT_EQ(again.domains()[i].type, table.domains()[i].type);
        }
    }
}

TEST(DomainLayout, RejectsBadText) {
    const char* bad[] = {
        "public:1000",          // beyond the flash
        "public:600,cd:500",    // the sum is beyond the flash
        "public:1000K",         // 2000 sectors, beyond the flash
        "public:999,cd:rest",   // nothing left for the rest
        "public:rest,cd:rest",  // two rests
        "disk:10",              // unknown type
        "5:10",                 // type out of 1..4
        "public:0",             // empty domain
        "public:100x",          // bad size
        "public:10:rw",         // unknown flag
        "public:10:0x10000",    // flags beyond 16 bits
        "public:10:1:2",        // too many fields
        ",public",              // empty entry
        "public:5000000000",    // beyond 32 bits
    };
    for (const char* layout : bad) {
        SCOPED_TRACE(layout);
        EXPECT_THROW(DomainTable::parse(layout, 999), std::invalid_argument);
    }
}

TEST(DomainLayout, LunLookupFollowsTableOrder) {
    DomainTable table = DomainTable::parse("type1:10,cd:20,public:rest", 100);
    EXPECT_EQ(table.lunCount(), 2);
    ASSERT_NE(table.domainOfLun(0), nullptr);
    EXPECT_EQ(table.domainOfLun(0)->firstSector, 10u);
    ASSERT_NE(table.domainOfLun(1), nullptr);
    EXPECT_EQ(table.domainOfLun(1)->firstSector, 30u);
    EXPECT_EQ(table.domainOfLun(2), nullptr);
    EXPECT_EQ(table.domainOfLun(255), nullptr);
    EXPECT_EQ(table.usedSectors(), 100u);
}

}  // namespace
}  // namespace qzemu
