// What a process has read and written, as the system counts it, and a way
// to read a child's counts once it has ended: a child stays readable until
// it is reaped, so the caller waits for its end first (waitProcessEnd) and
// reaps it afterwards (waitProcess, port/ChildProcess.h). Used by the
// benchmarks that compare the library's disk writes with other programs'.
#pragma once

#include <chrono>
#include <cstdint>

#include "port/PortError.h"

namespace nork::port {

struct ProcessIoCounters {
    std::uint64_t readChars = 0;     // bytes returned by read calls
    std::uint64_t writtenChars = 0;  // bytes handed to write calls
    std::uint64_t readCalls = 0;
    std::uint64_t writeCalls = 0;
    std::uint64_t readBytes = 0;   // bytes fetched from storage
    std::uint64_t writeBytes = 0;  // bytes bound for storage (page-cache pages dirtied)
};

// The counters of a process; pid 0 is this one. NotFound when no such
// process exists, AccessDenied when it is not ours to inspect.
PortError processIoCounters(std::int64_t pid, ProcessIoCounters& out);

// Waits at most `timeout` for a child (started with spawnProcess) to end,
// leaving it unreaped. Timeout when it is still running; NotFound when it is
// not a child of this process.
PortError waitProcessEnd(std::int64_t pid, std::chrono::milliseconds timeout);

}  // namespace nork::port
