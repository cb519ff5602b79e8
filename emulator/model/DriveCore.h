// Inside of a virtual drive, shared by the files that answer commands. Every
// member is guarded by `mutex`; command handlers run with it held.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "model/DomainTable.h"
#include "model/HidInterface.h"
#include "model/HiddenArea.h"
#include "model/ImageFile.h"
#include "model/PrivateArea.h"
#include "model/SecureSession.h"
#include "model/StateFile.h"
#include "model/VirtualDrive.h"

namespace qzemu {

using Clock = std::chrono::steady_clock;

struct Sense {
    std::uint8_t key = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
};

// Sense of the conditions the drive reports (additional sense code, qualifier).
namespace sense {
inline constexpr Sense NONE{0x0, 0x00, 0x00};
inline constexpr Sense BECOMING_READY{0x2, 0x04, 0x01};
inline constexpr Sense MEDIUM_NOT_PRESENT{0x2, 0x3A, 0x00};
inline constexpr Sense MEDIUM_WRITE_ERROR{0x3, 0x0C, 0x00};
inline constexpr Sense MEDIUM_READ_ERROR{0x3, 0x11, 0x00};
inline constexpr Sense INTERNAL_FAILURE{0x4, 0x44, 0x00};
inline constexpr Sense PARAMETER_LENGTH{0x5, 0x1A, 0x00};
inline constexpr Sense INVALID_OPCODE{0x5, 0x20, 0x00};
inline constexpr Sense LBA_OUT_OF_RANGE{0x5, 0x21, 0x00};
inline constexpr Sense INVALID_FIELD{0x5, 0x24, 0x00};
inline constexpr Sense LUN_NOT_SUPPORTED{0x5, 0x25, 0x00};
inline constexpr Sense RESET_OCCURRED{0x6, 0x29, 0x00};
inline constexpr Sense WRITE_PROTECTED{0x7, 0x27, 0x00};
}  // namespace sense

// Fixed-format sense bytes (18 used).
std::array<std::uint8_t, 32> senseBytes(const Sense& s);

ScsiReply goodReply(std::vector<std::uint8_t> data, std::uint32_t transferLength);
ScsiReply checkCondition(const Sense& s);
ScsiReply noDeviceReply();

// Standard commands (ScsiCommands.cpp) and private frames (PrivateCommands.cpp).
class DriveCore;
ScsiReply runScsiCommand(DriveCore& drive, const ScsiRequest& request, std::uint8_t lun);
ScsiReply runPrivateFrame(DriveCore& drive, const ScsiRequest& request);
// The operation code of a Qz frame, or none for anything else.
std::optional<std::uint16_t> qzFrameOp(const std::vector<std::uint8_t>& cdb);

class DriveCore {
  public:
    DriveCore(std::filesystem::path dir, PersistedState state, DomainTable table, ImageFile image,
              HiddenArea hidden);
    ~DriveCore();

    // --- used by command handlers (mutex held) ---
    const Identity& identity() const { return m_state.identity; }
    const std::vector<ServiceEntry>& services() const { return m_state.services; }
    DriveMode mode() const { return m_state.mode; }
    std::uint32_t flashSectors() const { return m_state.flashSectors; }
    const DomainTable& table() const { return m_table; }
    ImageFile& image() { return m_image; }
    BusState bus() const { return m_bus; }

    std::uint32_t errorRegister() const { return m_state.errorRegister; }
    void setErrorRegister(std::uint32_t code);

    // Replaces the domain table (persisted). Handlers that change the layout
    // follow it with leaveBusAndReturn so the host sees the new LUNs.
    void setDomains(DomainTable table);

    // The drive leaves the bus after `beforeLeave` (at once for 0) and comes
    // back after its reattach delay, capped by `limit` when that is non-zero;
    // with the never-reattach fault it stays away.
    void leaveBusAndReturn(std::chrono::milliseconds beforeLeave, std::chrono::milliseconds limit);
    void recordDetachAttach(const std::array<std::uint32_t, 3>& words) {
        m_lastDetachAttach = words;
    }

    // Unit attention and the readiness the host probes.
    bool takeUnitAttention(std::uint8_t lun);
    // The LUN's medium goes not ready and comes back at once: the host's
    // next readiness probe sees a unit attention, as after a medium change.
    void representMedium(std::uint8_t lun) { m_unitAttention.insert(lun); }
    std::optional<Sense> takePendingSense(std::uint8_t lun);

    // Counts a write command towards the tear fault; the torn write's
    // (sectors kept, unplug after) when this one is to be torn.
    struct Tear {
        std::uint32_t keepSectors;
        bool thenDrop;
    };
    std::optional<Tear> takeTear();

    // The hidden area and its page passwords (persisted on change).
    HiddenArea& hiddenArea() { return m_hidden; }
    std::uint32_t hiddenPages() const { return m_state.hiddenPages; }
    const PagePasswords* pagePasswords(std::uint16_t page) const;
    void setPagePassword(std::uint16_t page, bool write, const PagePassword& password);
    // Counts a hidden page write towards the tear-page fault; the torn
    // write's (bytes kept, lost) when this one is to be torn.
    struct PageTear {
        std::uint32_t keepBytes;
        bool lost;
    };
    std::optional<PageTear> takePageTear();

    // Private areas by domain index (persisted on change) and the logins
    // (PrivateAreaCommands.cpp). Null: the domain has none.
    const PrivateAreaRecord* privateArea(std::uint8_t domain) const;
    // Replaces or (sectors 0) removes a domain's area; a login to it ends.
    void setPrivateArea(std::uint8_t domain, const PrivateAreaRecord& record);
    bool loggedIn(std::uint8_t domain) const { return m_loggedIn.count(domain) != 0; }
    // Switches the domain's LUN (and its volume directory) between the parts.
    void setLoggedIn(std::uint8_t domain, bool in);
    // Every login ends (the drive leaves the bus).
    void logOutAll();
    // The sectors the domain's LUN shows now.
    LunWindow lunWindow(const Domain& domain) const;
    // Whether the domain's LUN shows its private area now (logged in).
    bool showsPrivateArea(const Domain& domain) const;
    // The host id the last TH__Create_Trusted_Host_ID made, per domain.
    std::map<std::uint8_t, std::array<std::uint8_t, PA_HOST_ID_SIZE>>& createdHostIds() {
        return m_createdHostIds;
    }

    // Off the bus now, for good (until attach()).
    void unplugNow();

    // The USB side: configuration, HID interface, string descriptors
    // (HidInterface.cpp).
    HidState& hid() { return m_hid; }
    const HidState& hid() const { return m_hid; }
    const std::filesystem::path& dir() const { return m_dir; }

    // Volume locks (LUN -> owner) and the LUNs whose volume was dismounted;
    // both end when the drive leaves the bus.
    std::map<std::uint8_t, std::uint64_t>& volumeLocks() { return m_volumeLocks; }
    std::set<std::uint8_t>& dismounted() { return m_dismounted; }

    // The drive's RSA key and each connection's secure session (these end
    // when the drive leaves the bus).
    const DriveRsaKey& rsaKey() const { return m_state.rsaKey; }
    std::map<std::uint64_t, ConnectionSession>& sessions() { return m_sessions; }

    // --- used by VirtualDrive ---
    ScsiReply execute(const ScsiRequest& request);
    void attach();
    void detach();
    void setMode(DriveMode mode);
    void setDelays(std::chrono::milliseconds reattach, std::chrono::milliseconds ready);
    FaultState& faults() { return m_faults; }
    void setReattachDelayFault(std::optional<std::chrono::milliseconds> delay);
    DriveInfo inspect() const;
    std::filesystem::path volumePath(std::uint8_t lun) const;
    void persist();
    void startWorker();

    mutable std::mutex mutex;
    mutable std::condition_variable stateChanged;

    // Observers (own locks; not guarded by `mutex`).
    int subscribe(BusObserver observer);
    void unsubscribe(int id);

  private:
    ScsiReply executeLocked(const ScsiRequest& request);
    void goOffBus();
    void appear();
    void becomeReady();
    void scheduleReturn(std::chrono::milliseconds limit);
    void rescheduleReturn();
    // Applies changed delays to a pending return and readiness.
    void reschedule();
    void setBus(BusState state);
    void workerLoop();
    void deliver(const std::deque<std::pair<std::uint64_t, BusEvent>>& events);
    void pushEvent(BusEvent event);

    std::filesystem::path m_dir;
    PersistedState m_state;
    DomainTable m_table;
    ImageFile m_image;
    HiddenArea m_hidden;

    BusState m_bus = BusState::Detached;
    std::set<std::uint8_t> m_unitAttention;
    std::map<std::uint8_t, Sense> m_pendingSense;
    FaultState m_faults;
    std::array<std::uint32_t, 3> m_lastDetachAttach{};
    std::uint64_t m_commandCount = 0;
    HidState m_hid;
    std::map<std::uint8_t, std::uint64_t> m_volumeLocks;
    std::set<std::uint8_t> m_dismounted;
    std::set<std::uint8_t> m_loggedIn;
    std::map<std::uint8_t, std::array<std::uint8_t, PA_HOST_ID_SIZE>> m_createdHostIds;
    std::map<std::uint64_t, ConnectionSession> m_sessions;

    std::optional<Clock::time_point> m_leaveAt;
    std::optional<std::chrono::milliseconds> m_returnLimit;  // for a scheduled leave
    std::optional<Clock::time_point> m_appearAt;
    std::optional<Clock::time_point> m_readyAt;
    // When the pending return or readiness started, so a changed delay
    // applies to it too.
    Clock::time_point m_leftAt;
    std::chrono::milliseconds m_leftLimit{0};
    Clock::time_point m_appearedAt;

    // Events with their sequence numbers, so an observer gets only what
    // happens after it subscribed.
    std::deque<std::pair<std::uint64_t, BusEvent>> m_events;
    std::uint64_t m_nextEvent = 0;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_worker;
    const std::string m_serial;  // fixed for the drive's life; read by deliveries

    std::mutex m_observersMutex;
    struct Observer {
        BusObserver callback;
        std::uint64_t firstEvent;
    };
    std::map<int, Observer> m_observers;
    int m_nextObserver = 1;
    std::mutex m_deliveryMutex;
};

}  // namespace qzemu
