// Stand-in of the application log, used only while restore/QzLog.h is
// missing (restore/CMakeLists.txt); same interface, lines to the debug output.
#pragma once

#include <cstdint>
#include <string>

#include "Log.h"

namespace nork::restore {

enum : std::uint32_t { QZLOG_ERROR = 1, QZLOG_DEVELOPER = 2, QZLOG_SUPPORT = 4, QZLOG_DEBUG = 8 };

class QzLog {
  public:
    static QzLog& instance();
    void init(const std::u16string& applicationName);
    template <class... A>
    void log(std::uint32_t level, const char* format, const A&... args) {
        write(level, nork::formatWide(format, {nork::LogArg(args)...}));
    }

  private:
    void write(std::uint32_t level, const std::u16string& line);
    std::u16string name_;
};

}  // namespace nork::restore

#define QZLOG(format, ...)                                               \
    ::nork::restore::QzLog::instance().log(::nork::restore::QZLOG_DEBUG, \
                                           format __VA_OPT__(, ) __VA_ARGS__)
