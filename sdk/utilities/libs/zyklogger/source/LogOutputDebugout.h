// Sends lines to the debugger channel (port::debugOutput): the line, then
// "\n" the same way.
#pragma once

#include <mutex>

#include "LogOutputDevice.h"

namespace nork {

class CLogOutputDebugout : public CLogOutputDevice {
  public:
    void write(std::uint32_t level, const std::u16string& line) override;

  private:
    std::mutex m_mutex;
};

}  // namespace nork
