// One private command framed for the HID transport: the 25-byte command
// block of the first report and the private command it carries (data buffer,
// sizes, flags, timeout). Lives for one execution.
#pragma once

#include <array>
#include <cstdint>

#include "qz/DriveProtocol.h"

namespace nork {

class CPrivateCommand;

class CHIDCommand {
  public:
    // payloadSize: payload bytes per report (62 for the drive's reports).
    CHIDCommand(CPrivateCommand& command, std::uint32_t payloadSize);
    virtual ~CHIDCommand() = default;
    CHIDCommand(const CHIDCommand&) = delete;
    CHIDCommand& operator=(const CHIDCommand&) = delete;

    CPrivateCommand& command() const { return m_command; }
    std::uint32_t payloadSize() const { return m_payloadSize; }

    // The block as it goes on the wire (payload bytes 0..24 of the first
    // report); the executor's prepare may still set its reserved byte.
    std::uint8_t* block() { return m_block.data(); }
    const std::uint8_t* block() const { return m_block.data(); }

    std::uint16_t opCode() const;
    std::uint32_t dataSize() const;
    // Data size / payload size, rounded up.
    std::uint32_t dataReports() const;
    // The data phase goes from the device to the host.
    bool dataIn() const;
    bool dataOut() const;

  private:
    CPrivateCommand& m_command;
    std::uint32_t m_payloadSize;
    std::array<std::uint8_t, proto::hid::BLOCK_SIZE> m_block{};
};

}  // namespace nork
