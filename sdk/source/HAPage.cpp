#include "HAPage.h"

#include <algorithm>
#include <cstring>

#include "HAPageMgr.h"
#include "HAUtils.h"
#include "Log.h"
#include "qz/DriveProtocol.h"

namespace nork {

CHAPage::CHAPage(CHAPageMgr& manager, std::uint16_t number)
    : m_manager(manager), m_number(number), m_image(new std::uint8_t[HA_PAGE_SIZE]()) {}

std::uint32_t CHAPage::mode() const {
    return proto::getLE32(m_image.get());
}

void CHAPage::putMode(std::uint32_t mode) {
    proto::putLE32(m_image.get(), mode);
}

STATUS CHAPage::setMode(std::uint32_t mode, bool flushNow) {
    putMode(mode);
    return flushNow ? flush() : STATUS_OK;
}

STATUS CHAPage::writeData(const std::uint8_t* data, std::uint32_t size, std::uint32_t mode) {
    if (size > HA_DATA_AREA_SIZE || (data == nullptr && size > 0)) {
        zyk_assert(size <= HA_DATA_AREA_SIZE, "data_size <= data_area_size()");
        return STATUS_WRONG_PARAMETERS;
    }
    if (size > 0)
        std::memcpy(m_image.get() + HA_PAGE_HEADER_SIZE, data, size);
    return setMode(mode, false);
}

STATUS CHAPage::read(std::uint32_t mode) {
    CHAUtils* utils = m_manager.utils();
    bool ok = false;
    if (utils != nullptr) {
        ok = m_number == 0 && mode == CHAUtils::MODE_INDEX
                 ? utils->readProtectedPage(m_manager.handle(), m_image.get(), mode, m_number)
                 : utils->readPage(m_manager.handle(), m_image.get(), mode, m_number);
    }
    const STATUS status = ok ? STATUS_OK : STATUS_COMMUNICATION_FAILURE;
    if (!ok)
        m_manager.noteTransferFailure();
    NORK_LOG(LOG_DEBUG, "CHAPage::read - page %d, result %d", int(m_number), int(status));
    return status;
}

void CHAPage::clear() {
    std::memset(m_image.get() + HA_PAGE_HEADER_SIZE, 0, HA_DATA_AREA_SIZE);
    CHAUtils* utils = m_manager.utils();
    putMode(utils ? utils->dataPageMode() : CHAUtils::MODE_QZ_DATA);
}

STATUS CHAPage::flush() {
    CHAUtils* utils = m_manager.utils();
    bool ok = false;
    if (utils != nullptr) {
        ok = m_number == 0 || mode() == CHAUtils::MODE_INDEX
                 ? utils->writeProtectedPage(m_manager.handle(), m_image.get(), m_number)
                 : utils->writePage(m_manager.handle(), m_image.get(), m_number);
    }
    const STATUS status = ok ? STATUS_OK : STATUS_COMMUNICATION_FAILURE;
    if (!ok)
        m_manager.noteTransferFailure();
    NORK_LOG(LOG_DEBUG, "CHAPage::flush - page %d, result %d", int(m_number), int(status));
    return status;
}

bool CHAPage::writeAt(const std::uint8_t* bytes, std::uint32_t length, std::uint32_t offset) {
    if (offset > HA_DATA_AREA_SIZE || length > HA_DATA_AREA_SIZE - offset) {
        zyk_assert(false, "size + wOffset <= data_area_size()");
        return false;
    }
    if (length > 0)
        std::memcpy(m_image.get() + HA_PAGE_HEADER_SIZE + offset, bytes, length);
    return true;
}

std::uint8_t* CHAPage::dataAt(std::uint32_t offset) {
    if (offset >= HA_DATA_AREA_SIZE) {
        zyk_assert(offset < HA_DATA_AREA_SIZE, "wOffset < data_area_size()");
        return nullptr;
    }
    return m_image.get() + HA_PAGE_HEADER_SIZE + offset;
}

// ---- CHADataPage ----

STATUS CHADataPage::setMode(std::uint32_t mode, bool flushNow) {
    putMode(mode);
    if (flushNow)
        return flush();
    manager().markDirty(number());
    return STATUS_OK;
}

STATUS CHADataPage::flush() {
    return CHAPage::flush();
}

// ---- CHAIndexPage ----

void CHAIndexPage::clear() {
    rebuild({}, manager().areaVersion());
}

void CHAIndexPage::rebuild(const std::vector<CHAIndexEntry>& entries, int version) {
    std::uint8_t* image = this->image();
    std::memset(image, 0, HA_PAGE_SIZE);
    putMode(CHAUtils::MODE_INDEX);
    std::uint8_t* data = image + HA_PAGE_HEADER_SIZE;
    std::memcpy(data, MAGIC, sizeof MAGIC);
    data[4] = 0;
    data[5] = static_cast<std::uint8_t>(version);
    const std::size_t count = std::min<std::size_t>(entries.size(), ROOM);
    zyk_assert(entries.size() <= ROOM, "entries fit the index page");
    proto::putLE16(data + 6, static_cast<std::uint16_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t* e = data + ENTRIES_OFFSET + i * ENTRY_SIZE;
        proto::putLE16(e, entries[i].page);
        proto::putLE32(e + 2, entries[i].reserved);
        proto::putLE32(e + 6, entries[i].key);
    }
}

std::vector<CHAIndexEntry> CHAIndexPage::load() const {
    const std::uint8_t* data = image() + HA_PAGE_HEADER_SIZE;
    const std::size_t count = std::min<std::size_t>(proto::getLE16(data + 6), ROOM);
    std::vector<CHAIndexEntry> entries(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* e = data + ENTRIES_OFFSET + i * ENTRY_SIZE;
        entries[i].page = proto::getLE16(e);
        entries[i].reserved = proto::getLE32(e + 2);
        entries[i].key = proto::getLE32(e + 6);
    }
    return entries;
}

int CHAIndexPage::storedVersion(const std::uint8_t* image512) {
    const std::uint8_t* data = image512 + HA_PAGE_HEADER_SIZE;
    if (std::memcmp(data, MAGIC, sizeof MAGIC) == 0 && data[4] == 0)
        return data[5];
    return 1;
}

}  // namespace nork
