// Drive masks to root paths. A drive mask holds one bit per drive letter
// (bit 0 = 'A' .. bit 25 = 'Z'; higher bits are ignored). The root list is
// double-null terminated: "E:\" NUL "F:\" NUL NUL, four characters per
// letter plus the final terminator.
#pragma once

#include <cstdint>

#include "Status.h"

namespace nork {

class CMaskConvert {
  public:
    virtual ~CMaskConvert() = default;
    // STATUS_OK; STATUS_PATH_ERROR for an empty mask; STATUS_BUFFER_TOO_SMALL
    // with length set to the need when buffer or length is short.
    virtual STATUS maskToRootPaths(std::uint32_t mask, char16_t* buffer,
                                   std::uint32_t& length) const = 0;

    // Characters the root list of a mask needs (letters x 4 + 1).
    static std::uint32_t neededLength(std::uint32_t mask);
};

// The converter of the platforms with drive letters (on Linux the letters of
// the drive-letter table).
class CMaskConvertWin : public CMaskConvert {
  public:
    STATUS maskToRootPaths(std::uint32_t mask, char16_t* buffer,
                           std::uint32_t& length) const override;
};

// The platform's converter (one per process).
CMaskConvert& platformMaskConvert();

}  // namespace nork
