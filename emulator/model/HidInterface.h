// The drive's USB side beyond the disk: its configuration (disk only, or
// composite: disk plus a HID interface), the HID report protocol seen from
// the device, and the USB string descriptors with their read sequences.
//
// Report protocol (63-byte reports, byte 0 the report id 0, layout in
// qz/DriveProtocol.h namespace hid):
//   1. The host writes the first report: the 25-byte command block
//      (operation, data size, data report count, "TORM", direction,
//      parameter area). A report without the signature while no command is
//      under way is ignored.
//   2. Data host -> device: that many further reports, 62 payload bytes each.
//   3. The command runs through the same path as a SCSI private frame (the
//      model's PrivateCommandTable, the faults, the error register), so the
//      answers are identical on both transports.
//   4. Data device -> host: that many input reports, the answer zero padded.
//   5. A status report: bytes 3..4 echo the operation, bytes 7..8 the status
//      word (0 success, 1 refused). Not sent for AUX__Detach_Attach (the
//      drive leaves the bus) nor for the service query (no status phase).
//
// Descriptors: 1 device, 2 configuration (the active one; it follows the
// mode), 3 strings.
// String descriptors (language 0x0409; index 0 lists the language):
//   1 manufacturer (INQUIRY vendor), 2 product (INQUIRY product), 3 serial,
//   4 = max(1, 2, 3) + 1: the string id, REPORT ID's vendor and product
//   fields ("Qz 4 Pellix"; the digit after "Qz " is the generation, whose
//   bits 1 and 2 say the drive knows the sequences below), 5 and 6: the
//   sequence descriptors. A drive of another vendor (mode disk) has only 1..3.
// Sequences: any read of index 6 resets the HID interface (queued input
// reports dropped, a half-received command aborted); the reads 5, 5, 6, 6, 5
// in a row switch a disk-only drive into composite mode: it leaves the bus
// shortly after and comes back with its HID interface. A read of any other
// string breaks a sequence.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <vector>

#include "model/VirtualDrive.h"

namespace qzemu {

class DriveCore;

inline constexpr std::uint8_t USB_STRING_MANUFACTURER = 1;
inline constexpr std::uint8_t USB_STRING_PRODUCT = 2;
inline constexpr std::uint8_t USB_STRING_SERIAL = 3;
inline constexpr std::uint8_t USB_STRING_ID = 4;
inline constexpr std::uint8_t USB_STRING_SWITCH = USB_STRING_ID + 1;
inline constexpr std::uint8_t USB_STRING_RESET = USB_STRING_ID + 2;
// The configuration descriptor (type 2): interface 0 mass storage (class 8,
// subclass 6, protocol 0x50) with bulk endpoints 0x81 IN and 0x02 OUT of 512
// bytes; in composite mode also interface 1, HID (class 3), with its HID
// class descriptor and interrupt endpoint 0x83 IN of 64 bytes.
inline constexpr std::uint8_t USB_CLASS_MASS_STORAGE = 0x08;
inline constexpr std::uint8_t USB_CLASS_HID = 0x03;
inline constexpr std::uint8_t USB_EP_BULK_IN = 0x81;
inline constexpr std::uint8_t USB_EP_BULK_OUT = 0x02;
inline constexpr std::uint8_t USB_EP_INTERRUPT_IN = 0x83;
inline constexpr std::uint8_t USB_MAX_POWER_2MA = 100;  // 200 mA in 2 mA units
// The file in the state directory that records composite mode.
inline constexpr const char* USB_MODE_FILE_NAME = "usb.mode";

struct HidState {
    bool composite = false;
    std::deque<std::vector<std::uint8_t>> input;  // reports for the host
    bool collecting = false;                      // data reports of a command expected
    std::array<std::uint8_t, 25> block{};
    std::uint32_t dataLeft = 0;
    std::vector<std::uint8_t> dataOut;
    std::vector<std::uint8_t> sequence;  // recent reads of the sequence strings
    std::uint64_t resets = 0;

    // Forgets queued reports and a half-received command.
    void dropTraffic() {
        input.clear();
        collecting = false;
        dataLeft = 0;
        dataOut.clear();
    }
};

// The interface's report descriptor: three input values on usage pages
// 0xFF00, 0xFE00, 0xFD00 (5 data indices), output with 69 data indices, 62
// bytes each way.
const std::vector<std::uint8_t>& hidReportDescriptor();

bool loadCompositeMode(const std::filesystem::path& dir);
// Throws std::runtime_error when the file cannot be written.
void saveCompositeMode(const std::filesystem::path& dir, bool composite);

// With the drive's mutex held.
HidResult hidWriteLocked(DriveCore& drive, const std::vector<std::uint8_t>& report);
std::optional<std::vector<std::uint8_t>> usbDescriptorLocked(DriveCore& drive, std::uint8_t type,
                                                             std::uint8_t index,
                                                             std::uint16_t lang);

}  // namespace qzemu
