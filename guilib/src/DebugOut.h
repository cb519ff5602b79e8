// The library's error lines on the debugger channel (port::debugOutput):
// "<source file>(<line>) : ERROR <text> \r\n". Not the application log.
#pragma once

#include <string_view>

namespace nork::gui {

void debugError(const char* file, int line, std::string_view text);
// Plain text on the debugger channel, as given.
void debugText(std::string_view text);

}  // namespace nork::gui

#define QZ_GUI_ERROR(text) ::nork::gui::debugError(__FILE__, __LINE__, (text))
