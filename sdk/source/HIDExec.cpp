#include "HIDExec.h"

#include <algorithm>
#include <cstring>

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "HIDCommand.h"
#include "HIDHandleMgr.h"
#include "HidReset.h"
#include "Log.h"
#include "PlatformFactory.h"
#include "PrivateCommand.h"
#include "port/HidDevice.h"
#include "port/NamedMutex.h"
#include "qz/DriveProtocol.h"

namespace nork {

namespace hid = proto::hid;

namespace {

// Platform type on which the handle's buffers are flushed after each job.
constexpr int PLATFORM_FLUSHING_HID_BUFFERS = 9;

// Holds a named mutex for a scope; a missing mutex leaves the scope
// unprotected (its creation failure was logged).
class CNamedMutexGuard {
  public:
    explicit CNamedMutexGuard(port::NamedMutex* mutex) : m_mutex(mutex) {
        if (m_mutex != nullptr && m_mutex->lock()) {
            NORK_LOG(LOG_ERROR, "CHIDExec::operator() - locking the hid mutex failed");
            m_mutex = nullptr;
        }
    }
    ~CNamedMutexGuard() {
        if (m_mutex != nullptr)
            m_mutex->unlock();
    }
    CNamedMutexGuard(const CNamedMutexGuard&) = delete;
    CNamedMutexGuard& operator=(const CNamedMutexGuard&) = delete;

  private:
    port::NamedMutex* m_mutex;
};

}  // namespace

// ---------------------------------------------------------------- CHIDExec

bool CHIDExec::operator()(CDeviceHandle& handle, CHIDCommand& command) {
    try {
        const CDeviceParams* params = handle.params();
        port::NamedMutex* mutex = CHIDHandleMgr::instance().getHidMutex(
            params != nullptr ? params->serialNumber() : nullptr);
        CNamedMutexGuard guard(mutex);
        return run(handle, command);
    } catch (...) {
        NORK_LOG(LOG_ERROR, "CHIDExec::operator() - internal error");
        return false;
    }
}

bool CHIDExec::run(CDeviceHandle& handle, CHIDCommand& command) {
    CPrivateCommand& pc = command.command();
    const std::uint32_t dataReports = command.dataReports();
    prepare(command);

    std::uint8_t report[hid::REPORT_SIZE] = {};
    report[0] = hid::REPORT_ID;
    std::memcpy(report + 1, command.block(), hid::BLOCK_SIZE);

    const std::uint32_t expected =
        (pc.deviceResets() ? 0u : 1u) + (command.dataIn() ? dataReports : 0u);
    if (!writeReport(handle, report, command, expected)) {
        NORK_LOG(LOG_ERROR, "CHIDExec::operator() - write hid command failed goto reset");
        reset(handle);
        return false;
    }

    const std::uint32_t payload = command.payloadSize();
    if (command.dataOut()) {
        const std::uint8_t* data = pc.dataBuffer();
        const std::uint32_t size = command.dataSize();
        for (std::uint32_t i = 0; i < dataReports; ++i) {
            std::memset(report, 0, sizeof report);
            report[0] = hid::REPORT_ID;
            const std::uint32_t offset = i * payload;
            const std::uint32_t n = std::min(payload, size - offset);
            if (data != nullptr)
                std::memcpy(report + 1, data + offset, n);
            if (!writeReport(handle, report, command, 0) && !pc.deviceResets()) {
                NORK_LOG(LOG_ERROR, "CHIDExec::operator() -  write hid data failed goto reset");
                reset(handle);
                return false;
            }
        }
    }

    if (command.dataIn()) {
        std::uint8_t* data = pc.dataBuffer();
        const std::uint32_t size = std::min(command.dataSize(), pc.dataCapacity());
        for (std::uint32_t i = 0; i < dataReports; ++i) {
            if (!readReport(handle.handle(), report, hid::REPORT_SIZE, WAIT_FOREVER)) {
                NORK_LOG(LOG_ERROR, "CHIDExec::operator() - read hid data failed goto reset");
                reset(handle);
                return false;
            }
            const std::uint32_t offset = i * payload;
            if (data != nullptr && offset < size)
                std::memcpy(data + offset, report + 1, std::min(payload, size - offset));
        }
    }

    if (pc.deviceResets())
        return true;
    if (pc.noStatusPhase())
        return true;

    const std::int32_t timeout =
        pc.timeout() == 0 ? WAIT_FOREVER : static_cast<std::int32_t>(pc.timeout());
    std::memset(report, 0, sizeof report);
    if (!readReport(handle.handle(), report, hid::REPORT_SIZE, timeout)) {
        NORK_LOG(LOG_ERROR, "CHIDExec::operator() - read hid status failed goto reset");
        reset(handle);
        return false;
    }
    const std::uint16_t echoed = proto::getLE16(report + hid::STATUS_OPCODE);
    if (echoed == command.opCode())
        return proto::getLE16(report + hid::STATUS_WORD) == 0;

    NORK_LOG(LOG_ERROR,
             "CHIDExec::operator() - error on the hid protocol, status private command with word "
             "conv %d without word conv %d,  zyk opcode %d",
             static_cast<int>(echoed), static_cast<int>(echoed),
             static_cast<int>(command.opCode()));
    reset(handle);
    return false;
}

void CHIDExec::reset(CDeviceHandle& handle) {
    const CDeviceParams* params = handle.params();
    if (params == nullptr)
        return;
    qzHidReset(params->serialNumber(), hidResetPathOf(*params));
}

// ---------------------------------------------------------------- reader task

CHIDExecWinTask::CHIDExecWinTask(port::OsHandle handle) : m_handle(handle) {
    m_thread = std::thread([this] { loop(); });
}

CHIDExecWinTask::~CHIDExecWinTask() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_cancel = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

bool CHIDExecWinTask::busy() const {
    std::lock_guard lock(m_mutex);
    return m_armed || m_running;
}

bool CHIDExecWinTask::lastJobIdled() const {
    std::lock_guard lock(m_mutex);
    return m_lastIdled;
}

void CHIDExecWinTask::stopJobLocked(std::unique_lock<std::mutex>& lock) {
    m_armed = false;
    if (m_running) {
        m_cancel = true;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return !m_running; });
    }
    m_cancel = false;
    m_queue.clear();
}

void CHIDExecWinTask::arm(std::uint32_t expected) {
    std::unique_lock lock(m_mutex);
    // Reports left from a command that failed half-way must not reach this one.
    stopJobLocked(lock);
    m_pending = expected;
    m_armed = true;
    m_changed.notify_all();
}

std::shared_ptr<std::vector<std::uint8_t>> CHIDExecWinTask::get(std::int32_t timeoutMs) {
    std::unique_lock lock(m_mutex);
    auto ready = [&] { return !m_queue.empty() || m_stopping; };
    if (timeoutMs < 0) {
        m_changed.wait(lock, ready);
    } else if (!m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
        return nullptr;
    }
    if (m_queue.empty())
        return nullptr;
    auto entry = std::move(m_queue.front());
    m_queue.pop_front();
    m_changed.notify_all();  // room for a blocked reader
    return entry;
}

bool CHIDExecWinTask::put(std::shared_ptr<std::vector<std::uint8_t>> entry) {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_queue.size() < QUEUE_CAPACITY || m_cancel; });
    if (m_cancel)
        return false;
    m_queue.push_back(std::move(entry));
    m_changed.notify_all();
    return true;
}

void CHIDExecWinTask::loop() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] { return m_armed || m_stopping; });
        if (m_stopping)
            return;
        const std::uint32_t expected = m_pending;
        m_armed = false;
        m_running = true;
        lock.unlock();
        try {
            job(expected);
        } catch (...) {
            NORK_LOG(LOG_ERROR, "CHIDExecWinTask::operator read error");
        }
        lock.lock();
        m_running = false;
        m_changed.notify_all();
    }
}

void CHIDExecWinTask::job(std::uint32_t expected) {
    // The Windows class driver keeps a ring of input buffers per handle;
    // asking for 128 keeps a burst of data reports from being dropped.
    std::uint32_t before = 0;
    bool gotCount = false;
    for (int attempt = 1; attempt <= BUFFER_QUERY_ATTEMPTS; ++attempt) {
        if (!port::hidGetNumInputBuffers(m_handle, before)) {
            gotCount = true;
            break;
        }
        NORK_LOG(LOG_TRACE, "Failed to get hid size of buffer - attempt no %d", attempt);
    }
    const bool setOk = gotCount && !port::hidSetNumInputBuffers(m_handle, INPUT_BUFFERS);
    if (!gotCount || !setOk) {
        NORK_LOG(LOG_TRACE, "error changing hid buff number from %d, b1:%d, b2:%d",
                 static_cast<int>(before), gotCount ? 1 : 0, setOk ? 1 : 0);
    }

    std::uint32_t received = 0;
    int idle = 0;
    bool idled = false;
    std::vector<std::uint8_t> buffer;
    while (received < expected) {
        {
            std::lock_guard lock(m_mutex);
            if (m_cancel)
                break;
        }
        buffer.assign(static_cast<std::size_t>(expected - received) * port::HID_REPORT_SIZE, 2);
        std::size_t got = 0;
        const port::PortError e =
            port::hidReadReports(m_handle, buffer.data(), buffer.size(), IDLE_WAIT_MS, got);
        if (!e) {
            idle = 0;
            for (std::size_t off = 0; off + port::HID_REPORT_SIZE <= got;
                 off += port::HID_REPORT_SIZE) {
                auto entry = std::make_shared<std::vector<std::uint8_t>>(
                    buffer.begin() + static_cast<std::ptrdiff_t>(off),
                    buffer.begin() + static_cast<std::ptrdiff_t>(off + port::HID_REPORT_SIZE));
                if (!put(std::move(entry)))
                    return;
                ++received;
            }
            continue;
        }
        if (e.code == port::PortErrc::Timeout) {
            if (++idle >= IDLE_LIMIT) {
                idled = true;
                put(std::make_shared<std::vector<std::uint8_t>>());
                break;
            }
            continue;
        }
        if (e.code == port::PortErrc::NotFound || e.code == port::PortErrc::NotSupported) {
            NORK_LOG(LOG_ERROR, "CHIDExecWinTask::operator read error");
        } else {
            NORK_LOG(LOG_ERROR, "CHIDExecWinTask::FileIOCompletion error %d, Bytes Trasfered %d",
                     e.sysErrno, static_cast<int>(got));
        }
        put(std::make_shared<std::vector<std::uint8_t>>());
        break;
    }
    {
        std::lock_guard lock(m_mutex);
        m_lastIdled = idled;
    }
    if (CPlatformFactory::instance().platformType() == PLATFORM_FLUSHING_HID_BUFFERS)
        port::hidFlush(m_handle);
}

// ---------------------------------------------------------------- CHIDExecWin

CHIDExecWin::~CHIDExecWin() {
    std::lock_guard lock(m_tasksMutex);
    m_tasks.clear();
}

CHIDExecWinTask& CHIDExecWin::task(port::OsHandle handle) {
    std::lock_guard lock(m_tasksMutex);
    // Tasks of handles closed since are idle and can go.
    for (auto it = m_tasks.begin(); it != m_tasks.end();) {
        std::shared_ptr<port::IDeviceBackend> backend;
        std::intptr_t local = -1;
        if (it->first != handle && !it->second->busy() &&
            port::deviceIo().resolve(it->first, backend, local)) {
            it = m_tasks.erase(it);
        } else {
            ++it;
        }
    }
    auto& slot = m_tasks[handle];
    if (!slot)
        slot = std::make_unique<CHIDExecWinTask>(handle);
    return *slot;
}

void CHIDExecWin::prepare(CHIDCommand& command) {
    command.block()[hid::BLOCK_RESERVED] = 0;
}

bool CHIDExecWin::writeReport(CDeviceHandle& handle, const std::uint8_t* report,
                              CHIDCommand& command, std::uint32_t expectedInputReports) {
    if (!handle.isOpen())
        return false;
    if (expectedInputReports > 0) {
        std::uint32_t arm = expectedInputReports;
        if (command.command().noStatusPhase()) {
            NORK_LOG(LOG_DEBUG,
                     "CHIDExecWin::writeReport - first command in service discovery "
                     "read only one transaction");
            // Without a status phase only the data reports come.
            arm = std::max<std::uint32_t>(1, command.dataIn() ? command.dataReports() : 1);
        }
        task(handle.handle()).arm(arm);
    }
    return !port::hidWriteReport(handle.handle(), report, hid::REPORT_SIZE);
}

bool CHIDExecWin::readReport(port::OsHandle handle, std::uint8_t* buffer, std::uint32_t size,
                             std::int32_t timeoutMs) {
    auto entry = task(handle).get(timeoutMs);
    if (!entry) {
        NORK_LOG(LOG_ERROR,
                 "CHIDExecWin::readReport - m_task.get(0x%x) returns NULL, probably because of "
                 "timeout",
                 static_cast<unsigned>(timeoutMs));
        return false;
    }
    if (entry->size() <= 1) {
        NORK_LOG(LOG_ERROR, "CHIDExecWin::readReport - data->size() <= 1");
        return false;
    }
    std::memcpy(buffer, entry->data(), std::min<std::size_t>(entry->size(), size));
    return true;
}

}  // namespace nork
