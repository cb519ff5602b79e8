// Writes lines to a wide output stream owned by the caller (it must outlive
// the log handler's use of it). Only unformatted output is used, so any
// basic_ostream<char16_t> works whether or not its locale has char16_t
// facets. A stream in a failed state is skipped.
#pragma once

#include <mutex>
#include <ostream>

#include "LogOutputDevice.h"

namespace nork {

class CLogOutputStream : public CLogOutputDevice {
  public:
    explicit CLogOutputStream(std::basic_ostream<char16_t>* stream) : m_stream(stream) {}
    void write(std::uint32_t level, const std::u16string& line) override;
    std::basic_ostream<char16_t>* stream() const { return m_stream; }

  private:
    std::basic_ostream<char16_t>* m_stream;
    std::mutex m_mutex;
};

}  // namespace nork
