// The virtual Qz drive: one object per drive, living in a state directory.
//
// Everything a host sends reaches the drive through execute(); the daemon,
// the CLI and in-process tests all use this one entry point. Every public
// member function is thread-safe: commands and control calls on one drive are
// serialised by the drive's own mutex, so a command either completes or has
// no effect. Bus events (attach, ready, detach) are delivered to observers on
// the drive's own worker thread, never while the drive's mutex is held, so an
// observer may call back into the drive.
//
// create() and open() throw std::runtime_error (std::invalid_argument for a
// bad configuration); nothing else throws: execute() turns every internal
// failure into a SCSI answer.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/DomainTable.h"
#include "model/HiddenArea.h"

namespace qzemu {

// One command as the host's pass-through hands it over.
struct ScsiRequest {
    enum Dir { Out, In, None };

    std::vector<std::uint8_t> cdb;
    Dir dir = None;
    // Size of the host's buffer for a data-in command; the answer never
    // exceeds it. For data-out commands dataOut carries the data.
    std::uint32_t transferLength = 0;
    std::vector<std::uint8_t> dataOut;
    // Logical unit addressed. 255 (the unit behind the host's handle) is taken
    // as LUN 0; a transport that knows the handle's unit fills it in.
    std::uint8_t lun = 255;
    // The host connection the request came on (0: none named); a secure
    // session belongs to one.
    std::uint64_t connection = 0;
};

struct ScsiReply {
    enum Result {
        Ok,       // the drive answered; see scsiStatus
        NoDevice  // nothing on the bus: the host sees an unplugged device
    };

    Result result = Ok;
    std::uint8_t scsiStatus = 0;  // nork::proto::SCSI_STATUS_GOOD or _CHECK_CONDITION
    // Fixed-format sense (18 bytes used) when scsiStatus is CHECK CONDITION.
    std::array<std::uint8_t, 32> sense{};
    std::vector<std::uint8_t> dataIn;  // at most transferLength bytes

    bool good() const { return result == Ok && scsiStatus == 0; }
    std::uint8_t senseKey() const { return sense[2] & 0x0F; }
    std::uint8_t asc() const { return sense[12]; }
};

// How the drive presents itself.
enum class DriveMode {
    Qz,         // the smart drive: identity, private commands
    PlainDisk,  // an ordinary USB disk of another vendor; vendor commands rejected
    Zyk         // reserved for the earlier product line; its frames are refused for now
};
const char* modeName(DriveMode mode);
std::optional<DriveMode> parseMode(const std::string& text);

struct Identity {
    std::string serial;              // at most 16 characters; empty in a config = generate one
    std::string vendor = "Corvane";  // INQUIRY, at most 8
    std::string product = "Qz Pellix Drive";  // INQUIRY, at most 16
    std::string revision = "6.52";            // INQUIRY, at most 4
    std::string firmware = "6.520";           // REPORT ID text and AUX 0x0103, at most 23
    std::string reportVendor = "Qz 4";        // REPORT ID bytes 4..12, at most 9
    std::string reportProduct = "Pellix";     // REPORT ID bytes 14..22, at most 9
    std::uint16_t usbVendorId = 0x3C2A;
    std::uint16_t usbProductId = 0x0106;
};

struct DriveConfig {
    Identity identity;
    DriveMode mode = DriveMode::Qz;
    std::uint32_t flashSectors = 262144;  // 128 MiB
    std::string layout = "public:all";    // see DomainTable.h
    std::string services;                 // see ServiceList.h; empty = the default list
    // Time a drive that left the bus by itself (AUX__Detach_Attach) stays away.
    std::chrono::milliseconds reattachDelay{100};
    // Time from appearing on the bus to ready; the drive answers "not ready"
    // meanwhile.
    std::chrono::milliseconds readyDelay{0};
    bool attached = true;  // plugged in when created
    // Pages of the hidden area (HiddenArea.h), MIN_HIDDEN_PAGES..MAX_HIDDEN_PAGES.
    std::uint32_t hiddenPages = DEFAULT_HIDDEN_PAGES;
};

enum class BusState {
    Detached,   // off the bus: every command answers NoDevice, no LUNs, no volumes
    Attaching,  // on the bus, not ready yet
    Attached    // ready; volumes present
};
const char* busStateName(BusState state);

enum class BusEvent {
    Attached,  // appeared on the bus (interfaces back, not ready yet)
    Ready,     // became ready; volumes are present
    Detached   // left the bus
};
using BusObserver = std::function<void(const std::string& serial, BusEvent event)>;

// Run-time faults. None of them is persisted.
struct FaultState {
    std::uint32_t failNext = 0;                              // commands still to fail
    std::optional<std::uint32_t> failCode;                   // device error code they leave
    bool dropOnNextCommand = false;                          // next command unplugs the drive
    bool neverReattach = false;                              // self-initiated detaches are final
    std::optional<std::chrono::milliseconds> reattachDelay;  // overrides the config
    std::chrono::milliseconds commandDelay{0};               // added to every command
    std::uint32_t tearWriteIn = 0;        // 0 = off; 1 = the next write is torn, 2 = the one after
    std::uint32_t tearKeepSectors = 0;    // sectors of the torn write that reach the flash
    bool tearThenDrop = false;            // a torn write also unplugs the drive (power cut)
    bool hidSilent = false;               // the HID interface takes reports and answers nothing
    bool hidWrongEcho = false;            // status reports echo the operation code + 1
    std::uint32_t tearPageIn = 0;         // 0 = off; n = the nth hidden page write from now is torn
    std::uint32_t tearPageKeepBytes = 0;  // bytes of the torn page that are the new ones
    bool tearPageLost = false;            // the torn page write changes nothing at all
    bool wrongSessionProof = false;       // the drive's session proof does not verify
};

// Answers of the drive's HID interface (see HidInterface.h).
enum class HidResult {
    Ok,
    NoDevice,    // off the bus
    NoInterface  // on the bus without its HID interface (disk-only mode)
};

struct DriveInfo {
    std::filesystem::path stateDir;
    Identity identity;
    DriveMode mode = DriveMode::Qz;
    std::uint32_t flashSectors = 0;
    std::uint32_t freeSectors = 0;
    std::vector<Domain> domains;  // with first sector and LUN filled in
    std::string layout;           // the table in layout text
    std::string services;         // the service list in its text form
    std::uint32_t hiddenPages = 0;
    std::uint32_t errorRegister = 0;
    BusState bus = BusState::Detached;
    bool plugged = false;  // attached, or off the bus on its own and coming back
    std::chrono::milliseconds reattachDelay{0};
    std::chrono::milliseconds readyDelay{0};
    std::array<std::uint32_t, 3> lastDetachAttach{};  // words of the last AUX__Detach_Attach
    std::uint64_t commandCount = 0;                   // commands answered (not NoDevice)
    FaultState faults;
    bool composite = false;  // USB configuration with the HID interface
};

// Answers of the volume operations: done, locked by another owner, or no
// such volume now (drive not ready, no such LUN).
enum class VolumeResult { Done, Locked, NoVolume };

// A LUN's volume as the volume operations see it.
struct VolumeStatus {
    std::uint64_t lockOwner = 0;  // 0: not locked
    bool mounted = false;
};

class DriveCore;

// A fresh serial number for a drive created without one: "QE" and 14
// random hexadecimal digits.
std::string generateSerial();

class VirtualDrive {
  public:
    // Makes a new drive in dir (created if missing; must not hold a drive yet).
    static std::unique_ptr<VirtualDrive> create(const std::filesystem::path& dir,
                                                const DriveConfig& config);
    // Reopens the drive saved in dir with every field and byte it had.
    static std::unique_ptr<VirtualDrive> open(const std::filesystem::path& dir);

    // Waits for an event delivery in progress; not to be called from an observer.
    ~VirtualDrive();
    VirtualDrive(const VirtualDrive&) = delete;
    VirtualDrive& operator=(const VirtualDrive&) = delete;

    // The one entry point for host commands.
    ScsiReply execute(const ScsiRequest& request);

    // Bus. detach() unplugs (cancelling a pending return); attach() plugs in:
    // the drive appears at once and is ready after the ready delay.
    void detach();
    void attach();
    BusState busState() const;
    // Waits until the bus reaches state; false on timeout.
    bool waitForBusState(BusState state, std::chrono::milliseconds timeout) const;

    // Observers get every bus event in order, on the drive's worker thread.
    // unsubscribe() returns after any delivery to that observer has finished
    // (unless it is called from inside the observer).
    int subscribe(BusObserver observer);
    void unsubscribe(int id);

    void setMode(DriveMode mode);
    // A changed delay also applies to a return or readiness under way,
    // counted from when it began.
    void setDelays(std::chrono::milliseconds reattachDelay, std::chrono::milliseconds readyDelay);

    // Faults.
    void failNextCommands(std::uint32_t count, std::optional<std::uint32_t> deviceError = {});
    void dropOffBusOnNextCommand();
    void setNeverReattach(bool never);
    void setReattachDelayFault(std::optional<std::chrono::milliseconds> delay);
    void setCommandDelay(std::chrono::milliseconds delay);
    // Tears the nth write from now (1 = the next): keepSectors of its sectors
    // reach the flash, then it fails with a medium error; with thenDrop the
    // drive also leaves the bus (until attach()).
    void tearWrite(std::uint32_t nth, std::uint32_t keepSectors, bool thenDrop = false);
    // Tears the nth hidden-area page write from now (plain or protected; 1 =
    // the next): its first keepBytes bytes reach the page and the rest keeps
    // the old bytes, or with `lost` nothing reaches it. The command fails
    // with the write's "page state unknown" device error.
    void tearPageWrite(std::uint32_t nth, std::uint32_t keepBytes, bool lost = false);
    void clearFaults();

    // USB configuration: composite (disk plus HID interface) or disk only.
    // Persisted. Changing it here takes effect at once, without leaving the
    // bus (the host switches with the string-descriptor read sequence).
    bool composite() const;
    void setComposite(bool composite);

    // The HID interface (only in composite mode, on the bus). The report
    // protocol is described in HidInterface.h.
    HidResult hidOpen(std::vector<std::uint8_t>& reportDescriptor) const;
    HidResult hidWrite(const std::vector<std::uint8_t>& report);
    // Takes whole queued input reports, at most maxBytes, waiting up to
    // timeout for the first; out empty when none came.
    HidResult hidRead(std::size_t maxBytes, std::chrono::milliseconds timeout,
                      std::vector<std::uint8_t>& out);
    void setHidSilent(bool silent);
    void setHidWrongEcho(bool wrongEcho);

    // A USB GET_DESCRIPTOR of the device (type 1) or a string (type 3); none
    // when off the bus or the descriptor does not exist (the device stalls).
    // String reads drive the composite-switch and HID-reset sequences.
    std::optional<std::vector<std::uint8_t>> usbDescriptor(std::uint8_t type, std::uint8_t index,
                                                           std::uint16_t lang);

    DriveInfo inspect() const;
    // Whether the drive is on the bus and shows `lun`: the check of every
    // device open, without the copy inspect() makes.
    bool showsLun(std::uint8_t lun) const;
    std::string serial() const;
    // Directory standing for the mounted file system of lun; empty when the
    // LUN does not exist or the drive is not ready.
    std::filesystem::path volumePath(std::uint8_t lun) const;

    // Volume lock and dismount, as a host's file-system layer does them.
    // `owner` (non-zero) names who holds a lock (the daemon: a connection).
    // Lock: Locked when anyone holds it already. Dismount: the volume's
    // directory is moved aside (content kept); Locked when another owner
    // holds the lock. Unlock: releases the owner's lock (Locked when another
    // holds it) and brings a dismounted volume back. A drive that leaves the
    // bus drops every lock; on its return every volume is up again.
    VolumeResult lockVolume(std::uint8_t lun, std::uint64_t owner);
    VolumeResult dismountVolume(std::uint8_t lun, std::uint64_t owner);
    VolumeResult unlockVolume(std::uint8_t lun, std::uint64_t owner);
    // Ends the owner's lock and leaves the volume as it is (Locked when
    // another owner holds it).
    VolumeResult releaseVolumeLock(std::uint8_t lun, std::uint64_t owner);
    VolumeResult volumeStatus(std::uint8_t lun, VolumeStatus& out) const;
    // Releases every lock of an owner whose connection ended without
    // releasing them (its process died, say) and brings back the volumes it
    // held down: a writer cut off midway must not leave the drive without
    // its volume. A lock released before (Release, Unlock) is not the
    // owner's any more, so what it left down stays down.
    void releaseVolumeLocks(std::uint64_t owner);
    // Ends the secure session of a host connection that closed.
    void endSecureSession(std::uint64_t connection);
    // Whether a host connection holds a volume lock or a secure session
    // (opened or on its way) on the drive.
    bool heldBy(std::uint64_t connection) const;
    void setWrongSessionProof(bool on);

  private:
    explicit VirtualDrive(std::unique_ptr<DriveCore> core);
    std::unique_ptr<DriveCore> m_core;
};

}  // namespace qzemu
