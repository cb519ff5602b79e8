// USB identification of drives from the system's device records: interface
// paths ("\\?\USBSTOR#DISK&VEN_...&PROD_...&REV_...#SERIAL&LUN#{GUID}"),
// the mounted-devices record and the USB storage enumeration keys. The
// parsers are pure string work; what they need from the system (which
// volume a letter names, which disk or USB device a volume sits on, the
// registry records) comes through the small interfaces below, so the same
// parsers run over any backend.
//
// Every parse starts from the unknown record (lun 255, empty strings) and
// leaves unknown whatever it cannot read; callers treat an empty serial as
// an unidentified drive. Nothing here throws, blocks or keeps mutable state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nork {

class CDeviceParams;

// The identity one parse yields.
struct CUSBDiskInfo {
    static constexpr std::uint8_t UNKNOWN_LUN = 255;

    std::uint8_t lun = UNKNOWN_LUN;
    std::u16string serial;
    std::u16string vendor;  // SCSI vendor, the text after "VEN_"
    std::u16string product;
    std::u16string revision;

    void clear() { *this = CUSBDiskInfo{}; }
};

// Drive type of a root whose medium is a CD-ROM.
constexpr int DRIVE_TYPE_CDROM = 5;

class CUSBInfoParser {
  public:
    virtual ~CUSBInfoParser() = default;

    // LUN of the drive mounted at a letter; 255 when unknown.
    virtual std::uint8_t getLun(char16_t letter) const = 0;
    // Identity from a CD-ROM interface path: the path must contain "#CDROM"
    // and "{" (any case).
    virtual void parseCdRomPath(std::u16string_view path, CUSBDiskInfo& info) const;
    // Serial (empty when unknown) and LUN through parseCdRomPath.
    virtual std::u16string serialFromCdRomPath(std::u16string_view path, std::uint8_t& lun) const;
    // Identity of the first drive letter of a device.
    virtual void getInfo(const CDeviceParams& params, CUSBDiskInfo& info) const = 0;
    // Identity from a disk or volume path (what the path means depends on
    // the source).
    virtual void parseDiskPath(std::u16string_view path, CUSBDiskInfo& info) const = 0;
    // Serial and LUN through parseDiskPath.
    virtual std::u16string serialFromDiskPath(std::u16string_view path, std::uint8_t& lun) const;
    // USB vendor and product id of a device; false when unknown.
    virtual bool getVidPid(const CDeviceParams& params, std::uint16_t& vid,
                           std::uint16_t& pid) const = 0;

    // The value after the first `token` up to the first `terminator` after
    // it, or to the end of the text when the terminator is empty. False
    // (value untouched) when the token is absent, or when a non-empty
    // terminator does not follow it: a cut-off path yields no value rather
    // than the rest of the path.
    static bool valueBetween(std::u16string_view text, std::u16string_view token,
                             std::u16string_view terminator, std::u16string& value);

    // Identity from an interface path: vendor, product, revision, LUN and
    // serial as laid out by the USB storage driver. Upper-cases the path;
    // requires a "{". Shared by the CD-ROM and disk parsers.
    static void parseInterfacePath(std::u16string_view path, CUSBDiskInfo& info);

    // The first drive letter of a mask ('A'..'Z'), or 0 when it has none.
    static char16_t firstLetterOf(std::uint32_t mask);
};

// What the mount-point based source asks of the system.
class IVolumeInventory {
  public:
    virtual ~IVolumeInventory() = default;
    // Whether the volume mount-point service exists; without it the source
    // answers unknown for everything that needs it.
    virtual bool available() const = 0;
    // The volume interface path (trailing backslash included) of the volume
    // mounted at a letter; empty when none.
    virtual std::u16string volumePathOfLetter(char16_t letter) const = 0;
    // Drive type of a letter's root (DRIVE_TYPE_CDROM for CD-ROMs).
    virtual int driveType(char16_t letter) const = 0;
    // Interface path of the disk a volume lives on; empty when none.
    virtual std::u16string diskPathOfVolume(std::u16string_view volumePath) const = 0;
    // Interface path of the USB device a volume lives on (as the system
    // reports it: "\\?\usb#vid_xxxx&pid_xxxx#serial#{guid}"); empty when
    // none.
    virtual std::u16string usbDevicePathOfVolume(std::u16string_view volumePath) const = 0;
};

// Identity through volume mount points and interface paths.
class CUSBInfoExtractor : public CUSBInfoParser {
  public:
    // The inventory must outlive the extractor.
    explicit CUSBInfoExtractor(const IVolumeInventory& inventory);

    std::uint8_t getLun(char16_t letter) const override;
    void getInfo(const CDeviceParams& params, CUSBDiskInfo& info) const override;
    // The argument is a volume interface path; the identity is read from
    // the interface path of the disk that holds the volume.
    void parseDiskPath(std::u16string_view path, CUSBDiskInfo& info) const override;
    bool getVidPid(const CDeviceParams& params, std::uint16_t& vid,
                   std::uint16_t& pid) const override;

  protected:
    const IVolumeInventory& inventory() const { return m_inventory; }

  private:
    void infoForLetter(char16_t letter, CUSBDiskInfo& info) const;

    const IVolumeInventory& m_inventory;
};

// Where volume paths carry the disk's identity themselves: the path must
// contain "#DISK" and "{".
class CUSBInfoExtractorVista : public CUSBInfoExtractor {
  public:
    using CUSBInfoExtractor::CUSBInfoExtractor;
    void parseDiskPath(std::u16string_view path, CUSBDiskInfo& info) const override;
};

// One instance key under the USB storage enumeration.
struct CUsbStorInstance {
    std::u16string deviceKey;       // "Disk&Ven_...&Prod_...&Rev_..."
    std::u16string instance;        // serial, or serial "&" LUN
    std::u16string parentIdPrefix;  // its "ParentIdPrefix" value
};

// One instance key under the USB device enumeration.
struct CUsbInstance {
    std::u16string deviceKey;  // "Vid_xxxx&Pid_xxxx"
    std::u16string instance;   // the serial for devices that have one
    std::u16string service;    // its "Service" value
};

// What the registry-based source asks of the system.
class IMountedDevicesRecord {
  public:
    virtual ~IMountedDevicesRecord() = default;
    // Whether the record can be read at all.
    virtual bool usable() const = 0;
    // The raw data of value "\DosDevices\X:" (a little-endian wide string);
    // empty when absent.
    virtual std::vector<std::uint8_t> mountedDevice(char16_t letter) const = 0;
    virtual int driveType(char16_t letter) const = 0;
    virtual std::vector<CUsbStorInstance> usbStorInstances() const = 0;
    virtual std::vector<CUsbInstance> usbInstances() const = 0;
};

// Identity through the record of mounted devices and the enumeration keys.
class CRegistryAnalizerImpl : public CUSBInfoParser {
  public:
    // Data of a mounted-devices value read: at most this many bytes.
    static constexpr std::size_t MAX_VALUE_BYTES = 1024;

    // The record must outlive the analyser; platformType decides whether
    // USB storage instance names carry the LUN (7 and above).
    CRegistryAnalizerImpl(const IMountedDevicesRecord& record, int platformType);

    std::uint8_t getLun(char16_t letter) const override;
    void getInfo(const CDeviceParams& params, CUSBDiskInfo& info) const override;
    // The argument is a mounted-devices value: its ParentIdPrefix (after
    // "RemovableMedia#", before "&RM") leads to the USB storage instance.
    void parseDiskPath(std::u16string_view path, CUSBDiskInfo& info) const override;
    bool getVidPid(const CDeviceParams& params, std::uint16_t& vid,
                   std::uint16_t& pid) const override;

    // The USB ids of the device whose instance is named like the serial:
    // the composite parent ("usbccgp") or the storage device ("USBSTOR").
    virtual bool getVidPidBySerial(std::u16string_view serial, bool composite, std::uint16_t& vid,
                                   std::uint16_t& pid) const;
    virtual void infoForDriveLetter(CUSBDiskInfo& info, char16_t letter) const;
    virtual void infoFromParentIdPrefix(std::u16string_view prefix, CUSBDiskInfo& info) const;
    virtual std::u16string vidToken() const { return u"Vid_"; }
    virtual std::u16string pidToken() const { return u"Pid_"; }

    // The wide string a mounted-devices value holds: little-endian pairs up
    // to the first NUL, at most MAX_VALUE_BYTES bytes, an odd last byte
    // dropped.
    static std::u16string valueText(const std::vector<std::uint8_t>& data);

  protected:
    const IMountedDevicesRecord& record() const { return m_record; }

  private:
    const IMountedDevicesRecord& m_record;
    int m_platformType;
};

// Where the mounted-devices value names the USB storage instance directly.
class CRegistryAnalizerImplVista : public CRegistryAnalizerImpl {
  public:
    using CRegistryAnalizerImpl::CRegistryAnalizerImpl;
    // The value's "&"-separated tokens: "Ven_", "Prod_", "Rev_<rev>#<serial>",
    // and the fifth token's first character as the LUN.
    void parseDiskPath(std::u16string_view path, CUSBDiskInfo& info) const override;
    std::u16string vidToken() const override { return u"VID_"; }
    std::u16string pidToken() const override { return u"PID_"; }
};

}  // namespace nork
