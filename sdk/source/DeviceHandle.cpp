#include "DeviceHandle.h"

#include "DeviceParams.h"
#include "port/DeviceIo.h"

namespace nork {

CDeviceHandle::CDeviceHandle(CDeviceParams* params, bool closeOnDestruction)
    : m_params(params), m_closeOnDestruction(closeOnDestruction) {}

CDeviceHandle::CDeviceHandle(const CDeviceHandle& other)
    : m_params(other.m_params),
      m_desiredAccess(other.m_desiredAccess),
      m_shareMode(other.m_shareMode),
      m_closeOnDestruction(other.m_closeOnDestruction),
      m_pathKind(other.m_pathKind) {
    if (other.isOpen())
        open(other.m_pathKind);
}

CDeviceHandle& CDeviceHandle::operator=(const CDeviceHandle& other) {
    if (this != &other) {
        close();
        m_params = other.m_params;
        m_desiredAccess = other.m_desiredAccess;
        m_shareMode = other.m_shareMode;
        m_closeOnDestruction = other.m_closeOnDestruction;
        m_pathKind = other.m_pathKind;
        if (other.isOpen())
            open(other.m_pathKind);
    }
    return *this;
}

CDeviceHandle::~CDeviceHandle() {
    if (m_closeOnDestruction)
        close();
}

port::OsHandle CDeviceHandle::open(int pathKind, std::uint8_t /*lun*/) {
    if (isOpen())
        return m_handle;
    if (m_params == nullptr)
        return port::INVALID_OS_HANDLE;
    const std::u16string path = m_params->path(pathKind);
    if (path.empty())
        return port::INVALID_OS_HANDLE;
    m_handle = port::deviceIo().open(std::u16string_view(path));
    if (isOpen())
        m_pathKind = pathKind;
    return m_handle;
}

void CDeviceHandle::close() {
    if (isOpen()) {
        port::deviceIo().close(m_handle);
        m_handle = port::INVALID_OS_HANDLE;
    }
}

}  // namespace nork
