// Service discovery: SD__Query_Service_CMD answers the descriptor of one
// service. A descriptor is a header (id, version, length; services with an
// odd id have a 10-byte header that adds the 32-bit total length) followed by
// the service's root-specific fields. The descriptor of service 3 lists every
// service: its own 39-byte record (device information) and then each other
// service's descriptor, one after the other.
#include <algorithm>

#include "model/PrivateCommands.h"
#include "qz/DriveProtocol.h"

namespace qzemu {

namespace proto = nork::proto;

namespace {

constexpr std::uint16_t SERVICE_DISCOVERY = 3;
constexpr std::uint16_t SERVICE_CONFIGURATION = 4;
constexpr std::uint16_t SERVICE_HIDDEN_AREA = 8;
constexpr std::uint16_t REASON_ILLEGAL_SERVICE_TYPE = 0x0001;
constexpr std::uint32_t DEVICE_INFO_RECORD_SIZE = 39;

std::size_t headerSize(std::uint16_t id) {
    return (id & 1) != 0 ? 10 : 6;
}

std::vector<std::uint8_t> rootSpecificFields(const DriveCore& drive, std::uint16_t id) {
    switch (id) {
        case SERVICE_DISCOVERY: {
            // Bytes 10..38 of the record: flags, two words, the 20 bytes the
            // host builds the device identifier from, the capacity in sectors.
            std::vector<std::uint8_t> f(DEVICE_INFO_RECORD_SIZE - 10, 0);
            const std::string& serial = drive.identity().serial;
            std::copy_n(serial.begin(), std::min<std::size_t>(serial.size(), 16), f.begin() + 5);
            proto::putLE16(f.data() + 21, drive.identity().usbVendorId);
            proto::putLE16(f.data() + 23, drive.identity().usbProductId);
            proto::putLE32(f.data() + 25, drive.flashSectors());
            return f;
        }
        case SERVICE_CONFIGURATION: {
            // The most domains plus one, then the supported types (1 first).
            return {static_cast<std::uint8_t>(MAX_CONFIGURED_DOMAINS + 1), 3, 1, 2, 3};
        }
        case SERVICE_HIDDEN_AREA: {
            // The page count plus one, then a reserved byte. The service's
            // version (from the service list) is the area version a host
            // formats: 0..2 give version 2, 3 gives the protected version 3.
            std::vector<std::uint8_t> f(3, 0);
            proto::putLE16(f.data(), static_cast<std::uint16_t>(drive.hiddenPages() + 1));
            return f;
        }
        default:
            return {};
    }
}

std::vector<std::uint8_t> descriptorOf(const DriveCore& drive, const ServiceEntry& s) {
    std::vector<std::uint8_t> d(headerSize(s.id), 0);
    std::vector<std::uint8_t> fields = rootSpecificFields(drive, s.id);
    d.insert(d.end(), fields.begin(), fields.end());
    proto::putLE16(d.data(), s.id);
    proto::putLE16(d.data() + 2, s.version);
    proto::putLE16(d.data() + 4, static_cast<std::uint16_t>(d.size()));
    if (headerSize(s.id) == 10)
        proto::putLE32(d.data() + 6, static_cast<std::uint32_t>(d.size()));
    return d;
}

PrivateAnswer queryService(DriveCore& drive, const PrivateRequest& r) {
    const std::uint16_t id = proto::getLE16(r.params.data());
    const auto& list = drive.services();
    auto it =
        std::find_if(list.begin(), list.end(), [&](const ServiceEntry& s) { return s.id == id; });
    if (it == list.end())
        return PrivateAnswer::fail(REASON_ILLEGAL_SERVICE_TYPE);
    std::vector<std::uint8_t> descriptor = descriptorOf(drive, *it);
    if (id == SERVICE_DISCOVERY) {
        // The list follows the discovery service's own record; the total
        // length covers them all.
        for (const ServiceEntry& s : list) {
            if (s.id == SERVICE_DISCOVERY)
                continue;
            std::vector<std::uint8_t> record = descriptorOf(drive, s);
            descriptor.insert(descriptor.end(), record.begin(), record.end());
        }
        proto::putLE32(descriptor.data() + 6, static_cast<std::uint32_t>(descriptor.size()));
    }
    // The data phase is what the host asked for: cut or zero padded.
    descriptor.resize(r.transferLength, 0);
    return PrivateAnswer::ok(std::move(descriptor));
}

}  // namespace

void registerServiceCommands(PrivateCommandTable& table) {
    table.add(proto::qzop::SD_QUERY_SERVICE, queryService);
}

}  // namespace qzemu
