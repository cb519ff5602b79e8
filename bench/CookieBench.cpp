// What a cookie costs: integer cookies read, overwritten, and set new then
// removed, through the library's cookie store on a 250-page hidden area,
// with the drive in this process and behind the daemon's socket. Each area
// holds 0, 50 or 200 other cookies, set before the measured one, so finding
// it walks past all of them. Every operation is a whole frame (lock, open
// the area, work, flush, release), so the page transfers are reported
// beside the time, per iteration: page_reads and page_writes count the
// access object's calls, drive_cmds every command the drive answered (page
// transfers, page passwords, service queries). items_per_second counts
// cookie operations (two per iteration for set new and remove). BM_HAPageRead
// is one bare page read through the same path, the unit to read the others
// against.
//
// One drive per transport and cookie count, filled on first use and shared
// by the three benchmarks of that pair; none of them changes how many
// cookies the area holds. The library logs errors only, as after SDK::init.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CookieImpl.h"
#include "DeviceHandle.h"
#include "DeviceManager.h"
#include "DeviceParams.h"
#include "HAPage.h"
#include "HAPageMgr.h"
#include "HIDHandleMgr.h"
#include "LogHandler.h"
#include "UFDImpl.h"
#include "VendorIdentifier.h"
#include "inproc/InProcessBackend.h"
#include "inproc/ModelBridge.h"
#include "port/ChildProcess.h"
#include "port/DeviceIo.h"
#include "port/System.h"
#include "port/emu/EmuClient.h"
#include "port/emu/EmuDeviceBackend.h"
#include "qz/HAUtilsQz.h"

namespace {

namespace fs = std::filesystem;
namespace emu = nork::port::emu;
using namespace std::chrono_literals;

enum class Transport { InProcess, Socket };

const char* const SECTION = "Bench";
const char* const KEY = "Value";

struct PageCounts {
    std::uint64_t reads = 0;
    std::uint64_t writes = 0;
};

// The drive's page access, counted on the way through.
class CountingHAUtils final : public nork::qz::CHAUtilsQz {
  public:
    explicit CountingHAUtils(PageCounts& counts) : m_counts(counts) {}

    bool writePage(nork::CDeviceHandle& handle, const std::uint8_t* page,
                   std::uint16_t number) override {
        ++m_counts.writes;
        return CHAUtilsQz::writePage(handle, page, number);
    }
    bool readPage(nork::CDeviceHandle& handle, std::uint8_t* buffer, std::uint32_t mode,
                  std::uint16_t number) override {
        ++m_counts.reads;
        return CHAUtilsQz::readPage(handle, buffer, mode, number);
    }
    bool writeProtectedPage(nork::CDeviceHandle& handle, const std::uint8_t* page,
                            std::uint16_t number) override {
        ++m_counts.writes;
        return CHAUtilsQz::writeProtectedPage(handle, page, number);
    }
    bool readProtectedPage(nork::CDeviceHandle& handle, std::uint8_t* buffer, std::uint32_t mode,
                           std::uint16_t number) override {
        ++m_counts.reads;
        return CHAUtilsQz::readProtectedPage(handle, buffer, mode, number);
    }

  private:
    PageCounts& m_counts;
};

// Both emulator backends claim every "qzemu:" path; this one passes on only
// the paths of the drives its transport serves, so both can be registered
// with the process's device table at once.
class DrivesOf final : public nork::port::IDeviceBackend {
  public:
    DrivesOf(std::shared_ptr<nork::port::IDeviceBackend> inner, std::set<std::string> serials)
        : m_inner(std::move(inner)), m_serials(std::move(serials)) {}

    const char* name() const override { return m_inner->name(); }
    bool claims(std::string_view path) const override {
        emu::EmulatedPath parsed;
        return emu::parseDevicePath(path, parsed) && m_serials.count(parsed.serial) != 0;
    }
    nork::port::PortError open(const std::string& path, std::intptr_t& localHandle) override {
        return m_inner->open(path, localHandle);
    }
    void close(std::intptr_t localHandle) override { m_inner->close(localHandle); }
    nork::port::PortError passThrough(std::intptr_t localHandle,
                                      nork::port::ScsiPassThroughRequest& request) override {
        return m_inner->passThrough(localHandle, request);
    }
    nork::port::PortError vendorDriverRequest(std::intptr_t localHandle,
                                              nork::port::VendorDriverRequest& request) override {
        return m_inner->vendorDriverRequest(localHandle, request);
    }
    nork::port::PortError usbIdentity(const std::string& path,
                                      nork::port::UsbIdentity& out) override {
        return m_inner->usbIdentity(path, out);
    }

  private:
    std::shared_ptr<nork::port::IDeviceBackend> m_inner;
    std::set<std::string> m_serials;
};

// One filled drive and its cookie store.
struct Store {
    nork::CCookieImpl* cookies = nullptr;
    PageCounts pages;
    std::function<std::uint64_t()> driveCommands;  // as the drive counts them
};

const std::int64_t COOKIE_COUNTS[] = {0, 50, 200};

std::string serialFor(Transport transport, std::int64_t count) {
    std::string digits = std::to_string(count);
    digits.insert(0, 8 - digits.size(), '0');
    return std::string("QEBENCH") + (transport == Transport::Socket ? "S" : "I") + digits;
}

// The daemon, the in-process drives, the device manager and the stores, for
// the whole run.
class Bench {
  public:
    static Bench& get() {
        static Bench bench;
        return bench;
    }

    bool ok() const { return m_ok; }

    // The store of (transport, count), made and filled on first use; null
    // when that failed.
    Store* store(Transport transport, std::int64_t count) {
        const auto key = std::make_pair(transport, count);
        auto it = m_stores.find(key);
        if (it == m_stores.end())
            it = m_stores.emplace(key, makeStore(transport, count)).first;
        return it->second.get();
    }

    ~Bench() {
        m_stores.clear();
        m_manager.reset();
        for (auto& backend : m_registered)
            nork::port::deviceIo().unregisterBackend(backend.get());
        if (m_pid > 0) {
            nork::port::signalProcess(m_pid, nork::port::Signal::Terminate);
            int code = 0;
            nork::port::waitProcess(m_pid, 10s, code);
        }
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }

  private:
    Bench() {
        auto& log = nork::CLogHandler::instance();
        log.clearLevels(nork::LOG_ALL_LEVELS);
        log.setLevels(nork::LOG_ERROR);

        m_root = fs::temp_directory_path() /
                 ("qzcookiebench-" + std::to_string(nork::port::currentProcessId()));
        fs::create_directories(m_root);
        nork::CHIDHandleMgr::instance().setLockDirectory((m_root / "locks").string());
        m_socket = (m_root / "s.sock").string();
        if (nork::port::spawnProcess(QZEMUD_PATH,
                                     {QZEMUD_PATH, "--foreground", "--socket", m_socket,
                                      "--state-dir", (m_root / "state").string()},
                                     m_pid, (m_root / "qzemud.log").string(),
                                     (m_root / "qzemud.log").string()))
            return;
        for (int i = 0; i < 500 && (m_client.connect(m_socket) || !m_client.ping().ok()); ++i)
            std::this_thread::sleep_for(10ms);

        std::set<std::string> socketSerials, inprocSerials;
        for (std::int64_t count : COOKIE_COUNTS) {
            socketSerials.insert(serialFor(Transport::Socket, count));
            inprocSerials.insert(serialFor(Transport::InProcess, count));
        }
        m_inproc = std::make_shared<qzemu::InProcessBackend>();
        m_registered = {
            std::make_shared<DrivesOf>(emu::makeEmulatorDeviceBackend(m_socket), socketSerials),
            std::make_shared<DrivesOf>(m_inproc, inprocSerials)};
        for (auto& backend : m_registered)
            nork::port::deviceIo().registerBackend(backend);
        m_manager = std::make_unique<nork::CDeviceManager>();
        m_ok = m_client.ping().ok();
    }

    // A drive with the cookie service and a 250-page hidden area.
    static emu::DriveConfig driveConfig(const std::string& serial) {
        emu::DriveConfig c;
        c.serial = serial;
        c.flashSectors = 20000;
        c.layout = "cd:4096,public:rest";
        c.firmware = "7.013";
        c.services = "3:1,4:1,8:2";
        c.readyDelayMs = 0;
        c.hiddenPages = 250;
        return c;
    }

    std::unique_ptr<Store> makeStore(Transport transport, std::int64_t count) {
        const std::string serial = serialFor(transport, count);
        const emu::DriveConfig config = driveConfig(serial);
        auto store = std::make_unique<Store>();
        if (transport == Transport::Socket) {
            emu::DriveInfo info;
            if (!m_client.create(config, info).ok())
                return nullptr;
            store->driveCommands = [this, serial] {
                emu::DriveInfo now;
                return m_client.inspect(serial, now).ok() ? now.commandCount : 0;
            };
        } else {
            std::shared_ptr<qzemu::VirtualDrive> drive =
                qzemu::VirtualDrive::create(m_root / serial, qzemu::toModelConfig(config));
            m_inproc->addDrive(drive);
            store->driveCommands = [drive] { return drive->inspect().commandCount; };
        }

        const auto wide = [](const std::string& s) { return std::u16string(s.begin(), s.end()); };
        nork::CDeviceParams params;
        params.setPath(nork::CDeviceParams::PATH_DISK, wide(emu::makeDevicePath(serial, 0)));
        params.setFlags(nork::CDeviceParams::FLAG_NON_ADMIN_PATH);
        nork::CDeviceHandle handle(&params);
        if (nork::CVendorIdentifier::instance().identify(handle, params) != 0 ||
            m_manager->deviceConnected(params) != nork::CDeviceManager::CONNECT_NEW_OR_CHANGED)
            return nullptr;
        nork::CUFDImpl* device = m_manager->getCUFD(wide(serial)).impl();
        store->cookies =
            device ? dynamic_cast<nork::CCookieImpl*>(device->getService(8).get()) : nullptr;
        if (store->cookies == nullptr)
            return nullptr;
        store->cookies->attach(device, std::make_unique<CountingHAUtils>(store->pages));

        for (std::int64_t i = 0; i < count; ++i) {
            const std::string key = "Key" + std::to_string(i);
            if (store->cookies->setInt("Filler", key.c_str(), static_cast<std::int32_t>(i)) !=
                nork::STATUS_OK)
                return nullptr;
        }
        if (store->cookies->setInt(SECTION, KEY, 0) != nork::STATUS_OK)
            return nullptr;
        return store;
    }

    fs::path m_root;
    std::string m_socket;
    std::int64_t m_pid = 0;
    bool m_ok = false;
    emu::EmuClient m_client;
    std::shared_ptr<qzemu::InProcessBackend> m_inproc;
    std::vector<std::shared_ptr<nork::port::IDeviceBackend>> m_registered;
    std::unique_ptr<nork::CDeviceManager> m_manager;
    std::map<std::pair<Transport, std::int64_t>, std::unique_ptr<Store>> m_stores;
};

// Runs `operation` (one iteration; false = failed) on the store of the
// benchmark's (transport, count) and reports its counts per iteration.
void measure(benchmark::State& state, Transport transport,
             const std::function<bool(nork::CCookieImpl&, std::int32_t)>& operation,
             int operationsPerIteration) {
    Bench& bench = Bench::get();
    Store* store = bench.ok() ? bench.store(transport, state.range(0)) : nullptr;
    if (store == nullptr) {
        state.SkipWithError("no drive with a filled cookie store");
        return;
    }
    const PageCounts before = store->pages;
    const std::uint64_t commandsBefore = store->driveCommands();
    std::int32_t n = 0;
    for (auto _ : state) {
        if (!operation(*store->cookies, ++n)) {
            state.SkipWithError("cookie operation failed");
            return;
        }
    }
    const auto perIteration = [](std::uint64_t delta) {
        return benchmark::Counter(static_cast<double>(delta), benchmark::Counter::kAvgIterations);
    };
    state.counters["page_reads"] = perIteration(store->pages.reads - before.reads);
    state.counters["page_writes"] = perIteration(store->pages.writes - before.writes);
    state.counters["drive_cmds"] = perIteration(store->driveCommands() - commandsBefore);
    state.SetItemsProcessed(state.iterations() * operationsPerIteration);
}

void BM_CookieGetInt(benchmark::State& state, Transport transport) {
    measure(
        state, transport,
        [](nork::CCookieImpl& cookies, std::int32_t) {
            std::int32_t value = -1;
            const bool found = cookies.getInt(SECTION, KEY, value) == nork::STATUS_OK;
            benchmark::DoNotOptimize(value);
            return found;
        },
        1);
}

// The same size each time: the entry is written over in place.
void BM_CookieOverwriteInt(benchmark::State& state, Transport transport) {
    measure(
        state, transport,
        [](nork::CCookieImpl& cookies, std::int32_t n) {
            return cookies.setInt(SECTION, KEY, n) == nork::STATUS_OK;
        },
        1);
}

// A cookie that was not there, then its removal: two operations per
// iteration, leaving the area as it was.
void BM_CookieSetNewAndRemove(benchmark::State& state, Transport transport) {
    measure(
        state, transport,
        [](nork::CCookieImpl& cookies, std::int32_t n) {
            return cookies.setInt(SECTION, "New", n) == nork::STATUS_OK &&
                   cookies.removeCookie(SECTION, "New") == nork::STATUS_OK;
        },
        2);
}

// The floor of every cookie operation: one bare page read (page 1, the
// data-page mode) through the same access object, handle, device table and
// drive, the handle opened once outside the loop. An operation that reads n
// pages costs at least n of these.
void BM_HAPageRead(benchmark::State& state, Transport transport) {
    Bench& bench = Bench::get();
    Store* store = bench.ok() ? bench.store(transport, 0) : nullptr;
    nork::CHAPageMgr* pages = store != nullptr ? store->cookies->pageManager() : nullptr;
    if (pages == nullptr || pages->utils() == nullptr || !pages->openHandle()) {
        state.SkipWithError("no drive with a cookie store");
        return;
    }
    std::uint8_t page[nork::HA_PAGE_SIZE];
    const PageCounts before = store->pages;
    for (auto _ : state) {
        if (!pages->utils()->readPage(pages->handle(), page, nork::CHAUtils::MODE_QZ_DATA, 1)) {
            state.SkipWithError("page read failed");
            break;
        }
        benchmark::DoNotOptimize(page);
    }
    pages->closeHandle();
    state.counters["page_reads"] = benchmark::Counter(
        static_cast<double>(store->pages.reads - before.reads), benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations());
}

void cookieCounts(benchmark::internal::Benchmark* b) {
    for (std::int64_t count : COOKIE_COUNTS)
        b->Arg(count);
    b->ArgName("cookies")->UseRealTime();
}

BENCHMARK_CAPTURE(BM_HAPageRead, InProcess, Transport::InProcess)->UseRealTime();
BENCHMARK_CAPTURE(BM_HAPageRead, Socket, Transport::Socket)->UseRealTime();
BENCHMARK_CAPTURE(BM_CookieGetInt, InProcess, Transport::InProcess)->Apply(cookieCounts);
BENCHMARK_CAPTURE(BM_CookieGetInt, Socket, Transport::Socket)->Apply(cookieCounts);
BENCHMARK_CAPTURE(BM_CookieOverwriteInt, InProcess, Transport::InProcess)->Apply(cookieCounts);
BENCHMARK_CAPTURE(BM_CookieOverwriteInt, Socket, Transport::Socket)->Apply(cookieCounts);
BENCHMARK_CAPTURE(BM_CookieSetNewAndRemove, InProcess, Transport::InProcess)->Apply(cookieCounts);
BENCHMARK_CAPTURE(BM_CookieSetNewAndRemove, Socket, Transport::Socket)->Apply(cookieCounts);

}  // namespace
