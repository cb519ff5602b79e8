#include "HidReset.h"

#include <algorithm>
#include <array>

#include "DeviceParams.h"
#include "Log.h"
#include "port/HidDevice.h"
#include "port/Utf.h"
#include "qz/DriveProtocol.h"

namespace nork {

namespace {

// Device descriptor offsets of the string indexes.
constexpr std::size_t I_MANUFACTURER = 14;
constexpr std::size_t I_PRODUCT = 15;
constexpr std::size_t I_SERIAL = 16;

// Finds the drive and its string-id index; false when the path names no
// such drive or it does not know the sequences.
bool locate(const std::u16string& serial, const std::string& path, std::uint8_t& stringIdIndex) {
    if (path.empty())
        return false;
    std::array<std::uint8_t, 18> device{};
    if (port::usbDeviceDescriptor(path, device))
        return false;
    if (!serial.empty()) {
        std::u16string text;
        if (device[I_SERIAL] == 0 ||
            port::usbStringDescriptor(path, device[I_SERIAL], proto::USB_LANG_EN_US, text) ||
            text != serial)
            return false;
    }
    const int index = std::max({device[I_MANUFACTURER], device[I_PRODUCT], device[I_SERIAL]}) + 1;
    if (index + 2 > 255)
        return false;
    stringIdIndex = static_cast<std::uint8_t>(index);
    std::u16string stringId;
    if (port::usbStringDescriptor(path, stringIdIndex, proto::USB_LANG_EN_US, stringId))
        return false;
    return qzStringIdHasHidSequences(stringId);
}

bool readString(const std::string& path, int index) {
    std::u16string ignored;
    return !port::usbStringDescriptor(path, static_cast<std::uint8_t>(index), proto::USB_LANG_EN_US,
                                      ignored);
}

}  // namespace

bool qzStringIdHasHidSequences(const std::u16string& stringId) {
    if (stringId.size() < 4 || stringId[0] != u'Q' || stringId[1] != u'z')
        return false;
    const int generation = static_cast<int>(stringId[3]) - '0';
    return generation >= 0 && generation <= 9 && (generation & 0x06) != 0;
}

bool qzHidReset(const std::u16string& serialNumber, const std::string& usbPath) {
    try {
        std::uint8_t index = 0;
        if (!locate(serialNumber, usbPath, index))
            return false;
        const bool ok = readString(usbPath, index + 2);
        NORK_LOG(LOG_INFO, "Qz HID reset %d", ok ? 1 : 0);
        return ok;
    } catch (...) {
        return false;
    }
}

bool qzCompSwitchTrigger(const std::u16string& serialNumber, const std::string& usbPath) {
    try {
        std::uint8_t index = 0;
        if (!locate(serialNumber, usbPath, index))
            return false;
        const int a = index + 1;
        const int b = index + 2;
        bool ok = true;
        for (const int i : {a, a, b, b}) {
            if (!readString(usbPath, i)) {
                ok = false;
                break;
            }
        }
        readString(usbPath, a);
        NORK_LOG(LOG_INFO, "Qz HID trigger switch %d", ok ? 1 : 0);
        return ok;
    } catch (...) {
        return false;
    }
}

std::string hidResetPathOf(const CDeviceParams& params) {
    std::u16string path = params.path(CDeviceParams::PATH_HID);
    if (path.empty())
        path = params.path(CDeviceParams::PATH_DISK);
    return port::utf::toUtf8(path);
}

}  // namespace nork
