// qzemu: creates, plugs, unplugs, faults and inspects the virtual drives of a
// running qzemud, and starts or stops the daemon.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CommandLine.h"
#include "Json.h"
#include "Numbers.h"
#include "port/ChildProcess.h"
#include "port/emu/EmuClient.h"
#include "port/emu/EmuPaths.h"
#include "qz/DriveProtocol.h"

namespace {

namespace emu = nork::port::emu;
namespace proto = nork::proto;
using namespace std::chrono_literals;

// Exit codes (documented in docs/emulator.md and in the help text).
enum Exit {
    EXIT_OK = 0,
    EXIT_USAGE = 1,
    EXIT_UNREACHABLE = 2,
    EXIT_REFUSED = 3,
    EXIT_COMMAND_FAILED = 4,
    EXIT_START_FAILED = 5,
};

const char* const GLOBAL_HELP =
    "usage: qzemu [--socket PATH] [--json] VERB [ARGS]\n"
    "\n"
    "Controls the virtual Qz drives served by qzemud.\n"
    "\n"
    "Verbs:\n"
    "  create         make a new drive\n"
    "  list           list the drives\n"
    "  plug           plug a drive in\n"
    "  unplug         unplug a drive\n"
    "  fault          set or clear a fault\n"
    "  inspect        show identity, domains, bus state and faults\n"
    "  usb-mode       show or set the USB configuration (composite or disk)\n"
    "  read-sectors   hex dump of sectors of a LUN\n"
    "  write-sectors  write sectors of a LUN\n"
    "  remove         delete a drive and its state\n"
    "  daemon         start, stop or query the daemon\n"
    "\n"
    "Options (anywhere on the line):\n"
    "  --socket PATH  daemon socket (default: $QZ_EMU_SOCKET, else\n"
    "                 $XDG_RUNTIME_DIR/qzemu/qzemud.sock, else /tmp/qzemu-<uid>/qzemud.sock)\n"
    "  --json         machine-readable output on standard output\n"
    "  --help         help (of a verb: qzemu VERB --help)\n"
    "  --version      qzemu's version\n"
    "\n"
    "Exit status: 0 done, 1 usage error, 2 daemon unreachable, 3 request\n"
    "refused by the daemon, 4 the drive failed the command, 5 the daemon\n"
    "did not start.\n";

const std::map<std::string, std::string> VERB_HELP = {
    {"create",
     "usage: qzemu create [--serial S] [--capacity SIZE] [--layout L] [--firmware F]\n"
     "                    [--mode qz|disk|zyk] [--vid ID] [--pid ID] [--vendor V]\n"
     "                    [--product P] [--revision R] [--reattach-delay MS]\n"
     "                    [--ready-delay MS] [--services LIST] [--hidden-pages N]\n"
     "                    [--unplugged] [--composite]\n"
     "Makes a drive and plugs it in (unless --unplugged); with --composite it\n"
     "shows its HID interface beside the disk. SIZE is in 512-byte\n"
     "sectors, or bytes with a K, M or G suffix (binary units). The layout\n"
     "lists domains, e.g. \"cd:32M:locked,public:rest\". Unset values take the\n"
     "drive model's defaults; without --serial the daemon chooses one.\n"
     "LIST names the services the drive offers as id:version pairs, e.g.\n"
     "\"3:1,4:1,8:3\" (default: 3:1,4:1,6:1,8:2,10:1,12:1,14:1,19:2,20:1).\n"
     "N is the number of 512-byte hidden-area pages, 2..65534 (default 250).\n"
     "Prints the new drive's serial number.\n"},
    {"list", "usage: qzemu list\nLists every drive: serial, mode, bus state, LUNs, layout.\n"},
    {"plug", "usage: qzemu plug SERIAL\nPlugs the drive in.\n"},
    {"unplug", "usage: qzemu unplug SERIAL\nUnplugs the drive.\n"},
    {"remove", "usage: qzemu remove SERIAL\nDeletes the drive and its state directory.\n"},
    {"fault",
     "usage: qzemu fault SERIAL KIND [ARGS]\n"
     "Kinds:\n"
     "  fail-next COUNT [CODE]   the next COUNT commands fail; CODE (0x hex allowed)\n"
     "                           goes to the device error register\n"
     "  drop                     the next command unplugs the drive\n"
     "  never-reattach on|off    a drive leaving by itself does not come back\n"
     "  reattach-delay MS|off    time away after leaving by itself\n"
     "  command-delay MS         added to every command\n"
     "  tear-write NTH KEEP [--drop]\n"
     "                           the NTH write from now keeps KEEP sectors and fails;\n"
     "                           with --drop the drive also leaves the bus\n"
     "  tear-page NTH KEEP|lost  the NTH hidden page write from now writes only its\n"
     "                           first KEEP bytes (0..512), or nothing with lost,\n"
     "                           and fails\n"
     "  hid-silent on|off        the HID interface takes reports and answers nothing\n"
     "  hid-wrong-echo on|off    HID status reports echo another operation code\n"
     "  wrong-session-proof on|off\n"
     "                           the drive's secure-session proof does not verify\n"
     "  clear                    every fault off\n"},
    {"usb-mode",
     "usage: qzemu usb-mode SERIAL [composite|disk]\n"
     "Prints the drive's USB configuration, after setting it when given:\n"
     "composite (disk plus HID interface) or disk (disk only). Set here it takes\n"
     "effect at once; a host switches a drive with the string-descriptor reads.\n"},
    {"inspect",
     "usage: qzemu inspect SERIAL\nShows identity, domains, bus state, delays and faults.\n"},
    {"read-sectors",
     "usage: qzemu read-sectors SERIAL LUN LBA [COUNT]\n"
     "Hex dump of COUNT (default 1, at most 128) sectors of the LUN from LBA,\n"
     "read with READ(10) as a host would.\n"},
    {"write-sectors",
     "usage: qzemu write-sectors SERIAL LUN LBA (--fill BYTE [--count N] | --file PATH)\n"
     "Writes N sectors (default 1) filled with BYTE, or the content of a file\n"
     "(padded with zeros to whole sectors), with WRITE(10).\n"},
    {"daemon",
     "usage: qzemu daemon start [--state-dir DIR] [--qzemud PATH]\n"
     "       qzemu daemon stop\n"
     "       qzemu daemon status\n"
     "start runs qzemud in the background on the socket and waits until it\n"
     "answers (qzemud is looked up beside qzemu unless given); stop asks it to\n"
     "end and waits until it is gone; status answers 0 when it runs, 2 when not.\n"},
};

// ---- Output ----

using qzcli::jsonString;

// A JSON object written field by field.
class JsonObject {
  public:
    JsonObject& str(const std::string& key, const std::string& value) {
        return raw(key, jsonString(value));
    }
    JsonObject& num(const std::string& key, std::uint64_t value) {
        return raw(key, std::to_string(value));
    }
    JsonObject& boolean(const std::string& key, bool value) {
        return raw(key, value ? "true" : "false");
    }
    JsonObject& raw(const std::string& key, const std::string& json) {
        m_text += (m_text.empty() ? "" : ",") + jsonString(key) + ":" + json;
        return *this;
    }
    std::string text() const { return "{" + m_text + "}"; }

  private:
    std::string m_text;
};

std::string hex(std::uint32_t v, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*x", width, v);
    return buf;
}

std::string infoJson(const emu::DriveInfo& d) {
    std::string domains = "[";
    for (std::size_t i = 0; i < d.domains.size(); ++i) {
        const emu::Domain& x = d.domains[i];
        JsonObject o;
        o.num("type", x.type).num("flags", x.flags).num("first_sector", x.firstSector);
        o.num("sectors", x.sizeSectors);
        o.raw("lun", x.lun == 255 ? "null" : std::to_string(x.lun));
        domains += (i ? "," : "") + o.text();
    }
    domains += "]";
    const emu::Faults& f = d.faults;
    JsonObject faults;
    faults.num("fail_next", f.failNext)
        .raw("fail_code", f.hasFailCode ? std::to_string(f.failCode) : "null")
        .boolean("drop_on_next_command", f.dropOnNextCommand)
        .boolean("never_reattach", f.neverReattach)
        .raw("reattach_delay_ms", f.hasReattachDelay ? std::to_string(f.reattachDelayMs) : "null")
        .num("command_delay_ms", f.commandDelayMs)
        .num("tear_write_in", f.tearWriteIn)
        .num("tear_keep_sectors", f.tearKeepSectors)
        .boolean("tear_then_drop", f.tearThenDrop)
        .num("tear_page_in", f.tearPageIn)
        .num("tear_page_keep_bytes", f.tearPageKeepBytes)
        .boolean("tear_page_lost", f.tearPageLost);
    JsonObject o;
    o.str("serial", d.serial)
        .str("mode", d.mode)
        .str("vendor", d.vendor)
        .str("product", d.product)
        .str("revision", d.revision)
        .str("firmware", d.firmware)
        .str("report_vendor", d.reportVendor)
        .str("report_product", d.reportProduct)
        .num("usb_vid", d.usbVendorId)
        .num("usb_pid", d.usbProductId)
        .num("flash_sectors", d.flashSectors)
        .num("free_sectors", d.freeSectors)
        .str("layout", d.layout)
        .str("services", d.services)
        .num("hidden_pages", d.hiddenPages)
        .raw("domains", domains)
        .num("lun_count", d.lunCount())
        .str("bus", emu::busName(d.bus))
        .boolean("plugged", d.plugged)
        .num("error_register", d.errorRegister)
        .num("reattach_delay_ms", d.reattachDelayMs)
        .num("ready_delay_ms", d.readyDelayMs)
        .num("command_count", d.commandCount)
        .raw("faults", faults.text())
        .str("state_dir", d.stateDir);
    return o.text();
}

void printInfo(const emu::DriveInfo& d) {
    std::cout << "serial         " << d.serial << "\n"
              << "mode           " << d.mode << "\n"
              << "inquiry        " << d.vendor << " / " << d.product << " / " << d.revision << "\n"
              << "report id      " << d.reportVendor << " / " << d.reportProduct << "\n"
              << "firmware       " << d.firmware << "\n"
              << "usb id         " << hex(d.usbVendorId, 4) << ":" << hex(d.usbProductId, 4) << "\n"
              << "flash          " << d.flashSectors << " sectors (" << d.freeSectors << " free)\n"
              << "layout         " << d.layout << "\n"
              << "services       " << d.services << "\n"
              << "hidden area    " << d.hiddenPages << " pages\n"
              << "bus            " << emu::busName(d.bus) << (d.plugged ? " (plugged)" : "") << "\n"
              << "error register " << hex(d.errorRegister, 8) << "\n"
              << "delays         reattach " << d.reattachDelayMs << " ms, ready " << d.readyDelayMs
              << " ms\n"
              << "commands       " << d.commandCount << "\n"
              << "state          " << d.stateDir << "\n"
              << "domains:\n";
    for (std::size_t i = 0; i < d.domains.size(); ++i) {
        const emu::Domain& x = d.domains[i];
        std::cout << "  " << i << ": type " << unsigned(x.type) << " flags " << hex(x.flags, 4)
                  << " sectors " << x.firstSector << "+" << x.sizeSectors << " lun "
                  << (x.lun == 255 ? std::string("-") : std::to_string(x.lun)) << "\n";
    }
    const emu::Faults& f = d.faults;
    std::cout << "faults:\n";
    bool any = false;
    if (f.failNext) {
        std::cout << "  fail-next " << f.failNext
                  << (f.hasFailCode ? " code " + hex(f.failCode, 8) : std::string()) << "\n";
        any = true;
    }
    if (f.dropOnNextCommand) {
        std::cout << "  drop\n";
        any = true;
    }
    if (f.neverReattach) {
        std::cout << "  never-reattach\n";
        any = true;
    }
    if (f.hasReattachDelay) {
        std::cout << "  reattach-delay " << f.reattachDelayMs << " ms\n";
        any = true;
    }
    if (f.commandDelayMs) {
        std::cout << "  command-delay " << f.commandDelayMs << " ms\n";
        any = true;
    }
    if (f.tearWriteIn) {
        std::cout << "  tear-write " << f.tearWriteIn << " keep " << f.tearKeepSectors
                  << (f.tearThenDrop ? " then drop" : "") << "\n";
        any = true;
    }
    if (f.tearPageIn) {
        std::cout << "  tear-page " << f.tearPageIn
                  << (f.tearPageLost ? std::string(" lost")
                                     : " keep " + std::to_string(f.tearPageKeepBytes) + " bytes")
                  << "\n";
        any = true;
    }
    if (!any)
        std::cout << "  none\n";
}

// ---- Parsing ----

struct UsageError {
    std::string text;
};

// A number of the command line (decimal or 0x-hexadecimal, see
// tools/common/Numbers.h) up to `max`.
std::uint64_t parseNumber(const std::string& text, const std::string& what,
                          std::uint64_t max = 0xFFFFFFFFull) {
    const std::optional<std::uint64_t> v = qzcli::parseUnsigned(text, 0, max);
    if (!v)
        throw UsageError{"bad " + what + " \"" + text + "\" (0.." + std::to_string(max) + ")"};
    return *v;
}

// Sectors, or bytes with a binary K/M/G suffix.
std::uint32_t parseCapacity(const std::string& text) {
    if (text.empty())
        throw UsageError{"bad capacity \"\""};
    const char last = static_cast<char>(std::toupper(static_cast<unsigned char>(text.back())));
    std::uint64_t unit = 0;
    if (last == 'K')
        unit = 1024;
    else if (last == 'M')
        unit = 1024 * 1024;
    else if (last == 'G')
        unit = 1024ull * 1024 * 1024;
    if (unit == 0)
        return static_cast<std::uint32_t>(parseNumber(text, "capacity"));
    const std::uint64_t bytes = parseNumber(text.substr(0, text.size() - 1), "capacity") * unit;
    const std::uint64_t sectors = bytes / proto::SECTOR_SIZE;
    if (sectors == 0 || sectors > 0xFFFFFFFFull || bytes % proto::SECTOR_SIZE != 0)
        throw UsageError{"bad capacity \"" + text + "\""};
    return static_cast<std::uint32_t>(sectors);
}

// Positional arguments and --name value options of one verb.
struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    std::vector<std::string> flags;

    bool has(const std::string& flag) const {
        return std::find(flags.begin(), flags.end(), flag) != flags.end();
    }
    std::optional<std::string> opt(const std::string& name) const {
        auto it = options.find(name);
        if (it == options.end())
            return std::nullopt;
        return it->second;
    }
};

Args parseArgs(const std::vector<std::string>& in, const std::vector<std::string>& valueOptions,
               const std::vector<std::string>& flagOptions) {
    Args out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const std::string& a = in[i];
        if (a.rfind("--", 0) == 0) {
            if (std::find(valueOptions.begin(), valueOptions.end(), a) != valueOptions.end()) {
                if (i + 1 >= in.size())
                    throw UsageError{a + " needs a value"};
                out.options[a] = in[++i];
            } else if (std::find(flagOptions.begin(), flagOptions.end(), a) != flagOptions.end()) {
                out.flags.push_back(a);
            } else {
                throw UsageError{"unknown option " + a};
            }
        } else if (a.size() > 1 && a[0] == '-' && (a[1] < '0' || a[1] > '9')) {
            throw UsageError{"unknown option " + a};
        } else {
            out.positional.push_back(a);
        }
    }
    return out;
}

void needPositional(const Args& a, std::size_t min, std::size_t max) {
    if (a.positional.size() < min)
        throw UsageError{"missing arguments"};
    if (a.positional.size() > max)
        throw UsageError{"too many arguments"};
}

// ---- Verbs ----

struct Context {
    std::string socketPath;
    bool json = false;
    emu::EmuClient client;
};

int failed(const Context& ctx, const emu::EmuStatus& s) {
    const int exitCode = s.io ? EXIT_UNREACHABLE : EXIT_REFUSED;
    if (ctx.json) {
        JsonObject o;
        o.str("error", s.text());
        o.num("exitCode", static_cast<std::uint64_t>(exitCode));
        if (s.refused)
            o.num("code", static_cast<std::uint16_t>(s.error.code));
        std::cout << o.text() << "\n";
    }
    std::cerr << "qzemu: " << s.text() << "\n";
    return exitCode;
}

int connect(Context& ctx) {
    if (nork::port::PortError e = ctx.client.connect(ctx.socketPath)) {
        emu::EmuStatus s;
        s.io = e;
        return qzcli::reportError("qzemu", ctx.json, EXIT_UNREACHABLE,
                                  "no daemon answers on " + ctx.socketPath + " (" + s.text() + ")");
    }
    return EXIT_OK;
}

int done(const Context& ctx, const std::string& text) {
    if (ctx.json)
        std::cout << JsonObject().boolean("ok", true).text() << "\n";
    else if (!text.empty())
        std::cout << text << "\n";
    return EXIT_OK;
}

int verbCreate(Context& ctx, const std::vector<std::string>& in) {
    Args a = parseArgs(in,
                       {"--serial", "--capacity", "--layout", "--firmware", "--mode", "--vid",
                        "--pid", "--vendor", "--product", "--revision", "--reattach-delay",
                        "--ready-delay", "--services", "--hidden-pages"},
                       {"--unplugged", "--composite"});
    needPositional(a, 0, 0);
    emu::DriveConfig c;
    c.serial = a.opt("--serial").value_or("");
    c.layout = a.opt("--layout").value_or("");
    c.services = a.opt("--services").value_or("");
    c.firmware = a.opt("--firmware").value_or("");
    c.mode = a.opt("--mode").value_or("");
    c.vendor = a.opt("--vendor").value_or("");
    c.product = a.opt("--product").value_or("");
    c.revision = a.opt("--revision").value_or("");
    if (auto v = a.opt("--capacity"))
        c.flashSectors = parseCapacity(*v);
    if (auto v = a.opt("--vid"))
        c.usbVendorId = static_cast<std::uint16_t>(parseNumber(*v, "USB vendor id", 0xFFFF));
    if (auto v = a.opt("--pid"))
        c.usbProductId = static_cast<std::uint16_t>(parseNumber(*v, "USB product id", 0xFFFF));
    if (auto v = a.opt("--reattach-delay"))
        c.reattachDelayMs = static_cast<std::uint32_t>(parseNumber(*v, "delay", 0xFFFFFFFE));
    if (auto v = a.opt("--ready-delay"))
        c.readyDelayMs = static_cast<std::uint32_t>(parseNumber(*v, "delay", 0xFFFFFFFE));
    if (auto v = a.opt("--hidden-pages")) {
        c.hiddenPages = static_cast<std::uint16_t>(parseNumber(*v, "page count", 65534));
        if (c.hiddenPages < 2)
            throw UsageError{"the hidden area has 2..65534 pages"};
    }
    c.attached = !a.has("--unplugged");
    if (!c.mode.empty() && c.mode != "qz" && c.mode != "disk" && c.mode != "zyk")
        throw UsageError{"bad mode \"" + c.mode + "\" (qz, disk or zyk)"};

    if (int rc = connect(ctx))
        return rc;
    emu::DriveInfo info;
    emu::EmuStatus s = ctx.client.create(c, info);
    if (!s.ok())
        return failed(ctx, s);
    if (a.has("--composite")) {
        emu::UsbMode now{};
        s = ctx.client.usbMode(info.serial, emu::UsbMode::Composite, now);
        if (!s.ok())
            return failed(ctx, s);
    }
    if (ctx.json)
        std::cout << infoJson(info) << "\n";
    else
        std::cout << info.serial << "\n";
    return EXIT_OK;
}

int verbList(Context& ctx, const std::vector<std::string>& in) {
    needPositional(parseArgs(in, {}, {}), 0, 0);
    if (int rc = connect(ctx))
        return rc;
    std::vector<emu::DriveInfo> drives;
    emu::EmuStatus s = ctx.client.list(drives);
    if (!s.ok())
        return failed(ctx, s);
    if (ctx.json) {
        std::string out = "[";
        for (std::size_t i = 0; i < drives.size(); ++i)
            out += (i ? "," : "") + infoJson(drives[i]);
        std::cout << out << "]\n";
        return EXIT_OK;
    }
    std::printf("%-16s  %-4s  %-9s  %4s  %s\n", "SERIAL", "MODE", "BUS", "LUNS", "LAYOUT");
    for (const emu::DriveInfo& d : drives) {
        std::printf("%-16s  %-4s  %-9s  %4u  %s\n", d.serial.c_str(), d.mode.c_str(),
                    emu::busName(d.bus), unsigned(d.lunCount()), d.layout.c_str());
    }
    return EXIT_OK;
}

int verbSimple(Context& ctx, const std::string& verb, const std::vector<std::string>& in) {
    Args a = parseArgs(in, {}, {});
    needPositional(a, 1, 1);
    const std::string& serial = a.positional[0];
    if (int rc = connect(ctx))
        return rc;
    if (verb == "inspect") {
        emu::DriveInfo info;
        emu::EmuStatus s = ctx.client.inspect(serial, info);
        if (!s.ok())
            return failed(ctx, s);
        if (ctx.json)
            std::cout << infoJson(info) << "\n";
        else
            printInfo(info);
        return EXIT_OK;
    }
    emu::EmuStatus s = verb == "plug"     ? ctx.client.plug(serial)
                       : verb == "unplug" ? ctx.client.unplug(serial)
                                          : ctx.client.remove(serial);
    return s.ok() ? done(ctx, "") : failed(ctx, s);
}

int verbFault(Context& ctx, const std::vector<std::string>& in) {
    Args a = parseArgs(in, {}, {"--drop"});
    needPositional(a, 2, 4);
    emu::FaultRequest r;
    r.serial = a.positional[0];
    const std::string& kind = a.positional[1];
    const std::vector<std::string> rest(a.positional.begin() + 2, a.positional.end());
    auto expect = [&](std::size_t min, std::size_t max) {
        if (rest.size() < min || rest.size() > max)
            throw UsageError{"wrong arguments for fault " + kind};
    };
    if (a.has("--drop") && kind != "tear-write")
        throw UsageError{"--drop belongs to tear-write"};
    if (kind == "clear") {
        expect(0, 0);
        r.kind = emu::FaultKind::Clear;
    } else if (kind == "fail-next") {
        expect(1, 2);
        r.kind = emu::FaultKind::FailNext;
        r.count = static_cast<std::uint32_t>(parseNumber(rest[0], "count"));
        if (rest.size() == 2) {
            r.flag = true;
            r.value = static_cast<std::uint32_t>(parseNumber(rest[1], "error code"));
        }
    } else if (kind == "drop") {
        expect(0, 0);
        r.kind = emu::FaultKind::Drop;
    } else if (kind == "never-reattach") {
        expect(1, 1);
        if (rest[0] != "on" && rest[0] != "off")
            throw UsageError{"never-reattach takes on or off"};
        r.kind = emu::FaultKind::NeverReattach;
        r.flag = rest[0] == "on";
    } else if (kind == "reattach-delay") {
        expect(1, 1);
        r.kind = emu::FaultKind::ReattachDelay;
        r.flag = rest[0] != "off";
        if (r.flag)
            r.value = static_cast<std::uint32_t>(parseNumber(rest[0], "delay"));
    } else if (kind == "command-delay") {
        expect(1, 1);
        r.kind = emu::FaultKind::CommandDelay;
        r.value = static_cast<std::uint32_t>(parseNumber(rest[0], "delay"));
    } else if (kind == "tear-write") {
        expect(2, 2);
        r.kind = emu::FaultKind::TearWrite;
        r.count = static_cast<std::uint32_t>(parseNumber(rest[0], "write number"));
        r.value = static_cast<std::uint32_t>(parseNumber(rest[1], "sector count"));
        r.flag = a.has("--drop");
    } else if (kind == "tear-page") {
        expect(2, 2);
        r.kind = emu::FaultKind::TearPage;
        r.count = static_cast<std::uint32_t>(parseNumber(rest[0], "page write number"));
        r.flag = rest[1] == "lost";
        if (!r.flag)
            r.value = static_cast<std::uint32_t>(parseNumber(rest[1], "byte count", 512));
    } else if (kind == "hid-silent" || kind == "hid-wrong-echo" || kind == "wrong-session-proof") {
        expect(1, 1);
        if (rest[0] != "on" && rest[0] != "off")
            throw UsageError{kind + " takes on or off"};
        r.kind = kind == "hid-silent"       ? emu::FaultKind::HidSilent
                 : kind == "hid-wrong-echo" ? emu::FaultKind::HidWrongEcho
                                            : emu::FaultKind::WrongSessionProof;
        r.flag = rest[0] == "on";
    } else {
        throw UsageError{"unknown fault kind \"" + kind + "\""};
    }
    if (int rc = connect(ctx))
        return rc;
    emu::EmuStatus s = ctx.client.fault(r);
    return s.ok() ? done(ctx, "") : failed(ctx, s);
}

int verbUsbMode(Context& ctx, const std::vector<std::string>& in) {
    Args a = parseArgs(in, {}, {});
    needPositional(a, 1, 2);
    emu::UsbMode set = emu::UsbMode::Query;
    if (a.positional.size() == 2) {
        if (a.positional[1] == "composite")
            set = emu::UsbMode::Composite;
        else if (a.positional[1] == "disk")
            set = emu::UsbMode::DiskOnly;
        else
            throw UsageError{"usb-mode takes composite or disk"};
    }
    if (int rc = connect(ctx))
        return rc;
    emu::UsbMode now{};
    emu::EmuStatus s = ctx.client.usbMode(a.positional[0], set, now);
    if (!s.ok())
        return failed(ctx, s);
    const char* name = now == emu::UsbMode::Composite ? "composite" : "disk";
    if (ctx.json)
        std::cout << JsonObject().str("usbMode", name).text() << "\n";
    else
        std::cout << name << "\n";
    return EXIT_OK;
}

// Runs one READ(10) or WRITE(10); prints the failure and gives its exit code.
int rwCommand(Context& ctx, emu::ScsiCommand& c, emu::ScsiAnswer& answer) {
    emu::EmuStatus s = ctx.client.scsi(c, answer);
    if (!s.ok())
        return failed(ctx, s);
    std::string problem;
    if (answer.noDevice) {
        problem = "the drive is off the bus";
    } else if (answer.status != proto::SCSI_STATUS_GOOD) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "CHECK CONDITION, sense key 0x%x, ASC 0x%02x",
                      answer.sense[proto::SENSE_KEY_OFFSET] & 0x0F,
                      answer.sense[proto::SENSE_ASC_OFFSET]);
        problem = buf;
    }
    if (problem.empty())
        return EXIT_OK;
    return qzcli::reportError("qzemu", ctx.json, EXIT_COMMAND_FAILED, problem);
}

std::vector<std::uint8_t> rwCdb(std::uint8_t op, std::uint32_t lba, std::uint16_t count) {
    std::vector<std::uint8_t> cdb(10, 0);
    cdb[0] = op;
    proto::putBE32(&cdb[2], lba);
    proto::putBE16(&cdb[7], count);
    return cdb;
}

int verbReadSectors(Context& ctx, const std::vector<std::string>& in) {
    Args a = parseArgs(in, {}, {});
    needPositional(a, 3, 4);
    emu::ScsiCommand c;
    c.serial = a.positional[0];
    c.lun = static_cast<std::uint8_t>(parseNumber(a.positional[1], "LUN", 254));
    const auto lba = static_cast<std::uint32_t>(parseNumber(a.positional[2], "LBA"));
    const auto count = static_cast<std::uint16_t>(
        a.positional.size() > 3 ? parseNumber(a.positional[3], "count", 128) : 1);
    if (count == 0)
        throw UsageError{"count of 0"};
    c.dir = emu::DataDir::In;
    c.transferLength = count * proto::SECTOR_SIZE;
    c.timeoutMs = 10000;
    c.cdb = rwCdb(proto::SCSI_READ10, lba, count);
    if (int rc = connect(ctx))
        return rc;
    emu::ScsiAnswer answer;
    if (int rc = rwCommand(ctx, c, answer))
        return rc;
    const auto& d = answer.dataIn;
    if (ctx.json) {
        std::string hexText;
        for (std::uint8_t b : d) {
            char buf[3];
            std::snprintf(buf, sizeof buf, "%02x", b);
            hexText += buf;
        }
        std::cout << JsonObject().num("lba", lba).num("count", count).str("hex", hexText).text()
                  << "\n";
        return EXIT_OK;
    }
    for (std::size_t off = 0; off < d.size(); off += 16) {
        std::printf("%08zx ", static_cast<std::size_t>(lba) * proto::SECTOR_SIZE + off);
        std::string ascii;
        for (std::size_t i = off; i < off + 16 && i < d.size(); ++i) {
            std::printf(" %02x", d[i]);
            ascii += (d[i] >= 0x20 && d[i] < 0x7F) ? static_cast<char>(d[i]) : '.';
        }
        std::printf("  |%s|\n", ascii.c_str());
    }
    return EXIT_OK;
}

int verbWriteSectors(Context& ctx, const std::vector<std::string>& in) {
    Args a = parseArgs(in, {"--fill", "--count", "--file"}, {});
    needPositional(a, 3, 3);
    emu::ScsiCommand c;
    c.serial = a.positional[0];
    c.lun = static_cast<std::uint8_t>(parseNumber(a.positional[1], "LUN", 254));
    const auto lba = static_cast<std::uint32_t>(parseNumber(a.positional[2], "LBA"));
    if (a.opt("--fill").has_value() == a.opt("--file").has_value())
        throw UsageError{"give either --fill or --file"};
    if (auto fill = a.opt("--fill")) {
        const auto byte = static_cast<std::uint8_t>(parseNumber(*fill, "fill byte", 0xFF));
        const auto count = a.opt("--count") ? parseNumber(*a.opt("--count"), "count", 128) : 1;
        if (count == 0)
            throw UsageError{"count of 0"};
        c.dataOut.assign(count * proto::SECTOR_SIZE, byte);
    } else {
        if (a.opt("--count"))
            throw UsageError{"--count goes with --fill"};
        std::ifstream file(*a.opt("--file"), std::ios::binary);
        if (!file)
            throw UsageError{"cannot read " + *a.opt("--file")};
        c.dataOut.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        if (c.dataOut.empty() || c.dataOut.size() > 128 * proto::SECTOR_SIZE)
            throw UsageError{"the file must hold 1 byte to 64 KiB"};
        c.dataOut.resize((c.dataOut.size() + proto::SECTOR_SIZE - 1) / proto::SECTOR_SIZE *
                         proto::SECTOR_SIZE);
    }
    const auto count = static_cast<std::uint16_t>(c.dataOut.size() / proto::SECTOR_SIZE);
    c.dir = emu::DataDir::Out;
    c.timeoutMs = 10000;
    c.cdb = rwCdb(proto::SCSI_WRITE10, lba, count);
    if (int rc = connect(ctx))
        return rc;
    emu::ScsiAnswer answer;
    if (int rc = rwCommand(ctx, c, answer))
        return rc;
    return done(ctx, "wrote " + std::to_string(count) + " sector(s)");
}

bool daemonAnswers(const std::string& socketPath) {
    emu::EmuClient probe;
    return !probe.connect(socketPath, 500ms) && probe.ping().ok();
}

int verbDaemon(Context& ctx, const std::vector<std::string>& in) {
    Args a = parseArgs(in, {"--state-dir", "--qzemud"}, {});
    needPositional(a, 1, 1);
    const std::string& action = a.positional[0];
    if (action == "status") {
        const bool running = daemonAnswers(ctx.socketPath);
        if (ctx.json) {
            std::cout
                << JsonObject().boolean("running", running).str("socket", ctx.socketPath).text()
                << "\n";
        } else {
            std::cout << (running ? "running on " : "not running on ") << ctx.socketPath << "\n";
        }
        return running ? EXIT_OK : EXIT_UNREACHABLE;
    }
    if (action == "stop") {
        if (int rc = connect(ctx))
            return rc;
        emu::EmuStatus s = ctx.client.shutdown();
        if (!s.ok())
            return failed(ctx, s);
        ctx.client.close();
        for (int i = 0; i < 200 && daemonAnswers(ctx.socketPath); ++i)
            std::this_thread::sleep_for(50ms);
        return done(ctx, "stopped");
    }
    if (action != "start")
        throw UsageError{"daemon takes start, stop or status"};

    if (daemonAnswers(ctx.socketPath))
        return done(ctx, "already running on " + ctx.socketPath);
    std::string program = a.opt("--qzemud").value_or("");
    if (program.empty()) {
        program = (std::filesystem::path(nork::port::selfExecutablePath()).parent_path() / "qzemud")
                      .string();
    }
    std::vector<std::string> args = {program, "--socket", ctx.socketPath};
    if (auto dir = a.opt("--state-dir")) {
        args.push_back("--state-dir");
        args.push_back(*dir);
    }
    std::int64_t pid = 0;
    int exitCode = -1;
    // qzemud returns once its background copy listens (or failed to).
    if (nork::port::spawnProcess(program, args, pid) ||
        nork::port::waitProcess(pid, std::chrono::milliseconds(20000), exitCode) || exitCode != 0 ||
        !daemonAnswers(ctx.socketPath)) {
        return qzcli::reportError("qzemu", ctx.json, EXIT_START_FAILED,
                                  "qzemud did not start (" + program + ")");
    }
    return done(ctx, "started on " + ctx.socketPath);
}

}  // namespace

int main(int argc, char** argv) {
    Context ctx;
    ctx.socketPath = emu::defaultSocketPath();
    std::string verb;
    std::vector<std::string> rest;
    bool help = false;
    bool version = false;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--json") {
                ctx.json = true;
            } else if (arg == "--help" || arg == "-h") {
                help = true;
            } else if (arg == "--version") {
                version = true;
            } else if (arg == "--socket") {
                if (i + 1 >= argc)
                    throw UsageError{"--socket needs a value"};
                ctx.socketPath = argv[++i];
            } else if (verb.empty() && arg.rfind("-", 0) != 0) {
                verb = arg;
            } else {
                rest.push_back(arg);
            }
        }
        if (version) {
            if (!verb.empty() || !rest.empty() || help)
                throw UsageError{"--version takes nothing else"};
            std::cout << qzcli::versionLine("qzemu") << "\n";
            return EXIT_OK;
        }
        if (verb == "help") {
            verb = rest.empty() ? "" : rest[0];
            help = true;
        }
        if (help || verb.empty()) {
            auto it = VERB_HELP.find(verb);
            std::cout << (it != VERB_HELP.end() ? it->second : GLOBAL_HELP);
            if (verb.empty() || it != VERB_HELP.end())
                return help ? EXIT_OK : EXIT_USAGE;
            throw UsageError{"unknown verb \"" + verb + "\""};
        }
        if (verb == "create")
            return verbCreate(ctx, rest);
        if (verb == "list")
            return verbList(ctx, rest);
        if (verb == "plug" || verb == "unplug" || verb == "remove" || verb == "inspect")
            return verbSimple(ctx, verb, rest);
        if (verb == "fault")
            return verbFault(ctx, rest);
        if (verb == "usb-mode")
            return verbUsbMode(ctx, rest);
        if (verb == "read-sectors")
            return verbReadSectors(ctx, rest);
        if (verb == "write-sectors")
            return verbWriteSectors(ctx, rest);
        if (verb == "daemon")
            return verbDaemon(ctx, rest);
        throw UsageError{"unknown verb \"" + verb + "\""};
    } catch (const UsageError& e) {
        return qzcli::reportError("qzemu", ctx.json, EXIT_USAGE, e.text + " (qzemu --help)");
    }
}
