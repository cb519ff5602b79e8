// The facts about the running system that platform detection classifies.
//
// The library was designed for a family of Windows versions and keeps a
// branch per version; on Linux the identity reports the newest of them, and
// tests set any other identity to exercise the older branches. Read by the
// platform object when it is built (once per process in production); set only
// by tests, before that. Reads and writes take a private lock and never block
// otherwise.
#pragma once

#include <string>

namespace nork::port {

struct OsIdentity {
    // Platform type as the library numbers it (0..12; 12 = the newest).
    int platformType = 12;
    // File version of the USB mass-storage driver, "a.b.c.d"; empty when
    // there is no such file (always on Linux).
    std::u16string usbStorageDriverVersion;
    // File version of the vendor's storage driver of the oldest platform;
    // empty when absent (always on Linux).
    std::u16string vendorDriverVersion;
    // Whether the process may open the system volume for reading and writing
    // (how older platforms decide the device privileges). Not consulted for
    // the newest platform type.
    bool systemVolumeWritable = false;
};

// The identity in force: the one set by a test, else the detected one.
OsIdentity osIdentity();

// Replaces the identity for the rest of the process (tests).
void setOsIdentity(const OsIdentity& identity);

// Drops a test identity; osIdentity() detects again.
void resetOsIdentity();

// The backend's detection (Linux: the defaults above).
OsIdentity detectOsIdentity();

}  // namespace nork::port
