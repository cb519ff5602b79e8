// Device access to the hidden area of a drive: how its 512-byte pages are
// moved, how many there are and which area version the drive formats. One
// object per device, made by the device's vendor traits (createHAUtils) and
// attached to the device object before use; the hidden-area page store
// (HAPageMgr.h) is its only caller.
//
// CHAUtils itself serves the earlier product line (pages moved by the Zyk
// commands 0x130/0x131; no protected pages: the protected operations are the
// plain ones). qz::CHAUtilsQz (qz/HAUtilsQz.h) serves the current line.
// Tests derive their own access objects from it to run the store on memory.
//
// Calls run on the caller's thread, inside the store's cross-process lock;
// the object is not thread-safe. Transfers answer false on any failure
// (nothing sent for a null buffer: an assertion line names it). Nothing
// throws.
#pragma once

#include <cstdint>

namespace nork {

class CDeviceHandle;
class CUFDImpl;

class CHAUtils {
  public:
    enum class Family { Qz, Zyk };

    static constexpr std::uint32_t PAGE_SIZE = 512;
    // Page header words.
    static constexpr std::uint32_t MODE_QZ_DATA = 0;
    static constexpr std::uint32_t MODE_ZYK_DATA = 2;
    static constexpr std::uint32_t MODE_INDEX = 3;

    CHAUtils() : CHAUtils(Family::Zyk) {}
    virtual ~CHAUtils() = default;
    CHAUtils(const CHAUtils&) = delete;
    CHAUtils& operator=(const CHAUtils&) = delete;

    // The page header word of data pages (2 on the earlier line).
    virtual std::uint32_t dataPageMode() const { return MODE_ZYK_DATA; }
    // One 512-byte page to the drive, and from it with a page mode.
    virtual bool writePage(CDeviceHandle& handle, const std::uint8_t* page, std::uint16_t number);
    virtual bool readPage(CDeviceHandle& handle, std::uint8_t* buffer, std::uint32_t mode,
                          std::uint16_t number);
    // The same for password-protected pages (plain transfers here).
    virtual bool writeProtectedPage(CDeviceHandle& handle, const std::uint8_t* page,
                                    std::uint16_t number);
    virtual bool readProtectedPage(CDeviceHandle& handle, std::uint8_t* buffer, std::uint32_t mode,
                                   std::uint16_t number);
    // Pages of the area; 0 when unknown. Cached once known.
    virtual std::uint16_t pageCount();
    // Version of area the drive formats (2 or 3; 0 = none usable). Cached
    // once known.
    virtual int areaVersion();

    // Page passwords (current line only): set the write or read password of
    // a page. False here.
    virtual bool hasPagePasswords() const { return false; }
    virtual bool setWritePassword(CDeviceHandle& handle, std::uint16_t page) { return false; }
    virtual bool setReadPassword(CDeviceHandle& handle, std::uint16_t page) { return false; }

    // The device object the counts are read from (not owned).
    void attach(CUFDImpl* device) { m_device = device; }
    CUFDImpl* device() const { return m_device; }
    Family family() const { return m_family; }

  protected:
    explicit CHAUtils(Family family) : m_family(family) {}
    // Uncached reads behind pageCount and areaVersion. The earlier line's
    // count follows its firmware version: below 3 15 pages, from 4.3 on 250,
    // otherwise 31.
    virtual std::uint16_t queryPageCount();
    virtual int queryAreaVersion() { return 2; }

  private:
    Family m_family;
    CUFDImpl* m_device = nullptr;
    std::uint16_t m_pageCount = 0;
    int m_version = -1;
};

}  // namespace nork
