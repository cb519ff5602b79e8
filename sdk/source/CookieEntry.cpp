#include "CookieEntry.h"

#include <cstring>

#include "qz/DriveProtocol.h"

namespace nork {

namespace {

std::string nameOf(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

}  // namespace

CHAIniEntry::CHAIniEntry(std::uint8_t kind, const char* section, const char* key)
    : CHAActiveChunk(HA_CHUNKID_COOKIE, HEADER_SIZE),
      m_kind(kind),
      m_section(nameOf(section)),
      m_key(nameOf(key)) {}

std::unique_ptr<CHAChunk> CHAIniEntry::clone() const {
    return std::make_unique<CHAIniEntry>(*this);
}

std::uint32_t CHAIniEntry::neededSize() const {
    const std::size_t n =
        HEADER_SIZE + 1 + m_section.size() + 1 + m_key.size() + 1 + m_value.size();
    return n > MAX_SIZE ? MAX_SIZE : static_cast<std::uint32_t>(n);
}

bool CHAIniEntry::matches(const CHAChunk& other) const {
    const auto* searched = dynamic_cast<const CHAIniEntry*>(&other);
    if (searched == nullptr || type() != HA_CHUNKID_COOKIE || other.type() != HA_CHUNKID_COOKIE)
        return false;
    const bool anyKind = m_kind == KIND_ANY || searched->m_kind == KIND_ANY;
    if (anyKind && (m_section.empty() || searched->m_section.empty()))
        return true;
    if (anyKind && (m_key.empty() || searched->m_key.empty()))
        return m_section == searched->m_section;
    return m_key == searched->m_key && m_section == searched->m_section &&
           (anyKind || m_kind == searched->m_kind);
}

const char* CHAIniEntry::kindName(std::uint8_t kind) {
    static const char* const names[] = {"undef", "int", "string", "binary"};
    return kind < 4 ? names[kind] : "?";
}

void CHAIniEntry::storeBody(std::uint8_t* body, std::uint32_t length) const {
    // The chunk is sized by neededSize; a shorter one gets what fits.
    std::vector<std::uint8_t> out;
    out.reserve(length);
    out.push_back(m_kind);
    out.insert(out.end(), m_section.begin(), m_section.end());
    out.push_back(0);
    out.insert(out.end(), m_key.begin(), m_key.end());
    out.push_back(0);
    out.insert(out.end(), m_value.begin(), m_value.end());
    const std::size_t n = out.size() < length ? out.size() : length;
    std::memcpy(body, out.data(), n);
    if (n < length)
        std::memset(body + n, 0, length - n);
}

bool CHAIniEntry::loadBody(const std::uint8_t* body, std::uint32_t length) {
    if (length < 3 || body[0] > KIND_BINARY)
        return false;
    const auto* end = body + length;
    const auto* section = body + 1;
    const auto* sectionEnd =
        static_cast<const std::uint8_t*>(std::memchr(section, 0, end - section));
    if (sectionEnd == nullptr)
        return false;
    const auto* key = sectionEnd + 1;
    const auto* keyEnd = static_cast<const std::uint8_t*>(std::memchr(key, 0, end - key));
    if (keyEnd == nullptr)
        return false;
    const auto* value = keyEnd + 1;
    const std::size_t valueSize = static_cast<std::size_t>(end - value);
    switch (body[0]) {
        case KIND_INT:
            if (valueSize < 4)
                return false;
            break;
        case KIND_STRING:
            if (valueSize < 1 || std::memchr(value, 0, valueSize) == nullptr)
                return false;
            break;
        case KIND_BINARY:
            if (valueSize < 4 || proto::getLE32(value) > valueSize - 4)
                return false;
            break;
        default:
            break;
    }
    m_kind = body[0];
    m_section.assign(reinterpret_cast<const char*>(section), sectionEnd - section);
    m_key.assign(reinterpret_cast<const char*>(key), keyEnd - key);
    m_value.assign(value, end);
    return true;
}

// ---- kinds ----

CHAIniIntEntry::CHAIniIntEntry(const char* section, const char* key, std::int32_t value)
    : CHAIniEntry(KIND_INT, section, key) {
    std::vector<std::uint8_t> bytes(4);
    proto::putLE32(bytes.data(), static_cast<std::uint32_t>(value));
    setValue(std::move(bytes));
}

std::unique_ptr<CHAChunk> CHAIniIntEntry::clone() const {
    return std::make_unique<CHAIniIntEntry>(*this);
}

std::int32_t CHAIniIntEntry::intValue() const {
    return value().size() >= 4 ? static_cast<std::int32_t>(proto::getLE32(value().data())) : 0;
}

CHAIniStrEntry::CHAIniStrEntry(const char* section, const char* key, const char* value)
    : CHAIniEntry(KIND_STRING, section, key) {
    std::vector<std::uint8_t> bytes;
    if (value != nullptr)
        bytes.assign(value, value + std::strlen(value));
    bytes.push_back(0);
    setValue(std::move(bytes));
}

std::unique_ptr<CHAChunk> CHAIniStrEntry::clone() const {
    return std::make_unique<CHAIniStrEntry>(*this);
}

std::string CHAIniStrEntry::stringValue() const {
    const auto& v = value();
    std::size_t n = 0;
    while (n < v.size() && v[n] != 0)
        ++n;
    return std::string(reinterpret_cast<const char*>(v.data()), n);
}

CHAIniBinEntry::CHAIniBinEntry(const char* section, const char* key, const std::uint8_t* data,
                               std::uint32_t length)
    : CHAIniEntry(KIND_BINARY, section, key) {
    if (data == nullptr)
        length = 0;
    std::vector<std::uint8_t> bytes(4 + static_cast<std::size_t>(length));
    proto::putLE32(bytes.data(), length);
    if (length != 0)
        std::memcpy(bytes.data() + 4, data, length);
    setValue(std::move(bytes));
}

std::unique_ptr<CHAChunk> CHAIniBinEntry::clone() const {
    return std::make_unique<CHAIniBinEntry>(*this);
}

std::uint32_t CHAIniBinEntry::binaryLength() const {
    return value().size() >= 4 ? proto::getLE32(value().data()) : 0;
}

const std::uint8_t* CHAIniBinEntry::binaryData() const {
    return value().size() >= 4 ? value().data() + 4 : nullptr;
}

}  // namespace nork
