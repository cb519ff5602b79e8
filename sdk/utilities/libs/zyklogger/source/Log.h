// The logging call used everywhere in the library, and the assertion macro.
//
//   NORK_LOG(LOG_ERROR, "CFoo::bar - failed with %s", statusToString(st));
//   zyk_assert(m_nCdbSize > 0, "m_nCdbSize>0");
//
// Formats are narrow printf-style texts applied with wide semantics: "%s"
// takes a wide string (const char16_t* or std::u16string), "%S" a narrow one;
// "%d", "%u", "%x", "%ld", "%lld", "%-60s", "%04x" and the rest of printf's
// syntax work as usual. Arguments are type-checked at compile time through
// LogArg, so a mismatched argument prints wrongly instead of crashing.
//
// The assertion takes its condition text explicitly because the log line must
// carry the exact text of the condition whatever the formatter did to the
// source code.
#pragma once

#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace nork {

enum LogLevel : std::uint32_t {
    LOG_TRACE = 1,
    LOG_DEBUG = 2,
    LOG_INFO = 4,
    LOG_NOTICE = 8,
    LOG_WARNING = 16,
    LOG_STARTUP = 32,
    LOG_ERROR = 64,
    LOG_CRITICAL = 128,
    LOG_ALERT = 256,
    LOG_EMERGENCY = 512,
};
inline constexpr std::uint32_t LOG_ALL_LEVELS = 1023;

// One formatting argument.
class LogArg {
  public:
    enum class Kind { Signed, Unsigned, Double, Wide, Narrow, Pointer };

    LogArg(int v) : m_kind(Kind::Signed), m_i(v) {}
    LogArg(long v) : m_kind(Kind::Signed), m_i(v) {}
    LogArg(long long v) : m_kind(Kind::Signed), m_i(v) {}
    LogArg(unsigned v) : m_kind(Kind::Unsigned), m_u(v) {}
    LogArg(unsigned long v) : m_kind(Kind::Unsigned), m_u(v) {}
    LogArg(unsigned long long v) : m_kind(Kind::Unsigned), m_u(v) {}
    LogArg(char16_t v) : m_kind(Kind::Unsigned), m_u(v) {}
    LogArg(double v) : m_kind(Kind::Double), m_d(v) {}
    LogArg(const char16_t* s) : m_kind(Kind::Wide), m_w(s ? s : u"(null)") {}
    LogArg(const std::u16string& s) : m_kind(Kind::Wide), m_w(s) {}
    LogArg(std::u16string_view s) : m_kind(Kind::Wide), m_w(s) {}
    LogArg(const char* s) : m_kind(Kind::Narrow), m_n(s ? s : "(null)") {}
    LogArg(const std::string& s) : m_kind(Kind::Narrow), m_n(s) {}
    LogArg(const void* p) : m_kind(Kind::Pointer), m_p(p) {}

    Kind kind() const { return m_kind; }
    long long asSigned() const;
    unsigned long long asUnsigned() const;
    double asDouble() const;
    std::u16string_view wide() const { return m_w; }
    std::string_view narrow() const { return m_n; }
    const void* pointer() const { return m_p; }

  private:
    Kind m_kind;
    long long m_i = 0;
    unsigned long long m_u = 0;
    double m_d = 0;
    std::u16string_view m_w;
    std::string_view m_n;
    const void* m_p = nullptr;
};

// Applies a narrow printf-style format with wide "%s" semantics.
std::u16string formatWide(const char* format, std::initializer_list<LogArg> args);

// Builds a log record (time, line, thread id, the given errno, file), formats
// it and hands it to the log handler. Never throws; does nothing once the
// handler is gone at process exit.
void logWrite(std::uint32_t level, const char* file, int line, int savedErrno, const char* format,
              std::initializer_list<LogArg> args) noexcept;

// Logs "zyk_assert --- [%s] (%s:%d)" at LOG_ALERT and returns.
void assertFailed(const char* conditionText, const char* file, int line) noexcept;

}  // namespace nork

#define NORK_LOG(level, format, ...) \
    ::nork::logWrite((level), __FILE__, __LINE__, errno, (format), {__VA_ARGS__})

#define zyk_assert(condition, conditionText)                           \
    do {                                                               \
        if (!(condition)) {                                            \
            ::nork::assertFailed((conditionText), __FILE__, __LINE__); \
        }                                                              \
    } while (0)
