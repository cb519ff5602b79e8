// Device interface enumeration: the interface paths of one class, one per
// call, as the system lists them at the first call. Used to find HID
// interfaces (start-up without raw device access) and USB host controllers
// (the USB tree walk).
//
// One enumerator lives for one call site and one thread; nothing here
// throws. The list is taken once, at the first getNextDevice().
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nork {

class CDeviceEnum {
  public:
    // Kinds. Mass storage is not enumerated this way: it is refused with an
    // assertion and the enumerator yields nothing.
    static constexpr int KIND_MASS_STORAGE = 0;
    static constexpr int KIND_HID = 1;
    static constexpr int KIND_USB_HOST_CONTROLLER = 2;

    // Where the paths of a kind come from; nullopt when the class cannot be
    // listed at all. Tests replace it; null restores the system's lists.
    using Lister = std::function<std::optional<std::vector<std::u16string>>(int kind)>;
    static void setLister(Lister lister);

    explicit CDeviceEnum(int kind);
    virtual ~CDeviceEnum();
    CDeviceEnum(const CDeviceEnum&) = delete;
    CDeviceEnum& operator=(const CDeviceEnum&) = delete;

    // The next interface's device path; empty at the end of the list and
    // on error (the index advances either way).
    std::u16string getNextDevice();

  private:
    int m_kind;
    bool m_opened = false;
    bool m_valid = false;  // the list was had
    std::vector<std::u16string> m_paths;
    unsigned m_index = 0;
};

}  // namespace nork
