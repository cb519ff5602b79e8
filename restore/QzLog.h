// QzLog: the restore program's own log. A process-wide, thread-safe logger
// that formats each call into one line and hands it to named outputs: the
// debugger channel (only when a per-user switch enables logging) and a
// memory output that keeps the lines. Calls before init() are dropped.
//
// Switches (32-bit values of HKCU "SOFTWARE\NORK\SDK", a value other than 1
// is absent): "JxLogger" = 1 writes every level, else "SupportLog" = 1 the
// developer and support levels, else "DevLog" = 1 the developer level; the
// error level is always in the mask.
//
// Threads: any; one lock serialises init and every call, outputs included.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Log.h"

namespace nork::restore {

enum : std::uint32_t { QZLOG_ERROR = 1, QZLOG_DEVELOPER = 2, QZLOG_SUPPORT = 4, QZLOG_DEBUG = 8 };

// One log record, as the line format's tokens read it.
struct QzLogRecord {
    int day = 1, month = 1, year = 1970, hour = 0, minute = 0, second = 0, millisecond = 0;
    std::uint32_t line = 28;
    std::uint32_t thread = 0;
    int errorNumber = 0;
    std::uint32_t level = 0;
    std::u16string file = u".\\QzLog";
    std::u16string message;
};

class QzLogOutput {
  public:
    virtual ~QzLogOutput() = default;
    virtual void write(std::uint32_t level, const std::u16string& line) = 0;
    bool active = true;
};

class QzLog {
  public:
    static QzLog& instance();

    // Reads the switches and registers the outputs; the application name is
    // the %A token. A second call changes nothing but the name.
    void init(const std::u16string& applicationName);

    template <class... A>
    void log(std::uint32_t level, const char* format, const A&... args) {
        logMessage(level, nork::formatWide(format, {nork::LogArg(args)...}));
    }
    void logMessage(std::uint32_t level, std::u16string message);

    // Registers an output under a name; false when the name is taken.
    bool addOutput(const std::u16string& name, std::shared_ptr<QzLogOutput> output);
    std::uint32_t levelMask() const;
    bool enabled() const;
    // The lines the memory output "QZ_FILE_LOG" holds (tests, diagnostics).
    std::vector<std::u16string> memoryLines() const;

    // Expands a line format with a record and the process's values.
    static std::u16string expand(const std::u16string& format, const QzLogRecord& record,
                                 const std::u16string& applicationName,
                                 const std::map<std::uint32_t, std::u16string>& levelNames);

    // Tests: back to the state before init() (outputs, mask, name).
    void resetForTest();
    // Tests: the line format (init sets the program's own).
    void setLineFormatForTest(const std::u16string& format);

  private:
    QzLog();
    mutable std::mutex mutex_;
    std::map<std::u16string, std::shared_ptr<QzLogOutput>> byName_;
    std::vector<std::pair<std::uint32_t, std::shared_ptr<QzLogOutput>>> outputs_;
    std::map<std::uint32_t, std::u16string> levelNames_;
    std::uint32_t mask_ = 0;
    bool enabled_ = false;
    std::u16string format_ = u"[%p:%t] | %M";
    std::u16string applicationName_;
    bool initialised_ = false;
};

}  // namespace nork::restore

// The restore program logs every line at the debug level.
#define QZLOG(format, ...)                                               \
    ::nork::restore::QzLog::instance().log(::nork::restore::QZLOG_DEBUG, \
                                           format __VA_OPT__(, ) __VA_ARGS__)
