// The FAT formatter: writes a partition table, a FAT12/16 or FAT32 boot
// sector, two FATs, the root directory and a volume label straight to a
// drive's sectors through its disk interface. Nothing here throws to the
// caller; failures are STATUS values and log lines.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include "Status.h"

namespace nork {

class CDeviceHandle;
class CDiskInterface;
class CProgressCallback;

using SectorImage = std::array<std::uint8_t, 512>;

class CFormatConfig {
  public:
    virtual ~CFormatConfig() = default;
    // Called once per format just before anything is written.
    virtual void onImagesReady(const SectorImage& partitionTable, const SectorImage& bootSector) {
        (void)partitionTable;
        (void)bootSector;
    }

    std::int32_t fsType = 0;  // 0 choose, 1 FAT12/16, 2 FAT32
    bool useMbrImage = false;
    bool useBootImage = false;
    SectorImage mbrImage{};
    SectorImage bootImage{};
    bool keepExisting = true;
    bool active = true;
    bool useGeometry = false;
    std::uint8_t heads = 0;
    std::uint16_t sectorsPerTrack = 0;
};

class CFormatConfigFat : public CFormatConfig {
  public:
    void onImagesReady(const SectorImage&, const SectorImage&) override {}
    // Copies at most 11 characters and sets writeLabel.
    void setVolumeLabel(const char* text);

    bool noPartitionTable = false;
    std::array<char, 12> volumeLabel{};
    bool writeLabel = true;
};

// Where the formatter reaches the drive: the version factory's disk
// interface and the platform's raw-access privilege unless a test hands in
// its own.
struct CFatDiskAccess {
    CDiskInterface* disk = nullptr;
    std::optional<bool> rawAccess;

    CDiskInterface& diskFor(CDeviceHandle& handle) const;
    bool hasRawAccess() const;
};

class CMBRServices {
  public:
    // 0 none, 1 FAT, 2 FAT32: the type byte of the partition entry.
    static int findPartFSType(CDeviceHandle& handle, int partition,
                              const CFatDiskAccess& access = {});
    static bool isEntryValid(const SectorImage& table, int partition);
    static std::uint32_t entryFirstSector(const SectorImage& table, int partition);
};

class CFatBootPart {
  public:
    virtual ~CFatBootPart() = default;
    virtual STATUS read(CDeviceHandle& handle, CDiskInterface& disk, std::uint32_t lba) = 0;
    virtual STATUS write(CDeviceHandle& handle, CDiskInterface& disk, std::uint32_t lba) = 0;
    void setImage(const SectorImage& image) { m_image = image; }
    const SectorImage& image() const { return m_image; }
    virtual const SectorImage& templateImage() const = 0;
    std::uint32_t volumeSerial() const;
    bool getVolumeLabel(std::uint8_t out[11]) const;
    bool setVolumeLabel(const char* text);
    virtual std::size_t bootCodeOffset() const = 0;
    const std::uint8_t* bootCode() const { return m_image.data() + bootCodeOffset(); }
    virtual void getLayout(std::uint32_t& hidden, std::uint32_t& reserved,
                           std::uint32_t& fatSectors, std::uint32_t& total) const = 0;
    virtual bool isValid() const = 0;
    virtual void build(bool keep, int bits, std::uint8_t sectorsPerCluster,
                       std::uint32_t fatSectors, std::uint32_t totalSectors,
                       std::uint16_t sectorsPerTrack, std::uint8_t heads, std::uint32_t hidden,
                       const char* label, int mediaFlag) = 0;

  protected:
    virtual std::size_t labelOffset() const = 0;
    virtual std::size_t serialOffset() const = 0;
    static std::uint32_t newSerial();
    SectorImage m_image{};
};

class CFat1216BootPart : public CFatBootPart {
  public:
    STATUS read(CDeviceHandle& handle, CDiskInterface& disk, std::uint32_t lba) override;
    STATUS write(CDeviceHandle& handle, CDiskInterface& disk, std::uint32_t lba) override;
    const SectorImage& templateImage() const override;
    std::size_t bootCodeOffset() const override { return 62; }
    void getLayout(std::uint32_t& hidden, std::uint32_t& reserved, std::uint32_t& fatSectors,
                   std::uint32_t& total) const override;
    bool isValid() const override;
    void build(bool keep, int bits, std::uint8_t sectorsPerCluster, std::uint32_t fatSectors,
               std::uint32_t totalSectors, std::uint16_t sectorsPerTrack, std::uint8_t heads,
               std::uint32_t hidden, const char* label, int mediaFlag) override;

  protected:
    std::size_t labelOffset() const override { return 43; }
    std::size_t serialOffset() const override { return 39; }
};

class CFat32BootPart : public CFatBootPart {
  public:
    STATUS read(CDeviceHandle& handle, CDiskInterface& disk, std::uint32_t lba) override;
    STATUS write(CDeviceHandle& handle, CDiskInterface& disk, std::uint32_t lba) override;
    const SectorImage& templateImage() const override;
    std::size_t bootCodeOffset() const override { return 90; }
    void getLayout(std::uint32_t& hidden, std::uint32_t& reserved, std::uint32_t& fatSectors,
                   std::uint32_t& total) const override;
    bool isValid() const override;
    void build(bool keep, int bits, std::uint8_t sectorsPerCluster, std::uint32_t fatSectors,
               std::uint32_t totalSectors, std::uint16_t sectorsPerTrack, std::uint8_t heads,
               std::uint32_t hidden, const char* label, int mediaFlag) override;
    const SectorImage& fsInfo() const { return m_fsInfo; }
    const SectorImage& third() const { return m_third; }

  protected:
    std::size_t labelOffset() const override { return 71; }
    std::size_t serialOffset() const override { return 67; }

  private:
    SectorImage m_fsInfo{};
    SectorImage m_third{};
};

class CFatServices {
  public:
    explicit CFatServices(CDeviceHandle& handle, CFatDiskAccess access = {});
    virtual ~CFatServices();
    CFatServices(const CFatServices&) = delete;
    CFatServices& operator=(const CFatServices&) = delete;

    // requestedType 0 chooses from the partition table or the capacity.
    // The caller owns the answer; null for an unknown type.
    static CFatServices* createFatServices(CDeviceHandle& handle, int requestedType, int partition,
                                           const CFatDiskAccess& access = {});

    STATUS format(CFormatConfig& config, CProgressCallback* progress, int partition);
    // 1 when the drive has no FAT partition (nothing done).
    STATUS refreshPartitionForVista();

    virtual CFatBootPart* createBootPart() const = 0;
    virtual const SectorImage& mbrCodeTemplate() const = 0;
    virtual std::uint8_t partitionType(std::uint32_t sectors) const = 0;
    virtual void fatHead(std::uint8_t* buffer, int bits, int mediaFlag) const = 0;
    virtual void fatParameters(std::uint32_t sectors, int& bits,
                               std::uint8_t& sectorsPerCluster) const = 0;

    // Sectors per FAT for a volume of that many sectors; 0 when it does not
    // fit the 16 bits the layout keeps.
    static std::uint32_t sectorsPerFat(std::uint32_t volumeSectors, int bits,
                                       std::uint8_t sectorsPerCluster);

    const SectorImage& partitionTable() const { return m_table; }

  protected:
    // The system's drive-geometry query (IOCTL_DISK_GET_DRIVE_GEOMETRY) on
    // the handle: heads, cylinders, sectors per track; false with the
    // system's error number when the handle's device does not answer it.
    virtual bool queryDriveGeometry(std::uint32_t& heads, std::uint64_t& cylinders,
                                    std::uint32_t& sectorsPerTrack, int& lastError);

  private:
    STATUS prepare(int partition);
    // fatParameters, with 16 bits where 12-bit tables would hold more than
    // the 4084 clusters that make a volume FAT12 to every reader.
    void volumeParameters(std::uint32_t sectors, int& bits, std::uint8_t& sectorsPerCluster) const;
    STATUS formatImpl(CFormatConfig& config, CProgressCallback& progress, int partition);
    STATUS writeFileSystem(CFormatConfig& config, CProgressCallback& progress, int partition,
                           int mediaFlag);
    void fillEntry(int partition, bool active, std::uint32_t volumeSectors,
                   std::uint32_t totalSectors, std::uint8_t sectorsPerTrack, std::uint8_t heads,
                   std::uint32_t hidden, std::uint8_t type);

    CDeviceHandle& m_handle;
    CFatDiskAccess m_access;
    SectorImage m_table{};
    std::map<int, std::unique_ptr<CFatBootPart>> m_bootParts;
};

class CFat1216Services : public CFatServices {
  public:
    using CFatServices::CFatServices;
    CFatBootPart* createBootPart() const override { return new CFat1216BootPart(); }
    const SectorImage& mbrCodeTemplate() const override;
    std::uint8_t partitionType(std::uint32_t sectors) const override;
    void fatHead(std::uint8_t* buffer, int bits, int mediaFlag) const override;
    void fatParameters(std::uint32_t sectors, int& bits,
                       std::uint8_t& sectorsPerCluster) const override;
};

class CFat32Services : public CFatServices {
  public:
    using CFatServices::CFatServices;
    CFatBootPart* createBootPart() const override { return new CFat32BootPart(); }
    const SectorImage& mbrCodeTemplate() const override;
    std::uint8_t partitionType(std::uint32_t) const override { return 0x0B; }
    void fatHead(std::uint8_t* buffer, int bits, int mediaFlag) const override;
    void fatParameters(std::uint32_t sectors, int& bits,
                       std::uint8_t& sectorsPerCluster) const override;
};

}  // namespace nork
