#include "port/emu/EmuInventory.h"

#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

#include "port/emu/EmuClient.h"
#include "port/emu/EmuDeviceBackend.h"
#include "port/emu/EmuHidBackend.h"

namespace nork::port::emu {

namespace {

using namespace std::chrono_literals;

constexpr auto CONNECT_TIMEOUT = 500ms;
constexpr auto REQUEST_TIMEOUT = 1000ms;
// The domain type of a CD domain on the wire.
constexpr std::uint8_t DOMAIN_TYPE_CD = 3;

class EmulatorInventoryBackend final : public IInventoryBackend {
  public:
    explicit EmulatorInventoryBackend(std::string socketPath)
        : m_socketPath(std::move(socketPath)) {}

    std::string name() const override { return "qzemu"; }

    void collect(std::vector<StorageUnitFacts>& units,
                 std::vector<HidInterfaceInfo>& hids) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        std::vector<DriveInfo> drives;
        if (!listDrives(drives))
            return;
        for (const DriveInfo& drive : drives) {
            if (!drive.plugged || drive.bus != Bus::Attached)
                continue;
            const bool composite = isComposite(drive.serial);
            addUnits(drive, composite, units);
            if (composite) {
                HidInterfaceInfo hid;
                hid.path = makeHidPath(drive.serial);
                hid.vendorId = drive.usbVendorId;
                hid.productId = drive.usbProductId;
                hid.serial = drive.serial;
                hid.product = drive.product;
                hid.manufacturer = drive.vendor;
                hid.location = emulatorLocation(drive.serial) + "/hid";
                hids.push_back(std::move(hid));
            }
        }
    }

  private:
    // One request with the short timeout; on a transport failure one more
    // try on a fresh connection (the daemon may have restarted since).
    EmuStatus request(MsgType type, const std::vector<std::uint8_t>& payload,
                      std::vector<std::uint8_t>& reply) {
        EmuStatus s;
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!m_client.dropIfPeerGone()) {
                if (PortError e = m_client.connect(m_socketPath, CONNECT_TIMEOUT)) {
                    s.io = e;
                    return s;
                }
            }
            s = m_client.call(type, payload, reply, REQUEST_TIMEOUT);
            // A timeout means a stuck daemon: waiting again would only double it.
            if (!s.io || s.io.code == PortErrc::Timeout)
                return s;
        }
        return s;
    }

    bool listDrives(std::vector<DriveInfo>& drives) {
        std::vector<std::uint8_t> reply;
        return request(MsgType::List, {}, reply).ok() && decode(reply, drives);
    }

    bool isComposite(const std::string& serial) {
        std::vector<std::uint8_t> reply;
        UsbModeRequest answer;
        return request(MsgType::UsbMode, encode(UsbModeRequest{serial, UsbMode::Query}), reply)
                   .ok() &&
               decode(reply, answer) && answer.mode == UsbMode::Composite;
    }

    static void addUnits(const DriveInfo& drive, bool composite,
                         std::vector<StorageUnitFacts>& units) {
        for (const Domain& domain : drive.domains) {
            if (domain.lun == 255)
                continue;
            StorageUnitFacts unit;
            UsbIdentity identity;
            identityOf(drive, identity);
            unit.serial = identity.serial;
            unit.vendor = identity.vendor;
            unit.product = identity.product;
            unit.revision = identity.revision;
            unit.vendorId = identity.vendorId;
            unit.productId = identity.productId;
            unit.lun = domain.lun;
            unit.cdrom = domain.type == DOMAIN_TYPE_CD;
            unit.composite = composite;
            unit.ioPath = makeDevicePath(drive.serial, domain.lun);
            unit.usbLocation = emulatorLocation(drive.serial);
            unit.location = unit.ioPath;
            if (!drive.stateDir.empty()) {
                const std::filesystem::path state(drive.stateDir);
                const std::string name = "lun" + std::to_string(domain.lun);
                const std::filesystem::path dir = state / "volumes" / name;
                // A volume dismounted while the drive stays on the bus
                // (volumes.offline/) is still the unit's, as a dismount
                // leaves a volume's interface and letter on Windows: the
                // device is not gone, its volume is only not mounted. Its
                // directory is absent until it comes back.
                std::error_code ec;
                if (std::filesystem::is_directory(dir, ec) ||
                    std::filesystem::is_directory(state / "volumes.offline" / name, ec))
                    unit.mountDir = dir.string();
            }
            units.push_back(std::move(unit));
        }
    }

    std::string m_socketPath;
    std::mutex m_mutex;
    EmuClient m_client;
};

}  // namespace

std::shared_ptr<IInventoryBackend> makeEmulatorInventoryBackend(std::string socketPath) {
    return std::make_shared<EmulatorInventoryBackend>(std::move(socketPath));
}

void registerEmulatorInventoryBackend(const std::string& socketPath) {
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<IInventoryBackend>> backends;
    std::shared_ptr<IInventoryBackend> backend;
    {
        std::lock_guard<std::mutex> guard(mutex);
        auto& slot = backends[socketPath];
        if (!slot)
            slot = makeEmulatorInventoryBackend(socketPath);
        backend = slot;
    }
    registerInventoryBackend(std::move(backend));
}

}  // namespace nork::port::emu
