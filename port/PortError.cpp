#include "port/PortError.h"

namespace nork::port {

const char* portErrcName(PortErrc code) {
    switch (code) {
        case PortErrc::Ok:
            return "ok";
        case PortErrc::NotFound:
            return "not found";
        case PortErrc::AccessDenied:
            return "access denied";
        case PortErrc::NotSupported:
            return "not supported";
        case PortErrc::Busy:
            return "busy";
        case PortErrc::InvalidArgument:
            return "invalid argument";
        case PortErrc::Disconnected:
            return "disconnected";
        case PortErrc::Timeout:
            return "timeout";
        case PortErrc::IoError:
            return "i/o error";
    }
    return "unknown";
}

}  // namespace nork::port
