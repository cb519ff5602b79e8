#include "DeviceParams.h"

#include <algorithm>

#include "Log.h"
#include "PlatformFactory.h"

namespace nork {
namespace {

template <std::size_t N>
void storeTrimmed(char16_t (&slot)[N], std::u16string_view text) {
    std::size_t length = std::min(text.size(), N - 1);
    while (length > 0 && text[length - 1] == u' ')
        --length;
    std::fill(std::begin(slot), std::end(slot), u'\0');
    std::copy_n(text.begin(), length, slot);
}

}  // namespace

CDeviceParams::CDeviceParams() : m_mapMutex(std::make_shared<CThreadMutex>()) {}

void CDeviceParams::setVendorString(std::u16string_view vendor) {
    storeTrimmed(m_vendor, vendor);
}

void CDeviceParams::setProductString(std::u16string_view product) {
    storeTrimmed(m_product, product);
}

int CDeviceParams::slotOf(int kind) {
    if (kind == PATH_DISK)
        return 0;
    if (kind == PATH_HID)
        return 1;
    return -1;
}

std::u16string CDeviceParams::path(int kind) const {
    int slot = slotOf(kind);
    zyk_assert(slot >= 0, "kind == 0 || kind == 4");
    if (slot < 0)
        return {};
    // Without raw device access the drive is reached through its HID device.
    if (kind == PATH_DISK && !CPlatformFactory::instance().privilege(CPlatformFactory::PRIV_O)) {
        slot = 1;
    }
    return std::u16string(m_paths[slot]);
}

bool CDeviceParams::setPath(int kind, std::u16string_view path) {
    const int slot = slotOf(kind);
    zyk_assert(slot >= 0, "kind == 0 || kind == 4");
    zyk_assert(path.size() < PATH_LEN, "_tcslen(szPath) < PATH_LEN");
    if (slot < 0 || path.size() >= PATH_LEN)
        return false;
    std::fill(std::begin(m_paths[slot]), std::end(m_paths[slot]), u'\0');
    std::copy(path.begin(), path.end(), m_paths[slot]);
    return true;
}

}  // namespace nork
