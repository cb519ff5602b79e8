// The process-wide settings word of the library. SDK::init stores the
// caller's flags here; the platform object reads it when it is built.
// Reads and writes are atomic and never block.
#pragma once

#include <cstdint>

namespace nork {

namespace settings {
// Every private command goes over HID: the platform object grants no device
// privileges.
inline constexpr std::uint32_t FORCE_HID_USAGE = 0x800;
// Set by SDK::init when the process has no standard-input handle.
inline constexpr std::uint32_t NO_STDIN = 0x400;
}  // namespace settings

std::uint32_t sdkSettings();
void setSdkSettings(std::uint32_t flags);

}  // namespace nork
