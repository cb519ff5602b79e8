// Provisional: the contract of UsbTree.h with no backend behind it.
#include "port/UsbTree.h"

namespace nork::port {

void registerUsbTreeBackend(std::shared_ptr<IUsbTreeBackend>) {}
void clearUsbTreeBackends() {}
void resetUsbTreeBackends() {}
std::shared_ptr<IUsbTreeBackend> makeSysfsUsbTreeBackend(std::string, std::string) {
    return nullptr;
}
std::vector<UsbHostController> usbHostControllers() {
    return {};
}
PortError usbHub(const std::string&, UsbHubInfo&) {
    return PortError{PortErrc::NotFound, 0};
}
PortError usbHubStringDescriptor(const std::string&, std::uint32_t, std::uint8_t, std::uint16_t,
                                 std::vector<std::uint8_t>&) {
    return PortError{PortErrc::NotFound, 0};
}

}  // namespace nork::port
