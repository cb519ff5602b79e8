// format and wp: a public domain's file system and its write protection,
// through the drive's utilities service.
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Callbacks.h"
#include "Cli.h"
#include "Domain.h"
#include "Drives.h"
#include "Numbers.h"
#include "UFD.h"
#include "UFDImpl.h"
#include "fat/FatFormat.h"
#include "port/System.h"
#include "qz/ConfigService.h"
#include "qz/UtilsImpl.h"

namespace qzctl {

// The drive known through polling, its domain at the index DOMAIN names and
// its utilities service; then `body`.
int onDomain(const Options& options, const std::string& device, const std::string& domainArg,
             const DomainBody& body) {
    const std::optional<std::uint64_t> index = qzcli::parseUnsigned(domainArg, 0, 254);
    if (!index)
        return usageError("not a domain index (0..254): " + domainArg);
    return onConfigService(options, device, [&](nork::CUFD& ufd, const auto&) {
        nork::CDomainList domains;
        const nork::STATUS status = nork::qz::CConfigService(ufd).getDomains(domains);
        if (status != nork::STATUS_OK)
            return failed(device + ": domains not read", status, ufd.impl());
        if (*index >= domains.count()) {
            return fail(EXIT_COMMAND_FAILED, device + " has no domain " + domainArg + " (" +
                                                 std::to_string(domains.count()) + " domains)");
        }
        auto utils = std::dynamic_pointer_cast<nork::qz::CUtilsImpl>(
            ufd.impl()->getService(nork::qz::CUtilsImpl::SERVICE_ID));
        if (!utils)
            return missingService(ufd.impl(), device, "utilities service");
        nork::CDomain domain = domains.at(*index);
        return body(*utils, domain, device);
    });
}

namespace {

// The longest volume label a FAT boot sector holds.
constexpr std::size_t MAX_LABEL = 11;

// A volume label as FAT keeps it: letters in upper case (as mkfs.fat and
// the DOS tools write them), at most 11 characters, none of the characters
// a short name may not hold. Only ASCII: fsck.fat calls a label with any
// byte of a code page's upper half invalid. The label, or the reason it
// cannot be one.
struct FatLabel {
    std::string text;
    std::string error;
};

FatLabel fatLabel(const std::string& given) {
    static const std::string forbidden = "\"*+,./:;<=>?[\\]|";
    FatLabel label;
    for (char c : given) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80) {
            label.error = "--label takes ASCII only (FAT tools call other labels invalid)";
            return label;
        }
        if (byte < 0x20 || byte == 0x7F) {
            label.error = "--label holds a control character";
            return label;
        }
        if (forbidden.find(c) != std::string::npos) {
            label.error = "--label may not hold any of " + forbidden;
            return label;
        }
        label.text.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    if (label.text.size() > MAX_LABEL)
        label.error = "--label holds at most 11 characters";
    return label;
}

// A percentage on standard error, redrawn in place.
class TerminalProgress : public nork::CProgressCallback {
  public:
    void onProgress(std::uint32_t percent) override {
        if (percent == m_last)
            return;
        m_last = percent;
        std::cerr << "\rformatting: " << percent << "%" << std::flush;
    }
    void finish() {
        if (m_last != NONE)
            std::cerr << "\n";
    }

  private:
    static constexpr std::uint32_t NONE = 0xFFFFFFFFu;
    std::uint32_t m_last = NONE;
};

// The configuration, keeping the boot sector the formatter built so the
// result can say which FAT it wrote.
class ReportingConfig : public nork::CFormatConfigFat {
  public:
    void onImagesReady(const nork::SectorImage&, const nork::SectorImage& bootSector) override {
        boot = bootSector;
    }
    // "FAT12", "FAT16" or "FAT32" from the boot sector's type text.
    std::string fatName() const {
        for (const std::size_t offset : {std::size_t{82}, std::size_t{54}}) {
            const char* text = reinterpret_cast<const char*>(boot.data() + offset);
            if (std::strncmp(text, "FAT", 3) == 0)
                return std::string(text, 5);
        }
        return "FAT";
    }

    nork::SectorImage boot{};
};

std::string rootText(const nork::CDomain& domain) {
    return domain.mountPoint().empty() ? std::string("-") : narrow(domain.mountPoint());
}

}  // namespace

std::string volumeText(const std::string& device, const nork::CDomain& domain) {
    std::string text = device + " domain " + std::to_string(domain.index());
    if (domain.mountPoint().empty())
        return text + " (not mounted)";
    std::string directory;
    nork::rootDirectory(domain.mountPoint(), directory);
    return text + " (" + narrow(domain.mountPoint()) +
           (directory.empty() ? std::string() : " mounted on " + directory) + ")";
}

namespace {}  // namespace

int cmdFormat(const Options& options, const std::vector<std::string>& args) {
    if (args.size() != 2)
        return usageError("format needs DEVICE and DOMAIN");
    ReportingConfig config;
    const std::string fat = options.fat.value_or("auto");
    if (fat == "auto")
        config.fsType = 0;
    else if (fat == "fat")
        config.fsType = 1;
    else if (fat == "fat32")
        config.fsType = 2;
    else
        return usageError("--fat takes auto, fat or fat32");
    const FatLabel parsed = fatLabel(options.label.value_or(""));
    if (!parsed.error.empty())
        return usageError(parsed.error);
    const std::string& label = parsed.text;
    if (label.empty())
        nork::qz::CUtilsImpl::setNoLabel(config);
    else
        config.setVolumeLabel(label.c_str());
    config.noPartitionTable = options.noPartitionTable;

    return onDomain(
        options, args[0], args[1],
        [&](auto& utils, nork::CDomain& domain, const std::string& device) {
            nork::CDomainAddress address(domain);
            // A protected domain refuses every write: say so
            // before asking or writing anything.
            bool isProtected = false;
            if (utils.getWriteProtection(address, isProtected) == nork::STATUS_OK && isProtected)
                return failed(device + ": domain " + args[1] + " not formatted",
                              nork::STATUS_DEVICE_WRITE_PROTECTED);
            if (!confirmDestruction(options, volumeText(device, domain)))
                return EXIT_USAGE;
            std::optional<TerminalProgress> bar;
            if (nork::port::standardErrorIsTerminal())
                bar.emplace();
            // Locked: the volumes stay down and no one else's for the whole
            // write, and are mounted again when it ends.
            const nork::STATUS status =
                utils.format(address, config, bar ? &*bar : nullptr, true, false);
            if (bar)
                bar->finish();
            // The only lock failure a format reports is a volume another
            // program holds (its format, `volumes --lock`): refused at once.
            if (status == nork::STATUS_DEVICE_LOCK_FAILURE)
                return fail(EXIT_IN_USE, device + ": domain " + args[1] +
                                             " not formatted: in use by another program");
            if (status != nork::STATUS_OK)
                return failed(device + ": domain " + args[1] + " not formatted", status,
                              utils.device());
            if (options.json) {
                std::cout << JsonObject()
                                 .add("domain", std::int64_t{domain.index()})
                                 .add("root", rootText(domain))
                                 .add("fileSystem", config.fatName())
                                 .add("label", label)
                                 .add("partitionTable", !options.noPartitionTable)
                                 .str()
                          << "\n";
            } else {
                std::cout << "domain " << int{domain.index()} << " (" << rootText(domain)
                          << ") formatted with " << config.fatName()
                          << (label.empty() ? std::string() : ", label " + label) << "\n";
            }
            return EXIT_OK;
        });
}

int cmdWp(const Options& options, const std::vector<std::string>& args) {
    if (args.size() != 3)
        return usageError("wp needs DEVICE, DOMAIN and on, off or status");
    const std::string& what = args[2];
    if (what != "on" && what != "off" && what != "status")
        return usageError("wp takes on, off or status, not " + what);
    return onDomain(
        options, args[0], args[1],
        [&](auto& utils, nork::CDomain& domain, const std::string& device) {
            nork::CDomainAddress address(domain);
            nork::STATUS status = nork::STATUS_OK;
            if (what != "status") {
                status = utils.configureWriteProtection(address, what == "on", false);
                if (status != nork::STATUS_OK)
                    return failed(device + ": write protection not switched " + what, status,
                                  utils.device());
            }
            bool on = false;
            status = utils.getWriteProtection(address, on);
            if (status != nork::STATUS_OK)
                return failed(device + ": write protection not read", status, utils.device());
            if (options.json) {
                std::cout << JsonObject()
                                 .add("domain", std::int64_t{domain.index()})
                                 .add("root", rootText(domain))
                                 .add("writeProtected", on)
                                 .str()
                          << "\n";
            } else {
                std::cout << "domain " << int{domain.index()} << " (" << rootText(domain)
                          << ") write protection " << (on ? "on" : "off") << "\n";
            }
            return EXIT_OK;
        });
}

}  // namespace qzctl
