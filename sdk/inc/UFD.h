// The public handle of one drive. The SDK's device manager owns the device
// object; a CUFD only points at it and is copied freely. A drive that is
// removed and plugged in again is served by the same object, so a CUFD kept
// across the removal stays valid (until SDK::fini releases the pool).
//
// Buffers carry their length in characters: on entry the caller's capacity,
// on exit the length needed (terminators included).
#pragma once

#include <cstdint>

#include "Status.h"

namespace nork {

class CUFDImpl;

class CUFD {
  public:
    CUFD() = default;
    explicit CUFD(CUFDImpl* impl) : m_impl(impl) {}

    CUFDImpl* impl() const { return m_impl; }
    bool isValid() const { return m_impl != nullptr; }
    friend bool operator==(const CUFD& a, const CUFD& b) { return a.m_impl == b.m_impl; }
    friend bool operator!=(const CUFD& a, const CUFD& b) { return a.m_impl != b.m_impl; }

    // The firmware version text, e.g. "6.520" (read from the drive first
    // when unknown). STATUS_WRONG_PARAMETERS for a null buffer or length 0,
    // STATUS_BUFFER_TOO_SMALL (length = text + 1) when short,
    // STATUS_DEVICE_NOT_CONNECTED without a device object.
    STATUS getVersion(char16_t* buffer, std::uint32_t& length) const;

    // The drive's roots, "E:\" NUL "F:\" NUL NUL. STATUS_DEVICE_NOT_CONNECTED
    // without a device object, STATUS_BUFFER_TOO_SMALL (length = 4 x letters
    // + 1) when short, STATUS_WRONG_PARAMETERS for a null buffer,
    // STATUS_PATH_ERROR when the drive has no letters.
    STATUS getPathStrings(char16_t* buffer, std::uint32_t& length) const;

  private:
    CUFDImpl* m_impl = nullptr;
};

}  // namespace nork
