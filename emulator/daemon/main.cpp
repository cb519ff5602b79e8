// qzemud: serves the virtual drives of a state directory over a Unix socket.
#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

#include "daemon/Daemon.h"
#include "port/System.h"
#include "port/emu/EmuDaemonControl.h"
#include "port/emu/EmuPaths.h"

namespace {

namespace emu = nork::port::emu;

const char* const USAGE =
    "usage: qzemud [--foreground] [--socket PATH] [--state-dir DIR]\n"
    "              [--max-clients N] [--client-timeout MS] [--idle-timeout MS]\n"
    "\n"
    "Serves the virtual Qz drives kept in DIR over the Unix socket PATH.\n"
    "\n"
    "  --foreground     stay attached to the terminal (default: run in the\n"
    "                   background once the socket answers)\n"
    "  --socket PATH    socket to listen on (default: $QZ_EMU_SOCKET, else\n"
    "                   $XDG_RUNTIME_DIR/qzemu/qzemud.sock, else\n"
    "                   /tmp/qzemu-<uid>/qzemud.sock)\n"
    "  --state-dir DIR  one sub-directory per drive (default:\n"
    "                   ${XDG_STATE_HOME:-$HOME/.local/state}/qzemu)\n"
    "  --max-clients N  connections served at once (default 256); beyond them\n"
    "                   8 more are served control requests only (ping, list,\n"
    "                   inspect, create, remove, plug, unplug, fault,\n"
    "                   shutdown), and others are told the daemon is busy\n"
    "  --client-timeout MS\n"
    "                   time a client gets to send its first request and to\n"
    "                   finish any message it began (default 10000)\n"
    "  --idle-timeout MS\n"
    "                   time a connection may idle between requests while it\n"
    "                   holds no device handle, subscription, volume lock or\n"
    "                   secure session (default 60000)\n"
    "  --help           this text\n"
    "\n"
    "Exit status: 0 stopped cleanly (SIGTERM, SIGINT or a shutdown request),\n"
    "1 usage error, 2 the socket could not be served, 3 the state directory\n"
    "is unusable or served by another qzemud.\n";

// A whole positive decimal number, at most max.
bool parseCount(const std::string& text, unsigned long max, unsigned long& out) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::stoul(text);
    return out >= 1 && out <= max;
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread: see EmuDaemonControl.h.
    emu::useOneAllocatorArena();
    // A drive's state holds its private key and password digests.
    emu::restrictNewFilesToOwner();
    bool foreground = false;
    std::string socketPath = emu::defaultSocketPath();
    std::string stateDir = emu::defaultStateDir();
    qzemu::DaemonLimits limits;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << USAGE;
            return 0;
        } else if (arg == "--foreground") {
            foreground = true;
        } else if ((arg == "--socket" || arg == "--state-dir") && i + 1 < argc) {
            (arg == "--socket" ? socketPath : stateDir) = argv[++i];
        } else if ((arg == "--max-clients" || arg == "--client-timeout" ||
                    arg == "--idle-timeout") &&
                   i + 1 < argc) {
            const std::string value = argv[++i];
            unsigned long n = 0;
            const bool clients = arg == "--max-clients";
            if (!parseCount(value, clients ? 100000 : 3600000, n)) {
                std::cerr << "qzemud: " << arg << " takes a number from 1 to "
                          << (clients ? "100000" : "3600000") << ", not \"" << value << "\"\n";
                return 1;
            }
            if (clients)
                limits.maxClients = n;
            else if (arg == "--client-timeout")
                limits.clientTimeout = std::chrono::milliseconds(n);
            else
                limits.idleTimeout = std::chrono::milliseconds(n);
        } else {
            std::cerr << "qzemud: unexpected argument \"" << arg << "\"\n" << USAGE;
            return 1;
        }
    }

    if (!foreground) {
        if (nork::port::PortError e = emu::daemonize()) {
            std::cerr << "qzemud: cannot start in the background ("
                      << nork::port::portErrcName(e.code) << ")\n";
            return 2;
        }
    }
    emu::installTerminationHandlers();

    std::error_code ec;
    if (nork::port::createDirectories(stateDir)) {
        std::cerr << "qzemud: cannot create the state directory " << stateDir << "\n";
        return 3;
    }
    // Made by an older version or by hand, it may be open to others.
    std::filesystem::permissions(
        stateDir, std::filesystem::perms::group_all | std::filesystem::perms::others_all,
        std::filesystem::perm_options::remove, ec);
    if (ec)
        std::cerr << "qzemud: cannot make " << stateDir << " its owner's only\n";
    emu::PidLock lock;
    if (nork::port::PortError e = lock.acquire(stateDir + "/qzemud.pid")) {
        if (e.code == nork::port::PortErrc::Busy)
            std::cerr << "qzemud: another qzemud serves " << stateDir << "\n";
        else
            std::cerr << "qzemud: cannot lock " << stateDir << "/qzemud.pid\n";
        return 3;
    }
    const std::string socketDir = std::filesystem::path(socketPath).parent_path().string();
    if (!socketDir.empty())
        nork::port::createDirectories(socketDir);

    qzemu::Daemon daemon(stateDir, std::cerr, limits);
    const std::size_t drives = daemon.loadDrives();
    if (nork::port::PortError e = daemon.listen(socketPath)) {
        std::cerr << "qzemud: cannot listen on " << socketPath << " ("
                  << nork::port::portErrcName(e.code) << ")\n";
        return 2;
    }
    std::cerr << "qzemud: serving " << drives << " drive(s) from " << stateDir << " on "
              << socketPath << std::endl;
    emu::daemonReady();
    daemon.serve([] { return emu::terminationRequested(); });
    daemon.closeDrives();
    std::cerr << "qzemud: stopped" << std::endl;
    return 0;
}
