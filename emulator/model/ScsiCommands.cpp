// The standard SCSI commands the host sends, answered from the drive model.
#include <algorithm>
#include <cstring>
#include <string>

#include "model/DriveCore.h"
#include "model/Volumes.h"
#include "qz/DriveProtocol.h"

namespace qzemu {

namespace proto = nork::proto;

namespace {

// The identity an ordinary USB disk of another vendor shows in plain-disk mode.
constexpr const char* PLAIN_VENDOR = "Generic";
constexpr const char* PLAIN_PRODUCT = "USB Flash Disk";
constexpr const char* PLAIN_REVISION = "1.00";

constexpr std::uint8_t INQUIRY_NO_UNIT = 0x7F;  // qualifier 3, type 0x1F
constexpr std::uint8_t INQUIRY_REMOVABLE = 0x80;
constexpr std::uint8_t INQUIRY_VERSION_SPC2 = 0x04;
constexpr std::uint8_t INQUIRY_RESPONSE_FORMAT = 0x02;
constexpr std::uint8_t VPD_SUPPORTED_PAGES = 0x00;
constexpr std::uint8_t VPD_UNIT_SERIAL = 0x80;

constexpr std::uint8_t MODE_PAGE_ALL = 0x3F;
constexpr std::uint8_t MODE_PAGE5_LENGTH = 0x1E;
constexpr std::uint8_t MODE_WRITE_PROTECT = 0x80;

// Geometry reported for every LUN: 255 heads and 63 sectors per track, as the
// host's formatter expects of flash drives; cylinders = what fits, at most
// 65535.
constexpr std::uint8_t GEOMETRY_HEADS = 255;
constexpr std::uint8_t GEOMETRY_SECTORS_PER_TRACK = 63;
constexpr std::uint8_t PRIVATE_GEOMETRY_HEADS = 6;

void putText(std::vector<std::uint8_t>& data, std::size_t offset, std::size_t width,
             const std::string& text, std::uint8_t pad) {
    for (std::size_t i = 0; i < width; ++i) {
        data[offset + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : pad;
    }
}

bool cdbTooShort(const ScsiRequest& r, std::size_t needed) {
    return r.cdb.size() < needed;
}

ScsiReply inquiry(DriveCore& drive, const ScsiRequest& r, std::uint8_t lun) {
    if (cdbTooShort(r, 6))
        return checkCondition(sense::INVALID_FIELD);
    const std::uint32_t alloc = proto::getBE16(&r.cdb[3]);
    const std::uint32_t limit = std::min(alloc, r.transferLength);
    const Domain* domain = drive.table().domainOfLun(lun);
    const std::uint8_t type =
        !domain ? INQUIRY_NO_UNIT
                : (domain->type == proto::DOMAIN_WIRE_TYPE_CD ? proto::INQUIRY_TYPE_CDROM
                                                              : proto::INQUIRY_TYPE_DISK);

    if (r.cdb[1] & 0x01) {  // vital product data
        std::vector<std::uint8_t> page(4, 0);
        page[0] = type;
        page[1] = r.cdb[2];
        if (r.cdb[2] == VPD_SUPPORTED_PAGES) {
            page.push_back(VPD_SUPPORTED_PAGES);
            page.push_back(VPD_UNIT_SERIAL);
        } else if (r.cdb[2] == VPD_UNIT_SERIAL) {
            const std::string& serial = drive.identity().serial;
            page.insert(page.end(), serial.begin(), serial.end());
        } else {
            return checkCondition(sense::INVALID_FIELD);
        }
        page[3] = static_cast<std::uint8_t>(page.size() - 4);
        return goodReply(std::move(page), limit);
    }
    if (r.cdb[2] != 0)
        return checkCondition(sense::INVALID_FIELD);

    const bool plain = drive.mode() == DriveMode::PlainDisk;
    std::vector<std::uint8_t> data(proto::INQUIRY_DATA_SIZE, 0);
    data[0] = type;
    data[1] = INQUIRY_REMOVABLE;
    data[2] = INQUIRY_VERSION_SPC2;
    data[3] = INQUIRY_RESPONSE_FORMAT;
    data[4] = static_cast<std::uint8_t>(data.size() - 5);
    putText(data, proto::INQUIRY_VENDOR_OFFSET, 8, plain ? PLAIN_VENDOR : drive.identity().vendor,
            ' ');
    putText(data, proto::INQUIRY_PRODUCT_OFFSET, 16,
            plain ? PLAIN_PRODUCT : drive.identity().product, ' ');
    putText(data, proto::INQUIRY_REVISION_OFFSET, 4,
            plain ? PLAIN_REVISION : drive.identity().revision, ' ');
    return goodReply(std::move(data), limit);
}

ScsiReply requestSense(DriveCore& drive, const ScsiRequest& r, std::uint8_t lun) {
    if (cdbTooShort(r, 6))
        return checkCondition(sense::INVALID_FIELD);
    const std::uint32_t limit = std::min<std::uint32_t>(r.cdb[4], r.transferLength);
    // Any REQUEST SENSE ends the sense a failed command left, even when a
    // condition of higher rank is reported instead.
    const auto pending = drive.takePendingSense(lun);
    Sense s = sense::NONE;
    if (!drive.table().domainOfLun(lun)) {
        s = sense::LUN_NOT_SUPPORTED;
    } else if (drive.bus() == BusState::Attaching) {
        s = sense::BECOMING_READY;
    } else if (drive.takeUnitAttention(lun)) {
        s = sense::RESET_OCCURRED;
    } else if (pending) {
        s = *pending;
    }
    auto bytes = senseBytes(s);
    return goodReply(
        std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + proto::REQUEST_SENSE_DATA_SIZE),
        limit);
}

// Common gate of the commands that need a ready unit.
const Domain* readyUnit(DriveCore& drive, std::uint8_t lun, ScsiReply& failure) {
    const Domain* domain = drive.table().domainOfLun(lun);
    if (!domain) {
        failure = checkCondition(sense::LUN_NOT_SUPPORTED);
        return nullptr;
    }
    if (drive.bus() == BusState::Attaching) {
        failure = checkCondition(sense::BECOMING_READY);
        return nullptr;
    }
    return domain;
}

// The gate of the commands that reach the medium. A domain that is all
// private area has no sectors to show until a login (the unit itself stays
// ready, so the host keeps the drive and can log in).
const Domain* mediumUnit(DriveCore& drive, std::uint8_t lun, ScsiReply& failure) {
    const Domain* domain = readyUnit(drive, lun, failure);
    if (domain && drive.lunWindow(*domain).count == 0) {
        failure = checkCondition(sense::MEDIUM_NOT_PRESENT);
        return nullptr;
    }
    return domain;
}

ScsiReply testUnitReady(DriveCore& drive, std::uint8_t lun) {
    ScsiReply failure;
    if (!readyUnit(drive, lun, failure))
        return failure;
    // Unit attention is reported by the readiness probes only (TEST UNIT
    // READY, REQUEST SENSE); data commands are not held up by it.
    if (drive.takeUnitAttention(lun))
        return checkCondition(sense::RESET_OCCURRED);
    return goodReply({}, 0);
}

ScsiReply readCapacity(DriveCore& drive, const ScsiRequest& r, std::uint8_t lun) {
    ScsiReply failure;
    const Domain* domain = mediumUnit(drive, lun, failure);
    if (!domain)
        return failure;
    std::vector<std::uint8_t> data(proto::READ_CAPACITY_DATA_SIZE, 0);
    proto::putBE32(&data[0], drive.lunWindow(*domain).count - 1);
    proto::putBE32(&data[4], proto::SECTOR_SIZE);
    return goodReply(std::move(data), r.transferLength);
}

ScsiReply modeSense10(DriveCore& drive, const ScsiRequest& r, std::uint8_t lun) {
    if (cdbTooShort(r, 10))
        return checkCondition(sense::INVALID_FIELD);
    ScsiReply failure;
    const Domain* domain = readyUnit(drive, lun, failure);
    if (!domain)
        return failure;
    const std::uint8_t page = r.cdb[2] & 0x3F;
    if (page != proto::MODE_PAGE_FLEXIBLE_DISK && page != MODE_PAGE_ALL) {
        return checkCondition(sense::INVALID_FIELD);
    }
    const std::uint32_t alloc = proto::getBE16(&r.cdb[7]);
    const bool writeProtected = (domain->flags & proto::DOMAIN_WIRE_FLAG_WRITE_PROTECTED) ||
                                domain->type == proto::DOMAIN_WIRE_TYPE_CD;
    // The private area's unit has the small geometry of the drive's private
    // disk (6 heads), so an area under one 255-head cylinder still formats.
    const std::uint8_t heads =
        drive.showsPrivateArea(*domain) ? PRIVATE_GEOMETRY_HEADS : GEOMETRY_HEADS;
    const std::uint32_t cylinders = std::min<std::uint32_t>(
        drive.lunWindow(*domain).count / (heads * GEOMETRY_SECTORS_PER_TRACK), 0xFFFF);

    std::vector<std::uint8_t> data(8 + 2 + MODE_PAGE5_LENGTH, 0);
    proto::putBE16(&data[0], static_cast<std::uint16_t>(data.size() - 2));  // mode data length
    data[3] = writeProtected ? MODE_WRITE_PROTECT : 0;
    // No block descriptors: page 5 follows the 8-byte header.
    data[8] = proto::MODE_PAGE_FLEXIBLE_DISK;
    data[9] = MODE_PAGE5_LENGTH;
    data[proto::MODE_SENSE10_HEADS_OFFSET] = heads;
    data[proto::MODE_SENSE10_SECTORS_PER_TRACK_OFFSET] = GEOMETRY_SECTORS_PER_TRACK;
    proto::putBE16(&data[14], static_cast<std::uint16_t>(proto::SECTOR_SIZE));
    proto::putBE16(&data[proto::MODE_SENSE10_CYLINDERS_OFFSET],
                   static_cast<std::uint16_t>(cylinders));
    return goodReply(std::move(data), std::min(alloc, r.transferLength));
}

ScsiReply reportId(DriveCore& drive, const ScsiRequest& r) {
    if (drive.mode() == DriveMode::PlainDisk)
        return checkCondition(sense::INVALID_OPCODE);
    if (cdbTooShort(r, 10) || (r.cdb[1] & 0x1F) != proto::REPORT_ID_SERVICE_ACTION) {
        return checkCondition(sense::INVALID_FIELD);
    }
    const std::uint32_t alloc = proto::getBE32(&r.cdb[6]);
    const Identity& id = drive.identity();
    std::vector<std::uint8_t> data(proto::REPORT_ID_DATA_SIZE, 0);
    // Text fields are zero padded; the host ends each at its fixed terminator.
    putText(data, proto::REPORT_ID_VENDOR_OFFSET,
            proto::REPORT_ID_VENDOR_END - proto::REPORT_ID_VENDOR_OFFSET, id.reportVendor, 0);
    putText(data, proto::REPORT_ID_PRODUCT_OFFSET,
            proto::REPORT_ID_PRODUCT_END - proto::REPORT_ID_PRODUCT_OFFSET, id.reportProduct, 0);
    putText(data, proto::REPORT_ID_SERIAL_OFFSET,
            proto::REPORT_ID_SERIAL_END - proto::REPORT_ID_SERIAL_OFFSET, id.serial, 0);
    putText(data, proto::REPORT_ID_FIRMWARE_OFFSET, id.firmware.size(), id.firmware, 0);
    const std::size_t used = proto::REPORT_ID_FIRMWARE_OFFSET + id.firmware.size() + 1;
    proto::putBE32(&data[0], static_cast<std::uint32_t>(used - 4));  // length after the header
    return goodReply(std::move(data), std::min(alloc, r.transferLength));
}

struct Extent {
    const Domain* domain;
    std::uint32_t lba;
    std::uint32_t count;
    std::uint32_t first;  // flash sector of LBA 0 as the LUN shows it now
};

// Decodes and checks a READ(10)/WRITE(10); none with the failure set.
std::optional<Extent> extentOf(DriveCore& drive, const ScsiRequest& r, std::uint8_t lun,
                               ScsiReply& failure) {
    if (cdbTooShort(r, 10)) {
        failure = checkCondition(sense::INVALID_FIELD);
        return std::nullopt;
    }
    const Domain* domain = mediumUnit(drive, lun, failure);
    if (!domain)
        return std::nullopt;
    const LunWindow window = drive.lunWindow(*domain);
    Extent e{domain, proto::getBE32(&r.cdb[2]), proto::getBE16(&r.cdb[7]), window.first};
    if (static_cast<std::uint64_t>(e.lba) + e.count > window.count) {
        failure = checkCondition(sense::LBA_OUT_OF_RANGE);
        return std::nullopt;
    }
    return e;
}

ScsiReply read10(DriveCore& drive, const ScsiRequest& r, std::uint8_t lun) {
    ScsiReply failure;
    auto e = extentOf(drive, r, lun, failure);
    if (!e)
        return failure;
    std::vector<std::uint8_t> data(static_cast<std::size_t>(e->count) * proto::SECTOR_SIZE);
    if (!drive.image().read(e->first + e->lba, e->count, data.data())) {
        return checkCondition(sense::MEDIUM_READ_ERROR);
    }
    return goodReply(std::move(data), r.transferLength);
}

ScsiReply write10(DriveCore& drive, const ScsiRequest& r, std::uint8_t lun) {
    ScsiReply failure;
    auto e = extentOf(drive, r, lun, failure);
    if (!e)
        return failure;
    if ((e->domain->flags & proto::DOMAIN_WIRE_FLAG_WRITE_PROTECTED) ||
        e->domain->type == proto::DOMAIN_WIRE_TYPE_CD) {
        return checkCondition(sense::WRITE_PROTECTED);
    }
    if (r.dataOut.size() < static_cast<std::size_t>(e->count) * proto::SECTOR_SIZE) {
        return checkCondition(sense::INVALID_FIELD);
    }
    const std::uint32_t first = e->first + e->lba;
    if (e->count == 0)
        return goodReply({}, 0);
    // A new partition table or boot sector is a new file system: the files
    // the volume showed are gone, as they are on a real drive.
    const auto newFileSystem = [&](std::uint32_t written) {
        if (e->lba == 0 && written > 0 && e->domain->lun != proto::DOMAIN_WIRE_NO_LUN)
            emptyVolume(drive.dir(), e->domain->lun);
    };
    if (auto tear = drive.takeTear()) {
        const std::uint32_t kept = std::min(tear->keepSectors, e->count);
        drive.image().write(first, kept, r.dataOut.data());
        newFileSystem(kept);
        if (tear->thenDrop) {
            drive.unplugNow();
            return noDeviceReply();
        }
        return checkCondition(sense::MEDIUM_WRITE_ERROR);
    }
    if (!drive.image().write(first, e->count, r.dataOut.data())) {
        return checkCondition(sense::MEDIUM_WRITE_ERROR);
    }
    newFileSystem(e->count);
    return goodReply({}, 0);
}

}  // namespace

ScsiReply runScsiCommand(DriveCore& drive, const ScsiRequest& r, std::uint8_t lun) {
    switch (r.cdb[0]) {
        case proto::SCSI_INQUIRY:
            return inquiry(drive, r, lun);
        case proto::SCSI_REQUEST_SENSE:
            return requestSense(drive, r, lun);
        case proto::SCSI_TEST_UNIT_READY:
            return testUnitReady(drive, lun);
        case proto::SCSI_READ_CAPACITY10:
            return readCapacity(drive, r, lun);
        case proto::SCSI_MODE_SENSE10:
            return modeSense10(drive, r, lun);
        case proto::SCSI_REPORT_ID:
            return reportId(drive, r);
        case proto::SCSI_READ10:
            return read10(drive, r, lun);
        case proto::SCSI_WRITE10:
            return write10(drive, r, lun);
        default:
            return checkCondition(sense::INVALID_OPCODE);
    }
}

}  // namespace qzemu
