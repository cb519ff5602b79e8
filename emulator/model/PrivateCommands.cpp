#include "model/PrivateCommands.h"

#include <algorithm>
#include <cstring>

#include "model/SecureSession.h"
#include "qz/DriveProtocol.h"

namespace qzemu {

namespace proto = nork::proto;

namespace {

bool isZykFrame(const std::vector<std::uint8_t>& cdb) {
    return cdb.size() >= proto::ZYK_SCSI_CDB_LENGTH &&
           std::equal(
               std::begin(proto::ZYK_PRIVATE_SIGNATURE), std::end(proto::ZYK_PRIVATE_SIGNATURE),
               cdb.begin() + (proto::ZYK_SCSI_CDB_LENGTH - proto::ZYK_PRIVATE_SIGNATURE_LEN));
}

PrivateCommandTable buildStandardTable() {
    PrivateCommandTable table;
    registerAuxCommands(table);
    registerConfigCommands(table);
    registerServiceCommands(table);
    registerHiddenAreaCommands(table);
    registerPrivateAreaCommands(table);
    registerSecureSessionCommands(table);
    registerCdLockCommands(table);
    return table;
}

}  // namespace

const PrivateCommandTable& PrivateCommandTable::standard() {
    static const PrivateCommandTable table = buildStandardTable();
    return table;
}

std::optional<std::uint16_t> qzFrameOp(const std::vector<std::uint8_t>& cdb) {
    if (cdb.size() < proto::QZ_SCSI_CDB_LENGTH || cdb[0] != proto::PRIVATE_OPCODE ||
        isZykFrame(cdb)) {
        return std::nullopt;
    }
    return proto::getLE16(&cdb[1]);
}

ScsiReply runPrivateFrame(DriveCore& drive, const ScsiRequest& r) {
    // An ordinary disk knows no vendor frames; the Zyk line's frames are
    // recognised but not served (yet) in any mode, and a Zyk-mode drive
    // serves no Qz frames either.
    const auto op = qzFrameOp(r.cdb);
    if (drive.mode() != DriveMode::Qz || !op)
        return checkCondition(sense::INVALID_OPCODE);

    PrivateRequest request;
    request.op = *op;
    std::copy_n(r.cdb.begin() + proto::PRIVATE_PARAMS_OFFSET, proto::QZ_PARAMS_SIZE,
                request.params.begin());
    request.dir = r.dir;
    request.transferLength = r.transferLength;
    request.dataOut = &r.dataOut;
    request.lun = r.lun == proto::DOMAIN_WIRE_NO_LUN ? 0 : r.lun;
    request.connection = r.connection;

    // In a secure session the data phase of the session's commands travels
    // encrypted; handlers see it plain.
    auto sessionIt = drive.sessions().find(r.connection);
    const ConnectionSession* connectionSession =
        sessionIt == drive.sessions().end() ? nullptr : &sessionIt->second;
    // Parameter byte 0 names a domain; a private-area session is the LUN's.
    const auto& domains = drive.table().domains();
    const std::uint8_t commandLun = request.params[0] < domains.size()
                                        ? domains[request.params[0]].lun
                                        : proto::DOMAIN_WIRE_NO_LUN;
    const bool encrypted = sessionDataIsEncrypted(connectionSession, *op, commandLun);
    std::vector<std::uint8_t> plainOut;
    if (encrypted && !r.dataOut.empty()) {
        plainOut = r.dataOut;
        sessionDecrypt(*connectionSession, plainOut);
        request.dataOut = &plainOut;
    }
    const std::optional<ConnectionSession> sessionBefore =
        encrypted ? std::optional<ConnectionSession>(*connectionSession) : std::nullopt;

    PrivateHandler handler = PrivateCommandTable::standard().find(*op);
    PrivateAnswer answer =
        handler ? handler(drive, request) : PrivateAnswer::fail(REASON_NOT_SUPPORTED);
    if (sessionBefore && answer.reason == 0 && !answer.dataIn.empty())
        sessionEncrypt(*sessionBefore, answer.dataIn);
    if (answer.reason != 0) {
        drive.setErrorRegister(proto::makeDeviceError(*op, answer.reason));
        return checkCondition(answer.reason == REASON_NOT_SUPPORTED ? sense::INVALID_OPCODE
                                                                    : sense::INVALID_FIELD);
    }
    const std::uint32_t limit = r.dir == ScsiRequest::In ? r.transferLength : 0;
    return goodReply(std::move(answer.dataIn), limit);
}

}  // namespace qzemu
