// The hidden-area access objects of both product lines: the frames their
// page transfers send, and the page counts and versions they report.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "DeviceHandle.h"
#include "FakeScsiDevice.h"
#include "HAUtils.h"
#include "LogCapture.h"
#include "UFDImpl.h"
#include "VendorTraits.h"
#include "qz/HAUtilsQz.h"

namespace nork {
namespace {

using test::bytes;
using test::RecordingPassThrough;

// A drive of one family behind a recording pass-through, reached through the
// process's executor as the store reaches it.
class HAUtilsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        backend = std::make_shared<test::FakeBackend>(device);
        port::deviceIo().registerBackend(backend);
        ufd.setPath(CDeviceParams::PATH_DISK, u"fake:ha");
        ufd.setDeviceState(STATUS_OK);
    }
    void TearDown() override { port::deviceIo().unregisterBackend(backend.get()); }

    CDeviceHandle handleFor(const CVendorDeviceTraits& traits) {
        ufd.setTraits(const_cast<CVendorDeviceTraits*>(&traits));
        return CDeviceHandle(&ufd);
    }

    RecordingPassThrough device;
    std::shared_ptr<test::FakeBackend> backend;
    CUFDImpl ufd;
    CVendorDeviceTraitsQz qzTraits;
    CVendorDeviceTraitsZYK zykTraits;
};

std::vector<std::uint8_t> somePage() {
    std::vector<std::uint8_t> page(512);
    for (std::size_t i = 0; i < page.size(); ++i)
        page[i] = static_cast<std::uint8_t>(i * 3);
    return page;
}

TEST_F(HAUtilsTest, CurrentLineFramesCarryPageModeAndPasswords) {
    CDeviceHandle handle = handleFor(qzTraits);
    auto utils = qzTraits.createHAUtils();
    ASSERT_EQ(utils->family(), CHAUtils::Family::Qz);
    EXPECT_EQ(utils->dataPageMode(), 0u);
    const auto page = somePage();
    std::vector<std::uint8_t> buffer(512);

    ASSERT_TRUE(utils->writePage(handle, page.data(), 0x0107));
    EXPECT_EQ(device.lastCdb(), bytes({0xFF, 0x60, 0, 0x07, 0x01, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(device.dataOut, page);

    device.dataIn = page;
    ASSERT_TRUE(utils->readPage(handle, buffer.data(), 3, 9));
    EXPECT_EQ(device.lastCdb(), bytes({0xFF, 0x61, 0, 9, 0, 3, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(buffer, page);

    ASSERT_TRUE(utils->writeProtectedPage(handle, page.data(), 0));
    EXPECT_EQ(device.lastCdb(), bytes({0xFF, 0x62, 0, 0, 0, 'T', 'Z', '4', 'K', 'W', 'L', 'M'}));
    EXPECT_EQ(device.dataOut, page);

    std::fill(buffer.begin(), buffer.end(), 0);
    ASSERT_TRUE(utils->readProtectedPage(handle, buffer.data(), 3, 0));  // mode not sent
    EXPECT_EQ(device.lastCdb(), bytes({0xFF, 0x63, 0, 0, 0, 'T', 'Z', '4', 'K', 'R', 'L', 'M'}));
    EXPECT_EQ(buffer, page);

    ASSERT_TRUE(utils->setWritePassword(handle, 0));
    EXPECT_EQ(device.lastCdb(), bytes({0xFF, 0x64, 0, 0, 0, 'T', 'Z', '4', 'K', 'W', 'L', 'M'}));
    EXPECT_EQ(device.last().DataTransferLength, 0u);
    ASSERT_TRUE(utils->setReadPassword(handle, 0));
    EXPECT_EQ(device.lastCdb(), bytes({0xFF, 0x65, 0, 0, 0, 'T', 'Z', '4', 'K', 'R', 'L', 'M'}));

    device.scsiStatus = 2;
    EXPECT_FALSE(utils->readPage(handle, buffer.data(), 0, 1));
}

TEST_F(HAUtilsTest, EarlierLineMovesPagesWithItsOwnCommandsOnly) {
    CDeviceHandle handle = handleFor(zykTraits);
    auto utils = zykTraits.createHAUtils();
    ASSERT_EQ(utils->family(), CHAUtils::Family::Zyk);
    EXPECT_EQ(utils->dataPageMode(), 2u);
    EXPECT_EQ(utils->areaVersion(), 2);
    EXPECT_FALSE(utils->hasPagePasswords());
    const auto page = somePage();
    std::vector<std::uint8_t> buffer(512);
    const auto torm = bytes({0x54, 0x4F, 0x52, 0x4D});

    for (bool protectedForm : {false, true}) {
        SCOPED_TRACE(protectedForm ? "protected" : "plain");
        ASSERT_TRUE(protectedForm ? utils->writeProtectedPage(handle, page.data(), 12)
                                  : utils->writePage(handle, page.data(), 12));
        auto expected = bytes({0xFF, 0x30, 0x01, 12, 0, 0, 0, 0, 0, 0});
        expected.insert(expected.end(), torm.begin(), torm.end());
        EXPECT_EQ(device.lastCdb(), expected);
        EXPECT_EQ(device.dataOut, page);

        ASSERT_TRUE(protectedForm ? utils->readProtectedPage(handle, buffer.data(), 3, 0)
                                  : utils->readPage(handle, buffer.data(), 3, 0));
        expected = bytes({0xFF, 0x31, 0x01, 0, 0, 3, 0, 0, 0, 0});
        expected.insert(expected.end(), torm.begin(), torm.end());
        EXPECT_EQ(device.lastCdb(), expected);
    }
}

TEST_F(HAUtilsTest, NullBuffersAreAssertedAndNothingIsSent) {
    auto capture = testing::LogCapture::onProcessLog("ha-utils");
    for (const CVendorDeviceTraits* traits :
         {static_cast<const CVendorDeviceTraits*>(&qzTraits),
          static_cast<const CVendorDeviceTraits*>(&zykTraits)}) {
        CDeviceHandle handle = handleFor(*traits);
        auto utils = traits->createHAUtils();
        EXPECT_FALSE(utils->writePage(handle, nullptr, 1));
        EXPECT_FALSE(utils->writeProtectedPage(handle, nullptr, 0));
        EXPECT_FALSE(utils->readPage(handle, nullptr, 0, 1));
        EXPECT_FALSE(utils->readProtectedPage(handle, nullptr, 3, 0));
    }
    EXPECT_TRUE(device.requests.empty());
    int content = 0, data = 0;
    for (const auto& line : capture->takeNarrow()) {
        content += line.find("[pPageContent != NULL]") != std::string::npos;
        data += line.find("[pData]") != std::string::npos;
    }
    EXPECT_EQ(content, 4);
    EXPECT_EQ(data, 4);
}

TEST_F(HAUtilsTest, EarlierLinePageCountFollowsTheFirmwareVersion) {
    struct Case {
        double version;
        std::uint16_t pages;
    } cases[] = {{2.9, 15}, {3.0, 31}, {4.29, 31}, {4.3, 250}, {6.5, 250}};
    for (const Case& c : cases) {
        CUFDImpl params;
        params.setVersion(CVersion(c.version));
        CHAUtils utils;
        utils.attach(&params);
        EXPECT_EQ(utils.pageCount(), c.pages) << c.version;
    }
}

}  // namespace
}  // namespace nork
