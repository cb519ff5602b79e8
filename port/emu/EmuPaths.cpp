// Linux implementation of the emulator's paths.
#include "port/emu/EmuPaths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace nork::port::emu {
namespace {

std::string envOrEmpty(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
}

}  // namespace

std::string defaultSocketPath() {
    std::string env = envOrEmpty("QZ_EMU_SOCKET");
    if (!env.empty())
        return env;
    std::string runtime = envOrEmpty("XDG_RUNTIME_DIR");
    if (!runtime.empty() && runtime[0] == '/')
        return runtime + "/qzemu/qzemud.sock";
    return "/tmp/qzemu-" + std::to_string(::getuid()) + "/qzemud.sock";
}

std::string defaultStateDir() {
    std::string state = envOrEmpty("XDG_STATE_HOME");
    if (!state.empty() && state[0] == '/')
        return state + "/qzemu";
    std::string home = envOrEmpty("HOME");
    if (!home.empty())
        return home + "/.local/state/qzemu";
    return "./.local/state/qzemu";
}

bool pathExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace nork::port::emu
