// Provisional: the contract of DeviceInventory.h with no backend behind it.
#include "port/DeviceInventory.h"

namespace nork::port {

std::u16string interfaceClassGuid(InterfaceClass cls) {
    switch (cls) {
        case InterfaceClass::Volume:
            return u"{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
        case InterfaceClass::Disk:
        case InterfaceClass::CdRom:
            return u"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
        case InterfaceClass::UsbDevice:
            return u"{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
        case InterfaceClass::UsbHostController:
            return u"{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
        case InterfaceClass::Hid:
            return u"{4d1e55b2-f16f-11cf-88cb-001111000030}";
    }
    return {};
}

void registerInventoryBackend(std::shared_ptr<IInventoryBackend>) {}
void clearInventoryBackends() {}
void resetInventoryBackends() {}
std::shared_ptr<IInventoryBackend> makeSysfsInventoryBackend(std::string, std::string,
                                                             std::string) {
    return nullptr;
}
std::u16string makeDiskPath(const StorageUnitFacts&) {
    return {};
}
std::u16string makeVolumePath(const StorageUnitFacts&) {
    return {};
}
std::u16string makeUsbDevicePath(std::uint16_t, std::uint16_t, const std::string&) {
    return {};
}
InventorySnapshot snapshot() {
    return {};
}
std::vector<std::u16string> enumerateInterfaces(InterfaceClass) {
    return {};
}
void setDriveLetterDir(const std::string&) {}
std::string driveLetterDir() {
    return {};
}
char16_t assignDriveLetter(const std::string&) {
    return 0;
}
bool releaseDriveLetter(char16_t) {
    return false;
}
std::string driveLetterTarget(char16_t, bool* present) {
    if (present)
        *present = false;
    return {};
}
std::vector<std::u16string> logicalDriveRoots() {
    return {};
}
int driveType(const std::u16string&) {
    return DRIVE_NO_ROOT_DIR;
}
std::u16string volumeNameOfRoot(const std::u16string&) {
    return {};
}
std::string rootDirectory(const std::u16string&) {
    return {};
}
PortError diskFreeSpace(const std::u16string&, std::uint64_t& freeBytes,
                        std::uint64_t& totalBytes) {
    freeBytes = totalBytes = 0;
    return PortError{PortErrc::NotSupported, 0};
}
PortError flushVolume(const std::u16string&) {
    return PortError{PortErrc::NotSupported, 0};
}

}  // namespace nork::port
