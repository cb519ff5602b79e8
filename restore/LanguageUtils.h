// The choice of the user-interface language among the languages of the
// program's string tables that are also installed on the system.
//
// Threads: the user-interface thread only.
#pragma once

#include <cstdint>

namespace nork::restore {

class CLanguageUtils {
  public:
    // The wanted language when it is usable, else the first usable language
    // of the same primary language, else English (1033). Logs its steps.
    static std::uint16_t FindMatchingResourceLanguage(std::uint16_t wanted);
};

}  // namespace nork::restore
