// One log record, built on the caller's stack: when, where and on which
// thread it was made, the errno of that moment, its level and its text.
#pragma once

#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <string>

#include "Log.h"

namespace nork {

class CLogMessage {
  public:
    static constexpr std::size_t MAX_FILE_CHARS = 255;
    static constexpr std::size_t MAX_TEXT_CHARS = 4095;

    // `file` is a narrow (UTF-8) source path; it is kept, widened, up to
    // MAX_FILE_CHARS characters. The level is LOG_DEBUG until format() sets it.
    CLogMessage(std::time_t time, int line, std::uint32_t threadId, int savedErrno,
                const char* file);

    // Sets the level and the text: the narrow printf-style format applied with
    // wide "%s" semantics, cut to MAX_TEXT_CHARS characters.
    void format(std::uint32_t level, const char* format, std::initializer_list<LogArg> args);

    std::time_t time() const { return m_time; }
    int line() const { return m_line; }
    std::uint32_t threadId() const { return m_threadId; }
    int savedErrno() const { return m_errno; }
    std::uint32_t level() const { return m_level; }
    const std::u16string& file() const { return m_file; }
    const std::u16string& text() const { return m_text; }

  private:
    std::time_t m_time;
    int m_line;
    std::uint32_t m_threadId;
    int m_errno;
    std::uint32_t m_level = LOG_DEBUG;
    std::u16string m_file;
    std::u16string m_text;
};

}  // namespace nork
