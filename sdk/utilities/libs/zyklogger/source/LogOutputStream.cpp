#include "LogOutputStream.h"

namespace nork {

void CLogOutputStream::write(std::uint32_t, const std::u16string& line) {
    if (m_stream == nullptr)
        return;
    std::lock_guard<std::mutex> guard(m_mutex);
    try {
        if (m_stream->fail())
            return;
        m_stream->write(line.data(), static_cast<std::streamsize>(line.size()));
        m_stream->put(u'\n');
        m_stream->flush();
    } catch (...) {
        // A stream that throws on failure (exceptions() set) is a failed
        // stream too; the line is dropped.
    }
}

}  // namespace nork
