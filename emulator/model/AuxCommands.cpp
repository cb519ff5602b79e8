// Auxiliary commands: detach/attach, the ready/not-ready pulse, the device
// error register, firmware version.
#include <algorithm>

#include "model/PrivateCommands.h"
#include "qz/DriveProtocol.h"

namespace qzemu {

namespace proto = nork::proto;

namespace {

// AUX__Detach_Attach carries three u32 (little-endian):
//   word 0: milliseconds the drive waits after answering before it leaves the
//           bus (the host sends 80, time to finish its own side);
//   word 1: upper bound in milliseconds of the time off the bus (the host
//           sends 40000); 0 = no bound;
//   word 2: the host's command flag; kept for inspection, no effect here.
// The drive then comes back after its reattach delay, capped by word 1.
PrivateAnswer detachAttach(DriveCore& drive, const PrivateRequest& r) {
    if (r.dir != ScsiRequest::Out || r.dataOut->size() < proto::DETACH_ATTACH_DATA_SIZE) {
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    }
    const std::uint8_t* d = r.dataOut->data();
    const std::array<std::uint32_t, 3> words{proto::getLE32(d), proto::getLE32(d + 4),
                                             proto::getLE32(d + 8)};
    drive.recordDetachAttach(words);
    drive.leaveBusAndReturn(std::chrono::milliseconds(words[0]),
                            std::chrono::milliseconds(words[1]));
    return PrivateAnswer::ok();
}

// AUX__Ready_Not_Ready_Pulse, parameter byte 0 the domain index: that
// domain's LUN goes not ready and ready again at once, so the host reads its
// medium anew. A domain without a LUN (or none at the index) refuses.
PrivateAnswer readyNotReadyPulse(DriveCore& drive, const PrivateRequest& r) {
    const auto& domains = drive.table().domains();
    const std::uint8_t index = r.params[0];
    if (index >= domains.size() || domains[index].lun == proto::DOMAIN_WIRE_NO_LUN)
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    drive.representMedium(domains[index].lun);
    return PrivateAnswer::ok();
}

// The register, little-endian in bytes 0..3, no extended data; reading it
// clears it.
PrivateAnswer getErrorCode(DriveCore& drive, const PrivateRequest&) {
    std::vector<std::uint8_t> data(proto::ERROR_CODE_ANSWER_SIZE, 0);
    proto::putLE32(data.data(), drive.errorRegister());
    drive.setErrorRegister(0);
    return PrivateAnswer::ok(std::move(data));
}

// The firmware version text, zero padded to 24 bytes (at most 23 characters,
// so the answer always holds a terminator).
PrivateAnswer getFwVersion(DriveCore& drive, const PrivateRequest&) {
    std::vector<std::uint8_t> data(proto::FW_VERSION_ANSWER_SIZE, 0);
    const std::string& text = drive.identity().firmware;
    std::copy_n(text.begin(), std::min<std::size_t>(text.size(), data.size() - 1), data.begin());
    return PrivateAnswer::ok(std::move(data));
}

}  // namespace

void registerAuxCommands(PrivateCommandTable& table) {
    table.add(proto::qzop::AUX_DETACH_ATTACH, detachAttach);
    table.add(proto::qzop::AUX_READY_NOT_READY_PULSE, readyNotReadyPulse);
    table.add(proto::qzop::AUX_GET_ERROR_CODE, getErrorCode);
    table.add(proto::qzop::AUX_GET_FW_VERSION, getFwVersion);
}

}  // namespace qzemu
