// The SDK's log handler: one per process, destroyed after every other SDK
// singleton (longevity 0xFFFFFFFF) so that their destructors can still log.
//
// A message passes when its level bit is in the mask; its line is then built
// from the line format and written to every output subscribed to that level,
// in subscription order, on the calling thread. Outputs serialise their own
// writes. The tables (outputs, subscriptions, line format) may change while
// other threads log; they are guarded by a reader/writer lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>

#include "LogMessage.h"
#include "LogOutputDevice.h"
#include "Singleton.h"

namespace nork {

class CLogHandler {
  public:
    using Singleton = TSingleton<CLogHandler, CThreadMutex, 0xFFFFFFFFu>;
    static constexpr std::size_t MAX_LINE_FORMAT_CHARS = 256;
    static constexpr std::size_t LINE_BUFFER_CHARS = 8192;  // longest line + terminator
    static constexpr const char* INITIAL_LINE_FORMAT = "[%p:%t] | %M";

    // The process-wide handler, created on first use.
    static CLogHandler& instance() { return Singleton::instance(); }

    // A fresh handler: every level enabled, the initial line format, no
    // outputs. (Public so tests can use private handlers.)
    CLogHandler();
    ~CLogHandler();
    CLogHandler(const CLogHandler&) = delete;
    CLogHandler& operator=(const CLogHandler&) = delete;

    // Adds `output` under `name` and subscribes it to every level bit of
    // `levels`. A taken name (or a null output) changes nothing: false.
    bool registerOutput(const std::string& name, std::shared_ptr<CLogOutputDevice> output,
                        std::uint32_t levels);
    // The output registered under `name`, null when none.
    std::shared_ptr<CLogOutputDevice> output(const std::string& name) const;

    void setLevels(std::uint32_t mask) { m_mask.fetch_or(mask); }
    void clearLevels(std::uint32_t mask) { m_mask.fetch_and(~mask); }
    std::uint32_t levels() const { return m_mask.load(); }
    bool isEnabled(std::uint32_t level) const { return (level & m_mask.load()) != 0; }

    // Replaces the line format (cut to MAX_LINE_FORMAT_CHARS); null is ignored.
    void setLineFormat(const char* format);
    std::string lineFormat() const;

    // Writes the message to the outputs of its level when the mask lets it pass.
    void log(const CLogMessage& message);

    // The line of a message under the current line format:
    //   %D date "Mar  9 2007"   %L source line      %M message text
    //   %N source file          %P level name       %T local time "14:05:09"
    //   %m text of the saved errno                  %p process id
    //   %t thread id of the message
    // Any other "%" + letter stays as written; any other character is copied.
    std::u16string formatLine(const CLogMessage& message) const;

    // Name of a single level bit ("TRACE" ... "EMERGENCY"), "" for others.
    static const char* levelName(std::uint32_t level);

  private:
    mutable std::shared_mutex m_tablesMutex;
    std::atomic<std::uint32_t> m_mask{0xFFFFFFFFu};
    std::string m_lineFormat = INITIAL_LINE_FORMAT;
    std::map<std::string, std::shared_ptr<CLogOutputDevice>> m_outputs;
    std::multimap<std::uint32_t, CLogOutputDevice*> m_subscriptions;
};

}  // namespace nork
