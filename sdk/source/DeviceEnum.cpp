#include "DeviceEnum.h"

#include <mutex>

#include "Log.h"
#include "port/DeviceInventory.h"
#include "port/UsbTree.h"

namespace nork {
namespace {

std::mutex g_listerMutex;
CDeviceEnum::Lister g_lister;

std::optional<std::vector<std::u16string>> systemList(int kind) {
    if (kind == CDeviceEnum::KIND_HID)
        return port::enumerateInterfaces(port::InterfaceClass::Hid);
    if (kind == CDeviceEnum::KIND_USB_HOST_CONTROLLER) {
        std::vector<std::u16string> paths;
        for (const port::UsbHostController& hc : port::usbHostControllers())
            paths.push_back(hc.interfacePath);
        return paths;
    }
    return std::nullopt;
}

}  // namespace

void CDeviceEnum::setLister(Lister lister) {
    std::lock_guard<std::mutex> guard(g_listerMutex);
    g_lister = std::move(lister);
}

CDeviceEnum::CDeviceEnum(int kind) : m_kind(kind) {
    const bool supported = kind == KIND_HID || kind == KIND_USB_HOST_CONTROLLER;
    zyk_assert(supported, "kind == HID || kind == USB_HOST_CONTROLLER");
    if (!supported) {
        // Nothing to list: the enumerator is simply at its end.
        m_opened = true;
        m_valid = true;
    }
}

CDeviceEnum::~CDeviceEnum() = default;

std::u16string CDeviceEnum::getNextDevice() {
    if (!m_opened) {
        m_opened = true;
        Lister lister;
        {
            std::lock_guard<std::mutex> guard(g_listerMutex);
            lister = g_lister;
        }
        std::optional<std::vector<std::u16string>> paths =
            lister ? lister(m_kind) : systemList(m_kind);
        if (paths) {
            m_paths = std::move(*paths);
            m_valid = true;
        }
    }
    if (!m_valid) {
        NORK_LOG(LOG_ERROR, "CDeviceEnum: error extracting Device handle\n");
        return {};
    }
    const unsigned index = m_index++;
    if (index >= m_paths.size())
        return {};
    if (m_paths[index].empty()) {
        // A member the system listed without a path.
        NORK_LOG(LOG_ERROR,
                 "CDeviceEnum::getNextDevice unable to extract details for interface on device "
                 "with index %d\n",
                 static_cast<int>(index));
    }
    return m_paths[index];
}

}  // namespace nork
