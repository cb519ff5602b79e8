#include "DeviceEnum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "LogCapture.h"

namespace nork {
namespace {

std::shared_ptr<nork::testing::LogCapture> processLog() {
    static auto capture = nork::testing::LogCapture::onProcessLog("DeviceEnumTest");
    return capture;
}

bool anyLineContains(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

class DeviceEnumTest : public ::testing::Test {
  protected:
    void SetUp() override { processLog()->take(); }
    void TearDown() override { CDeviceEnum::setLister(nullptr); }

    static std::vector<std::u16string> drain(CDeviceEnum& e, int calls) {
        std::vector<std::u16string> out;
        for (int i = 0; i < calls; ++i)
            out.push_back(e.getNextDevice());
        return out;
    }
};

TEST_F(DeviceEnumTest, YieldsEachPathOfItsKindThenEmpty) {
    std::vector<int> asked;
    CDeviceEnum::setLister([&](int kind) -> std::optional<std::vector<std::u16string>> {
        asked.push_back(kind);
        if (kind == CDeviceEnum::KIND_HID)
            return std::vector<std::u16string>{u"hid-a", u"hid-b"};
        return std::vector<std::u16string>{u"\\\\?\\pci#hc0"};
    });
    CDeviceEnum hid(CDeviceEnum::KIND_HID);
    EXPECT_EQ(drain(hid, 4), (std::vector<std::u16string>{u"hid-a", u"hid-b", u"", u""}));
    CDeviceEnum hosts(CDeviceEnum::KIND_USB_HOST_CONTROLLER);
    EXPECT_EQ(drain(hosts, 2), (std::vector<std::u16string>{u"\\\\?\\pci#hc0", u""}));
    // The list is taken once per enumerator.
    EXPECT_EQ(asked, (std::vector<int>{1, 2}));
    EXPECT_TRUE(processLog()->takeNarrow().empty());  // the end of a list is no error
}

TEST_F(DeviceEnumTest, FailuresAreLoggedAndYieldEmpty) {
    CDeviceEnum::setLister([](int kind) -> std::optional<std::vector<std::u16string>> {
        if (kind == CDeviceEnum::KIND_HID)
            return std::nullopt;
        return std::vector<std::u16string>{u"", u"hc1"};
    });
    CDeviceEnum hid(CDeviceEnum::KIND_HID);
    EXPECT_EQ(hid.getNextDevice(), u"");
    EXPECT_TRUE(
        anyLineContains(processLog()->takeNarrow(), "CDeviceEnum: error extracting Device handle"));

    // A member without a path is reported; the next one still comes.
    CDeviceEnum hosts(CDeviceEnum::KIND_USB_HOST_CONTROLLER);
    EXPECT_EQ(hosts.getNextDevice(), u"");
    EXPECT_TRUE(anyLineContains(processLog()->takeNarrow(),
                                "CDeviceEnum::getNextDevice unable to extract details for "
                                "interface on device with index 0"));
    EXPECT_EQ(hosts.getNextDevice(), u"hc1");
}

TEST_F(DeviceEnumTest, MassStorageKindIsRefusedAndYieldsNothing) {
    bool asked = false;
    CDeviceEnum::setLister([&](int) -> std::optional<std::vector<std::u16string>> {
        asked = true;
        return std::vector<std::u16string>{u"x"};
    });
    CDeviceEnum storage(CDeviceEnum::KIND_MASS_STORAGE);
    const auto lines = processLog()->takeNarrow();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("zyk_assert --- [kind == HID || kind == USB_HOST_CONTROLLER]"),
              std::string::npos);
    EXPECT_EQ(storage.getNextDevice(), u"");
    EXPECT_FALSE(asked);
    EXPECT_TRUE(processLog()->takeNarrow().empty());
}

}  // namespace
}  // namespace nork
