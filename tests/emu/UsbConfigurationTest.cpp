// The drive's configuration descriptor (type 2): its interfaces and
// endpoints follow the USB mode, and reading it leaves the string sequences
// alone.
#include <gtest/gtest.h>

#include "EmuTestSupport.h"
#include "model/HidInterface.h"

namespace qzemu::test {
namespace {

struct Interface {
    std::uint8_t number, cls, subclass, protocol, endpoints;
    bool operator==(const Interface&) const = default;
};
struct Endpoint {
    std::uint8_t address, attributes;
    std::uint16_t maxPacket;
    bool operator==(const Endpoint&) const = default;
};

// Walks the descriptor chain the way a host does; fails on a broken chain.
void parse(const std::vector<std::uint8_t>& d, std::vector<Interface>& interfaces,
           std::vector<Endpoint>& endpoints, int& hidDescriptors) {
    ASSERT_GE(d.size(), 9u);
    ASSERT_EQ(d[0], 9);
    ASSERT_EQ(d[1], 2);
    ASSERT_EQ(proto::getLE16(&d[2]), d.size());
    std::size_t at = 0;
    while (at < d.size()) {
        const std::uint8_t len = d[at];
        ASSERT_GE(len, 2);
        ASSERT_LE(at + len, d.size());
        const std::uint8_t* p = &d[at];
        if (p[1] == 4)
            interfaces.push_back({p[2], p[5], p[6], p[7], p[4]});
        if (p[1] == 5)
            endpoints.push_back({p[2], p[3], proto::getLE16(p + 4)});
        if (p[1] == 0x21)
            ++hidDescriptors;
        at += len;
    }
    EXPECT_EQ(d[4], interfaces.size());
}

class UsbConfigurationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        drive = VirtualDrive::create(dir.path() / "d", smallConfig());
        ASSERT_TRUE(drive->waitForBusState(BusState::Attached, 2s));
    }

    ScratchDir dir;
    std::shared_ptr<VirtualDrive> drive;
};

TEST_F(UsbConfigurationTest, InterfacesFollowTheMode) {
    const Interface storage{0, USB_CLASS_MASS_STORAGE, 0x06, 0x50, 2};
    const Endpoint bulkIn{USB_EP_BULK_IN, 0x02, 512};
    const Endpoint bulkOut{USB_EP_BULK_OUT, 0x02, 512};
    struct Case {
        bool composite;
        std::vector<Interface> interfaces;
        std::vector<Endpoint> endpoints;
        int hidDescriptors;
    };
    const Case cases[] = {
        {false, {storage}, {bulkIn, bulkOut}, 0},
        {true,
         {storage, {1, USB_CLASS_HID, 0, 0, 1}},
         {bulkIn, bulkOut, {USB_EP_INTERRUPT_IN, 0x03, 64}},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.composite ? "composite" : "disk only");
        drive->setComposite(c.composite);
        auto d = drive->usbDescriptor(2, 0, 0);
        ASSERT_TRUE(d);
        std::vector<Interface> interfaces;
        std::vector<Endpoint> endpoints;
        int hid = 0;
        parse(*d, interfaces, endpoints, hid);
        EXPECT_EQ(interfaces, c.interfaces);
        EXPECT_EQ(endpoints, c.endpoints);
        EXPECT_EQ(hid, c.hidDescriptors);
    }
    // The HID class descriptor gives the report descriptor's length.
    auto d = drive->usbDescriptor(2, 0, 0);
    const std::size_t hidAt = 9 + 9 + 7 + 7 + 9;
    ASSERT_GT(d->size(), hidAt + 9);
    EXPECT_EQ((*d)[hidAt + 1], 0x21);
    EXPECT_EQ(proto::getLE16(&(*d)[hidAt + 7]), hidReportDescriptor().size());
}

TEST_F(UsbConfigurationTest, ReadingItLeavesTheSwitchSequenceAlone) {
    const auto read = [&](std::uint8_t index) {
        return drive->usbDescriptor(3, index, proto::USB_LANG_EN_US).has_value();
    };
    ASSERT_FALSE(drive->composite());
    ASSERT_TRUE(read(USB_STRING_SWITCH));
    ASSERT_TRUE(read(USB_STRING_SWITCH));
    ASSERT_TRUE(drive->usbDescriptor(2, 0, 0));
    ASSERT_TRUE(drive->usbDescriptor(1, 0, 0));
    ASSERT_TRUE(read(USB_STRING_RESET));
    ASSERT_TRUE(read(USB_STRING_RESET));
    ASSERT_TRUE(read(USB_STRING_SWITCH));
    EXPECT_TRUE(drive->composite());
}

TEST_F(UsbConfigurationTest, NoneOffTheBus) {
    drive->detach();
    EXPECT_FALSE(drive->usbDescriptor(2, 0, 0));
}

}  // namespace
}  // namespace qzemu::test
