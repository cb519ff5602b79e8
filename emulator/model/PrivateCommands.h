// Qz private commands: the frame the host sends (0xFF, operation code low
// byte first, 9 parameter bytes in a 12-byte CDB) and the table that maps an
// operation code to its handler.
//
// Adding commands: write the handlers in a file of their own with a
// `void registerXxxCommands(PrivateCommandTable&)`, declare it below and add
// it to the list in PrivateCommands.cpp. Handlers run with the drive's mutex
// held and answer through PrivateAnswer; a failed answer sets the device
// error register to (operation << 16) | reason.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "model/DriveCore.h"

namespace qzemu {

// Reasons the drive reports in the low 16 bits of the device error code for
// failures that are not the command's own.
inline constexpr std::uint16_t REASON_NOT_SUPPORTED = 0x0001;  // unknown or unimplemented op
inline constexpr std::uint16_t REASON_BAD_REQUEST = 0x0002;    // data phase missing or short

struct PrivateRequest {
    std::uint16_t op = 0;
    std::array<std::uint8_t, 9> params{};
    ScsiRequest::Dir dir = ScsiRequest::None;
    std::uint32_t transferLength = 0;
    const std::vector<std::uint8_t>* dataOut = nullptr;  // never null in a handler
    std::uint8_t lun = 0;
    std::uint64_t connection = 0;  // the host connection (its secure session)
};

struct PrivateAnswer {
    std::uint16_t reason = 0;  // 0 = success
    std::vector<std::uint8_t> dataIn;

    static PrivateAnswer ok(std::vector<std::uint8_t> data = {}) { return {0, std::move(data)}; }
    static PrivateAnswer fail(std::uint16_t reason) { return {reason, {}}; }
};

using PrivateHandler = PrivateAnswer (*)(DriveCore& drive, const PrivateRequest& request);

class PrivateCommandTable {
  public:
    // The table with every registered group of commands.
    static const PrivateCommandTable& standard();

    void add(std::uint16_t op, PrivateHandler handler) { m_handlers[op] = handler; }
    PrivateHandler find(std::uint16_t op) const {
        auto it = m_handlers.find(op);
        return it == m_handlers.end() ? nullptr : it->second;
    }

  private:
    std::map<std::uint16_t, PrivateHandler> m_handlers;
};

// The most domains a drive's layout holds (the configuration commands refuse
// more).
inline constexpr std::size_t MAX_CONFIGURED_DOMAINS = 4;

// Registration of each group of commands.
void registerAuxCommands(PrivateCommandTable& table);            // AuxCommands.cpp
void registerConfigCommands(PrivateCommandTable& table);         // ConfigCommands.cpp
void registerServiceCommands(PrivateCommandTable& table);        // ServiceCommands.cpp
void registerHiddenAreaCommands(PrivateCommandTable& table);     // HiddenAreaCommands.cpp
void registerSecureSessionCommands(PrivateCommandTable& table);  // SecureSessionCommands.cpp
void registerCdLockCommands(PrivateCommandTable& table);         // CdLockCommands.cpp
void registerPrivateAreaCommands(PrivateCommandTable& table);    // PrivateAreaCommands.cpp

}  // namespace qzemu
