// Validators: decide whether the drive behind a handle belongs to a family
// and, when it does, fill its parameters (serial number, state, version).
// Each answers like the vendor traits' validate: 0 mine, 1 not mine, 2 stop
// (the drive is there but cannot be judged now). They send standard SCSI
// commands (and the Zyk parameters command) on the handle, opening it with
// its path kind when it is closed.
#pragma once

#include <string>

namespace nork {

class CDeviceHandle;
class CDeviceParams;

// The REPORT ID vendor field of the family: "Qz" followed by one character
// and the product generation digit ("Qz 4").
class CQzStringIdParser {
  public:
    bool parse(const std::string& text);
    bool parse(const std::u16string& text);
    bool isValid() const { return m_valid; }
    // The generation digit's value; -1 when absent.
    int generation() const { return m_generation; }

  private:
    bool m_valid = false;
    int m_generation = -1;
};

// INQUIRY vendor "Corvane" and product "Qz Pellix" (prefixes, case
// ignored).
class CQzSCSIInquiryStringIdParser {
  public:
    static bool matches(const std::string& vendor, const std::string& product);
};

// Bounded wait for the unit to report ready (REQUEST SENSE every 100 ms).
// True at once without raw device access.
bool waitForReady(CDeviceHandle& handle);

class CDeviceValidatorSCSIQz {
  public:
    int validate(CDeviceHandle& handle, CDeviceParams& params);
};

// The earlier product line over SCSI.
class CDeviceValidatorSCSI {
  public:
    int validate(CDeviceHandle& handle, CDeviceParams& params);
};

// Drives found by the enumeration paths open to users without raw device
// access: identified from the system's USB record alone.
class CDeviceValidatorNonAdmin {
  public:
    int validate(CDeviceHandle& handle, CDeviceParams& params);
};

// Any other USB disk found by the first enumeration path.
class CDeviceValidatorSCSIAny {
  public:
    int validate(CDeviceHandle& handle, CDeviceParams& params);
};

}  // namespace nork
