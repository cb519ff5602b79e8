#include "HAChunk.h"

#include <algorithm>
#include <cstring>

#include "Log.h"
#include "qz/DriveProtocol.h"

namespace nork {

CHAChunk::CHAChunk(std::uint32_t type, std::uint32_t size) : m_header(makeHeader(type, size)) {}

void CHAChunk::setType(std::uint32_t type) {
    m_header = makeHeader(type, size());
}

void CHAChunk::setSize(std::uint32_t size) {
    m_header = makeHeader(type(), size);
}

std::uint8_t* CHAChunk::data() {
    return m_bytes.size() > HEADER_SIZE ? m_bytes.data() + HEADER_SIZE : nullptr;
}

void CHAChunk::takeLocation(const CHAChunk& other) {
    m_location = other.location();
    setSize(other.size());
}

std::unique_ptr<CHAChunk> CHAChunk::clone() const {
    return std::make_unique<CHAChunk>(*this);
}

STATUS CHAChunk::write(CHAPageMgr& pages, bool commit) {
    if (size() < HEADER_SIZE)
        return STATUS_ERROR;
    m_bytes.resize(size(), 0);
    proto::putLE32(m_bytes.data(), m_header);
    storeBody(m_bytes.data() + HEADER_SIZE, size() - HEADER_SIZE);
    if (!commit)
        return STATUS_OK;
    // The whole chunk must lie inside the stream before anything is written.
    CHALocation end = m_location;
    if (!pages.advance(end, size()))
        return STATUS_ERROR;
    return pages.writeStream(m_location, m_bytes.data(), size()) ? STATUS_OK : STATUS_ERROR;
}

STATUS CHAChunk::read(CHAPageMgr& pages) {
    std::uint8_t head[HEADER_SIZE];
    if (!pages.readStream(m_location, head, HEADER_SIZE))
        return STATUS_COMMUNICATION_FAILURE;
    const std::uint32_t header = proto::getLE32(head);
    const std::uint32_t length = header & SIZE_MASK;
    CHALocation end = m_location;
    if (length < HEADER_SIZE || !pages.advance(end, length))
        return STATUS_ERROR;
    m_bytes.assign(length, 0);
    if (!pages.readStream(m_location, m_bytes.data(), length))
        return STATUS_COMMUNICATION_FAILURE;
    m_header = header;
    return loadBody(m_bytes.data() + HEADER_SIZE, length - HEADER_SIZE) ? STATUS_OK : STATUS_ERROR;
}

// ---- CHAEmptyChunk ----

STATUS CHAEmptyChunk::write(CHAPageMgr& pages, bool) {
    setType(HA_CHUNKID_EMPTY);
    if (size() < HEADER_SIZE)
        return STATUS_ERROR;
    CHALocation end = location();
    if (!pages.advance(end, size()))
        return STATUS_ERROR;
    std::uint8_t head[HEADER_SIZE];
    proto::putLE32(head, header());
    return pages.writeStream(location(), head, HEADER_SIZE) ? STATUS_OK : STATUS_ERROR;
}

STATUS CHAEmptyChunk::read(CHAPageMgr& pages) {
    std::uint8_t head[HEADER_SIZE];
    if (!pages.readStream(location(), head, HEADER_SIZE))
        return STATUS_COMMUNICATION_FAILURE;
    const std::uint32_t header = proto::getLE32(head);
    CHALocation end = location();
    if ((header & SIZE_MASK) < HEADER_SIZE || !pages.advance(end, header & SIZE_MASK))
        return STATUS_ERROR;
    setType(header >> TYPE_SHIFT);
    setSize(header & SIZE_MASK);
    return STATUS_OK;
}

std::unique_ptr<CHAChunk> CHAEmptyChunk::clone() const {
    return std::make_unique<CHAEmptyChunk>(*this);
}

bool CHAEmptyChunk::matches(const CHAChunk& other) const {
    if (!sameType(other))
        return false;
    const std::uint64_t needed = other.neededSize();
    return needed == size() || needed + HEADER_SIZE <= size();
}

// ---- CHAActiveChunk ----

STATUS CHAActiveChunk::writeToPage(CHAPageMgr& pages, std::uint16_t page, bool flush) {
    const std::uint32_t needed = neededSize();
    if (needed < HEADER_SIZE || needed > HA_DATA_AREA_SIZE)
        return STATUS_WRONG_PARAMETERS;
    CHAPage* target = pages.getDataPage(page);
    if (target == nullptr)
        return STATUS_COMMUNICATION_FAILURE;
    std::vector<std::uint8_t> form(needed, 0);
    proto::putLE32(form.data(), makeHeader(type(), needed));
    storeBody(form.data() + HEADER_SIZE, needed - HEADER_SIZE);
    const STATUS status = target->writeData(form.data(), needed, pages.dataPageMode());
    pages.markDirty(page);
    if (status != STATUS_OK || !flush)
        return status;
    return pages.flush();
}

STATUS CHAActiveChunk::readFromPage(CHAPageMgr& pages, std::uint16_t page) {
    CHAPage* source = pages.getDataPage(page);
    if (source == nullptr)
        return STATUS_COMMUNICATION_FAILURE;
    const std::uint8_t* data = source->dataAt(0);
    const std::uint32_t header = proto::getLE32(data);
    const std::uint32_t length = header & SIZE_MASK;
    if (length < HEADER_SIZE || length > HA_DATA_AREA_SIZE)
        return STATUS_ERROR;
    mutableBytes().assign(data, data + length);
    setType(header >> TYPE_SHIFT);
    setSize(length);
    return loadBody(data + HEADER_SIZE, length - HEADER_SIZE) ? STATUS_OK : STATUS_ERROR;
}

}  // namespace nork
