// Byte layouts that the host and a drive share: the private-command frames,
// the operation codes of both product lines and the device error code. The
// library frames commands with these, the emulator decodes them with the same
// constants, so each layout is written once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nork::proto {

// Standard SCSI operation codes the library sends.
inline constexpr std::uint8_t SCSI_TEST_UNIT_READY = 0x00;
inline constexpr std::uint8_t SCSI_REQUEST_SENSE = 0x03;
inline constexpr std::uint8_t SCSI_INQUIRY = 0x12;
inline constexpr std::uint8_t SCSI_READ_CAPACITY10 = 0x25;
inline constexpr std::uint8_t SCSI_READ10 = 0x28;
inline constexpr std::uint8_t SCSI_WRITE10 = 0x2A;
inline constexpr std::uint8_t SCSI_WRITE_BUFFER = 0x3B;
inline constexpr std::uint8_t SCSI_MODE_SENSE10 = 0x5A;
inline constexpr std::uint8_t SCSI_REPORT_ID = 0xA3;
inline constexpr std::uint8_t SCSI_WRITE_CD_TRACK = 0xAA;

inline constexpr std::uint32_t SECTOR_SIZE = 512;

// Answer sizes of the standard commands as the library asks for them.
inline constexpr std::uint32_t INQUIRY_DATA_SIZE = 96;
inline constexpr std::uint32_t REQUEST_SENSE_DATA_SIZE = 18;
inline constexpr std::uint32_t READ_CAPACITY_DATA_SIZE = 8;
inline constexpr std::uint32_t MODE_SENSE10_DATA_SIZE = 38;
inline constexpr std::uint32_t REPORT_ID_DATA_SIZE = 255;

// REPORT ID answer: text fields, each terminated by the host at the byte
// after it (13, 23, 40).
inline constexpr std::size_t REPORT_ID_VENDOR_OFFSET = 4;  // bytes 4..12
inline constexpr std::size_t REPORT_ID_VENDOR_END = 13;
inline constexpr std::size_t REPORT_ID_PRODUCT_OFFSET = 14;  // bytes 14..22
inline constexpr std::size_t REPORT_ID_PRODUCT_END = 23;
inline constexpr std::size_t REPORT_ID_SERIAL_OFFSET = 24;  // bytes 24..39
inline constexpr std::size_t REPORT_ID_SERIAL_END = 40;
inline constexpr std::size_t REPORT_ID_FIRMWARE_OFFSET = 41;  // to the first zero

// Private-command frames: byte 0 = 0xFF, bytes 1-2 = operation code (low byte
// first), then the parameter area; the Zyk frame ends in "TORM".
inline constexpr std::uint8_t PRIVATE_OPCODE = 0xFF;
inline constexpr std::uint32_t QZ_SCSI_CDB_LENGTH = 12;
inline constexpr std::uint32_t ZYK_SCSI_CDB_LENGTH = 14;
inline constexpr std::uint32_t ZYK_PRIVATE_SIGNATURE_LEN = 4;
inline constexpr std::uint8_t ZYK_PRIVATE_SIGNATURE[ZYK_PRIVATE_SIGNATURE_LEN] = {0x54, 0x4F, 0x52,
                                                                                  0x4D};
inline constexpr std::size_t PRIVATE_PARAMS_OFFSET = 3;
inline constexpr std::uint32_t QZ_PARAMS_SIZE = 9;
inline constexpr std::uint32_t ZYK_PARAMS_SIZE = 7;

// Qz operation codes.
namespace qzop {
inline constexpr std::uint16_t SD_QUERY_SERVICE = 0x0000;
inline constexpr std::uint16_t CFG_CALC_CLOSEST_VALID_DOMAIN_SIZE = 0x0020;
inline constexpr std::uint16_t CFG_GET_DEVICE_CONFIGURATION = 0x0021;
inline constexpr std::uint16_t CFG_SET_DEVICE_CONFIGURATION = 0x0022;
inline constexpr std::uint16_t CFG_DOMAIN_ADD = 0x0023;
inline constexpr std::uint16_t CFG_DOMAIN_REMOVE = 0x0024;
inline constexpr std::uint16_t CFG_DOMAIN_CHANGE_TYPE = 0x0025;
inline constexpr std::uint16_t CFG_DOMAIN_SET_FLAGS = 0x0026;
inline constexpr std::uint16_t CD_LOCK = 0x0040;
inline constexpr std::uint16_t CD_UNLOCK = 0x0041;
inline constexpr std::uint16_t CD_WRITE_BUFFER = 0x0042;
inline constexpr std::uint16_t HA_WRITE_PAGE = 0x0060;
inline constexpr std::uint16_t HA_READ_PAGE = 0x0061;
inline constexpr std::uint16_t HA_WRITE_PROTECTED_PAGE = 0x0062;
inline constexpr std::uint16_t HA_READ_PROTECTED_PAGE = 0x0063;
inline constexpr std::uint16_t HA_SET_WRITE_PASSWORD = 0x0064;
inline constexpr std::uint16_t HA_SET_READ_PASSWORD = 0x0065;
inline constexpr std::uint16_t HA_REMOVE_READ_PASSWORD = 0x0066;
inline constexpr std::uint16_t HA_REMOVE_WRITE_PASSWORD = 0x0067;
inline constexpr std::uint16_t HA_GET_CURRENT_NUMBER_OF_ATTEMPTS = 0x0068;
inline constexpr std::uint16_t HA_CLEAR_PAGE_PASSWORDS = 0x0069;
inline constexpr std::uint16_t WRITE_SECTOR_HID = 0x006A;
inline constexpr std::uint16_t SS_SET_CURRENT_CIPHER_SUITE = 0x0080;
inline constexpr std::uint16_t SS_RSA_GET_DEVICE_PUBLIC_KEY = 0x0081;
inline constexpr std::uint16_t SS_RSA_SET_HOST_PUBLIC_KEY = 0x0082;
inline constexpr std::uint16_t SS_RSA_SET_HOST_RANDOM_CHALLENGE = 0x0083;
inline constexpr std::uint16_t SS_RSA_VERIFY_DEVICE_PUBLIC_KEY = 0x0084;
inline constexpr std::uint16_t SS_RSA_GET_DEVICE_RANDOM_CHALLENGE = 0x0085;
inline constexpr std::uint16_t SS_RSA_VERIFY_HOST_PUBLIC_KEY = 0x0086;
inline constexpr std::uint16_t SS_RSA_SET_HOST_SECRET_NUMBER = 0x0087;
inline constexpr std::uint16_t SS_RSA_GET_DEVICE_SECRET_NUMBER = 0x0088;
inline constexpr std::uint16_t SS_TERMINATE_SECURE_SESSION = 0x0089;
inline constexpr std::uint16_t SS_GET_SECURE_SESSION_TYPE = 0x008A;
inline constexpr std::uint16_t SS_START_SECURE_ACCESS = 0x008B;
inline constexpr std::uint16_t PRA_GET_AREA_PARAMETERS = 0x00A0;
inline constexpr std::uint16_t PRA_GET_CONFIGURATION_BOUNDARIES = 0x00A1;
inline constexpr std::uint16_t PRA_CONFIGURE_PRIVATE_AREA = 0x00A2;
inline constexpr std::uint16_t PRA_CALC_CLOSEST_VALID_SIZE = 0x00A3;
inline constexpr std::uint16_t PRA_OPEN = 0x00A4;
inline constexpr std::uint16_t PRA_CLOSE = 0x00A5;
inline constexpr std::uint16_t PRA_CHANGE_PASSWORD = 0x00A6;
inline constexpr std::uint16_t PRA_MAKE_SECUREDISK_PUBLIC = 0x00A7;
inline constexpr std::uint16_t TH_CREATE_TRUSTED_HOST_ID = 0x00C0;
inline constexpr std::uint16_t TH_GET_TRUSTED_HOST_ID = 0x00C1;
inline constexpr std::uint16_t TH_OPEN_PRIVATE_AREA = 0x00C2;
inline constexpr std::uint16_t CE_3DES_ENCRYPT_DECRYPT_DATA = 0x00E0;
inline constexpr std::uint16_t CE_3DES_GET_ENCRYPT_DECRYPT_DATA = 0x00E1;
inline constexpr std::uint16_t CE_3DES_GENERATE_RANDOM_NUMBER = 0x00E2;
inline constexpr std::uint16_t CE_3DES_DECRYPT_DATA = 0x0123;
inline constexpr std::uint16_t AUX_READY_NOT_READY_PULSE = 0x0100;
inline constexpr std::uint16_t AUX_DETACH_ATTACH = 0x0101;
inline constexpr std::uint16_t AUX_GET_ERROR_CODE = 0x0102;
inline constexpr std::uint16_t AUX_GET_FW_VERSION = 0x0103;
}  // namespace qzop

// Answer sizes of the auxiliary commands.
inline constexpr std::uint32_t ERROR_CODE_ANSWER_SIZE = 512;
inline constexpr std::uint32_t ERROR_CODE_EXTENDED_SIZE = 508;
inline constexpr std::uint32_t FW_VERSION_ANSWER_SIZE = 24;
inline constexpr std::uint32_t DETACH_ATTACH_DATA_SIZE = 12;

// SCSI status bytes and fixed-format sense data (18 bytes), as a drive
// answers and the host inspects them (sense key at byte 2).
inline constexpr std::uint8_t SCSI_STATUS_GOOD = 0x00;
inline constexpr std::uint8_t SCSI_STATUS_CHECK_CONDITION = 0x02;
inline constexpr std::uint32_t SENSE_BUFFER_SIZE = 32;
inline constexpr std::uint8_t SENSE_RESPONSE_FIXED_CURRENT = 0x70;
inline constexpr std::size_t SENSE_KEY_OFFSET = 2;
inline constexpr std::size_t SENSE_ADDITIONAL_LENGTH_OFFSET = 7;
inline constexpr std::size_t SENSE_ASC_OFFSET = 12;
inline constexpr std::size_t SENSE_ASCQ_OFFSET = 13;
inline constexpr std::uint8_t SENSE_KEY_NO_SENSE = 0x0;
inline constexpr std::uint8_t SENSE_KEY_NOT_READY = 0x2;
inline constexpr std::uint8_t SENSE_KEY_MEDIUM_ERROR = 0x3;
inline constexpr std::uint8_t SENSE_KEY_HARDWARE_ERROR = 0x4;
inline constexpr std::uint8_t SENSE_KEY_ILLEGAL_REQUEST = 0x5;
inline constexpr std::uint8_t SENSE_KEY_UNIT_ATTENTION = 0x6;
inline constexpr std::uint8_t SENSE_KEY_DATA_PROTECT = 0x7;

// Standard answer fields the host reads.
inline constexpr std::size_t INQUIRY_VENDOR_OFFSET = 8;     // 8 bytes, blank padded
inline constexpr std::size_t INQUIRY_PRODUCT_OFFSET = 16;   // 16 bytes, blank padded
inline constexpr std::size_t INQUIRY_REVISION_OFFSET = 32;  // 4 bytes
inline constexpr std::uint8_t INQUIRY_TYPE_DISK = 0x00;
inline constexpr std::uint8_t INQUIRY_TYPE_CDROM = 0x05;
inline constexpr std::uint8_t MODE_PAGE_FLEXIBLE_DISK = 0x05;
inline constexpr std::size_t MODE_SENSE10_HEADS_OFFSET = 12;
inline constexpr std::size_t MODE_SENSE10_SECTORS_PER_TRACK_OFFSET = 13;
inline constexpr std::size_t MODE_SENSE10_CYLINDERS_OFFSET = 16;  // big-endian u16
inline constexpr std::uint8_t REPORT_ID_SERVICE_ACTION = 0x05;

// Domain types and flags as the drive stores and reports them.
inline constexpr std::uint8_t DOMAIN_WIRE_TYPE_PUBLIC = 2;
inline constexpr std::uint8_t DOMAIN_WIRE_TYPE_CD = 3;
inline constexpr std::uint8_t DOMAIN_WIRE_NO_LUN = 255;
inline constexpr std::uint16_t DOMAIN_WIRE_FLAG_WRITE_PROTECTED = 0x0001;
inline constexpr std::uint16_t DOMAIN_WIRE_FLAG_CD_LOCKED = 0x0008;

// Device error code: bits 16..31 the failed operation, bits 0..15 the reason
// (one of 0x0001 .. 0x0020); 0 = no error. Little-endian in answer bytes 0..3.
constexpr std::uint32_t makeDeviceError(std::uint16_t op, std::uint16_t reason) {
    return (static_cast<std::uint32_t>(op) << 16) | reason;
}
constexpr std::uint16_t deviceErrorOp(std::uint32_t code) {
    return static_cast<std::uint16_t>(code >> 16);
}
constexpr std::uint16_t deviceErrorReason(std::uint32_t code) {
    return static_cast<std::uint16_t>(code & 0xFFFF);
}

// HID report transport: 63-byte reports, byte 0 the report id (always 0),
// bytes 1..62 the payload. The first report of a command carries the 25-byte
// command block at payload bytes 0..24 (report bytes 1..25), the rest zero;
// data follows in 62-byte slices, one per report; the device ends with a
// status report. Multi-byte fields are little-endian.
namespace hid {
inline constexpr std::uint32_t REPORT_SIZE = 63;
inline constexpr std::uint32_t PAYLOAD_SIZE = 62;
inline constexpr std::uint8_t REPORT_ID = 0;
inline constexpr std::uint32_t BLOCK_SIZE = 25;
// Command block offsets (within the payload).
inline constexpr std::size_t BLOCK_OPCODE = 0;        // u16
inline constexpr std::size_t BLOCK_DATA_SIZE = 2;     // u32, bytes
inline constexpr std::size_t BLOCK_DATA_REPORTS = 6;  // u32, data size / 62 rounded up
inline constexpr std::size_t BLOCK_SIGNATURE = 10;    // "TORM" (ZYK_PRIVATE_SIGNATURE)
inline constexpr std::size_t BLOCK_DIRECTION = 14;    // 1 = device to host, else 0
inline constexpr std::size_t BLOCK_RESERVED = 15;     // set by the executor's prepare (0)
inline constexpr std::size_t BLOCK_PARAMS = 16;       // parameter area, 9 bytes
inline constexpr std::size_t BLOCK_PARAMS_SIZE = 9;
// Status report offsets (within the whole report).
inline constexpr std::size_t STATUS_OPCODE = 3;  // u16, the operation code echoed
inline constexpr std::size_t STATUS_WORD = 7;    // u16, 0 = success

constexpr std::uint32_t dataReports(std::uint32_t dataSize) {
    return (dataSize + PAYLOAD_SIZE - 1) / PAYLOAD_SIZE;
}
}  // namespace hid

// USB string-descriptor language of every read the library makes.
inline constexpr std::uint16_t USB_LANG_EN_US = 0x0409;

// Little-endian helpers for private-command payloads and on-drive formats.
inline void putLE16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void putLE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint16_t getLE16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t getLE32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
// Big-endian helpers for standard SCSI fields.
inline void putBE16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
inline void putBE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
inline std::uint16_t getBE16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t getBE32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

}  // namespace nork::proto
