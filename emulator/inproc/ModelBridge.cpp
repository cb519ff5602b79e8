#include "inproc/ModelBridge.h"

#include <chrono>
#include <stdexcept>

namespace qzemu {

using std::chrono::milliseconds;

DriveConfig toModelConfig(const wire::DriveConfig& in) {
    DriveConfig out;
    Identity& id = out.identity;
    id.serial = in.serial;
    auto set = [](std::string& field, const std::string& value) {
        if (!value.empty())
            field = value;
    };
    set(id.vendor, in.vendor);
    set(id.product, in.product);
    set(id.revision, in.revision);
    set(id.firmware, in.firmware);
    set(id.reportVendor, in.reportVendor);
    set(id.reportProduct, in.reportProduct);
    if (in.usbVendorId != 0)
        id.usbVendorId = in.usbVendorId;
    if (in.usbProductId != 0)
        id.usbProductId = in.usbProductId;
    if (!in.mode.empty()) {
        auto mode = parseMode(in.mode);
        if (!mode)
            throw std::invalid_argument("unknown mode \"" + in.mode + "\"");
        out.mode = *mode;
    }
    if (in.flashSectors != 0)
        out.flashSectors = in.flashSectors;
    set(out.layout, in.layout);
    set(out.services, in.services);
    if (in.reattachDelayMs != wire::DEFAULT_DELAY)
        out.reattachDelay = milliseconds(in.reattachDelayMs);
    if (in.readyDelayMs != wire::DEFAULT_DELAY)
        out.readyDelay = milliseconds(in.readyDelayMs);
    out.attached = in.attached;
    if (in.hiddenPages != 0)
        out.hiddenPages = in.hiddenPages;
    return out;
}

namespace {

std::uint32_t ms32(milliseconds ms) {
    return ms.count() < 0 ? 0 : static_cast<std::uint32_t>(ms.count());
}

wire::Bus toWireBus(BusState state) {
    switch (state) {
        case BusState::Detached:
            return wire::Bus::Detached;
        case BusState::Attaching:
            return wire::Bus::Attaching;
        case BusState::Attached:
            return wire::Bus::Attached;
    }
    return wire::Bus::Detached;
}

}  // namespace

wire::DriveInfo toWireInfo(const DriveInfo& in) {
    wire::DriveInfo out;
    out.serial = in.identity.serial;
    out.vendor = in.identity.vendor;
    out.product = in.identity.product;
    out.revision = in.identity.revision;
    out.firmware = in.identity.firmware;
    out.reportVendor = in.identity.reportVendor;
    out.reportProduct = in.identity.reportProduct;
    out.usbVendorId = in.identity.usbVendorId;
    out.usbProductId = in.identity.usbProductId;
    out.mode = modeName(in.mode);
    out.flashSectors = in.flashSectors;
    out.freeSectors = in.freeSectors;
    out.layout = in.layout;
    out.services = in.services;
    for (const Domain& d : in.domains) {
        out.domains.push_back(wire::Domain{d.type, d.flags, d.firstSector, d.sizeSectors, d.lun});
    }
    out.errorRegister = in.errorRegister;
    out.bus = toWireBus(in.bus);
    out.plugged = in.plugged;
    out.reattachDelayMs = ms32(in.reattachDelay);
    out.readyDelayMs = ms32(in.readyDelay);
    out.lastDetachAttach = in.lastDetachAttach;
    out.commandCount = in.commandCount;
    const FaultState& f = in.faults;
    out.faults.failNext = f.failNext;
    out.faults.hasFailCode = f.failCode.has_value();
    out.faults.failCode = f.failCode.value_or(0);
    out.faults.dropOnNextCommand = f.dropOnNextCommand;
    out.faults.neverReattach = f.neverReattach;
    out.faults.hasReattachDelay = f.reattachDelay.has_value();
    out.faults.reattachDelayMs = ms32(f.reattachDelay.value_or(milliseconds(0)));
    out.faults.commandDelayMs = ms32(f.commandDelay);
    out.faults.tearWriteIn = f.tearWriteIn;
    out.faults.tearKeepSectors = f.tearKeepSectors;
    out.faults.tearThenDrop = f.tearThenDrop;
    out.faults.tearPageIn = f.tearPageIn;
    out.faults.tearPageKeepBytes = f.tearPageKeepBytes;
    out.faults.tearPageLost = f.tearPageLost;
    out.hiddenPages = static_cast<std::uint16_t>(in.hiddenPages);
    out.stateDir = in.stateDir.string();
    return out;
}

ScsiRequest toModelRequest(const wire::ScsiCommand& in) {
    ScsiRequest out;
    out.cdb = in.cdb;
    switch (in.dir) {
        case wire::DataDir::Out:
            out.dir = ScsiRequest::Out;
            break;
        case wire::DataDir::In:
            out.dir = ScsiRequest::In;
            break;
        case wire::DataDir::None:
            out.dir = ScsiRequest::None;
            break;
    }
    out.transferLength = in.transferLength;
    out.dataOut = in.dataOut;
    out.lun = in.lun;
    return out;
}

wire::ScsiAnswer toWireAnswer(const ScsiReply& in) {
    wire::ScsiAnswer out;
    out.noDevice = in.result == ScsiReply::NoDevice;
    out.status = in.scsiStatus;
    out.sense = in.sense;
    out.dataIn = in.dataIn;
    return out;
}

wire::ScsiAnswer toWireAnswer(ScsiReply&& in) {
    wire::ScsiAnswer out;
    out.noDevice = in.result == ScsiReply::NoDevice;
    out.status = in.scsiStatus;
    out.sense = in.sense;
    out.dataIn = std::move(in.dataIn);
    return out;
}

wire::EventKind toWireEvent(BusEvent event) {
    switch (event) {
        case BusEvent::Attached:
            return wire::EventKind::Attached;
        case BusEvent::Ready:
            return wire::EventKind::Ready;
        case BusEvent::Detached:
            return wire::EventKind::Detached;
    }
    return wire::EventKind::Detached;
}

void applyFault(VirtualDrive& drive, const wire::FaultRequest& r) {
    switch (r.kind) {
        case wire::FaultKind::Clear:
            drive.clearFaults();
            break;
        case wire::FaultKind::FailNext:
            drive.failNextCommands(r.count,
                                   r.flag ? std::optional<std::uint32_t>(r.value) : std::nullopt);
            break;
        case wire::FaultKind::Drop:
            drive.dropOffBusOnNextCommand();
            break;
        case wire::FaultKind::NeverReattach:
            drive.setNeverReattach(r.flag);
            break;
        case wire::FaultKind::ReattachDelay:
            drive.setReattachDelayFault(r.flag ? std::optional<milliseconds>(r.value)
                                               : std::nullopt);
            break;
        case wire::FaultKind::CommandDelay:
            drive.setCommandDelay(milliseconds(r.value));
            break;
        case wire::FaultKind::TearWrite:
            drive.tearWrite(r.count, r.value, r.flag);
            break;
        case wire::FaultKind::HidSilent:
            drive.setHidSilent(r.flag);
            break;
        case wire::FaultKind::HidWrongEcho:
            drive.setHidWrongEcho(r.flag);
            break;
        case wire::FaultKind::TearPage:
            drive.tearPageWrite(r.count, r.value, r.flag);
            break;
        case wire::FaultKind::WrongSessionProof:
            drive.setWrongSessionProof(r.flag);
            break;
    }
}

bool lunPresent(const VirtualDrive& drive, std::uint8_t lun) {
    return drive.showsLun(lun);
}

}  // namespace qzemu
