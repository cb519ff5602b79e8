// The hidden-area page store: a drive's hidden pages as a store of
// variable-length records (chunks, HAChunk.h, managed by CHAChunkMgr in
// HAChunkMgr.h) and of whole keyed pages (dedicated pages). The on-drive
// format is described in docs/hidden-area.md.
//
// Layout: page 0 is the index page (CHAIndexPage); the data areas of pages
// 1..count-1, leaving out every page the index names, form the chunk
// stream, one byte sequence in page order. Chunks lie back to back in it
// from (1, 0), each starting with a 32-bit header: type in bits 28-31
// (1 free, 2 cookie entry), size in bytes (header included) in bits 0-27.
//
// Use, one store operation at a time (the caller holds the drive's
// hidden-area lock, "__QZ_SDK_HIDDEN_AREA_LOCK__" + serial, around it):
//
//   CHAPageMgr pages;  pages.attach(device);     // once, when the device is attached
//   CHAChunkMgr chunks(pages);
//   ...
//   pages.openHandle();
//   STATUS st = pages.openArea();                // version check, conversion, index
//   if (st == STATUS_OK) { ... chunks.find / writeObject / free ...; st = chunks.commit(); }
//   pages.drop(); chunks.clear(); pages.closeHandle();
//
// Page images are read from the drive on first use within an operation
// (page 0 too: the version check, the index and getPage(0) share one read)
// and written back by flush(); nothing survives between operations but the
// access object's cached page count and version. Not thread-safe. Nothing
// here throws except open() (CHAWrongVersionException, by contract) and
// allocation failure.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "DeviceHandle.h"
#include "HAPage.h"
#include "HAUtils.h"
#include "Status.h"

namespace nork {

class CUFDImpl;

// A place in the chunk stream: page, and offset 0..507 in its data area.
// The end of the stream is (page count, 0).
struct CHALocation {
    std::uint16_t page = 0;
    std::uint16_t offset = 0;
    friend bool operator==(const CHALocation& a, const CHALocation& b) {
        return a.page == b.page && a.offset == b.offset;
    }
    friend bool operator<(const CHALocation& a, const CHALocation& b) {
        return a.page != b.page ? a.page < b.page : a.offset < b.offset;
    }
};

// The area's stored version cannot be used (0: unreadable or unknown).
class CHAWrongVersionException : public std::exception {
  public:
    explicit CHAWrongVersionException(int storedVersion) : m_storedVersion(storedVersion) {}
    int storedVersion() const { return m_storedVersion; }
    const char* what() const noexcept override { return "wrong hidden area version"; }

  private:
    int m_storedVersion;
};

// The index page's entry list: pages taken out of the chunk stream for
// keyed objects. Kept in memory between the reads and writes of page 0.
class CHAIndex {
  public:
    static constexpr std::size_t MAX_ENTRIES = 16;

    explicit CHAIndex(CHAPageMgr& manager);

    // Takes the entries of page 0, read first (protected read, mode 3)
    // unless the operation already holds its image.
    STATUS load();
    // No entries (a freshly formatted area); not marked for writing.
    void reset();
    // Reads page 0 into the page image with `mode`. Only a read with mode 3
    // makes the image the drive's page 0 for the rest of the operation.
    STATUS readPage(std::uint32_t mode);
    // Whether the page image is page 0 as the drive holds it: read or
    // written in this operation, nothing failed since.
    bool current() const { return m_current; }
    // The image is no longer the drive's page 0 (an operation ends, page 0
    // was written another way).
    void forget() { m_current = false; }

    std::size_t entryCount() const { return m_entries.size(); }
    // The page of a key, 0 when absent.
    std::uint16_t pageOf(std::uint32_t key) const;
    // Whether an entry names the page (whatever its key).
    bool isListed(std::uint16_t page) const;
    // Updates the entry with this key, else the entry of this page with key
    // 0, else appends one (a 17th logs an assertion and is kept). With page
    // 0 the entry with this key gets key 0: its page is free for reuse and
    // stays out of the stream.
    void set(std::uint16_t page, std::uint32_t key);
    const std::vector<CHAIndexEntry>& entries() const { return m_entries; }

    // Whether the entries changed since page 0 was last read or written.
    bool dirty() const { return m_dirty; }
    // Rebuilds page 0 from the entries and writes it (protected write).
    STATUS write(int version);
    CHAIndexPage& page() { return m_page; }

  private:
    CHAIndexPage m_page;
    std::vector<CHAIndexEntry> m_entries;
    bool m_dirty = false;
    bool m_current = false;
};

class CHAPageMgr {
  public:
    // Slots of the page cache before the page count is known.
    static constexpr std::size_t INITIAL_SLOTS = 250;

    CHAPageMgr();
    ~CHAPageMgr();
    CHAPageMgr(const CHAPageMgr&) = delete;
    CHAPageMgr& operator=(const CHAPageMgr&) = delete;

    // The device the area belongs to, and its access object (by default the
    // one its vendor traits make; none for a device without traits).
    void attach(CUFDImpl* device, std::unique_ptr<CHAUtils> utils = nullptr);
    CUFDImpl* device() const { return m_device; }
    CHAUtils* utils() const { return m_utils.get(); }

    // The plain handle every page transfer of an operation uses. Transfers
    // on a closed handle open and close it around each command.
    CDeviceHandle& handle() { return m_handle; }
    bool openHandle();
    void closeHandle() { m_handle.close(); }

    // Acquires the area for one operation: page count and version, the
    // stored version of page 0, a version-1 area converted (formatted) to
    // the device's version, the page cache sized and the index loaded.
    // Throws CHAWrongVersionException with the stored version when the area
    // cannot be used (stored version 0, page count 0, a device version
    // below the stored one, or a version-2 area on a version-3 device).
    // STATUS_COMMUNICATION_FAILURE for other failures. On a device object
    // whose state is not STATUS_OK (removed) it answers STATUS_OK without
    // preparing anything, and every page access of the operation fails.
    STATUS open();
    // Whether open() converts a version-1 area (the default, as
    // applications expect). Off, such an area is refused like any other
    // unusable version and nothing is written: for tools that only read.
    void setConvertOldArea(bool convert) { m_convertOldArea = convert; }
    // open() for a store operation: STATUS_WRONG_HIDDEN_AREA_VERSION for a
    // refused stored version other than 0, STATUS_COMMUNICATION_FAILURE for
    // version 0 and for every other failure. Never throws.
    STATUS openArea() noexcept;

    // The cached page, or the page read from the drive with `mode`; null
    // for a number >= the page count or a failed read (nothing cached then).
    // Page 0 is the index's page, read once per operation with mode 3 (a
    // read with another mode always goes to the drive).
    CHAPage* getPage(std::uint16_t number, std::uint32_t mode);
    // A page of the chunk stream, read with the data-page mode.
    CHAPage* getDataPage(std::uint16_t number) { return getPage(number, dataPageMode()); }
    void markDirty(std::uint16_t number) { m_dirty.insert(number); }
    const std::set<std::uint16_t>& dirtyPages() const { return m_dirty; }

    // Writes the index page when its entries changed and it is not in the
    // page cache, then every dirty page from the highest number down (so a
    // chunk header never reaches the drive before the header it points to).
    // 0, or the index page's failure (nothing else written then), or the
    // last failing page.
    STATUS flush();
    // Forgets every cached page and the dirty set.
    void drop();
    // Reads page 0 with mode 3 into a scratch page: 0, or
    // STATUS_COMMUNICATION_FAILURE when the drive does not answer.
    STATUS probe();
    // Whether the drive is answering, for a lookup that found nothing: 0
    // without a transfer when the area was opened and no transfer of the
    // operation has failed (the drive answered all of them), else probe().
    STATUS answering();
    // A page transfer of the operation failed (pages report their own).
    void noteTransferFailure() { m_transferFailed = true; }

    CHAIndex& index() { return m_index; }
    std::uint16_t pageCount();
    int areaVersion();
    std::uint32_t dataPageMode() const;
    // The version page 0 shows: its byte 5 after the magic; 1 for a
    // readable page without it (or one readable only by a plain read with
    // mode 0 or 1); 0 when it cannot be read at all. Page 0 is read into the
    // index's image (once per operation).
    int readStoredVersion();

    // ---- the chunk stream ----
    // The stream's first place, (1, 0) or the first page not in the index.
    CHALocation streamStart();
    // The next page of the stream after `page`, or the page count.
    std::uint16_t nextStreamPage(std::uint16_t page);
    // Moves `at` forward by n bytes of the stream; false when that runs past
    // its end (reaching the end exactly gives (page count, 0)).
    bool advance(CHALocation& at, std::uint32_t n);
    // Copies n stream bytes from `at`; false when the stream ends first, a
    // page cannot be read or the place is not one.
    bool readStream(CHALocation at, std::uint8_t* out, std::uint32_t n);
    // Copies n bytes into the page images from `at` and marks the pages
    // dirty; false as for readStream (pages before the failure changed).
    bool writeStream(CHALocation at, const std::uint8_t* in, std::uint32_t n);

    // Empties the cache and gives it `slots` slots (formatting uses it).
    void resetCache(std::size_t slots);

  private:
    // Forgets the cached pages and the dirty set.
    void emptyCache();
    CHALocation normalize(CHALocation at);
    // Calls `each` with every page span of n stream bytes from `at` (page,
    // its number, offset in its data area, length); false when the stream
    // ends first, a page cannot be read or the place is not one.
    bool spans(
        CHALocation at, std::uint32_t n,
        const std::function<void(CHAPage&, std::uint16_t, std::uint32_t, std::uint32_t)>& each);

    CUFDImpl* m_device = nullptr;
    std::unique_ptr<CHAUtils> m_utils;
    CDeviceHandle m_handle;
    std::set<std::uint16_t> m_dirty;
    std::vector<std::unique_ptr<CHAPage>> m_pages;
    // The slots of m_pages holding a page: emptied at the end of every
    // operation without a pass over all the slots.
    std::vector<std::uint16_t> m_loaded;
    CHAIndex m_index;
    bool m_unusable = false;        // opened on a removed device
    bool m_opened = false;          // open() succeeded in this operation
    bool m_transferFailed = false;  // a transfer of this operation failed
    bool m_convertOldArea = true;
};

// Formats the area of `pages` with a blank area of `version` (0: every page
// blank, no index, no chunks; 1: blank pages; 2 and 3: an index page and
// one free chunk over the whole stream; 3 also sets the index page's
// passwords on a current-line drive). STATUS_WRONG_HIDDEN_AREA_VERSION for
// version 3 while the index has entries; STATUS_OPERATION_NOT_COMPLETED
// (version 0) when page writes failed; STATUS_ERROR when too many failed or
// the free chunk could not be placed; else the final flush's status.
STATUS buildBlankHA(int version, CHAPageMgr& pages);

}  // namespace nork
