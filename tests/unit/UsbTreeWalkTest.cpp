// The USB tree walk over a fake tree: hub chains, the first hit ending the
// walk, the string-descriptor checks and the visitors' read sequences.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "DeviceTreeVisit.h"
#include "LogCapture.h"
#include "ReconnectTestSupport.h"

namespace nork {
namespace {

using testing::FakeUsbTree;

bool hasLine(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

int countLines(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find(text) != std::string::npos;
    }));
}

// Installs a fake tree for the walk and takes it away afterwards.
class UsbTreeWalk : public ::testing::Test {
  protected:
    void SetUp() override { usb::setTreeSource(tree); }
    void TearDown() override { usb::setTreeSource(nullptr); }

    // A drive on a hub port with its serial at index 3 and a string id at
    // index 4.
    void addDrive(const std::string& hub, std::uint32_t port, const std::u16string& serial,
                  const std::u16string& stringId) {
        tree->hubs[hub].name = hub;
        tree->hubs[hub].ports.push_back(FakeUsbTree::device(port, 0x1234, 0x00AB, 1, 2, 3));
        tree->strings[{hub, port, 3}] = FakeUsbTree::descriptor(serial);
        if (!stringId.empty())
            tree->strings[{hub, port, 4}] = FakeUsbTree::descriptor(stringId);
    }
    void addHost(const std::string& key, const std::string& rootHub) {
        tree->hosts.push_back({u"hc", key, u"Host Controller", rootHub});
        tree->hubs[rootHub].name = rootHub;
    }

    std::shared_ptr<FakeUsbTree> tree = std::make_shared<FakeUsbTree>();
};

// root0: 1 another drive, 2 external hub, 3 empty. ext1: 1 a hub that
// cannot be read, 2 the target. A second controller carries a drive with the
// same serial, which the walk must never reach.
class HubChain : public UsbTreeWalk {
  protected:
    void SetUp() override {
        UsbTreeWalk::SetUp();
        addHost("hc0-key", "root0");
        addDrive("root0", 1, u"OTHERSERIAL", u"Qz 4");
        tree->hubs["root0"].ports.push_back(FakeUsbTree::hubPort(2, "ext1"));
        port::UsbPortInfo empty;
        empty.port = 3;
        tree->hubs["root0"].ports.push_back(empty);
        tree->hubs["ext1"].name = "ext1";
        tree->hubs["ext1"].ports.push_back(FakeUsbTree::hubPort(1, "gone"));
        addDrive("ext1", 2, u"QZTARGET01", u"Qz 4 drive");
        addHost("hc1-key", "root1");
        addDrive("root1", 1, u"QZTARGET01", u"Qz 4");
    }
};

TEST_F(HubChain, ValidationFindsTheDriveBehindTheExternalHubAndStops) {
    auto log = testing::LogCapture::onProcessLog("WalkFound");
    usb::CQzValidationVisitor visitor(u"QZTARGET01");
    EXPECT_FALSE(usb::walk(visitor));  // stopped by the hit
    EXPECT_TRUE(visitor.found());
    EXPECT_TRUE(visitor.result());
    EXPECT_EQ(visitor.vid(), 0x1234);
    EXPECT_EQ(visitor.pid(), 0x00AB);
    EXPECT_EQ(visitor.stringId(), u"Qz 4 drive");
    EXPECT_EQ(visitor.service(), u"USBSTOR");
    EXPECT_FALSE(visitor.composite());
    EXPECT_EQ(tree->readsOf("ext1", 2), (std::vector<int>{3, 4}));
    EXPECT_TRUE(tree->readsOf("root1", 1).empty());
    for (auto language : tree->languages)
        EXPECT_EQ(language, 0x0409);
    EXPECT_TRUE(hasLine(log->takeNarrow(),
                        "USB Device validation Succeed: VID 0x1234, PID 0x00AB, serial QZTARGET01, "
                        "description: USB Mass Storage Device"));
}

TEST_F(HubChain, WithoutAHitEveryReadablePortIsVisited) {
    usb::CQzValidationVisitor visitor(u"NOBODY");
    EXPECT_TRUE(usb::walk(visitor));
    EXPECT_FALSE(visitor.found());
    // Behind the unreadable hub the walk goes on, into the next controller.
    EXPECT_EQ(tree->readsOf("ext1", 2), (std::vector<int>{3}));
    EXPECT_EQ(tree->readsOf("root1", 1), (std::vector<int>{3}));
}

TEST_F(HubChain, AControllerThatCannotBeIdentifiedEndsTheWalk) {
    tree->hosts.insert(tree->hosts.begin(), {u"hc", "", u"broken", "root0"});
    usb::CQzValidationVisitor visitor(u"QZTARGET01");
    EXPECT_FALSE(usb::walk(visitor));
    EXPECT_FALSE(visitor.found());
    EXPECT_TRUE(tree->reads.empty());
}

TEST_F(UsbTreeWalk, StringIdIndexFollowsTheHighestStringIndex) {
    struct Case {
        std::uint8_t manufacturer, product, serial;
        int stringId;
    };
    const Case cases[] = {{1, 2, 3, 4}, {5, 1, 3, 6}, {0, 9, 2, 10}};
    for (const Case& c : cases) {
        tree = std::make_shared<FakeUsbTree>();
        usb::setTreeSource(tree);
        addHost("k", "root");
        tree->hubs["root"].ports.push_back(
            FakeUsbTree::device(1, 1, 2, c.manufacturer, c.product, c.serial));
        tree->strings[{"root", 1, c.serial}] = FakeUsbTree::descriptor(u"S1");
        tree->strings[{"root", 1, static_cast<std::uint8_t>(c.stringId)}] =
            FakeUsbTree::descriptor(u"Qz 2");
        usb::CQzValidationVisitor visitor(u"S1");
        usb::walk(visitor);
        EXPECT_TRUE(visitor.result()) << c.stringId;
        EXPECT_EQ(tree->readsOf("root", 1), (std::vector<int>{c.serial, c.stringId}));
    }
}

TEST_F(UsbTreeWalk, AStringIdThatIsNotQzIsNoHit) {
    addHost("k", "root");
    addDrive("root", 1, u"S1", u"Xy 4");
    usb::CQzValidationVisitor visitor(u"S1");
    EXPECT_TRUE(usb::walk(visitor));
    EXPECT_FALSE(visitor.result());
}

TEST_F(UsbTreeWalk, CompositeSwitchTriggerSequence) {
    // String id at 4: a = 5, b = 6.
    struct Case {
        const char16_t* stringId;
        int failingIndex;  // 0 = none
        std::vector<int> reads;
        bool result;
        const char* line;  // nullptr: no sequence, nothing logged
    };
    const Case cases[] = {
        {u"Qz 2", 0, {3, 4, 5, 5, 6, 6, 5, 5}, true, "Qz HID trigger switch 1"},
        {u"Qz 4", 0, {3, 4, 5, 5, 6, 6, 5, 5}, true, "Qz HID trigger switch 1"},
        {u"Qz 6", 6, {3, 4, 5, 5, 6, 5}, false, "Qz HID trigger switch 0"},
        {u"Qz 1", 0, {3, 4}, false, nullptr},
        {u"Qz 8", 0, {3, 4}, false, nullptr},
    };
    auto log = testing::LogCapture::onProcessLog("WalkSwitch");
    for (const Case& c : cases) {
        tree = std::make_shared<FakeUsbTree>();
        usb::setTreeSource(tree);
        addHost("k", "root");
        addDrive("root", 1, u"S1", c.stringId);
        for (std::uint8_t i : {5, 6}) {
            if (i != c.failingIndex)
                tree->strings[{"root", 1, i}] = FakeUsbTree::descriptor(u"x");
        }
        // Every try of the failing read fails.
        if (c.failingIndex != 0)
            tree->failuresLeft[{"root", 1, static_cast<std::uint8_t>(c.failingIndex)}] = 1000;
        log->take();
        usb::CQzCompSwitchTriggerVisitor visitor(u"S1");
        EXPECT_FALSE(usb::walk(visitor));
        EXPECT_TRUE(visitor.found());
        EXPECT_EQ(visitor.result(), c.result);
        // A failing index is tried ten times per read.
        std::vector<int> reads = tree->readsOf("root", 1);
        reads.erase(std::unique(reads.begin(), reads.end(),
                                [&](int x, int y) { return x == y && x == c.failingIndex; }),
                    reads.end());
        EXPECT_EQ(reads, c.reads) << std::string(c.stringId, c.stringId + 4);
        const auto lines = log->takeNarrow();
        if (c.line != nullptr) {
            EXPECT_TRUE(hasLine(lines, c.line));
        } else {
            EXPECT_FALSE(hasLine(lines, "Qz HID trigger switch"));
        }
    }
}

TEST_F(UsbTreeWalk, HidResetReadsOnceAtStringIdPlusTwo) {
    auto log = testing::LogCapture::onProcessLog("WalkReset");
    addHost("k", "root");
    addDrive("root", 1, u"S1", u"Qz 2");
    tree->strings[{"root", 1, 6}] = FakeUsbTree::descriptor(u"r");
    usb::CQzHidResetCommandVisitor visitor(u"S1");
    usb::walk(visitor);
    EXPECT_TRUE(visitor.result());
    EXPECT_EQ(tree->readsOf("root", 1), (std::vector<int>{3, 4, 6}));
    EXPECT_TRUE(hasLine(log->takeNarrow(), "Qz HID reset 1"));

    tree->strings.erase({"root", 1, 6});
    usb::CQzHidResetCommandVisitor failing(u"S1");
    usb::walk(failing);
    EXPECT_TRUE(failing.found());
    EXPECT_FALSE(failing.result());
    EXPECT_TRUE(hasLine(log->takeNarrow(), "Qz HID reset 0"));
}

TEST_F(UsbTreeWalk, StringDescriptorSanityChecks) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> raw;
        bool accepted;
    };
    const Case cases[] = {
        {"well formed", {6, 3, 'A', 0, 'B', 0}, true},
        {"bLength longer than returned", {8, 3, 'A', 0, 'B', 0}, false},
        {"bLength shorter than returned", {4, 3, 'A', 0, 'B', 0}, false},
        {"odd bLength", {5, 3, 'A', 0, 'B'}, false},
        {"not a string descriptor", {6, 2, 'A', 0, 'B', 0}, false},
        {"one byte", {2}, false},
    };
    auto log = testing::LogCapture::onProcessLog("WalkSanity");
    const port::UsbPortInfo info = FakeUsbTree::device(1, 1, 2, 0, 0, 0);
    for (const Case& c : cases) {
        tree->strings[{"hub", 1, 7}] = c.raw;
        usb::CUSBDevice device(*tree, "hub", info);
        std::vector<std::uint8_t> out;
        log->take();
        EXPECT_EQ(device.getStringDescriptor(7, usb::USB_LANGUAGE, out), c.accepted) << c.name;
        EXPECT_EQ(hasLine(log->takeNarrow(),
                          "CUSBDevice::getStringDescriptor() --- failed on "
                          "sanity checks, return false"),
                  !c.accepted)
            << c.name;
        if (c.accepted) {
            EXPECT_EQ(out, c.raw);
        }
    }
}

TEST_F(UsbTreeWalk, StringDescriptorIsTriedTenTimes) {
    auto log = testing::LogCapture::onProcessLog("WalkRetry");
    const port::UsbPortInfo info = FakeUsbTree::device(1, 1, 2, 0, 0, 0);
    usb::CUSBDevice device(*tree, "hub", info);
    tree->strings[{"hub", 1, 2}] = FakeUsbTree::descriptor(u"ok");
    tree->failuresLeft[{"hub", 1, 2}] = 3;
    std::u16string text;
    EXPECT_TRUE(device.getString(2, text));
    EXPECT_EQ(text, u"ok");
    auto lines = log->takeNarrow();
    EXPECT_EQ(countLines(lines, "DeviceIoControl command failed for the"), 3);
    EXPECT_TRUE(hasLine(lines,
                        "CUSBDevice::getStringDescriptor(index == 2) --- DeviceIoControl "
                        "command failed for the 3 time"));

    tree->failuresLeft[{"hub", 1, 2}] = 50;
    tree->reads.clear();
    EXPECT_FALSE(device.getString(2, text));
    EXPECT_EQ(tree->reads.size(), 10u);
    lines = log->takeNarrow();
    EXPECT_EQ(countLines(lines, "DeviceIoControl command failed for the"), 10);
}

TEST_F(UsbTreeWalk, CapabilitiesReadTheSpeedFromTheFirstBulkEndpoint) {
    auto endpoint = [](std::uint8_t address, std::uint8_t attributes, std::uint16_t size) {
        return std::vector<std::uint8_t>{7,
                                         5,
                                         address,
                                         attributes,
                                         static_cast<std::uint8_t>(size),
                                         static_cast<std::uint8_t>(size >> 8),
                                         0};
    };
    struct Case {
        const char* name;
        std::vector<std::vector<std::uint8_t>> endpoints;
        bool withConfig;
        int speed;
    };
    const Case cases[] = {
        {"bulk in 512", {endpoint(0x81, 0x02, 512), endpoint(0x02, 0x02, 512)}, true, 2},
        {"only endpoint 2, 64", {endpoint(0x02, 0x02, 64)}, true, 1},
        {"endpoint 1 interrupt", {endpoint(0x81, 0x03, 8), endpoint(0x02, 0x02, 512)}, true, 1},
        {"endpoint 1 isochronous", {endpoint(0x81, 0x01, 512)}, true, 0},
        {"no configuration descriptor", {}, false, 0},
    };
    for (const Case& c : cases) {
        tree = std::make_shared<FakeUsbTree>();
        usb::setTreeSource(tree);
        addHost("k", "root");
        addDrive("root", 1, u"S1", u"");
        if (c.withConfig) {
            std::vector<std::uint8_t> config{
                9,    2,  0,    0, 1, 1, 0,
                0x80, 50, 9,    4, 0, 0, static_cast<std::uint8_t>(c.endpoints.size()),
                8,    6,  0x50, 0};
            for (const auto& e : c.endpoints)
                config.insert(config.end(), e.begin(), e.end());
            config[2] = static_cast<std::uint8_t>(config.size());
            tree->hubs["root"].ports[0].configDescriptor = config;
        }
        usb::CUSBCapabilitiesVisitor visitor(u"S1");
        EXPECT_FALSE(usb::walk(visitor)) << c.name;
        EXPECT_TRUE(visitor.found()) << c.name;
        EXPECT_EQ(visitor.vid(), 0x1234) << c.name;
        EXPECT_EQ(visitor.speed(), c.speed) << c.name;
    }
}

}  // namespace
}  // namespace nork
