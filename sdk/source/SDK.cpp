#include "SDK.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "DeviceManager.h"
#include "DevicePoll.h"
#include "HIDHandleMgr.h"
#include "Log.h"
#include "LogHandler.h"
#include "LogOutputDebugout.h"
#include "LogOutputFile.h"
#include "LogOutputStream.h"
#include "PlatformFactory.h"
#include "Registry.h"
#include "SdkSettings.h"
#include "TransparentReconnect.h"
#include "VendorIdentifier.h"
#include "VersionFactory.h"
#include "WMListeningMgr.h"
#include "WindowCloser.h"
#include "nork/Version.h"
#include "port/OsIdentity.h"
#include "port/System.h"
#include "port/Utf.h"
#include "port/emu/EmuDeviceBackend.h"
#include "port/emu/EmuPaths.h"

namespace nork {
namespace {

// The build's version (the top CMakeLists.txt) and the character set.
constexpr const char16_t* kLibraryVersion = u"" NORK_VERSION " Unicode";
constexpr const char* kStreamOutputName = "NORK_SDK_LOG";
constexpr const char* kFileOutputName = "NORK_SDK_FILE_LOG";
constexpr const char16_t* kSettingsKey = u"SOFTWARE\\NORK\\SDK";
constexpr std::size_t kMaxLogFilePathChars = 256;

std::atomic<int> g_referenceCount{0};

// init and fini run one at a time, so a second user never returns before the
// first one's singletons exist, and the last fini never races a new init.
std::mutex& lifecycleMutex() {
    static auto* m = new std::mutex();  // never destroyed: usable at exit
    return *m;
}

// Outputs the SDK creates once per process; the handler holds them too.
struct SdkLogOutputs {
    std::shared_ptr<CLogOutputDebugout> debugout;
    std::shared_ptr<CLogOutputStream> stream;
    std::shared_ptr<CLogOutputFile> file;
};

SdkLogOutputs& logOutputs() {
    static auto* outputs = new SdkLogOutputs();  // never destroyed: the handler outlives statics
    return *outputs;
}

// Platform gate run before anything else.
STATUS runStartupPlatformCheck() {
    return CPlatformFactory::checkPlatform(port::osIdentity());
}

// Brings up the SDK's process-wide objects, in this order, for the first
// user of the process:
//   platform factory (CPlatformFactory)
//   version factory (CVersionFactory)
//   vendor identifier (CVendorIdentifier)
//   device manager and event subject (CZykSDK)
//   device poller (CDevicePoll), created with its implementation; its
//   thread starts with the first listener
//   transparent-reconnection manager and its register factory
//   HID handle manager (CHIDHandleMgr)
//   window closer
//   window-message listening manager (CWMListeningMgr)
// Each object that exists so far is created here, in that order.
void createSdkSingletons() {
    // Drives of the emulator are served beside real ones when a daemon is
    // configured or running for this user.
    if (port::emu::registerEmulatorBackendIfPresent()) {
        NORK_LOG(LOG_INFO, "SDK::init() - drive emulator at %s", port::emu::defaultSocketPath());
    }
    CPlatformFactory::instance();
    CVersionFactory::instance();
    CVendorIdentifier::instance();
    CZykSDK::instance();
    // The thread itself starts with the first listener; a running one
    // restarts with the implementation this platform asks for.
    CDevicePoll::instance().setImplementation(
        CreateHIDPollImpl(CPlatformFactory::instance().platformType()));
    CTransparentReconnectionsManager::instance();
    TransparentReconnectRegisterFactory::instance();
    CHIDHandleMgr::instance();
    CWindowCloser::instance();
    CWMListeningMgr::instance();
}

// Stops the activity of the last user of the process, in this order:
//   close every device handle of the HID handle manager and empty its tables
//   stop the device poller
//   release the device pool of the device manager
//   run the SDK's pending exit callbacks
// The objects themselves stay until process exit.
void shutdownSdkSingletons() {
    CHIDHandleMgr::instance().closeAll();
    CDevicePoll::instance().stop();
    // Reconnection threads hold device objects: the pool goes only once
    // they ended (otherwise it stays until process exit).
    if (CTransparentReconnectionsManager::instance().waitIdle(std::chrono::seconds(5)))
        CZykSDK::instance().deviceManager().releasePool();
    else
        NORK_LOG(LOG_ERROR, "SDK::fini() - reconnections still running, device objects kept");
}

void configureLog(const LogConfig& config) {
    CLogHandler& handler = CLogHandler::instance();
    SdkLogOutputs& outputs = logOutputs();

    if (!outputs.debugout) {
        outputs.debugout = std::make_shared<CLogOutputDebugout>();
        outputs.stream = std::make_shared<CLogOutputStream>(config.stream);
        if (config.stream != nullptr) {
            handler.registerOutput(kStreamOutputName, outputs.stream, LOG_ALL_LEVELS);
        } else {
            handler.registerOutput(kStreamOutputName, outputs.debugout, LOG_ALL_LEVELS);
        }
    }

    CRegistry registry;
    std::uint32_t logger = 0;
    std::u16string logFilePath;
    bool havePath = false;
    if (registry.open(CRegistry::ROOT_CURRENT_USER, CRegistry::omRead, kSettingsKey)) {
        if (!registry.readDword(u"Logger", logger))
            logger = 0;
        havePath = registry.readString(u"LogFilePath", logFilePath);
        registry.close();
    }

    handler.clearLevels(0xFFFFFFFFu);
    std::uint32_t mask =
        config.levelMask == 0 ? static_cast<std::uint32_t>(LOG_ERROR) : config.levelMask;
    if (logger == 1 && mask == LOG_ERROR)
        mask = 0xFFFFFFFFu;
    handler.setLevels(mask);

    handler.setLineFormat("[NORK] [%t][%T]: %M");

    if (!outputs.file) {
        outputs.file = std::make_shared<CLogOutputFile>();
        handler.registerOutput(kFileOutputName, outputs.file, LOG_ALL_LEVELS);
    }

    if (havePath) {
        std::string narrow;
        std::string longPath;
        if (logFilePath.size() <= kMaxLogFilePathChars &&
            port::utf::toUtf8(logFilePath, narrow, true) && !port::longPathName(narrow, longPath)) {
            outputs.file->setDirectory(longPath);
        } else {
            NORK_LOG(LOG_ERROR, "SDK::init() - illegal log file path");
        }
    }
}

}  // namespace

STATUS SDK::init(std::uint32_t& settings, LogConfig config) noexcept {
    bool counted = false;
    try {
        std::lock_guard<std::mutex> guard(lifecycleMutex());
        STATUS platform = runStartupPlatformCheck();
        if (platform != STATUS_OK)
            return platform;

        int count = g_referenceCount.fetch_add(1) + 1;
        counted = true;

        std::uint32_t word = settings;
        if (!port::hasStdInput())
            word |= NO_STDIN_HANDLE;
        setSdkSettings(word);
        settings = word;

        configureLog(config);

        if (count == 1) {
            NORK_LOG(LOG_INFO, "NORK SDK init, library version %s, process %d, referance count %d",
                     kLibraryVersion, port::currentProcessId(), count);
            createSdkSingletons();
        }
        return STATUS_OK;
    } catch (...) {
        // A failed init leaves no user behind: the caller will not call fini.
        if (counted)
            g_referenceCount.fetch_sub(1);
        NORK_LOG(LOG_ERROR, "SDK::init() - internal error");
        return STATUS_SDK_INTERNAL_ERROR;
    }
}

void SDK::fini() noexcept {
    try {
        std::lock_guard<std::mutex> guard(lifecycleMutex());
        int count = g_referenceCount.load();
        if (count <= 0) {
            NORK_LOG(LOG_ERROR, "SDK::fini() - called without SDK::init");
            return;
        }
        count = g_referenceCount.fetch_sub(1) - 1;
        NORK_LOG(LOG_DEBUG, "SDK fini, process %d called, reference count %d",
                 port::currentProcessId(), count);
        if (count == 0) {
            shutdownSdkSingletons();
            NORK_LOG(LOG_INFO, "SDK fini exit, process %d", port::currentProcessId());
        }
    } catch (...) {
        NORK_LOG(LOG_ERROR, "SDK::fini() - internal error");
    }
}

int SDK::referenceCount() noexcept {
    return g_referenceCount.load();
}

}  // namespace nork
