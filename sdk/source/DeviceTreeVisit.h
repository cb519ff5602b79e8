// The USB device tree walk: host controllers in order, each one's root hub,
// hubs behind hubs, and every connected non-hub device handed to a visitor
// until one of them reports a hit. This is how a drive is found by serial
// number, how its string-id descriptor is read and how the drive's
// string-descriptor read sequences (composite switch, HID reset) are sent
// through its hub port.
//
// The tree comes from port/UsbTree.h. A tree source can be installed in its
// place (tests hand over a fake tree). Walks are synchronous and run on the
// caller's thread; every call blocks for at most the hub reads and control
// transfers it makes. Nothing here throws.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "port/UsbTree.h"

namespace nork::usb {

// Language of every string-descriptor read (US English).
inline constexpr std::uint16_t USB_LANGUAGE = 0x0409;

// Installs the tree the walk reads (null: the port's tree, the default).
// Returns the previous source.
std::shared_ptr<port::IUsbTreeBackend> setTreeSource(std::shared_ptr<port::IUsbTreeBackend> source);

// One hub port during the walk: the hub it sits on, its number (from 1) and
// the connection information the hub reported for it.
class CUSBDevice {
  public:
    // Size of the string-descriptor request header that a hub answer counts
    // in its returned length.
    static constexpr std::size_t REQUEST_HEADER_SIZE = 12;
    static constexpr int STRING_TRIES = 10;

    CUSBDevice(port::IUsbTreeBackend& tree, std::string hubName, const port::UsbPortInfo& info);

    const std::string& hubName() const { return m_hubName; }
    std::uint32_t port() const { return m_info.port; }

    // idVendor and idProduct; false (logged) without connection information.
    bool getIds(std::uint16_t& vid, std::uint16_t& pid) const;
    // The 18-byte device descriptor.
    std::array<std::uint8_t, 18> deviceDescriptor() const { return m_info.deviceDescriptor; }
    std::uint8_t iManufacturer() const { return m_info.deviceDescriptor[14]; }
    std::uint8_t iProduct() const { return m_info.deviceDescriptor[15]; }
    std::uint8_t iSerialNumber() const { return m_info.deviceDescriptor[16]; }

    // The string descriptor (bLength, type 3, text) at an index, tried up to
    // ten times; false when every try failed or the answer fails the sanity
    // checks (type 3, even bLength, returned length = bLength + header).
    bool getStringDescriptor(std::uint8_t index, std::uint16_t language,
                             std::vector<std::uint8_t>& out) const;
    // The text of a string descriptor, at most maxChars characters.
    bool getString(std::uint8_t index, std::u16string& out, std::size_t maxChars = 127) const;

    const std::u16string& description() const { return m_info.description; }
    const std::u16string& service() const { return m_info.service; }
    // The 7-byte endpoint descriptor of an endpoint number (direction bit
    // ignored) in the configuration descriptor; null when absent.
    const std::uint8_t* findEndpoint(std::uint8_t endpointNumber) const;

  private:
    port::IUsbTreeBackend& m_tree;
    std::string m_hubName;
    port::UsbPortInfo m_info;
};

class CVisitor {
  public:
    CVisitor() = default;
    virtual ~CVisitor() = default;
    CVisitor(const CVisitor&) = delete;
    CVisitor& operator=(const CVisitor&) = delete;

    // True stops the walk.
    virtual bool visit(CUSBDevice& device) = 0;
    bool found() const { return m_found; }

  protected:
    void setFound() { m_found = true; }

  private:
    bool m_found = false;
};

// False when a visitor stopped the walk or a host or hub could not be read.
bool walk(CVisitor& visitor);

// Finds the drive with a serial number and checks that its string-id
// descriptor names a Qz drive.
class CQzValidationVisitor : public CVisitor {
  public:
    static constexpr std::size_t MAX_SERIAL = 256;

    explicit CQzValidationVisitor(const std::u16string& serial);
    bool visit(CUSBDevice& device) override;

    bool result() const { return m_result; }
    std::uint16_t vid() const { return m_vid; }
    std::uint16_t pid() const { return m_pid; }
    const std::u16string& description() const { return m_description; }
    const std::u16string& service() const { return m_service; }
    // The string-id text read (empty when not read).
    const std::u16string& stringId() const { return m_stringId; }
    // Whether the drive shows its composite configuration ("usbccgp" from
    // platform type 9 on, "usbhub" below).
    bool composite() const;

  protected:
    // Serial match, identity and string id; true when the device is the
    // target and its string id is a valid Qz one (also sets result and
    // found). stringIdIndex is set once the serial matched.
    bool validate(CUSBDevice& device);

    std::u16string m_serial;
    bool m_result = false;
    std::uint16_t m_vid = 0;
    std::uint16_t m_pid = 0;
    std::u16string m_description;
    std::u16string m_service;
    std::u16string m_stringId;
    int m_stringIdIndex = 0;
};

// Reads VID, PID and the speed class of the drive with a serial number.
class CUSBCapabilitiesVisitor : public CVisitor {
  public:
    enum Speed { SPEED_UNKNOWN = 0, SPEED_FULL = 1, SPEED_HIGH = 2 };

    explicit CUSBCapabilitiesVisitor(const std::u16string& serial);
    bool visit(CUSBDevice& device) override;

    std::uint16_t vid() const { return m_vid; }
    std::uint16_t pid() const { return m_pid; }
    int speed() const { return m_speed; }

  private:
    std::u16string m_serial;
    std::uint16_t m_vid = 0;
    std::uint16_t m_pid = 0;
    int m_speed = SPEED_UNKNOWN;
};

// Sends the composite-switch trigger: reads at string-id index + 1 (a) and
// + 2 (b) in the order a, a, b, b, a, then a once more. The result records
// whether the sequence went through.
class CQzCompSwitchTriggerVisitor : public CQzValidationVisitor {
  public:
    using CQzValidationVisitor::CQzValidationVisitor;
    bool visit(CUSBDevice& device) override;
};

// Sends the HID reset: one read at string-id index + 2.
class CQzHidResetCommandVisitor : public CQzValidationVisitor {
  public:
    using CQzValidationVisitor::CQzValidationVisitor;
    bool visit(CUSBDevice& device) override;
};

}  // namespace nork::usb
