#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <vector>

#include "LogCapture.h"
#include "ServiceImpl.h"
#include "qz/QzCommands.h"
#include "qz/ServiceDiscoveryImpl.h"

namespace nork::qz {
namespace {

void answer(CQz_SD_QueryService_Cmd& cmd, const std::vector<std::uint8_t>& bytes) {
    std::memcpy(cmd.dataBuffer(), bytes.data(),
                std::min<std::size_t>(bytes.size(), cmd.dataLength()));
}

TEST(ServiceQuery, ParametersAndDescriptorFields) {
    CQz_SD_QueryService_Cmd q(0x0014, 0x0102, true);
    EXPECT_EQ(std::vector<std::uint8_t>(q.params(), q.params() + 9),
              (std::vector<std::uint8_t>{0x14, 0x00, 0x02, 0x01, 0, 0, 1, 0, 0}));
    EXPECT_FALSE(q.noStatusPhase());
    EXPECT_TRUE(CQz_SD_QueryService_Cmd(3, 6, false, true).noStatusPhase());

    struct Case {
        std::uint16_t id;
        bool longForm;
        std::vector<std::uint8_t> data;
        std::uint32_t length, rootLength, header;
    } cases[] = {
        // A 6-byte descriptor has no root-specific fields.
        {4, false, {4, 0, 1, 0, 6, 0}, 6, 0, 6},
        {4, false, {4, 0, 1, 0, 11, 0, 5, 3, 1, 2, 3}, 11, 5, 6},
        // Odd ids: 10-byte header; the long form reads the 32-bit total.
        {3, true, {3, 0, 1, 0, 39, 0, 0x2C, 0x01, 0, 0}, 300, 29, 10},
        {3, false, {3, 0, 1, 0, 39, 0, 0x2C, 0x01, 0, 0}, 39, 29, 10},
    };
    for (const auto& c : cases) {
        CQz_SD_QueryService_Cmd cmd(c.id, static_cast<std::uint32_t>(c.data.size()), c.longForm);
        answer(cmd, c.data);
        EXPECT_EQ(cmd.id(), c.id);
        EXPECT_EQ(cmd.version(), 1);
        EXPECT_EQ(cmd.length(), c.length);
        EXPECT_EQ(cmd.rootSpecificLength(), c.rootLength);
        EXPECT_EQ(cmd.rootSpecificStart(), cmd.dataBuffer() + c.header);
    }
    // Without data there is nothing to read.
    CQz_SD_QueryService_Cmd empty(3, 0, false);
    EXPECT_EQ(empty.id(), -1);
    EXPECT_EQ(empty.length(), 0u);
    EXPECT_EQ(empty.rootSpecificStart(), nullptr);
}

}  // namespace
}  // namespace nork::qz

namespace nork::qz {
namespace {

TEST(DiscoveryWalk, RecordsUntilTheEndAZeroIdOrARecordThatCannotMove) {
    using S = DiscoveredService;
    struct Case {
        const char* what;
        std::vector<std::uint8_t> data;
        std::vector<S> expected;
    } cases[] = {
        {"own record first, then two",
         {3, 0, 1, 0, 10, 0, 22, 0, 0, 0, 4, 0, 1, 0, 6, 0, 8, 0, 2, 0, 6, 0},
         {{3, 1}, {4, 1}, {8, 2}}},
        {"a zero id ends the list", {3, 0, 1, 0, 10, 0, 16, 0, 0, 0, 0, 0, 9, 0, 6, 0}, {{3, 1}}},
        // A length shorter than the header would never move on.
        {"a record of length 0",
         {3, 0, 1, 0, 10, 0, 22, 0, 0, 0, 4, 0, 1, 0, 0, 0},
         {{3, 1}, {4, 1}}},
        {"a header cut by the total", {3, 0, 1, 0, 10, 0, 13, 0, 0, 0, 4, 0, 1}, {{3, 1}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CServiceDiscoveryImpl::walkRecords(c.data.data(),
                                                     static_cast<std::uint32_t>(c.data.size())),
                  c.expected)
            << c.what;
    }
}

}  // namespace
}  // namespace nork::qz

namespace nork {
namespace {

TEST(ServiceOperations, NothingThrownReachesTheCaller) {
    auto log = testing::LogCapture::onProcessLog("ServiceOperations.capture");
    EXPECT_EQ(guarded("CTest::op", []() -> STATUS { throw std::bad_alloc(); }),
              STATUS_SDK_INTERNAL_ERROR);
    EXPECT_EQ(guarded("CTest::op", []() -> STATUS { return STATUS_DATA_NOT_FOUND; }),
              STATUS_DATA_NOT_FOUND);
    const auto lines = log->takeNarrow();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("CTest::op - internal error"), std::string::npos) << lines[0];
}

}  // namespace
}  // namespace nork
