// Device event types, the window messages that carry them to applications
// and to the library's other processes, and the update code of each type.
#pragma once

#include <cstdint>

namespace nork {

struct CZykEvent {
    enum event_t : int {
        NO_EVENT = 0,
        DEVICE_CONNECTED = 1,
        DEVICE_DISCONNECTED = 2,
        DEVICE_UPDATED = 3,
        DEVICE_EVENT_4 = 4,
        DEVICE_EVENT_5 = 5,
        DEVICE_EVENT_6 = 6,
        DEVICE_EVENT_7 = 7,
        DEVICE_EVENT_8 = 8,
        TR_DETACH_ATTACH = 9,
        TR_QZ = 10,
        TR_QZ_DETACH_ATTACH = 11,
        TR_QZ_NON_ADMIN = 12,
        TR_DETACH_ATTACH_AFTER_SET_CD = 13,
        TR_CD_EJECT = 14,
        TR_QZ_WRITE_PROTECTION_CLEAR = 15,
        TR_QZ_WRITE_PROTECTION_SET = 16,
        TR_SWAP_TO_DISK = 17,
    };
    static constexpr int FIRST_EVENT = DEVICE_CONNECTED;
    static constexpr int LAST_EVENT = TR_SWAP_TO_DISK;

    static bool isReconnection(int type) {
        return type >= TR_DETACH_ATTACH && type <= TR_SWAP_TO_DISK;
    }
    // lParam of WM_SDK_DEVICE_UPDATED for an event type; 0 for types
    // without one.
    static std::uint32_t updateCode(int type);
};

// Fixed message numbers: applications and other processes rely on them.
inline constexpr std::uint32_t WM_SDK_DEVICE_CONNECTED = 0x524;
inline constexpr std::uint32_t WM_SDK_DEVICE_DISCONNECTED = 0x525;
inline constexpr std::uint32_t WM_SDK_BROADCAST_REQUEST = 0x526;
inline constexpr std::uint32_t WM_SDK_DEVICE_UPDATED = 0x527;
inline constexpr std::uint32_t WM_SDK_DEVICE_EVENT_4 = 0x528;

// Prefix of the registered message of each event type ("SDK_SenderName_9").
inline constexpr char16_t SDK_SENDER_NAME_PREFIX[] = u"SDK_SenderName_";

// Milliseconds since an arbitrary start, wrapping like the system tick
// count; event ages compare these.
std::uint32_t tickCount();

}  // namespace nork
