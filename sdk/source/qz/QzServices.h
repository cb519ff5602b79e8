// The implementation a discovered (service id, version) pair of a Qz drive
// becomes.
#pragma once

#include <cstdint>
#include <memory>

#include "ServiceImpl.h"

namespace nork::qz {

// The configuration (4), cookie (8), secure-session (10), crypto (19) and
// utilities (20) services get their implementations;
// null for a cookie service of a version the library does not know. Services whose
// implementation is not part of the library yet are registered as plain
// service objects carrying their id and version, so the device's registry
// lists every service it has; their public handles answer
// STATUS_COMMAND_NOT_SUPPORTED until the service is implemented.
std::unique_ptr<CServiceImpl> makeQzService(std::uint16_t id, std::uint16_t version);

}  // namespace nork::qz
