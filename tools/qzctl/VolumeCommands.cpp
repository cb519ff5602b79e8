// qzctl volumes: a drive's volumes (letter, directory, kind, state), and
// their lock, dismount and unlock through the library's volume utility, as
// the drive's services take them for exclusive access.
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Cli.h"
#include "UFD.h"
#include "UFDImpl.h"
#include "port/DeviceInventory.h"
#include "port/StopWait.h"
#include "port/VolumeIo.h"
#include "utils/DiskUtils.h"

namespace qzctl {

namespace {

struct VolumeRow {
    int lun = 0;
    std::string root;       // "E:\" or empty
    std::string directory;  // empty when not mounted
    bool cdrom = false;
    bool mounted = false;
    bool locked = false;
};

// The drive's units as the system shows them now (mounted volumes get
// their letters, as any device work gives them).
std::vector<nork::port::StorageUnit> unitsOf(const std::string& serial) {
    std::vector<nork::port::StorageUnit> units;
    for (auto& unit : nork::port::snapshot().units) {
        if (unit.facts.serial == serial)
            units.push_back(std::move(unit));
    }
    return units;
}

std::vector<VolumeRow> rowsOf(const std::string& serial) {
    std::vector<VolumeRow> rows;
    for (const auto& unit : unitsOf(serial)) {
        VolumeRow row;
        row.lun = unit.facts.lun;
        if (unit.letter != 0)
            row.root = std::string{static_cast<char>(unit.letter), ':', '\\'};
        row.directory = unit.facts.mountDir;
        row.cdrom = unit.facts.cdrom;
        row.mounted = !unit.facts.mountDir.empty();
        if (auto driver = nork::port::volumeDriverFor(unit.facts)) {
            nork::port::VolumeState state;
            if (!driver->query(unit.facts, state)) {
                row.mounted = state.mounted;
                row.locked = state.locked;
            }
        }
        // A dismounted volume keeps its letter for when it comes back, but
        // has neither a root nor a directory to show now.
        if (!row.mounted) {
            row.root.clear();
            row.directory.clear();
        }
        rows.push_back(row);
    }
    return rows;
}

void print(const Options& options, const std::string& serial, const std::vector<VolumeRow>& rows) {
    if (options.json) {
        std::vector<std::string> items;
        for (const VolumeRow& r : rows) {
            items.push_back(
                JsonObject()
                    .add("lun", std::int64_t{r.lun})
                    .addRaw("root", r.root.empty() ? "null" : jsonString(r.root))
                    .addRaw("directory", r.directory.empty() ? "null" : jsonString(r.directory))
                    .add("kind", r.cdrom ? "cdrom" : "removable")
                    .add("state", r.mounted ? "mounted" : "dismounted")
                    .add("locked", r.locked)
                    .str());
        }
        std::cout << JsonObject().add("serial", serial).addRaw("volumes", jsonArray(items)).str()
                  << "\n";
        return;
    }
    for (const VolumeRow& r : rows) {
        std::cout << "LUN " << r.lun << "  " << (r.root.empty() ? "(no letter)" : r.root) << "  "
                  << (r.directory.empty() ? "-" : r.directory) << "  "
                  << (r.cdrom ? "CD-ROM" : "removable") << "  "
                  << (r.mounted ? "mounted" : "dismounted") << (r.locked ? ", locked" : "") << "\n";
    }
}

// The letters of the drive's mounted volumes, as the device's drive mask.
std::uint32_t letterMask(const std::string& serial) {
    std::uint32_t mask = 0;
    for (const auto& unit : unitsOf(serial)) {
        if (unit.letter >= u'A' && unit.letter <= u'Z')
            mask |= 1u << (unit.letter - u'A');
    }
    return mask;
}

int remountAll(const std::string& serial, const std::string& device) {
    for (const auto& unit : unitsOf(serial)) {
        auto driver = nork::port::volumeDriverFor(unit.facts);
        if (!driver)
            continue;
        if (nork::port::PortError e = driver->remount(unit.facts)) {
            return fail(EXIT_COMMAND_FAILED,
                        device + ": the volume of LUN " + std::to_string(unit.facts.lun) +
                            " did not come back (" + nork::port::portErrcName(e.code) + ")");
        }
    }
    return EXIT_OK;
}

int volumesOf(const Options& options, nork::CUFD& ufd, const std::string& device) {
    nork::CUFDImpl& impl = *ufd.impl();
    const std::string serial = narrow(impl.serialNumber());
    if (options.volumeUnlock) {
        if (int rc = remountAll(serial, device); rc != EXIT_OK)
            return rc;
    } else if (options.volumeDismount || options.volumeLock) {
        impl.setDriveMask(letterMask(serial));
        // The utility keeps its handles: their locks last as long as it.
        nork::CDiskUtils utils(true);
        // A volume that cannot be taken is held by another program (its
        // format, its `volumes --lock`): refused at once, as a format is.
        if (!utils.umountDisk(impl, false, false)) {
            return fail(EXIT_IN_USE, device +
                                         ": not every volume could be locked and dismounted: in "
                                         "use by another program");
        }
        if (options.volumeLock) {
            print(options, serial, rowsOf(serial));
            std::cerr << "qzctl: the volumes of " << serial
                      << " are locked; press Enter or Ctrl+C to release them" << std::endl;
            (void)nork::port::waitForEnterOrStopSignal();
            for (int index = 0; index < nork::CDiskUtilsImpl::LENGTH; ++index) {
                if (utils.impl() != nullptr && utils.impl()->slot(index) != nullptr)
                    utils.unlockVolume(index);
            }
            std::cerr << "qzctl: released" << std::endl;
            return EXIT_OK;
        }
    }
    print(options, serial, rowsOf(serial));
    return EXIT_OK;
}

}  // namespace

int cmdVolumes(const Options& options, const std::vector<std::string>& args) {
    if (args.size() != 1)
        return usageError("volumes needs exactly one DEVICE");
    const int actions =
        int{options.volumeLock} + int{options.volumeUnlock} + int{options.volumeDismount};
    if (actions > 1)
        return usageError("volumes takes one of --lock, --unlock and --dismount");
    return withDrive(options, args[0], [&](nork::CUFD& ufd, const std::string& device) {
        return volumesOf(options, ufd, device);
    });
}

}  // namespace qzctl
