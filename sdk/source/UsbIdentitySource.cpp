#include "UsbIdentitySource.h"

#include <atomic>

#include "DeviceParams.h"
#include "Log.h"
#include "port/DeviceIo.h"
#include "port/Utf.h"

namespace nork {
namespace {

std::u16string wide(const std::string& text) {
    std::u16string out;
    port::utf::toUtf16(text, out, false);
    return out;
}

std::atomic<CUsbIdentitySource*> g_override{nullptr};

}  // namespace

bool CUsbIdentitySource::identityOfPath(const std::u16string& path, CUsbIdentity& out) const {
    out = CUsbIdentity();
    if (path.empty())
        return false;
    port::UsbIdentity id;
    const port::PortError error = port::deviceIo().usbIdentity(std::u16string_view(path), id);
    if (error || id.serial.empty()) {
        NORK_LOG(LOG_DEBUG, "CUsbIdentitySource::identityOfPath - no USB identity for %s (%s)",
                 path, port::portErrcName(error.code));
        return false;
    }
    out.serial = wide(id.serial);
    out.vendor = wide(id.vendor);
    out.product = wide(id.product);
    out.revision = wide(id.revision);
    out.vendorId = id.vendorId;
    out.productId = id.productId;
    out.interfaceNumber = id.interfaceNumber;
    out.composite = id.composite;
    out.stringId = wide(id.stringId);
    return true;
}

bool CUsbIdentitySource::identityOf(const CDeviceParams& params, CUsbIdentity& out) const {
    std::u16string path = params.storedPath(CDeviceParams::PATH_DISK);
    if (path.empty())
        path = params.storedPath(CDeviceParams::PATH_HID);
    return identityOfPath(path, out);
}

CUsbIdentitySource& CUsbIdentitySource::instance() {
    if (CUsbIdentitySource* source = g_override.load())
        return *source;
    static CUsbIdentitySource source;
    return source;
}

void CUsbIdentitySource::setInstance(CUsbIdentitySource* source) {
    g_override.store(source);
}

}  // namespace nork
