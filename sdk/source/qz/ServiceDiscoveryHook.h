// The service list of a Qz drive as its discovery service reports it: one
// (service id, version) pair per service. The vendor traits of the Qz
// family register one implementation per pair.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace nork {

class CUFDImpl;

// Fills out with the drive's services; false when the discovery version
// query failed (the registration then registers nothing). The discovery
// service provides it; until then it answers false.
bool discoverQzServices(CUFDImpl& device,
                        std::vector<std::pair<std::uint16_t, std::uint16_t>>& out);

}  // namespace nork
