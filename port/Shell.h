// The desktop shell: opening a document or web address with the program the
// user's desktop associates with it.
#pragma once

#include <string>

#include "port/PortError.h"

namespace nork::port {

// Opens the target (a URL or a file) with the desktop's default handler, as
// xdg-open does, without waiting for it. The command is `xdg-open`, or the
// program named by the environment variable QZ_OPEN_URL_COMMAND (tests point
// it at a script); it receives the target as its only argument. NotFound when
// the command does not exist, InvalidArgument for an empty target.
PortError openUrl(const std::string& url);

}  // namespace nork::port
