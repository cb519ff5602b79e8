// The hidden-area page store against a real qzemud through the real
// executor: formatting on first use, records that survive a new store
// object, the protected index page of version 3, a torn page write, and the
// protocol fields that carry the area's size and the fault.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "DeviceHandle.h"
#include "DeviceManager.h"
#include "DeviceParams.h"
#include "DeviceSupport.h"
#include "E2eSupport.h"
#include "HAChunkMgr.h"
#include "HAPageMgr.h"
#include "HATestSupport.h"
#include "UFDImpl.h"
#include "VendorIdentifier.h"
#include "VersionFactory.h"
#include "model/HiddenArea.h"
#include "qz/QzCommands.h"

namespace qzemu::e2e {
namespace {

using nork::CHAChunkMgr;
using nork::CHAPageMgr;
using nork::STATUS;
using nork::STATUS_OK;
using nork::test::CHATestRecord;

// One store operation's objects, as a store builds them per device.
struct Store {
    explicit Store(nork::CUFDImpl& device) { pages.attach(&device); }
    STATUS open() {
        pages.openHandle();
        return pages.openArea();
    }
    void end() {
        pages.drop();
        chunks.clear();
        pages.closeHandle();
    }
    STATUS put(CHATestRecord record) {
        auto old = chunks.find(CHATestRecord(record.name()));
        const STATUS st = chunks.writeObject(record, old.get());
        return st != STATUS_OK ? st : chunks.commit();
    }
    std::unique_ptr<CHATestRecord> get(const std::string& name) {
        auto found = chunks.find(CHATestRecord(name));
        return std::unique_ptr<CHATestRecord>(static_cast<CHATestRecord*>(found.release()));
    }
    CHAPageMgr pages;
    CHAChunkMgr chunks{pages};
};

std::vector<std::uint8_t> bytesOf(std::size_t n, int seed) {
    std::vector<std::uint8_t> b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(seed + i * 13);
    return b;
}

using HiddenAreaE2e = DaemonDriveTest;

TEST_F(HiddenAreaE2e, RecordsWrittenByOneStoreAreReadByTheNext) {
    nork::CUFDImpl* device = connect("QE00AAEA00000001");
    ASSERT_NE(device, nullptr);
    {
        Store s(*device);
        ASSERT_EQ(s.open(), STATUS_OK);  // a blank drive is formatted on first use
        EXPECT_EQ(s.pages.pageCount(), 250);
        EXPECT_EQ(s.pages.areaVersion(), 2);
        ASSERT_EQ(s.put(CHATestRecord("small", bytesOf(20, 1))), STATUS_OK);
        ASSERT_EQ(s.put(CHATestRecord("spanning", bytesOf(900, 2))), STATUS_OK);
        ASSERT_EQ(s.put(CHATestRecord("small", bytesOf(30, 3))), STATUS_OK);  // grown: moved
        s.end();
    }
    Store next(*device);
    ASSERT_EQ(next.open(), STATUS_OK);
    auto small = next.get("small");
    auto spanning = next.get("spanning");
    ASSERT_TRUE(small && spanning);
    EXPECT_EQ(small->payload(), bytesOf(30, 3));
    EXPECT_EQ(spanning->payload(), bytesOf(900, 2));
    next.end();

    const auto area = nork::test::checkHAArea(pagesOf("QE00AAEA00000001"));
    ASSERT_TRUE(area.ok()) << area.error;
    EXPECT_EQ(area.version, 2);
}

TEST_F(HiddenAreaE2e, VersionThreeProtectsTheIndexPage) {
    const std::string serial = "QE00AAEA00000003";
    nork::CUFDImpl* device = connect(serial, "3:1,4:1,8:3", 40);
    ASSERT_NE(device, nullptr);
    {
        Store s(*device);
        ASSERT_EQ(s.open(), STATUS_OK);
        EXPECT_EQ(s.pages.pageCount(), 40);
        EXPECT_EQ(s.pages.areaVersion(), 3);
        ASSERT_EQ(s.put(CHATestRecord("kept", bytesOf(64, 4))), STATUS_OK);
        s.end();
    }
    {
        Store s(*device);
        ASSERT_EQ(s.open(), STATUS_OK);
        auto kept = s.get("kept");
        ASSERT_TRUE(kept);
        EXPECT_EQ(kept->payload(), bytesOf(64, 4));
        s.end();
    }
    const auto area = nork::test::checkHAArea(pagesOf(serial));
    ASSERT_TRUE(area.ok()) << area.error;
    EXPECT_EQ(area.version, 3);

    // Without the password page 0 cannot be read or written.
    nork::CDeviceHandle handle(device);
    std::vector<std::uint8_t> page(512);
    nork::qz::CQzHAReadPageCmd read(page.data());
    std::uint8_t params[6] = {0, 0, 3, 0, 0, 0};
    read.setParams(params, sizeof params);
    EXPECT_FALSE(nork::executePrivate(handle, read));
    EXPECT_EQ(rig->inspect(serial).errorRegister, 0x00610004u);  // PAGE_READ_PSSWD_PROTECTED
    nork::qz::CQzHAWritePageCmd write;
    write.setParams(params, 2);
    EXPECT_FALSE(nork::executePrivate(handle, write));
    EXPECT_EQ(rig->inspect(serial).errorRegister, 0x00600002u);  // PAGE_WRITE_PSSWD_PROTECTED
}

TEST_F(HiddenAreaE2e, ATornPageWriteLeavesTheStoreReadable) {
    const std::string serial = "QE00AAEA00000007";
    nork::CUFDImpl* device = connect(serial);
    ASSERT_NE(device, nullptr);
    {
        Store s(*device);
        ASSERT_EQ(s.open(), STATUS_OK);
        ASSERT_EQ(s.put(CHATestRecord("first", bytesOf(90, 5))), STATUS_OK);
        s.end();
    }
    // The next commit writes pages 2 and 1 (highest first); page 1 is torn
    // in the middle of the new record.
    rig->fault(emu::FaultRequest{serial, emu::FaultKind::TearPage, 2, 200, false});
    EXPECT_EQ(rig->inspect(serial).faults.tearPageIn, 2u);
    {
        Store s(*device);
        ASSERT_EQ(s.open(), STATUS_OK);
        EXPECT_EQ(s.put(CHATestRecord("second", bytesOf(600, 6))),
                  nork::STATUS_COMMUNICATION_FAILURE);
        s.end();
    }
    Store after(*device);
    ASSERT_EQ(after.open(), STATUS_OK);
    auto first = after.get("first");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->payload(), bytesOf(90, 5));
    // The stream is whole: the torn record's header and the free chunk after
    // it reached the drive; only the record's body is mixed.
    const auto area = nork::test::checkHAArea(pagesOf(serial));
    EXPECT_TRUE(area.ok()) << area.error;
    // And the store goes on working.
    EXPECT_EQ(after.put(CHATestRecord("third", bytesOf(10, 7))), STATUS_OK);
    after.end();
}

TEST_F(HiddenAreaE2e, TheServiceVersionDecidesTheAreaVersion) {
    struct Case {
        const char* services;
        int areaVersion;
        std::uint16_t pages;
        STATUS open;
    } cases[] = {
        {"3:1,8:0", 2, 250, STATUS_OK},
        {"3:1,8:1", 2, 250, STATUS_OK},
        {"3:1,8:3", 3, 250, STATUS_OK},
        {"3:1,8:4", 0, 250, nork::STATUS_WRONG_HIDDEN_AREA_VERSION},
        {"3:1,4:1", 0, 0, nork::STATUS_WRONG_HIDDEN_AREA_VERSION},  // no hidden area
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.services);
        nork::CUFDImpl* device = connect("QE00AAEA0000010" + std::to_string(n++), c.services);
        ASSERT_NE(device, nullptr);
        Store s(*device);
        EXPECT_EQ(s.open(), c.open);
        EXPECT_EQ(s.pages.areaVersion(), c.areaVersion);
        EXPECT_EQ(s.pages.pageCount(), c.pages);
        s.end();
    }
}

TEST_F(HiddenAreaE2e, TheCliCreatesSizedAreasAndTearsPages) {
    auto cli = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {QZEMU_CLI_PATH, "--socket", rig->daemon().socket()});
        std::string out;
        int code = -1;
        EXPECT_FALSE(nork::port::runProcess(QZEMU_CLI_PATH, args, out, code, true));
        return std::make_pair(code, out);
    };
    EXPECT_EQ(cli({"create", "--serial", "QEHACLI", "--hidden-pages", "30"}).first, 0);
    EXPECT_EQ(rig->inspect("QEHACLI").hiddenPages, 30);
    EXPECT_EQ(cli({"fault", "QEHACLI", "tear-page", "3", "lost"}).first, 0);
    auto faults = rig->inspect("QEHACLI").faults;
    EXPECT_EQ(faults.tearPageIn, 3u);
    EXPECT_TRUE(faults.tearPageLost);
    EXPECT_EQ(cli({"fault", "QEHACLI", "tear-page", "1", "100"}).first, 0);
    faults = rig->inspect("QEHACLI").faults;
    EXPECT_EQ(faults.tearPageKeepBytes, 100u);
    EXPECT_FALSE(faults.tearPageLost);
    const auto shown = cli({"inspect", "QEHACLI"}).second;
    EXPECT_NE(shown.find("hidden area    30 pages"), std::string::npos) << shown;
    EXPECT_NE(shown.find("tear-page 1 keep 100 bytes"), std::string::npos) << shown;
    for (auto bad :
         std::vector<std::vector<std::string>>{{"fault", "QEHACLI", "tear-page", "1", "513"},
                                               {"fault", "QEHACLI", "tear-page", "1"},
                                               {"create", "--hidden-pages", "1"},
                                               {"create", "--hidden-pages", "65535"}}) {
        EXPECT_EQ(cli(bad).first, 1) << bad.back();
    }
}

TEST(HiddenAreaProtocol, ExtensionFieldsTravelOnlyWhenAskedFor) {
    // An older client's configuration (no extension) is still taken.
    emu::DriveConfig old;
    old.serial = "S";
    auto bytes = emu::encode(old);
    emu::DriveConfig back;
    ASSERT_TRUE(emu::decode(bytes, back));
    EXPECT_FALSE(back.extended);
    EXPECT_EQ(back.hiddenPages, 0);
    old.hiddenPages = 40;
    ASSERT_TRUE(emu::decode(emu::encode(old), back));
    EXPECT_TRUE(back.extended);
    EXPECT_EQ(back.hiddenPages, 40);

    // Drive information: the plain form is what older clients read.
    emu::DriveInfo info;
    info.serial = "S";
    info.hiddenPages = 40;
    info.faults.tearPageIn = 2;
    info.faults.tearPageKeepBytes = 100;
    info.faults.tearPageLost = true;
    emu::DriveInfo plain, extended;
    ASSERT_TRUE(emu::decode(emu::encode(info), plain));
    EXPECT_EQ(plain.hiddenPages, 0);
    EXPECT_FALSE(emu::decode(emu::encode(info, true), plain));
    ASSERT_TRUE(emu::decode(emu::encode(info, true), extended, true));
    EXPECT_EQ(extended.hiddenPages, 40);
    EXPECT_EQ(extended.faults.tearPageIn, 2u);
    EXPECT_EQ(extended.faults.tearPageKeepBytes, 100u);
    EXPECT_TRUE(extended.faults.tearPageLost);

    // Requests: a bare serial or empty list (older clients), or the mark.
    emu::InspectRequest inspect;
    ASSERT_TRUE(emu::decode(emu::encode(emu::SerialRequest{"S"}), inspect));
    EXPECT_FALSE(inspect.extended);
    ASSERT_TRUE(emu::decode(emu::encode(emu::InspectRequest{"S", true}), inspect));
    EXPECT_TRUE(inspect.extended);
    emu::ListRequest list;
    EXPECT_TRUE(emu::decode({}, list));
    EXPECT_FALSE(list.extended);
    EXPECT_TRUE(emu::decode({emu::INFO_EXTENDED}, list));
    EXPECT_TRUE(list.extended);
    EXPECT_FALSE(emu::decode({2}, list));
}

TEST_F(HiddenAreaE2e, AnOlderClientsRequestsGetThePlainReplies) {
    emu::DriveConfig config = smallDrive("QE00AAEA00000009");
    config.hiddenPages = 64;
    rig->create(config);
    std::vector<std::uint8_t> reply;
    ASSERT_TRUE(
        rig->client()
            .call(emu::MsgType::Inspect, emu::encode(emu::SerialRequest{config.serial}), reply)
            .ok());
    emu::DriveInfo info;
    EXPECT_TRUE(emu::decode(reply, info));
    ASSERT_TRUE(rig->client().call(emu::MsgType::List, {}, reply).ok());
    std::vector<emu::DriveInfo> all;
    EXPECT_TRUE(emu::decode(reply, all));
    // The current client sees the extension.
    EXPECT_EQ(rig->inspect(config.serial).hiddenPages, 64);
}

}  // namespace
}  // namespace qzemu::e2e
