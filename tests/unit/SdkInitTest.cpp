#include "SDK.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "LogCapture.h"
#include "LogHandler.h"
#include "LogOutputDebugout.h"
#include "LogOutputFile.h"
#include "LogOutputStream.h"
#include "PlatformFactory.h"
#include "RuntimeTestSupport.h"
#include "SdkSettings.h"
#include "VersionFactory.h"
#include "port/OsIdentity.h"
#include "port/System.h"

namespace nork {
namespace {

using nork::testing::freshTestDir;
using nork::testing::readFile;
using nork::testing::writeFile;
namespace fs = std::filesystem;

std::size_t countContaining(const std::vector<std::string>& lines, const std::string& text) {
    std::size_t n = 0;
    for (const auto& l : lines)
        n += l.find(text) != std::string::npos ? 1 : 0;
    return n;
}

class SdkInitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = freshTestDir();
        m_logDir = m_dir / "logs";
        fs::create_directories(m_logDir);
        m_hive.emplace("QZ_HKCU_HIVE", (m_dir / "hkcu.reg").string());
        writeSettings(std::nullopt, m_logDir.string());
        m_capture = nork::testing::LogCapture::onProcessLog("SdkInitTest");
        // What init changes for the rest of the process, put back afterwards.
        m_settings = sdkSettings();
        m_levels = CLogHandler::instance().levels();
        m_lineFormat = CLogHandler::instance().lineFormat();
    }
    void TearDown() override {
        while (SDK::referenceCount() > 0)
            SDK::fini();
        setSdkSettings(m_settings);
        CLogHandler::instance().clearLevels(0xFFFFFFFFu);
        CLogHandler::instance().setLevels(m_levels);
        CLogHandler::instance().setLineFormat(m_lineFormat.c_str());
        m_hive.reset();
    }

    // The per-user settings key as a user would write it.
    void writeSettings(std::optional<std::string> logger, std::optional<std::string> path) {
        std::string text = "[SOFTWARE\\NORK\\SDK]\n";
        if (logger)
            text += "\"Logger\"=" + *logger + "\n";
        if (path)
            text += "\"LogFilePath\"=\"" + *path + "\"\n";
        writeFile(m_dir / "hkcu.reg", text);
    }

    std::shared_ptr<CLogOutputFile> fileOutput() {
        return std::dynamic_pointer_cast<CLogOutputFile>(
            CLogHandler::instance().output("NORK_SDK_FILE_LOG"));
    }

    fs::path m_dir;
    fs::path m_logDir;
    std::optional<nork::testing::ScopedEnv> m_hive;
    std::uint32_t m_settings = 0;
    std::uint32_t m_levels = 0;
    std::string m_lineFormat;
    std::shared_ptr<nork::testing::LogCapture> m_capture;
};

TEST_F(SdkInitTest, LevelMaskFromConfigAndLoggerSetting) {
    struct Case {
        std::optional<std::string> logger;
        std::uint32_t given;
        std::uint32_t expected;
    } cases[] = {
        {std::nullopt, 0, LOG_ERROR},
        {"dword:00000001", 0, 0xFFFFFFFFu},
        {"dword:00000001", LOG_ERROR, 0xFFFFFFFFu},
        {"dword:00000001", LOG_INFO, LOG_INFO},
        {"dword:00000001", LOG_INFO | LOG_ERROR, LOG_INFO | LOG_ERROR},
        {std::nullopt, LOG_INFO, LOG_INFO},
        {"dword:00000000", 0, LOG_ERROR},
        {"dword:00000002", 0, LOG_ERROR},
        {"\"1\"", 0, LOG_ERROR},  // a string is not the DWORD asked for
    };
    for (const auto& c : cases) {
        writeSettings(c.logger, m_logDir.string());
        std::uint32_t settings = 0;
        ASSERT_EQ(SDK::init(settings, LogConfig{c.given, nullptr}), STATUS_OK);
        EXPECT_EQ(CLogHandler::instance().levels(), c.expected)
            << c.logger.value_or("none") << " " << c.given;
        SDK::fini();
    }

    // What the mask means: with no setting only ERROR lines pass.
    writeSettings(std::nullopt, m_logDir.string());
    std::uint32_t settings = 0;
    ASSERT_EQ(SDK::init(settings, LogConfig{}), STATUS_OK);
    m_capture->takeNarrow();
    NORK_LOG(LOG_INFO, "an info line");
    NORK_LOG(LOG_ERROR, "an error line");
    auto lines = m_capture->takeNarrow();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("]: an error line"), std::string::npos) << lines[0];
}

TEST_F(SdkInitTest, FirstInitLogsSecondOnlyReconfiguresFiniPairs) {
    CLogHandler& handler = CLogHandler::instance();
    // The first init of a process also decides where the SDK log goes.
    if (nork::testing::rerunAloneIf(handler.output("NORK_SDK_LOG") != nullptr))
        return;
    const bool freshProcess = handler.output("NORK_SDK_LOG") == nullptr;
    std::basic_ostringstream<char16_t> first;
    std::basic_ostringstream<char16_t> second;
    const std::string pid = std::to_string(port::currentProcessId());
    const std::string tid = std::to_string(port::currentThreadId());

    std::uint32_t settings = 0;
    ASSERT_EQ(SDK::init(settings, LogConfig{LOG_ALL_LEVELS, &first}), STATUS_OK);
    EXPECT_EQ(SDK::referenceCount(), 1);
    EXPECT_EQ(handler.lineFormat(), "[NORK] [%t][%T]: %M");
    auto lines = m_capture->takeNarrow();
    ASSERT_EQ(countContaining(lines, "NORK SDK init"), 1u);
    std::string initLine;
    for (const auto& l : lines) {
        if (l.find("NORK SDK init") != std::string::npos)
            initLine = l;
    }
    EXPECT_EQ(initLine.rfind("[NORK] [" + tid + "][", 0), 0u) << initLine;
    EXPECT_NE(initLine.find("]: NORK SDK init, library version 4.7.0.9 Unicode, process " + pid +
                            ", referance count 1"),
              std::string::npos)
        << initLine;
    if (freshProcess) {
        auto stream = std::dynamic_pointer_cast<CLogOutputStream>(handler.output("NORK_SDK_LOG"));
        ASSERT_NE(stream, nullptr);
        EXPECT_EQ(stream->stream(), &first);
        std::u16string text = first.str();
        EXPECT_NE(text.find(u"NORK SDK init, library version 4.7.0.9 Unicode"),
                  std::u16string::npos);
    }

    ASSERT_EQ(SDK::init(settings, LogConfig{LOG_ALL_LEVELS, &second}), STATUS_OK);
    EXPECT_EQ(SDK::referenceCount(), 2);
    EXPECT_EQ(countContaining(m_capture->takeNarrow(), "init"), 0u);
    EXPECT_TRUE(second.str().empty());  // the first stream stays the SDK's

    SDK::fini();
    lines = m_capture->takeNarrow();
    EXPECT_EQ(countContaining(lines, "SDK fini, process " + pid + " called, reference count 1"),
              1u);
    EXPECT_EQ(countContaining(lines, "SDK fini exit"), 0u);
    SDK::fini();
    lines = m_capture->takeNarrow();
    EXPECT_EQ(countContaining(lines, "SDK fini, process " + pid + " called, reference count 0"),
              1u);
    EXPECT_EQ(countContaining(lines, "SDK fini exit, process " + pid), 1u);
    EXPECT_EQ(SDK::referenceCount(), 0);

    // An unpaired fini is reported and changes nothing.
    SDK::fini();
    EXPECT_EQ(SDK::referenceCount(), 0);
    lines = m_capture->takeNarrow();
    EXPECT_EQ(countContaining(lines, "SDK::fini() - called without SDK::init"), 1u);
    EXPECT_EQ(countContaining(lines, "SDK fini exit"), 0u);
}

TEST_F(SdkInitTest, WithoutAStreamTheDebuggerGetsTheLog) {
    if (nork::testing::rerunAloneIf(CLogHandler::instance().output("NORK_SDK_LOG") != nullptr))
        return;
    ASSERT_EQ(CLogHandler::instance().output("NORK_SDK_LOG"), nullptr);
    std::uint32_t settings = 0;
    ASSERT_EQ(SDK::init(settings, LogConfig{}), STATUS_OK);
    auto out = CLogHandler::instance().output("NORK_SDK_LOG");
    EXPECT_NE(std::dynamic_pointer_cast<CLogOutputDebugout>(out), nullptr);
}

TEST_F(SdkInitTest, LogFilePathSetsTheFileDirectory) {
    // A path with "." and ".." parts and a symbolic link takes its long form.
    fs::create_directories(m_dir / "real");
    fs::create_symlink(m_dir / "real", m_dir / "link");
    writeSettings("dword:00000001", (m_dir / "link" / "." / ".." / "link").string());
    // One file per process: once a file is open, later lines stay in it.
    const bool fileOpenAlready = fileOutput() && !fileOutput()->currentFilePath().empty();
    if (nork::testing::rerunAloneIf(fileOpenAlready))
        return;
    std::uint32_t settings = 0;
    ASSERT_EQ(SDK::init(settings, LogConfig{}), STATUS_OK);
    auto file = fileOutput();
    ASSERT_NE(file, nullptr);
    const std::string longForm = fs::canonical(m_dir / "real").string() + "/";
    EXPECT_EQ(file->directory(), longForm);
    EXPECT_EQ(countContaining(m_capture->takeNarrow(), "illegal log file path"), 0u);

    NORK_LOG(LOG_ERROR, "to the file");
    if (!fileOpenAlready) {
        EXPECT_EQ(file->currentFilePath().rfind(longForm, 0), 0u) << file->currentFilePath();
        EXPECT_NE(readFile(file->currentFilePath()).find("]: to the file\n"), std::string::npos);
    }
    SDK::fini();

    // Unusable paths are reported and leave the directory as it was.
    const std::string badPaths[] = {
        (m_dir / "does-not-exist").string(),
        "",
        "/" + std::string(300, 'a'),
    };
    for (const auto& bad : badPaths) {
        writeSettings(std::nullopt, bad);
        ASSERT_EQ(SDK::init(settings, LogConfig{}), STATUS_OK);
        auto lines = m_capture->takeNarrow();
        EXPECT_EQ(countContaining(lines, "]: SDK::init() - illegal log file path"), 1u) << bad;
        EXPECT_EQ(file->directory(), longForm) << bad;
        SDK::fini();
    }

    // No value at all: nothing to report.
    writeSettings(std::nullopt, std::nullopt);
    ASSERT_EQ(SDK::init(settings, LogConfig{}), STATUS_OK);
    EXPECT_EQ(countContaining(m_capture->takeNarrow(), "illegal log file path"), 0u);
}

TEST_F(SdkInitTest, SettingsWordIsStoredForTheSdk) {
    // A first init here would build the process's platform object forced to
    // HID, for every later test of the process.
    if (nork::testing::rerunAloneIf(TSingleton<CPlatformFactory>::existing() == nullptr))
        return;
    std::uint32_t settings = FORCE_HID_USAGE;
    ASSERT_EQ(SDK::init(settings, LogConfig{}), STATUS_OK);
    const std::uint32_t expected = FORCE_HID_USAGE | (port::hasStdInput() ? 0u : NO_STDIN_HANDLE);
    EXPECT_EQ(sdkSettings(), expected);
    EXPECT_EQ(settings, expected);
}

[[noreturn]] void initWithoutStdin() {
    std::fclose(stdin);  // closes file descriptor 0
    std::uint32_t settings = 0;
    bool ok = SDK::init(settings, LogConfig{}) == STATUS_OK && sdkSettings() == NO_STDIN_HANDLE;
    std::_Exit(ok ? 0 : 1);
}

TEST_F(SdkInitTest, NoStandardInputSetsItsBit) {
    if (nork::testing::rerunAloneUnlessSingleThreaded())
        return;
    EXPECT_EXIT(initWithoutStdin(), ::testing::ExitedWithCode(0), "");
}

// Users on many threads: each first user brings the SDK up once, each last
// user shuts it down once, and the count ends at zero.
TEST_F(SdkInitTest, ConcurrentUsersAreCounted) {
    writeSettings("dword:00000001", m_logDir.string());
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 25; ++i) {
                std::uint32_t settings = 0;
                if (SDK::init(settings, LogConfig{}) == STATUS_OK)
                    SDK::fini();
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(SDK::referenceCount(), 0);
    auto lines = m_capture->takeNarrow();
    std::size_t ups = countContaining(lines, "NORK SDK init, library version");
    EXPECT_GE(ups, 1u);
    EXPECT_EQ(ups, countContaining(lines, "SDK fini exit"));
    EXPECT_EQ(countContaining(lines, "SDK fini, process"), 200u);
}

}  // namespace
}  // namespace nork

namespace nork {
namespace {

// The platform gate refuses before anything happens: no count, no objects.
TEST_F(SdkInitTest, UnsupportedPlatformIsRefusedWithoutSideEffects) {
    struct Case {
        int platformType;
        std::u16string storageDriver;
        STATUS expected;
    } cases[] = {
        {5, u"", STATUS_OS_NOT_SUPPORTED},
        {7, u"", STATUS_OS_NOT_SUPPORTED},
        {8, u"5.0.2195.4455", STATUS_STORAGE_DRIVER_TOO_OLD},
        {10, u"5.0.2195.10000", STATUS_STORAGE_DRIVER_TOO_OLD},
    };
    // Whether a refusal creates the platform object shows only where none exists yet.
    if (nork::testing::rerunAloneIf(TSingleton<CPlatformFactory>::existing() != nullptr))
        return;
    for (const auto& c : cases) {
        port::OsIdentity identity;
        identity.platformType = c.platformType;
        identity.usbStorageDriverVersion = c.storageDriver;
        port::setOsIdentity(identity);
        std::uint32_t settings = 0;
        EXPECT_EQ(SDK::init(settings, LogConfig{}), c.expected) << c.platformType;
        EXPECT_EQ(SDK::referenceCount(), 0);
        EXPECT_EQ(TSingleton<CPlatformFactory>::existing(), nullptr);
    }
    port::resetOsIdentity();
}

TEST_F(SdkInitTest, FirstInitCreatesThePlatformAndVersionFactories) {
    // Creates the process's platform object forced to HID: later tests of the
    // process must not inherit it.
    if (nork::testing::rerunAloneIf(true))
        return;
    ASSERT_EQ(TSingleton<CVersionFactory>::existing(), nullptr);
    std::uint32_t settings = FORCE_HID_USAGE;
    ASSERT_EQ(SDK::init(settings, LogConfig{}), STATUS_OK);
    ASSERT_NE(TSingleton<CPlatformFactory>::existing(), nullptr);
    EXPECT_NE(TSingleton<CVersionFactory>::existing(), nullptr);
    // The platform object saw the settings stored by this very init.
    for (int p = 0; p < CPlatformFactory::PRIVILEGE_COUNT; ++p) {
        EXPECT_FALSE(CPlatformFactory::instance().privilege(p)) << p;
    }
}

}  // namespace
}  // namespace nork
