#include "qz/HAUtilsQz.h"

#include <cstring>
#include <vector>

#include "DeviceHandle.h"
#include "Log.h"
#include "ServiceImpl.h"
#include "UFDImpl.h"
#include "VersionFactory.h"
#include "qz/QzCommands.h"

namespace nork::qz {

namespace {

// Page number, then the 7 password bytes.
void setPasswordParams(CPrivateCommand& cmd, std::uint16_t number, const char* password) {
    std::uint8_t params[9];
    proto::putLE16(params, number);
    std::memcpy(params + 2, password, CHAUtilsQz::PASSWORD_SIZE);
    cmd.setParams(params, sizeof params);
}

}  // namespace

// ---- CHASrv ----

int CHASrv::version() {
    auto registered = std::dynamic_pointer_cast<CServiceImpl>(m_device.getService(SERVICE_ID));
    if (registered)
        return registered->version();
    // Not listed by discovery: ask the drive for the descriptor's header.
    CServiceImpl probe(SERVICE_ID, -1);
    probe.attach(&m_device);
    std::uint8_t header[6] = {};
    std::uint32_t length = 0;
    if (probe.getServiceDescriptor(SERVICE_ID, header, sizeof header, length, false) != STATUS_OK)
        return -1;
    return proto::getLE16(header + 2);
}

bool CHASrv::pageCountField(std::uint16_t& value) {
    CServiceImpl query(SERVICE_ID, -1);
    query.attach(&m_device);
    std::vector<std::uint8_t> fields(3, 0);
    std::uint32_t length = 0;
    if (query.getServiceRootSpecificFields(SERVICE_ID, fields.data(),
                                           static_cast<std::uint32_t>(fields.size()),
                                           length) != STATUS_OK) {
        return false;
    }
    if (length != fields.size() && length != 0) {
        fields.assign(length, 0);
        if (query.getServiceRootSpecificFields(SERVICE_ID, fields.data(), length, length) !=
            STATUS_OK) {
            return false;
        }
    }
    if (length < 2)
        return false;
    value = proto::getLE16(fields.data());
    return true;
}

// ---- CHAUtilsQz ----

bool CHAUtilsQz::writePage(CDeviceHandle& handle, const std::uint8_t* page, std::uint16_t number) {
    if (page == nullptr) {
        zyk_assert(page != nullptr, "pPageContent != NULL");
        return false;
    }
    CQzHAWritePageCmd cmd;
    std::memcpy(cmd.dataBuffer(), page, PAGE_SIZE);
    std::uint8_t params[2];
    proto::putLE16(params, number);
    cmd.setParams(params, sizeof params);
    return executePrivate(handle, cmd);
}

bool CHAUtilsQz::readPage(CDeviceHandle& handle, std::uint8_t* buffer, std::uint32_t mode,
                          std::uint16_t number) {
    if (buffer == nullptr) {
        zyk_assert(buffer != nullptr, "pData");
        return false;
    }
    CQzHAReadPageCmd cmd(buffer);
    std::uint8_t params[6];
    proto::putLE16(params, number);
    proto::putLE32(params + 2, mode);
    cmd.setParams(params, sizeof params);
    return executePrivate(handle, cmd);
}

bool CHAUtilsQz::writeProtectedPage(CDeviceHandle& handle, const std::uint8_t* page,
                                    std::uint16_t number) {
    if (page == nullptr) {
        zyk_assert(page != nullptr, "pPageContent != NULL");
        return false;
    }
    CQzHAWriteProtectedPageCmd cmd;
    std::memcpy(cmd.dataBuffer(), page, PAGE_SIZE);
    setPasswordParams(cmd, number, WRITE_PASSWORD);
    return executePrivate(handle, cmd);
}

bool CHAUtilsQz::readProtectedPage(CDeviceHandle& handle, std::uint8_t* buffer, std::uint32_t,
                                   std::uint16_t number) {
    if (buffer == nullptr) {
        zyk_assert(buffer != nullptr, "pData");
        return false;
    }
    CQzHAReadProtectedPageCmd cmd;
    setPasswordParams(cmd, number, READ_PASSWORD);
    if (!executePrivate(handle, cmd))
        return false;
    std::memcpy(buffer, cmd.dataBuffer(), PAGE_SIZE);
    return true;
}

bool CHAUtilsQz::setWritePassword(CDeviceHandle& handle, std::uint16_t page) {
    CQzHASetWritePasswordCmd cmd;
    setPasswordParams(cmd, page, WRITE_PASSWORD);
    return executePrivate(handle, cmd);
}

bool CHAUtilsQz::setReadPassword(CDeviceHandle& handle, std::uint16_t page) {
    CQzHASetReadPasswordCmd cmd;
    setPasswordParams(cmd, page, READ_PASSWORD);
    return executePrivate(handle, cmd);
}

CHASrv* CHAUtilsQz::service() {
    if (!m_service && device() != nullptr)
        m_service = std::make_unique<CHASrv>(*device());
    return m_service.get();
}

std::uint16_t CHAUtilsQz::queryPageCount() {
    std::uint16_t field = 0;
    CHASrv* srv = service();
    if (srv == nullptr || !srv->pageCountField(field) || field == 0)
        return 0;
    return static_cast<std::uint16_t>(field - 1);
}

int CHAUtilsQz::queryAreaVersion() {
    CHASrv* srv = service();
    const int v = srv ? srv->version() : -1;
    if (v >= 0 && v <= 2)
        return 2;
    return v == 3 ? 3 : 0;
}

}  // namespace nork::qz
