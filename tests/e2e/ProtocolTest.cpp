// The wire codec, the emulator's device paths and the pass-through
// translation, without a daemon.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "port/emu/EmuDeviceBackend.h"
#include "port/emu/EmuProtocol.h"

namespace nork::port::emu {
namespace {

DriveInfo sampleInfo() {
    DriveInfo d;
    d.serial = "QE0011";
    d.vendor = "Corvane";
    d.firmware = "6.520";
    d.usbVendorId = 0x3C2A;
    d.mode = "qz";
    d.flashSectors = 20000;
    d.freeSectors = 100;
    d.layout = "cd:4096,public:rest";
    d.domains = {{3, 0x0008, 0, 4096, 0}, {1, 0, 4096, 10, 255}, {2, 1, 4106, 15794, 1}};
    d.errorRegister = 0x00410001;
    d.bus = Bus::Attaching;
    d.plugged = true;
    d.lastDetachAttach = {80, 40000, 1};
    d.commandCount = 0x1'0000'0001ull;
    d.faults.hasFailCode = true;
    d.faults.failCode = 7;
    d.faults.tearThenDrop = true;
    d.stateDir = "/tmp/x";
    return d;
}

TEST(EmuProtocol, MessagesSurviveTheRoundTrip) {
    ScsiCommand cmd;
    cmd.serial = "QE0011";
    cmd.lun = 3;
    cmd.dir = DataDir::Out;
    cmd.timeoutMs = 10000;
    cmd.cdb = {0x2A, 0, 0, 0, 0, 5, 0, 0, 1, 0};
    cmd.dataOut.assign(512, 0xA5);
    ScsiCommand cmdBack;
    ASSERT_TRUE(decode(encode(cmd), cmdBack));
    EXPECT_EQ(cmdBack.serial, cmd.serial);
    EXPECT_EQ(cmdBack.lun, 3);
    EXPECT_EQ(cmdBack.dir, DataDir::Out);
    EXPECT_EQ(cmdBack.cdb, cmd.cdb);
    EXPECT_EQ(cmdBack.dataOut, cmd.dataOut);

    ScsiAnswer answer;
    answer.status = 2;
    answer.sense[2] = 5;
    answer.sense[31] = 0xFF;
    answer.dataIn = {1, 2, 3};
    ScsiAnswer answerBack;
    ASSERT_TRUE(decode(encode(answer), answerBack));
    EXPECT_EQ(answerBack.status, 2);
    EXPECT_EQ(answerBack.sense, answer.sense);
    EXPECT_EQ(answerBack.dataIn, answer.dataIn);

    const DriveInfo info = sampleInfo();
    std::vector<DriveInfo> list{info, info};
    std::vector<DriveInfo> listBack;
    ASSERT_TRUE(decode(encode(list), listBack));
    ASSERT_EQ(listBack.size(), 2u);
    const DriveInfo& b = listBack[1];
    EXPECT_EQ(b.serial, info.serial);
    EXPECT_EQ(b.layout, info.layout);
    ASSERT_EQ(b.domains.size(), 3u);
    EXPECT_EQ(b.domains[2].firstSector, 4106u);
    EXPECT_EQ(b.domains[0].flags, 0x0008);
    EXPECT_EQ(b.lunCount(), 2);
    EXPECT_EQ(b.bus, Bus::Attaching);
    EXPECT_EQ(b.lastDetachAttach, info.lastDetachAttach);
    EXPECT_EQ(b.commandCount, info.commandCount);
    EXPECT_TRUE(b.faults.hasFailCode);
    EXPECT_TRUE(b.faults.tearThenDrop);
    EXPECT_EQ(b.stateDir, "/tmp/x");

    DriveConfig config;
    config.serial = "S";
    config.usbProductId = 0x1234;
    config.readyDelayMs = 5;
    config.attached = false;
    DriveConfig configBack;
    ASSERT_TRUE(decode(encode(config), configBack));
    EXPECT_EQ(configBack.usbProductId, 0x1234);
    EXPECT_EQ(configBack.reattachDelayMs, DEFAULT_DELAY);
    EXPECT_EQ(configBack.readyDelayMs, 5u);
    EXPECT_FALSE(configBack.attached);
}

TEST(EmuProtocol, DecodersRefuseEveryTruncationAndTrailingByte) {
    ScsiCommand cmd;
    cmd.serial = "QE0011";
    cmd.dir = DataDir::In;
    cmd.transferLength = 96;
    cmd.cdb = {0x12, 0, 0, 0, 96, 0};
    const std::vector<std::vector<std::uint8_t>> encoded = {
        encode(cmd), encode(sampleInfo()),
        encode(FaultRequest{"S", FaultKind::TearWrite, 1, 2, true}),
        encode(Event{"S", 2, EventKind::Ready})};
    const std::vector<std::function<bool(const std::vector<std::uint8_t>&)>> decoders = {
        [](const auto& b) {
            ScsiCommand m;
            return decode(b, m);
        },
        [](const auto& b) {
            DriveInfo m;
            return decode(b, m);
        },
        [](const auto& b) {
            FaultRequest m;
            return decode(b, m);
        },
        [](const auto& b) {
            Event m;
            return decode(b, m);
        },
    };
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        ASSERT_TRUE(decoders[i](encoded[i])) << i;
        for (std::size_t n = 0; n < encoded[i].size(); ++n) {
            std::vector<std::uint8_t> cut(encoded[i].begin(), encoded[i].begin() + n);
            EXPECT_FALSE(decoders[i](cut)) << i << " cut at " << n;
        }
        auto longer = encoded[i];
        longer.push_back(0);
        EXPECT_FALSE(decoders[i](longer)) << i;
    }
}

TEST(EmuProtocol, ScsiCommandFieldsAreRangeChecked) {
    ScsiCommand good;
    good.serial = "QE0011";
    good.dir = DataDir::In;
    good.transferLength = 512;
    good.cdb = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    struct Case {
        const char* name;
        std::function<void(ScsiCommand&)> spoil;
    };
    const Case cases[] = {
        {"empty serial", [](ScsiCommand& c) { c.serial.clear(); }},
        {"no CDB", [](ScsiCommand& c) { c.cdb.clear(); }},
        {"CDB of 17", [](ScsiCommand& c) { c.cdb.assign(17, 0); }},
        {"data in beyond the limit", [](ScsiCommand& c) { c.transferLength = MAX_DATA + 1; }},
        {"data out on a read", [](ScsiCommand& c) { c.dataOut = {1}; }},
        {"buffer size on a write",
         [](ScsiCommand& c) {
             c.dir = DataDir::Out;
             c.dataOut = {1};
         }},
        {"buffer size without data", [](ScsiCommand& c) { c.dir = DataDir::None; }},
    };
    for (const Case& c : cases) {
        ScsiCommand bad = good;
        c.spoil(bad);
        ScsiCommand out;
        EXPECT_FALSE(decode(encode(bad), out)) << c.name;
    }
    // Enumerated bytes out of range: direction 3, a boolean of 2, fault kind
    // 9 (the first unused), event kind 0.
    auto bytes = encode(good);
    bytes[2 + good.serial.size() + 1] = 3;
    ScsiCommand out;
    EXPECT_FALSE(decode(bytes, out));
    auto answer = encode(ScsiAnswer{});
    answer[0] = 2;
    ScsiAnswer a;
    EXPECT_FALSE(decode(answer, a));
    auto fault = encode(FaultRequest{"S", FaultKind::Clear, 0, 0, false});
    fault[3] = 11;  // one past the last kind
    FaultRequest f;
    EXPECT_FALSE(decode(fault, f));
    auto event = encode(Event{"S", 1, EventKind::Ready});
    event.back() = 0;
    Event e;
    EXPECT_FALSE(decode(event, e));
}

TEST(EmuProtocol, HeaderChecks) {
    std::uint8_t raw[HEADER_SIZE];
    auto check = [&](Header h, bool ok, EmuErrc why = EmuErrc::Malformed) {
        encodeHeader(h, raw);
        Header out;
        EmuErrc reason{};
        EXPECT_EQ(decodeHeader(raw, out, reason), ok);
        EXPECT_EQ(out.id, h.id);  // known even for a refused header
        if (!ok) {
            EXPECT_EQ(reason, why);
        }
    };
    Header h;
    h.type = 4;
    h.id = 0xDEADBEEF;
    h.length = MAX_PAYLOAD;
    check(h, true);
    Header magic = h;
    magic.magic = 0;
    check(magic, false);
    Header version = h;
    version.version = PROTOCOL_VERSION + 1;
    check(version, false, EmuErrc::BadVersion);
    Header length = h;
    length.length = MAX_PAYLOAD + 1;
    check(length, false);
    // The magic reads "QZEM" on the wire.
    encodeHeader(h, raw);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(raw), 4), "QZEM");
}

// Encodes, decodes and encodes again: the message comes back equal, with
// the same bytes.
template <class M, class... Extra>
::testing::AssertionResult roundTrips(const M& m, Extra... extra) {
    const std::vector<std::uint8_t> bytes = encode(m, extra...);
    M back{};
    if (!decode(bytes, back, extra...))
        return ::testing::AssertionFailure() << "its own encoding is refused";
    if (!(back == m))
        return ::testing::AssertionFailure() << "a field changed on the way";
    if (encode(back, extra...) != bytes)
        return ::testing::AssertionFailure() << "encoded differently the second time";
    return ::testing::AssertionSuccess();
}

DriveInfo everyInfoField() {
    DriveInfo d = sampleInfo();
    d.product = "Qz Drive";
    d.revision = "1.00";
    d.reportVendor = "RV";
    d.reportProduct = "RP";
    d.usbProductId = 0x0101;
    d.services = "3:1,8:2";
    d.reattachDelayMs = 80;
    d.readyDelayMs = 40;
    Faults& f = d.faults;
    f.failNext = 2;
    f.dropOnNextCommand = true;
    f.neverReattach = true;
    f.hasReattachDelay = true;
    f.reattachDelayMs = 900;
    f.commandDelayMs = 15;
    f.tearWriteIn = 3;
    f.tearKeepSectors = 4;
    return d;
}

TEST(EmuProtocol, EveryMessageTypeSurvivesTheRoundTrip) {
    DriveInfo plain = everyInfoField();
    DriveInfo extended = plain;
    extended.hiddenPages = 300;
    extended.faults.tearPageIn = 5;
    extended.faults.tearPageKeepBytes = 100;
    extended.faults.tearPageLost = true;
    DriveConfig config;
    config.serial = "QE01";
    config.vendor = "V";
    config.product = "P";
    config.revision = "R";
    config.firmware = "F";
    config.reportVendor = "RV";
    config.reportProduct = "RP";
    config.usbVendorId = 1;
    config.usbProductId = 2;
    config.mode = "zyk";
    config.flashSectors = 3;
    config.layout = "public:rest";
    config.services = "4:1";
    config.reattachDelayMs = 4;
    config.readyDelayMs = 5;
    config.attached = false;
    DriveConfig configExtended = config;
    configExtended.hiddenPages = 512;
    configExtended.extended = true;
    ScsiCommand out{"QE01", 2, DataDir::Out, 0, 9000, {0x2A, 0, 1}, {4, 5, 6}};
    ScsiCommand in{"QE01", 1, DataDir::In, 4096, 9000, {0x28, 0, 1}, {}};
    ScsiCommand none{"QE01", 0, DataDir::None, 0, 1, {0}, {}};
    ScsiAnswer answer{true, 2, {}, {7, 8}};
    answer.sense[17] = 0x3A;

    struct Case {
        const char* name;
        std::function<::testing::AssertionResult()> check;
    };
    const Case cases[] = {
        {"SerialRequest", [] { return roundTrips(SerialRequest{"QE01"}); }},
        {"InspectRequest",
         [] {
             return roundTrips(InspectRequest{"QE01", false});
         }},
        {"InspectRequest extended",
         [] {
             return roundTrips(InspectRequest{"QE01", true});
         }},
        {"ListRequest", [] { return roundTrips(ListRequest{false}); }},
        {"ListRequest extended", [] { return roundTrips(ListRequest{true}); }},
        {"OpenLunRequest",
         [] {
             return roundTrips(OpenLunRequest{"QE01", 9});
         }},
        {"ScsiCommand out", [&] { return roundTrips(out); }},
        {"ScsiCommand in", [&] { return roundTrips(in); }},
        {"ScsiCommand none", [&] { return roundTrips(none); }},
        {"ScsiAnswer", [&] { return roundTrips(answer); }},
        {"DriveConfig", [&] { return roundTrips(config); }},
        {"DriveConfig extended", [&] { return roundTrips(configExtended); }},
        {"DriveInfo", [&] { return roundTrips(plain, false); }},
        {"DriveInfo extended", [&] { return roundTrips(extended, true); }},
        {"DriveInfo list",
         [&] {
             return roundTrips(std::vector<DriveInfo>{plain, plain}, false);
         }},
        {"DriveInfo list extended",
         [&] { return roundTrips(std::vector<DriveInfo>{extended}, true); }},
        {"empty DriveInfo list", [] { return roundTrips(std::vector<DriveInfo>{}, true); }},
        {"FaultRequest",
         [] {
             return roundTrips(FaultRequest{"QE01", FaultKind::TearPage, 3, 400, true});
         }},
        {"Event",
         [] {
             return roundTrips(Event{"QE01", 2, EventKind::Detached});
         }},
        {"ErrorReply",
         [] {
             return roundTrips(ErrorReply{EmuErrc::Busy, "full"});
         }},
        {"ErrorReply of a later code",
         [] {
             return roundTrips(ErrorReply{static_cast<EmuErrc>(77), "new"});
         }},
        {"VolumeRequest",
         [] {
             return roundTrips(VolumeRequest{"QE01", 3, VolumeOp::Dismount});
         }},
        {"VolumeReply",
         [] {
             return roundTrips(VolumeReply{true, false, true});
         }},
        {"HidWriteRequest",
         [] {
             return roundTrips(HidWriteRequest{"QE01", {0, 1, 2}});
         }},
        {"HidReadRequest",
         [] {
             return roundTrips(HidReadRequest{"QE01", 128, 250});
         }},
        {"UsbDescriptorRequest",
         [] {
             return roundTrips(UsbDescriptorRequest{"QE01", USB_DESCRIPTOR_DEVICE, 1, 0x409});
         }},
        {"UsbModeRequest",
         [] {
             return roundTrips(UsbModeRequest{"QE01", UsbMode::DiskOnly});
         }},
        {"BytesReply",
         [] {
             return roundTrips(BytesReply{{1, 2, 3}});
         }},
    };
    for (const Case& c : cases)
        EXPECT_TRUE(c.check()) << c.name;

    // Without the mark the extension fields stay home.
    DriveInfo back;
    ASSERT_TRUE(decode(encode(extended, false), back, false));
    EXPECT_EQ(back, plain);
}

std::string hexOf(const std::vector<std::uint8_t>& bytes) {
    static const char* const digits = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

TEST(EmuProtocol, EncodingsKeepTheirBytes) {
    // Clients and daemons of other builds read these bytes: the layout of
    // docs/emulator-protocol.md, field by field.
    Header h;
    h.type = 0x8004;
    h.id = 0xABCDEF01;
    h.length = 77;
    std::vector<std::uint8_t> header(HEADER_SIZE);
    encodeHeader(h, header.data());
    ScsiCommand scsi{"S1", 1, DataDir::Out, 0, 99, {0x2A, 1, 2}, {9, 8, 7}};
    DriveConfig config;
    config.serial = "X";
    config.vendor = "V";
    config.usbVendorId = 0x1234;
    config.mode = "qz";
    config.flashSectors = 7;
    config.services = "3:1";
    config.attached = false;
    config.hiddenPages = 300;
    DriveInfo info;
    info.serial = "S";
    info.domains = {{3, 8, 0, 4096, 0}, {2, 1, 4096, 100, 255}};
    info.bus = Bus::Attaching;
    info.plugged = true;
    info.lastDetachAttach = {1, 2, 3};
    info.commandCount = 0x100000002ull;
    info.faults.failCode = 5;
    info.faults.tearPageIn = 4;
    info.faults.tearPageLost = true;
    info.hiddenPages = 77;
    info.stateDir = "/x";
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        const char* hex;
    };
    const Case cases[] = {
        {"header", header, "515a454d0200048001efcdab4d000000"},
        {"frame", frame(3, 4, {1, 2}), "515a454d0200030004000000020000000102"},
        {"ScsiCommand", encode(scsi), "0200533101000000000063000000030000002a010203000000090807"},
        {"DriveConfig with its extension", encode(config),
         "01005801005600000000000000000000341200000200717a0700000000000300333a31ffffffffffffffff"
         "002c01"},
        {"DriveInfo with its extension", encode(info, true),
         "010053000000000000000000000000000000000000000000000000000000000000020003080000000000"
         "00100000000201000010000064000000ff0000000001010000000000000000010000000200000003000000"
         "0200000001000000000000000005000000000000000000000000000000000000000000000002002f784d00"
         "040000000000000001"},
        {"FaultRequest", encode(FaultRequest{"S", FaultKind::TearPage, 1, 2, true}),
         "01005309010000000200000001"},
        {"Event", encode(Event{"S", 2, EventKind::Detached}), "0100530203"},
        {"HidReadRequest", encode(HidReadRequest{"S", 64, 100}), "0100534000000064000000"},
        {"UsbModeRequest", encode(UsbModeRequest{"S", UsbMode::Composite}), "01005302"},
        {"BytesReply", encode(BytesReply{{5, 6, 7}}), "03000000050607"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(hexOf(c.bytes), c.hex) << c.name;
}

// Every value inside an enumeration's wire range has a name and decodes;
// the values around it have neither. A new value added without moving the
// range (or the other way round) shows here.
template <class E, class Encode>
void checkWireRange(const char* (*name)(E), Encode encodeWith) {
    using U = std::underlying_type_t<E>;
    for (unsigned raw = 0; raw <= 0xFF; ++raw) {
        const E value = static_cast<E>(raw);
        const bool inside =
            raw >= static_cast<U>(WireRange<E>::first) && raw <= static_cast<U>(WireRange<E>::last);
        EXPECT_EQ(std::string(name(value)) != "?", inside) << raw;
        EXPECT_EQ(encodeWith(value), inside) << raw;
    }
}

TEST(EmuProtocol, EnumeratedFieldsTakeExactlyTheirEnumerations) {
    // Each decoder gets a valid message with the enumerated byte forced.
    auto decodes = [](auto& message, auto& field, auto value) {
        using E = std::remove_reference_t<decltype(field)>;
        field = WireRange<E>::first;
        auto bytes = encode(message);
        // The enumerated byte is the one that differs from an encoding with
        // the last value (messages here have a single enumerated field).
        field = WireRange<E>::last;
        const auto other = encode(message);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] != other[i])
                bytes[i] = static_cast<std::uint8_t>(value);
        }
        std::remove_reference_t<decltype(message)> out;
        return decode(bytes, out);
    };
    checkWireRange<FaultKind>(faultKindName, [&](FaultKind k) {
        FaultRequest m{"S", FaultKind::Clear, 0, 0, false};
        return decodes(m, m.kind, k);
    });
    checkWireRange<EventKind>(eventKindName, [&](EventKind k) {
        Event m{"S", 1, EventKind::Ready};
        return decodes(m, m.kind, k);
    });
    checkWireRange<VolumeOp>(volumeOpName, [&](VolumeOp k) {
        VolumeRequest m{"S", 0, VolumeOp::Query};
        return decodes(m, m.op, k);
    });
    checkWireRange<UsbMode>(usbModeName, [&](UsbMode k) {
        UsbModeRequest m{"S", UsbMode::Query};
        return decodes(m, m.mode, k);
    });
    checkWireRange<DataDir>(dataDirName, [&](DataDir k) {
        // No data either way, so every direction is consistent.
        ScsiCommand m{"S", 0, DataDir::None, 0, 0, {0}, {}};
        return decodes(m, m.dir, k);
    });
    checkWireRange<Bus>(busName, [&](Bus k) {
        DriveInfo m = sampleInfo();
        return decodes(m, m.bus, k);
    });
}

TEST(EmuDevicePath, ParsesOnlyTheDocumentedForm) {
    struct Case {
        const char* path;
        bool ok;
        const char* serial;
        int lun;
    };
    const Case cases[] = {
        {"qzemu:QE00112233445566/0", true, "QE00112233445566", 0},
        {"qzemu:A/254", true, "A", 254},
        {"qzemu:A/255", false, "", 0},
        {"qzemu:A/01", false, "", 0},
        {"qzemu:A/", false, "", 0},
        {"qzemu:/0", false, "", 0},
        {"qzemu:A B/0", false, "", 0},
        {"qzemu:A/0/1", false, "", 0},
        {"qzemu:A/x", false, "", 0},
        {"/dev/sg1", false, "", 0},
        {"QZEMU:A/0", false, "", 0},
    };
    for (const Case& c : cases) {
        EmulatedPath out;
        EXPECT_EQ(parseDevicePath(c.path, out), c.ok) << c.path;
        if (c.ok) {
            EXPECT_EQ(out.serial, c.serial);
            EXPECT_EQ(out.lun, c.lun);
            EXPECT_EQ(makeDevicePath(out.serial, out.lun), c.path);
        }
    }
}

TEST(EmuPassThrough, MalformedRequestsAreRefused) {
    std::uint8_t buffer[512];
    auto base = [&] {
        ScsiPassThroughRequest r;
        r.controlCode = IOCTL_SCSI_PASS_THROUGH_DIRECT;
        r.CdbLength = 10;
        r.DataIn = SCSI_IOCTL_DATA_IN;
        r.DataTransferLength = sizeof buffer;
        r.DataBuffer = buffer;
        return r;
    };
    ScsiCommand out;
    ScsiPassThroughRequest ok = base();
    ASSERT_FALSE(toScsiCommand(ok, out));
    EXPECT_EQ(out.dir, DataDir::In);
    EXPECT_EQ(out.transferLength, 512u);

    struct Case {
        const char* name;
        std::function<void(ScsiPassThroughRequest&)> spoil;
    };
    const Case cases[] = {
        {"unknown control code", [](auto& r) { r.controlCode = 0x1234; }},
        {"no CDB", [](auto& r) { r.CdbLength = 0; }},
        {"CDB of 17", [](auto& r) { r.CdbLength = 17; }},
        {"buffered with data", [](auto& r) { r.controlCode = IOCTL_SCSI_PASS_THROUGH; }},
        {"data without buffer", [](auto& r) { r.DataBuffer = nullptr; }},
    };
    for (const Case& c : cases) {
        ScsiPassThroughRequest r = base();
        c.spoil(r);
        EXPECT_EQ(toScsiCommand(r, out).code, PortErrc::InvalidArgument) << c.name;
    }
}

TEST(EmuPassThrough, AnswersLandInTheRequest) {
    std::uint8_t buffer[8];
    std::memset(buffer, 0xEE, sizeof buffer);
    ScsiPassThroughRequest r;
    r.DataIn = SCSI_IOCTL_DATA_IN;
    r.DataTransferLength = 4;  // the answer never writes past the buffer
    r.DataBuffer = buffer;
    ScsiAnswer a;
    a.dataIn = {1, 2, 3, 4, 5, 6};
    ASSERT_FALSE(applyAnswer(a, r));
    EXPECT_EQ(r.ScsiStatus, 0);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 8),
              (std::vector<std::uint8_t>{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE}));

    a.status = 2;
    a.sense[2] = 6;
    ASSERT_FALSE(applyAnswer(a, r));
    EXPECT_EQ(r.ScsiStatus, 2);
    EXPECT_EQ(r.Sense[2], 6);

    a.noDevice = true;
    EXPECT_EQ(applyAnswer(a, r).code, PortErrc::Disconnected);
}

}  // namespace
}  // namespace nork::port::emu
