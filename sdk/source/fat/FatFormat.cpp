#include "fat/FatFormat.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "Callbacks.h"
#include "DeviceHandle.h"
#include "DiskInterface.h"
#include "Log.h"
#include "PlatformFactory.h"
#include "VersionFactory.h"
#include "port/DeviceIo.h"

namespace nork {

namespace {

constexpr std::size_t kEntryBase = 446;
constexpr std::size_t kEntrySize = 16;

void put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::uint8_t* p, std::uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}
std::uint32_t get16(const std::uint8_t* p) {
    return p[0] | (p[1] << 8);
}
std::uint32_t get32(const std::uint8_t* p) {
    return get16(p) | (get16(p + 2) << 16);
}

// Our bootstrap: prints its message through the video BIOS, waits for a key
// and asks the BIOS for the next boot device. Position independent (the
// message is found through call/pop), so the same bytes serve at offset 0
// of the partition table and after either boot parameter block.
std::vector<std::uint8_t> bootstrap(const char* message) {
    std::vector<std::uint8_t> code = {
        0x0E,              // push cs
        0x1F,              // pop ds
        0xE8, 0x00, 0x00,  // call next
        0x5E,              // next: pop si
        0x83, 0xC6, 0x19,  // add si, message - next
        0xFC,              // cld
        0xAC,              // print: lodsb
        0x84, 0xC0,        // test al, al
        0x74, 0x06,        // jz done
        0xB4, 0x0E,        // mov ah, 0Eh
        0xCD, 0x10,        // int 10h
        0xEB, 0xF5,        // jmp print
        0x31, 0xC0,        // done: xor ax, ax
        0xCD, 0x16,        // int 16h (wait for a key)
        0xCD, 0x19,        // int 19h (next boot device)
        0xF4,              // halt: hlt
        0xEB, 0xFD,        // jmp halt
    };
    code.push_back('\r');
    code.push_back('\n');
    for (const char* c = message; *c != '\0'; ++c) {
        code.push_back(static_cast<std::uint8_t>(*c));
    }
    code.push_back('\r');
    code.push_back('\n');
    code.push_back(0);
    return code;
}

SectorImage makeBootTemplate(bool fat32) {
    SectorImage t{};
    const std::size_t codeAt = fat32 ? 90 : 62;
    t[0] = 0xEB;
    t[1] = static_cast<std::uint8_t>(codeAt - 2);
    t[2] = 0x90;
    std::memcpy(t.data() + 3, "MSWIN4.1", 8);
    // A sample parameter block; build() overwrites it.
    put16(t.data() + 11, 512);
    t[13] = 1;
    put16(t.data() + 14, fat32 ? 32 : 1);
    t[16] = 2;
    put16(t.data() + 17, fat32 ? 0 : 512);
    t[21] = 0xF8;
    put16(t.data() + 24, 63);
    put16(t.data() + 26, 255);
    const std::size_t ext = fat32 ? 64 : 36;
    t[ext] = 0x80;
    t[ext + 2] = 0x29;
    std::memcpy(t.data() + ext + 7, "NO NAME    ", 11);
    std::memcpy(t.data() + ext + 18, fat32 ? "FAT32   " : "FAT16   ", 8);
    if (fat32) {
        put16(t.data() + 48, 1);
        put16(t.data() + 50, 6);
        put32(t.data() + 44, 2);
    }
    const auto code = bootstrap("not a system disk");
    std::memcpy(t.data() + codeAt, code.data(), code.size());
    t[510] = 0x55;
    t[511] = 0xAA;
    return t;
}

SectorImage makeMbrTemplate() {
    SectorImage t{};
    const auto code = bootstrap("missing operating system");
    std::memcpy(t.data(), code.data(), code.size());
    t[510] = 0x55;
    t[511] = 0xAA;
    return t;
}

const SectorImage& fat1216Template() {
    static const SectorImage t = makeBootTemplate(false);
    return t;
}
const SectorImage& fat32Template() {
    static const SectorImage t = makeBootTemplate(true);
    return t;
}
const SectorImage& mbrTemplate() {
    static const SectorImage t = makeMbrTemplate();
    return t;
}

void writeOemName(std::uint8_t* image, int major) {
    char text[16];
    std::snprintf(text, sizeof text, "ZYK%.2d.%.2d", major, 2);
    std::memcpy(image + 3, text, 8);
}

bool containsText(const std::uint8_t* field, std::size_t size, const char* text) {
    const std::string s(reinterpret_cast<const char*>(field), size);
    return s.find(text) != std::string::npos;
}

std::uint8_t mediaByte(int mediaFlag) {
    return mediaFlag == 2 ? 0xF0 : 0xF8;
}

// The error number the system's drive-geometry request leaves behind.
int systemErrorOf(const port::PortError& error) {
    switch (error.code) {
        case port::PortErrc::Ok:
            return 24;  // ERROR_BAD_LENGTH: an answer shorter than a geometry
        case port::PortErrc::NotSupported:
            return 1;  // ERROR_INVALID_FUNCTION
        case port::PortErrc::NotFound:
            return 6;  // ERROR_INVALID_HANDLE
        case port::PortErrc::AccessDenied:
            return 5;  // ERROR_ACCESS_DENIED
        case port::PortErrc::Disconnected:
            return 1167;  // ERROR_DEVICE_NOT_CONNECTED
        default:
            return 1117;  // ERROR_IO_DEVICE
    }
}

}  // namespace

// ---------------------------------------------------------------------------

void CFormatConfigFat::setVolumeLabel(const char* text) {
    volumeLabel.fill(0);
    if (text != nullptr) {
        std::strncpy(volumeLabel.data(), text, 11);
    }
    volumeLabel[11] = 0;
    writeLabel = true;
}

CDiskInterface& CFatDiskAccess::diskFor(CDeviceHandle& handle) const {
    return disk != nullptr ? *disk : CVersionFactory::instance().getDiskInterface(handle);
}

bool CFatDiskAccess::hasRawAccess() const {
    return rawAccess ? *rawAccess
                     : CPlatformFactory::instance().privilege(CPlatformFactory::PRIV_O);
}

// ---------------------------------------------------------------------------

int CMBRServices::findPartFSType(CDeviceHandle& handle, int partition,
                                 const CFatDiskAccess& access) {
    if (!access.hasRawAccess() || partition < 0 || partition > 3) {
        return 0;
    }
    SectorImage table{};
    if (access.diskFor(handle).readSectors(handle, table.data(), 0, 1) != STATUS_OK) {
        NORK_LOG(LOG_ERROR, "CMBRServices::findPartFSType - read MBR from device failed");
        return 0;
    }
    switch (table[kEntryBase + kEntrySize * partition + 4]) {
        case 0x01:
        case 0x04:
        case 0x06:
        case 0x0E:
            NORK_LOG(LOG_INFO, "CMBRServices::findPartFSType - read FS type FAT from device");
            return 1;
        case 0x0B:
            NORK_LOG(LOG_INFO, "CMBRServices::findPartFSType - read FS type FAT32 from device");
            return 2;
        default:
            return 0;
    }
}

bool CMBRServices::isEntryValid(const SectorImage& table, int partition) {
    if (partition < 0 || partition > 3) {
        return false;
    }
    const std::uint8_t* e = table.data() + kEntryBase + kEntrySize * partition;
    return e[5] != 0 && (e[0] == 0 || e[0] == 0x80);
}

std::uint32_t CMBRServices::entryFirstSector(const SectorImage& table, int partition) {
    return get32(table.data() + kEntryBase + kEntrySize * partition + 8);
}

// ---------------------------------------------------------------------------

std::uint32_t CFatBootPart::newSerial() {
    std::minstd_rand gen(static_cast<std::uint32_t>(std::time(nullptr)) & 0xFF);
    const std::uint32_t first = gen();
    const std::uint32_t second = gen();
    return (first & 0xFFFF) | (second << 16);
}

std::uint32_t CFatBootPart::volumeSerial() const {
    return get32(m_image.data() + serialOffset());
}

bool CFatBootPart::getVolumeLabel(std::uint8_t out[11]) const {
    std::memcpy(out, m_image.data() + labelOffset(), 11);
    return out[0] != 0;
}

bool CFatBootPart::setVolumeLabel(const char* text) {
    std::uint8_t* field = m_image.data() + labelOffset();
    std::memset(field, 0, 11);
    if (text == nullptr || *text == '\0') {
        return false;
    }
    // Padded with spaces: a label with zeros inside its 11 characters is
    // refused (and removed) by the usual file-system checkers.
    std::memset(field, ' ', 11);
    for (std::size_t i = 0; i < 11 && text[i] != '\0'; ++i) {
        field[i] = static_cast<std::uint8_t>(text[i]);
    }
    return true;
}

STATUS CFat1216BootPart::read(CDeviceHandle& handle, CDiskInterface& disk, std::uint32_t lba) {
    return disk.readSectors(handle, m_image.data(), lba, 1);
}

STATUS CFat1216BootPart::write(CDeviceHandle& handle, CDiskInterface& disk, std::uint32_t lba) {
    return disk.writeSectors(handle, m_image.data(), lba, 1);
}

const SectorImage& CFat1216BootPart::templateImage() const {
    return fat1216Template();
}

void CFat1216BootPart::getLayout(std::uint32_t& hidden, std::uint32_t& reserved,
                                 std::uint32_t& fatSectors, std::uint32_t& total) const {
    hidden = get32(m_image.data() + 28);
    reserved = get16(m_image.data() + 14);
    fatSectors = get16(m_image.data() + 22);
    total = get16(m_image.data() + 19);
    if (total == 0) {
        total = get32(m_image.data() + 32);
    }
}

bool CFat1216BootPart::isValid() const {
    return containsText(m_image.data() + 54, 8, "16") || containsText(m_image.data() + 54, 8, "12");
}

void CFat1216BootPart::build(bool keep, int bits, std::uint8_t sectorsPerCluster,
                             std::uint32_t fatSectors, std::uint32_t totalSectors,
                             std::uint16_t sectorsPerTrack, std::uint8_t heads,
                             std::uint32_t hidden, const char* label, int mediaFlag) {
    std::uint8_t* b = m_image.data();
    if (!keep) {
        b[0] = 0xEB;
        b[1] = 0x3C;
        b[2] = 0x90;
        writeOemName(b, 1);
        b[21] = mediaByte(mediaFlag);
        b[36] = mediaFlag == 2 ? 0 : 0x80;
        b[37] = 0;
        b[38] = 0x29;
    }
    put16(b + 11, 512);
    b[13] = sectorsPerCluster;
    put16(b + 14, 1);
    b[16] = 2;
    put16(b + 17, 512);
    put16(b + 19, totalSectors <= 65535 ? totalSectors : 0);
    put16(b + 22, fatSectors);
    put16(b + 24, sectorsPerTrack);
    put16(b + 26, heads);
    put32(b + 28, hidden);
    put32(b + 32, totalSectors > 65535 ? totalSectors : 0);
    put32(b + 39, newSerial());
    setVolumeLabel(label);
    char type[16];
    std::snprintf(type, sizeof type, "FAT%d   ", bits);
    std::memcpy(b + 54, type, 8);
    b[510] = 0x55;
    b[511] = 0xAA;
}

STATUS CFat32BootPart::read(CDeviceHandle& handle, CDiskInterface& disk, std::uint32_t lba) {
    STATUS status = disk.readSectors(handle, m_image.data(), lba, 1);
    if (status != STATUS_OK) {
        return status;
    }
    status = disk.readSectors(handle, m_fsInfo.data(), lba + get16(m_image.data() + 48), 1);
    if (status != STATUS_OK) {
        return status;
    }
    return disk.readSectors(handle, m_third.data(), lba + 2, 1);
}

STATUS CFat32BootPart::write(CDeviceHandle& handle, CDiskInterface& disk, std::uint32_t lba) {
    const std::uint32_t info = get16(m_image.data() + 48);
    const std::uint32_t backup = get16(m_image.data() + 50);
    std::vector<std::uint32_t> starts = {lba};
    if (backup != 0) {
        starts.push_back(lba + backup);
    }
    for (std::uint32_t at : starts) {
        for (const auto& [sector, image] :
             {std::pair{at, &m_image}, std::pair{at + info, &m_fsInfo},
              std::pair{at + info + 1, &m_third}}) {
            const STATUS status = disk.writeSectors(handle, image->data(), sector, 1);
            if (status != STATUS_OK) {
                return status;
            }
        }
    }
    return STATUS_OK;
}

const SectorImage& CFat32BootPart::templateImage() const {
    return fat32Template();
}

void CFat32BootPart::getLayout(std::uint32_t& hidden, std::uint32_t& reserved,
                               std::uint32_t& fatSectors, std::uint32_t& total) const {
    hidden = get32(m_image.data() + 28);
    reserved = get16(m_image.data() + 14);
    fatSectors = get32(m_image.data() + 36);
    total = get32(m_image.data() + 32);
}

bool CFat32BootPart::isValid() const {
    return containsText(m_image.data() + 82, 8, "32");
}

void CFat32BootPart::build(bool keep, int, std::uint8_t sectorsPerCluster, std::uint32_t fatSectors,
                           std::uint32_t totalSectors, std::uint16_t sectorsPerTrack,
                           std::uint8_t heads, std::uint32_t hidden, const char* label,
                           int mediaFlag) {
    std::uint8_t* b = m_image.data();
    if (!keep) {
        writeOemName(b, 2);
        b[21] = mediaByte(mediaFlag);
        b[64] = mediaFlag == 2 ? 0 : 0x80;
        b[65] = 0;
        b[66] = 0x29;
    }
    put16(b + 11, 512);
    b[13] = sectorsPerCluster;
    put16(b + 14, 32);
    b[16] = 2;
    put16(b + 17, 0);
    put16(b + 19, 0);
    put16(b + 22, 0);
    put16(b + 24, sectorsPerTrack);
    put16(b + 26, heads);
    put32(b + 28, hidden);
    put32(b + 32, totalSectors);
    put32(b + 36, fatSectors);
    put16(b + 40, 0);
    put16(b + 42, 0);
    put32(b + 44, 2);
    put16(b + 48, 1);
    put16(b + 50, 6);
    std::memset(b + 52, 0, 12);
    put32(b + 67, newSerial());
    setVolumeLabel(label);
    std::memcpy(b + 82, "FAT32   ", 8);
    b[510] = 0x55;
    b[511] = 0xAA;

    m_fsInfo.fill(0);
    put32(m_fsInfo.data(), 0x41615252);
    put32(m_fsInfo.data() + 484, 0x61417272);
    put32(m_fsInfo.data() + 488, 0xFFFFFFFF);
    put32(m_fsInfo.data() + 492, 2);
    put32(m_fsInfo.data() + 508, 0xAA550000);
    m_third.fill(0);
    m_third[510] = 0x55;
    m_third[511] = 0xAA;
}

// ---------------------------------------------------------------------------

CFatServices::CFatServices(CDeviceHandle& handle, CFatDiskAccess access)
    : m_handle(handle), m_access(access) {}

CFatServices::~CFatServices() = default;

CFatServices* CFatServices::createFatServices(CDeviceHandle& handle, int requestedType,
                                              int partition, const CFatDiskAccess& access) {
    int type = requestedType;
    if (type == 0) {
        CDiskInterface& disk = access.diskFor(handle);
        type = CMBRServices::findPartFSType(handle, partition, access);
        if (type != 0) {
            const std::uint32_t sectors = disk.getSectorCount(handle);
            if (type == 2 && sectors < 65527) {
                NORK_LOG(LOG_INFO,
                         "CFatServices::createFatServices - file system type set to FAT because "
                         "number of sectors: %d < 65527",
                         static_cast<int>(sectors));
                type = 1;
            } else if (type == 1 && sectors > 4194304) {
                NORK_LOG(LOG_INFO,
                         "CFatServices::createFatServices - the file system type set to FAT32 "
                         "because number of sectors: %d > 4194304",
                         static_cast<int>(sectors));
                type = 2;
            }
        } else {
            const std::uint64_t kb = disk.getCapacityKB(handle);
            if (kb == 0) {
                type = 0;
            } else {
                type = kb * 2 > 2097152 ? 2 : 1;
            }
            NORK_LOG(LOG_INFO,
                     "CFatServices::createFatServices - detect FS type %s according to device size",
                     type == 2 ? "FAT32" : "FAT");
        }
    }
    if (type == 1) {
        return new CFat1216Services(handle, access);
    }
    if (type == 2) {
        return new CFat32Services(handle, access);
    }
    return nullptr;
}

STATUS CFatServices::prepare(int partition) {
    m_table.fill(0);
    CDiskInterface& disk = m_access.diskFor(m_handle);
    if (m_access.hasRawAccess()) {
        (void)disk.readSectors(m_handle, m_table.data(), 0, 1);
    }
    auto& part = m_bootParts[partition];
    part.reset(createBootPart());
    if (!CMBRServices::isEntryValid(m_table, partition)) {
        return STATUS_WRONG_PARAMETERS;
    }
    (void)part->read(m_handle, disk, CMBRServices::entryFirstSector(m_table, partition));
    if (!part->isValid()) {
        return STATUS_WRONG_PARAMETERS;
    }
    const std::uint8_t* code = part->bootCode();
    if (code[0] == 0 && code[1] == 0 && code[2] == 0) {
        return STATUS_WRONG_PARAMETERS;
    }
    return STATUS_OK;
}

bool CFatServices::queryDriveGeometry(std::uint32_t& heads, std::uint64_t& cylinders,
                                      std::uint32_t& sectorsPerTrack, int& lastError) {
    port::DeviceControlRequest request;
    request.controlCode = port::IOCTL_DISK_GET_DRIVE_GEOMETRY;
    request.output.resize(port::DISK_GEOMETRY_SIZE);
    const port::PortError error = port::deviceIo().control(m_handle.handle(), request);
    if (error || request.bytesReturned < port::DISK_GEOMETRY_SIZE ||
        request.output.size() < port::DISK_GEOMETRY_SIZE) {
        lastError = systemErrorOf(error);
        NORK_LOG(LOG_ERROR,
                 "CFatServices::queryDriveGeometry - %s, %u bytes answered (system error %d)",
                 port::portErrcName(error.code), static_cast<unsigned>(request.bytesReturned),
                 error.sysErrno);
        return false;
    }
    const port::DiskGeometry geometry = port::decodeDiskGeometry(request.output.data());
    heads = geometry.tracksPerCylinder;
    cylinders = geometry.cylinders < 0 ? 0 : static_cast<std::uint64_t>(geometry.cylinders);
    sectorsPerTrack = geometry.sectorsPerTrack;
    return true;
}

std::uint32_t CFatServices::sectorsPerFat(std::uint32_t volumeSectors, int bits,
                                          std::uint8_t sectorsPerCluster) {
    if (volumeSectors <= 33 || sectorsPerCluster == 0) {
        return 0;
    }
    bool overflow = false;
    const auto fatSectors = [&](std::int64_t n) -> std::int64_t {
        const std::int64_t entries = n / sectorsPerCluster + 2;
        const std::int64_t value = (bits * entries + 4095) / 4096;
        if (value > 0xFFFF) {
            overflow = true;
        }
        return value & 0xFFFF;
    };
    const std::int64_t a = static_cast<std::int64_t>(volumeSectors) - 33;
    std::int64_t f = fatSectors(a);
    std::int64_t data = a - 2 * f;
    for (int round = 0; round < 1000; ++round) {
        f = fatSectors(data);
        const std::int64_t e = data + 2 * f;
        if (e != a) {
            data += a - e;
        }
        if (e >= a) {
            break;
        }
    }
    // A FAT that does not fit the 16 bits would be written truncated: a
    // volume whose clusters run past its FAT.
    return overflow ? 0 : static_cast<std::uint32_t>(f);
}

void CFatServices::volumeParameters(std::uint32_t sectors, int& bits,
                                    std::uint8_t& sectorsPerCluster) const {
    fatParameters(sectors, bits, sectorsPerCluster);
    if (bits != 12) {
        return;
    }
    const std::uint32_t fatSectors = sectorsPerFat(sectors, 12, sectorsPerCluster);
    if (sectors > 33 + 2 * fatSectors &&
        (sectors - 33 - 2 * fatSectors) / sectorsPerCluster > 4084) {
        bits = 16;
    }
}

void CFatServices::fillEntry(int partition, bool active, std::uint32_t volumeSectors,
                             std::uint32_t totalSectors, std::uint8_t sectorsPerTrack,
                             std::uint8_t heads, std::uint32_t hidden, std::uint8_t type) {
    std::uint8_t* e = m_table.data() + kEntryBase + kEntrySize * partition;
    std::uint32_t q = totalSectors / heads;
    if (q == 0) {
        q = 1;
    }
    e[0] = active ? 0x80 : 0;
    e[1] = static_cast<std::uint8_t>(hidden / q + 1);
    e[2] = 1;
    e[3] = 0;
    e[4] = type;
    e[5] = static_cast<std::uint8_t>(volumeSectors / q);
    const std::uint32_t y = (totalSectors / heads) / sectorsPerTrack - 1;
    e[7] = static_cast<std::uint8_t>(y & 0xFF);
    e[6] = static_cast<std::uint8_t>(sectorsPerTrack | ((y >> 2) & 0xC0));
    put32(e + 8, hidden != 0 ? hidden : sectorsPerTrack);
    put32(e + 12, hidden != 0 ? volumeSectors : volumeSectors - sectorsPerTrack);
    m_table[510] = 0x55;
    m_table[511] = 0xAA;
}

STATUS CFatServices::format(CFormatConfig& config, CProgressCallback* progress, int partition) {
    CProgressCallbackSafeProxy proxy(progress);
    try {
        return formatImpl(config, proxy, partition);
    } catch (const std::exception& e) {
        NORK_LOG(LOG_ERROR, "CFatServices::format - failed: %s", e.what());
    } catch (...) {
        NORK_LOG(LOG_ERROR, "CFatServices::format - failed");
    }
    return STATUS_FORMAT_FAILURE;
}

STATUS CFatServices::formatImpl(CFormatConfig& config, CProgressCallback& progress, int partition) {
    if (partition < 0 || partition > 3) {
        return STATUS_WRONG_PARAMETERS;
    }
    CDiskInterface& disk = m_access.diskFor(m_handle);
    auto* fatConfig = dynamic_cast<CFormatConfigFat*>(&config);
    const bool noTable = fatConfig != nullptr && fatConfig->noPartitionTable;
    const char* label = fatConfig != nullptr ? fatConfig->volumeLabel.data() : "";

    bool keep = config.keepExisting;
    const STATUS prepared = prepare(partition);
    CFatBootPart& part = *m_bootParts[partition];
    if (prepared != STATUS_OK || !keep) {
        keep = false;
        if (config.useMbrImage) {
            m_table = config.mbrImage;
        } else {
            std::memcpy(m_table.data(), mbrCodeTemplate().data(), kEntryBase);
        }
        if (config.useBootImage) {
            part.setImage(config.bootImage);
            keep = true;
        } else {
            part.setImage(part.templateImage());
        }
    }

    std::uint32_t total = disk.getSectorCount(m_handle);
    if (total == 0) {
        return STATUS_COMMUNICATION_FAILURE;
    }
    std::uint8_t spt = 0;
    std::uint16_t cylinders = 0;
    std::uint8_t heads = 0;
    const STATUS geometry = disk.getGeometry(m_handle, spt, cylinders, heads);
    if (geometry != STATUS_OK) {
        return geometry;
    }
    if (spt != 0 || cylinders != 0) {
        if (cylinders == 0) {
            if (heads == 0) {
                NORK_LOG(LOG_ERROR, "CFatServices::format - the drive reports 0 heads");
                return STATUS_WRONG_PARAMETERS;
            }
            while (total / spt / heads >= 4096 && heads != 255) {
                ++heads;
            }
            total -= total % (static_cast<std::uint32_t>(spt) * heads);
        }
    } else {
        std::uint32_t h = 0;
        std::uint64_t c = 0;
        std::uint32_t s = 0;
        int lastError = 0;
        if (!queryDriveGeometry(h, c, s, lastError)) {
            NORK_LOG(LOG_ERROR, "IOCTL_DISK_GET_DRIVE_GEOMETRY failed, LE=%U",
                     static_cast<unsigned>(lastError));
            return STATUS_FORMAT_FAILURE;
        }
        if (h > 255 || c > 1023 || s > 63) {
            h = 255;
            c = 1023;
            s = 63;
        }
        heads = static_cast<std::uint8_t>(h);
        cylinders = static_cast<std::uint16_t>(c);
        spt = static_cast<std::uint8_t>(s);
        NORK_LOG(LOG_INFO,
                 "IOCTL_DISK_GET_DRIVE_GEOMETRY results: head=%u wTrackPerHead=%u "
                 "tmpSectorPerTrack=%u",
                 static_cast<unsigned>(heads), static_cast<unsigned>(cylinders),
                 static_cast<unsigned>(spt));
    }
    std::uint16_t spt16 = spt;
    if (config.useGeometry) {
        heads = config.heads;
        spt16 = config.sectorsPerTrack;
    }

    std::uint32_t hidden = 0;
    std::uint32_t volume = total;
    if (!noTable) {
        // The entry divides by both; a geometry without them has no
        // cylinder-head-sector form.
        if (heads == 0 || (spt16 & 0xFF) == 0 || spt16 >= total) {
            NORK_LOG(LOG_ERROR,
                     "CFatServices::format - unusable geometry: heads=%u sectors per track=%u",
                     static_cast<unsigned>(heads), static_cast<unsigned>(spt16));
            return STATUS_WRONG_PARAMETERS;
        }
        hidden = spt16;
        volume = total - hidden;
        const std::uint8_t type = partitionType(volume);
        for (int i = 0; i < 4; ++i) {
            std::memset(m_table.data() + kEntryBase + kEntrySize * i, 0, kEntrySize);
        }
        fillEntry(partition, config.active, volume, total, static_cast<std::uint8_t>(spt16), heads,
                  hidden, type);
    }

    int bits = 0;
    std::uint8_t spc = 0;
    volumeParameters(volume, bits, spc);
    std::uint32_t fatSectors = sectorsPerFat(volume, bits, spc);
    // Room for both FATs, the root directory and at least one cluster.
    if (fatSectors == 0 ||
        static_cast<std::uint64_t>(2) * fatSectors + 33 + (bits == 32 ? 31 + spc : spc) > volume) {
        NORK_LOG(LOG_ERROR, "CFatServices::format - no FAT%d layout fits %u sectors", bits,
                 static_cast<unsigned>(volume));
        return STATUS_WRONG_PARAMETERS;
    }
    // The sizing above keeps 33 sectors out for both kinds, while FAT32
    // keeps 32 (its root is a cluster): with one sector per cluster the FAT
    // can come out one entry short of the clusters it must map. Grow it
    // until it covers them all.
    const std::uint32_t outside = bits == 32 ? 32 : 33;
    const auto clusters = [&] {
        return (volume - outside - 2 * static_cast<std::uint64_t>(fatSectors)) / spc;
    };
    while (static_cast<std::uint64_t>(fatSectors) * 4096 / bits < clusters() + 2) {
        ++fatSectors;
    }
    // More clusters than 16-bit tables may hold make no FAT16 volume.
    if (bits == 16 && clusters() > 65524) {
        NORK_LOG(LOG_ERROR, "CFatServices::format - %u sectors are too many for FAT16",
                 static_cast<unsigned>(volume));
        return STATUS_WRONG_PARAMETERS;
    }

    const int mediaFlag = noTable ? 2 : 0;
    part.build(keep, bits, spc, fatSectors, volume, spt16, heads, hidden, label, mediaFlag);

    try {
        config.onImagesReady(m_table, part.image());
    } catch (...) {
        NORK_LOG(LOG_WARNING, "CFatServices::format - onImagesReady threw; ignored");
    }

    if (!noTable && disk.writeSectors(m_handle, m_table.data(), 0, 1) != STATUS_OK) {
        return STATUS_FORMAT_FAILURE;
    }
    if (writeFileSystem(config, progress, partition, mediaFlag) != STATUS_OK) {
        return STATUS_FORMAT_FAILURE;
    }
    return STATUS_OK;
}

STATUS CFatServices::writeFileSystem(CFormatConfig& config, CProgressCallback& progress,
                                     int partition, int mediaFlag) {
    CDiskInterface& disk = m_access.diskFor(m_handle);
    CFatBootPart& part = *m_bootParts[partition];
    std::uint32_t hidden = 0;
    std::uint32_t reserved = 0;
    std::uint32_t fatSectors = 0;
    std::uint32_t total = 0;
    part.getLayout(hidden, reserved, fatSectors, total);
    // A boot sector that did not reach the drive leaves no file system, so
    // its failure counts like every other write's.
    STATUS status = part.write(m_handle, disk, hidden);
    if (status != STATUS_OK) {
        return status;
    }

    int bits = 0;
    std::uint8_t spc = 0;
    volumeParameters(total, bits, spc);
    SectorImage head{};
    fatHead(head.data(), bits, mediaFlag);
    const std::uint32_t fat1 = hidden + reserved;
    const std::uint32_t fat2 = fat1 + fatSectors;
    const std::uint32_t root = fat1 + 2 * fatSectors;
    for (std::uint32_t at : {fat1, fat2}) {
        status = disk.writeSectors(m_handle, head.data(), at, 1);
        if (status != STATUS_OK) {
            return status;
        }
    }

    auto* fatConfig = dynamic_cast<CFormatConfigFat*>(&config);
    const bool writeLabel = fatConfig == nullptr || fatConfig->writeLabel;
    SectorImage labelSector{};
    if (writeLabel) {
        if (fatConfig != nullptr && fatConfig->volumeLabel[0] != 0) {
            std::memset(labelSector.data(), ' ', 11);
            for (std::size_t i = 0; i < 11 && fatConfig->volumeLabel[i] != 0; ++i) {
                labelSector[i] = static_cast<std::uint8_t>(fatConfig->volumeLabel[i]);
            }
        }
        labelSector[11] = 0x08;
    }

    bool reported100 = false;
    bool labelWritten = false;
    if (m_access.hasRawAccess()) {
        static const std::vector<std::uint8_t> zeros(64 * 512, 0);
        const double work = fatSectors + 34.0;
        std::uint32_t done = 0;
        std::uint32_t remaining = fatSectors - 1;
        while (remaining > 0) {
            const std::uint32_t n = remaining > 63 ? 64 : remaining;
            for (std::uint32_t at : {fat1 + 1 + done, fat2 + 1 + done}) {
                status =
                    disk.writeSectors(m_handle, zeros.data(), at, static_cast<std::uint8_t>(n));
                if (status != STATUS_OK) {
                    return status;
                }
            }
            const auto percent = static_cast<std::uint32_t>(done / work * 100);
            reported100 = reported100 || percent >= 100;
            progress.onProgress(percent);
            done += n;
            remaining -= n;
        }
        // The label entry goes out with the cleared root directory rather
        // than rewriting its sector afterwards: the same bytes on the drive,
        // one sector fewer written.
        std::vector<std::uint8_t> rootSectors(zeros.begin(), zeros.begin() + 32 * 512);
        if (writeLabel) {
            std::memcpy(rootSectors.data(), labelSector.data(), labelSector.size());
        }
        status = disk.writeSectors(m_handle, rootSectors.data(), root, 32);
        if (status != STATUS_OK) {
            return status;
        }
        labelWritten = writeLabel;
        const auto percent = static_cast<std::uint32_t>((done + 32) / work * 100);
        reported100 = reported100 || percent >= 100;
        progress.onProgress(percent);
    }

    if (writeLabel && !labelWritten) {
        status = disk.writeSectors(m_handle, labelSector.data(), root, 1);
        if (status != STATUS_OK) {
            return status;
        }
    }
    if (!reported100) {
        progress.onProgress(100);
    }
    return STATUS_OK;
}

STATUS CFatServices::refreshPartitionForVista() {
    if (CMBRServices::findPartFSType(m_handle, 0, m_access) == 0) {
        return STATUS_OK_ALREADY_IN_STATE;  // 1: nothing to refresh
    }
    const STATUS prepared = prepare(0);
    if (prepared != STATUS_OK) {
        return prepared;
    }
    if (!CMBRServices::isEntryValid(m_table, 0)) {
        return STATUS_WRONG_PARAMETERS;
    }
    CDiskInterface& disk = m_access.diskFor(m_handle);
    const std::uint32_t start = CMBRServices::entryFirstSector(m_table, 0);
    const std::uint32_t sectors = disk.getSectorCount(m_handle);
    // A start at 0 has nothing below it, and one past the drive's end would
    // be carried into the table: neither is moved.
    if (start == 0 || (sectors != 0 && start > sectors)) {
        return STATUS_ERROR;
    }
    // Sector 0 holds the table itself: zeroing it would lose the table
    // when the refresh then fails, so the search stops above it.
    static const SectorImage zero{};
    std::uint32_t written = start;
    for (std::uint32_t at = start - 1; at >= 1; --at) {
        if (disk.writeSectors(m_handle, zero.data(), at, 1) == STATUS_OK) {
            written = at;
            break;
        }
    }
    if (written == start) {
        return STATUS_ERROR;
    }
    put32(m_table.data() + kEntryBase + 8, written);
    return disk.writeSectors(m_handle, m_table.data(), 0, 1);
}

// ---------------------------------------------------------------------------

const SectorImage& CFat1216Services::mbrCodeTemplate() const {
    return mbrTemplate();
}

std::uint8_t CFat1216Services::partitionType(std::uint32_t sectors) const {
    if (sectors < 32680) {
        return 0x01;
    }
    if (sectors <= 65535) {
        return 0x04;
    }
    if (sectors <= 262140) {
        return 0x06;
    }
    return 0x0E;
}

void CFat1216Services::fatHead(std::uint8_t* buffer, int bits, int mediaFlag) const {
    buffer[0] = mediaByte(mediaFlag);
    buffer[1] = 0xFF;
    buffer[2] = 0xFF;
    if (bits == 16) {
        buffer[3] = 0xFF;
    }
}

void CFat1216Services::fatParameters(std::uint32_t sectors, int& bits,
                                     std::uint8_t& sectorsPerCluster) const {
    bits = sectors <= 32768 ? 12 : 16;
    static constexpr std::pair<std::uint32_t, std::uint8_t> kSteps[] = {
        {16384, 4},  {32768, 8},  {65536, 1},    {131072, 2},
        {262144, 4}, {524288, 8}, {1048576, 16}, {2097152, 32},
    };
    for (const auto& [limit, spc] : kSteps) {
        if (sectors <= limit) {
            sectorsPerCluster = spc;
            return;
        }
    }
    sectorsPerCluster = 64;
}

const SectorImage& CFat32Services::mbrCodeTemplate() const {
    return mbrTemplate();
}

void CFat32Services::fatHead(std::uint8_t* buffer, int, int mediaFlag) const {
    static constexpr std::uint8_t kRest[] = {0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF,
                                             0xFF, 0xFF, 0xFF, 0xFF, 0x0F};
    buffer[0] = mediaByte(mediaFlag);
    std::memcpy(buffer + 1, kRest, sizeof kRest);
}

void CFat32Services::fatParameters(std::uint32_t sectors, int& bits,
                                   std::uint8_t& sectorsPerCluster) const {
    bits = 32;
    if (sectors <= 532479) {
        sectorsPerCluster = 1;
    } else if (sectors <= 16777215) {
        sectorsPerCluster = 8;
    } else if (sectors <= 33554431) {
        sectorsPerCluster = 16;
    } else if (sectors <= 67108863) {
        sectorsPerCluster = 32;
    } else {
        sectorsPerCluster = 64;
    }
}

}  // namespace nork
