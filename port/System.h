// Small process and system facts the library needs: ids, local time, errno
// texts, the standard-input check, long path names, the debugger channel, and
// the per-user directories.
//
// Every function may be called from any thread. None of them blocks except
// debugOutput (a write to stderr or an append to a file) and the child-process
// helpers (waitChildProcess waits for the child). None of them throws.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "port/PortError.h"

namespace nork::port {

// Id of the calling process.
std::uint32_t currentProcessId() noexcept;

// Kernel id of the calling thread (the number `ps -L` shows), unique among the
// live threads of the system.
std::uint32_t currentThreadId() noexcept;

// Broken-down local time, in the fields the log names and files use.
struct LocalTime {
    int year = 1970;    // four digits
    int month = 1;      // 1-12
    int day = 1;        // 1-31
    int hour = 0;       // 0-23
    int minute = 0;     // 0-59
    int second = 0;     // 0-60
    int dayOfYear = 0;  // 0-365
    int dayOfWeek = 0;  // 0-6, Sunday = 0
};

// Local time (in the process's time zone) of a time_t. Fails with
// InvalidArgument for a value the C library cannot convert; `out` is then
// left unchanged.
PortError localTime(std::time_t t, LocalTime& out) noexcept;

// English text of an errno value (strerror), "Unknown error N" for unknown
// values. Never empty.
std::string errnoText(int err);

// True when the process has a standard-input handle (file descriptor 0 is
// open), as a program started from a console has.
bool hasStdInput() noexcept;

// Absolute, canonical form of an existing path (UTF-8): symbolic links, "."
// and ".." resolved. Fails with NotFound when the path or one of its
// components does not exist, AccessDenied when a component cannot be
// searched, InvalidArgument for an empty path. `out` is set only on success.
PortError longPathName(const std::string& path, std::string& out);

// The debugger channel. Writes the UTF-8 text as given (no line end added):
// to stderr when the environment variable QZ_DEBUG_OUTPUT is "stderr",
// appended to the file it names when it holds any other non-empty value, and
// nowhere otherwise (no debugger attached). Failures are ignored, as the
// channel has nobody to report them to. The environment is read on each call.
void debugOutput(std::string_view utf8Text) noexcept;

// Whether the process may read (and, with `write`, write) the path, as
// access(2) answers: NotFound when it does not exist, AccessDenied when the
// rights are missing; the raw errno travels beside.
PortError accessPath(const std::string& path, bool write);

// Per-user configuration directory: $XDG_CONFIG_HOME, else $HOME/.config,
// else "./.config". No trailing slash; the directory may not exist.
std::string userConfigDir();

// Per-user runtime directory for sockets and lock files: $XDG_RUNTIME_DIR,
// else "/tmp/qz-<uid>". No trailing slash; the directory may not exist.
std::string userRuntimeDir();

// The process's working directory ("" when it cannot be read, for example
// after its directory was removed).
std::string currentDirectory();
// Changes the process's working directory (process-wide: every thread sees
// it).
PortError setCurrentDirectory(const std::string& path);
// Where a process parks its working directory while a volume it lay on is
// locked: "/", which never lies on a removable volume and always exists.
std::string safeDirectory();

// Creates a directory and its missing parents (mode 0777 minus umask).
// Succeeds when it already exists.
PortError createDirectories(const std::string& path);

// Runs `body` in a forked copy of the calling process, for tests and tools
// that need a second process. The child ends with body's return value; with
// `runExitHandlers` it leaves through exit() (atexit handlers and singleton
// destruction run), otherwise through _exit(). Call it only while the process
// has a single thread. `pid` receives the child's id.
PortError startChildProcess(const std::function<int()>& body, bool runExitHandlers,
                            std::int64_t& pid);

// Waits for a child started above. `exitCode` is its exit status, or 128 +
// the signal number when a signal ended it.
PortError waitChildProcess(std::int64_t pid, int& exitCode);

// Whether the process's standard error is a terminal (a person watches it,
// so progress may be drawn there).
bool standardErrorIsTerminal();

// Reads one line from the controlling terminal with echo off (a password),
// after writing `prompt` to it; the newline is not kept. NotSupported when
// the process has no terminal. Echo is back on when it returns.
PortError readSecretLine(const std::string& prompt, std::string& line);

// The same with echo on (an answer to a question).
PortError readTerminalLine(const std::string& prompt, std::string& line);

// Writes `content` to a file only its owner may read or write (mode 0600),
// replacing it whole (written beside, then renamed).
PortError writeOwnerOnlyFile(const std::string& path, const std::string& content);

// The machine's identifier (systemd's /etc/machine-id: 32 hex digits), ""
// when there is none.
std::string machineIdentifier();

}  // namespace nork::port
