// Conversions between the emulator's wire records (port/emu/EmuProtocol.h)
// and the drive model, shared by the daemon and the in-process backend so
// both serve a drive the same way.
#pragma once

#include <cstdint>

#include "model/VirtualDrive.h"
#include "port/emu/EmuProtocol.h"

namespace qzemu {

namespace wire = nork::port::emu;

// The model's configuration for a wire configuration; fields left at their
// wire defaults keep the model's defaults. Throws std::invalid_argument for
// an unknown mode.
DriveConfig toModelConfig(const wire::DriveConfig& config);

wire::DriveInfo toWireInfo(const DriveInfo& info);

ScsiRequest toModelRequest(const wire::ScsiCommand& command);
wire::ScsiAnswer toWireAnswer(const ScsiReply& reply);
// The same, taking the reply's data instead of copying it.
wire::ScsiAnswer toWireAnswer(ScsiReply&& reply);

wire::EventKind toWireEvent(BusEvent event);

// Sets or clears one fault.
void applyFault(VirtualDrive& drive, const wire::FaultRequest& request);

// Whether a handle to lun can be opened now: the drive is on the bus and
// one of its domains carries that LUN.
bool lunPresent(const VirtualDrive& drive, std::uint8_t lun);

}  // namespace qzemu
