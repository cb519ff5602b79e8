// The drive's metadata file ("drive.state" in the state directory): one
// "key value" line per field, the value being the rest of the line verbatim;
// '#' lines and empty lines are ignored. Domain lines repeat, in table order:
//   domain <type> <flags, 0x hex> <size in sectors>
// and so do the hidden area's page passwords:
//   page-password <page> write|read <14 hex digits>
// and the private areas with the hosts they trust:
//   private-area <domain> <sectors> <32 hex digits: the password's MD5 form>
//   trusted-host <domain> <32 hex digits: PC id> <128 hex digits: host id>
// The file is replaced atomically (written beside, then renamed). It holds
// the drive's RSA private exponent and password digests, so it is the
// owner's only (0600), and so is the directory around it (0700).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <vector>

#include "model/DomainTable.h"
#include "model/HiddenArea.h"
#include "model/PrivateArea.h"
#include "model/SecureSession.h"
#include "model/ServiceList.h"
#include "model/VirtualDrive.h"

namespace qzemu {

struct PersistedState {
    Identity identity;
    DriveMode mode = DriveMode::Qz;
    std::uint32_t flashSectors = 0;
    std::vector<Domain> domains;  // type, flags, size
    std::vector<ServiceEntry> services = defaultServiceList();
    std::uint32_t errorRegister = 0;
    bool plugged = true;
    std::chrono::milliseconds reattachDelay{0};
    std::chrono::milliseconds readyDelay{0};
    std::uint32_t hiddenPages = DEFAULT_HIDDEN_PAGES;  // absent in older files: the default
    std::map<std::uint16_t, PagePasswords> pagePasswords;
    std::map<std::uint8_t, PrivateAreaRecord> privateAreas;  // by domain index
    DriveRsaKey rsaKey;  // absent in older files: made on first open
};

inline constexpr const char* STATE_FILE_NAME = "drive.state";
inline constexpr const char* IMAGE_FILE_NAME = "flash.img";

// Takes group and other rights off a drive's state directory and the files
// in it (drive.state, flash.img, hidden.img), so a directory or file made
// with wider rights is narrowed when the drive opens. Throws
// std::runtime_error when the directory's rights cannot be changed.
void keepStateToOwner(const std::filesystem::path& dir);

// Throws std::runtime_error. The directory is narrowed first, and the new
// file is the owner's only before it receives a byte.
void writeStateFile(const std::filesystem::path& dir, const PersistedState& state);
// Throws std::runtime_error naming the line of a malformed or unknown entry.
PersistedState readStateFile(const std::filesystem::path& dir);

// Text fields must be printable ASCII within their length; throws
// std::invalid_argument naming the field.
void checkIdentity(const Identity& identity);

}  // namespace qzemu
