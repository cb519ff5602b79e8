// The Linux volume backend against the real udisks2: dismount and mount of
// an ext4 file system on a loop device, through the backend's udisks2 path
// on the system bus, checked in /proc/self/mountinfo.
//
// udisksd needs a system bus at its standard path, udev's database and
// root. The fixture starts what is missing (the system bus, systemd-udevd,
// udisksd), each as its own child, and stops exactly those again by pid,
// with the loop device and its mounts, in TearDown, so a failing test leaves
// nothing behind; services the bus starts for udisksd on demand (polkitd)
// end with the bus. It never touches a system bus that runs already (it
// skips then) and uses a udevd that runs already without stopping it. It
// skips when it is not root or a tool is missing (scripts/install-deps.sh
// brings them).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RuntimeTestSupport.h"
#include "port/ChildProcess.h"
#include "port/UnixSocket.h"
#include "port/linux/LinuxVolumes.h"

namespace nork::port {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nork::testing::freshTestDir;
using nork::testing::readFile;
using nork::testing::ScopedEnv;

constexpr const char* kBusSocket = "/run/dbus/system_bus_socket";
constexpr const char* kLabel = "QZVOLTEST";

// What the daemons and udisks2's mounts create where nothing was before;
// whatever of it was absent before the test is removed again after it.
const char* const kGrownPaths[] = {"/run/udev", "/run/udisks2", "/run/mount",
                                   "/dev/disk", "/dev/block",   "/media/root"};

std::string firstExisting(std::initializer_list<const char*> candidates) {
    for (const char* c : candidates) {
        std::error_code ec;
        if (fs::exists(c, ec))
            return c;
    }
    return {};
}

bool listening(const std::string& socketPath) {
    UnixSocket socket;
    return !UnixSocket::connect(socketPath, socket, 500ms);
}

bool effectiveUserIsRoot() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Uid:", 0) == 0) {
            std::istringstream fields(line.substr(4));
            std::string real, effective;
            fields >> real >> effective;
            return effective == "0";
        }
    }
    return false;
}

bool waitFor(const std::function<bool()>& ready, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

bool running(std::int64_t pid) {
    int code = 0;
    return waitProcess(pid, 0ms, code).code == PortErrc::Timeout;
}

void stop(std::int64_t& pid) {
    if (pid <= 0)
        return;
    int code = 0;
    signalProcess(pid, Signal::Terminate);
    if (waitProcess(pid, 5s, code)) {
        signalProcess(pid, Signal::Kill);
        waitProcess(pid, 5s, code);
    }
    pid = 0;
}

class RealUdisks : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string why = start();
        if (!why.empty())
            GTEST_SKIP() << why;
    }

    void TearDown() override {
        // Mounts first (a mounted loop device does not detach), then the
        // device, then the daemons: udisksd before the bus it serves on.
        for (const std::string& mountPoint : mountPoints()) {
            if (!run(tool.umount, {"umount", mountPoint}))
                run(tool.umount, {"umount", "--lazy", mountPoint});
        }
        if (!loop.empty())
            run(tool.losetup, {"losetup", "--detach", "/dev/" + loop});
        stop(udisksdPid);
        stop(udevdPid);
        if (busPid > 0) {
            stop(busPid);
            std::error_code ec;
            fs::remove(kBusSocket, ec);  // dbus-daemon leaves its socket file
        }
        for (const std::string& path : absentBefore) {
            std::error_code ec;
            if (path == "/media/root")
                fs::remove(path, ec);  // only when empty: never a mount point's contents
            else
                fs::remove_all(path, ec);
        }
        if (!dir.empty()) {
            std::error_code ec;
            fs::remove(dir / "ext4.img", ec);
        }
    }

    // Brings up the system bus, udev and udisksd with the loop device on it;
    // "" when all is there, else why the test cannot run here.
    std::string start() {
        if (!effectiveUserIsRoot())
            return "needs root: it starts a system bus, udevd and udisksd and mounts a loop device";
        dir = freshTestDir();
        tool.dbusDaemon = firstExisting({"/usr/bin/dbus-daemon", "/bin/dbus-daemon"});
        tool.udevd =
            firstExisting({"/lib/systemd/systemd-udevd", "/usr/lib/systemd/systemd-udevd"});
        tool.udevadm = firstExisting({"/usr/bin/udevadm", "/bin/udevadm"});
        tool.udisksd = firstExisting({"/usr/libexec/udisks2/udisksd", "/usr/lib/udisks2/udisksd"});
        tool.udisksctl = firstExisting({"/usr/bin/udisksctl", "/bin/udisksctl"});
        tool.dbusSend = firstExisting({"/usr/bin/dbus-send", "/bin/dbus-send"});
        tool.mkfs = firstExisting({"/usr/sbin/mkfs.ext4", "/sbin/mkfs.ext4"});
        tool.losetup = firstExisting({"/usr/sbin/losetup", "/sbin/losetup"});
        tool.umount = firstExisting({"/usr/bin/umount", "/bin/umount"});
        for (const std::string* t :
             {&tool.dbusDaemon, &tool.dbusSend, &tool.udevd, &tool.udevadm, &tool.udisksd,
              &tool.udisksctl, &tool.mkfs, &tool.losetup, &tool.umount}) {
            if (t->empty())
                return "dbus-daemon, dbus-send, systemd-udevd, udevadm, udisksd, udisksctl, "
                       "mkfs.ext4, losetup and umount are needed (scripts/install-deps.sh)";
        }
        if (listening(kBusSocket))
            return std::string("a system bus runs already at ") + kBusSocket +
                   "; this test brings up its own and leaves a running one alone";
        for (const char* path : kGrownPaths) {
            std::error_code ec;
            if (!fs::exists(fs::symlink_status(path, ec)))
                absentBefore.push_back(path);
        }

        std::error_code ec;
        fs::create_directories(fs::path(kBusSocket).parent_path(), ec);
        if (spawnProcess(tool.dbusDaemon, {"dbus-daemon", "--system", "--nofork", "--nopidfile"},
                         busPid, (dir / "bus.log").string(), (dir / "bus.log").string()))
            return "dbus-daemon did not start";
        if (!waitFor([] { return listening(kBusSocket); }, 10s))
            return "the system bus did not come up:\n" + readFile(dir / "bus.log");

        if (!udevdAnswers()) {
            if (spawnProcess(tool.udevd, {"systemd-udevd"}, udevdPid, (dir / "udevd.log").string(),
                             (dir / "udevd.log").string()))
                return "systemd-udevd did not start";
            if (!waitFor([this] { return udevdAnswers(); }, 10s))
                return "udevd did not come up:\n" + readFile(dir / "udevd.log");
        }

        // udevd sees the loop device arrive and records its file system,
        // which is what udisksd reads.
        const fs::path image = dir / "ext4.img";
        std::ofstream(image, std::ios::binary).close();
        fs::resize_file(image, 16u << 20, ec);
        std::string out;
        if (!run(tool.mkfs, {"mkfs.ext4", "-q", "-F", "-L", kLabel, image.string()}, &out))
            return "mkfs.ext4 failed: " + out;
        if (!run(tool.losetup, {"losetup", "--find", "--show", image.string()}, &out))
            return "no loop device to be had here: " + out;
        const std::string node = out.substr(0, out.find('\n'));
        if (node.rfind("/dev/", 0) != 0)
            return "losetup answered " + out;
        loop = node.substr(5);
        run(tool.udevadm, {"udevadm", "settle", "--timeout=10"});

        if (spawnProcess(tool.udisksd, {"udisksd"}, udisksdPid, (dir / "udisksd.log").string(),
                         (dir / "udisksd.log").string()))
            return "udisksd did not start";
        // Nothing asks for udisks2 before ours owns its name: the bus would
        // start another one for the call (bus activation), not ours to stop.
        const bool known =
            waitFor([this] { return running(udisksdPid) && udisksOnTheBus(); }, 15s) &&
            waitFor(
                [this] {
                    std::string info;
                    return run(tool.udisksctl, {"udisksctl", "info", "-b", "/dev/" + loop},
                               &info) &&
                           info.find("org.freedesktop.UDisks2.Filesystem:") != std::string::npos;
                },
                15s);
        if (!known)
            return "udisksd did not come to serve /dev/" + loop + "'s file system:\n" +
                   readFile(dir / "udisksd.log");
        return {};
    }

    // Asks the bus itself, which starts nobody.
    bool udisksOnTheBus() {
        std::string answer;
        return run(tool.dbusSend,
                   {"dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.DBus",
                    "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                    "string:org.freedesktop.UDisks2"},
                   &answer) &&
               answer.find("boolean true") != std::string::npos;
    }

    // udevd's control socket is a datagram one: udevadm asks it.
    bool udevdAnswers() {
        return run(tool.udevadm, {"udevadm", "control", "--ping", "--timeout=2"});
    }

    bool run(const std::string& program, const std::vector<std::string>& args,
             std::string* output = nullptr) {
        std::string text;
        int code = -1;
        const bool ok = !runProcess(program, args, text, code, true) && code == 0;
        if (output != nullptr)
            *output = text;
        return ok;
    }

    // Where the loop device is mounted, read straight from mountinfo (field
    // 3 is major:minor, field 5 the mount point, octal escapes kept).
    std::vector<std::string> mountPoints() const {
        std::vector<std::string> out;
        if (loop.empty())
            return out;
        const std::string dev = readFile("/sys/class/block/" + loop + "/dev");
        const std::string numbers = dev.substr(0, dev.find('\n'));
        std::istringstream lines(readFile("/proc/self/mountinfo"));
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string id, parent, devno, root, mountPoint;
            fields >> id >> parent >> devno >> root >> mountPoint;
            if (!numbers.empty() && devno == numbers)
                out.push_back(mountPoint);
        }
        return out;
    }

    std::shared_ptr<IVolumeDriver> driver() {
        linux_volumes::Options options;  // /sys, /proc/self/mountinfo, /dev
        options.busAddress.clear();      // the system bus, as installed programs use
        // No way around udisks2: a dismount that did not go through it fails.
        options.rootFallback = false;
        options.umount = [this](const std::string& mountPoint) {
            umounted.push_back(mountPoint);
            return 1;
        };
        return linux_volumes::makeDriver(options);
    }

    StorageUnitFacts unit() const {
        StorageUnitFacts facts;
        facts.ioPath = "/dev/" + loop;
        facts.location = fs::canonical("/sys/class/block/" + loop).string();
        return facts;
    }

    struct Tools {
        std::string dbusDaemon, dbusSend, udevd, udevadm, udisksd, udisksctl, mkfs, losetup, umount;
    } tool;
    fs::path dir;
    std::vector<std::string> absentBefore;
    std::int64_t busPid = 0;
    std::int64_t udevdPid = 0;
    std::int64_t udisksdPid = 0;
    std::string loop;  // "loop0"
    std::vector<std::string> umounted;
    // The backend finds udisks2 on the system bus only when nothing points
    // it elsewhere.
    ScopedEnv noStandIn{"QZ_UDISKS_BUS_ADDRESS", nullptr};
    ScopedEnv standardBus{"DBUS_SYSTEM_BUS_ADDRESS", nullptr};
};

TEST_F(RealUdisks, ALoopDeviceGoesDownAndUpThroughTheVolumeBackend) {
    auto d = driver();
    const StorageUnitFacts facts = unit();
    ASSERT_TRUE(d->serves(facts)) << facts.location;
    VolumeState state;
    ASSERT_FALSE(d->query(facts, state));
    ASSERT_FALSE(state.mounted);

    // Mounted by udisks2, where it mounts a volume of root's.
    ASSERT_FALSE(d->remount(facts));
    const std::vector<std::string> mounted = mountPoints();
    ASSERT_EQ(mounted.size(), 1u);
    EXPECT_EQ(mounted[0].rfind(std::string("/media/root/") + kLabel, 0), 0u) << mounted[0];
    ASSERT_FALSE(d->query(facts, state));
    EXPECT_TRUE(state.mounted);

    std::unique_ptr<IVolumeSession> session;
    ASSERT_FALSE(d->openSession(facts, session));
    ASSERT_FALSE(session->lock());
    ASSERT_FALSE(session->dismount());
    EXPECT_EQ(linux_volumes::lastUnmountPath(), "udisks2");
    EXPECT_TRUE(umounted.empty());
    EXPECT_TRUE(mountPoints().empty());

    // Held after the dismount: udisks2 itself cannot mount it behind the
    // library's back.
    std::string refusal;
    EXPECT_FALSE(run(tool.udisksctl, {"udisksctl", "mount", "-b", facts.ioPath}, &refusal))
        << refusal;
    EXPECT_TRUE(mountPoints().empty());

    ASSERT_FALSE(session->unlock());
    ASSERT_FALSE(d->remount(facts));
    EXPECT_EQ(mountPoints(), mounted);
}

}  // namespace
}  // namespace nork::port
