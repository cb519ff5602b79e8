#include "LogOutputDebugout.h"

#include "port/System.h"
#include "port/Utf.h"

namespace nork {

void CLogOutputDebugout::write(std::uint32_t, const std::u16string& line) {
    try {
        std::string text = port::utf::toUtf8(line);
        std::lock_guard<std::mutex> guard(m_mutex);
        port::debugOutput(text);
        port::debugOutput("\n");
    } catch (...) {
        // Out of memory while logging: the line is lost, the caller goes on.
    }
}

}  // namespace nork
