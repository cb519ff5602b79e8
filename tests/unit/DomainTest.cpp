#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "DeviceParams.h"
#include "Domain.h"
#include "DomainCommands.h"
#include "qz/DriveProtocol.h"

namespace nork {
namespace {

std::vector<std::uint8_t> dataOf(const CPrivateCommand& cmd) {
    return std::vector<std::uint8_t>(cmd.dataBuffer(), cmd.dataBuffer() + cmd.dataLength());
}

TEST(CDomainValue, CopiesShareABodyUntilOneChanges) {
    CDomain cd(DOMAIN_TYPE_CD, 4096, DOMAIN_FLAG_WRITE_PROTECTED);
    EXPECT_EQ(cd.type(), 3);
    EXPECT_EQ(cd.size(), 4096u);
    EXPECT_EQ(cd.flags(), DOMAIN_FLAG_WRITE_PROTECTED);
    EXPECT_EQ(cd.lun(), DOMAIN_NO_LUN);
    EXPECT_EQ(cd.index(), DOMAIN_NO_INDEX);

    CDomain copy = cd;
    CDomain assigned;
    assigned = copy;
    EXPECT_TRUE(copy.sharesBodyWith(cd));
    EXPECT_TRUE(assigned.sharesBodyWith(cd));

    copy.setMountPoint(u"E:\\");
    copy.setFlags(DOMAIN_FLAG_CD_LOCKED, true);
    copy.setFlags(DOMAIN_FLAG_WRITE_PROTECTED, false);
    EXPECT_FALSE(copy.sharesBodyWith(cd));
    EXPECT_TRUE(assigned.sharesBodyWith(cd));
    EXPECT_EQ(copy.flags(), DOMAIN_FLAG_CD_LOCKED);
    EXPECT_EQ(copy.mountPoint(), u"E:\\");
    // The others keep what they had.
    EXPECT_EQ(cd.flags(), DOMAIN_FLAG_WRITE_PROTECTED);
    EXPECT_TRUE(cd.mountPoint().empty());
    EXPECT_EQ(copy.size(), 4096u);

    // Mount points hold 255 characters and the terminator.
    copy.setMountPoint(std::u16string(300, u'x'));
    EXPECT_EQ(copy.mountPoint().size(), 255u);
}

TEST(CDomainListAccess, OutOfRangeGivesTheInvalidDomainAndChangesNothing) {
    CDomainList list;
    list.append(CDomain(DOMAIN_TYPE_PUBLIC, 1024, 0));
    CDomain beyond = list.at(1);
    EXPECT_EQ(beyond.status(), STATUS_ILLEGAL_DOMAIN_ADDRESS);
    EXPECT_EQ(beyond.type(), 0);
    EXPECT_EQ(list.count(), 1u);
    EXPECT_EQ(list.at(0).status(), STATUS_OK);
    // A caller changing its copy cannot spoil the invalid domain.
    beyond.setStatus(STATUS_OK);
    EXPECT_EQ(list.at(7).status(), STATUS_ILLEGAL_DOMAIN_ADDRESS);
    EXPECT_FALSE(list.removeAt(1));
    EXPECT_TRUE(list.removeAt(0));
    EXPECT_EQ(list.count(), 0u);
}

TEST(CDomainAddressResolution, IndexFirstThenTheDevicesLetterThroughItsMap) {
    const std::map<std::uint16_t, std::uint8_t> mountPoints = {{u'E', 0}, {u'F', 1}};
    const std::uint32_t driveMask = (1u << 4) | (1u << 5) | (1u << 6);  // E, F, G
    struct Case {
        std::uint8_t index;
        std::u16string path;
        std::uint8_t expected;
    } cases[] = {
        {3, u"Z:\\", 3},                                    // a known index wins
        {255, u"f:\\", 1},                                  // lower case letter
        {255, u"E:\\", 0},   {255, u"G:\\", 255},           // the device's, but unmapped
        {255, u"H:\\", 255},                                // not the device's letter
        {255, u"", 255},     {255, u"\\\\server\\x", 255},  // no letter
    };
    for (const auto& c : cases) {
        CDomainAddress address(c.index, c.path);
        EXPECT_EQ(address.resolve(driveMask, mountPoints), c.expected);
    }
    // A resolved index is kept: the map is not asked again.
    CDomainAddress once(255, u"F:\\");
    ASSERT_EQ(once.resolve(driveMask, mountPoints), 1);
    EXPECT_EQ(once.resolve(driveMask, {}), 1);

    CDomain d;
    d.setIndex(2);
    d.setMountPoint(u"F:\\");
    EXPECT_EQ(CDomainAddress(d).index(), 2);
    EXPECT_EQ(CDomainAddress(d).path(), u"F:\\");
}

TEST(DomainWire, EntriesAndSizesCarryIntoTheUpperBits) {
    const std::uint8_t bytes[8] = {3, 0, 0x09, 0x00, 0x00, 0x00, 0x80, 0x00};  // 2^23 sectors
    DomainWireEntry e = DomainWireEntry::decode(bytes);
    EXPECT_EQ(e.type, 3);
    EXPECT_EQ(e.lun, 0);
    EXPECT_EQ(e.flags, 0x0009);
    CDomain d = e.toDomain(1);
    EXPECT_EQ(d.size(), std::uint64_t{1} << 32);
    EXPECT_EQ(d.index(), 1);
    EXPECT_EQ(d.lun(), 0);

    DomainWireEntry small;
    small.sectors = 1u << 20;
    EXPECT_EQ(small.toDomain(0).size(), std::uint64_t{1} << 29);

    std::uint8_t out[8] = {};
    DomainWireEntry::fromDomain(d).encode(out);
    EXPECT_EQ(std::memcmp(out, bytes, 8), 0);
    // Bytes to sectors truncates.
    EXPECT_EQ(DomainWireEntry::fromDomain(CDomain(2, 1023, 0)).sectors, 1u);
}

TEST(DomainCommands, PayloadsByteForByte) {
    CQzCfgCalcValidDomainSizeCmd calc(DOMAIN_TYPE_CD, 0x00012345, true);
    EXPECT_EQ(std::vector<std::uint8_t>(calc.params(), calc.params() + 9),
              (std::vector<std::uint8_t>{3, 0x45, 0x23, 0x01, 0x00, 1, 0, 0, 0}));

    CQzCfgDomainRemoveCmd remove({0, 1, 2});
    EXPECT_EQ(dataOf(remove), (std::vector<std::uint8_t>{0, 1, 0}));

    CQzCfgDomainChangeTypeCmd retype(1, DOMAIN_TYPE_PUBLIC, 0x000B);
    EXPECT_EQ(dataOf(retype), (std::vector<std::uint8_t>{1, 2, 0x01, 0x00, 0}));

    CQzCfgDomainSetFlagsCmd flags(2, 0xFFFF);
    EXPECT_EQ(dataOf(flags), (std::vector<std::uint8_t>{2, 0xF5, 0xFF}));

    DomainWireEntry cd{3, 0, 0, 0x4000};
    DomainWireEntry pub{2, 1, 1, 0x1C000};
    CQzCfgDomainAddCmd add(cd);
    EXPECT_EQ(dataOf(add), (std::vector<std::uint8_t>{3, 0, 0, 0, 0x00, 0x40, 0, 0}));

    CQzCfgSetDeviceCfgCmd set({cd, pub});
    EXPECT_EQ(dataOf(set), (std::vector<std::uint8_t>{2, 3, 0, 0, 0, 0x00, 0x40, 0, 0, 2, 1, 1, 0,
                                                      0x00, 0xC0, 0x01, 0}));
}

TEST(DomainCommands, LayoutAnswerIsReadWithinBothBounds) {
    // Built for one entry; the drive reports three.
    CQzCfgGetDeviceCfgCmd get(1);
    ASSERT_EQ(get.dataLength(), 9u);
    const std::uint8_t answer[9] = {3, 2, 0, 0, 0, 0x00, 0x10, 0, 0};
    std::memcpy(get.dataBuffer(), answer, sizeof answer);
    EXPECT_EQ(get.GetDomainsNum(), 3u);
    auto first = get.GetDomainCfg(0);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->type, 2);
    EXPECT_EQ(first->sectors, 0x1000u);
    EXPECT_FALSE(get.GetDomainCfg(1).has_value());
    EXPECT_EQ(get.entries(), nullptr) << "the answer does not hold all three entries";

    CQzCfgGetDeviceCfgCmd full(2);
    const std::uint8_t two[17] = {2, 3, 0, 8, 0, 4, 0, 0, 0, 2, 1, 0, 0, 8, 0, 0, 0};
    std::memcpy(full.dataBuffer(), two, sizeof two);
    ASSERT_NE(full.entries(), nullptr);
    EXPECT_EQ(full.GetDomainCfg(1)->lun, 1);
    EXPECT_EQ(full.GetDomainCfg(0)->flags, 0x0008);
    EXPECT_FALSE(full.GetDomainCfg(2).has_value());

    CQzCfgCalcValidDomainSizeCmd calc(2, 1, false);
    proto::putLE32(calc.dataBuffer(), 0x800);
    EXPECT_EQ(calc.closestValidSize(), 0x800u);
}

}  // namespace
}  // namespace nork

namespace nork {
namespace {

TEST(CDomainAddressResolution, AgainstADeviceObject) {
    CDeviceParams device;
    device.setDriveMask((1u << 4) | (1u << 5));  // E, F
    device.setMountPoint(u'F', 1);
    EXPECT_EQ(CDomainAddress(255, u"F:\\").resolve(device), 1);
    EXPECT_EQ(CDomainAddress(255, u"E:\\").resolve(device), 255);  // not mapped
    EXPECT_EQ(CDomainAddress(255, u"G:\\").resolve(device), 255);  // not the device's
}

}  // namespace
}  // namespace nork
