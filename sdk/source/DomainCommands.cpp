#include "DomainCommands.h"

#include "Log.h"
#include "SCSICommand.h"
#include "qz/DriveProtocol.h"

namespace nork {
namespace op = proto::qzop;

namespace {

std::uint32_t layoutSize(std::size_t domains) {
    return static_cast<std::uint32_t>(DomainWireEntry::SIZE * domains + 1);
}

}  // namespace

CQzCfgCalcValidDomainSizeCmd::CQzCfgCalcValidDomainSizeCmd(std::int32_t type, std::uint32_t sectors,
                                                           bool fillsRest)
    : CQzPrivateCommand(4, op::CFG_CALC_CLOSEST_VALID_DOMAIN_SIZE, SCSI_DIR_IN) {
    std::uint8_t params[6] = {static_cast<std::uint8_t>(type)};
    proto::putLE32(params + 1, sectors);
    params[5] = fillsRest ? 1 : 0;
    setParams(params, sizeof params);
}

std::uint32_t CQzCfgCalcValidDomainSizeCmd::closestValidSize() const {
    if (dataBuffer() == nullptr || dataLength() < 4)
        return 0;
    return proto::getLE32(dataBuffer());
}

CQzCfgGetDeviceCfgCmd::CQzCfgGetDeviceCfgCmd(std::uint32_t domains)
    : CQzPrivateCommand(layoutSize(domains), op::CFG_GET_DEVICE_CONFIGURATION, SCSI_DIR_IN),
      m_asked(domains) {}

std::uint32_t CQzCfgGetDeviceCfgCmd::GetDomainsNum() const {
    NORK_LOG(LOG_DEBUG, "CQzCfgGetDeviceCfgCmd::GetDomainsNum --- enter");
    if (dataBuffer() == nullptr || dataLength() == 0) {
        NORK_LOG(LOG_DEBUG, "CQzCfgGetDeviceCfgCmd::GetDomainsNum --- exit error");
        return 0;
    }
    const std::uint32_t n = dataBuffer()[0];
    NORK_LOG(LOG_DEBUG, "CQzCfgGetDeviceCfgCmd::GetDomainsNum --- %d domains", n);
    return n;
}

std::optional<DomainWireEntry> CQzCfgGetDeviceCfgCmd::GetDomainCfg(std::uint32_t i) const {
    const std::uint32_t reported = GetDomainsNum();
    NORK_LOG(LOG_DEBUG,
             "CQzCfgGetDeviceCfgCmd::GetDomainCfg --- GetDomainsNum returned: %d domains",
             reported);
    NORK_LOG(LOG_DEBUG, "CQzCfgGetDeviceCfgCmd::GetDomainCfg --- Enter domain extract");
    // Both bounds: the drive may report more domains than the answer holds.
    if (i >= reported || i >= m_asked)
        return std::nullopt;
    const std::size_t offset = 1 + DomainWireEntry::SIZE * i;
    if (offset + DomainWireEntry::SIZE > dataLength())
        return std::nullopt;
    DomainWireEntry e = DomainWireEntry::decode(dataBuffer() + offset);
    NORK_LOG(LOG_DEBUG,
             "CQzCfgGetDeviceCfgCmd::GetDomainCfg ---\r\n--- domainType: %d, LUN %d, flags %X, "
             "size %X",
             e.type, e.lun, e.flags, e.sectors);
    return e;
}

const std::uint8_t* CQzCfgGetDeviceCfgCmd::entries() const {
    const std::uint32_t reported = GetDomainsNum();
    if (reported == 0 || dataLength() < layoutSize(reported))
        return nullptr;
    return dataBuffer() + 1;
}

CQzCfgSetDeviceCfgCmd::CQzCfgSetDeviceCfgCmd(const std::vector<DomainWireEntry>& layout)
    : CQzPrivateCommand(layoutSize(layout.size()), op::CFG_SET_DEVICE_CONFIGURATION, SCSI_DIR_OUT) {
    std::uint8_t* data = dataBuffer();
    zyk_assert(data != nullptr && layout.size() <= 255, "dataBuffer");
    if (data == nullptr || layout.size() > 255)
        return;
    data[0] = static_cast<std::uint8_t>(layout.size());
    for (std::size_t i = 0; i < layout.size(); ++i) {
        layout[i].encode(data + 1 + DomainWireEntry::SIZE * i);
    }
}

CQzCfgDomainAddCmd::CQzCfgDomainAddCmd(const DomainWireEntry& domain)
    : CQzPrivateCommand(DomainWireEntry::SIZE, op::CFG_DOMAIN_ADD, SCSI_DIR_OUT) {
    zyk_assert(dataBuffer() != nullptr, "this->Transfer()");
    if (dataBuffer() != nullptr)
        domain.encode(dataBuffer());
}

CQzCfgDomainRemoveCmd::CQzCfgDomainRemoveCmd(const std::vector<std::uint8_t>& luns)
    : CQzPrivateCommand(static_cast<std::uint32_t>(luns.size()), op::CFG_DOMAIN_REMOVE,
                        SCSI_DIR_OUT) {
    std::uint8_t* data = dataBuffer();
    zyk_assert(data != nullptr, "this->Transfer()");
    if (data == nullptr)
        return;
    // Every domain but the last keeps its LUN; the last byte stays 0.
    for (std::size_t i = 0; i + 1 < luns.size(); ++i)
        data[i] = luns[i];
}

CQzCfgDomainChangeTypeCmd::CQzCfgDomainChangeTypeCmd(std::uint8_t index, std::uint8_t type,
                                                     std::uint16_t flags)
    : CQzPrivateCommand(5, op::CFG_DOMAIN_CHANGE_TYPE, SCSI_DIR_OUT) {
    std::uint8_t* data = dataBuffer();
    zyk_assert(data != nullptr, "dataBuffer");
    if (data == nullptr)
        return;
    data[0] = index;
    data[1] = type;
    proto::putLE16(data + 2, static_cast<std::uint16_t>(flags & DOMAIN_HOST_FLAG_MASK));
}

CQzCfgDomainSetFlagsCmd::CQzCfgDomainSetFlagsCmd(std::uint8_t index, std::uint16_t flags)
    : CQzPrivateCommand(3, op::CFG_DOMAIN_SET_FLAGS, SCSI_DIR_OUT) {
    std::uint8_t* data = dataBuffer();
    zyk_assert(data != nullptr, "dataBuffer");
    if (data == nullptr)
        return;
    data[0] = index;
    proto::putLE16(data + 1, static_cast<std::uint16_t>(flags & DOMAIN_HOST_FLAG_MASK));
}

}  // namespace nork
