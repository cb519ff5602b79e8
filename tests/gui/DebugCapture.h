// Collects what the library writes to the debugger channel during a test.
#pragma once

#include <filesystem>
#include <string>

#include "RuntimeTestSupport.h"

namespace nork::gui::test {

class DebugCapture {
  public:
    DebugCapture()
        : file_(nork::testing::freshTestDir() / "debug.txt"),
          env_("QZ_DEBUG_OUTPUT", file_.string()) {}
    std::string text() const {
        return std::filesystem::exists(file_) ? nork::testing::readFile(file_) : std::string();
    }

  private:
    std::filesystem::path file_;
    nork::testing::ScopedEnv env_;
};

}  // namespace nork::gui::test
