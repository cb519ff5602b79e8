// How port services report failures. Operating-system errors are translated
// inside the backend; the raw errno travels beside the translation so the
// caller can log it, but nothing above port/ interprets errno.
#pragma once

namespace nork::port {

enum class PortErrc {
    Ok = 0,
    NotFound,         // no such file, key, device or symbol
    AccessDenied,     // the process lacks the rights
    NotSupported,     // the facility does not exist on this system
    Busy,             // locked or in use by someone else
    InvalidArgument,  // the request itself was malformed
    Disconnected,     // the device went away during the request
    Timeout,
    IoError,  // anything else the system reported
};

struct PortError {
    PortErrc code = PortErrc::Ok;
    int sysErrno = 0;  // raw errno of the failing call, 0 when none

    explicit operator bool() const { return code != PortErrc::Ok; }
    static PortError ok() { return {}; }
};

// Short English name of a code, for log lines.
const char* portErrcName(PortErrc code);

}  // namespace nork::port
