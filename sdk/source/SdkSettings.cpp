#include "SdkSettings.h"

#include <atomic>

namespace nork {
namespace {
std::atomic<std::uint32_t> g_settings{0};
}

std::uint32_t sdkSettings() noexcept {
    return g_settings.load(std::memory_order_acquire);
}

void setSdkSettings(std::uint32_t flags) noexcept {
    g_settings.store(flags, std::memory_order_release);
}

}  // namespace nork
