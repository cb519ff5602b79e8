// qzctl: a command-line tool over the device library.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Cli.h"
#include "CommandLine.h"
#include "DeviceHandle.h"
#include "DeviceManager.h"
#include "DeviceParams.h"
#include "DevicePoll.h"
#include "Domain.h"
#include "DomainCommands.h"
#include "Drives.h"
#include "Log.h"
#include "MaskConvert.h"
#include "Numbers.h"
#include "PlatformFactory.h"
#include "PrivateCommand.h"
#include "SCSICommand.h"
#include "SCSIExec.h"
#include "SDK.h"
#include "Status.h"
#include "StringConvertor.h"
#include "TransparentReconnect.h"
#include "UFD.h"
#include "UFDImpl.h"
#include "UsbIdentitySource.h"
#include "VendorIdentifier.h"
#include "VendorTraits.h"
#include "WMListeningMgr.h"
#include "WideStream.h"
#include "ZykEvent.h"
#include "nork/Version.h"
#include "port/DeviceInventory.h"
#include "port/DeviceIo.h"
#include "port/Messages.h"
#include "port/System.h"
#include "port/emu/EmuClient.h"
#include "port/emu/EmuDeviceBackend.h"
#include "port/emu/EmuPaths.h"
#include "qz/ConfigService.h"
#include "qz/ConfigServiceImpl.h"
#include "qz/DeviceErrors.h"
#include "qz/DriveProtocol.h"
#include "qz/ServiceDiscoveryImpl.h"
#include "qz/UtilsImpl.h"

namespace qzctl {

std::string narrow(const std::u16string& s) {
    return nork::wideToMultiString(s, 0);
}

namespace {
bool g_json = false;
}  // namespace

int fail(int exitCode, const std::string& message) {
    return qzcli::reportError("qzctl", g_json, exitCode, message);
}

int usageError(const std::string& message) {
    fail(EXIT_USAGE, message);
    std::cerr << "Try 'qzctl --help'.\n";
    return EXIT_USAGE;
}

int exitCodeOf(nork::STATUS status) {
    const int code = static_cast<int>(status);
    if (status == nork::STATUS_DEVICE_NOT_CONNECTED)
        return EXIT_DEVICE_GONE;
    if (code >= 100 && code < 200)
        return EXIT_BAD_PARAMETERS;
    // The other 2xx are operations the drive took part in and that failed
    // (a format, a lock): the command failed, as before.
    if (status == nork::STATUS_COMMUNICATION_FAILURE)
        return EXIT_COMMUNICATION;
    if (code >= 300 && code < 400)
        return EXIT_DEVICE_STATE;
    if (code >= 400 && code < 500)
        return EXIT_DATA;
    return EXIT_COMMAND_FAILED;
}

namespace {

// The error of a failed status: stderr, and with --json one object that
// carries the status and, where the drive answered one, its error's name.
int reportStatus(int exitCode, const std::string& message, nork::STATUS status,
                 const std::string& deviceError) {
    std::cerr << "qzctl: " << message << "\n";
    if (g_json) {
        JsonObject o;
        o.add("error", message)
            .add("exitCode", exitCode)
            .addRaw("status", JsonObject()
                                  .add("code", std::int64_t{static_cast<int>(status)})
                                  .add("text", narrow(nork::statusToString(status)))
                                  .str());
        if (!deviceError.empty())
            o.add("deviceError", deviceError);
        std::cout << o.str() << std::endl;
    }
    return exitCode;
}

bool onTheBus(const std::u16string& serial) {
    const std::string name = narrow(serial);
    for (const auto& unit : nork::port::peekSnapshot().units) {
        if (unit.facts.serial == name)
            return true;
    }
    return false;
}

}  // namespace

int failed(const std::string& what, nork::STATUS status) {
    return reportStatus(exitCodeOf(status), what + ": " + narrow(nork::statusToString(status)),
                        status, "");
}

int failed(const std::string& what, nork::STATUS status, nork::CUFDImpl* device) {
    if (device == nullptr)
        return failed(what, status);
    // Whatever the library made of it, a drive that is gone is the cause.
    if (!onTheBus(device->serialNumber()))
        return reportStatus(EXIT_DEVICE_GONE, what + ": the drive left the bus", status, "");
    const int code = static_cast<int>(status);
    if (code < 200 || code >= 300)
        return failed(what, status);
    // A command the drive refused reaches the library as a communication
    // failure; the drive's own error register says why (a wrong password,
    // say). Reading it clears it, so it is asked once, here.
    auto utils = std::dynamic_pointer_cast<nork::qz::CUtilsImpl>(
        device->getService(nork::qz::CUtilsImpl::SERVICE_ID));
    std::uint32_t error = 0;
    std::uint32_t extendedSize = 0;
    if (utils && utils->getLastError(error, extendedSize, nullptr) == nork::STATUS_OK &&
        error != 0) {
        std::u16string text;
        nork::qz::describeCommand(error, text);
        nork::qz::describeError(error, text);
        return reportStatus(EXIT_DRIVE_REFUSED, what + ": " + narrow(text), status,
                            narrow(nork::qz::errorName(error)));
    }
    return failed(what, status);
}

bool confirmDestruction(const Options& options, const std::string& what) {
    if (options.yes)
        return true;
    std::string answer;
    const nork::port::PortError asked = nork::port::readTerminalLine(
        "qzctl: this destroys every file of " + what + ". Go ahead? [y/N] ", answer);
    if (asked) {
        fail(EXIT_USAGE, "this would destroy every file of " + what +
                             "; with no terminal to ask, pass --yes to go ahead");
        return false;
    }
    if (answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes")
        return true;
    fail(EXIT_USAGE, "not confirmed: nothing was changed");
    return false;
}

std::string hexBytes(const std::uint8_t* p, std::size_t n) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", p[i]);
        if (i > 0)
            out.push_back(' ');
        out += buf;
    }
    return out;
}

int missingService(nork::CUFDImpl* impl, const std::string& device, const std::string& what) {
    if (impl == nullptr)
        return fail(EXIT_DEVICE_GONE, device + " left the bus");
    if (!onTheBus(impl->serialNumber()))
        return fail(EXIT_DEVICE_GONE, device + " left the bus");
    const std::string family = impl->traits() ? narrow(impl->traits()->name()) : "";
    if (family == "QZ") {
        // The family's services come from the drive's own list: a list that
        // could not be read is a failed command, not a missing service.
        auto discovery = std::dynamic_pointer_cast<nork::qz::CServiceDiscoveryImpl>(
            impl->getService(nork::qz::SERVICE_ID_DISCOVERY));
        std::vector<nork::qz::DiscoveredService> services;
        const nork::STATUS status =
            discovery ? discovery->copyServices(services) : nork::STATUS_COMMUNICATION_FAILURE;
        if (status != nork::STATUS_OK)
            return failed(device + ": the drive's services were not read", status, impl);
        return fail(EXIT_COMMAND_FAILED, device + " offers no " + what);
    }
    // A drive of the family whose identification failed when it arrived is
    // taken for a generic drive: ask it again who it is.
    nork::port::PortError error;
    const nork::port::OsHandle handle =
        nork::port::deviceIo().open(std::string_view(resolveDevice(device).path), &error);
    if (handle == nork::port::INVALID_OS_HANDLE)
        return fail(EXIT_DEVICE_GONE, device + " left the bus");
    nork::CSCSIExec& exec = nork::CPlatformFactory::instance().scsiExecutor();
    nork::CSCSIInquiryCommand inquiry;
    nork::CSCSIReportIdCommand reportId;
    const bool inquiryOk = exec(handle, inquiry);
    const bool reportIdOk = inquiryOk && exec(handle, reportId);
    nork::port::deviceIo().close(handle);
    if (!inquiryOk || !reportIdOk) {
        return reportStatus(EXIT_COMMUNICATION,
                            device + ": the drive failed its identification (" +
                                (inquiryOk ? "REPORT ID" : "INQUIRY") + " not answered)",
                            nork::STATUS_COMMUNICATION_FAILURE, "");
    }
    if (reportId.vendorName().rfind("Qz", 0) == 0) {
        return reportStatus(EXIT_COMMUNICATION,
                            device +
                                ": the drive failed its identification when it arrived and was "
                                "taken for a generic drive; try again",
                            nork::STATUS_COMMUNICATION_FAILURE, "");
    }
    return fail(EXIT_COMMAND_FAILED, device + " (" + (family.empty() ? "not identified" : family) +
                                         ") offers no " + what);
}

DeviceName resolveDevice(const std::string& name) {
    // A full snapshot, as the library's own enumeration takes: a volume that
    // came without a letter gets one.
    for (const auto& unit : nork::port::snapshot().units) {
        if (unit.facts.serial == name || unit.facts.ioPath == name)
            return {unit.facts.serial == name ? unit.facts.ioPath : name, unit.facts.serial};
    }
    return {name, ""};
}

namespace {

// The drive the running command works on, for the watchdog thread.
std::mutex g_watchMutex;
std::string g_watchedSerial;

}  // namespace

DriveWatch::DriveWatch(const std::string& serial) {
    std::lock_guard<std::mutex> lock(g_watchMutex);
    g_watchedSerial = serial;
}

DriveWatch::~DriveWatch() {
    std::lock_guard<std::mutex> lock(g_watchMutex);
    g_watchedSerial.clear();
}

}  // namespace qzctl

namespace {

using namespace qzctl;

// How long a command may run before qzctl gives up, unless --timeout says.
constexpr std::uint64_t DEFAULT_TIMEOUT_SECONDS = 60;
// The longest a wait for a drive sleeps between two looks at it when no
// drive event wakes it.
constexpr std::uint32_t EVENT_WAIT_SLICE_MS = 250;

// Keeps the library initialised for the life of a command.
class SdkSession {
  public:
    explicit SdkSession(const Options& options) {
        std::uint32_t settings = options.hid ? nork::FORCE_HID_USAGE : 0u;
        nork::LogConfig config{options.log ? 0xFFFFFFFFu : 0u, options.log ? logStream() : nullptr};
        m_status = nork::SDK::init(settings, config);
    }
    ~SdkSession() {
        if (m_status == nork::STATUS_OK)
            nork::SDK::fini();
    }
    nork::STATUS status() const { return m_status; }

  private:
    // The library logs until the process ends (its objects log as they go
    // at exit, after fini), so the stream it writes to is never destroyed.
    static nork::CUtf8WideStream* logStream() {
        static auto* stream = new nork::CUtf8WideStream(std::cerr);
        return stream;
    }

    nork::STATUS m_status = nork::STATUS_SDK_INTERNAL_ERROR;
};

int cmdVersion(const Options& options) {
    SdkSession sdk(options);
    if (sdk.status() != nork::STATUS_OK) {
        return fail(EXIT_COMMAND_FAILED,
                    "the library did not start: " + narrow(nork::statusToString(sdk.status())));
    }
    auto& platform = nork::CPlatformFactory::instance();
    const char* letters = "SDOWF";
    std::string privileges;
    for (int i = 0; i < 5; ++i) {
        privileges += letters[i];
        privileges += platform.privilege(i) ? "1" : "0";
        if (i < 4)
            privileges += ' ';
    }
    if (options.json) {
        std::cout << JsonObject()
                         .add("library", NORK_VERSION " Unicode")
                         .add("platformType", std::int64_t{platform.platformType()})
                         .add("rawDeviceAccess", platform.privilege(nork::CPlatformFactory::PRIV_O))
                         .str()
                  << "\n";
    } else {
        std::cout << "library " NORK_VERSION " Unicode\n"
                  << "platform type " << platform.platformType() << "\n"
                  << "privileges " << privileges << "\n";
    }
    return EXIT_OK;
}

int cmdStatus(const Options& options, const std::vector<std::string>& args) {
    if (args.empty())
        return usageError("status needs at least one CODE");
    std::vector<std::string> items;
    for (const auto& a : args) {
        // Status values are signed 32-bit numbers.
        const std::optional<std::int64_t> value = qzcli::parseSigned(a, INT32_MIN, INT32_MAX);
        if (!value)
            return usageError("not a status value: " + a);
        std::string text = narrow(
            nork::statusToString(static_cast<nork::STATUS>(static_cast<std::int32_t>(*value))));
        if (options.json) {
            items.push_back(JsonObject().add("code", *value).add("text", text).str());
        } else {
            std::cout << *value << " " << text << "\n";
        }
    }
    if (options.json)
        std::cout << jsonArray(items) << "\n";
    return EXIT_OK;
}

int cmdDescribe(const Options& options, const std::vector<std::string>& args) {
    if (args.size() != 1)
        return usageError("describe needs exactly one CODE");
    const auto code = qzcli::parseUnsigned(args[0], 0, 0xFFFFFFFFull);
    if (!code)
        return usageError("not a 32-bit error code: " + args[0]);
    auto c = static_cast<std::uint32_t>(*code);
    std::u16string text;
    nork::qz::describeCommand(c, text);
    nork::qz::describeError(c, text);
    if (options.json) {
        std::cout << JsonObject()
                         .add("code", std::int64_t{c})
                         .add("command", narrow(nork::qz::commandName(c >> 16)))
                         .add("error", narrow(nork::qz::errorName(c)))
                         .add("text", narrow(text))
                         .str()
                  << "\n";
    } else {
        std::cout << narrow(text) << "\n";
    }
    return EXIT_OK;
}

int cmdFrame(const Options& options, const std::vector<std::string>& args) {
    if (args.size() < 2)
        return usageError("frame needs a family (qz or zyk) and an OP");
    const bool qz = args[0] == "qz";
    if (!qz && args[0] != "zyk")
        return usageError("family must be qz or zyk: " + args[0]);
    const auto op = qzcli::parseUnsigned(args[1], 0, 0xFFFF);
    if (!op)
        return usageError("not a 16-bit operation code: " + args[1]);
    const std::size_t paramsSize = qz ? nork::proto::QZ_PARAMS_SIZE : nork::proto::ZYK_PARAMS_SIZE;
    if (args.size() - 2 > paramsSize) {
        return usageError("at most " + std::to_string(paramsSize) + " parameter bytes");
    }
    std::vector<std::uint8_t> params(paramsSize, 0);
    for (std::size_t i = 2; i < args.size(); ++i) {
        const auto b = qzcli::parseUnsigned(args[i], 0, 0xFF);
        if (!b)
            return usageError("not a byte: " + args[i]);
        params[i - 2] = static_cast<std::uint8_t>(*b);
    }
    const auto opCode = static_cast<std::uint16_t>(*op);
    std::unique_ptr<nork::CSCSICommand> frame;
    if (qz) {
        frame = std::make_unique<nork::CQzSCSICommand>(0, opCode, nork::SCSI_DIR_NONE, 255, 0);
    } else {
        frame = std::make_unique<nork::CZykSCSICommand>(0, opCode, nork::SCSI_DIR_NONE, 255, 0);
    }
    // The executor always sends the whole parameter area.
    frame->setParams(params.data(), static_cast<std::uint32_t>(params.size()));
    std::string cdb = hexBytes(frame->cdb(), frame->cdbSize());
    std::string name = qz ? narrow(nork::qz::commandName(opCode)) : "Unknown";
    if (options.json) {
        std::cout << JsonObject()
                         .add("family", args[0])
                         .add("op", std::int64_t{opCode})
                         .add("name", name)
                         .add("cdb", cdb)
                         .str()
                  << "\n";
    } else {
        std::cout << name << "\n" << cdb << "\n";
    }
    return EXIT_OK;
}

// The first LUN of the first plugged drive of the emulator, when a daemon
// answers on its socket.
std::optional<std::string> firstEmulatedDevice() {
    namespace emu = nork::port::emu;
    emu::EmuClient client;
    if (client.connect(emu::defaultSocketPath()))
        return std::nullopt;
    std::vector<emu::DriveInfo> drives;
    if (!client.list(drives).ok())
        return std::nullopt;
    for (const auto& d : drives) {
        if (d.plugged && d.lunCount() > 0)
            return emu::makeDevicePath(d.serial, 0);
    }
    return std::nullopt;
}

int cmdInquiry(const Options& options, std::vector<std::string> args) {
    if (args.size() > 1)
        return usageError("inquiry takes at most one DEVICE");
    if (args.empty()) {
        auto device = firstEmulatedDevice();
        if (!device) {
            return fail(EXIT_NO_DEVICE,
                        "no DEVICE given and no plugged drive of the emulator found");
        }
        args.push_back(*device);
    }
    SdkSession sdk(options);
    if (sdk.status() != nork::STATUS_OK) {
        return fail(EXIT_COMMAND_FAILED,
                    "the library did not start: " + narrow(nork::statusToString(sdk.status())));
    }
    nork::port::PortError error;
    const DeviceName name = resolveDevice(args[0]);
    nork::port::OsHandle handle = nork::port::deviceIo().open(std::string_view(name.path), &error);
    if (handle == nork::port::INVALID_OS_HANDLE) {
        return fail(EXIT_NO_DEVICE, "cannot open " + args[0] + ": " +
                                        std::string(nork::port::portErrcName(error.code)));
    }
    nork::CSCSIExec& exec = nork::CPlatformFactory::instance().scsiExecutor();
    nork::CSCSIInquiryCommand inquiry;
    nork::CSCSIReadCapacityCommand capacity;
    nork::CSCSIReportIdCommand reportId;
    const bool inquiryOk = exec(handle, inquiry);
    const bool capacityOk = inquiryOk && exec(handle, capacity);
    // Only drives of the family answer REPORT ID; others refuse it.
    const bool reportIdOk = inquiryOk && exec(handle, reportId);
    nork::port::deviceIo().close(handle);
    if (!inquiryOk) {
        return fail(EXIT_COMMAND_FAILED, args[0] + " did not answer INQUIRY");
    }
    if (options.json) {
        JsonObject o;
        o.add("device", args[0])
            .add("deviceType", std::int64_t{inquiry.deviceType()})
            .add("vendor", inquiry.vendor())
            .add("product", inquiry.product())
            .add("revision", inquiry.revision());
        if (capacityOk) {
            o.add("sectors", std::int64_t{capacity.sectorCount()})
                .add("capacityKB", std::int64_t{capacity.capacityKB()});
        }
        if (reportIdOk) {
            o.add("idVendor", reportId.vendorName())
                .add("idProduct", reportId.productName())
                .add("serial", reportId.serialNumber())
                .add("firmware", reportId.firmwareVersion());
        }
        std::cout << o.str() << "\n";
    } else {
        std::cout << "device    " << args[0] << "\n"
                  << "type      " << static_cast<int>(inquiry.deviceType()) << "\n"
                  << "vendor    " << inquiry.vendor() << "\n"
                  << "product   " << inquiry.product() << "\n"
                  << "revision  " << inquiry.revision() << "\n";
        if (capacityOk) {
            std::cout << "sectors   " << capacity.sectorCount() << " (" << capacity.capacityKB()
                      << " KiB)\n";
        }
        if (reportIdOk) {
            std::cout << "id        " << reportId.vendorName() << " " << reportId.productName()
                      << "\n"
                      << "serial    " << reportId.serialNumber() << "\n"
                      << "firmware  " << reportId.firmwareVersion() << "\n";
        }
    }
    return EXIT_OK;
}

// A drive opened by its device path, identified and entered in the device
// manager as enumeration would; EXIT_OK and the device object, or the exit
// code with the reason printed.
int openDrive(const Options& options, const std::string& device, nork::CUFD& out) {
    // The drive as enumeration would report it: its disk path, found by the
    // path-based identification (flags bit 0).
    nork::CDeviceParams params;
    const std::u16string path = nork::multiToWideString(device, 0);
    if (!params.setPath(nork::CDeviceParams::PATH_DISK, path)) {
        return usageError("device path too long: " + device);
    }
    params.setFlags(nork::CDeviceParams::FLAG_NON_ADMIN_PATH);
    if (options.hid) {
        // Over HID the drive is reached through its HID interface; the
        // emulator names it after the drive's serial number.
        nork::port::emu::EmulatedPath emulated;
        if (nork::port::emu::parseDevicePath(device, emulated)) {
            params.setPath(nork::CDeviceParams::PATH_HID,
                           nork::multiToWideString("qzemu-hid:" + emulated.serial, 0));
            params.setFlags(params.flags() | nork::CDeviceParams::FLAG_HID_PRIVATE_COMMANDS);
        }
        // The HID path of enumeration hands over the USB identity with it:
        // the HID interface itself does not tell the serial number.
        nork::CUsbIdentity identity;
        if (nork::CUsbIdentitySource::instance().identityOfPath(path, identity)) {
            params.setSerialNumber(identity.serial);
            params.setVendorString(identity.vendor);
            params.setProductString(identity.product);
            params.setUsbIds(identity.vendorId, identity.productId);
            params.setComposite(identity.composite);
        }
    }

    // A device that does not open is reported as such, not as unidentified.
    nork::port::PortError error;
    const nork::port::OsHandle probe =
        nork::port::deviceIo().open(std::string_view(device), &error);
    if (probe == nork::port::INVALID_OS_HANDLE) {
        return fail(EXIT_NO_DEVICE, "cannot open " + device + ": " +
                                        std::string(nork::port::portErrcName(error.code)));
    }
    nork::port::deviceIo().close(probe);

    // Identified on an open handle, as enumeration hands it over: the disk,
    // or the HID interface when the process has no raw device access.
    nork::CDeviceHandle handle(&params);
    handle.open();
    const int identified = nork::CVendorIdentifier::instance().identify(handle, params);
    handle.close();
    if (identified != 0 || params.traits() == nullptr) {
        return fail(EXIT_COMMAND_FAILED,
                    device + (identified == 2 ? " is not ready to be identified"
                                              : " is not a drive the library serves"));
    }

    nork::CDeviceManager& manager = nork::CZykSDK::instance().deviceManager();
    manager.deviceConnected(params);
    out = manager.getCUFD(params.serialNumber());
    if (out.impl() == nullptr) {
        return fail(EXIT_COMMAND_FAILED, device + " was not kept by the device manager");
    }
    return EXIT_OK;
}

// Starts the library for a command; false (with the reason printed) when it
// does not start.
bool startSdk(const SdkSession& sdk) {
    if (sdk.status() == nork::STATUS_OK)
        return true;
    fail(EXIT_COMMAND_FAILED,
         "the library did not start: " + narrow(nork::statusToString(sdk.status())));
    return false;
}

}  // namespace

int qzctl::withDrive(const Options& options, const std::string& device, const DriveBody& body) {
    SdkSession sdk(options);
    if (!startSdk(sdk))
        return EXIT_COMMAND_FAILED;
    nork::CUFD ufd;
    const DeviceName name = resolveDevice(device);
    if (int rc = openDrive(options, name.path, ufd); rc != EXIT_OK)
        return rc;
    DriveWatch watch(narrow(ufd.impl()->serialNumber()));
    return body(ufd, device);
}

namespace {

// A command on one DEVICE argument.
int onDrive(const Options& options, const std::vector<std::string>& args, const char* command,
            const DriveBody& body) {
    if (args.size() != 1)
        return usageError(std::string(command) + " needs exactly one DEVICE");
    return withDrive(options, args[0], body);
}

// The drive roots of a device object, "E:\\" each.
std::vector<std::string> rootsOf(const nork::CUFD& ufd) {
    std::vector<std::string> roots;
    std::uint32_t length = 0;
    if (ufd.getPathStrings(nullptr, length) == nork::STATUS_BUFFER_TOO_SMALL) {
        std::vector<char16_t> buffer(length, u'\0');
        if (ufd.getPathStrings(buffer.data(), length) == nork::STATUS_OK) {
            for (const char16_t* p = buffer.data(); *p != u'\0'; p += std::u16string(p).size() + 1)
                roots.push_back(narrow(std::u16string(p)));
        }
    }
    return roots;
}

// "D:\ -> /media/user/LABEL" for a root and its directory; a volume without
// a letter yet shows as "(no letter) -> DIR".
std::string rootAndDirectory(const std::string& root, const std::string& directory) {
    return (root.empty() ? "(no letter)" : root) + " -> " + (directory.empty() ? "-" : directory);
}

// The text as a JSON string, or null when empty.
std::string jsonOrNull(const std::string& text) {
    return text.empty() ? "null" : jsonString(text);
}

int infoOf(const Options& options, nork::CUFD& ufd, const std::string& device) {
    char16_t version[32] = {};
    std::uint32_t versionLength = 32;
    const nork::STATUS versionStatus = ufd.getVersion(version, versionLength);
    if (versionStatus != nork::STATUS_OK) {
        return failed(device + ": firmware version not read", versionStatus, ufd.impl());
    }

    const std::vector<std::string> roots = rootsOf(ufd);

    nork::CUFDImpl& impl = *ufd.impl();
    const std::string family = narrow(impl.traits()->name());
    const std::string serial = narrow(impl.serialNumber());
    const std::string vendor = narrow(impl.vendorString());
    const std::string product = narrow(impl.productString());
    const std::string firmware = narrow(version);
    // Each root beside the directory its volume is mounted on. A drive opened
    // by its path carries no roots of its own: the system's listing of the
    // drive gives them (and directories of volumes without a letter yet).
    struct Volume {
        std::string root, directory;
    };
    std::vector<Volume> volumes;
    for (const auto& r : roots) {
        std::string directory;
        nork::rootDirectory(nork::multiToWideString(r, 0), directory);
        volumes.push_back({r, directory});
    }
    std::vector<nork::SystemDrive> drives;
    if (volumes.empty() && nork::listDrives(drives) == nork::STATUS_OK) {
        for (const nork::SystemDrive& d : drives) {
            for (const nork::SystemDriveUnit& u : d.units) {
                if (d.serial == serial && (!u.root.empty() || !u.directory.empty()))
                    volumes.push_back({narrow(u.root), u.directory});
            }
        }
    }
    if (options.json) {
        std::vector<std::string> rootItems, volumeItems;
        for (const Volume& v : volumes) {
            if (!v.root.empty())
                rootItems.push_back(jsonString(v.root));
            volumeItems.push_back(JsonObject()
                                      .addRaw("root", jsonOrNull(v.root))
                                      .addRaw("directory", jsonOrNull(v.directory))
                                      .str());
        }
        std::cout << JsonObject()
                         .add("device", device)
                         .add("family", family)
                         .add("serial", serial)
                         .add("vendor", vendor)
                         .add("product", product)
                         .add("firmware", firmware)
                         .addRaw("roots", jsonArray(rootItems))
                         .addRaw("volumes", jsonArray(volumeItems))
                         .str()
                  << "\n";
    } else {
        std::string rootText;
        for (const Volume& v : volumes)
            rootText += (rootText.empty() ? "" : ", ") + rootAndDirectory(v.root, v.directory);
        std::cout << "device    " << device << "\n"
                  << "family    " << family << "\n"
                  << "serial    " << serial << "\n"
                  << "vendor    " << vendor << "\n"
                  << "product   " << product << "\n"
                  << "firmware  " << firmware << "\n"
                  << "roots     " << (rootText.empty() ? "none" : rootText) << "\n";
    }
    return EXIT_OK;
}

const char* domainTypeName(int type) {
    switch (type) {
        case 1:
            return "type1";
        case nork::DOMAIN_TYPE_PUBLIC:
            return "public";
        case nork::DOMAIN_TYPE_CD:
            return "cd";
        case 4:
            return "type4";
        default:
            return "unknown";
    }
}

int servicesOf(const Options& options, nork::CUFD& ufd, const std::string& path) {
    auto discovery = std::dynamic_pointer_cast<nork::qz::CServiceDiscoveryImpl>(
        ufd.impl()->getService(nork::qz::SERVICE_ID_DISCOVERY));
    if (!discovery) {
        return fail(EXIT_COMMAND_FAILED, path + " does not discover its services");
    }
    std::vector<nork::qz::DiscoveredService> services;
    const nork::STATUS status = discovery->copyServices(services);
    if (status != nork::STATUS_OK) {
        return failed("service discovery failed", status);
    }
    std::vector<std::string> items;
    if (!options.json)
        std::cout << "ID     VERSION  DESCRIPTOR\n";
    for (const auto& service : services) {
        std::uint8_t head[16] = {};
        std::uint32_t length = 0;
        const bool known = discovery->getServiceDescriptor(service.id, head, sizeof head, length,
                                                           false) == nork::STATUS_OK;
        if (options.json) {
            JsonObject o;
            o.add("id", std::int64_t{service.id}).add("version", std::int64_t{service.version});
            if (known)
                o.add("descriptorLength", std::int64_t{length});
            items.push_back(o.str());
        } else {
            char line[64];
            std::snprintf(line, sizeof line, "0x%04X %7u  %s\n", service.id, service.version,
                          known ? (std::to_string(length) + " bytes").c_str() : "-");
            std::cout << line;
        }
    }
    if (options.json)
        std::cout << jsonArray(items) << "\n";
    return EXIT_OK;
}

}  // namespace

// ---- drive presence ----

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items)
        out += (out.empty() ? "" : " ") + item;
    return out.empty() ? "-" : out;
}

std::vector<std::string> quoted(const std::vector<std::string>& items) {
    std::vector<std::string> out;
    for (const auto& item : items)
        out.push_back(jsonString(item));
    return out;
}

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);
    return text;
}

// The family of the drive behind a device path, as identification names it
// ("-" when it cannot be identified now).
std::string familyOf(const std::string& ioPath) {
    nork::CDeviceParams params;
    params.setPath(nork::CDeviceParams::PATH_DISK, nork::multiToWideString(ioPath, 0));
    params.setFlags(nork::CDeviceParams::FLAG_NON_ADMIN_PATH);
    nork::CDeviceHandle handle(&params);
    handle.open();
    const int identified = nork::CVendorIdentifier::instance().identify(handle, params);
    handle.close();
    return identified == 0 && params.traits() != nullptr ? narrow(params.traits()->name()) : "-";
}

int cmdList(const Options& options, const std::vector<std::string>& args) {
    if (!args.empty())
        return usageError("list takes no arguments");
    SdkSession sdk(options);
    if (!startSdk(sdk))
        return EXIT_COMMAND_FAILED;
    // Read only: the listing gives no volume a drive letter.
    std::vector<nork::SystemDrive> drives;
    const nork::STATUS status = nork::listDrives(drives);
    if (status != nork::STATUS_OK)
        return failed("drives not listed", status);
    std::vector<std::string> items;
    for (const nork::SystemDrive& d : drives) {
        std::string ioPath;
        std::vector<std::string> interfaces, luns, roots, volumesText, volumesJson;
        for (const nork::SystemDriveUnit& u : d.units) {
            if (ioPath.empty())
                ioPath = u.devicePath;
            interfaces.push_back(u.cdrom ? "cdrom" : "disk");
            luns.push_back(std::to_string(u.lun));
            const std::string root = narrow(u.root);
            if (!root.empty())
                roots.push_back(root);
            if (!root.empty() || !u.directory.empty()) {
                volumesText.push_back(rootAndDirectory(root, u.directory));
                volumesJson.push_back(JsonObject()
                                          .add("lun", std::uint32_t{u.lun})
                                          .addRaw("root", jsonOrNull(root))
                                          .addRaw("directory", jsonOrNull(u.directory))
                                          .str());
            }
        }
        if (d.hid)
            interfaces.push_back("hid");
        const std::string family = ioPath.empty() ? "-" : familyOf(ioPath);
        const std::string ids = hex4(d.vendorId) + ":" + hex4(d.productId);
        if (options.json) {
            items.push_back(JsonObject()
                                .add("serial", d.serial)
                                .add("family", family)
                                .add("usb", ids)
                                .addRaw("interfaces", jsonStrings(interfaces))
                                .addRaw("luns", jsonArray(luns))
                                .addRaw("roots", jsonStrings(roots))
                                .addRaw("volumes", jsonArray(volumesJson))
                                .add("device", ioPath)
                                .str());
        } else {
            std::string volumes;
            for (const auto& v : volumesText)
                volumes += (volumes.empty() ? "" : ", ") + v;
            std::cout << d.serial << "  " << family << "  usb " << ids << "  interfaces "
                      << joined(interfaces) << "  luns " << joined(luns) << "  roots "
                      << (volumes.empty() ? "-" : volumes) << "  device "
                      << (ioPath.empty() ? "-" : ioPath) << "\n";
        }
    }
    if (options.json)
        std::cout << jsonArray(items) << "\n";
    else if (drives.empty())
        std::cout << "no drives\n";
    return EXIT_OK;
}

// A window of the message layer that the library's device listener posts to.
class EventWindow {
  public:
    struct Event {
        std::uint32_t message;
        std::uint32_t id;
        std::intptr_t code;
    };

    EventWindow() {
        m_hwnd = nork::port::createWindow(
            u"qzctl",
            [this](nork::port::HWND, std::uint32_t message, std::uintptr_t wParam,
                   std::intptr_t lParam) -> std::intptr_t {
                if (message >= nork::WM_SDK_DEVICE_CONNECTED &&
                    message <= nork::WM_SDK_DEVICE_EVENT_4 &&
                    message != nork::WM_SDK_BROADCAST_REQUEST)
                    m_events.push_back({message, static_cast<std::uint32_t>(wParam), lParam});
                if (message == nork::port::WM_TIMER)
                    m_timedOut = true;
                return 0;
            });
        if (m_hwnd != nork::port::HWND_NONE)
            nork::CWMListeningMgr::instance().addHWNDListener(m_hwnd, nullptr);
    }
    ~EventWindow() {
        nork::CWMListeningMgr::instance().removeHWNDListener(m_hwnd);
        nork::port::destroyWindow(m_hwnd);
    }
    bool ok() const { return m_hwnd != nork::port::HWND_NONE; }
    nork::port::HWND hwnd() const { return m_hwnd; }

    // Dispatches messages for up to `ms`; the events that arrived.
    std::vector<Event> pump(std::uint32_t ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (m_events.empty() && !m_timedOut && std::chrono::steady_clock::now() < end) {
            nork::port::Msg msg;
            while (nork::port::peekMessage(msg, true))
                nork::port::dispatchMessage(msg);
            if (m_events.empty())
                nork::port::waitThreadQueue(std::chrono::milliseconds(20));
        }
        std::vector<Event> out;
        out.swap(m_events);
        return out;
    }
    bool timedOut() const { return m_timedOut; }

  private:
    nork::port::HWND m_hwnd = nork::port::HWND_NONE;
    std::vector<Event> m_events;
    bool m_timedOut = false;
};

// The library started and a window that drive events reach, for the
// commands that follow drives through polling; then `body`.
int withEventWindow(const Options& options, const std::function<int(EventWindow&)>& body) {
    SdkSession sdk(options);
    if (!startSdk(sdk))
        return EXIT_COMMAND_FAILED;
    EventWindow window;
    if (!window.ok()) {
        return fail(EXIT_COMMAND_FAILED, "no window for drive events");
    }
    return body(window);
}

const char* eventName(std::uint32_t message) {
    switch (message) {
        case nork::WM_SDK_DEVICE_CONNECTED:
            return "connected";
        case nork::WM_SDK_DEVICE_DISCONNECTED:
            return "disconnected";
        case nork::WM_SDK_DEVICE_UPDATED:
            return "updated";
        default:
            return "event4";
    }
}

int cmdWatch(const Options& options, const std::vector<std::string>& args) {
    if (!args.empty())
        return usageError("watch takes no arguments");
    return withEventWindow(options, [&](EventWindow& window) {
        if (options.timeoutSeconds)
            nork::port::setTimer(window.hwnd(), 1,
                                 static_cast<std::uint32_t>(*options.timeoutSeconds * 1000));
        // Callers (and tests) start acting once this line is out.
        std::cerr << "qzctl: watching drive events\n";
        std::uint64_t seen = 0;
        while (!window.timedOut() && (!options.count || seen < *options.count)) {
            for (const EventWindow::Event& e : window.pump(1000)) {
                const nork::CUFD ufd = nork::CWMListeningMgr::instance().getCUFD(e.id);
                const std::string serial = ufd.isValid() ? narrow(ufd.impl()->serialNumber()) : "-";
                const std::vector<std::string> roots =
                    ufd.isValid() ? rootsOf(ufd) : std::vector<std::string>{};
                if (options.json) {
                    JsonObject o;
                    o.add("event", eventName(e.message))
                        .add("id", std::int64_t{e.id})
                        .add("serial", serial);
                    if (e.message == nork::WM_SDK_DEVICE_UPDATED)
                        o.add("code", std::int64_t{e.code});
                    o.addRaw("roots", jsonArray(quoted(roots)));
                    std::cout << o.str() << std::endl;
                } else {
                    std::cout << eventName(e.message) << " " << e.id << " " << serial;
                    if (e.message == nork::WM_SDK_DEVICE_UPDATED)
                        std::cout << " code " << e.code;
                    std::cout << " roots " << joined(roots) << std::endl;
                }
                ++seen;
            }
        }
        return EXIT_OK;
    });
}

// What a drive that `polledDrive` waits for still lacks: "" once the library
// connected it and its drive mask holds every letter the system shows for
// its units; otherwise a short description for the log.
std::string missingOfDrive(const nork::CUFD& ufd, const std::string& serial) {
    if (!ufd.isValid())
        return "not connected yet";
    const std::uint32_t mask = ufd.impl()->driveMask();
    std::string letters;
    for (const auto& unit : nork::port::peekSnapshot().units) {
        if (unit.facts.serial != serial || unit.letter < u'A' || unit.letter > u'Z')
            continue;
        if (((mask >> (unit.letter - u'A')) & 1u) == 0)
            letters +=
                std::string(letters.empty() ? "" : " ") + static_cast<char>(unit.letter) + ":";
    }
    return letters.empty() ? "" : "letters " + letters + " not reported yet";
}

// The longest qzctl waits for the library's poller to be listening.
constexpr std::chrono::seconds POLLER_START_LIMIT{5};

// Until the library's poller has subscribed and scanned (bounded): a drive
// on the bus from then on is reported to `window`, whenever it arrived.
void awaitPoller(EventWindow& window) {
    const auto limit = std::chrono::steady_clock::now() + POLLER_START_LIMIT;
    while (!nork::CDevicePoll::instance().listening() && std::chrono::steady_clock::now() < limit)
        window.pump(20);
}

// The drive named by a serial, or by the device path of one of its units,
// as device polling reports it to `window` (the library counts a drive's
// departures and returns only for drives it knows this way): EXIT_OK with
// its device object and serial, or the exit code with the reason printed.
// Returns as soon as the drive is connected with every lettered unit in its
// drive mask, woken by the drive events the window receives.
//
// A drive off the bus once the poller listens is absent ("no drive",
// EXIT_NO_DEVICE, at once). A drive that leaves while it is waited for has
// left ("left the bus", EXIT_DEVICE_GONE, at once) unless a reconnection of
// it is registered with the library: that one is said and waited for until
// the command's watchdog ends it.
int polledDrive(const std::string& name, EventWindow& window, nork::CUFD& ufd,
                std::string& serial) {
    serial = resolveDevice(name).serial;
    if (serial.empty()) {
        // The first look may have come before the poller listened: look
        // again once it does, when nothing that arrives can be missed.
        awaitPoller(window);
        serial = resolveDevice(name).serial;
        if (serial.empty())
            return fail(EXIT_NO_DEVICE, "no drive " + name + " on the bus");
    }
    const std::u16string wide = nork::multiToWideString(serial, 0);
    nork::CDeviceManager& manager = nork::CZykSDK::instance().deviceManager();
    std::string lastMissing;
    bool away = false;
    for (;;) {
        ufd = manager.getCUFD(wide);
        const std::string missing = missingOfDrive(ufd, serial);
        if (missing.empty() && onTheBus(wide))
            break;
        if (!onTheBus(wide)) {
            if (!nork::CTransparentReconnectionsManager::instance().isRegistered(wide))
                return fail(EXIT_DEVICE_GONE, serial + " left the bus");
            if (!away) {
                away = true;
                std::cerr << "qzctl: " << serial << " is reconnecting; waiting for it to come back"
                          << std::endl;
                NORK_LOG(nork::LOG_INFO, "qzctl: %S is reconnecting", serial);
            }
        } else if (away) {
            away = false;
            NORK_LOG(nork::LOG_INFO, "qzctl: %S is back on the bus", serial);
        }
        if (missing != lastMissing) {
            NORK_LOG(nork::LOG_INFO, "qzctl: waiting for %S: %S", serial, missing);
            lastMissing = missing;
        }
        // Wakes at the drive's next event; the slice only bounds how late a
        // letter given without an event of its own is seen.
        window.pump(EVENT_WAIT_SLICE_MS);
    }
    NORK_LOG(nork::LOG_INFO, "qzctl: %S ready, drive mask 0x%08X", serial,
             static_cast<unsigned>(ufd.impl()->driveMask()));
    return EXIT_OK;
}

int cmdReconnect(const Options& options, const std::vector<std::string>& args) {
    if (args.size() != 1)
        return usageError("reconnect needs exactly one DEVICE");
    return withEventWindow(options, [&](EventWindow& window) {
        nork::CUFD ufd;
        std::string serial;
        if (int rc = polledDrive(args[0], window, ufd, serial); rc != EXIT_OK)
            return rc;
        const std::u16string wide = nork::multiToWideString(serial, 0);

        nork::CStatusCallbackSynchronizer done;
        nork::ReconnectArgs reconnectArgs;
        reconnectArgs.handle = std::make_unique<nork::CDeviceHandle>(ufd.impl());
        reconnectArgs.timeoutSeconds = static_cast<int>(options.timeoutSeconds.value_or(60));
        reconnectArgs.commandFlag = true;
        reconnectArgs.disconnectOnFailure = true;
        reconnectArgs.callback = &done;
        auto reconnection = std::make_unique<nork::CQzTransparentReconnectDetachAttach>(
            *ufd.impl(), std::move(reconnectArgs));
        const auto start = std::chrono::steady_clock::now();
        if (!nork::CTransparentReconnectionsManager::instance().Register(std::move(reconnection),
                                                                         wide, false)) {
            return fail(EXIT_COMMAND_FAILED, "a reconnection of " + serial + " is already running");
        }
        // The wait may be long: say what is going on.
        std::cerr << "qzctl: " << serial << " is leaving the bus; waiting up to "
                  << options.timeoutSeconds.value_or(DEFAULT_TIMEOUT_SECONDS)
                  << " s for it to come back" << std::endl;
        const nork::STATUS status = done.wait();
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        if (status != nork::STATUS_OK) {
            return failed(serial + " did not come back", status);
        }
        const std::vector<std::string> roots = rootsOf(ufd);
        if (options.json) {
            std::cout << JsonObject()
                             .add("serial", serial)
                             .add("milliseconds", std::int64_t{ms})
                             .addRaw("roots", jsonArray(quoted(roots)))
                             .str()
                      << "\n";
        } else {
            std::cout << serial << " reconnected in " << ms << " ms, roots " << joined(roots)
                      << "\n";
        }
        return EXIT_OK;
    });
}

// ---- domains and capacity, through the configuration service ----

// The drive's configuration service, the drive known through polling;
// EXIT_OK or the exit code with the reason printed.
int configServiceOf(const std::string& name, EventWindow& window, nork::CUFD& ufd,
                    std::shared_ptr<nork::qz::CConfigServiceImpl>& impl) {
    std::string serial;
    // A drive that leaves (or starts a reconnection) as its services are
    // looked up is waited for again: it is reconnecting, not lacking them.
    for (int attempt = 0;; ++attempt) {
        if (int rc = polledDrive(name, window, ufd, serial); rc != EXIT_OK)
            return rc;
        const nork::qz::CConfigService service(ufd);
        impl = std::dynamic_pointer_cast<nork::qz::CConfigServiceImpl>(service.impl());
        if (impl)
            return EXIT_OK;
        const std::u16string wide = nork::multiToWideString(serial, 0);
        const bool reconnecting =
            !onTheBus(wide) ||
            nork::CTransparentReconnectionsManager::instance().isRegistered(wide);
        if (!reconnecting || attempt >= 3)
            return missingService(ufd.impl(), name, "configuration service");
        NORK_LOG(nork::LOG_INFO, "qzctl: %S left while its services were looked up", serial);
        window.pump(EVENT_WAIT_SLICE_MS);
    }
}

int qzctl::onConfigService(const Options& options, const std::string& device,
                           const ConfigBody& body) {
    return withEventWindow(options, [&](EventWindow& window) {
        nork::CUFD ufd;
        std::shared_ptr<nork::qz::CConfigServiceImpl> impl;
        if (int rc = configServiceOf(device, window, ufd, impl); rc != EXIT_OK)
            return rc;
        DriveWatch watch(narrow(ufd.impl()->serialNumber()));
        return body(ufd, impl);
    });
}

std::string domainJson(const nork::CDomain& domain) {
    JsonObject o;
    o.add("index", std::int64_t{domain.index()})
        .add("type", std::int64_t{domain.type()})
        .add("typeName", domainTypeName(domain.type()))
        .add("lun", std::int64_t{domain.lun()})
        .add("flags", std::int64_t{domain.flags()})
        .add("size", static_cast<std::int64_t>(domain.size()));
    if (!domain.mountPoint().empty())
        o.add("root", narrow(domain.mountPoint()));
    return o.str();
}

void printDomains(const Options& options, const nork::CDomainList& domains) {
    if (options.json) {
        std::vector<std::string> items;
        for (std::size_t i = 0; i < domains.count(); ++i)
            items.push_back(domainJson(domains.at(i)));
        std::cout << jsonArray(items);
        return;
    }
    std::cout << "INDEX  TYPE    LUN  FLAGS   SIZE (bytes)   ROOT\n";
    for (std::size_t i = 0; i < domains.count(); ++i) {
        const nork::CDomain d = domains.at(i);
        char line[160];
        std::snprintf(line, sizeof line, "%5u  %-6s  %3s  0x%04X  %13llu   %s\n", d.index(),
                      domainTypeName(d.type()),
                      d.lun() == nork::DOMAIN_NO_LUN ? "-" : std::to_string(d.lun()).c_str(),
                      d.flags(), static_cast<unsigned long long>(d.size()),
                      d.mountPoint().empty() ? "-" : narrow(d.mountPoint()).c_str());
        std::cout << line;
    }
}

int cmdDomains(const Options& options, const std::vector<std::string>& args) {
    if (args.size() != 1)
        return usageError("domains needs exactly one DEVICE");
    return onConfigService(options, args[0], [&](nork::CUFD& ufd, const auto&) {
        nork::CDomainList domains;
        const nork::STATUS status = nork::qz::CConfigService(ufd).getDomains(domains);
        if (status != nork::STATUS_OK)
            return failed(args[0] + ": domains not read", status, ufd.impl());
        printDomains(options, domains);
        if (options.json)
            std::cout << "\n";
        return EXIT_OK;
    });
}

int cmdCapacity(const Options& options, const std::vector<std::string>& args) {
    if (args.size() != 1)
        return usageError("capacity needs exactly one DEVICE");
    return onConfigService(options, args[0], [&](nork::CUFD& ufd, const auto& impl) {
        std::uint64_t free = 0;
        nork::STATUS status = nork::qz::CConfigService(ufd).getFreeCapacity(free);
        if (status != nork::STATUS_OK)
            return failed(args[0] + ": free capacity not read", status, ufd.impl());
        nork::CDeviceHandle handle(ufd.impl());
        std::uint32_t total = 0;
        std::int32_t most = 0;
        if ((status = impl->getTotalSectors(handle, total)) != nork::STATUS_OK ||
            (status = impl->getMaxDomainsNum(handle, most)) != nork::STATUS_OK)
            return failed(args[0] + ": limits not read", status, ufd.impl());
        if (options.json) {
            std::cout << JsonObject()
                             .add("freeBytes", static_cast<std::int64_t>(free))
                             .add("totalSectors", std::int64_t{total})
                             .add("maxDomains", std::int64_t{most})
                             .str()
                      << "\n";
        } else {
            std::cout << "free           " << free << " bytes\n"
                      << "total sectors  " << total << "\n"
                      << "max domains    " << most << "\n";
        }
        return EXIT_OK;
    });
}

int cmdDomain(const Options& options, const std::vector<std::string>& args) {
    if (args.size() != 2 || args[0] != "add")
        return usageError("domain add needs exactly one DEVICE");
    if (!options.domainType || (*options.domainType != "cd" && *options.domainType != "public"))
        return usageError("domain add needs --type cd or --type public");
    std::uint64_t size = nork::DOMAIN_SIZE_REST;
    if (!options.domainSize)
        return usageError("domain add needs --size BYTES or --size rest");
    if (*options.domainSize != "rest") {
        // Any byte count but the value that means "rest".
        const std::optional<std::uint64_t> bytes =
            qzcli::parseUnsigned(*options.domainSize, 1, nork::DOMAIN_SIZE_REST - 1);
        if (!bytes)
            return usageError("not a size: " + *options.domainSize);
        size = *bytes;
    }
    const std::string& device = args[1];
    return onConfigService(options, device, [&](nork::CUFD& ufd, const auto&) {
        const bool cd = *options.domainType == "cd";
        nork::CDomain domain(cd ? nork::DOMAIN_TYPE_CD : nork::DOMAIN_TYPE_PUBLIC, size, 0);
        // The volumes are not locked first, and a new public domain is left
        // unformatted: `qzctl format` writes its file system when wanted.
        const std::uint32_t noFormat = cd ? 0u : nork::qz::CConfigService::OPTION_NO_FORMAT;
        const nork::qz::CConfigService service(ufd);
        nork::STATUS status =
            service.addDomain(domain, nork::qz::CConfigService::OPTION_NO_LOCK | noFormat, nullptr);
        if (status != nork::STATUS_OK)
            return failed(device + ": domain not added", status, ufd.impl());
        nork::CDomainList domains;
        if ((status = service.getDomains(domains)) != nork::STATUS_OK)
            return failed(device + ": domains not read", status, ufd.impl());
        if (options.json) {
            std::cout << "{\"added\":" << domainJson(domains.at(domains.count() - 1))
                      << ",\"domains\":";
            printDomains(options, domains);
            std::cout << "}\n";
        } else {
            std::cout << "added a " << *options.domainType << " domain; the drive is back with "
                      << domains.count() << " domains\n";
            printDomains(options, domains);
        }
        return EXIT_OK;
    });
}

// ---- the command line ----

namespace {

// The longest --timeout (a day).
constexpr std::uint64_t MAX_TIMEOUT_SECONDS = 86400;
// reconnect: the time to find the drive before its reconnection starts.
constexpr std::uint64_t RECONNECT_MARGIN_SECONDS = 30;

enum class Reach {
    None,       // no drive is spoken to
    Drive,      // the command speaks to drives: the --timeout watchdog runs
    Reconnect,  // --timeout is the reconnection's own wait, the watchdog a margin later
    Watch,      // --timeout is how long to watch
};

using Handler = std::function<int(const Options&, const std::vector<std::string>&)>;

struct Verb {
    std::vector<std::string> path;  // "cookie", "get"
    const char* synopsis;           // after "qzctl "
    const char* text;               // what it does, lines of up to 50 columns
    std::vector<std::string> options;
    std::size_t minArgs;  // words after the path
    std::size_t maxArgs;
    Reach reach;
    Handler run;  // gets the words after the first
};

int deviceCommand(const char* name, const DriveBody& body, const Options& options,
                  const std::vector<std::string>& args) {
    return onDrive(options, args, name, body);
}

const std::vector<Verb>& verbs() {
    static const std::vector<Verb> table = {
        {{"version"},
         "version",
         "library version, platform type and privileges",
         {},
         0,
         0,
         Reach::None,
         [](const Options& o, const auto&) { return cmdVersion(o); }},
        {{"status"},
         "status CODE...",
         "text of library status values (e.g. 300 or -1)",
         {},
         1,
         SIZE_MAX,
         Reach::None,
         cmdStatus},
        {{"describe"},
         "describe CODE",
         "name the command and reason of a device error code\n(e.g. 0x00A40002)",
         {},
         1,
         1,
         Reach::None,
         cmdDescribe},
        {{"frame"},
         "frame qz|zyk OP [BYTE...]",
         "the command block a private command is sent in",
         {},
         2,
         2 + nork::proto::QZ_PARAMS_SIZE,
         Reach::None,
         cmdFrame},
        {{"inquiry"},
         "inquiry [DEVICE] [--timeout SECONDS]",
         "identity and capacity of a drive (INQUIRY, READ\nCAPACITY, REPORT ID), e.g. /dev/sg2 "
         "or\nqzemu:SERIAL/0; without DEVICE, the first plugged\ndrive of the emulator (qzemud) "
         "when one runs",
         {"--timeout"},
         0,
         1,
         Reach::Drive,
         [](const Options& o, const auto& a) { return cmdInquiry(o, a); }},
        {{"info"},
         "info DEVICE [--hid] [--timeout SECONDS]",
         "identify a drive: family (QZ, ZYK or ANY Device),\nserial, vendor, product, firmware "
         "version and\ndrive roots with their directories",
         {"--hid", "--timeout"},
         1,
         1,
         Reach::Drive,
         [](const Options& o, const auto& a) {
             return deviceCommand(
                 "info", [&](nork::CUFD& ufd, const std::string& d) { return infoOf(o, ufd, d); },
                 o, a);
         }},
        {{"domains"},
         "domains DEVICE [--timeout SECONDS]",
         "the drive's domains through its configuration\nservice: index, type, LUN, flags, size "
         "and drive\nroot",
         {"--timeout"},
         1,
         1,
         Reach::Drive,
         cmdDomains},
        {{"capacity"},
         "capacity DEVICE [--timeout SECONDS]",
         "free capacity in bytes, device size in sectors and\nthe most domains the drive holds",
         {"--timeout"},
         1,
         1,
         Reach::Drive,
         cmdCapacity},
        {{"domain", "add"},
         "domain add DEVICE --type cd|public --size BYTES|rest\n           [--timeout SECONDS]",
         "append a domain (a public one is not formatted),\nwait for the drive to come back, "
         "print the new\nlayout",
         {"--type", "--size", "--timeout"},
         1,
         1,
         Reach::Drive,
         cmdDomain},
        {{"format"},
         "format DEVICE DOMAIN [--fat auto|fat|fat32] [--label L]\n           "
         "[--no-partition-table] [--yes] [--timeout SECONDS]",
         "write a new FAT file system to a public domain\n(DOMAIN: its index, as domains "
         "shows it); its\nfiles are lost (asks first). Progress on standard\nerror when "
         "that is a terminal",
         {"--fat", "--label", "--no-partition-table", "--yes", "--timeout"},
         2,
         2,
         Reach::Drive,
         cmdFormat},
        {{"wp"},
         "wp DEVICE DOMAIN on|off|status [--timeout SECONDS]",
         "a public domain's write protection: switch it on\nor off (the drive leaves the bus "
         "and comes\nback), or show it",
         {"--timeout"},
         3,
         3,
         Reach::Drive,
         cmdWp},
        {{"cookie", "get"},
         "cookie get DEVICE SECTION KEY [--kind int|string|binary]\n           [--hid] "
         "[--convert] [--timeout SECONDS]",
         "a cookie's value (binary as hex); without --kind\nevery kind stored under the names, "
         "one per line",
         {"--kind", "--hid", "--convert", "--timeout"},
         3,
         3,
         Reach::Drive,
         cmdCookie},
        {{"cookie", "set"},
         "cookie set DEVICE SECTION KEY VALUE --kind int|string|binary\n           [--hid] "
         "[--timeout SECONDS]",
         "set a cookie (an int is signed 32-bit, a binary\nVALUE hex, e.g. 0a1b2c)",
         {"--kind", "--hid", "--timeout"},
         4,
         4,
         Reach::Drive,
         cmdCookie},
        {{"cookie", "rm"},
         "cookie rm DEVICE SECTION [KEY] [--hid] [--timeout SECONDS]",
         "remove the cookies of the names (every kind), or\nthe whole section",
         {"--hid", "--timeout"},
         2,
         3,
         Reach::Drive,
         cmdCookie},
        {{"cookie", "dump"},
         "cookie dump DEVICE [--file PATH [--binary]] [--hid]\n           [--convert] "
         "[--timeout SECONDS]",
         "every cookie and the free space; with --file the\nstore's own dump file (binary values "
         "raw with\n--binary)",
         {"--file", "--binary", "--hid", "--convert", "--timeout"},
         1,
         1,
         Reach::Drive,
         cmdCookie},
        {{"ha", "pages"},
         "ha pages DEVICE [--hid] [--convert] [--timeout SECONDS]",
         "the hidden area's version, page count and index\nentries",
         {"--hid", "--convert", "--timeout"},
         1,
         1,
         Reach::Drive,
         cmdHa},
        {{"ha", "dump"},
         "ha dump DEVICE [--hid] [--convert] [--timeout SECONDS]",
         "the chunk stream map: every chunk's place, type\n(free, cookie) and size; exit 3 when "
         "the chunks\ndo not reach the end of the stream",
         {"--hid", "--convert", "--timeout"},
         1,
         1,
         Reach::Drive,
         cmdHa},
        {{"services"},
         "services DEVICE [--hid] [--timeout SECONDS]",
         "the services a Qz drive offers: id, version and\ndescriptor length",
         {"--hid", "--timeout"},
         1,
         1,
         Reach::Drive,
         [](const Options& o, const auto& a) {
             return deviceCommand(
                 "services",
                 [&](nork::CUFD& ufd, const std::string& d) { return servicesOf(o, ufd, d); }, o,
                 a);
         }},
        {{"list"},
         "list [--timeout SECONDS]",
         "every drive the system shows: serial, family,\nUSB ids, interfaces, LUNs and drive "
         "roots with\ntheir directories; assigns no drive letters",
         {"--timeout"},
         0,
         0,
         Reach::Drive,
         cmdList},
        {{"watch"},
         "watch [--count N] [--timeout SECONDS]",
         "print drive events as the library reports them to\na window: connected, disconnected, "
         "updated (with\nthe update code); stops after N events or after\nSECONDS (default: "
         "never); with --json one JSON\nobject per line",
         {"--count", "--timeout"},
         0,
         0,
         Reach::Watch,
         cmdWatch},
        {{"pa", "status"},
         "pa status DEVICE DOMAIN [--timeout SECONDS]",
         "a public domain's private area: its size, the\npublic part's, whether logged in, the "
         "hint",
         {"--timeout"},
         2,
         2,
         Reach::Drive,
         cmdPa},
        {{"pa", "create"},
         "pa create DEVICE DOMAIN --size BYTES|all [--hint H]\n           [--format] [--force] "
         "[--password-stdin] [--yes]",
         "make a private area at the domain's end (asks\nthe new password twice; "
         "--password-stdin: two\nequal lines; --format formats both parts and\nasks first; "
         "--force logs out first)",
         {"--size", "--hint", "--format", "--force", "--password-stdin", "--yes", "--timeout"},
         2,
         2,
         Reach::Drive,
         cmdPa},
        {{"pa", "remove"},
         "pa remove DEVICE DOMAIN [--format] [--force] [--yes]",
         "remove the private area (its files are lost;\nasks first)",
         {"--format", "--force", "--yes", "--timeout"},
         2,
         2,
         Reach::Drive,
         cmdPa},
        {{"pa", "login"},
         "pa login DEVICE DOMAIN [--password-stdin]",
         "log in: the domain's unit shows the private\narea until logout",
         {"--password-stdin", "--timeout"},
         2,
         2,
         Reach::Drive,
         cmdPa},
        {{"pa", "logout"},
         "pa logout DEVICE DOMAIN",
         "log out: the unit shows the public part again",
         {"--timeout"},
         2,
         2,
         Reach::Drive,
         cmdPa},
        {{"pa", "passwd"},
         "pa passwd DEVICE DOMAIN [--hint H] [--password-stdin]",
         "change the password (asks the current one,\nthen the new one twice) and store the "
         "hint;\n--password-stdin: three lines, the current\npassword, then the new one twice",
         {"--hint", "--password-stdin", "--timeout"},
         2,
         2,
         Reach::Drive,
         cmdPa},
        {{"pa", "public"},
         "pa public DEVICE DOMAIN [--password-stdin] [--yes]",
         "turn a private area that fills its domain into\nthe domain's public content "
         "(asks first)",
         {"--password-stdin", "--yes", "--timeout"},
         2,
         2,
         Reach::Drive,
         cmdPa},
        {{"pa", "hint"},
         "pa hint DEVICE DOMAIN [TEXT]",
         "show the password hint, or store TEXT (at most\n32 characters)",
         {"--timeout"},
         2,
         3,
         Reach::Drive,
         cmdPa},
        {{"trust", "add"},
         "trust add DEVICE DOMAIN [--password-stdin]",
         "make the drive trust this computer (asks the\npassword); its host id is kept "
         "under\n~/.config/qz/trusted (mode 0600)",
         {"--password-stdin", "--timeout"},
         2,
         2,
         Reach::Drive,
         cmdTrust},
        {{"trust", "login"},
         "trust login DEVICE DOMAIN",
         "log in with this computer's kept host id",
         {"--timeout"},
         2,
         2,
         Reach::Drive,
         cmdTrust},
        {{"volumes"},
         "volumes DEVICE [--lock|--unlock|--dismount]\n           [--timeout SECONDS]",
         "the drive's volumes: LUN, drive root, directory,\nkind (removable, CD-ROM) and state; "
         "--dismount\ntakes them down (until --unlock or the drive's\nreturn), --lock locks and "
         "dismounts them until\nEnter or Ctrl+C, --unlock brings them back",
         {"--lock", "--unlock", "--dismount", "--timeout"},
         1,
         1,
         Reach::Drive,
         cmdVolumes},
        {{"reconnect"},
         "reconnect DEVICE [--timeout SECONDS]",
         "make the drive leave the bus and come back, and\nwait up to SECONDS (default 60) until "
         "it is back\nwith its drive roots",
         {"--timeout"},
         1,
         1,
         Reach::Reconnect,
         cmdReconnect},
    };
    return table;
}

const std::vector<qzcli::OptionDef> kOptions = {
    {"--json", false},
    {"--log", false},
    {"--help", false},
    {"--version", false},
    {"--hid", false},
    {"--binary", false},
    {"--count", true},
    {"--timeout", true},
    {"--type", true},
    {"--size", true},
    {"--kind", true},
    {"--file", true},
    {"--fat", true},
    {"--label", true},
    {"--no-partition-table", false},
    {"--lock", false},
    {"--unlock", false},
    {"--dismount", false},
    {"--password-stdin", false},
    {"--hint", true},
    {"--force", false},
    {"--format", false},
    {"--yes", false},
    {"--convert", false},
};

// Options every verb takes.
const std::vector<std::string> kCommonOptions = {"--json", "--log", "--help", "--version"};

const char* optionText(const std::string& name, Reach reach) {
    if (name == "--timeout") {
        if (reach == Reach::Watch)
            return "stop watching after SECONDS (1..86400)";
        if (reach == Reach::Reconnect)
            return "wait up to SECONDS for the drive to come back\n(1..86400, default 60)";
        return "give up after SECONDS (1..86400, default 60):\nqzctl then ends with exit 5 "
               "and \"timed out\"";
    }
    if (name == "--hid")
        return "send private commands over the drive's HID\ninterface";
    if (name == "--count")
        return "stop after N events (1..4294967295)";
    if (name == "--type")
        return "cd or public";
    if (name == "--size")
        return "a size in bytes: the domain's (or rest), the\nprivate area's (or all)";
    if (name == "--kind")
        return "int, string or binary";
    if (name == "--file")
        return "write the store's dump file to PATH";
    if (name == "--binary")
        return "binary values raw in the dump file";
    if (name == "--fat")
        return "auto (by size, the default), fat (12 or 16 bits)\nor fat32";
    if (name == "--label")
        return "the volume label: at most 11 ASCII characters,\nnone of \"*+,./:;<=>?[\\]|; "
               "lower case is\nwritten in upper case";
    if (name == "--no-partition-table")
        return "the file system from the domain's first sector\non, without a partition table";
    if (name == "--lock")
        return "lock and dismount every volume, hold them until\nEnter or Ctrl+C (no time-out "
               "while held)";
    if (name == "--unlock")
        return "bring dismounted volumes back";
    if (name == "--dismount")
        return "dismount every volume";
    if (name == "--password-stdin")
        return "read passwords from standard input, one a line\n(else from the terminal, not "
               "echoed)";
    if (name == "--hint")
        return "the password hint, at most 32 characters";
    if (name == "--force")
        return "log out of the area first when logged in";
    if (name == "--format")
        return "format the private and the public part";
    if (name == "--convert")
        return "convert a hidden area of version 1 (formats it\nanew); without it a reading "
               "command leaves\nthe area as it is";
    if (name == "--yes")
        return "destroy the files without asking (needed when\nno terminal can be asked)";
    return "";
}

// Lines after the first indented to `column`.
std::string indented(const std::string& text, std::size_t column) {
    std::string out;
    for (char c : text) {
        out.push_back(c);
        if (c == '\n')
            out.append(column, ' ');
    }
    return out;
}

// `text` (whose lines after the first are already indented) followed by
// blanks up to `column`, or by a new line when its last line is too long.
std::string padded(const std::string& text, std::size_t column) {
    const std::size_t last = text.rfind('\n');
    const std::size_t width = last == std::string::npos ? text.size() : text.size() - last - 1;
    return width + 2 <= column ? text + std::string(column - width, ' ')
                               : text + "\n" + std::string(column, ' ');
}

const char* kExitCodes =
    "Exit codes:\n"
    "  0  done\n"
    "  1  usage error (nothing was sent to a drive), or a command that\n"
    "     destroys files not confirmed (nothing was written)\n"
    "  2  no such drive, or its device could not be opened\n"
    "  3  any other failure (a format or lock that failed on the drive,\n"
    "     status 2xx; the drive not identified)\n"
    "  4  the drive left the bus during the command\n"
    "  5  timed out (--timeout)\n"
    "  6  the drive refused a command: its own error code says why\n"
    "  7  the library refused the parameters (status 1xx; a size beyond the\n"
    "     drive's limits, say)\n"
    "  8  the library refused the drive's state (status 3xx; write\n"
    "     protected, a private area in the way, ...)\n"
    "  9  the library refused the data (status 4xx; hidden area full, ...)\n"
    " 10  communication with the drive failed (status 200, and the drive\n"
    "     gave no reason of its own)\n"
    " 11  the drive could not be authenticated (its secure-session proof\n"
    "     did not verify; no secret was sent)\n"
    " 12  the drive's volume is in use by another program (a format or\n"
    "     volumes --lock holds its lock); nothing was written\n"
    "With --json an error is one object: error, exitCode and, where a library\n"
    "status caused it, status {code, text} and the drive's deviceError name.\n";

const char* kTimeoutText =
    "A time-out ends qzctl at once, like a cut cable: a command the drive\n"
    "is running may or may not take effect, and a cookie write that is cut\n"
    "leaves the store as a power cut would (files qzctl writes appear whole\n"
    "or not at all).\n";

std::string globalUsage() {
    std::string out =
        "usage: qzctl [--json] [--log] COMMAND [ARGS...]\n"
        "       qzctl COMMAND --help | --help | --version\n"
        "\n"
        "Commands:\n";
    for (const Verb& v : verbs()) {
        out += padded("  " + indented(v.synopsis, 2), 26);
        out += indented(v.text, 26) + "\n";
    }
    out +=
        "  help [COMMAND]          this text, or a command's\n"
        "\n"
        "Options:\n"
        "  --json                  machine-readable output (one JSON value; an\n"
        "                          error is {\"error\":TEXT,\"exitCode\":N})\n"
        "  --log                   the library's log, every level, on stderr\n"
        "  -h, --help              this text; after a command, the command's\n"
        "  --version               qzctl's version\n"
        "\n"
        "DEVICE is a device path (e.g. qzemu:SERIAL/0) or, where the drive is on\n"
        "the bus, its serial number. The writing cookie commands open the hidden\n"
        "area as applications do: an area of version 1 is formatted first. The\n"
        "reading ones (cookie get and dump, ha) leave it as it is and say so,\n"
        "unless --convert is given. Commands that destroy files ask first on a\n"
        "terminal; elsewhere they need --yes.\n"
        "Numbers are decimal or 0x-prefixed hexadecimal, without sign or blanks\n"
        "unless a command says so; -- ends the options.\n";
    return out + kTimeoutText + kExitCodes;
}

// The help of the verbs under `path` (one verb, or a group like "cookie").
std::string verbUsage(const std::vector<std::string>& path) {
    std::string out;
    std::vector<std::string> options;
    Reach reach = Reach::None;
    for (const Verb& v : verbs()) {
        if (v.path.size() < path.size() || !std::equal(path.begin(), path.end(), v.path.begin()))
            continue;
        out += (out.empty() ? "usage: qzctl " : "       qzctl ") + indented(v.synopsis, 7) + "\n";
        for (const std::string& o : v.options) {
            if (std::find(options.begin(), options.end(), o) == options.end())
                options.push_back(o);
        }
        reach = v.reach;
    }
    if (out.empty())
        return out;
    out += "\n";
    for (const Verb& v : verbs()) {
        if (v.path.size() >= path.size() && std::equal(path.begin(), path.end(), v.path.begin()))
            out += (v.path.size() > 1 ? v.path[0] + " " + v.path[1] + ":\n  " : std::string()) +
                   indented(v.text, v.path.size() > 1 ? 2 : 0) + "\n";
    }
    out += "\nOptions:\n";
    for (const std::string& o : options)
        out += padded("  " + o, 14) + indented(optionText(o, reach), 14) + "\n";
    out +=
        "  --json      machine-readable output\n"
        "  --log       the library's log on stderr\n"
        "  --help      this text\n\n";
    if (reach == Reach::Drive)
        out += kTimeoutText;
    return out + kExitCodes;
}

// The verb the words name, and how many words its path took.
const Verb* findVerb(const std::vector<std::string>& words) {
    for (const Verb& v : verbs()) {
        if (words.size() >= v.path.size() &&
            std::equal(v.path.begin(), v.path.end(), words.begin()))
            return &v;
    }
    return nullptr;
}

bool isVerbGroup(const std::string& word) {
    for (const Verb& v : verbs()) {
        if (v.path.size() > 1 && v.path[0] == word)
            return true;
    }
    return false;
}

// Ends the process when a command runs past its time-out. Nothing qzctl
// does is left worse by this than by a cut cable: the library's writes are
// single device commands or framed store operations built to survive a
// power cut, and the files qzctl writes are renamed into place whole.
class Watchdog {
  public:
    explicit Watchdog(std::uint64_t seconds) : m_thread([this, seconds] { run(seconds); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    void run(std::uint64_t seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        std::unique_lock<std::mutex> lock(m_mutex);
        int absentLooks = 0;
        for (;;) {
            const auto next =
                std::min(deadline, std::chrono::steady_clock::now() + DEPARTURE_LOOK_INTERVAL);
            if (m_wake.wait_until(lock, next, [this] { return m_done; }))
                return;
            if (std::chrono::steady_clock::now() >= deadline)
                break;
            lock.unlock();
            std::string serial;
            const bool gone = watchedDriveGone(serial);
            lock.lock();
            absentLooks = gone ? absentLooks + 1 : 0;
            if (absentLooks >= DEPARTURE_LOOKS) {
                fail(EXIT_DEVICE_GONE, serial + " left the bus during the command");
                std::cout.flush();
                std::_Exit(EXIT_DEVICE_GONE);
            }
        }
        fail(EXIT_TIMEOUT, "timed out after " + std::to_string(seconds) +
                               " s: the command did not finish in time");
        std::cout.flush();
        std::_Exit(EXIT_TIMEOUT);
    }

    // Whether the watched drive is off the bus with no reconnection of it
    // under way (a reconnection's own wait decides how that one ends). The
    // watch's lock is held throughout, so the command cannot end (and the
    // library stop) while the library is asked.
    static bool watchedDriveGone(std::string& serial) {
        std::lock_guard<std::mutex> lock(g_watchMutex);
        serial = g_watchedSerial;
        if (serial.empty() || onTheBus(nork::multiToWideString(serial, 0)))
            return false;
        return !nork::CTransparentReconnectionsManager::instance().isRegistered(
            nork::multiToWideString(serial, 0));
    }

    // A drive away this long without a reconnection has left: long enough
    // for a drive that switches its interfaces to come back.
    static constexpr auto DEPARTURE_LOOK_INTERVAL = std::chrono::milliseconds(250);
    static constexpr int DEPARTURE_LOOKS = 8;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

// The numbers of the options, each checked against its range.
int numberOption(const qzcli::CommandLine& line, const std::string& name, std::uint64_t min,
                 std::uint64_t max, std::optional<std::uint64_t>& out) {
    const std::optional<std::string> text = line.value(name);
    if (!text)
        return EXIT_OK;
    out = qzcli::parseUnsigned(*text, min, max);
    if (!out) {
        return usageError(name + " takes a number from " + std::to_string(min) + " to " +
                          std::to_string(max) + ", not \"" + *text + "\"");
    }
    return EXIT_OK;
}

int run(int argc, char** argv) {
    qzcli::CommandLine line;
    std::string error;
    const std::vector<std::string> argList(argv + 1, argv + argc);
    const bool splitOk = qzcli::splitCommandLine(argList, kOptions, line, error);
    g_json =
        line.has("--json") || std::find(argList.begin(), argList.end(), "--json") != argList.end();
    if (!splitOk)
        return usageError(error);
    std::vector<std::string> words = line.words;
    bool help = line.has("--help");
    if (!words.empty() && words.front() == "help") {
        words.erase(words.begin());
        help = true;
    }
    if (line.has("--version")) {
        if (!words.empty() || line.options.size() > 1)
            return usageError("--version takes nothing else");
        std::cout << qzcli::versionLine("qzctl") << "\n";
        return EXIT_OK;
    }
    if (help) {
        if (words.empty()) {
            std::cout << globalUsage();
            return EXIT_OK;
        }
        const Verb* verb = findVerb(words);
        std::vector<std::string> path;
        if (verb != nullptr)
            path = verb->path;
        else if (isVerbGroup(words.front()))
            path = {words.front()};
        else
            return usageError("unknown command " + words.front());
        std::cout << verbUsage(path);
        return EXIT_OK;
    }
    if (words.empty())
        return usageError("no command given");
    const Verb* verb = findVerb(words);
    if (verb == nullptr) {
        if (isVerbGroup(words.front())) {
            return usageError(words.size() > 1 ? "unknown command " + words[0] + " " + words[1]
                                               : words.front() + " needs a command");
        }
        return usageError("unknown command " + words.front());
    }
    const std::string name = words[0] + (verb->path.size() > 1 ? " " + words[1] : "");
    std::vector<std::string> allowed = kCommonOptions;
    allowed.insert(allowed.end(), verb->options.begin(), verb->options.end());
    if (const auto stray = qzcli::optionNotIn(line, allowed))
        return usageError(name + " does not take " + *stray);
    const std::size_t given = words.size() - verb->path.size();
    if (given < verb->minArgs || given > verb->maxArgs) {
        return usageError(name + (given < verb->minArgs ? ": too few" : ": too many") +
                          " arguments; usage: qzctl " + verb->synopsis);
    }

    Options options;
    options.json = g_json;
    options.log = line.has("--log");
    options.hid = line.has("--hid");
    options.binary = line.has("--binary");
    options.domainType = line.value("--type");
    options.domainSize = line.value("--size");
    options.kind = line.value("--kind");
    options.file = line.value("--file");
    options.fat = line.value("--fat");
    options.label = line.value("--label");
    options.noPartitionTable = line.has("--no-partition-table");
    options.volumeLock = line.has("--lock");
    options.volumeUnlock = line.has("--unlock");
    options.volumeDismount = line.has("--dismount");
    options.passwordStdin = line.has("--password-stdin");
    options.force = line.has("--force");
    options.format = line.has("--format");
    options.hint = line.value("--hint");
    options.yes = line.has("--yes");
    options.convert = line.has("--convert");
    if (options.binary && !options.file)
        return usageError("--binary goes with --file");
    if (int rc = numberOption(line, "--count", 1, UINT32_MAX, options.count))
        return rc;
    if (int rc = numberOption(line, "--timeout", 1, MAX_TIMEOUT_SECONDS, options.timeoutSeconds))
        return rc;

    std::optional<Watchdog> watchdog;
    // A held lock waits for the user, not for a time-out.
    if (verb->reach == Reach::Drive && !options.volumeLock)
        watchdog.emplace(options.timeoutSeconds.value_or(DEFAULT_TIMEOUT_SECONDS));
    else if (verb->reach == Reach::Reconnect)
        watchdog.emplace(options.timeoutSeconds.value_or(DEFAULT_TIMEOUT_SECONDS) +
                         RECONNECT_MARGIN_SECONDS);
    return verb->run(options, std::vector<std::string>(words.begin() + 1, words.end()));
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        return fail(EXIT_COMMAND_FAILED, e.what());
    }
}
