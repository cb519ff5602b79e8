#include "ZykEvent.h"

#include <chrono>

namespace nork {

std::uint32_t CZykEvent::updateCode(int type) {
    switch (type) {
        case DEVICE_EVENT_5:
            return 1;
        case DEVICE_EVENT_6:
            return 2;
        case DEVICE_EVENT_7:
        case TR_QZ_WRITE_PROTECTION_CLEAR:
            return 3;
        case DEVICE_EVENT_8:
        case TR_QZ_WRITE_PROTECTION_SET:
            return 4;
        case TR_DETACH_ATTACH:
        case TR_DETACH_ATTACH_AFTER_SET_CD:
        case TR_CD_EJECT:
        case TR_SWAP_TO_DISK:
            return 5;
        case TR_QZ:
            return 6;
        case TR_QZ_DETACH_ATTACH:
            return 7;
        case TR_QZ_NON_ADMIN:
            return 8;
        default:
            return 0;
    }
}

std::uint32_t tickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace nork
