// Utilities around transparent reconnection: enabling a drive's HID private
// commands (the composite switch and its reconnection), readiness waits
// after a drive came back, and the completion step of the earlier product
// line's operations that may need a reconnection.
//
// Threads: every operation blocks the calling thread for at most its stated
// bound; none may run on the polling thread while it holds the
// reconnection manager's lock. Nothing here throws.
#pragma once

#include <cstdint>

#include "Status.h"

namespace nork {

class CDeviceHandle;
class CDeviceParams;
class CStatusCallback;
class CUSBInfoParser;
class CUFDImpl;

class CSDKUtils {
  public:
    // Readiness answers of PollForUnitReady.
    static constexpr int UNIT_NOT_READY = 0;
    static constexpr int UNIT_READY = 1;
    static constexpr int UNIT_SECURED = 2;
    // Readiness requests of WaitForReady before giving up.
    static constexpr int MAX_READY_TRIES = 600;

    // Switches the drive to its composite configuration and waits for it to
    // come back (100 s, 140 s on an IBM laptop); true when it did.
    static bool enablePrivateCommands(CUFDImpl& device);
    // Waits (bounded) until the unit answers the readiness request with
    // "ready". True at once without raw device access.
    static bool WaitForReady(CDeviceHandle& handle);
    // Up to 20 TEST UNIT READY, 100 ms apart, reopening the handle after a
    // failed one: UNIT_READY, UNIT_SECURED (the unit refused with a data
    // protection sense) or UNIT_NOT_READY.
    static int PollForUnitReady(CDeviceHandle& handle);
    // Up to 20 read/write access tests, 200 ms apart, of the drive's first
    // removable root; true when one succeeded.
    static bool WaitForAccess(CUFDImpl& device);

    // Finds the drive letter of the domain at `domainIndex`, whose unit is
    // `configLun`: a letter of the device already mapped to that index, or
    // an unmapped letter whose unit (asked of the platform's USB identity
    // source) is that LUN, which is then mapped to the index. `letter` is
    // left unchanged when no letter fits. STATUS_SDK_INTERNAL_ERROR when an
    // unmapped letter's LUN cannot be told.
    static STATUS UpdateDomainIndexByMountPointMap(CDeviceParams& device, std::uint8_t configLun,
                                                   std::uint8_t domainIndex, char16_t& letter);
    // The same with the LUNs told by `parser` (null: no LUN is known).
    static STATUS UpdateDomainIndexByMountPointMap(CDeviceParams& device, std::uint8_t configLun,
                                                   std::uint8_t domainIndex, char16_t& letter,
                                                   const CUSBInfoParser* parser);

    // Completion after an operation on removable volumes: no reconnection
    // where the drive stays (onDone on a new thread when there is a
    // callback), else a detach/attach (platform type 4) or swap-to-disk
    // reconnection of 40 s, blocking exactly when there is no callback.
    // The answer of the registration (true when nothing was needed).
    static bool completeVolumeOperation(CUFDImpl& device, CStatusCallback* callback);
    // Completion after a deposit configuration: a detach/attach of 20 s with
    // the command flag, unless the drive stays.
    static bool completeDepositConfiguration(CUFDImpl& device, CStatusCallback* callback);
};

}  // namespace nork
