// The utilities service of a Qz drive (service id 20): formats a public
// domain with FAT, pulses a domain so the system reads its medium again,
// starts a reconnection, reads and switches a domain's write protection,
// reads the file-system type from the partition table and reports the
// drive's last error.
//
// Threads: every operation runs on its caller's thread and blocks it (a
// format for as long as its writes take, a write-protection switch through
// the drive's reconnection). The service keeps no state beyond its device;
// each operation opens and closes its own handles except the forms that take
// the caller's. No operation throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Domain.h"
#include "ServiceImpl.h"

namespace nork {
class CDeviceHandle;
class CFormatConfig;
class CFormatConfigFat;
class CProgressCallback;
class CStatusCallback;
struct CFatDiskAccess;
}  // namespace nork

namespace nork {
class CDiskUtils;
}

namespace nork::qz {

class CUtilsImpl : public CServiceImpl {
  public:
    static constexpr std::uint16_t SERVICE_ID = 20;
    static constexpr std::uint16_t SERVICE_ID_CONFIG = 4;
    static constexpr std::uint16_t SERVICE_ID_PRIVATE_AREA = 12;
    // File-system types of getFSType.
    static constexpr int FS_NONE = 0;
    static constexpr int FS_FAT = 1;
    static constexpr int FS_FAT32 = 2;
    static constexpr int RECONNECT_TIMEOUT_SECONDS = 60;
    static constexpr int RECONNECT_TIMEOUT_SECONDS_WINME = 30;

    // The label the FAT convention gives a volume without one.
    static constexpr const char* NO_LABEL = "NO NAME";

    explicit CUtilsImpl(std::int16_t version);
    ~CUtilsImpl() override = default;
    std::unique_ptr<CZykAPI> clone() const override;

    // Whether the process may read and write the drive's sectors itself.
    virtual bool hasRawAccess() const;
    // Formats the domain on the caller's handle (partition 0 of it).
    virtual STATUS format(CDomainAddress& address, CDeviceHandle& handle, CFormatConfig& config,
                          CProgressCallback* progress, bool pulseAfter);
    // Formats the domain on a handle of its own volume, locked first when asked.
    virtual STATUS format(CDomainAddress& address, CFormatConfig& config,
                          CProgressCallback* progress, bool lock, bool removableOnly);
    // Makes the drive leave the bus and come back (a transparent reconnection).
    virtual STATUS reconnect(bool block, bool commandFlag, CStatusCallback* callback);
    virtual STATUS pulse(CDomainAddress& address, CDeviceHandle& handle);
    virtual STATUS pulse(CDomainAddress& address);
    // type: FS_NONE, FS_FAT or FS_FAT32 of the partition entry; the address
    // is not used.
    virtual STATUS getFSType(CDomainAddress& address, int& type, int partition);
    // "Command: <name> Error code: <name>" of the last error; length in
    // characters, terminator included.
    virtual STATUS getErrorText(char16_t* buffer, std::uint32_t& length);
    // The drive's last error code; the 508 extended bytes are copied when
    // extendedSize is at least that (it is then set to 508).
    virtual STATUS getLastError(std::uint32_t& code, std::uint32_t& extendedSize,
                                std::uint8_t* extended);
    // The service takes the handle over.
    virtual STATUS configureWriteProtection(std::unique_ptr<CDeviceHandle> handle,
                                            CDomainAddress& address, bool on);
    virtual STATUS configureWriteProtection(CDomainAddress& address, bool on, bool lock);
    virtual STATUS getWriteProtection(CDeviceHandle& handle, CDomainAddress& address, bool& on);
    virtual STATUS getWriteProtection(CDomainAddress& address, bool& on);
    virtual void describeCommand(std::uint32_t code, std::u16string& out) const;
    virtual void describeError(std::uint32_t code, std::u16string& out) const;

    // A configuration for a volume without a label: "NO NAME" in the boot
    // sector and no label entry, as mkfs.fat leaves it. An all-zero label
    // field is what fsck.fat calls invalid.
    static void setNoLabel(CFormatConfigFat& config);

    // A handle on the domain: with lock (privilege O, platform type above 4)
    // every volume of the drive is dismounted and the domain's locked volume
    // handle handed out, else a plain handle. Opened on success.
    STATUS getLockedHandle(CDomainAddress& address, std::unique_ptr<CDeviceHandle>& handle,
                           bool lock, bool removableOnly);
    // The same with the locks kept by `volumes` (a utility that keeps its
    // handles): they last as long as it, and `handle` is a handle of its own
    // on the locked volume.
    STATUS getLockedHandle(CDomainAddress& address, std::unique_ptr<CDeviceHandle>& handle,
                           bool lock, bool removableOnly, CDiskUtils& volumes);
    // Waits, boundedly, for the drive to answer ready; true when it did or
    // when there is nothing to wait for.
    bool waitForReady(CDomainAddress& address, CDeviceHandle& handle);
    // After a format: wait for the drive, pulse it when asked, reopen the
    // handle when it was open.
    STATUS afterFormat(CDomainAddress& address, CDeviceHandle& handle, bool pulseFlag);
    // The address resolves to an existing domain of type 2 (the domain count
    // is read only on an open handle).
    STATUS checkPublicDomain(CDeviceHandle& handle, CDomainAddress& address);

  protected:
    CUtilsImpl(const CUtilsImpl& other) = default;

    // The platform's user privilege (CPlatformFactory::PRIV_*) and type;
    // tests choose their own.
    virtual bool privilege(int which) const;
    virtual int platformType() const;
    // Where the formatter and the partition-table reader reach the drive.
    virtual CFatDiskAccess diskAccess() const;

  private:
    // A plain handle of the device, opened with the default path kind; null
    // when it does not open.
    std::unique_ptr<CDeviceHandle> openPlain() const;
    void reopen(CDomainAddress& address, CDeviceHandle& handle) const;
};

}  // namespace nork::qz
