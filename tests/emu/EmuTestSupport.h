// Shared helpers of the drive-model tests: a scratch state directory per test
// and the command blocks the host sends.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "model/VirtualDrive.h"
#include "qz/DriveProtocol.h"

namespace qzemu::test {

namespace proto = nork::proto;
using namespace std::chrono_literals;

// A fresh directory under $QZ_TEST_TMP, removed afterwards.
class ScratchDir {
  public:
    ScratchDir() {
        const char* root = std::getenv("QZ_TEST_TMP");
        std::filesystem::path base =
            root ? std::filesystem::path(root) : std::filesystem::temp_directory_path();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("emu-") + info->test_suite_name() + "-" + info->name();
        for (char& c : name) {
            if (c == '/')
                c = '_';
        }
        name += "-" + std::to_string(std::random_device{}());
        m_path = base / name;
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    const std::filesystem::path& path() const { return m_path; }

  private:
    std::filesystem::path m_path;
};

inline ScsiRequest inRequest(std::vector<std::uint8_t> cdb, std::uint32_t length,
                             std::uint8_t lun = 0) {
    ScsiRequest r;
    r.cdb = std::move(cdb);
    r.dir = length ? ScsiRequest::In : ScsiRequest::None;
    r.transferLength = length;
    r.lun = lun;
    return r;
}

inline ScsiRequest inquiry(std::uint8_t lun = 0) {
    return inRequest({proto::SCSI_INQUIRY, 0, 0, 0, proto::INQUIRY_DATA_SIZE, 0},
                     proto::INQUIRY_DATA_SIZE, lun);
}
inline ScsiRequest requestSense(std::uint8_t lun = 0) {
    return inRequest({proto::SCSI_REQUEST_SENSE, 0, 0, 0, proto::REQUEST_SENSE_DATA_SIZE, 0},
                     proto::REQUEST_SENSE_DATA_SIZE, lun);
}
inline ScsiRequest testUnitReady(std::uint8_t lun = 0) {
    return inRequest({proto::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}, 0, lun);
}
inline ScsiRequest readCapacity(std::uint8_t lun = 0) {
    return inRequest({proto::SCSI_READ_CAPACITY10, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                     proto::READ_CAPACITY_DATA_SIZE, lun);
}
inline ScsiRequest modeSense5(std::uint8_t lun = 0) {
    return inRequest({proto::SCSI_MODE_SENSE10, 0, proto::MODE_PAGE_FLEXIBLE_DISK, 0, 0, 0, 0, 0,
                      proto::MODE_SENSE10_DATA_SIZE, 0},
                     proto::MODE_SENSE10_DATA_SIZE, lun);
}
inline ScsiRequest reportId(std::uint8_t serviceAction = proto::REPORT_ID_SERVICE_ACTION) {
    return inRequest({proto::SCSI_REPORT_ID, serviceAction, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0, 0},
                     proto::REPORT_ID_DATA_SIZE);
}
inline std::vector<std::uint8_t> rwCdb(std::uint8_t op, std::uint32_t lba, std::uint16_t count) {
    std::vector<std::uint8_t> cdb(10, 0);
    cdb[0] = op;
    proto::putBE32(&cdb[2], lba);
    proto::putBE16(&cdb[7], count);
    return cdb;
}
inline ScsiRequest read10(std::uint8_t lun, std::uint32_t lba, std::uint16_t count) {
    return inRequest(rwCdb(proto::SCSI_READ10, lba, count), count * proto::SECTOR_SIZE, lun);
}
inline ScsiRequest write10(std::uint8_t lun, std::uint32_t lba,
                           const std::vector<std::uint8_t>& data) {
    ScsiRequest r;
    r.cdb = rwCdb(proto::SCSI_WRITE10, lba,
                  static_cast<std::uint16_t>(data.size() / proto::SECTOR_SIZE));
    r.dir = ScsiRequest::Out;
    r.dataOut = data;
    r.lun = lun;
    return r;
}

// A Qz private command as the host frames it.
inline ScsiRequest qzCommand(std::uint16_t op, ScsiRequest::Dir dir, std::uint32_t inLength = 0,
                             std::vector<std::uint8_t> dataOut = {}) {
    ScsiRequest r;
    r.cdb.assign(proto::QZ_SCSI_CDB_LENGTH, 0);
    r.cdb[0] = proto::PRIVATE_OPCODE;
    proto::putLE16(&r.cdb[1], op);
    r.dir = dir;
    r.transferLength = dir == ScsiRequest::In ? inLength : 0;
    r.dataOut = std::move(dataOut);
    return r;
}
inline ScsiRequest getErrorCode() {
    return qzCommand(proto::qzop::AUX_GET_ERROR_CODE, ScsiRequest::In,
                     proto::ERROR_CODE_ANSWER_SIZE);
}
inline ScsiRequest detachAttach(std::uint32_t w0, std::uint32_t w1, std::uint32_t w2) {
    std::vector<std::uint8_t> data(proto::DETACH_ATTACH_DATA_SIZE);
    proto::putLE32(&data[0], w0);
    proto::putLE32(&data[4], w1);
    proto::putLE32(&data[8], w2);
    return qzCommand(proto::qzop::AUX_DETACH_ATTACH, ScsiRequest::Out, 0, std::move(data));
}
// A Zyk frame (14 bytes, "TORM" trailer).
inline ScsiRequest zykCommand(std::uint16_t op) {
    ScsiRequest r;
    r.cdb = {proto::PRIVATE_OPCODE, 0, 0, 1, 2, 0, 0, 0, 0, 0, 0x54, 0x4F, 0x52, 0x4D};
    proto::putLE16(&r.cdb[1], op);
    r.dir = ScsiRequest::None;
    return r;
}

inline std::vector<std::uint8_t> pattern(std::size_t sectors, std::uint8_t seed) {
    std::vector<std::uint8_t> data(sectors * proto::SECTOR_SIZE);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 512);
    }
    return data;
}

inline std::string text(const std::vector<std::uint8_t>& data, std::size_t offset,
                        std::size_t length) {
    return std::string(data.begin() + offset, data.begin() + offset + length);
}

inline std::uint32_t readErrorRegister(VirtualDrive& drive) {
    auto reply = drive.execute(getErrorCode());
    EXPECT_TRUE(reply.good());
    EXPECT_EQ(reply.dataIn.size(), proto::ERROR_CODE_ANSWER_SIZE);
    return reply.dataIn.size() >= 4 ? proto::getLE32(reply.dataIn.data()) : 0xDEADBEEF;
}

// Small drive used by most tests: a CD domain (LUN 0) and a public domain
// (LUN 1) on 20000 sectors, ready at once.
inline DriveConfig smallConfig() {
    DriveConfig config;
    config.identity.serial = "QE00112233445566";
    config.flashSectors = 20000;
    config.layout = "cd:4096,public:rest";
    config.reattachDelay = 0ms;
    config.readyDelay = 0ms;
    return config;
}

// Clears the unit attention every LUN reports after the drive appears.
inline void consumeAttention(VirtualDrive& drive) {
    for (std::uint8_t lun = 0; lun < 255; ++lun) {
        auto reply = drive.execute(testUnitReady(lun));
        if (reply.good())
            continue;
        if (reply.senseKey() != proto::SENSE_KEY_UNIT_ATTENTION)
            break;
    }
}

}  // namespace qzemu::test
