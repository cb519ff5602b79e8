// Test support for the hidden-area page store: an access object that keeps
// the pages in memory, a record type to store, and a consistency checker of
// an area's pages that any test can run on what a store left behind.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "HAChunk.h"
#include "HAPage.h"
#include "HAUtils.h"
#include "qz/DriveProtocol.h"

namespace nork::test {

// One page image per heap block, so a transfer that strays outside a page is
// caught by the address sanitizer.
using HAPages = std::vector<std::vector<std::uint8_t>>;

inline HAPages blankPages(std::size_t count) {
    return HAPages(count, std::vector<std::uint8_t>(HA_PAGE_SIZE, 0));
}

// The pages of an area image file (an emulated drive's hidden.img); a short
// last page is left out.
inline HAPages readHAImage(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    HAPages pages;
    std::vector<std::uint8_t> page(HA_PAGE_SIZE);
    while (file.read(reinterpret_cast<char*>(page.data()), HA_PAGE_SIZE))
        pages.push_back(page);
    return pages;
}

// A drive's hidden area in memory behind the access-object interface of the
// current line (data-page mode 0, passwords on request).
class CHAMemoryUtils : public CHAUtils {
  public:
    struct Transfer {
        char kind;  // 'w' write, 'W' protected write, 'r' read, 'R' protected read
        std::uint16_t page;
        std::uint32_t mode;
    };

    CHAMemoryUtils(HAPages& pages, int version, std::uint16_t count = 0)
        : CHAUtils(Family::Qz),
          m_pages(pages),
          m_version(version),
          m_count(count ? count : static_cast<std::uint16_t>(pages.size())) {}

    std::uint32_t dataPageMode() const override { return MODE_QZ_DATA; }
    bool writePage(CDeviceHandle&, const std::uint8_t* page, std::uint16_t number) override {
        return store('w', page, number);
    }
    bool readPage(CDeviceHandle&, std::uint8_t* buffer, std::uint32_t mode,
                  std::uint16_t number) override {
        return load('r', buffer, mode, number);
    }
    bool writeProtectedPage(CDeviceHandle&, const std::uint8_t* page,
                            std::uint16_t number) override {
        return store('W', page, number);
    }
    bool readProtectedPage(CDeviceHandle&, std::uint8_t* buffer, std::uint32_t mode,
                           std::uint16_t number) override {
        return load('R', buffer, mode, number);
    }
    bool hasPagePasswords() const override { return passwords; }
    bool setWritePassword(CDeviceHandle&, std::uint16_t page) override {
        passwordsSet.insert({page, 'w'});
        return !failPasswords;
    }
    bool setReadPassword(CDeviceHandle&, std::uint16_t page) override {
        passwordsSet.insert({page, 'r'});
        return !failPasswords;
    }

    // Every transfer, in order; transfers to pages beyond the area are
    // refused and counted.
    std::vector<Transfer> transfers;
    std::size_t outOfRange = 0;
    // Failure injection: these pages fail every write / read of the kind.
    std::set<std::uint16_t> failWrites;
    std::set<std::pair<std::uint16_t, char>> failReads;  // (page, 'r' or 'R')
    bool passwords = false;
    bool failPasswords = false;
    std::set<std::pair<std::uint16_t, char>> passwordsSet;

    std::size_t writesTo(std::uint16_t page) const {
        std::size_t n = 0;
        for (const Transfer& t : transfers)
            n += (t.kind == 'w' || t.kind == 'W') && t.page == page;
        return n;
    }

  protected:
    std::uint16_t queryPageCount() override { return m_count; }
    int queryAreaVersion() override { return m_version; }

  private:
    bool store(char kind, const std::uint8_t* page, std::uint16_t number) {
        transfers.push_back({kind, number, 0});
        if (page == nullptr || number >= m_pages.size()) {
            ++outOfRange;
            return false;
        }
        if (failWrites.count(number))
            return false;
        std::memcpy(m_pages[number].data(), page, HA_PAGE_SIZE);
        return true;
    }
    bool load(char kind, std::uint8_t* buffer, std::uint32_t mode, std::uint16_t number) {
        transfers.push_back({kind, number, mode});
        if (buffer == nullptr || number >= m_pages.size()) {
            ++outOfRange;
            return false;
        }
        if (failReads.count({number, kind}))
            return false;
        std::memcpy(buffer, m_pages[number].data(), HA_PAGE_SIZE);
        return true;
    }

    HAPages& m_pages;
    int m_version;
    std::uint16_t m_count;
};

// A stored record (chunk type 2): a name it is found by, and a payload.
// Body: u8 name length, the name, the payload.
class CHATestRecord : public CHAActiveChunk {
  public:
    CHATestRecord(std::string name = {}, std::vector<std::uint8_t> payload = {},
                  std::uint32_t key = 0)
        : CHAActiveChunk(HA_CHUNKID_COOKIE, HEADER_SIZE),
          m_name(std::move(name)),
          m_payload(std::move(payload)),
          m_key(key) {}

    // A record of `needed` bytes in all.
    static CHATestRecord sized(const std::string& name, std::uint32_t needed) {
        return CHATestRecord(name, std::vector<std::uint8_t>(needed - 5 - name.size(), 0x5A));
    }

    std::unique_ptr<CHAChunk> clone() const override {
        return std::make_unique<CHATestRecord>(*this);
    }
    std::uint32_t neededSize() const override {
        return static_cast<std::uint32_t>(HEADER_SIZE + 1 + m_name.size() + m_payload.size());
    }
    bool matches(const CHAChunk& other) const override {
        auto* record = dynamic_cast<const CHATestRecord*>(&other);
        return record && sameType(other) && record->m_name == m_name;
    }
    std::uint32_t key() const override { return m_key; }

    const std::string& name() const { return m_name; }
    const std::vector<std::uint8_t>& payload() const { return m_payload; }

  protected:
    void storeBody(std::uint8_t* body, std::uint32_t length) const override {
        if (length == 0)
            return;
        body[0] = static_cast<std::uint8_t>(m_name.size());
        std::memcpy(body + 1, m_name.data(), std::min<std::size_t>(m_name.size(), length - 1));
        if (length > 1 + m_name.size()) {
            std::memcpy(body + 1 + m_name.size(), m_payload.data(),
                        std::min<std::size_t>(m_payload.size(), length - 1 - m_name.size()));
        }
    }
    bool loadBody(const std::uint8_t* body, std::uint32_t length) override {
        if (length < 1 || body[0] > length - 1)
            return false;
        m_name.assign(reinterpret_cast<const char*>(body + 1), body[0]);
        m_payload.assign(body + 1 + body[0], body + length);
        return true;
    }

  private:
    std::string m_name;
    std::vector<std::uint8_t> m_payload;
    std::uint32_t m_key;
};

// One chunk of an area's stream as the checker saw it.
struct HAChunkSeen {
    std::uint16_t page;
    std::uint16_t offset;
    std::uint32_t type;
    std::uint32_t size;
};

struct HACheckResult {
    std::string error;  // empty: consistent
    int version = 0;
    std::vector<HAChunkSeen> chunks;
    std::set<std::uint16_t> dedicated;
    bool ok() const { return error.empty(); }
};

// Checks an area of version 2 or 3 as its pages stand: page 0 an index page
// (mode 3, magic, 0, version 2 or 3, at most 16 entries naming distinct
// pages 1..count-1), every other page of the stream with data mode
// `dataMode`, every chunk header of type 1 or 2 with a size of at least 4,
// and the chunks tiling the stream exactly (the last one ends where the
// stream ends). Works on the raw images, independent of the store's code.
inline HACheckResult checkHAArea(const HAPages& pages, std::uint32_t dataMode = 0) {
    HACheckResult r;
    const std::size_t count = pages.size();
    auto fail = [&](const std::string& what) {
        r.error = what;
        return r;
    };
    if (count < 2)
        return fail("fewer than 2 pages");
    const std::uint8_t* index = pages[0].data();
    if (proto::getLE32(index) != 3)
        return fail("page 0 is not an index page");
    const std::uint8_t* data = index + HA_PAGE_HEADER_SIZE;
    if (std::memcmp(data, "AHA3", 4) != 0 || data[4] != 0)
        return fail("page 0 has no index magic");
    r.version = data[5];
    if (r.version != 2 && r.version != 3)
        return fail("index version " + std::to_string(r.version));
    const std::uint16_t entries = proto::getLE16(data + 6);
    if (entries > 16)
        return fail("index lists " + std::to_string(entries) + " entries");
    for (std::uint16_t i = 0; i < entries; ++i) {
        const std::uint16_t page = proto::getLE16(data + 8 + 10 * i);
        if (page == 0 || page >= count)
            return fail("index entry names page " + std::to_string(page));
        if (!r.dedicated.insert(page).second)
            return fail("index names page " + std::to_string(page) + " twice");
    }
    for (std::size_t i = 8 + 10u * entries; i < HA_DATA_AREA_SIZE; ++i) {
        if (data[i] != 0)
            return fail("index page not zero after its entries");
    }
    // The stream: the data areas of the pages the index does not name.
    std::vector<std::uint16_t> streamPages;
    for (std::size_t p = 1; p < count; ++p) {
        if (r.dedicated.count(static_cast<std::uint16_t>(p)))
            continue;
        if (proto::getLE32(pages[p].data()) != dataMode)
            return fail("stream page " + std::to_string(p) + " has another mode");
        streamPages.push_back(static_cast<std::uint16_t>(p));
    }
    const std::uint64_t length = std::uint64_t(streamPages.size()) * HA_DATA_AREA_SIZE;
    auto byteAt = [&](std::uint64_t pos) {
        return pages[streamPages[pos / HA_DATA_AREA_SIZE]]
                    [HA_PAGE_HEADER_SIZE + pos % HA_DATA_AREA_SIZE];
    };
    std::uint64_t pos = 0;
    while (pos < length) {
        if (length - pos < 4)
            return fail("stream ends inside a chunk header");
        const std::uint32_t header =
            std::uint32_t(byteAt(pos)) | std::uint32_t(byteAt(pos + 1)) << 8 |
            std::uint32_t(byteAt(pos + 2)) << 16 | std::uint32_t(byteAt(pos + 3)) << 24;
        HAChunkSeen seen{streamPages[pos / HA_DATA_AREA_SIZE],
                         static_cast<std::uint16_t>(pos % HA_DATA_AREA_SIZE), header >> 28,
                         header & 0x0FFFFFFF};
        if (seen.type != 1 && seen.type != 2) {
            return fail("chunk at " + std::to_string(seen.page) + ":" +
                        std::to_string(seen.offset) + " of type " + std::to_string(seen.type));
        }
        if (seen.size < 4 || seen.size > length - pos) {
            return fail("chunk at " + std::to_string(seen.page) + ":" +
                        std::to_string(seen.offset) + " of size " + std::to_string(seen.size));
        }
        r.chunks.push_back(seen);
        pos += seen.size;
    }
    return r;
}

// Free-list entries (place, size) must be free chunks of the stream, each
// listed once: no two entries may overlap.
inline std::string checkFreeEntries(
    const HACheckResult& area,
    const std::vector<std::pair<std::pair<int, int>, std::uint32_t>>& entries) {
    std::set<std::pair<int, int>> seen;
    for (const auto& [at, size] : entries) {
        if (!seen.insert(at).second)
            return "free entry " + std::to_string(at.first) + ":" + std::to_string(at.second) +
                   " listed twice";
        bool found = false;
        for (const HAChunkSeen& c : area.chunks) {
            if (c.page == at.first && c.offset == at.second) {
                if (c.type != 1 || c.size != size)
                    return "free entry " + std::to_string(at.first) + ":" +
                           std::to_string(at.second) + " is not that free chunk";
                found = true;
            }
        }
        if (!found)
            return "free entry " + std::to_string(at.first) + ":" + std::to_string(at.second) +
                   " is not a chunk boundary";
    }
    return {};
}

}  // namespace nork::test
