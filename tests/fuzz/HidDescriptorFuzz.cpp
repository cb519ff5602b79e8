// Fuzz target of the HID report descriptor parser (the capabilities the HID
// validator checks, read from whatever descriptor a device hands over): any
// bytes parse or are refused without fault.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "port/HidDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    nork::port::HidCaps caps;
    if (!nork::port::parseHidReportDescriptor(data, size, caps))
        return 0;
    // Each value capability comes from a usage or a main item, one byte at
    // least each.
    if (caps.inputValueUsagePages.size() > size) {
        std::fprintf(stderr, "hid descriptor fuzz: more value capabilities than items\n");
        std::abort();
    }
    return 0;
}
