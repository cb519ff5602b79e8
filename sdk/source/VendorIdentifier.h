// The vendor identifier: owns one traits object per family and decides
// which family a drive belongs to by asking them in the order Zyk, Qz, ANY.
// Created by SDK::init; the traits it owns live as long as the process.
#pragma once

#include "Singleton.h"
#include "VendorTraits.h"

namespace nork {

class CDeviceHandle;
class CDeviceParams;

class CVendorIdentifier {
  public:
    CVendorIdentifier() = default;
    CVendorIdentifier(const CVendorIdentifier&) = delete;
    CVendorIdentifier& operator=(const CVendorIdentifier&) = delete;

    static CVendorIdentifier& instance() { return TSingleton<CVendorIdentifier>::instance(); }

    // Asks each family's validate, with the platform's raw-access privilege
    // as the SCSI-access flag: the first 0 stores that family's traits in
    // the params and answers 0; a 2 stops and answers 2; else 1.
    int identify(CDeviceHandle& handle, CDeviceParams& params) const;
    // The same with the SCSI-access flag given.
    int identify(CDeviceHandle& handle, CDeviceParams& params, bool scsiAccess) const;

    const CVendorDeviceTraitsZYK& zyk() const { return m_zyk; }
    const CVendorDeviceTraitsQz& qz() const { return m_qz; }
    const CVendorDeviceTraitsANY& any() const { return m_any; }

  private:
    CVendorDeviceTraitsZYK m_zyk;
    CVendorDeviceTraitsQz m_qz;
    CVendorDeviceTraitsANY m_any;
};

}  // namespace nork
