// The drives' HID handles and the named mutexes shared by processes.
//
// One HID handle per drive (by serial number), opened on path kind 4 on
// first use and kept open until closeAll() (SDK::fini); a new entry resets
// the drive's HID interface, so a command never meets reports left over by
// an earlier user. Named mutexes are created on first use and kept: the HID
// mutex ("ZYK_SDK_HID_MUTEX_" + serial) covers one HID command, the
// composite-switch mutex ("QZ_SDK_COMPOSITE_SWITCH_MUTEX_" + serial) covers
// building a service handle and switching the drive's configuration.
// Thread-safe; the returned handle and mutexes stay valid until closeAll().
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "Singleton.h"
#include "port/NamedMutex.h"

namespace nork {

inline constexpr char16_t HID_MUTEX_PREFIX[] = u"ZYK_SDK_HID_MUTEX_";
inline constexpr char16_t COMPOSITE_SWITCH_MUTEX_PREFIX[] = u"QZ_SDK_COMPOSITE_SWITCH_MUTEX_";
inline constexpr char16_t DEFAULT_MUTEX_NAME[] = u"___ZYK_MUTEX_DEFAULT_NAME";

class CHIDHandleMgr {
  public:
    static CHIDHandleMgr& instance() { return TSingleton<CHIDHandleMgr>::instance(); }

    // The drive's HID handle, opened on path kind 4 (again when found
    // closed). The entry keeps its own copy of the caller's parameters.
    CDeviceHandle& getHandle(CDeviceHandle& handle);

    // The named mutex; null name = DEFAULT_MUTEX_NAME. Null when it could
    // not be created (logged, assertion).
    port::NamedMutex* getMutexOf(const char16_t* name);
    port::NamedMutex* getHidMutex(const char16_t* serialNumber);
    port::NamedMutex* getCompositeSwitchMutex(const char16_t* serialNumber);

    // Closes the drive's HID handle (a drive that left the bus). The entry
    // stays, since a caller may still hold the handle; the next getHandle
    // opens it again.
    void closeHandle(const std::u16string& serialNumber);

    // Closes every handle and drops the mutexes (SDK::fini).
    void closeAll();

    // Where the mutexes' lock files live; empty = the user's runtime
    // directory. For tests; set before the first mutex.
    void setLockDirectory(std::string dir);

    ~CHIDHandleMgr();

  private:
    friend class TSingleton<CHIDHandleMgr>;
    CHIDHandleMgr() = default;

    struct Entry {
        std::unique_ptr<CDeviceParams> params;
        std::unique_ptr<CDeviceHandle> handle;
    };

    std::mutex m_mutex;
    std::map<std::u16string, Entry> m_handles;
    std::map<std::u16string, std::unique_ptr<port::NamedMutex>> m_mutexes;
    std::string m_lockDir;
};

}  // namespace nork
