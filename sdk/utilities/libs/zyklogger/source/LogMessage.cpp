#include "LogMessage.h"

#include "port/Utf.h"

namespace nork {

CLogMessage::CLogMessage(std::time_t time, int line, std::uint32_t threadId, int savedErrno,
                         const char* file)
    : m_time(time), m_line(line), m_threadId(threadId), m_errno(savedErrno) {
    if (file != nullptr) {
        m_file = port::utf::toUtf16(file);
        if (m_file.size() > MAX_FILE_CHARS)
            m_file.resize(MAX_FILE_CHARS);
    }
}

void CLogMessage::format(std::uint32_t level, const char* fmt, std::initializer_list<LogArg> args) {
    m_level = level;
    m_text = formatWide(fmt, args);
    if (m_text.size() > MAX_TEXT_CHARS)
        m_text.resize(MAX_TEXT_CHARS);
}

}  // namespace nork
