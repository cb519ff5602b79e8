#include "guilib/src/DebugOut.h"

#include <string>

#include "port/System.h"

namespace nork::gui {

void debugError(const char* file, int line, std::string_view text) {
    // The unit's file name only, as the reporting unit names itself.
    std::string_view path(file ? file : "");
    if (auto slash = path.find_last_of('/'); slash != std::string_view::npos)
        path.remove_prefix(slash + 1);
    std::string out;
    out.reserve(path.size() + text.size() + 32);
    out.append(path);
    out += '(';
    out += std::to_string(line);
    out += ") : ERROR ";
    out.append(text);
    out += " \r\n";
    port::debugOutput(out);
}

void debugText(std::string_view text) {
    port::debugOutput(text);
}

}  // namespace nork::gui
