// errno to PortError, one translation for every Linux backend.
#pragma once

#include <cerrno>

#include "port/PortError.h"

namespace nork::port {

inline PortError fromErrno(int err) {
    PortErrc code = PortErrc::IoError;
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            code = PortErrc::NotFound;
            break;
        case EACCES:
        case EPERM:
        case EROFS:
            code = PortErrc::AccessDenied;
            break;
        case EBUSY:
        case EAGAIN:
            code = PortErrc::Busy;
            break;
        case ENXIO:
        case ENODEV:
        case EPIPE:
        case ECONNRESET:
            code = PortErrc::Disconnected;
            break;
        case ENOTTY:
        case ENOSYS:
            code = PortErrc::NotSupported;
            break;
        case EINVAL:
        case EFAULT:
        case ENAMETOOLONG:
        case ELOOP:
            code = PortErrc::InvalidArgument;
            break;
        case ETIMEDOUT:
            code = PortErrc::Timeout;
            break;
        default:
            break;
    }
    return PortError{code, err};
}

}  // namespace nork::port
