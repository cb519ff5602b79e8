// What qzctl's command files share: options, exit codes, messages and the
// drive preamble. main.cpp parses the command line and defines these; each
// command file adds its commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Json.h"
#include "Status.h"

namespace nork {
class CDomain;
class CUFD;
class CUFDImpl;
namespace qz {
class CConfigServiceImpl;
class CUtilsImpl;
}  // namespace qz
}  // namespace nork

namespace qzctl {

using qzcli::jsonArray;
using qzcli::JsonObject;
using qzcli::jsonString;
using qzcli::jsonStrings;

// Exit codes by cause (documented in --help and the manual page). 0 to 3
// keep the meanings they always had; the others tell a script why a
// command failed, as sg3_utils tells sense categories apart.
constexpr int EXIT_OK = 0;
constexpr int EXIT_USAGE = 1;               // nothing was sent to a drive
constexpr int EXIT_NO_DEVICE = 2;           // no such drive, or it cannot be opened
constexpr int EXIT_COMMAND_FAILED = 3;      // any other failure
constexpr int EXIT_DEVICE_GONE = 4;         // the drive left the bus during the command
constexpr int EXIT_TIMEOUT = 5;             // --timeout ran out
constexpr int EXIT_DRIVE_REFUSED = 6;       // the drive refused a command (its error code)
constexpr int EXIT_BAD_PARAMETERS = 7;      // the library refused the parameters (STATUS 1xx)
constexpr int EXIT_DEVICE_STATE = 8;        // the library refused the drive's state (3xx)
constexpr int EXIT_DATA = 9;                // the library refused the data (4xx)
constexpr int EXIT_COMMUNICATION = 10;      // no answer from the drive (2xx)
constexpr int EXIT_NOT_AUTHENTICATED = 11;  // the drive's session proof did not verify
constexpr int EXIT_IN_USE = 12;             // another program holds the drive's volume (its lock)

struct Options {
    bool json = false;
    bool log = false;
    bool hid = false;
    bool binary = false;  // cookie dump --binary
    std::optional<std::uint64_t> count;
    std::optional<std::uint64_t> timeoutSeconds;
    std::optional<std::string> domainType;  // domain add --type
    std::optional<std::string> domainSize;  // domain add --size
    std::optional<std::string> kind;        // cookie --kind
    std::optional<std::string> file;        // cookie dump --file
    std::optional<std::string> fat;         // format --fat
    std::optional<std::string> label;       // format --label
    bool noPartitionTable = false;          // format --no-partition-table
    bool volumeLock = false;                // volumes --lock
    bool volumeUnlock = false;              // volumes --unlock
    bool volumeDismount = false;            // volumes --dismount
    bool passwordStdin = false;             // pa, trust --password-stdin
    bool force = false;                     // pa create|remove --force
    bool format = false;                    // pa create|remove --format
    std::optional<std::string> hint;        // pa create|passwd --hint
    bool yes = false;                       // destructive verbs --yes
    bool convert = false;                   // reading cookie and ha verbs --convert
};

std::string narrow(const std::u16string& s);
// "0A 1B ..." for n bytes.
std::string hexBytes(const std::uint8_t* p, std::size_t n);
// Reports an error (stderr; with --json also a JSON object on stdout);
// returns exitCode.
int fail(int exitCode, const std::string& message);
// Reports the message with the hint to --help; EXIT_USAGE.
int usageError(const std::string& message);
// Reports "what: status text" with the exit code of the status's cause;
// with --json the error also carries the status number and text.
int failed(const std::string& what, nork::STATUS status);
// The same for a command sent to `device`: a communication failure for
// which the drive holds an error code of its own is the drive's refusal,
// reported with the drive's reason ("Command: X Error code: Y") and, with
// --json, the device error's name.
int failed(const std::string& what, nork::STATUS status, nork::CUFDImpl* device);
// The exit code of a library status (without asking any drive).
int exitCodeOf(nork::STATUS status);

// Asks before a verb destroys the user's files: `what` names the drive,
// the domain and its mount directory. True with --yes; on a terminal true
// when the user answers yes; otherwise false with the refusal reported
// (EXIT_USAGE: nothing was sent).
bool confirmDestruction(const Options& options, const std::string& what);
// "DEVICE domain N (E:\ mounted on DIR)": a domain as confirmDestruction
// names it (UtilsCommands.cpp).
std::string volumeText(const std::string& device, const nork::CDomain& domain);

// Every verb names its drive the same way: a device path, or the serial
// number of a drive on the bus (its first unit's device path). `serial` is
// empty for a name no drive on the bus answers to.
struct DeviceName {
    std::string path;
    std::string serial;
};
DeviceName resolveDevice(const std::string& name);

// While alive, the command's watchdog ends the command at once ("left the
// bus", EXIT_DEVICE_GONE) when the drive leaves the bus and no
// reconnection of it is under way.
class DriveWatch {
  public:
    explicit DriveWatch(const std::string& serial);
    ~DriveWatch();
    DriveWatch(const DriveWatch&) = delete;
    DriveWatch& operator=(const DriveWatch&) = delete;
};

// A service the verb needs is not there: says why (the drive left, its
// identification or service list failed, with the status and the drive's
// error) and only names a missing capability when the drive truly lacks it.
int missingService(nork::CUFDImpl* device, const std::string& name, const std::string& what);

using DriveBody = std::function<int(nork::CUFD&, const std::string&)>;
// The part every drive command shares: the library started, the drive
// (device path or serial number) opened, identified and entered in the
// device manager; then `body` with its device object and the name given.
int withDrive(const Options& options, const std::string& device, const DriveBody& body);

using ConfigBody =
    std::function<int(nork::CUFD&, const std::shared_ptr<nork::qz::CConfigServiceImpl>&)>;
// The part the configuration commands share: the library started, the drive
// known through polling (so its drive roots are known), its configuration
// service; then `body`.
int onConfigService(const Options& options, const std::string& device, const ConfigBody& body);

using DomainBody =
    std::function<int(nork::qz::CUtilsImpl&, nork::CDomain&, const std::string& device)>;
// The drive known through polling, its domain at the index DOMAIN names and
// its utilities service; then `body` (UtilsCommands.cpp).
int onDomain(const Options& options, const std::string& device, const std::string& domainArg,
             const DomainBody& body);

// format, wp (UtilsCommands.cpp).
int cmdFormat(const Options& options, const std::vector<std::string>& args);
int cmdWp(const Options& options, const std::vector<std::string>& args);

// cookie get|set|rm|dump, ha pages|dump (CookieCommands.cpp).
int cmdCookie(const Options& options, const std::vector<std::string>& args);
int cmdHa(const Options& options, const std::vector<std::string>& args);
// pa status|create|remove|login|logout|passwd|public|hint, trust add|login
// (PrivateAreaCommands.cpp).
int cmdPa(const Options& options, const std::vector<std::string>& args);
int cmdTrust(const Options& options, const std::vector<std::string>& args);
// volumes DEVICE [--lock|--unlock|--dismount] (VolumeCommands.cpp).
int cmdVolumes(const Options& options, const std::vector<std::string>& args);

}  // namespace qzctl
