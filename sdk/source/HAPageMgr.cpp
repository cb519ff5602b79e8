#include "HAPageMgr.h"

#include <algorithm>
#include <cstring>

#include "HAChunk.h"
#include "Log.h"
#include "UFDImpl.h"
#include "VendorTraits.h"
#include "qz/DriveProtocol.h"

namespace nork {

// ---- CHAIndex ----

CHAIndex::CHAIndex(CHAPageMgr& manager) : m_page(manager) {}

STATUS CHAIndex::load() {
    if (!m_current) {
        const STATUS status = readPage(CHAUtils::MODE_INDEX);
        if (status != STATUS_OK)
            return status;
    }
    m_entries = m_page.load();
    m_dirty = false;
    return STATUS_OK;
}

STATUS CHAIndex::readPage(std::uint32_t mode) {
    const STATUS status = m_page.read(mode);
    m_current = status == STATUS_OK && mode == CHAUtils::MODE_INDEX;
    return status;
}

void CHAIndex::reset() {
    m_entries.clear();
    m_dirty = false;
}

std::uint16_t CHAIndex::pageOf(std::uint32_t key) const {
    for (const CHAIndexEntry& e : m_entries) {
        if (e.key == key)
            return e.page;
    }
    return 0;
}

bool CHAIndex::isListed(std::uint16_t page) const {
    return std::any_of(m_entries.begin(), m_entries.end(),
                       [&](const CHAIndexEntry& e) { return e.page == page; });
}

void CHAIndex::set(std::uint16_t page, std::uint32_t key) {
    for (CHAIndexEntry& e : m_entries) {
        if (e.key == key) {
            if (page == 0)
                e.key = 0;
            else
                e.page = page;
            m_dirty = true;
            return;
        }
    }
    if (page == 0)
        return;
    m_dirty = true;
    for (CHAIndexEntry& e : m_entries) {
        if (e.page == page && e.key == 0) {
            e.key = key;
            return;
        }
    }
    m_entries.push_back(CHAIndexEntry{page, 0, key});
    zyk_assert(m_entries.size() <= MAX_ENTRIES, "m_entries.size() <= 16");
}

STATUS CHAIndex::write(int version) {
    m_page.rebuild(m_entries, version);
    const STATUS status = m_page.flush();
    if (status == STATUS_OK)
        m_dirty = false;
    // Written, the image is the drive's page; a failed write leaves the
    // page unknown.
    m_current = status == STATUS_OK;
    return status;
}

// ---- CHAPageMgr ----

CHAPageMgr::CHAPageMgr() : m_handle(nullptr, true), m_index(*this) {
    m_pages.resize(INITIAL_SLOTS);
}

CHAPageMgr::~CHAPageMgr() = default;

void CHAPageMgr::attach(CUFDImpl* device, std::unique_ptr<CHAUtils> utils) {
    m_device = device;
    m_handle.close();
    m_handle.setParams(device);
    if (!utils && device != nullptr && device->traits() != nullptr)
        utils = device->traits()->createHAUtils();
    m_utils = std::move(utils);
    if (m_utils)
        m_utils->attach(device);
}

bool CHAPageMgr::openHandle() {
    return m_handle.open() != port::INVALID_OS_HANDLE;
}

std::uint16_t CHAPageMgr::pageCount() {
    return m_utils ? m_utils->pageCount() : 0;
}

int CHAPageMgr::areaVersion() {
    return m_utils ? m_utils->areaVersion() : 0;
}

std::uint32_t CHAPageMgr::dataPageMode() const {
    return m_utils ? m_utils->dataPageMode() : CHAUtils::MODE_QZ_DATA;
}

int CHAPageMgr::readStoredVersion() {
    if (!m_utils)
        return 0;
    // Into the index's image: opening takes the entries from the same read.
    if (m_index.current() || m_index.readPage(CHAUtils::MODE_INDEX) == STATUS_OK)
        return CHAIndexPage::storedVersion(m_index.page().image());
    std::vector<std::uint8_t> scratch(HA_PAGE_SIZE, 0);
    for (std::uint32_t mode : {0u, 1u}) {
        if (m_utils->readPage(m_handle, scratch.data(), mode, 0))
            return 1;
    }
    return 0;
}

STATUS CHAPageMgr::open() {
    m_unusable = false;
    m_opened = false;
    m_transferFailed = false;
    m_index.forget();
    if (!m_utils)
        return STATUS_COMMUNICATION_FAILURE;
    const std::uint16_t count = m_utils->pageCount();
    const int deviceVersion = m_utils->areaVersion();
    const int stored = readStoredVersion();
    if (m_device != nullptr && m_device->deviceState() != STATUS_OK) {
        // The drive has gone: nothing is prepared and the operation's page
        // accesses fail.
        m_unusable = true;
        m_index.forget();
        return STATUS_OK;
    }
    if (stored == 0 || count == 0)
        throw CHAWrongVersionException(stored);
    int current = stored;
    if (stored == 1 && (deviceVersion == 2 || deviceVersion == 3)) {
        if (!m_convertOldArea)
            throw CHAWrongVersionException(stored);
        // An area of the first format cannot be read; it is formatted anew.
        NORK_LOG(LOG_INFO, "CHAPageMgr::open - converting a version 1 area to version %d",
                 deviceVersion);
        m_index.reset();
        if (buildBlankHA(deviceVersion, *this) != STATUS_OK)
            return STATUS_COMMUNICATION_FAILURE;
        current = deviceVersion;
    }
    if (deviceVersion < current || (deviceVersion == 3 && current == 2))
        throw CHAWrongVersionException(stored);
    resetCache(count);
    // Page 0 as read above (or as the conversion wrote it), read again only
    // when neither left its image.
    if (m_index.load() != STATUS_OK)
        return STATUS_COMMUNICATION_FAILURE;
    m_opened = true;
    return STATUS_OK;
}

STATUS CHAPageMgr::openArea() noexcept {
    try {
        return open();
    } catch (const CHAWrongVersionException& e) {
        NORK_LOG(LOG_ERROR, "CHAPageMgr::openArea - stored version %d cannot be used",
                 e.storedVersion());
        return e.storedVersion() != 0 ? STATUS_WRONG_HIDDEN_AREA_VERSION
                                      : STATUS_COMMUNICATION_FAILURE;
    } catch (...) {
        return STATUS_COMMUNICATION_FAILURE;
    }
}

void CHAPageMgr::resetCache(std::size_t slots) {
    emptyCache();
    m_pages.resize(slots);
}

void CHAPageMgr::emptyCache() {
    for (std::uint16_t number : m_loaded)
        m_pages[number].reset();
    m_loaded.clear();
    m_dirty.clear();
}

CHAPage* CHAPageMgr::getPage(std::uint16_t number, std::uint32_t mode) {
    if (m_unusable || number >= pageCount())
        return nullptr;
    if (number == 0) {
        if (mode == CHAUtils::MODE_INDEX && m_index.current())
            return &m_index.page();
        return m_index.readPage(mode) == STATUS_OK ? &m_index.page() : nullptr;
    }
    if (number >= m_pages.size())
        m_pages.resize(pageCount());
    if (m_pages[number])
        return m_pages[number].get();
    auto page = std::make_unique<CHADataPage>(*this, number);
    if (page->read(mode) != STATUS_OK)
        return nullptr;
    m_pages[number] = std::move(page);
    m_loaded.push_back(number);
    return m_pages[number].get();
}

STATUS CHAPageMgr::flush() {
    // The index page is written only when its entries changed: rewriting
    // it unchanged would only expose the whole area to a torn write.
    if (m_index.dirty() && (m_pages.empty() || !m_pages[0])) {
        const STATUS status = m_index.write(areaVersion());
        if (status != STATUS_OK)
            return status;
    }
    // Highest page first. A chunk header only points forward in the stream
    // (to the header after its chunk), so the header it points to, and the
    // chunk's own bytes behind it, reach the drive before it does; a cut
    // between two page writes leaves every header on the drive pointing at
    // a header that is there. A record that moves is the one dependency
    // that can point backward; the chunk manager flushes its new copy before
    // freeing the old place (HAChunkMgr.cpp).
    STATUS last = STATUS_OK;
    for (auto it = m_dirty.rbegin(); it != m_dirty.rend(); ++it) {
        const std::uint16_t number = *it;
        if (number >= m_pages.size() || !m_pages[number]) {
            zyk_assert(false, "m_pages[*iter]");
            continue;
        }
        const STATUS status = m_pages[number]->flush();
        if (status != STATUS_OK)
            last = status;
    }
    m_dirty.clear();
    return last;
}

void CHAPageMgr::drop() {
    emptyCache();
    // Nothing read survives the operation: another process may change the
    // area before the next one.
    m_index.forget();
    m_opened = false;
    m_transferFailed = false;
}

STATUS CHAPageMgr::probe() {
    if (!m_utils)
        return STATUS_COMMUNICATION_FAILURE;
    std::vector<std::uint8_t> scratch(HA_PAGE_SIZE, 0);
    return m_utils->readProtectedPage(m_handle, scratch.data(), CHAUtils::MODE_INDEX, 0)
               ? STATUS_OK
               : STATUS_COMMUNICATION_FAILURE;
}

STATUS CHAPageMgr::answering() {
    if (m_opened && !m_unusable && !m_transferFailed)
        return STATUS_OK;
    return probe();
}

// ---- the chunk stream ----

std::uint16_t CHAPageMgr::nextStreamPage(std::uint16_t page) {
    const std::uint16_t count = pageCount();
    std::uint32_t next = page + 1u;
    while (next < count && m_index.isListed(static_cast<std::uint16_t>(next)))
        ++next;
    return static_cast<std::uint16_t>(std::min<std::uint32_t>(next, count));
}

CHALocation CHAPageMgr::streamStart() {
    return normalize(CHALocation{1, 0});
}

CHALocation CHAPageMgr::normalize(CHALocation at) {
    const std::uint16_t count = pageCount();
    if (at.page < count && (at.page == 0 || m_index.isListed(at.page)))
        at.page = nextStreamPage(at.page);
    return at;
}

bool CHAPageMgr::advance(CHALocation& at, std::uint32_t n) {
    CHALocation place = normalize(at);
    const std::uint16_t count = pageCount();
    if (place.page >= count || place.offset >= HA_DATA_AREA_SIZE)
        return false;
    std::uint64_t offset = std::uint64_t(place.offset) + n;
    while (offset >= HA_DATA_AREA_SIZE) {
        offset -= HA_DATA_AREA_SIZE;
        place.page = nextStreamPage(place.page);
        if (place.page >= count) {
            if (offset != 0)
                return false;
            break;
        }
    }
    place.offset = static_cast<std::uint16_t>(offset);
    at = place;
    return true;
}

bool CHAPageMgr::spans(
    CHALocation at, std::uint32_t n,
    const std::function<void(CHAPage&, std::uint16_t, std::uint32_t, std::uint32_t)>& each) {
    at = normalize(at);
    if (at.offset >= HA_DATA_AREA_SIZE)
        return false;
    std::uint32_t offset = at.offset;
    std::uint16_t number = at.page;
    while (n > 0) {
        if (number >= pageCount())
            return false;
        CHAPage* page = getDataPage(number);
        if (page == nullptr)
            return false;
        const std::uint32_t take = std::min(HA_DATA_AREA_SIZE - offset, n);
        each(*page, number, offset, take);
        n -= take;
        offset = 0;
        number = nextStreamPage(number);
    }
    return true;
}

bool CHAPageMgr::readStream(CHALocation at, std::uint8_t* out, std::uint32_t n) {
    return spans(at, n,
                 [&](CHAPage& page, std::uint16_t, std::uint32_t offset, std::uint32_t take) {
                     std::memcpy(out, page.dataAt(offset), take);
                     out += take;
                 });
}

bool CHAPageMgr::writeStream(CHALocation at, const std::uint8_t* in, std::uint32_t n) {
    return spans(
        at, n, [&](CHAPage& page, std::uint16_t number, std::uint32_t offset, std::uint32_t take) {
            page.writeAt(in, take, offset);
            markDirty(number);
            in += take;
        });
}

// ---- formatting ----

STATUS buildBlankHA(int version, CHAPageMgr& pages) {
    CHAUtils* utils = pages.utils();
    if (utils == nullptr)
        return STATUS_COMMUNICATION_FAILURE;
    const std::uint16_t count = utils->pageCount();
    if (version == 3 && pages.index().entryCount() > 0)
        return STATUS_WRONG_HIDDEN_AREA_VERSION;
    pages.resetCache(count);
    // Page 0 is written below past the index's image.
    pages.index().forget();
    CDeviceHandle& handle = pages.handle();

    STATUS result = STATUS_OK;
    std::vector<std::uint8_t> image(HA_PAGE_SIZE, 0);
    if (version >= 0 && version <= 2) {
        proto::putLE32(image.data(), utils->dataPageMode());
        int failures = 0;
        for (std::uint32_t number = 0; number < count; ++number) {
            if (!utils->writePage(handle, image.data(), static_cast<std::uint16_t>(number))) {
                pages.noteTransferFailure();
                ++failures;
                result = STATUS_OPERATION_NOT_COMPLETED;
            }
            NORK_LOG(LOG_DEBUG, "CHABuilder::buildBlankHA - write page %d, result %d", int(number),
                     failures == 0 ? 1 : 0);
            if (failures >= 5 && std::uint32_t(failures) == number) {
                NORK_LOG(LOG_ERROR,
                         "CHABuilder::buildBlankHA - too many errors in writing pages - convert "
                         "aborted");
                return STATUS_ERROR;
            }
        }
    }
    if (version == 0)
        return result;

    pages.index().reset();
    std::fill(image.begin(), image.end(), 0);
    proto::putLE32(image.data(), CHAUtils::MODE_INDEX);
    if (version == 2) {
        utils->writePage(handle, image.data(), 0);
        pages.index().write(2);
    } else if (version == 3 && utils->hasPagePasswords()) {
        const bool protectedPage =
            utils->setWritePassword(handle, 0) && utils->setReadPassword(handle, 0);
        if (protectedPage)
            utils->writeProtectedPage(handle, image.data(), 0);
        pages.index().write(3);
    }

    CHAEmptyChunk all((count > 0 ? count - 1u : 0u) * HA_DATA_AREA_SIZE);
    all.setLocation(CHALocation{1, 0});
    if (count < 2 || all.write(pages, true) != STATUS_OK)
        return STATUS_ERROR;
    return pages.flush();
}

}  // namespace nork
