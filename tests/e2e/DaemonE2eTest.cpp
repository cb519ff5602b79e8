// The daemon as a process: several clients at once, restarts, bad, idle and
// vanishing clients, events, its lock on the state directory, the rights of
// its files and the memory it gives back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>

#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "DiskInterface.h"
#include "E2eSupport.h"
#include "RuntimeTestSupport.h"
#include "SCSICommand.h"
#include "SCSIExec.h"
#include "VendorTraits.h"
#include "port/UnixSocket.h"
#include "qz/DriveProtocol.h"

namespace qzemu::e2e {
namespace {

using nork::CDeviceHandle;
using nork::CDeviceParams;
using nork::STATUS_OK;
using nork::port::UnixSocket;

std::vector<std::uint8_t> pattern(std::size_t sectors, std::uint32_t seed) {
    std::vector<std::uint8_t> data(sectors * nork::proto::SECTOR_SIZE);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(seed * 31 + i * 7 + i / 512);
    return data;
}

std::vector<std::uint8_t> rwCdb(std::uint8_t op, std::uint32_t lba, std::uint16_t count) {
    std::vector<std::uint8_t> cdb(10, 0);
    cdb[0] = op;
    nork::proto::putBE32(&cdb[2], lba);
    nork::proto::putBE16(&cdb[7], count);
    return cdb;
}

class DaemonE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        rig = std::make_unique<SocketRig>(scratch.path());
        ASSERT_TRUE(rig->ready());
        serial = rig->create(smallDrive("QE00DAE000000001"));
        params.setTraits(&traits);
        const std::string path = emu::makeDevicePath(serial, 1);
        params.setPath(CDeviceParams::PATH_DISK, std::u16string(path.begin(), path.end()));
    }

    std::vector<std::uint8_t> readBack(std::uint32_t lba, std::uint8_t count) {
        CDeviceHandle handle(&params);
        EXPECT_NE(handle.open(), nork::port::INVALID_OS_HANDLE);
        std::vector<std::uint8_t> data(count * nork::proto::SECTOR_SIZE);
        EXPECT_EQ(disk.readSectors(handle, data.data(), lba, count), STATUS_OK);
        return data;
    }

    bool daemonServes() {
        emu::EmuClient probe;
        if (probe.connect(rig->daemon().socket()))
            return false;
        emu::DriveInfo info;
        return probe.ping().ok() && probe.inspect(serial, info).ok();
    }

    // Sends raw bytes on a new connection; the reply header and payload, or
    // nothing when the daemon closed without answering.
    struct RawReply {
        bool answered = false;
        emu::Header header;
        std::vector<std::uint8_t> payload;
        bool closedAfter = false;
    };
    RawReply sendRaw(const std::vector<std::uint8_t>& bytes) {
        RawReply r;
        UnixSocket s;
        EXPECT_FALSE(UnixSocket::connect(rig->daemon().socket(), s, 2s));
        EXPECT_FALSE(s.sendAll(bytes.data(), bytes.size(), 2s));
        std::uint8_t raw[emu::HEADER_SIZE];
        if (s.recvAll(raw, sizeof raw, 5s))
            return r;
        emu::EmuErrc why{};
        r.answered = emu::decodeHeader(raw, r.header, why);
        r.payload.resize(r.header.length);
        if (r.header.length) {
            EXPECT_FALSE(s.recvAll(r.payload.data(), r.payload.size(), 5s));
        }
        // A ping tells whether the connection is still served.
        const auto ping = emu::frame(static_cast<std::uint16_t>(emu::MsgType::Ping), 99, {});
        if (s.sendAll(ping.data(), ping.size(), 2s) || s.recvAll(raw, sizeof raw, 5s))
            r.closedAfter = true;
        return r;
    }

    ScratchDir scratch;
    std::unique_ptr<SocketRig> rig;
    std::string serial;
    nork::CVendorDeviceTraitsQz traits;
    CDeviceParams params;
    nork::CSCSIExecWin2k scsi;
    nork::CDiskInterfaceSCSI disk{scsi};
};

TEST_F(DaemonE2e, TwoProcessesShareADriveWithoutMixingRequests) {
    if (nork::testing::rerunAloneUnlessSingleThreaded())
        return;
    // Each child writes its own region with data that changes every round
    // and reads it back at once; any mix-up of requests or replies between
    // the two shows as a mismatch.
    auto hammer = [this](std::uint32_t who) {
        return [this, who]() -> int {
            CDeviceHandle handle(&params);
            if (handle.open() == nork::port::INVALID_OS_HANDLE)
                return 2;
            const std::uint32_t lba = who * 1000;
            for (std::uint32_t round = 0; round < 150; ++round) {
                const auto data = pattern(8, who * 1000 + round);
                std::vector<std::uint8_t> back(data.size());
                if (disk.writeSectors(handle, data.data(), lba, 8) != STATUS_OK ||
                    disk.readSectors(handle, back.data(), lba, 8) != STATUS_OK)
                    return 3;
                if (back != data)
                    return 4;
                nork::CSCSIInquiryCommand inquiry;
                if (!scsi(handle, inquiry) || inquiry.vendor() != "Corvane ")
                    return 5;
            }
            return 0;
        };
    };
    std::int64_t first = 0, second = 0;
    ASSERT_FALSE(nork::port::startChildProcess(hammer(1), false, first));
    ASSERT_FALSE(nork::port::startChildProcess(hammer(2), false, second));
    int code1 = -1, code2 = -1;
    ASSERT_FALSE(nork::port::waitProcess(first, 120s, code1));
    ASSERT_FALSE(nork::port::waitProcess(second, 120s, code2));
    EXPECT_EQ(code1, 0);
    EXPECT_EQ(code2, 0);
    EXPECT_EQ(readBack(1000, 8), pattern(8, 1000 + 149));
    EXPECT_EQ(readBack(2000, 8), pattern(8, 2000 + 149));
}

TEST_F(DaemonE2e, RestartKeepsDataAndOpenHandlesReconnect) {
    const auto data = pattern(8, 77);
    CDeviceHandle handle(&params);
    ASSERT_NE(handle.open(), nork::port::INVALID_OS_HANDLE);
    ASSERT_EQ(disk.writeSectors(handle, data.data(), 300, 8), STATUS_OK);
    rig->fault({serial, emu::FaultKind::FailNext, 0, 0, false});

    rig->client().close();
    EXPECT_EQ(rig->daemon().stop(), 0);
    ASSERT_TRUE(rig->daemon().start());
    ASSERT_FALSE(rig->client().connect(rig->daemon().socket()));

    const auto info = rig->inspect(serial);
    EXPECT_EQ(info.layout, "cd:4096,public:15904");
    EXPECT_EQ(info.firmware, "7.013");
    EXPECT_EQ(info.bus, emu::Bus::Attached);
    // The handle opened before the restart finds the new daemon.
    std::vector<std::uint8_t> back(data.size());
    ASSERT_EQ(disk.readSectors(handle, back.data(), 300, 8), STATUS_OK);
    EXPECT_EQ(back, data);
}

TEST_F(DaemonE2e, MalformedRequestsGetErrorRepliesAndLeaveTheDaemonServing) {
    auto header = [](std::uint32_t magic, std::uint16_t version, std::uint16_t type,
                     std::uint32_t length) {
        emu::Header h;
        h.magic = magic;
        h.version = version;
        h.type = type;
        h.id = 7;
        h.length = length;
        std::vector<std::uint8_t> out(emu::HEADER_SIZE);
        emu::encodeHeader(h, out.data());
        return out;
    };
    const auto scsiType = static_cast<std::uint16_t>(emu::MsgType::Scsi);
    emu::ScsiCommand longCdb;
    longCdb.serial = serial;
    longCdb.cdb.assign(17, 0);
    auto withPayload = [&](std::vector<std::uint8_t> h, const std::vector<std::uint8_t>& p) {
        h.insert(h.end(), p.begin(), p.end());
        return h;
    };
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        emu::EmuErrc expected;
        bool closes;
    };
    const Case cases[] = {
        {"bad magic", header(0x12345678, emu::PROTOCOL_VERSION, 1, 0), emu::EmuErrc::Malformed,
         true},
        {"future version", header(emu::PROTOCOL_MAGIC, 9, 1, 0), emu::EmuErrc::BadVersion, true},
        {"oversized",
         header(emu::PROTOCOL_MAGIC, emu::PROTOCOL_VERSION, scsiType, emu::MAX_PAYLOAD + 1),
         emu::EmuErrc::Malformed, true},
        {"unknown type", header(emu::PROTOCOL_MAGIC, emu::PROTOCOL_VERSION, 0x0999, 0),
         emu::EmuErrc::UnknownType, false},
        {"garbage payload",
         withPayload(header(emu::PROTOCOL_MAGIC, emu::PROTOCOL_VERSION, scsiType, 5),
                     {1, 2, 3, 4, 5}),
         emu::EmuErrc::Malformed, false},
        {"CDB of 17 bytes",
         withPayload(header(emu::PROTOCOL_MAGIC, emu::PROTOCOL_VERSION, scsiType,
                            static_cast<std::uint32_t>(emu::encode(longCdb).size())),
                     emu::encode(longCdb)),
         emu::EmuErrc::Malformed, false},
        {"ping with payload",
         withPayload(header(emu::PROTOCOL_MAGIC, emu::PROTOCOL_VERSION, 1, 1), {0}),
         emu::EmuErrc::Malformed, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RawReply r = sendRaw(c.bytes);
        ASSERT_TRUE(r.answered);
        EXPECT_EQ(r.header.type, static_cast<std::uint16_t>(emu::MsgType::Error));
        EXPECT_EQ(r.header.id, 7u);
        emu::ErrorReply error;
        ASSERT_TRUE(emu::decode(r.payload, error));
        EXPECT_EQ(error.code, c.expected);
        EXPECT_EQ(r.closedAfter, c.closes);
    }
    EXPECT_TRUE(daemonServes());
}

TEST_F(DaemonE2e, ClientsKilledMidRequestLeaveTheDriveConsistent) {
    if (nork::testing::rerunAloneUnlessSingleThreaded())
        return;
    const auto before = pattern(4, 1);
    const auto after = pattern(4, 2);
    CDeviceHandle handle(&params);
    ASSERT_NE(handle.open(), nork::port::INVALID_OS_HANDLE);
    ASSERT_EQ(disk.writeSectors(handle, before.data(), 500, 4), STATUS_OK);

    emu::ScsiCommand write;
    write.serial = serial;
    write.lun = 1;
    write.dir = emu::DataDir::Out;
    write.cdb = rwCdb(nork::proto::SCSI_WRITE10, 500, 4);
    write.dataOut = after;
    const auto message =
        emu::frame(static_cast<std::uint16_t>(emu::MsgType::Scsi), 1, emu::encode(write));

    // Children that die with half a header, half a write, and a whole write
    // whose reply nobody reads.
    const std::string socket = rig->daemon().socket();
    for (std::size_t cut : {std::size_t(7), message.size() / 2, message.size()}) {
        SCOPED_TRACE(cut);
        std::int64_t pid = 0;
        ASSERT_FALSE(nork::port::startChildProcess(
            [&]() -> int {
                UnixSocket s;
                if (UnixSocket::connect(socket, s, 2s))
                    return 1;
                return s.sendAll(message.data(), cut, 2s) ? 1 : 0;
            },
            false, pid));
        int code = -1;
        ASSERT_FALSE(nork::port::waitProcess(pid, 30s, code));
        EXPECT_EQ(code, 0);
        EXPECT_TRUE(daemonServes());
        // All of the write or none of it.
        const auto now = readBack(500, 4);
        EXPECT_TRUE(now == before || now == after);
        if (cut < message.size()) {
            EXPECT_EQ(now, before);
        }
    }
    // The whole write from the last child goes through. Its child left
    // without waiting for the reply, so the daemon may still be carrying it
    // out while this process reads over its own connection.
    auto last = readBack(500, 4);
    for (int i = 0; i < 100 && last != after; ++i) {
        std::this_thread::sleep_for(50ms);
        last = readBack(500, 4);
    }
    EXPECT_EQ(last, after);
}

TEST_F(DaemonE2e, SubscribersSeeEveryBusEvent) {
    // The fixture's drive announces itself as it comes up; let it settle so
    // those events are not taken for the ones this test provokes.
    ASSERT_TRUE(rig->waitForBus(serial, emu::Bus::Attached));
    emu::EmuClient watcher;
    ASSERT_FALSE(watcher.connect(rig->daemon().socket()));
    ASSERT_TRUE(watcher.subscribe().ok());

    using Kinds = std::vector<emu::EventKind>;
    using K = emu::EventKind;
    std::map<std::string, Kinds> seen;
    // Takes events until `done` holds (at most 12, each within 5 s). Counts
    // alone would not do: a late announcement of the fixture's drive can
    // take the place of the new drive's events, which the remove below
    // would then cancel.
    auto collectUntil = [&](const std::function<bool()>& done) {
        for (int i = 0; i < 12 && !done(); ++i) {
            emu::Event event;
            const auto s = watcher.waitEvent(event, 5s);
            ASSERT_TRUE(s.ok()) << s.text();
            EXPECT_EQ(event.lunCount, 2u);
            seen[event.serial].push_back(event.kind);
        }
    };
    // What this test provokes of the fixture's drive starts at its unplug.
    auto provoked = [&] {
        const Kinds& mine = seen[serial];
        return Kinds(std::find(mine.begin(), mine.end(), K::Detached), mine.end());
    };
    rig->unplug(serial);
    rig->plug(serial);
    const std::string other = rig->create(smallDrive("QE00DAE000000002"));
    collectUntil([&] { return provoked().size() >= 3 && seen[other].size() >= 2; });
    ASSERT_TRUE(rig->client().remove(other).ok());
    collectUntil([&] { return seen[other].size() >= 3; });

    // Each drive's events arrive in order (two drives' may interleave).
    EXPECT_EQ(provoked(), (Kinds{K::Detached, K::Attached, K::Ready}));
    EXPECT_EQ(seen[other], (Kinds{K::Attached, K::Ready, K::Detached}));
    // The watcher still answers requests.
    EXPECT_TRUE(watcher.ping().ok());
}

TEST_F(DaemonE2e, ControlRequestsAndTheirRefusals) {
    emu::EmuClient& c = rig->client();
    emu::DriveInfo info;
    emu::DriveConfig dup = smallDrive(serial);
    EXPECT_EQ(c.create(dup, info).error.code, emu::EmuErrc::DriveExists);
    emu::DriveConfig badLayout = smallDrive("QE00DAE000000003");
    badLayout.layout = "public:99999999";
    EXPECT_EQ(c.create(badLayout, info).error.code, emu::EmuErrc::InvalidConfig);
    emu::DriveConfig badSerial = smallDrive("../escape");
    EXPECT_EQ(c.create(badSerial, info).error.code, emu::EmuErrc::InvalidConfig);
    emu::DriveConfig badMode = smallDrive("QE00DAE000000004");
    badMode.mode = "floppy";
    EXPECT_EQ(c.create(badMode, info).error.code, emu::EmuErrc::InvalidConfig);
    EXPECT_EQ(c.plug("NOPE").error.code, emu::EmuErrc::NoSuchDrive);
    EXPECT_EQ(c.openLun(serial, 7).error.code, emu::EmuErrc::NoSuchLun);

    // A drive created without a serial number gets one; removing it deletes
    // its state.
    emu::DriveConfig anonymous = smallDrive("");
    anonymous.attached = false;
    ASSERT_TRUE(c.create(anonymous, info).ok());
    EXPECT_EQ(info.serial.size(), 16u);
    EXPECT_EQ(info.bus, emu::Bus::Detached);
    EXPECT_TRUE(fs::exists(info.stateDir));
    std::vector<emu::DriveInfo> drives;
    ASSERT_TRUE(c.list(drives).ok());
    EXPECT_EQ(drives.size(), 2u);
    ASSERT_TRUE(c.remove(info.serial).ok());
    EXPECT_FALSE(fs::exists(info.stateDir));
    EXPECT_EQ(c.remove(info.serial).error.code, emu::EmuErrc::NoSuchDrive);
}

TEST_F(DaemonE2e, ASecondDaemonOnTheSameStateDirectoryIsRefused) {
    DaemonProcess second(rig->daemon().stateDir(), scratch.path() / "second.log");
    EXPECT_FALSE(second.start());
    EXPECT_TRUE(daemonServes());
}

// A daemon with small limits, and clients that misbehave against them.
class DaemonLimitsE2e : public ::testing::Test {
  protected:
    static constexpr auto TIMEOUT = 600ms;

    bool startDaemon(std::size_t maxClients, std::vector<std::string> more = {}) {
        std::vector<std::string> options = {"--max-clients", std::to_string(maxClients),
                                            "--client-timeout", std::to_string(TIMEOUT.count())};
        options.insert(options.end(), more.begin(), more.end());
        daemon.setOptions(options);
        return daemon.start();
    }

    std::string createDrive(const std::string& serial) {
        emu::EmuClient maker;
        EXPECT_FALSE(maker.connect(daemon.socket()));
        emu::DriveInfo info;
        const auto s = maker.create(smallDrive(serial), info);
        EXPECT_TRUE(s.ok()) << s.text();
        return serial;
    }

    // A raw connection that has been served a Ping, so it may idle.
    UnixSocket pingedClient() {
        UnixSocket s = rawClient(emu::frame(static_cast<std::uint16_t>(emu::MsgType::Ping), 1, {}));
        std::uint8_t raw[emu::HEADER_SIZE];
        emu::Header reply;
        emu::EmuErrc why{};
        EXPECT_FALSE(s.recvAll(raw, sizeof raw, 5s));
        EXPECT_TRUE(emu::decodeHeader(raw, reply, why));
        EXPECT_EQ(reply.type, emu::replyType(emu::MsgType::Ping));
        return s;
    }

    // The qzemu CLI against this daemon.
    int qzemu(std::vector<std::string> args, std::string& out) {
        args.insert(args.begin(), {QZEMU_CLI_PATH, "--socket", daemon.socket()});
        int code = -1;
        EXPECT_FALSE(nork::port::runProcess(QZEMU_CLI_PATH, args, out, code, true));
        return code;
    }

    // A raw connection that has sent `bytes`.
    UnixSocket rawClient(const std::vector<std::uint8_t>& bytes) {
        UnixSocket s;
        EXPECT_FALSE(UnixSocket::connect(daemon.socket(), s, 2s));
        if (!bytes.empty()) {
            EXPECT_FALSE(s.sendAll(bytes.data(), bytes.size(), 2s));
        }
        return s;
    }

    // Whether the daemon closes the connection within `within`.
    static bool closedWithin(UnixSocket& s, std::chrono::milliseconds within) {
        std::uint8_t byte = 0;
        const auto e = s.recvAll(&byte, 1, within);
        return e.code == nork::port::PortErrc::Disconnected;
    }

    // A line of /proc/<pid>/status, in kB.
    std::uint64_t statusKb(const std::string& key) {
        std::ifstream in("/proc/" + std::to_string(daemon.pid()) + "/status");
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind(key + ":", 0) == 0)
                return std::stoull(line.substr(key.size() + 1));
        }
        ADD_FAILURE() << "no " << key << " in the daemon's status";
        return 0;
    }

    std::size_t logLinesWith(const std::string& text) {
        std::ifstream in(daemon.logFile());
        std::string line;
        std::size_t n = 0;
        while (std::getline(in, line))
            n += line.find(text) != std::string::npos ? 1 : 0;
        return n;
    }

    ScratchDir scratch;
    DaemonProcess daemon{scratch.path() / "state", scratch.path() / "qzemud.log"};
};

std::vector<std::uint8_t> headerBytes(emu::MsgType type, std::uint32_t length) {
    emu::Header h;
    h.type = static_cast<std::uint16_t>(type);
    h.id = 5;
    h.length = length;
    std::vector<std::uint8_t> out(emu::HEADER_SIZE);
    emu::encodeHeader(h, out.data());
    return out;
}

TEST_F(DaemonLimitsE2e, ClientsThatStallAreDroppedAfterTheTimeout) {
    ASSERT_TRUE(startDaemon(16));
    auto partPayload = headerBytes(emu::MsgType::Scsi, 200);
    partPayload.resize(partPayload.size() + 50, 0);
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {"connects and sends nothing", {}},
        {"stops inside a header", std::vector<std::uint8_t>(7, 0x51)},
        {"stops inside a payload", partPayload},
    };
    // All at once: each is dropped on its own clock.
    std::vector<UnixSocket> clients;
    for (const Case& c : cases)
        clients.push_back(rawClient(c.bytes));
    for (std::size_t i = 0; i < clients.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_TRUE(closedWithin(clients[i], TIMEOUT + 5s));
    }

    // A connection that has been served may idle between requests (within
    // the idle limit, a minute here), and a subscriber waits for events,
    // both well past the timeout.
    emu::EmuClient idle, watcher;
    ASSERT_FALSE(idle.connect(daemon.socket()));
    ASSERT_TRUE(idle.ping().ok());
    ASSERT_FALSE(watcher.connect(daemon.socket()));
    ASSERT_TRUE(watcher.subscribe().ok());
    std::this_thread::sleep_for(TIMEOUT * 3);
    EXPECT_TRUE(idle.ping().ok());
    emu::DriveInfo info;
    ASSERT_TRUE(idle.create(smallDrive("QE00DAE0000000A1"), info).ok());
    emu::Event event;
    const auto s = watcher.waitEvent(event, 5s);
    ASSERT_TRUE(s.ok()) << s.text();
    EXPECT_EQ(event.serial, "QE00DAE0000000A1");
}

TEST_F(DaemonLimitsE2e, ClientsBeyondTheLimitAreToldSoAndServedOnceOthersLeave) {
    constexpr std::size_t LIMIT = 4;
    ASSERT_TRUE(startDaemon(LIMIT));
    std::vector<std::unique_ptr<emu::EmuClient>> served;
    for (std::size_t i = 0; i < LIMIT; ++i) {
        served.push_back(std::make_unique<emu::EmuClient>());
        ASSERT_FALSE(served.back()->connect(daemon.socket()));
        ASSERT_TRUE(served.back()->ping().ok()) << i;
    }

    // Beyond the limit only control requests are served.
    emu::EmuClient extra;
    ASSERT_FALSE(extra.connect(daemon.socket()));
    const emu::EmuStatus refused = extra.subscribe();
    ASSERT_TRUE(refused.refused) << refused.text();
    EXPECT_EQ(refused.error.code, emu::EmuErrc::Busy);
    EXPECT_NE(refused.text().find("limit of 4 clients"), std::string::npos) << refused.text();
    EXPECT_FALSE(extra.isConnected());
    // Those already served keep their service.
    for (auto& c : served)
        EXPECT_TRUE(c->ping().ok());

    // One leaves; the next newcomer gets its place, even if the daemon has
    // yet to notice that it left.
    served.front()->close();
    ASSERT_FALSE(extra.connect(daemon.socket()));
    const emu::EmuStatus admitted = extra.subscribe();
    EXPECT_TRUE(admitted.ok()) << admitted.text();
    EXPECT_TRUE(served.back()->ping().ok());
}

TEST_F(DaemonLimitsE2e, AnAnnouncedPayloadIsNotReservedBeforeItArrives) {
    constexpr std::size_t CLIENTS = 30;
    ASSERT_TRUE(startDaemon(64));
    const std::uint64_t before = statusKb("VmHWM");
    auto bytes = headerBytes(emu::MsgType::Scsi, emu::MAX_DATA);
    bytes.resize(bytes.size() + 100, 0x5A);
    std::vector<UnixSocket> clients;
    for (std::size_t i = 0; i < CLIENTS; ++i)
        clients.push_back(rawClient(bytes));
    // Give the daemon time to take every header, then end the clients and
    // wait until each of their requests has been given up.
    std::this_thread::sleep_for(500ms);
    clients.clear();
    for (int i = 0; i < 500 && logLinesWith("of 16777216 bytes") < CLIENTS; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(logLinesWith("of 16777216 bytes"), CLIENTS);
    // 30 reservations of 16 MiB would be 480 MiB at the peak.
    EXPECT_LT(statusKb("VmHWM") - before, 64u * 1024) << "kB more at the peak";
}

TEST_F(DaemonLimitsE2e, IdleClientsGiveWayAndControlRequestsAlwaysFindRoom) {
    constexpr std::size_t LIMIT = 4;
    constexpr auto IDLE = 400ms;
    constexpr std::size_t CONTROL_SLOTS = 8;
    ASSERT_TRUE(startDaemon(LIMIT, {"--idle-timeout", std::to_string(IDLE.count())}));

    // What stays however long it idles: a subscriber (there before the
    // drive, so it sees all of its events) and a device handle.
    emu::EmuClient watcher, handle;
    ASSERT_FALSE(watcher.connect(daemon.socket()));
    ASSERT_TRUE(watcher.subscribe().ok());
    const std::string serial = createDrive("QE00DAE0000000C1");
    ASSERT_FALSE(handle.connect(daemon.socket()));
    ASSERT_TRUE(handle.openLun(serial, 1).ok());

    // More subscribers take the other places (they do not idle out, so the
    // places stay taken however slowly this runs), idle clients the control
    // slots and more.
    std::vector<std::unique_ptr<emu::EmuClient>> holders;
    for (std::size_t i = 0; i < LIMIT - 2; ++i) {
        holders.push_back(std::make_unique<emu::EmuClient>());
        ASSERT_FALSE(holders.back()->connect(daemon.socket()));
        ASSERT_TRUE(holders.back()->subscribe().ok()) << i;
    }
    std::vector<UnixSocket> idle;
    for (std::size_t i = 0; i < CONTROL_SLOTS + 4; ++i)
        idle.push_back(pingedClient());

    // A request that opens something finds no place...
    emu::EmuClient late;
    ASSERT_FALSE(late.connect(daemon.socket()));
    const emu::EmuStatus busy = late.openLun(serial, 1);
    EXPECT_TRUE(busy.refused) << busy.text();
    EXPECT_EQ(busy.error.code, emu::EmuErrc::Busy);
    // ...but a control request always does.
    std::string out;
    EXPECT_EQ(qzemu({"list"}, out), 0) << out;
    EXPECT_NE(out.find(serial), std::string::npos) << out;

    // Idle clients take the places the other subscribers leave. Past the
    // idle limit they are gone; the handle and the subscriber are served on.
    holders.clear();
    for (std::size_t i = 0; i < LIMIT - 2; ++i)
        idle.push_back(pingedClient());
    for (std::size_t i = 0; i < idle.size(); ++i)
        EXPECT_TRUE(closedWithin(idle[i], IDLE + 5s)) << i;
    std::this_thread::sleep_for(IDLE * 2);
    emu::ScsiCommand tur;
    tur.serial = serial;
    tur.lun = 1;
    tur.dir = emu::DataDir::None;
    tur.cdb.assign(6, 0);  // TEST UNIT READY
    emu::ScsiAnswer answer;
    EXPECT_TRUE(handle.scsi(tur, answer).ok());
    ASSERT_EQ(qzemu({"unplug", serial}, out), 0) << out;
    // The drive's arrival, then its departure.
    for (const emu::EventKind kind :
         {emu::EventKind::Attached, emu::EventKind::Ready, emu::EventKind::Detached}) {
        emu::Event event;
        const emu::EmuStatus s = watcher.waitEvent(event, 5s);
        ASSERT_TRUE(s.ok()) << s.text();
        EXPECT_EQ(event.serial, serial);
        EXPECT_EQ(event.kind, kind);
    }
    EXPECT_GE(logLinesWith("idle for 400 ms"), LIMIT - 2);

    // Their places are free again.
    emu::EmuClient second;
    ASSERT_FALSE(second.connect(daemon.socket()));
    EXPECT_TRUE(second.subscribe().ok());

    // Full again: the daemon still stops when asked.
    idle.clear();
    for (std::size_t i = 0; i < LIMIT + CONTROL_SLOTS + 2; ++i)
        idle.push_back(pingedClient());
    EXPECT_EQ(qzemu({"daemon", "stop"}, out), 0) << out;
    EXPECT_EQ(daemon.stop(), 0);
}

TEST_F(DaemonLimitsE2e, StateFilesAreTheOwnersOnly) {
    // A state root made open to all before the daemon came.
    fs::create_directories(daemon.stateDir());
    fs::permissions(daemon.stateDir(), fs::perms::all);
    ASSERT_TRUE(startDaemon(16));
    const std::string serial = createDrive("QE00DAE0000000D1");
    const fs::path drive = daemon.stateDir() / serial;
    constexpr auto OWNER_FILE = fs::perms::owner_read | fs::perms::owner_write;
    struct Case {
        fs::path path;
        fs::perms perms;
    };
    const Case cases[] = {
        {daemon.stateDir(), fs::perms::owner_all},
        {drive, fs::perms::owner_all},
        {drive / "drive.state", OWNER_FILE},
        {drive / "flash.img", OWNER_FILE},
        {drive / "hidden.img", OWNER_FILE},
        // Whatever else the daemon makes is its owner's too.
        {drive / "volumes" / "lun1", fs::perms::owner_all},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fs::status(c.path).permissions() & fs::perms::all, c.perms) << c.path;
}

// Set when the build swaps the C library's allocator for a sanitizer's,
// which keeps its own pages.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZER_ALLOCATOR = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool SANITIZER_ALLOCATOR = true;
#else
constexpr bool SANITIZER_ALLOCATOR = false;
#endif
#else
constexpr bool SANITIZER_ALLOCATOR = false;
#endif

TEST_F(DaemonLimitsE2e, MemoryGoesBackAfterABurstOfClients) {
    if (SANITIZER_ALLOCATOR)
        GTEST_SKIP() << "the sanitizer's allocator keeps its own pages";
    // Many clients at once, each with private commands carrying large data
    // out: every connection thread allocates and frees its buffers, and what
    // they freed must not stay with the daemon once they are gone.
    constexpr int CLIENTS = 32;
    constexpr int COMMANDS = 16;
    ASSERT_TRUE(startDaemon(256));
    const std::string serial = createDrive("QE00DAE0000000E1");
    const std::uint64_t start = statusKb("VmRSS");

    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < CLIENTS; ++t) {
        threads.emplace_back([&, t] {
            emu::EmuClient c;
            if (c.connect(daemon.socket(), 5s)) {
                ++failures;
                return;
            }
            for (int i = 0; i < COMMANDS; ++i) {
                emu::ScsiCommand write;
                write.serial = serial;
                write.lun = 1;
                write.dir = emu::DataDir::Out;
                write.cdb.assign(nork::proto::QZ_SCSI_CDB_LENGTH, 0);
                write.cdb[0] = nork::proto::PRIVATE_OPCODE;
                nork::proto::putLE16(&write.cdb[1], nork::proto::qzop::HA_WRITE_PAGE);
                // 256 KiB to 1.2 MiB, sizes spread over the clients.
                const auto step = static_cast<std::uint32_t>((t * 7 + i) % 32);
                write.dataOut.assign((256u << 10) + step * (30u << 10), 0x5A);
                emu::ScsiAnswer answer;
                const emu::EmuStatus s = c.scsi(write, answer);
                if (!s.ok()) {
                    ADD_FAILURE() << s.text();
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    ASSERT_EQ(failures, 0);

    // The daemon gives memory back once it is quiet: within a few of its
    // accept waits.
    std::uint64_t now = statusKb("VmRSS");
    for (int i = 0; i < 50 && now > 2 * start; ++i) {
        std::this_thread::sleep_for(100ms);
        now = statusKb("VmRSS");
    }
    EXPECT_LE(now, 2 * start) << "kB resident: " << start << " before, " << now << " after";
}

}  // namespace
}  // namespace qzemu::e2e
