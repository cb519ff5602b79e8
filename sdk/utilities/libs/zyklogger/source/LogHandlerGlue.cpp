// Placeholder glue until the log handler exists: records are dropped.
#include "Log.h"

namespace nork {

void logWrite(std::uint32_t, const char*, int, int, const char*,
              std::initializer_list<LogArg>) noexcept {}

void assertFailed(const char*, const char*, int) noexcept {}

}  // namespace nork
