// Start and end of the SDK in a process.
//
//   std::uint32_t settings = 0;                 // or nork::FORCE_HID_USAGE
//   nork::CUtf8WideStream wideErr(std::cerr);   // optional, WideStream.h
//   if (nork::SDK::init(settings, {0, &wideErr}) == nork::STATUS_OK) {
//       ... device work ...
//       nork::SDK::fini();
//   }
//
// init and fini may be called from any thread and must be paired; the first
// init of the process (reference count 0 -> 1) brings up the SDK's
// process-wide objects, the last fini stops their activity. Every init also
// (re)configures the SDK log from the LogConfig and the per-user settings
// key "SOFTWARE\NORK\SDK" ("Logger", "LogFilePath"; see docs/settings.md).
// Neither lets an exception escape.
#pragma once

#include <cstdint>
#include <ostream>

#include "Status.h"

namespace nork {

// Settings word bits.
inline constexpr std::uint32_t FORCE_HID_USAGE = 0x800;  // every private command over HID
inline constexpr std::uint32_t NO_STDIN_HANDLE = 0x400;  // set by init: no standard input

struct LogConfig {
    std::uint32_t levelMask = 0;                     // 0 = default (ERROR)
    std::basic_ostream<char16_t>* stream = nullptr;  // optional wide log stream
};

class SDK {
  public:
    // Checks the platform, counts the caller, configures the log and, for the
    // first user, creates the SDK's singletons. The effective settings word
    // (with NO_STDIN_HANDLE added when the process has no standard input) is
    // stored for sdkSettings() and written back to `settings`. The stream,
    // when given, must outlive the process's use of the SDK log; only the
    // stream of the first init in the process is used.
    // Returns STATUS_OK, the platform check's refusal (STATUS_OS_NOT_SUPPORTED,
    // STATUS_STORAGE_DRIVER_TOO_OLD; nothing else happens then) or
    // STATUS_SDK_INTERNAL_ERROR.
    static STATUS init(std::uint32_t& settings, LogConfig config) noexcept;
    // Uncounts the caller; the last one stops the SDK's activity. The
    // singletons stay until process exit. A fini without a matching init is
    // logged and ignored.
    static void fini() noexcept;
    // Current number of users in the process.
    static int referenceCount() noexcept;
};

// The process-wide settings word stored by the last SDK::init (0 before).
std::uint32_t sdkSettings() noexcept;

}  // namespace nork
