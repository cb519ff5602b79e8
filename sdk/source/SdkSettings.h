// The process-wide settings word of the library (flags in SDK.h). SDK::init
// stores the caller's flags here; the platform object reads them when it is
// built. Reads and writes are atomic and never block.
#pragma once

#include <cstdint>

#include "SDK.h"

namespace nork {

void setSdkSettings(std::uint32_t flags) noexcept;

}  // namespace nork
