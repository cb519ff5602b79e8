#include "port/OsIdentity.h"

#include <mutex>
#include <optional>

namespace nork::port {
namespace {

std::mutex& identityMutex() {
    static std::mutex m;
    return m;
}

std::optional<OsIdentity>& overrideIdentity() {
    static std::optional<OsIdentity> identity;
    return identity;
}

}  // namespace

OsIdentity osIdentity() {
    {
        std::lock_guard<std::mutex> guard(identityMutex());
        if (overrideIdentity())
            return *overrideIdentity();
    }
    return detectOsIdentity();
}

void setOsIdentity(const OsIdentity& identity) {
    std::lock_guard<std::mutex> guard(identityMutex());
    overrideIdentity() = identity;
}

void resetOsIdentity() {
    std::lock_guard<std::mutex> guard(identityMutex());
    overrideIdentity().reset();
}

}  // namespace nork::port
