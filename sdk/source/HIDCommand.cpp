#include "HIDCommand.h"

#include <algorithm>

#include "PrivateCommand.h"
#include "SCSICommand.h"

namespace nork {

namespace hid = proto::hid;

CHIDCommand::CHIDCommand(CPrivateCommand& command, std::uint32_t payloadSize)
    : m_command(command), m_payloadSize(payloadSize == 0 ? hid::PAYLOAD_SIZE : payloadSize) {
    std::uint8_t* b = m_block.data();
    const std::uint32_t size = command.direction() == SCSI_DIR_NONE ? 0 : command.dataLength();
    proto::putLE16(b + hid::BLOCK_OPCODE, command.opCode());
    proto::putLE32(b + hid::BLOCK_DATA_SIZE, size);
    proto::putLE32(b + hid::BLOCK_DATA_REPORTS, (size + m_payloadSize - 1) / m_payloadSize);
    std::copy(std::begin(proto::ZYK_PRIVATE_SIGNATURE), std::end(proto::ZYK_PRIVATE_SIGNATURE),
              b + hid::BLOCK_SIGNATURE);
    b[hid::BLOCK_DIRECTION] = command.direction() == SCSI_DIR_IN ? 1 : 0;
    b[hid::BLOCK_RESERVED] = 0;
    // A Zyk command's 7 bytes leave the last two zero.
    const std::uint32_t n = std::min<std::uint32_t>(command.paramsSize(), hid::BLOCK_PARAMS_SIZE);
    if (command.params() != nullptr)
        std::copy_n(command.params(), n, b + hid::BLOCK_PARAMS);
}

std::uint16_t CHIDCommand::opCode() const {
    return proto::getLE16(m_block.data() + hid::BLOCK_OPCODE);
}

std::uint32_t CHIDCommand::dataSize() const {
    return proto::getLE32(m_block.data() + hid::BLOCK_DATA_SIZE);
}

std::uint32_t CHIDCommand::dataReports() const {
    return proto::getLE32(m_block.data() + hid::BLOCK_DATA_REPORTS);
}

bool CHIDCommand::dataIn() const {
    return m_command.direction() == SCSI_DIR_IN && dataSize() > 0;
}

bool CHIDCommand::dataOut() const {
    return m_command.direction() == SCSI_DIR_OUT && dataSize() > 0;
}

}  // namespace nork
