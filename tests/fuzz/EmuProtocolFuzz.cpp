// Fuzz target of the emulator's wire protocol as a socket delivers it: a
// stream of messages, each header checked as the daemon checks it and each
// payload decoded as its receiver decodes it (requests as qzemud does, with
// a creation's layout and service texts; replies and events as the client
// does). Whatever decodes must encode to bytes that decode again to the
// same encoding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "inproc/ModelBridge.h"
#include "model/DomainTable.h"
#include "model/ServiceList.h"
#include "port/emu/EmuProtocol.h"

namespace {

namespace wire = nork::port::emu;
using Bytes = std::vector<std::uint8_t>;
using wire::MsgType;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "emulator protocol fuzz: %s\n", what);
    std::abort();
}

// Decodes one payload; when it decodes, its encoding must decode again and
// encode the same.
template <class Message, class... Extended>
bool decodes(const Bytes& payload, Message& message, Extended... extended) {
    if (!wire::decode(payload, message, extended...))
        return false;
    const Bytes once = wire::encode(message, extended...);
    Message again;
    if (!wire::decode(once, again, extended...))
        fail("an encoded message is refused");
    if (wire::encode(again, extended...) != once)
        fail("an encoded message decodes to another");
    return true;
}

// What qzemud makes of a creation request before it creates the drive.
void create(const Bytes& payload) {
    wire::DriveConfig request;
    if (!decodes(payload, request))
        return;
    try {
        const qzemu::DriveConfig config = qzemu::toModelConfig(request);
        if (config.flashSectors == 0)
            return;
        const qzemu::DomainTable table =
            qzemu::DomainTable::parse(config.layout, config.flashSectors);
        const qzemu::DomainTable again =
            qzemu::DomainTable::parse(table.toLayout(), config.flashSectors);
        if (again.toLayout() != table.toLayout())
            fail("a layout does not read back");
        const auto services = qzemu::parseServiceList(config.services);
        if (qzemu::serviceListText(qzemu::parseServiceList(qzemu::serviceListText(services))) !=
            qzemu::serviceListText(services))
            fail("a service list does not read back");
    } catch (const std::invalid_argument&) {
        // Refused with its reason, as the daemon answers.
    }
}

void request(MsgType type, const Bytes& payload) {
    switch (type) {
        case MsgType::List: {
            wire::ListRequest m;
            decodes(payload, m);
            break;
        }
        case MsgType::OpenLun: {
            wire::OpenLunRequest m;
            decodes(payload, m);
            break;
        }
        case MsgType::Scsi: {
            wire::ScsiCommand m;
            if (decodes(payload, m))
                qzemu::toModelRequest(m);
            break;
        }
        case MsgType::Create:
            create(payload);
            break;
        case MsgType::Inspect: {
            wire::InspectRequest m;
            decodes(payload, m);
            break;
        }
        case MsgType::Remove:
        case MsgType::Plug:
        case MsgType::Unplug:
        case MsgType::HidOpen: {
            wire::SerialRequest m;
            decodes(payload, m);
            break;
        }
        case MsgType::Fault: {
            wire::FaultRequest m;
            decodes(payload, m);
            break;
        }
        case MsgType::HidWrite: {
            wire::HidWriteRequest m;
            decodes(payload, m);
            break;
        }
        case MsgType::HidRead: {
            wire::HidReadRequest m;
            decodes(payload, m);
            break;
        }
        case MsgType::UsbDescriptor: {
            wire::UsbDescriptorRequest m;
            decodes(payload, m);
            break;
        }
        case MsgType::UsbMode: {
            wire::UsbModeRequest m;
            decodes(payload, m);
            break;
        }
        case MsgType::Event: {
            wire::Event m;
            decodes(payload, m);
            break;
        }
        case MsgType::Error: {
            wire::ErrorReply m;
            decodes(payload, m);
            break;
        }
        default:
            break;
    }
}

// Replies as the client reads them (extended or not: both are tried).
void reply(MsgType request, const Bytes& payload) {
    switch (request) {
        case MsgType::List:
            for (bool extended : {false, true}) {
                std::vector<wire::DriveInfo> m;
                decodes(payload, m, extended);
            }
            break;
        case MsgType::Create:
        case MsgType::Inspect:
            for (bool extended : {false, true}) {
                wire::DriveInfo m;
                decodes(payload, m, extended);
            }
            break;
        case MsgType::Scsi: {
            wire::ScsiAnswer m;
            decodes(payload, m);
            break;
        }
        case MsgType::HidOpen:
        case MsgType::HidRead:
        case MsgType::UsbDescriptor: {
            wire::BytesReply m;
            decodes(payload, m);
            break;
        }
        case MsgType::UsbMode: {
            wire::UsbModeRequest m;
            decodes(payload, m);
            break;
        }
        default:
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t pos = 0;
    while (size - pos >= wire::HEADER_SIZE) {
        wire::Header header;
        wire::EmuErrc why{};
        // A bad header or a message cut short ends the connection.
        if (!wire::decodeHeader(data + pos, header, why))
            break;
        pos += wire::HEADER_SIZE;
        if (header.length > size - pos)
            break;
        const Bytes payload(data + pos, data + pos + header.length);
        pos += header.length;
        if ((header.type & wire::REPLY_FLAG) != 0 && header.type != 0xFFFF)
            reply(static_cast<MsgType>(header.type & ~wire::REPLY_FLAG), payload);
        else
            request(static_cast<MsgType>(header.type), payload);
    }
    return 0;
}
