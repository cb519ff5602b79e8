#include "CookieImpl.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "HIDHandleMgr.h"
#include "Log.h"
#include "UFDImpl.h"
#include "WideStream.h"
#include "port/NamedMutex.h"
#include "port/Utf.h"
#include "qz/DriveProtocol.h"

namespace nork {

namespace {

// printf into a narrow string.
template <class... Args>
std::string printed(const char* fmt, Args... args) {
    char buffer[128];
    const int n = std::snprintf(buffer, sizeof buffer, fmt, args...);
    return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

bool pathUsable(const char16_t* path) {
    return path != nullptr && std::u16string_view(path).size() >= 2;
}

}  // namespace

// One operation's hold on the drive: the mutex, the handle and the opened
// area; the destructor gives everything back whatever happened.
class CCookieImpl::Frame {
  public:
    Frame(CCookieImpl& store, bool openArea) : m_store(store) {
        if (!store.m_pages || store.device() == nullptr) {
            m_status = STATUS_COMMUNICATION_FAILURE;
            return;
        }
        // Looked up on every operation: the handle manager drops its
        // mutexes at SDK::fini and makes them again on demand.
        store.m_mutex = CHIDHandleMgr::instance().getMutexOf(store.mutexName().c_str());
        if (store.m_mutex == nullptr || store.m_mutex->lock()) {
            NORK_LOG(LOG_ERROR, "CCookieImpl - cannot take the lock %s", store.mutexName());
            m_status = STATUS_COMMUNICATION_FAILURE;
            return;
        }
        m_mutex = store.m_mutex;
        store.m_pages->openHandle();
        m_status = openArea ? open() : STATUS_OK;
    }
    ~Frame() {
        if (m_store.m_pages) {
            m_store.m_pages->drop();
            m_store.m_chunks->clear();
            m_store.m_pages->closeHandle();
        }
        if (m_mutex != nullptr)
            m_mutex->unlock();
    }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    STATUS status() const { return m_status; }

  private:
    STATUS open() {
        try {
            return m_store.m_pages->open() == STATUS_OK ? STATUS_OK : STATUS_COMMUNICATION_FAILURE;
        } catch (const CHAWrongVersionException& e) {
            NORK_LOG(LOG_ERROR, "CCookieImpl - hidden area of stored version %d refused",
                     e.storedVersion());
            return e.storedVersion() != 0 ? STATUS_WRONG_HIDDEN_AREA_VERSION
                                          : STATUS_COMMUNICATION_FAILURE;
        } catch (...) {
            return STATUS_COMMUNICATION_FAILURE;
        }
    }

    CCookieImpl& m_store;
    port::NamedMutex* m_mutex = nullptr;
    STATUS m_status = STATUS_OK;
};

CCookieImpl::CCookieImpl(std::int16_t version, std::u16string lockName)
    : CServiceImpl(SERVICE_ID, version), m_lockName(std::move(lockName)) {}

CCookieImpl::~CCookieImpl() = default;

std::unique_ptr<CZykAPI> CCookieImpl::clone() const {
    return std::make_unique<CCookieImpl>(version(), m_lockName);
}

void CCookieImpl::attach(CUFDImpl* device) {
    attach(device, nullptr);
}

void CCookieImpl::attach(CUFDImpl* device, std::unique_ptr<CHAUtils> utils) {
    CServiceImpl::attach(device);
    if (device == nullptr)
        return;
    m_mutex = CHIDHandleMgr::instance().getMutexOf(mutexName().c_str());
    m_chunks.reset();
    m_pages = std::make_unique<CHAPageMgr>();
    m_pages->attach(device, std::move(utils));
    m_chunks = std::make_unique<CHAChunkMgr>(*m_pages);
}

std::u16string CCookieImpl::mutexName() const {
    std::u16string name = m_lockName;
    if (device() != nullptr)
        name += device()->serialNumber();
    return name;
}

STATUS CCookieImpl::run(const char* where, const std::function<STATUS()>& work) noexcept {
    NORK_LOG(LOG_DEBUG, "%s --- enter", where);
    const STATUS st = guarded(where, [&]() -> STATUS {
        Frame frame(*this, true);
        if (frame.status() != STATUS_OK)
            return frame.status();
        return work();
    });
    if (st != STATUS_OK && st != STATUS_DATA_NOT_FOUND)
        NORK_LOG(LOG_ERROR, "%s - failed, status %d", where, int(st));
    NORK_LOG(LOG_DEBUG, "%s --- exit, status %d", where, int(st));
    return st;
}

STATUS CCookieImpl::inspect(const std::function<STATUS(CHAPageMgr&, CHAChunkMgr&)>& look) {
    return run("CCookieImpl::inspect", [&]() { return look(*m_pages, *m_chunks); });
}

STATUS CCookieImpl::readVersions(int& stored, int& drive) {
    return guarded("CCookieImpl::readVersions", [&]() -> STATUS {
        Frame frame(*this, false);
        if (frame.status() != STATUS_OK)
            return frame.status();
        drive = m_pages->areaVersion();
        stored = m_pages->readStoredVersion();
        return stored != 0 ? STATUS_OK : STATUS_COMMUNICATION_FAILURE;
    });
}

void CCookieImpl::setConvertOldArea(bool convert) {
    if (m_pages)
        m_pages->setConvertOldArea(convert);
}

STATUS CCookieImpl::commit() {
    if (!m_chunks)
        return STATUS_COMMUNICATION_FAILURE;
    return m_chunks->commit();
}

// ---- set ----

STATUS CCookieImpl::set(const char* where, CHAIniEntry& entry) {
    return run(where, [&]() -> STATUS {
        auto stored = m_chunks->find(entry);
        const STATUS st = m_chunks->writeObject(entry, stored.get());
        if (st != STATUS_OK)
            return st;
        return commit();
    });
}

STATUS CCookieImpl::setString(const char* section, const char* key, const char* value) {
    CHAIniStrEntry entry(section, key, value);
    return set("CCookieImpl::setString", entry);
}

STATUS CCookieImpl::setInt(const char* section, const char* key, std::int32_t value) {
    CHAIniIntEntry entry(section, key, value);
    return set("CCookieImpl::setInt", entry);
}

STATUS CCookieImpl::setBinary(const char* section, const char* key, const std::uint8_t* data,
                              std::uint32_t length) {
    if (data == nullptr && length != 0)
        return STATUS_WRONG_PARAMETERS;
    CHAIniBinEntry entry(section, key, data, length);
    return set("CCookieImpl::setBinary", entry);
}

// ---- get ----

namespace {

// The stored entry of the search's names and kind, or the reason why none
// is given: a drive that does not answer is not a missing cookie.
template <class Entry>
STATUS findEntry(CHAChunkMgr& chunks, CHAPageMgr& pages, const Entry& search,
                 std::unique_ptr<Entry>& out) {
    auto found = chunks.find(search);
    if (!found)
        return pages.answering() != STATUS_OK ? STATUS_COMMUNICATION_FAILURE
                                              : STATUS_DATA_NOT_FOUND;
    out.reset(static_cast<Entry*>(found.release()));
    return STATUS_OK;
}

}  // namespace

STATUS CCookieImpl::getInt(const char* section, const char* key, std::int32_t& value) {
    return run("CCookieImpl::getInt", [&]() -> STATUS {
        std::unique_ptr<CHAIniIntEntry> entry;
        const STATUS st = findEntry(*m_chunks, *m_pages, CHAIniIntEntry(section, key), entry);
        if (st == STATUS_OK)
            value = entry->intValue();
        return st;
    });
}

STATUS CCookieImpl::getString(const char* section, const char* key, char* buffer,
                              std::uint32_t& size) {
    return run("CCookieImpl::getString", [&]() -> STATUS {
        std::unique_ptr<CHAIniStrEntry> entry;
        const STATUS st = findEntry(*m_chunks, *m_pages, CHAIniStrEntry(section, key), entry);
        if (st != STATUS_OK)
            return st;
        const std::string text = entry->stringValue();
        const auto needed = static_cast<std::uint32_t>(text.size() + 1);
        if (buffer == nullptr || size < needed) {
            size = needed;
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(buffer, text.c_str(), needed);
        size = needed;
        return STATUS_OK;
    });
}

STATUS CCookieImpl::getBinary(const char* section, const char* key, std::uint8_t* buffer,
                              std::uint32_t& size) {
    return run("CCookieImpl::getBinary", [&]() -> STATUS {
        std::unique_ptr<CHAIniBinEntry> entry;
        const STATUS st = findEntry(*m_chunks, *m_pages, CHAIniBinEntry(section, key), entry);
        if (st != STATUS_OK)
            return st;
        const std::uint32_t needed = entry->binaryLength();
        const std::uint32_t room = size;
        size = needed;
        if (needed > room || (buffer == nullptr && needed != 0))
            return STATUS_BUFFER_TOO_SMALL;
        if (needed != 0)
            std::memcpy(buffer, entry->binaryData(), needed);
        return STATUS_OK;
    });
}

// ---- remove ----

STATUS CCookieImpl::remove(const char* where, const char* section, const char* key) {
    return run(where, [&]() -> STATUS {
        const CHAIniEntry search(section, key);
        bool any = false;
        while (auto found = m_chunks->find(search)) {
            const STATUS st = m_chunks->free(*found);
            if (st != STATUS_OK)
                return st;
            any = true;
        }
        if (!any)
            return m_pages->answering() != STATUS_OK ? STATUS_COMMUNICATION_FAILURE
                                                     : STATUS_DATA_NOT_FOUND;
        return commit();
    });
}

STATUS CCookieImpl::removeCookie(const char* section, const char* key) {
    return remove("CCookieImpl::removeCookie", section, key);
}

STATUS CCookieImpl::removeSection(const char* section) {
    return remove("CCookieImpl::removeSection", section, nullptr);
}

// ---- free space, format ----

STATUS CCookieImpl::freeSpace(std::uint64_t& bytes) {
    std::uint64_t sum = 0;
    bool any = false;
    m_chunks->walk([&](const CHALocation&, std::uint32_t header) {
        if ((header >> CHAChunk::TYPE_SHIFT) == HA_CHUNKID_EMPTY) {
            sum += header & CHAChunk::SIZE_MASK;
            any = true;
        }
        return true;
    });
    if (!any)
        return STATUS_COMMUNICATION_FAILURE;
    bytes = sum;
    return STATUS_OK;
}

STATUS CCookieImpl::getFreeSpace(std::uint64_t& bytes) {
    return run("CCookieImpl::getFreeSpace", [&]() { return freeSpace(bytes); });
}

STATUS CCookieImpl::format(bool keepVersion) {
    NORK_LOG(LOG_DEBUG, "CCookieImpl::format --- enter");
    const STATUS st = guarded("CCookieImpl::format", [&]() -> STATUS {
        Frame frame(*this, false);
        if (frame.status() != STATUS_OK)
            return frame.status();
        return buildBlankHA(keepVersion ? m_pages->areaVersion() : 0, *m_pages);
    });
    NORK_LOG(LOG_DEBUG, "CCookieImpl::format --- exit, status %d", int(st));
    return st;
}

// ---- dumps ----

STATUS CCookieImpl::dump(const char16_t* path, bool withBinary) {
    if (!pathUsable(path))
        return STATUS_WRONG_PARAMETERS;
    std::ofstream file(port::utf::toUtf8(path), std::ios::binary | std::ios::trunc);
    if (!file)
        return STATUS_WRONG_PARAMETERS;
    return run("CCookieImpl::dump", [&]() -> STATUS {
        std::vector<CHALocation> cookies;
        m_chunks->walk([&](const CHALocation& at, std::uint32_t header) {
            if ((header >> CHAChunk::TYPE_SHIFT) == HA_CHUNKID_COOKIE)
                cookies.push_back(at);
            return true;
        });
        for (const CHALocation& at : cookies) {
            CHAIniEntry entry(nullptr, nullptr);
            entry.setLocation(at);
            if (entry.read(*m_pages) != STATUS_OK)
                continue;
            file << '[' << entry.section() << " (" << CHAIniEntry::kindName(entry.kind())
                 << ")]\r\n"
                 << entry.keyName() << " = ";
            const auto& value = entry.value();
            switch (entry.kind()) {
                case CHAIniEntry::KIND_INT:
                    file << static_cast<std::int32_t>(proto::getLE32(value.data())) << "\r\n";
                    break;
                case CHAIniEntry::KIND_STRING: {
                    const std::string text(reinterpret_cast<const char*>(value.data()));
                    if (text.size() >= DUMP_STRING_LIMIT)
                        file << "string larger then 4096 bytes\r\n";
                    else
                        file << text << "\r\n";
                    break;
                }
                case CHAIniEntry::KIND_BINARY:
                    if (withBinary) {
                        file.write(reinterpret_cast<const char*>(value.data() + 4),
                                   proto::getLE32(value.data()));
                        file << "\n";
                    } else {
                        file << "binary here - no dump\n";
                    }
                    break;
                default:
                    file << "\r\n";
                    break;
            }
        }
        std::uint64_t free = 0;
        if (freeSpace(free) == STATUS_OK)
            file << "Hidden area free space = " << free << " bytes.\r\n";
        file.flush();
        return m_pages->answering();
    });
}

STATUS CCookieImpl::dumpPages(std::basic_ostream<char16_t>& out, bool asText) {
    return run("CCookieImpl::dumpPages", [&]() -> STATUS {
        const std::uint16_t count = m_pages->pageCount();
        for (std::uint16_t number = 0; number < count; ++number) {
            CHAPage* page = number == 0 ? m_pages->getPage(0, CHAUtils::MODE_INDEX)
                                        : m_pages->getDataPage(number);
            if (page == nullptr)
                continue;
            const std::uint8_t* data = page->dataAt(0);
            if (asText) {
                std::string text = printed("page: %d             ", int(number));
                for (std::uint32_t i = 0; i < HA_DATA_AREA_SIZE; ++i) {
                    text += printed(" 0x%02X", unsigned(data[i]));
                    if (i % 16 == 11)
                        text += "\r\n";
                }
                const std::u16string wide = port::utf::toUtf16(text);
                out.write(wide.data(), static_cast<std::streamsize>(wide.size()));
            } else {
                const std::u16string raw(data, data + HA_DATA_AREA_SIZE);
                out.write(raw.data(), static_cast<std::streamsize>(raw.size()));
            }
        }
        out.flush();
        return m_pages->answering();
    });
}

STATUS CCookieImpl::dumpPagesToFile(const char16_t* path, bool asText) {
    if (!pathUsable(path))
        return STATUS_WRONG_PARAMETERS;
    std::ofstream file(port::utf::toUtf8(path), std::ios::binary | std::ios::trunc);
    if (!file)
        return STATUS_WRONG_PARAMETERS;
    CUtf8WideStream wide(file);
    return dumpPages(wide, asText);
}

}  // namespace nork
