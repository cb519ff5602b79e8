// Linux backend of the desktop shell: xdg-open started as a child process.
#include "port/Shell.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

#include "port/ChildProcess.h"

namespace nork::port {
namespace {

// posix_spawn does not search PATH: a bare command name is looked up here.
std::string resolveCommand(const std::string& command) {
    if (command.find('/') != std::string::npos)
        return command;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (dir.empty())
            dir = ".";
        std::string candidate = dir + "/" + command;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return command;
}

}  // namespace

PortError openUrl(const std::string& url) {
    if (url.empty())
        return PortError{PortErrc::InvalidArgument, 0};
    const char* overridden = std::getenv("QZ_OPEN_URL_COMMAND");
    const std::string command =
        overridden && *overridden ? std::string(overridden) : std::string("xdg-open");
    std::int64_t pid = 0;
    // "--" is not passed: xdg-open takes exactly one argument.
    PortError error = spawnProcess(resolveCommand(command), {command, url}, pid);
    if (error)
        return error;
    // The caller does not wait; a thread blocks in waitpid to reap the child
    // so it does not stay a zombie for the life of the program.
    try {
        std::thread([pid] {
            int status = 0;
            while (::waitpid(static_cast<pid_t>(pid), &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the child is left to be reaped at exit; it ran.
    }
    return PortError::ok();
}

}  // namespace nork::port
