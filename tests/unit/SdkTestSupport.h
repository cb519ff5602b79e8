// The library's process-wide settings word, set for one test.
#pragma once

#include <cstdint>

#include "SDK.h"
#include "SdkSettings.h"

namespace nork::testing {

// Stores `flags` as the settings word and puts back the previous word when
// destroyed, so later tests of the same process start from what they expect.
class ScopedSdkSettings {
  public:
    explicit ScopedSdkSettings(std::uint32_t flags) : m_old(sdkSettings()) {
        setSdkSettings(flags);
    }
    ~ScopedSdkSettings() { setSdkSettings(m_old); }
    ScopedSdkSettings(const ScopedSdkSettings&) = delete;
    ScopedSdkSettings& operator=(const ScopedSdkSettings&) = delete;

  private:
    std::uint32_t m_old;
};

}  // namespace nork::testing
