// The configuration service against a scripted Qz drive: the arithmetic of
// sizes and capacity, its caches, the mapping of domains to drive letters,
// and every refusal of addDomain. The full change-and-wait road, with a
// drive that really leaves the bus, is in tests/e2e/ConfigServiceE2eTest.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Callbacks.h"
#include "DeviceHandle.h"
#include "Domain.h"
#include "HIDHandleMgr.h"
#include "LogCapture.h"
#include "PlatformFactory.h"
#include "RuntimeTestSupport.h"
#include "SDKUtils.h"
#include "UFD.h"
#include "UFDImpl.h"
#include "USBInfoParser.h"
#include "VendorTraits.h"
#include "port/DeviceIo.h"
#include "qz/ConfigService.h"
#include "qz/ConfigServiceImpl.h"
#include "qz/DriveProtocol.h"
#include "qz/QzServices.h"

namespace nork::qz {
namespace {

namespace op = proto::qzop;

// A Qz drive that answers service queries (capacity, most domains, types)
// and the configuration commands from a script, and records what it was
// sent. Paths "cfg:..." are its.
class ScriptedQzDrive : public port::IDeviceBackend {
  public:
    struct Calc {
        std::uint8_t type;
        std::uint32_t sectors;
        std::uint8_t fillsRest;
    };

    const char* name() const override { return "scripted qz"; }
    bool claims(std::string_view path) const override { return path.substr(0, 4) == "cfg:"; }
    port::PortError open(const std::string&, std::intptr_t& local) override {
        local = 1;
        return port::PortError::ok();
    }
    void close(std::intptr_t) override {}
    port::PortError vendorDriverRequest(std::intptr_t, port::VendorDriverRequest&) override {
        return port::PortError{port::PortErrc::NotSupported, 0};
    }

    port::PortError passThrough(std::intptr_t, port::ScsiPassThroughRequest& r) override {
        if (r.Cdb[0] != proto::PRIVATE_OPCODE)
            return port::PortError::ok();
        const std::uint16_t code = proto::getLE16(r.Cdb + 1);
        const std::uint8_t* params = r.Cdb + proto::PRIVATE_PARAMS_OFFSET;
        ops.push_back(code);
        // Recorded whether accepted or not: what the host asked for.
        if (code == op::CFG_DOMAIN_ADD && r.DataBuffer != nullptr)
            added.push_back(
                DomainWireEntry::decode(static_cast<const std::uint8_t*>(r.DataBuffer)));
        if (code == op::CFG_DOMAIN_SET_FLAGS && r.DataBuffer != nullptr) {
            const auto* data = static_cast<const std::uint8_t*>(r.DataBuffer);
            flagSets.emplace_back(data[0], proto::getLE16(data + 1));
        }
        if (failing.count(code) != 0) {
            r.ScsiStatus = proto::SCSI_STATUS_CHECK_CONDITION;
            r.Sense[0] = proto::SENSE_RESPONSE_FIXED_CURRENT;
            r.Sense[proto::SENSE_KEY_OFFSET] = proto::SENSE_KEY_ILLEGAL_REQUEST;
            return port::PortError::ok();
        }
        std::vector<std::uint8_t> answer;
        switch (code) {
            case op::SD_QUERY_SERVICE:
                answer = descriptor(proto::getLE16(params));
                break;
            case op::CFG_GET_DEVICE_CONFIGURATION:
                answer.push_back(static_cast<std::uint8_t>(domains.size()));
                for (const DomainWireEntry& d : domains) {
                    std::uint8_t e[DomainWireEntry::SIZE];
                    d.encode(e);
                    answer.insert(answer.end(), e, e + sizeof e);
                }
                break;
            case op::CFG_CALC_CLOSEST_VALID_DOMAIN_SIZE: {
                calcs.push_back({params[0], proto::getLE32(params + 1), params[5]});
                answer.resize(4);
                proto::putLE32(answer.data(),
                               validSectors != 0 ? validSectors : calcs.back().sectors);
                break;
            }
            default:
                break;
        }
        if (r.DataIn == port::SCSI_IOCTL_DATA_IN && r.DataBuffer != nullptr) {
            std::memset(r.DataBuffer, 0, r.DataTransferLength);
            std::memcpy(r.DataBuffer, answer.data(),
                        std::min<std::size_t>(answer.size(), r.DataTransferLength));
        }
        r.ScsiStatus = proto::SCSI_STATUS_GOOD;
        return port::PortError::ok();
    }

    std::size_t sent(std::uint16_t code) const {
        return static_cast<std::size_t>(std::count(ops.begin(), ops.end(), code));
    }
    std::size_t queries(std::uint16_t service) const {
        return static_cast<std::size_t>(std::count(queried.begin(), queried.end(), service));
    }

    std::uint32_t totalSectors = 1u << 21;
    std::uint8_t mostDomainsPlusOne = 5;
    std::vector<DomainWireEntry> domains;
    std::uint32_t validSectors = 0;  // 0: the request is valid as it is
    std::set<std::uint16_t> failing;

    std::vector<std::uint16_t> ops;
    std::vector<std::uint16_t> queried;
    std::vector<Calc> calcs;
    std::vector<DomainWireEntry> added;
    std::vector<std::pair<std::uint8_t, std::uint16_t>> flagSets;  // (index, flags) sent

  private:
    std::vector<std::uint8_t> descriptor(std::uint16_t service) {
        queried.push_back(service);
        std::vector<std::uint8_t> d;
        if (service == 3) {
            // The device-information record: header of 10, capacity at 35.
            d.assign(39, 0);
            proto::putLE32(d.data() + 35, totalSectors);
        } else if (service == CConfigServiceImpl::SERVICE_ID) {
            d = {0, 0, 0, 0, 0, 0, mostDomainsPlusOne, 3, 1, 2, 3};
        } else {
            return d;
        }
        proto::putLE16(d.data(), service);
        proto::putLE16(d.data() + 2, 1);
        proto::putLE16(d.data() + 4, static_cast<std::uint16_t>(d.size()));
        if (service == 3)
            proto::putLE32(d.data() + 6, static_cast<std::uint32_t>(d.size()));
        return d;
    }
};

DomainWireEntry wire(std::uint8_t type, std::uint8_t lun, std::uint32_t sectors,
                     std::uint16_t flags = 0) {
    DomainWireEntry e;
    e.type = type;
    e.lun = lun;
    e.flags = flags;
    e.sectors = sectors;
    return e;
}

// A configuration service whose privileges D and F the test chooses.
class TestConfigService : public CConfigServiceImpl {
  public:
    TestConfigService() : CConfigServiceImpl(1) {}
    bool admin = true;
    bool dismount = true;

  protected:
    bool privilege(int which) const override {
        if (which == CPlatformFactory::PRIV_F)
            return admin;
        if (which == CPlatformFactory::PRIV_D)
            return dismount;
        return CConfigServiceImpl::privilege(which);
    }
};

class ConfigService : public ::testing::Test {
  protected:
    void SetUp() override {
        port::deviceIo().registerBackend(drive);
        device.setTraits(&traits);
        device.setSerialNumber(u"CFGTEST0001");
        device.setPath(CDeviceParams::PATH_DISK, u"cfg:drive");
        service.attach(&device);
        drive->domains = {wire(2, 0, 1u << 20)};
    }
    void TearDown() override { port::deviceIo().unregisterBackend(drive.get()); }

    std::shared_ptr<ScriptedQzDrive> drive = std::make_shared<ScriptedQzDrive>();
    CVendorDeviceTraitsQz traits;
    CUFDImpl device;
    TestConfigService service;
};

TEST_F(ConfigService, FreeCapacityIsTheDeviceLessItsDomainsIn64Bits) {
    struct Case {
        const char* what;
        std::uint32_t total;
        std::vector<DomainWireEntry> domains;
        std::uint64_t bytes;
    } cases[] = {
        {"half a 1 GiB device", 1u << 21, {wire(2, 0, 1u << 20)}, 1ull << 29},
        {"2^23 free sectors", (1u << 23) + 2048, {wire(2, 0, 2048)}, 1ull << 32},
        {"everything taken", 4096, {wire(3, 0, 64), wire(2, 1, 4032)}, 0},
        {"a layout beyond the device", 4096, {wire(2, 0, 4000), wire(2, 1, 4000)}, 0},
    };
    for (const Case& c : cases) {
        drive->totalSectors = c.total;
        drive->domains = c.domains;
        TestConfigService fresh;  // the caches are per object
        fresh.attach(&device);
        std::uint64_t bytes = 1;
        EXPECT_EQ(fresh.getFreeCapacity(bytes), STATUS_OK) << c.what;
        EXPECT_EQ(bytes, c.bytes) << c.what;
    }
}

TEST_F(ConfigService, MostDomainsAndDeviceSizeAreReadOncePerObjectAndCopiedByClone) {
    std::uint64_t bytes = 0;
    ASSERT_EQ(service.getFreeCapacity(bytes), STATUS_OK);
    drive->domains.push_back(wire(3, 1, 1024));
    ASSERT_EQ(service.getFreeCapacity(bytes), STATUS_OK);
    EXPECT_EQ(bytes, static_cast<std::uint64_t>((1u << 21) - (1u << 20) - 1024) * 512);
    EXPECT_EQ(drive->queries(3), 1u);
    EXPECT_EQ(drive->queries(4), 2u);  // the length, then the fields: once
    EXPECT_EQ(service.cachedMaxDomains(), 4);
    EXPECT_EQ(service.cachedTotalSectors(), 1u << 21);

    auto copy = service.clone();
    auto* clone = dynamic_cast<CConfigServiceImpl*>(copy.get());
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->cachedMaxDomains(), 4);
    EXPECT_EQ(clone->cachedTotalSectors(), 1u << 21);
    EXPECT_EQ(clone->version(), 1);
}

TEST_F(ConfigService, AFailedLimitReadLeavesTheCacheUnknown) {
    drive->failing = {op::SD_QUERY_SERVICE};
    CDeviceHandle handle(&device);
    std::int32_t max = 0;
    EXPECT_EQ(service.getMaxDomainsNum(handle, max), STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(service.cachedMaxDomains(), CConfigServiceImpl::MAX_DOMAINS_UNKNOWN);
    std::uint64_t bytes = 0;
    EXPECT_EQ(service.getFreeCapacity(bytes), STATUS_COMMUNICATION_FAILURE);
    drive->failing.clear();
    EXPECT_EQ(service.getMaxDomainsNum(handle, max), STATUS_OK);
    EXPECT_EQ(max, 4);
}

TEST_F(ConfigService, CalculateValidDomainSizeRoundsPerTypeAndAnswersBytes) {
    struct Case {
        std::int32_t type;
        std::uint64_t size;
        bool fillsRest;
        std::uint32_t answer;
        STATUS status;
        std::uint32_t sectorsSent;
        std::uint64_t valid;
    } cases[] = {
        // CD requests carry four sectors more than disk requests.
        {3, 1ull << 29, false, 1u << 20, STATUS_OK, (1u << 20) + 4, 1ull << 29},
        {2, 1000, true, 2048, STATUS_OK, 2, 2048ull * 512},
        {1, 0, true, 2048, STATUS_OK, 1, 2048ull * 512},
        {2, 1ull << 33, false, 1u << 23, STATUS_OK, (1u << 24) + 1, 1ull << 32},
        {0, 512, true, 0, STATUS_DOMAIN_TYPE_NOT_SUPPORTED, 0, 0},
        {5, 512, true, 0, STATUS_DOMAIN_TYPE_NOT_SUPPORTED, 0, 0},
    };
    for (const Case& c : cases) {
        drive->calcs.clear();
        drive->validSectors = c.answer;
        std::uint64_t valid = 0;
        EXPECT_EQ(service.calculateValidDomainSize(c.type, c.size, valid, c.fillsRest), c.status)
            << c.type << " " << c.size;
        if (c.status != STATUS_OK) {
            EXPECT_TRUE(drive->calcs.empty());
            continue;
        }
        ASSERT_EQ(drive->calcs.size(), 1u);
        EXPECT_EQ(drive->calcs[0].type, c.type);
        EXPECT_EQ(drive->calcs[0].sectors, c.sectorsSent) << c.type << " " << c.size;
        EXPECT_EQ(drive->calcs[0].fillsRest, c.fillsRest ? 1 : 0);
        EXPECT_EQ(valid, c.valid);
    }
}

TEST_F(ConfigService, AddDomainRefusalsSendNoChange) {
    struct Case {
        const char* what;
        std::vector<DomainWireEntry> layout;
        std::set<std::uint16_t> failing;
        bool lock;
        STATUS status;
    } cases[] = {
        {"the most domains already",
         {wire(3, 0, 64), wire(2, 1, 64), wire(2, 2, 64), wire(2, 3, 64)},
         {},
         false,
         STATUS_TOO_MANY_DOMAINS},
        {"layout unreadable",
         {wire(2, 0, 64)},
         {op::CFG_GET_DEVICE_CONFIGURATION},
         false,
         STATUS_COMMUNICATION_FAILURE},
        {"limits unreadable",
         {wire(2, 0, 64)},
         {op::SD_QUERY_SERVICE},
         false,
         STATUS_COMMUNICATION_FAILURE},
        {"size refused",
         {wire(2, 0, 64)},
         {op::CFG_CALC_CLOSEST_VALID_DOMAIN_SIZE},
         false,
         STATUS_COMMUNICATION_FAILURE},
        // The drive's letter E: has no volume to lock here.
        {"lock not had", {wire(2, 0, 64)}, {}, true, STATUS_DEVICE_LOCK_FAILURE},
    };
    for (const Case& c : cases) {
        drive->domains = c.layout;
        drive->failing = c.failing;
        drive->ops.clear();
        drive->added.clear();
        device.setDriveMask(c.lock ? 1u << 4 : 0);
        TestConfigService fresh;
        fresh.attach(&device);
        CDomain domain(DOMAIN_TYPE_CD, 1 << 20, 0);
        EXPECT_EQ(fresh.addDomain(domain, c.lock, false, nullptr), c.status) << c.what;
        EXPECT_TRUE(drive->added.empty()) << c.what;
        // The caller's domain is left as it was.
        EXPECT_EQ(domain.index(), DOMAIN_NO_INDEX) << c.what;
        EXPECT_EQ(domain.size(), 1u << 20) << c.what;
        if (c.lock) {
            EXPECT_TRUE(drive->ops.empty()) << c.what;
        }
        if (c.status == STATUS_TOO_MANY_DOMAINS) {
            EXPECT_EQ(drive->sent(op::CFG_CALC_CLOSEST_VALID_DOMAIN_SIZE), 0u) << c.what;
        }
    }
}

// The add command is refused by the drive here, so nothing waits: what was
// asked of the drive is the point.
TEST_F(ConfigService, AddDomainAsksForTheRestOrAnExplicitSizeAndTheNextLun) {
    const std::uint64_t free = 1ull << 29;  // 2^20 of 2^21 sectors
    struct Case {
        const char* what;
        std::int32_t type;
        std::uint64_t size;
        std::uint32_t sectors;
        std::uint8_t fillsRest;
        std::uint8_t lun;
    } cases[] = {
        {"the restore request", DOMAIN_TYPE_CD, free, 1u << 20, 0, 1},
        {"the rest of the device", DOMAIN_TYPE_PUBLIC, DOMAIN_SIZE_REST, 1u << 20, 0, 1},
        {"more than is free", DOMAIN_TYPE_CD, free * 2, 1u << 21, 0, 1},
        {"a part of it", DOMAIN_TYPE_PUBLIC, 1 << 20, 2048, 1, 1},
        {"a type without LUN", 1, 1 << 20, 2048, 1, DOMAIN_NO_LUN},
    };
    drive->failing = {op::CFG_DOMAIN_ADD};
    for (const Case& c : cases) {
        drive->calcs.clear();
        drive->validSectors = 4096;
        CDomain domain(c.type, c.size, 0);
        EXPECT_EQ(service.addDomain(domain, false, true, nullptr), STATUS_COMMUNICATION_FAILURE);
        ASSERT_EQ(drive->calcs.size(), 1u) << c.what;
        EXPECT_EQ(drive->calcs[0].sectors, c.sectors) << c.what;
        EXPECT_EQ(drive->calcs[0].fillsRest, c.fillsRest) << c.what;
        ASSERT_FALSE(drive->added.empty()) << c.what;
        EXPECT_EQ(drive->added.back().lun, c.lun) << c.what;
        EXPECT_EQ(drive->added.back().sectors, 4096u) << c.what;
    }
}

TEST_F(ConfigService, TheAddEntryCarriesTypeLunFlagsAndTheValidSize) {
    // No library window: the reconnection cannot be announced and ends in
    // error at once, which addDomain reports as a communication failure.
    auto log = testing::LogCapture::onProcessLog("ConfigService.add");
    drive->validSectors = (1u << 20) - 64;
    CDomain domain(DOMAIN_TYPE_CD, 1ull << 29, DOMAIN_FLAG_WRITE_PROTECTED);
    EXPECT_EQ(service.addDomain(domain, false, true, nullptr), STATUS_COMMUNICATION_FAILURE);
    ASSERT_EQ(drive->added.size(), 1u);
    EXPECT_EQ(drive->added[0].type, DOMAIN_TYPE_CD);
    EXPECT_EQ(drive->added[0].lun, 1);
    EXPECT_EQ(drive->added[0].flags, DOMAIN_FLAG_WRITE_PROTECTED);
    EXPECT_EQ(drive->added[0].sectors, (1u << 20) - 64);
    const auto lines = log->takeNarrow();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("Failed to Notify the transparent reconnect") != std::string::npos;
    }));
    EXPECT_EQ(domain.index(), DOMAIN_NO_INDEX);
}

TEST_F(ConfigService, DomainsComeWithTheirDriveRootsAndByType) {
    drive->domains = {wire(2, 0, 1u << 20), wire(3, 1, 2048)};
    device.setDriveMask((1u << 3) | (1u << 4));  // D:, E:
    device.setMountPoint(u'D', 0);
    device.setMountPoint(u'E', 1);

    CDomainList all;
    ASSERT_EQ(service.getDomains(all), STATUS_OK);
    ASSERT_EQ(all.count(), 2u);
    EXPECT_EQ(all.at(0).type(), DOMAIN_TYPE_PUBLIC);
    EXPECT_EQ(all.at(0).size(), 1ull << 29);
    EXPECT_EQ(all.at(0).mountPoint(), u"D:\\");
    EXPECT_EQ(all.at(1).index(), 1);
    EXPECT_EQ(all.at(1).lun(), 1);
    EXPECT_EQ(all.at(1).mountPoint(), u"E:\\");

    CDomainList cds;
    ASSERT_EQ(service.getDomains(cds, DOMAIN_TYPE_CD), STATUS_OK);
    ASSERT_EQ(cds.count(), 1u);
    EXPECT_EQ(cds.at(0).index(), 1);
    EXPECT_EQ(service.getDomains(cds, 6), STATUS_DOMAIN_TYPE_NOT_SUPPORTED);

    CDomain found;
    EXPECT_EQ(service.getDomainByMountPoint(u'e', found), STATUS_OK);
    EXPECT_EQ(found.type(), DOMAIN_TYPE_CD);
    EXPECT_EQ(service.getDomainByMountPoint(u'f', found), STATUS_DOMAIN_NOT_FOUND);

    drive->failing = {op::CFG_GET_DEVICE_CONFIGURATION};
    EXPECT_EQ(service.getDomains(all), STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(all.count(), 0u);
}

TEST_F(ConfigService, AddressQueriesAnswerTheEntryOrTheFailure) {
    drive->domains = {wire(2, 0, 1u << 20), wire(3, 1, 2048, DOMAIN_FLAG_CD_LOCKED)};
    CDomainAddress second(1, u"");
    std::uint8_t lun = 0;
    std::int32_t type = 0;
    EXPECT_EQ(service.getDomainLUN(second, lun), STATUS_OK);
    EXPECT_EQ(lun, 1);
    EXPECT_EQ(service.getDomainType(second, type), STATUS_OK);
    EXPECT_EQ(type, DOMAIN_TYPE_CD);

    CDomainAddress beyond(2, u"");
    EXPECT_EQ(service.getDomainLUN(beyond, lun), STATUS_ILLEGAL_DOMAIN_ADDRESS);
    CDomainAddress unknownLetter(DOMAIN_NO_INDEX, u"Q:\\");
    EXPECT_EQ(service.getDomainLUN(unknownLetter, lun), STATUS_ILLEGAL_DOMAIN_ADDRESS);

    drive->failing = {op::CFG_GET_DEVICE_CONFIGURATION};
    lun = 7;
    EXPECT_EQ(service.getDomainLUN(second, lun), STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(lun, 7);
}

TEST_F(ConfigService, SupportedTypesLeaveOutType1) {
    std::int32_t types[4] = {};
    std::uint32_t count = 0;
    ASSERT_EQ(service.getSupportedDomainTypes(types, 4, count), STATUS_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(types[0], DOMAIN_TYPE_PUBLIC);
    EXPECT_EQ(types[1], DOMAIN_TYPE_CD);
    EXPECT_EQ(service.getSupportedDomainTypes(types, 1, count), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(service.getSupportedDomainTypes(nullptr, 4, count), STATUS_WRONG_PARAMETERS);
}

TEST_F(ConfigService, ALockedCdBlocksTheDeviceAndAFailedReadIsACommunicationFailure) {
    drive->domains = {wire(3, 0, 64, DOMAIN_FLAG_CD_LOCKED), wire(2, 1, 2048), wire(3, 2, 64)};
    device.setDriveMask(0);
    CDeviceHandle handle(&device);

    struct Case {
        std::size_t position;
        bool configurable;
        STATUS status;
        STATUS domainStatus;
    } cases[] = {
        {0, false, STATUS_CONFIGURATION_NOT_ALLOWED, STATUS_CD_DOMAIN_LOCKED},
        {1, true, STATUS_OK, STATUS_OK},
        {2, true, STATUS_OK, STATUS_OK},
    };
    CDomainList domains;
    ASSERT_EQ(service.getDomains(domains), STATUS_OK);
    for (const Case& c : cases) {
        CDomain domain = domains.at(c.position);
        STATUS status = STATUS_ERROR;
        EXPECT_EQ(service.isConfigurable(handle, domain, status), c.configurable) << c.position;
        EXPECT_EQ(status, c.status) << c.position;
        EXPECT_EQ(domain.status(), c.domainStatus) << c.position;
    }

    CDomainList blockers;
    STATUS status = STATUS_OK;
    EXPECT_FALSE(service.isConfigurable(handle, status, &blockers));
    EXPECT_EQ(status, STATUS_WRONG_DEVICE_STATE);
    ASSERT_EQ(blockers.count(), 1u);
    EXPECT_EQ(blockers.at(0).index(), 0);
    EXPECT_EQ(blockers.at(0).status(), STATUS_CD_DOMAIN_LOCKED);

    drive->domains = {wire(2, 0, 2048)};
    EXPECT_TRUE(service.isConfigurable(handle, status, &blockers));
    EXPECT_EQ(status, STATUS_OK);
    EXPECT_EQ(blockers.count(), 0u);

    drive->failing = {op::CFG_GET_DEVICE_CONFIGURATION};
    EXPECT_FALSE(service.isConfigurable(handle, status, nullptr));
    EXPECT_EQ(status, STATUS_COMMUNICATION_FAILURE);
}

TEST_F(ConfigService, LayoutRewritesAreNotSupportedYet) {
    CDomainList list;
    CDomain domain;
    EXPECT_EQ(service.setDomains(list, false, false, false, nullptr, nullptr),
              STATUS_COMMAND_NOT_SUPPORTED);
    EXPECT_EQ(service.updateDomain(domain, false, false, false, nullptr),
              STATUS_COMMAND_NOT_SUPPORTED);
    EXPECT_EQ(service.removeLastDomain(false, false), STATUS_COMMAND_NOT_SUPPORTED);
    EXPECT_EQ(service.removeAll(false, false, false, nullptr, nullptr),
              STATUS_COMMAND_NOT_SUPPORTED);
    EXPECT_TRUE(drive->ops.empty());
}

// The flags sent are the current ones with the mask switched, less the
// drive's own bits 1 and 3; an index the drive does not have sends nothing.
// (The drive refuses the command here, so no reconnection is waited for.)
TEST_F(ConfigService, SetDomainFlagsSwitchesTheMaskAndKeepsTheDrivesBitsOut) {
    struct Case {
        std::uint16_t current;
        std::uint16_t mask;
        bool on;
        std::uint16_t sent;
    } cases[] = {
        {0x000A, DOMAIN_FLAG_WRITE_PROTECTED, true, 0x0001},
        {0x0001, DOMAIN_FLAG_WRITE_PROTECTED, false, 0x0000},
        {0x0001, 0x0004, true, 0x0005},
        {0x0000, 0x000F, true, 0x0005},
    };
    drive->failing = {op::CFG_DOMAIN_SET_FLAGS};
    CDeviceHandle handle(&device);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "flags " << c.current << " mask " << c.mask);
        drive->domains = {wire(2, 0, 2048, c.current)};
        drive->flagSets.clear();
        CDomainAddress address(0, u"");
        EXPECT_EQ(service.setDomainFlags(handle, address, c.mask, c.on),
                  STATUS_COMMUNICATION_FAILURE);
        ASSERT_EQ(drive->flagSets.size(), 1u);
        EXPECT_EQ(drive->flagSets[0].first, 0);
        EXPECT_EQ(drive->flagSets[0].second, c.sent);
    }
    drive->flagSets.clear();
    CDomainAddress beyond(3, u"");
    CDomainAddress unresolved;
    EXPECT_EQ(service.setDomainFlags(handle, beyond, 1, true), STATUS_ILLEGAL_DOMAIN_ADDRESS);
    EXPECT_EQ(service.setDomainFlags(handle, unresolved, 1, true), STATUS_ILLEGAL_DOMAIN_ADDRESS);
    EXPECT_TRUE(drive->flagSets.empty());
}

// ---- The public handle ----

TEST(ConfigServiceHandle, WithoutAnImplementationEveryOperationIsNotSupported) {
    CHIDHandleMgr::instance().setLockDirectory(testing::freshTestDir().string());
    CUFDImpl placeholder;
    placeholder.setSerialNumber(u"NOCFG0001");
    placeholder.addService(CServiceImpl(CConfigService::SERVICE_ID, 1));
    CUFDImpl none;
    none.setSerialNumber(u"NOCFG0002");

    const CConfigService handles[] = {CConfigService(), CConfigService(CUFD()),
                                      CConfigService(CUFD(&placeholder)),
                                      CConfigService(CUFD(&none))};
    for (const CConfigService& h : handles) {
        EXPECT_EQ(h.serviceId(), 4);
        CDomainList list;
        std::uint64_t bytes = 0;
        CDomain domain(DOMAIN_TYPE_CD, 512, 0);
        EXPECT_EQ(h.getDomains(list), STATUS_COMMAND_NOT_SUPPORTED);
        EXPECT_EQ(h.getFreeCapacity(bytes), STATUS_COMMAND_NOT_SUPPORTED);
        EXPECT_EQ(h.addDomain(domain, 9, nullptr), STATUS_COMMAND_NOT_SUPPORTED);
    }
}

TEST(ConfigServiceHandle, TheDiscoveredConfigurationServiceIsTheRealOneWithItsVersion) {
    CHIDHandleMgr::instance().setLockDirectory(testing::freshTestDir().string());
    CUFDImpl device;
    device.setSerialNumber(u"CFGREG0001");
    device.addService(*makeQzService(CConfigService::SERVICE_ID, 3));
    device.addService(*makeQzService(8, 2));
    const CConfigService handle{CUFD(&device)};
    auto* impl = dynamic_cast<CConfigServiceImpl*>(handle.impl().get());
    ASSERT_NE(impl, nullptr);
    EXPECT_EQ(impl->version(), 3);
    EXPECT_EQ(impl->device(), &device);
    EXPECT_EQ(dynamic_cast<CConfigServiceImpl*>(device.getService(8).get()), nullptr);
}

// ---- Drive letters of domains ----

class LunsByLetter : public CUSBInfoParser {
  public:
    std::uint8_t getLun(char16_t letter) const override {
        for (const auto& [l, lun] : luns) {
            if (l == letter)
                return lun;
        }
        return DOMAIN_NO_LUN;
    }
    void getInfo(const CDeviceParams&, CUSBDiskInfo&) const override {}
    void parseDiskPath(std::u16string_view, CUSBDiskInfo&) const override {}
    bool getVidPid(const CDeviceParams&, std::uint16_t&, std::uint16_t&) const override {
        return false;
    }
    std::vector<std::pair<char16_t, std::uint8_t>> luns;
};

TEST(MountPointMap, LettersAreFoundMappedOrLearntThroughTheirLun) {
    struct Case {
        const char* what;
        std::uint32_t mask;
        std::vector<std::pair<char16_t, std::uint8_t>> mapped;
        std::vector<std::pair<char16_t, std::uint8_t>> luns;
        std::uint8_t lun, index;
        STATUS status;
        char16_t letter;
        std::vector<std::pair<char16_t, std::uint8_t>> mapAfter;
    } cases[] = {
        {"mapped already",
         0x18,
         {{u'D', 0}, {u'E', 1}},
         {},
         1,
         1,
         STATUS_OK,
         u'E',
         {{u'D', 0}, {u'E', 1}}},
        {"learnt from its LUN",
         0x18,
         {{u'D', 0}},
         {{u'E', 1}},
         1,
         1,
         STATUS_OK,
         u'E',
         {{u'D', 0}, {u'E', 1}}},
        // A letter keeps its index even when asked for another domain.
        {"a letter of another domain", 0x08, {{u'D', 0}}, {}, 0, 1, STATUS_OK, u'?', {{u'D', 0}}},
        {"a LUN of another domain", 0x10, {}, {{u'E', 0}}, 1, 1, STATUS_OK, u'?', {}},
        {"no letters", 0, {}, {}, 0, 0, STATUS_OK, u'?', {}},
        {"a letter whose LUN is unknown",
         0x18,
         {{u'D', 0}},
         {},
         1,
         1,
         STATUS_SDK_INTERNAL_ERROR,
         u'?',
         {{u'D', 0}}},
    };
    for (const Case& c : cases) {
        CDeviceParams device;
        device.setDriveMask(c.mask);
        for (const auto& [l, i] : c.mapped)
            device.setMountPoint(l, i);
        LunsByLetter parser;
        parser.luns = c.luns;
        char16_t letter = u'?';
        EXPECT_EQ(
            CSDKUtils::UpdateDomainIndexByMountPointMap(device, c.lun, c.index, letter, &parser),
            c.status)
            << c.what;
        EXPECT_EQ(letter, c.letter) << c.what;
        std::map<std::uint16_t, std::uint8_t> expected;
        for (const auto& [l, i] : c.mapAfter)
            expected[l] = i;
        EXPECT_EQ(device.mountPoints(), expected) << c.what;
    }
}

}  // namespace
}  // namespace nork::qz
