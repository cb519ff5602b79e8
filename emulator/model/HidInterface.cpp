#include "model/HidInterface.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <string>

#include "model/DriveCore.h"
#include "qz/DriveProtocol.h"

namespace qzemu {

namespace fs = std::filesystem;
namespace proto = nork::proto;
namespace hid = nork::proto::hid;
using namespace std::chrono_literals;

namespace {

// Time between the last read of the switch sequence and leaving the bus, so
// the host's closing read is still answered.
constexpr auto SWITCH_LEAVE_DELAY = 20ms;

std::vector<std::uint8_t> stringDescriptor(const std::string& text) {
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
    for (char c : text) {
        d.push_back(static_cast<std::uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

void queueReport(DriveCore& drive, std::vector<std::uint8_t> report) {
    drive.hid().input.push_back(std::move(report));
    drive.stateChanged.notify_all();
}

// Runs the collected command and queues its answer.
void runCommand(DriveCore& drive) {
    HidState& h = drive.hid();
    const std::uint8_t* b = h.block.data();
    const std::uint16_t op = proto::getLE16(b + hid::BLOCK_OPCODE);
    const std::uint32_t size = proto::getLE32(b + hid::BLOCK_DATA_SIZE);
    const std::uint32_t reports = proto::getLE32(b + hid::BLOCK_DATA_REPORTS);
    const bool in = b[hid::BLOCK_DIRECTION] == 1;

    // The same request a SCSI private frame makes.
    ScsiRequest request;
    request.cdb.assign(proto::QZ_SCSI_CDB_LENGTH, 0);
    request.cdb[0] = proto::PRIVATE_OPCODE;
    proto::putLE16(&request.cdb[1], op);
    std::copy_n(b + hid::BLOCK_PARAMS, proto::QZ_PARAMS_SIZE,
                request.cdb.begin() + proto::PRIVATE_PARAMS_OFFSET);
    if (size == 0) {
        request.dir = ScsiRequest::None;
    } else if (in) {
        request.dir = ScsiRequest::In;
        request.transferLength = size;
    } else {
        request.dir = ScsiRequest::Out;
        request.dataOut = h.dataOut;
        request.dataOut.resize(size);
    }
    h.collecting = false;
    h.dataOut.clear();

    const ScsiReply reply = drive.execute(request);
    if (reply.result == ScsiReply::NoDevice)
        return;
    if (in) {
        for (std::uint32_t i = 0; i < reports; ++i) {
            std::vector<std::uint8_t> r(hid::REPORT_SIZE, 0);
            const std::size_t off = static_cast<std::size_t>(i) * hid::PAYLOAD_SIZE;
            if (reply.good() && off < reply.dataIn.size()) {
                const std::size_t n =
                    std::min<std::size_t>(hid::PAYLOAD_SIZE, reply.dataIn.size() - off);
                std::copy_n(reply.dataIn.begin() + static_cast<std::ptrdiff_t>(off), n,
                            r.begin() + 1);
            }
            queueReport(drive, std::move(r));
        }
    }
    // A drive that leaves the bus has no status to give. Every other command,
    // the service query included, ends with its status report; a host that
    // does not read it finds it dropped when it arms its next command.
    if (op == proto::qzop::AUX_DETACH_ATTACH)
        return;
    std::vector<std::uint8_t> status(hid::REPORT_SIZE, 0);
    const std::uint16_t echo =
        drive.faults().hidWrongEcho ? static_cast<std::uint16_t>(op + 1) : op;
    proto::putLE16(&status[hid::STATUS_OPCODE], echo);
    proto::putLE16(&status[hid::STATUS_WORD], reply.good() ? 0 : 1);
    queueReport(drive, std::move(status));
}

void resetInterface(DriveCore& drive) {
    drive.hid().dropTraffic();
    ++drive.hid().resets;
}

void noteSequenceRead(DriveCore& drive, std::uint8_t index) {
    HidState& h = drive.hid();
    if (index != USB_STRING_SWITCH && index != USB_STRING_RESET) {
        h.sequence.clear();
        return;
    }
    if (index == USB_STRING_RESET)
        resetInterface(drive);
    h.sequence.push_back(index);
    static const std::vector<std::uint8_t> SWITCH{USB_STRING_SWITCH, USB_STRING_SWITCH,
                                                  USB_STRING_RESET, USB_STRING_RESET,
                                                  USB_STRING_SWITCH};
    if (h.sequence.size() > SWITCH.size())
        h.sequence.erase(h.sequence.begin());
    if (h.sequence == SWITCH) {
        h.sequence.clear();
        if (!h.composite) {
            saveCompositeMode(drive.dir(), true);
            h.composite = true;
            drive.leaveBusAndReturn(SWITCH_LEAVE_DELAY, 0ms);
        }
    }
}

void appendEndpoint(std::vector<std::uint8_t>& d, std::uint8_t address, std::uint8_t attributes,
                    std::uint16_t maxPacket, std::uint8_t interval) {
    d.insert(d.end(), {7, 5, address, attributes, static_cast<std::uint8_t>(maxPacket & 0xFF),
                       static_cast<std::uint8_t>(maxPacket >> 8), interval});
}

// The active configuration as GET_DESCRIPTOR(CONFIGURATION) returns it:
// configuration, then each interface followed by its class descriptor and
// endpoints.
std::vector<std::uint8_t> configurationDescriptor(bool composite) {
    std::vector<std::uint8_t> d{9,
                                2,
                                0,
                                0,
                                static_cast<std::uint8_t>(composite ? 2 : 1),
                                1,     // bConfigurationValue
                                0,     // iConfiguration
                                0x80,  // bus powered
                                USB_MAX_POWER_2MA};
    // Mass storage, SCSI transparent command set, bulk only.
    d.insert(d.end(), {9, 4, 0, 0, 2, USB_CLASS_MASS_STORAGE, 0x06, 0x50, 0});
    appendEndpoint(d, USB_EP_BULK_IN, 0x02, 512, 0);
    appendEndpoint(d, USB_EP_BULK_OUT, 0x02, 512, 0);
    if (composite) {
        const auto reportSize = static_cast<std::uint16_t>(hidReportDescriptor().size());
        d.insert(d.end(), {9, 4, 1, 0, 1, USB_CLASS_HID, 0, 0, 0});
        // HID class descriptor: HID 1.11, one report descriptor.
        d.insert(d.end(),
                 {9, 0x21, 0x11, 0x01, 0, 1, 0x22, static_cast<std::uint8_t>(reportSize & 0xFF),
                  static_cast<std::uint8_t>(reportSize >> 8)});
        appendEndpoint(d, USB_EP_INTERRUPT_IN, 0x03, 64, 1);
    }
    proto::putLE16(&d[2], static_cast<std::uint16_t>(d.size()));
    return d;
}

}  // namespace

const std::vector<std::uint8_t>& hidReportDescriptor() {
    static const std::vector<std::uint8_t> descriptor{
        0x06, 0x00, 0xFF,                    // usage page 0xFF00
        0x09, 0x01,                          // usage 1
        0xA1, 0x01,                          // collection (application)
        0x15, 0x00, 0x26, 0xFF, 0x00,        //   logical 0..255
        0x75, 0x08,                          //   8-bit fields
        0x06, 0x00, 0xFF, 0x19, 0x20, 0x29,  //   page FF00, usages 0x20..0x22
        0x22, 0x95, 0x14, 0x81, 0x02,        //   20 bytes in
        0x06, 0x00, 0xFE, 0x09, 0x01,        //   page FE00, usage 1
        0x95, 0x15, 0x81, 0x02,              //   21 bytes in
        0x06, 0x00, 0xFD, 0x09, 0x01,        //   page FD00, usage 1
        0x95, 0x15, 0x81, 0x02,              //   21 bytes in
        0x06, 0x00, 0xFF, 0x19, 0x01, 0x29,  //   page FF00, usages 1..64
        0x40, 0x95, 0x39, 0x91, 0x02,        //   57 bytes out
        0x19, 0x41, 0x29, 0x45,              //   usages 65..69
        0x95, 0x05, 0x91, 0x02,              //   5 bytes out
        0xC0};
    return descriptor;
}

bool loadCompositeMode(const fs::path& dir) {
    std::ifstream in(dir / USB_MODE_FILE_NAME);
    std::string word;
    in >> word;
    return word == "composite";
}

void saveCompositeMode(const fs::path& dir, bool composite) {
    const fs::path tmp = dir / (std::string(USB_MODE_FILE_NAME) + ".tmp");
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << (composite ? "composite" : "disk") << "\n";
        if (!out)
            throw std::runtime_error("cannot write " + tmp.string());
    }
    fs::rename(tmp, dir / USB_MODE_FILE_NAME);
}

HidResult hidWriteLocked(DriveCore& drive, const std::vector<std::uint8_t>& report) {
    if (drive.bus() == BusState::Detached)
        return HidResult::NoDevice;
    HidState& h = drive.hid();
    if (!h.composite)
        return HidResult::NoInterface;
    if (drive.faults().hidSilent)
        return HidResult::Ok;
    std::vector<std::uint8_t> r = report;
    r.resize(hid::REPORT_SIZE, 0);

    if (h.collecting) {
        h.dataOut.insert(h.dataOut.end(), r.begin() + 1, r.end());
        if (--h.dataLeft == 0)
            runCommand(drive);
        return HidResult::Ok;
    }
    if (!std::equal(std::begin(proto::ZYK_PRIVATE_SIGNATURE),
                    std::end(proto::ZYK_PRIVATE_SIGNATURE), r.begin() + 1 + hid::BLOCK_SIGNATURE))
        return HidResult::Ok;  // not a command block: nothing to do with it
    std::copy_n(r.begin() + 1, hid::BLOCK_SIZE, h.block.begin());
    const std::uint32_t size = proto::getLE32(h.block.data() + hid::BLOCK_DATA_SIZE);
    const std::uint32_t reports = proto::getLE32(h.block.data() + hid::BLOCK_DATA_REPORTS);
    const bool in = h.block[hid::BLOCK_DIRECTION] == 1;
    h.dataOut.clear();
    // A block whose counts disagree is answered as a refused command.
    if (reports != hid::dataReports(size) || size > 16u * 1024 * 1024) {
        std::vector<std::uint8_t> status(hid::REPORT_SIZE, 0);
        std::copy_n(h.block.begin() + hid::BLOCK_OPCODE, 2, status.begin() + hid::STATUS_OPCODE);
        proto::putLE16(&status[hid::STATUS_WORD], 1);
        queueReport(drive, std::move(status));
        return HidResult::Ok;
    }
    if (!in && reports > 0) {
        h.collecting = true;
        h.dataLeft = reports;
        return HidResult::Ok;
    }
    runCommand(drive);
    return HidResult::Ok;
}

std::optional<std::vector<std::uint8_t>> usbDescriptorLocked(DriveCore& drive, std::uint8_t type,
                                                             std::uint8_t index,
                                                             std::uint16_t lang) {
    if (drive.bus() == BusState::Detached)
        return std::nullopt;
    const Identity& id = drive.identity();
    if (type == 1) {
        std::vector<std::uint8_t> d(18, 0);
        d[0] = 18;
        d[1] = 1;
        proto::putLE16(&d[2], 0x0200);
        d[7] = 64;
        proto::putLE16(&d[8], id.usbVendorId);
        proto::putLE16(&d[10], id.usbProductId);
        proto::putLE16(&d[12], 0x0100);
        d[14] = USB_STRING_MANUFACTURER;
        d[15] = USB_STRING_PRODUCT;
        d[16] = USB_STRING_SERIAL;
        d[17] = 1;
        return d;
    }
    if (type == 2)
        return configurationDescriptor(drive.hid().composite);
    if (type != 3)
        return std::nullopt;
    if (index == 0)
        return std::vector<std::uint8_t>{4, 3, 0x09, 0x04};
    if (lang != proto::USB_LANG_EN_US)
        return std::nullopt;
    const bool smart = drive.mode() == DriveMode::Qz;
    noteSequenceRead(drive, smart ? index : 0);
    switch (index) {
        case USB_STRING_MANUFACTURER:
            return stringDescriptor(id.vendor);
        case USB_STRING_PRODUCT:
            return stringDescriptor(id.product);
        case USB_STRING_SERIAL:
            return stringDescriptor(id.serial);
        case USB_STRING_ID:
            if (smart)
                return stringDescriptor(id.reportVendor + " " + id.reportProduct);
            break;
        case USB_STRING_SWITCH:
        case USB_STRING_RESET:
            if (smart)
                return stringDescriptor("Qz");
            break;
        default:
            break;
    }
    return std::nullopt;
}

}  // namespace qzemu
