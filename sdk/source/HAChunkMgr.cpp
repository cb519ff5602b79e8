#include "HAChunkMgr.h"

#include <algorithm>

#include "Log.h"
#include "qz/DriveProtocol.h"

namespace nork {

namespace {

bool fits(std::uint32_t size, std::uint32_t needed) {
    return size == needed || std::uint64_t(needed) + CHAChunk::HEADER_SIZE <= size;
}

}  // namespace

void CHAChunkMgr::list(const CHALocation& at, std::uint32_t size) {
    // A chunk passed by two scans of one operation is listed once: two
    // entries for it would let two objects be placed on the same bytes.
    for (CHAFreeEntry& e : m_free) {
        if (e.location == at) {
            e.size = size;
            return;
        }
    }
    m_free.push_back(CHAFreeEntry{at, size});
}

void CHAChunkMgr::unlist(const CHALocation& at) {
    m_free.erase(std::remove_if(m_free.begin(), m_free.end(),
                                [&](const CHAFreeEntry& e) { return e.location == at; }),
                 m_free.end());
}

bool CHAChunkMgr::walk(const std::function<bool(const CHALocation&, std::uint32_t)>& visit) {
    CHALocation at = m_pages.streamStart();
    const std::uint16_t count = m_pages.pageCount();
    while (at.page < count) {
        std::uint8_t head[CHAChunk::HEADER_SIZE];
        if (!m_pages.readStream(at, head, sizeof head))
            return false;
        const std::uint32_t header = proto::getLE32(head);
        const std::uint32_t size = header & CHAChunk::SIZE_MASK;
        CHALocation next = at;
        // A size that cannot be a chunk, or one running past the stream, ends
        // the walk: what follows cannot be trusted.
        if (size < CHAChunk::HEADER_SIZE || !m_pages.advance(next, size))
            return false;
        if (!visit(at, header))
            return false;
        at = next;
    }
    return true;
}

std::unique_ptr<CHAChunk> CHAChunkMgr::find(const CHAChunk& searched) {
    std::unique_ptr<CHAChunk> found;
    walk([&](const CHALocation& at, std::uint32_t header) {
        const std::uint32_t type = header >> CHAChunk::TYPE_SHIFT;
        if (type == searched.type()) {
            auto candidate = searched.clone();
            candidate->setLocation(at);
            if (candidate->read(m_pages) == STATUS_OK && candidate->matches(searched)) {
                found = std::move(candidate);
                return false;
            }
        }
        if (type == HA_CHUNKID_EMPTY)
            list(at, header & CHAChunk::SIZE_MASK);
        return true;
    });
    return found;
}

STATUS CHAChunkMgr::allocate(CHAChunk& object) {
    const std::uint32_t needed = object.neededSize();
    if (needed < CHAChunk::HEADER_SIZE || needed > CHAChunk::MAX_SIZE)
        return STATUS_WRONG_PARAMETERS;
    for (auto it = m_free.begin(); it != m_free.end(); ++it) {
        if (fits(it->size, needed)) {
            object.setLocation(it->location);
            object.setSize(it->size);
            m_free.erase(it);
            return STATUS_OK;
        }
    }
    CHAEmptyChunk request(needed);
    if (auto chunk = find(request)) {
        unlist(chunk->location());
        object.setLocation(chunk->location());
        object.setSize(chunk->size());
        return STATUS_OK;
    }
    if (m_pages.probe() != STATUS_OK)
        return STATUS_COMMUNICATION_FAILURE;
    NORK_LOG(LOG_INFO, "CHAChunkMgr::allocate - no room for %d bytes", int(needed));
    return STATUS_HIDDEN_AREA_FULL;
}

STATUS CHAChunkMgr::place(CHAChunk& object) {
    const std::uint32_t needed = object.neededSize();
    const std::uint32_t room = object.size();
    if (room == needed)
        return object.write(m_pages, true);
    if (std::uint64_t(needed) + CHAChunk::HEADER_SIZE > room)
        return STATUS_ERROR;
    CHAEmptyChunk rest(room - needed);
    CHALocation after = object.location();
    if (!m_pages.advance(after, needed))
        return STATUS_ERROR;
    rest.setLocation(after);
    object.setSize(needed);
    // The rest's header goes to the drive first when it starts on the page
    // of the object's header: a power cut tearing that page between the two
    // headers would otherwise leave the object's new size pointing at old
    // bytes, and every chunk behind them unreachable. Nothing points at the
    // rest's header until the object's header is written.
    if (after.page == object.location().page) {
        STATUS status = rest.write(m_pages, true);
        if (status == STATUS_OK)
            status = m_pages.flush();
        if (status != STATUS_OK)
            return status;
        return object.write(m_pages, true);
    }
    const STATUS status = object.write(m_pages, true);
    if (status != STATUS_OK)
        return status;
    return rest.write(m_pages, true);
}

STATUS CHAChunkMgr::writeObject(CHAChunk& object, const CHAChunk* existing) {
    const std::uint32_t needed = object.neededSize();
    if (needed < CHAChunk::HEADER_SIZE || needed > CHAChunk::MAX_SIZE)
        return STATUS_WRONG_PARAMETERS;
    if (existing != nullptr && fits(existing->size(), needed)) {
        object.takeLocation(*existing);
        return place(object);
    }
    STATUS status = allocate(object);
    if (status != STATUS_OK)
        return status;
    status = place(object);
    if (status != STATUS_OK || existing == nullptr)
        return status;
    // The new copy reaches the drive before the old place is freed: a cut
    // in between leaves the record twice (a lookup finds the first), never
    // not at all.
    status = m_pages.flush();
    if (status != STATUS_OK)
        return status;
    return free(*existing);
}

STATUS CHAChunkMgr::free(const CHAChunk& chunk) {
    CHAEmptyChunk freed(chunk.size());
    freed.setLocation(chunk.location());
    return freed.write(m_pages, true);
}

bool CHAChunkMgr::stillFree(const CHAFreeEntry& entry) {
    std::uint8_t head[CHAChunk::HEADER_SIZE];
    if (!m_pages.readStream(entry.location, head, sizeof head))
        return false;
    return proto::getLE32(head) == CHAChunk::makeHeader(HA_CHUNKID_EMPTY, entry.size);
}

STATUS CHAChunkMgr::defragment() {
    if (m_free.size() < 2)
        return STATUS_OK;
    // Neighbours in the stream merge whatever order the scans listed them
    // in; a merge that would not fit the 28-bit size is left undone.
    std::sort(m_free.begin(), m_free.end(),
              [](const CHAFreeEntry& a, const CHAFreeEntry& b) { return a.location < b.location; });
    std::vector<CHAFreeEntry> merged;
    STATUS status = STATUS_OK;
    for (const CHAFreeEntry& entry : m_free) {
        if (!merged.empty()) {
            CHAFreeEntry& earlier = merged.back();
            CHALocation end = earlier.location;
            if (m_pages.advance(end, earlier.size) && end == entry.location &&
                std::uint64_t(earlier.size) + entry.size <= CHAChunk::MAX_SIZE &&
                stillFree(earlier) && stillFree(entry)) {
                NORK_LOG(LOG_DEBUG,
                         "defrag chunk range (%d:%d-%d:%d) size %d, with (%d:%d) size %d\n",
                         int(earlier.location.page), int(earlier.location.offset), int(end.page),
                         int(end.offset), int(earlier.size), int(entry.location.page),
                         int(entry.location.offset), int(entry.size));
                earlier.size += entry.size;
                CHAEmptyChunk grown(earlier.size);
                grown.setLocation(earlier.location);
                const STATUS written = grown.write(m_pages, true);
                if (written != STATUS_OK)
                    status = written;
                continue;
            }
        }
        merged.push_back(entry);
    }
    m_free = std::move(merged);
    return status;
}

STATUS CHAChunkMgr::commit() {
    defragment();
    return m_pages.flush();
}

// ---- dedicated pages ----

STATUS CHAChunkMgr::writeDedicated(CHAActiveChunk& object) {
    CHAIndex& index = m_pages.index();
    const std::uint32_t key = object.key();
    if (key == 0)
        return STATUS_WRONG_PARAMETERS;
    if (std::uint16_t page = index.pageOf(key))
        return object.writeToPage(m_pages, page, true);
    if (std::uint16_t page = index.pageOf(0)) {
        index.set(page, key);
        const STATUS status = object.writeToPage(m_pages, page, false);
        return status != STATUS_OK ? status : m_pages.flush();
    }
    if (index.entryCount() > 15)
        return STATUS_HIDDEN_AREA_FULL;

    // A free chunk that can give up one whole page: one starting a page, or
    // one whose rest after its first page's part covers the next page. What
    // is left before and after must be 0 or at least a header's size.
    constexpr std::uint32_t PAGE = HA_DATA_AREA_SIZE;
    bool chosen = false;
    CHALocation prefixAt;
    std::uint32_t prefix = 0;
    std::uint16_t target = 0;
    std::uint32_t size = 0;
    walk([&](const CHALocation& at, std::uint32_t header) {
        if ((header >> CHAChunk::TYPE_SHIFT) != HA_CHUNKID_EMPTY)
            return true;
        size = header & CHAChunk::SIZE_MASK;
        const std::uint32_t before = PAGE - at.offset;
        const std::uint32_t postfix = (size - before) % PAGE;
        NORK_LOG(LOG_DEBUG, "prefix %d postfix %d size %d", int(before), int(postfix), int(size));
        const bool postfixOk = postfix == 0 || postfix > 3;
        if (at.offset == 0 && size >= PAGE && postfixOk) {
            target = at.page;
            prefix = 0;
        } else if (size > PAGE && std::uint64_t(size) + at.offset >= 2ull * PAGE && before > 3 &&
                   postfixOk) {
            target = m_pages.nextStreamPage(at.page);
            prefix = before;
        } else {
            return true;
        }
        prefixAt = at;
        chosen = true;
        return false;
    });
    if (!chosen)
        return STATUS_HIDDEN_AREA_FULL;

    // First split the free chunk around the page (all pieces free), so an
    // interruption leaves a consistent stream; then take the page out.
    const std::uint32_t rest = size - prefix - PAGE;
    STATUS status = STATUS_OK;
    if (prefix > 0) {
        CHAEmptyChunk head(prefix);
        head.setLocation(prefixAt);
        status = head.write(m_pages, true);
    }
    CHAEmptyChunk page(PAGE);
    page.setLocation(CHALocation{target, 0});
    if (status == STATUS_OK)
        status = page.write(m_pages, true);
    if (status == STATUS_OK && rest > 0) {
        CHAEmptyChunk tail(rest);
        tail.setLocation(CHALocation{m_pages.nextStreamPage(target), 0});
        status = tail.write(m_pages, true);
    }
    if (status == STATUS_OK)
        status = m_pages.flush();
    if (status != STATUS_OK)
        return status;
    unlist(prefixAt);
    index.set(target, key);
    status = object.writeToPage(m_pages, target, false);
    return status != STATUS_OK ? status : m_pages.flush();
}

STATUS CHAChunkMgr::readDedicated(CHAActiveChunk& object) {
    const std::uint16_t page = m_pages.index().pageOf(object.key());
    if (object.key() == 0 || page == 0)
        return STATUS_DATA_NOT_FOUND;
    return object.readFromPage(m_pages, page);
}

STATUS CHAChunkMgr::releaseDedicated(std::uint32_t key) {
    if (key == 0 || m_pages.index().pageOf(key) == 0)
        return STATUS_DATA_NOT_FOUND;
    m_pages.index().set(0, key);
    return m_pages.flush();
}

}  // namespace nork
