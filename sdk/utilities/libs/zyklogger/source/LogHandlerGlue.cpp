// The logging entry points of Log.h, over the process-wide log handler.
#include <ctime>

#include "Log.h"
#include "LogHandler.h"
#include "LogMessage.h"
#include "port/System.h"

namespace nork {

void logWrite(std::uint32_t level, const char* file, int line, int savedErrno, const char* format,
              std::initializer_list<LogArg> args) noexcept {
    try {
        // At exit the handler goes last; a line logged after it is dropped
        // rather than bringing up a second handler.
        if (CLogHandler::Singleton::destroyed())
            return;
        CLogHandler& handler = CLogHandler::instance();
        if (!handler.isEnabled(level))
            return;
        CLogMessage message(std::time(nullptr), line, port::currentThreadId(), savedErrno, file);
        message.format(level, format, args);
        handler.log(message);
    } catch (...) {
        // Logging never fails the caller.
    }
}

void assertFailed(const char* conditionText, const char* file, int line) noexcept {
    int savedErrno = errno;
    logWrite(LOG_ALERT, file, line, savedErrno, "zyk_assert --- [%s] (%s:%d)",
             {conditionText, file, line});
}

}  // namespace nork
