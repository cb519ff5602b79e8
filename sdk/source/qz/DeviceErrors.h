// Names of the drive's own error codes, as read with AUX__Get_Error_Code:
// bits 16..31 name the failed command, the whole 32-bit value names the
// reason. Pure functions over fixed tables; callable from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace nork::qz {

// Catalogue name of an operation code, or "Unknown" when it has none.
// Never null: callers print it as it is.
const char16_t* commandName(std::uint16_t opCode);
// Name of a whole error value, or "UNKNOWN" when it has none. Never null.
const char16_t* errorName(std::uint32_t code);

// Appends "Command: " and the name of the command in bits 16..31, or
// "Unknown".
void describeCommand(std::uint32_t code, std::u16string& out);
// Appends " Error code: " and the name of the whole value, or "UNKNOWN".
void describeError(std::uint32_t code, std::u16string& out);

}  // namespace nork::qz
