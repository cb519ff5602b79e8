// The cookie store of a drive (service id 8): small named values kept in the
// drive's hidden area (HAPageMgr.h), each one chunk (CookieEntry.h). A value
// is addressed by a section and a key (UTF-8 here; the public handle
// qz::CCookie converts) and has one of three kinds: integer, string, binary.
// The same names written as two kinds are two cookies.
//
// Every operation runs as one frame: wait (without limit) for the drive's
// named mutex (lock name + serial number), open the page manager's handle
// and the area (version check, a version-1 area formatted), work on the
// cached page images, defragment and flush when something changed, then
// drop the cache and the free list, close the handle and release the mutex,
// whatever happened. So operations on one drive never overlap, across
// threads and processes, and nothing is kept between them.
//
// Threads: any; calls block on the mutex and on drive transfers. Nothing
// throws: failures are STATUS values (see each operation) and log lines.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "CookieEntry.h"
#include "HAChunkMgr.h"
#include "HAPageMgr.h"
#include "ServiceImpl.h"

namespace nork {

namespace port {
class NamedMutex;
}

class CCookieImpl : public CServiceImpl {
  public:
    static constexpr std::uint16_t SERVICE_ID = 8;
    // Dumped strings this long or longer are replaced by a note.
    static constexpr std::size_t DUMP_STRING_LIMIT = 4096;

    CCookieImpl(std::int16_t version, std::u16string lockName);
    ~CCookieImpl() override;
    CCookieImpl(const CCookieImpl&) = delete;
    CCookieImpl& operator=(const CCookieImpl&) = delete;

    // A new, unattached implementation of the same class.
    std::unique_ptr<CZykAPI> clone() const override;
    // Creates the lock and the two managers for the device (the access
    // object from its vendor traits).
    void attach(CUFDImpl* device) override;
    // The same with a given access object (tests run the store on memory).
    void attach(CUFDImpl* device, std::unique_ptr<CHAUtils> utils);

    // Set: the entry goes over a stored one of the same names and kind when
    // the size is equal, splits it when it is at least 4 bytes larger, else
    // moves to a newly allocated place. STATUS_HIDDEN_AREA_FULL without
    // room, STATUS_COMMUNICATION_FAILURE when the drive does not answer.
    // Null names and a null string are empty.
    virtual STATUS setString(const char* section, const char* key, const char* value);
    virtual STATUS setInt(const char* section, const char* key, std::int32_t value);
    virtual STATUS setBinary(const char* section, const char* key, const std::uint8_t* data,
                             std::uint32_t length);
    // Get: STATUS_DATA_NOT_FOUND without a cookie of the names and kind.
    // getString: `size` in and out in bytes with the terminator;
    // getBinary: `size` out is the value's length; both answer
    // STATUS_BUFFER_TOO_SMALL with the needed size for a smaller buffer.
    virtual STATUS getString(const char* section, const char* key, char* buffer,
                             std::uint32_t& size);
    virtual STATUS getInt(const char* section, const char* key, std::int32_t& value);
    virtual STATUS getBinary(const char* section, const char* key, std::uint8_t* buffer,
                             std::uint32_t& size);
    // Remove every kind of the names, or every cookie of the section;
    // STATUS_DATA_NOT_FOUND when there was none.
    virtual STATUS removeCookie(const char* section, const char* key);
    virtual STATUS removeSection(const char* section);
    // Sum of the free chunks' sizes, headers included;
    // STATUS_COMMUNICATION_FAILURE when the area has no free chunk at all.
    virtual STATUS getFreeSpace(std::uint64_t& bytes);
    // Every cookie as text into a file (binary values raw when asked);
    // STATUS_WRONG_PARAMETERS for a path shorter than 2 characters or a file
    // that cannot be created.
    virtual STATUS dump(const char16_t* path, bool withBinary);
    // Every page's data area, as hex text or raw (one unit per byte).
    virtual STATUS dumpPages(std::basic_ostream<char16_t>& out, bool asText);
    virtual STATUS dumpPagesToFile(const char16_t* path, bool asText);
    // Formats the area: with the drive's version, or version 0 (every page
    // blank) when keepVersion is false. The area is not opened first.
    virtual STATUS format(bool keepVersion);
    // Defragments and flushes the current operation's changes.
    virtual STATUS commit();
    // Runs `look` as one framed operation on the opened area, for tools that
    // show it; `look` must not change pages (nothing is flushed). Its
    // status, or the frame's when the area cannot be opened.
    STATUS inspect(const std::function<STATUS(CHAPageMgr&, CHAChunkMgr&)>& look);
    // The version page 0 shows and the version the drive formats, read in
    // one frame without opening the area (so nothing is converted).
    STATUS readVersions(int& stored, int& drive);
    // Whether opening the area converts (formats) a version-1 area: on by
    // default, as applications expect. A tool that only reads turns it off;
    // such an area then answers STATUS_WRONG_HIDDEN_AREA_VERSION untouched.
    void setConvertOldArea(bool convert);

    const std::u16string& lockName() const { return m_lockName; }
    // The lock's full name: lock name + the device's serial number.
    std::u16string mutexName() const;
    CHAPageMgr* pageManager() const { return m_pages.get(); }
    CHAChunkMgr* chunkManager() const { return m_chunks.get(); }

  protected:
    // One framed operation: lock, open, `work`, release (see above).
    STATUS run(const char* where, const std::function<STATUS()>& work) noexcept;
    STATUS set(const char* where, CHAIniEntry& entry);
    STATUS remove(const char* where, const char* section, const char* key);
    STATUS freeSpace(std::uint64_t& bytes);

  private:
    class Frame;

    std::u16string m_lockName;
    port::NamedMutex* m_mutex = nullptr;
    std::unique_ptr<CHAPageMgr> m_pages;
    std::unique_ptr<CHAChunkMgr> m_chunks;
};

}  // namespace nork
