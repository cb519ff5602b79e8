// An output of the log handler. write() is called on the logging thread, from
// any thread at once; each implementation serialises its own writes so that
// lines never interleave. write() never throws and never fails the caller: an
// output that cannot write drops the line.
#pragma once

#include <cstdint>
#include <string>

namespace nork {

class CLogOutputDevice {
  public:
    virtual ~CLogOutputDevice() = default;
    virtual void write(std::uint32_t level, const std::u16string& line) = 0;
};

}  // namespace nork
