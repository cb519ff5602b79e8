// One page of the hidden area as the page store holds it (see HAPageMgr.h
// for the store). A page is 512 bytes on the drive: a 32-bit little-endian
// header word (the page mode: 0 data page of the current line, 2 of the
// earlier line, 3 index page) and a 508-byte data area.
//
// Bounds inside a page are the caller's to respect: a violation logs an
// assertion line and the operation is not done, so nothing is ever written
// or read outside the data area.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Status.h"

namespace nork {

class CHAPageMgr;

inline constexpr std::uint32_t HA_PAGE_SIZE = 512;
inline constexpr std::uint32_t HA_PAGE_HEADER_SIZE = 4;
inline constexpr std::uint32_t HA_DATA_AREA_SIZE = HA_PAGE_SIZE - HA_PAGE_HEADER_SIZE;  // 508

class CHAPage {
  public:
    CHAPage(CHAPageMgr& manager, std::uint16_t number);
    virtual ~CHAPage() = default;
    CHAPage(const CHAPage&) = delete;
    CHAPage& operator=(const CHAPage&) = delete;

    // Sets the header word; with flushNow the page is written at once.
    virtual STATUS setMode(std::uint32_t mode, bool flushNow);
    // Copies size (at most 508) bytes to the start of the data area, then
    // sets the mode without flushing.
    virtual STATUS writeData(const std::uint8_t* data, std::uint32_t size, std::uint32_t mode);
    // Reads the page from the drive (page 0 with mode 3 by the protected
    // read, every other read by the plain read with the mode).
    virtual STATUS read(std::uint32_t mode);
    // Zero data area, the access object's data-page mode as header.
    virtual void clear();
    // Writes the page to the drive (header word 3 or page 0 by the
    // protected write, others by the plain write).
    virtual STATUS flush();
    // Copies length bytes to the data area at offset; false (and nothing
    // copied) when length + offset > 508.
    virtual bool writeAt(const std::uint8_t* bytes, std::uint32_t length, std::uint32_t offset);
    // The data area from offset; null when offset >= 508.
    virtual std::uint8_t* dataAt(std::uint32_t offset);

    std::uint16_t number() const { return m_number; }
    std::uint32_t mode() const;
    // The whole 512-byte image.
    const std::uint8_t* image() const { return m_image.get(); }
    std::uint8_t* image() { return m_image.get(); }

  protected:
    CHAPageMgr& manager() const { return m_manager; }
    void putMode(std::uint32_t mode);

  private:
    CHAPageMgr& m_manager;
    std::uint16_t m_number;
    // On the heap on its own, so a stray access is caught by the sanitizers.
    std::unique_ptr<std::uint8_t[]> m_image;
};

// A page of the chunk stream: setting its mode without flushing marks it
// dirty in the page manager, which writes it at the next flush.
class CHADataPage : public CHAPage {
  public:
    using CHAPage::CHAPage;
    STATUS setMode(std::uint32_t mode, bool flushNow) override;
    STATUS flush() override;
};

// One entry of the index page: a page taken out of the chunk stream for a
// keyed object (key 0: the page is free for reuse but stays out).
struct CHAIndexEntry {
    std::uint16_t page = 0;
    std::uint32_t reserved = 0;  // written 0 by new entries, kept as read otherwise
    std::uint32_t key = 0;
};

// Page 0. Data area: "AHA3", 0, area version, u16 entry count, 10-byte
// entries (page u16, reserved u32, key u32), zeros.
class CHAIndexPage : public CHAPage {
  public:
    static constexpr std::uint8_t MAGIC[4] = {0x41, 0x48, 0x41, 0x33};  // "AHA3"
    static constexpr std::uint32_t ENTRY_SIZE = 10;
    static constexpr std::uint32_t ENTRIES_OFFSET = 8;
    // Entries the data area has room for.
    static constexpr std::uint32_t ROOM = (HA_DATA_AREA_SIZE - ENTRIES_OFFSET) / ENTRY_SIZE;

    explicit CHAIndexPage(CHAPageMgr& manager) : CHAPage(manager, 0) {}

    // No entries, a rebuilt data area, mode 3.
    void clear() override;
    // Lays out the data area from the entries (at most ROOM of them).
    void rebuild(const std::vector<CHAIndexEntry>& entries, int version);
    // The entries the data area lists (at most ROOM, whatever its count says).
    std::vector<CHAIndexEntry> load() const;
    // The version an image of page 0 shows: byte 5 of the data area when it
    // starts with the magic and a 0, else 1.
    static int storedVersion(const std::uint8_t* image512);
};

}  // namespace nork
