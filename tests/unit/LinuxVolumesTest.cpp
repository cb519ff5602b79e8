// The Linux volume driver on a fake sysfs tree and mountinfo file: which
// mounts belong to a unit, the process's locks, and the two ways of
// unmounting. udisks2 is a stand-in service on a private bus
// (udisks_standin.py): a real udisksd needs the system bus, udev and root,
// and is tested in tests/system/RealUdisksTest.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RuntimeTestSupport.h"
#include "port/ChildProcess.h"
#include "port/linux/LinuxVolumes.h"

namespace nork::port {
namespace {

namespace fs = std::filesystem;
using linux_volumes::MountedFs;
using nork::testing::freshTestDir;

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    nork::testing::writeFile(path, text);
}

// sdb (8:16) with partitions sdb1 (8:17) and sdb12 (8:28); sdc elsewhere.
fs::path makeBlock(const fs::path& root) {
    const fs::path sdb = root / "sys/devices/usb1/1-1/host6/target6:0:0/6:0:0:0/block/sdb";
    writeFile(sdb / "dev", "8:16\n");
    writeFile(sdb / "sdb1/dev", "8:17\n");
    writeFile(sdb / "sdb12/dev", "8:28\n");
    writeFile(sdb / "queue/rotational", "0\n");
    return sdb;
}

const char MOUNTINFO[] =
    "22 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
    "90 22 8:17 / /media/u/QZ\\040DISK rw,nosuid - vfat /dev/sdb1 rw\n"
    "91 22 8:32 / /media/u/OTHER rw - vfat /dev/sdc rw\n"
    "92 22 8:28 / /mnt/second rw - vfat /dev/sdb12 rw\n"
    "bad line\n";

TEST(LinuxVolumes, MountsOfTheUnitAndItsPartitionsOnly) {
    const fs::path sdb = makeBlock(freshTestDir());
    EXPECT_EQ(linux_volumes::blockNames(sdb.string()),
              (std::vector<std::string>{"sdb", "sdb1", "sdb12"}));
    const std::vector<MountedFs> mounts =
        linux_volumes::mountedFileSystems(sdb.string(), MOUNTINFO);
    ASSERT_EQ(mounts.size(), 2u);
    EXPECT_EQ(mounts[0].blockName, "sdb1");
    EXPECT_EQ(mounts[0].mountPoint, "/media/u/QZ DISK");
    EXPECT_EQ(mounts[1].blockName, "sdb12");
    EXPECT_EQ(mounts[1].mountPoint, "/mnt/second");
    EXPECT_TRUE(linux_volumes::mountedFileSystems(sdb.string(), "").empty());
}

// A private bus, optionally with the stand-in udisks2 on it, and a driver
// over the fake tree that reaches it.
class LinuxVolumeDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = freshTestDir();
        sdb = makeBlock(dir);
        mountInfo = dir / "mountinfo";
        writeFile(mountInfo, MOUNTINFO);
        writeFile(dir / "dev/sdb", "");
        std::string output;
        int code = -1;
        ASSERT_FALSE(runProcess("/usr/bin/dbus-daemon",
                                {"dbus-daemon", "--session", "--fork", "--nopidfile",
                                 "--print-address=1", "--print-pid=1"},
                                output, code));
        ASSERT_EQ(code, 0) << output;
        std::istringstream lines(output);
        std::getline(lines, address);
        lines >> busPid;
        ASSERT_FALSE(address.empty());
        unit.ioPath = (dir / "dev/sg2").string();
        unit.location = sdb.string();
    }
    void TearDown() override {
        int code = 0;
        if (standinPid > 0) {
            signalProcess(standinPid, Signal::Terminate);
            waitProcess(standinPid, std::chrono::seconds(10), code);
        }
        if (busPid > 0)
            signalProcess(busPid, Signal::Terminate);
    }

    // Starts the stand-in serving the blocks ("sdb1=/media/u/QZ").
    void startUdisks(const std::vector<std::string>& blocks) {
        const fs::path ready = dir / "udisks.ready";
        std::vector<std::string> args{"udisks_standin.py", address, (dir / "calls").string(),
                                      ready.string()};
        args.insert(args.end(), blocks.begin(), blocks.end());
        ASSERT_FALSE(
            spawnProcess(QZ_UDISKS_STANDIN, args, standinPid, {}, (dir / "standin.err").string()));
        for (int i = 0; i < 200 && !fs::exists(ready); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(fs::exists(ready)) << "the stand-in udisks2 did not start";
    }

    std::shared_ptr<IVolumeDriver> driver(bool rootFallback = true) {
        linux_volumes::Options options;
        options.sysRoot = (dir / "sys").string();
        options.mountInfo = mountInfo.string();
        options.devRoot = (dir / "dev").string();
        options.busAddress = address;
        options.rootFallback = rootFallback;
        options.umount = [this](const std::string& mountPoint) {
            umounted.push_back(mountPoint);
            return 0;
        };
        return linux_volumes::makeDriver(options);
    }

    std::string calls() const {
        std::ifstream in(dir / "calls");
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path dir, sdb, mountInfo;
    std::string address;
    std::int64_t busPid = 0;
    std::int64_t standinPid = 0;
    StorageUnitFacts unit;
    std::vector<std::string> umounted;
};

TEST_F(LinuxVolumeDriver, DismountGoesThroughUdisksForEveryMountedFileSystem) {
    startUdisks({"sdb1=/media/u/QZ", "sdb12=/mnt/second"});
    auto d = driver();
    ASSERT_TRUE(d->serves(unit));
    std::unique_ptr<IVolumeSession> session;
    ASSERT_FALSE(d->openSession(unit, session));
    ASSERT_FALSE(session->lock());
    EXPECT_FALSE(session->dismount());
    EXPECT_EQ(calls(), "Unmount sdb1\nUnmount sdb12\n");
    EXPECT_EQ(linux_volumes::lastUnmountPath(), "udisks2");
    EXPECT_TRUE(umounted.empty());
    // While held the volume is still the unit's (the inventory keeps it);
    // the session's end gives it up.
    EXPECT_EQ(linux_volumes::heldMountDir("sdb"), "/media/u/QZ DISK");
    session.reset();
    EXPECT_EQ(linux_volumes::heldMountDir("sdb"), "");
}

TEST_F(LinuxVolumeDriver, WithoutUdisksRootFallsBackToUmount2) {
    struct Case {
        bool rootFallback;
        PortErrc expected;
        std::vector<std::string> umounted;
    };
    const Case cases[] = {
        {true, PortErrc::Ok, {"/media/u/QZ DISK", "/mnt/second"}},
        {false, PortErrc::NotFound, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rootFallback ? "fallback allowed" : "no fallback");
        umounted.clear();
        auto d = driver(c.rootFallback);
        std::unique_ptr<IVolumeSession> session;
        ASSERT_FALSE(d->openSession(unit, session));
        EXPECT_EQ(session->dismount().code, c.expected);
        EXPECT_EQ(umounted, c.umounted);
        if (c.expected == PortErrc::Ok) {
            EXPECT_EQ(linux_volumes::lastUnmountPath(), "umount2");
        }
    }
}

TEST_F(LinuxVolumeDriver, AUdisksRefusalIsNotRetriedWithUmount2) {
    startUdisks({"sdb1=!busy", "sdb12=/mnt/second"});
    auto d = driver();
    std::unique_ptr<IVolumeSession> session;
    ASSERT_FALSE(d->openSession(unit, session));
    EXPECT_EQ(session->dismount().code, PortErrc::Busy);
    EXPECT_TRUE(umounted.empty());
}

TEST_F(LinuxVolumeDriver, ALockIsTheProcesssAndEndsWithItsSession) {
    auto d = driver();
    std::unique_ptr<IVolumeSession> first;
    std::unique_ptr<IVolumeSession> second;
    ASSERT_FALSE(d->openSession(unit, first));
    ASSERT_FALSE(d->openSession(unit, second));
    ASSERT_FALSE(first->lock());
    EXPECT_EQ(second->lock().code, PortErrc::Busy);
    EXPECT_EQ(second->dismount().code, PortErrc::Busy);
    VolumeState state;
    ASSERT_FALSE(d->query(unit, state));
    EXPECT_TRUE(state.locked);
    EXPECT_TRUE(state.mounted);
    EXPECT_EQ(d->remount(unit).code, PortErrc::Busy);

    first.reset();
    EXPECT_FALSE(second->lock());
    EXPECT_FALSE(second->unlock());
    ASSERT_FALSE(d->query(unit, state));
    EXPECT_FALSE(state.locked);
}

TEST_F(LinuxVolumeDriver, RemountMountsThroughUdisks) {
    writeFile(mountInfo, "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n");
    startUdisks({"sdb1=/media/u/QZ"});
    auto d = driver();
    VolumeState state;
    ASSERT_FALSE(d->query(unit, state));
    EXPECT_FALSE(state.mounted);
    EXPECT_FALSE(d->remount(unit));
    // Partitions are asked first, the last one first; sdb12 has no object.
    EXPECT_EQ(calls(), "Mount sdb1\n");
    std::string mountPoint;
    EXPECT_FALSE(linux_volumes::udisksMount(address, "sdb1", mountPoint));
    EXPECT_EQ(mountPoint, "/media/u/QZ");
}

}  // namespace
}  // namespace nork::port
