#include "port/OsIdentity.h"

namespace nork::port {

OsIdentity detectOsIdentity() {
    // Linux has no USB storage or vendor driver files to version, and every
    // behaviour the newest platform type selects has a Linux form, so the
    // defaults describe this system.
    return OsIdentity{};
}

}  // namespace nork::port
