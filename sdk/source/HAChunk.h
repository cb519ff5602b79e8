// Chunks: the records of the hidden-area chunk stream (HAPageMgr.h). A
// chunk is a 32-bit header (type in bits 28-31, size in bytes with the
// header in bits 0-27) followed by its body; it may run across page
// boundaries. A chunk object holds the header, its place in the stream and
// a copy of its bytes.
//
// Stored objects (the cookie entries) derive from CHAActiveChunk and give
// their body's layout through storeBody/loadBody and their size through
// neededSize; matching decides what a search finds.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "HAPageMgr.h"
#include "Status.h"

namespace nork {

inline constexpr std::uint32_t HA_CHUNKID_EMPTY = 1;   // a free chunk
inline constexpr std::uint32_t HA_CHUNKID_COOKIE = 2;  // a cookie entry

class CHAChunk {
  public:
    static constexpr std::uint32_t HEADER_SIZE = 4;
    static constexpr std::uint32_t TYPE_SHIFT = 28;
    static constexpr std::uint32_t SIZE_MASK = 0x0FFFFFFF;
    static constexpr std::uint32_t MAX_SIZE = SIZE_MASK;

    explicit CHAChunk(std::uint32_t type = 0, std::uint32_t size = HEADER_SIZE);
    virtual ~CHAChunk() = default;
    CHAChunk(const CHAChunk&) = default;
    CHAChunk& operator=(const CHAChunk&) = default;

    // Puts the header (and a stored object's body) into the chunk's bytes;
    // with commit, also into the page images, marking the pages dirty for
    // the next flush. STATUS_ERROR when the chunk does not fit where it is.
    virtual STATUS write(CHAPageMgr& pages, bool commit);
    // Loads header and body from the chunk's place. STATUS_ERROR for a
    // header that is no chunk (size below 4), a chunk running past the end
    // of the stream or a body the object does not accept;
    // STATUS_COMMUNICATION_FAILURE when a page cannot be read.
    virtual STATUS read(CHAPageMgr& pages);
    virtual std::unique_ptr<CHAChunk> clone() const;
    // Bytes the object needs, header included (4 for a bare chunk).
    virtual std::uint32_t neededSize() const { return HEADER_SIZE; }
    // The body in the chunk's bytes (after the header); null before any
    // read or write.
    virtual std::uint8_t* data();
    virtual bool sameType(const CHAChunk& other) const { return type() == other.type(); }
    // Whether a search for `other` is satisfied by this (stored) chunk.
    virtual bool matches(const CHAChunk& other) const { return sameType(other); }
    virtual bool differs(const CHAChunk& other) const { return !matches(other); }
    // Takes the place and the size of another chunk.
    virtual void takeLocation(const CHAChunk& other);

    std::uint32_t header() const { return m_header; }
    std::uint32_t type() const { return m_header >> TYPE_SHIFT; }
    std::uint32_t size() const { return m_header & SIZE_MASK; }
    void setType(std::uint32_t type);
    void setSize(std::uint32_t size);
    const CHALocation& location() const { return m_location; }
    void setLocation(const CHALocation& location) { m_location = location; }
    // The chunk's bytes as last read or written.
    const std::vector<std::uint8_t>& bytes() const { return m_bytes; }

    static std::uint32_t makeHeader(std::uint32_t type, std::uint32_t size) {
        return (type << TYPE_SHIFT) | (size & SIZE_MASK);
    }

  protected:
    // A stored object's body: `length` (= size() - 4) bytes to fill, and to
    // parse (false: not an object of this kind). The bare chunk keeps the
    // body bytes it read.
    virtual void storeBody(std::uint8_t* body, std::uint32_t length) const {}
    virtual bool loadBody(const std::uint8_t* body, std::uint32_t length) { return true; }
    std::vector<std::uint8_t>& mutableBytes() { return m_bytes; }

  private:
    std::uint32_t m_header;
    CHALocation m_location;
    std::vector<std::uint8_t> m_bytes;
};

// A free chunk. Its write forces type 1 and puts only its header on the
// pages (always committed); its body is whatever the bytes were. It needs
// its own size, and matches a request whose needed size is its size, or at
// most its size - 4 (room for the free rest after a split).
class CHAEmptyChunk : public CHAChunk {
  public:
    explicit CHAEmptyChunk(std::uint32_t size = HEADER_SIZE) : CHAChunk(HA_CHUNKID_EMPTY, size) {}

    STATUS write(CHAPageMgr& pages, bool commit) override;
    // Reads the header only.
    STATUS read(CHAPageMgr& pages) override;
    std::unique_ptr<CHAChunk> clone() const override;
    std::uint32_t neededSize() const override { return size(); }
    bool matches(const CHAChunk& other) const override;
};

// Base of stored objects (cookie entries, keyed page objects).
class CHAActiveChunk : public CHAChunk {
  public:
    using CHAChunk::CHAChunk;

    // A keyed object that fills a dedicated page: its stored form (at most
    // 508 bytes, from storeBody with the header in front) in the page's data
    // area, with the data-page mode. flush writes the page at once.
    virtual STATUS writeToPage(CHAPageMgr& pages, std::uint16_t page, bool flush);
    virtual STATUS readFromPage(CHAPageMgr& pages, std::uint16_t page);
    // The object's key for a dedicated page (0: none).
    virtual std::uint32_t key() const { return 0; }
};

}  // namespace nork
