// The facts about the running system that platform detection classifies.
//
// The library was designed for a family of Windows versions and keeps a
// branch per version; on Linux the identity reports the newest of them (a
// version record of an NT 6.x system), and tests set any other identity to
// exercise the older branches.
//
// Registry facts (the service-pack text "CSDVersion", the IBM laptop keys)
// are not part of the identity: detection reads them through the settings
// hive itself, so tests write them into a temporary hive.
//
// Callers: the platform object when it is built (once per process in
// production) and SDK::init's start-up check; tests set the identity before
// that. osIdentity/setOsIdentity/resetOsIdentity take a private lock and may
// be called from any thread; detection reads /dev and never blocks on a
// device. Nothing here throws or reports errors: a fact the system cannot
// give is reported as absent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace nork::port {

// The system's version record, as the version query answers it.
struct OsVersionRecord {
    static constexpr std::uint32_t PLATFORM_WIN32_WINDOWS = 1;
    static constexpr std::uint32_t PLATFORM_WIN32_NT = 2;

    // Which query answered: the extended record, the basic one as a
    // fallback, or neither (then the fields below mean nothing).
    enum class Source { Extended, Basic, None };

    Source source = Source::Extended;
    std::uint32_t platformId = PLATFORM_WIN32_NT;
    std::uint32_t majorVersion = 6;
    std::uint32_t minorVersion = 0;
    // The record's own service-pack text (szCSDVersion).
    std::u16string csdVersion;
    // Service-pack major number (the extended record's wServicePackMajor).
    std::uint16_t servicePackMajor = 0;
};

struct OsIdentity {
    // A platform type (0..12) fixed by a test, used as it is instead of
    // classifying the version record. Detection leaves it empty.
    std::optional<int> platformType;
    OsVersionRecord version;
    // Whether the process is a 32-bit process on a 64-bit system of the
    // older family (never on Linux).
    bool wow64 = false;
    // The system directory, empty optional when the system cannot name one.
    // Linux has no such directory; it is reported present and empty so the
    // driver version below is simply unreadable.
    std::optional<std::u16string> systemDirectory = std::u16string();
    // File version of the USB mass-storage driver in the system directory,
    // "a.b.c.d"; empty when unreadable (always on Linux).
    std::u16string usbStorageDriverVersion;
    // File version of the vendor's storage driver of the oldest platform;
    // empty when absent (always on Linux).
    std::u16string vendorDriverVersion;
    // Whether the process may open the system volume for reading and
    // writing (how the older platforms decide the device privileges). Empty
    // optional: ask canOpenSystemVolumeReadWrite() when it matters.
    std::optional<bool> systemVolumeWritable;
};

// The identity in force: the one set by a test, else the detected one.
OsIdentity osIdentity();

// Replaces the identity for the rest of the process (tests).
void setOsIdentity(const OsIdentity& identity);

// Drops a test identity; osIdentity() detects again.
void resetOsIdentity();

// The backend's detection (Linux: the defaults above).
OsIdentity detectOsIdentity();

// The privilege probe that stands for opening the system volume for reading
// and writing. On Linux: whether the process (its effective ids) may open
// some SCSI node read-write, that is an entry of `devRoot` named "sg*" or
// "sd*" that is not a directory. Root, or a member of the group owning the
// nodes, passes. A missing or unreadable root answers false. Tests point
// `devRoot` at a fake tree.
bool canOpenSystemVolumeReadWrite(const std::string& devRoot = "/dev");

}  // namespace nork::port
