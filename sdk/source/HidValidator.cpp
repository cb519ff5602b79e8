#include "HidValidator.h"

#include <array>
#include <cstdint>
#include <utility>

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "Log.h"
#include "port/HidDevice.h"

namespace nork {

namespace {

// USB vendor/product pairs whose HID interface looks like the drive's but is
// refused. None is known to need it; the list stays for the one that will.
constexpr std::array<std::pair<std::int32_t, std::int32_t>, 0> EXCLUDED_IDS{};

constexpr std::size_t VALUE_CAPS = 3;
constexpr std::uint16_t INPUT_DATA_INDICES = 5;
constexpr std::uint16_t OUTPUT_DATA_INDICES = 69;
constexpr std::array<std::uint16_t, VALUE_CAPS> VALUE_USAGE_PAGES{0xFF00, 0xFE00, 0xFD00};

class CDeviceValidatorHID {
  public:
    virtual ~CDeviceValidatorHID() = default;

    int isUFDImpl(CDeviceHandle& handle, CDeviceParams& params) {
        if (!handle.isOpen())
            return 2;
        const bool ok = matches(handle, params);
        NORK_LOG(LOG_INFO, "CDeviceValidatorHID::isUFDImpl Validate HID %s",
                 ok ? u"Success" : u"Fail");
        return ok ? 0 : 1;
    }

  protected:
    // The collection's capabilities; false when they cannot be read.
    virtual bool query(CDeviceHandle& handle, port::HidCaps& caps) = 0;

  private:
    bool matches(CDeviceHandle& handle, const CDeviceParams& params) {
        port::HidCaps caps;
        if (!query(handle, caps))
            return false;
        // At most three value capabilities are asked for; exactly three must come.
        if (caps.inputValueUsagePages.size() < VALUE_CAPS)
            return false;
        if (caps.inputDataIndices != INPUT_DATA_INDICES ||
            caps.outputDataIndices != OUTPUT_DATA_INDICES)
            return false;
        for (std::size_t i = 0; i < VALUE_CAPS; ++i) {
            if (caps.inputValueUsagePages[i] != VALUE_USAGE_PAGES[i])
                return false;
        }
        for (const auto& [vid, pid] : EXCLUDED_IDS) {
            if (params.usbVendorId() == vid && params.usbProductId() == pid)
                return false;
        }
        return true;
    }
};

// Over the port's HID device (the HidD_/HidP_ queries' stand-in).
class CDeviceValidatorHIDWin : public CDeviceValidatorHID {
  protected:
    bool query(CDeviceHandle& handle, port::HidCaps& caps) override {
        return !port::hidCapabilities(handle.handle(), caps);
    }
};

}  // namespace

int validateHid(CDeviceHandle& handle, CDeviceParams& params) {
    try {
        CDeviceValidatorHIDWin validator;
        return validator.isUFDImpl(handle, params);
    } catch (...) {
        return 1;
    }
}

}  // namespace nork
