// The earlier product line's hidden-area access (HAUtils.h).
#include "HAUtils.h"

#include <cstring>

#include "DeviceHandle.h"
#include "Log.h"
#include "UFDImpl.h"
#include "VersionFactory.h"
#include "qz/DriveProtocol.h"
#include "zyk/ZykCommands.h"

namespace nork {

namespace {

// Page number (and, for reads, the page mode) in the parameter area.
void setPageParams(CPrivateCommand& cmd, std::uint16_t number) {
    std::uint8_t params[2];
    proto::putLE16(params, number);
    cmd.setParams(params, sizeof params);
}

void setPageModeParams(CPrivateCommand& cmd, std::uint16_t number, std::uint32_t mode) {
    std::uint8_t params[6];
    proto::putLE16(params, number);
    proto::putLE32(params + 2, mode);
    cmd.setParams(params, sizeof params);
}

}  // namespace

bool CHAUtils::writePage(CDeviceHandle& handle, const std::uint8_t* page, std::uint16_t number) {
    if (page == nullptr) {
        zyk_assert(page != nullptr, "pPageContent != NULL");
        return false;
    }
    std::uint8_t copy[PAGE_SIZE];
    std::memcpy(copy, page, PAGE_SIZE);
    zyk::CZykWriteHiddenPageCommand cmd(copy);
    setPageParams(cmd, number);
    return executePrivate(handle, cmd);
}

bool CHAUtils::readPage(CDeviceHandle& handle, std::uint8_t* buffer, std::uint32_t mode,
                        std::uint16_t number) {
    if (buffer == nullptr) {
        zyk_assert(buffer != nullptr, "pData");
        return false;
    }
    zyk::CZykReadHiddenPageCommand cmd(buffer);
    setPageModeParams(cmd, number, mode);
    return executePrivate(handle, cmd);
}

bool CHAUtils::writeProtectedPage(CDeviceHandle& handle, const std::uint8_t* page,
                                  std::uint16_t number) {
    return CHAUtils::writePage(handle, page, number);
}

bool CHAUtils::readProtectedPage(CDeviceHandle& handle, std::uint8_t* buffer, std::uint32_t mode,
                                 std::uint16_t number) {
    return CHAUtils::readPage(handle, buffer, mode, number);
}

std::uint16_t CHAUtils::pageCount() {
    if (m_pageCount == 0)
        m_pageCount = queryPageCount();
    return m_pageCount;
}

int CHAUtils::areaVersion() {
    if (m_version == -1)
        m_version = queryAreaVersion();
    return m_version;
}

std::uint16_t CHAUtils::queryPageCount() {
    if (m_device == nullptr)
        return 0;
    if (m_device->version() == CVersion())
        m_device->refreshVersion();
    const CVersion& v = m_device->version();
    if (v < CVersion(3.0))
        return 15;
    if (v >= CVersion(4.3))
        return 250;
    return 31;
}

}  // namespace nork
