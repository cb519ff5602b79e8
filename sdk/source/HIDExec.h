// The HID command transport: a private command carried in 63-byte reports
// (command block, data reports, status report) to the drive's HID interface.
//
// CHIDExec's call operator runs the exchange under the drive's named HID
// mutex (CHIDHandleMgr), so commands to one drive never interleave across
// threads and processes; any protocol failure resets the drive's HID
// interface (HidReset.h) before the command is answered false. No exception
// leaves it.
//
// CHIDExecWin is the executor over the port's HID device (port/HidDevice.h).
// A reader task collects input reports on its own thread: armed by
// writeReport for the reports a command expects, it reads in 500 ms waits,
// hands reports over through a queue of at most 100 entries (a full queue
// blocks the reader) and gives up after three idle waits in a row, leaving
// an empty entry so the waiting readReport fails at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Singleton.h"
#include "port/ScsiPassThrough.h"

namespace nork {

class CDeviceHandle;
class CHIDCommand;

class CHIDExec {
  public:
    static constexpr std::int32_t WAIT_FOREVER = -1;

    virtual ~CHIDExec() = default;
    // Sets the reserved byte 15 of the command block.
    virtual void prepare(CHIDCommand& command) = 0;
    // Writes one 63-byte report on the drive's HID handle; when input
    // reports are expected, the reader is armed for them first.
    virtual bool writeReport(CDeviceHandle& handle, const std::uint8_t* report,
                             CHIDCommand& command, std::uint32_t expectedInputReports) = 0;
    // The next input report, waiting at most timeoutMs (WAIT_FOREVER: no limit).
    virtual bool readReport(port::OsHandle handle, std::uint8_t* buffer, std::uint32_t size,
                            std::int32_t timeoutMs) = 0;

    // Runs one command on the drive's HID handle.
    bool operator()(CDeviceHandle& handle, CHIDCommand& command);

  protected:
    // Resets the drive's HID interface (the HID reset of HidReset.h on the
    // handle's drive). Tests override it to observe resets.
    virtual void reset(CDeviceHandle& handle);

  private:
    bool run(CDeviceHandle& handle, CHIDCommand& command);
};

// The reader task of one HID handle.
class CHIDExecWinTask {
  public:
    static constexpr std::size_t QUEUE_CAPACITY = 100;
    static constexpr int IDLE_WAIT_MS = 500;
    static constexpr int IDLE_LIMIT = 3;
    static constexpr std::uint32_t INPUT_BUFFERS = 128;
    static constexpr int BUFFER_QUERY_ATTEMPTS = 3;

    explicit CHIDExecWinTask(port::OsHandle handle);
    ~CHIDExecWinTask();
    CHIDExecWinTask(const CHIDExecWinTask&) = delete;
    CHIDExecWinTask& operator=(const CHIDExecWinTask&) = delete;

    // Starts a read job for `expected` reports. A job still running is
    // stopped first and reports left from it are dropped.
    void arm(std::uint32_t expected);
    // The next entry; null when none came within timeoutMs (negative: no
    // limit). An empty entry means the job gave up.
    std::shared_ptr<std::vector<std::uint8_t>> get(std::int32_t timeoutMs);

    port::OsHandle handle() const { return m_handle; }
    bool busy() const;
    // For tests: the last job ended by idling.
    bool lastJobIdled() const;

  private:
    void loop();
    void job(std::uint32_t expected);
    // Queues one entry, waiting while the queue is full; false when stopped.
    bool put(std::shared_ptr<std::vector<std::uint8_t>> entry);
    void stopJobLocked(std::unique_lock<std::mutex>& lock);

    const port::OsHandle m_handle;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::shared_ptr<std::vector<std::uint8_t>>> m_queue;
    std::uint32_t m_pending = 0;  // expected reports of an armed job not started yet
    bool m_armed = false;
    bool m_running = false;
    bool m_cancel = false;
    bool m_stopping = false;
    bool m_lastIdled = false;
    std::thread m_thread;
};

class CHIDExecWin : public CHIDExec {
  public:
    CHIDExecWin() = default;
    ~CHIDExecWin() override;

    static CHIDExecWin& instance() { return TSingleton<CHIDExecWin>::instance(); }

    void prepare(CHIDCommand& command) override;
    bool writeReport(CDeviceHandle& handle, const std::uint8_t* report, CHIDCommand& command,
                     std::uint32_t expectedInputReports) override;
    bool readReport(port::OsHandle handle, std::uint8_t* buffer, std::uint32_t size,
                    std::int32_t timeoutMs) override;

    // The task reading a handle (created on first use); for tests.
    CHIDExecWinTask& task(port::OsHandle handle);

  private:
    std::mutex m_tasksMutex;
    std::map<port::OsHandle, std::unique_ptr<CHIDExecWinTask>> m_tasks;
};

}  // namespace nork
