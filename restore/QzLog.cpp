#include "restore/QzLog.h"

#include <cerrno>
#include <ctime>

#include "Registry.h"
#include "port/System.h"
#include "port/Utf.h"

namespace nork::restore {

namespace {

constexpr std::size_t kMaxMessage = 4095;
constexpr std::size_t kMaxLine = 2047;
constexpr std::size_t kMaxName = 256;
constexpr std::size_t kMemoryLimit = 1048576;

// Writes each line and "\n" to the debugger channel, unless switched off.
class DebugOutput : public QzLogOutput {
  public:
    void write(std::uint32_t, const std::u16string& line) override {
        port::debugOutput(port::utf::toUtf8(line) + "\n");
    }
};

// Keeps the lines (each with CR LF) while the total stays within the limit.
class MemoryOutput : public QzLogOutput {
  public:
    void write(std::uint32_t, const std::u16string& line) override {
        std::u16string entry = line + u"\r\n";
        if ((bytes_ + entry.size()) * sizeof(char16_t) > kMemoryLimit)
            return;
        bytes_ += entry.size();
        lines_.push_back(line);
    }
    std::vector<std::u16string> lines_;

  private:
    std::size_t bytes_ = 0;
};

std::u16string number(long long value) {
    return port::utf::toUtf16(std::to_string(value));
}

std::u16string twoDigits(int v) {
    std::u16string s = number(v);
    return s.size() < 2 ? u"0" + s : s;
}

std::u16string padded(int v, std::size_t width) {
    std::u16string s = number(v);
    while (s.size() < width)
        s.insert(s.begin(), u'0');
    return s;
}

QzLogRecord makeRecord(std::uint32_t level, int savedErrno) {
    QzLogRecord record;
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    port::LocalTime local;
    if (!port::localTime(t, local)) {
        record.day = local.day;
        record.month = local.month;
        record.year = local.year;
        record.hour = local.hour;
        record.minute = local.minute;
        record.second = local.second;
    }
    record.millisecond = static_cast<int>(ms.count());
    record.thread = port::currentThreadId();
    record.errorNumber = savedErrno;
    record.level = level;
    return record;
}

}  // namespace

QzLog& QzLog::instance() {
    // Lives for the process: the worker may log while the program ends.
    static QzLog* log = new QzLog;
    return *log;
}

QzLog::QzLog() {
    levelNames_ = {{1, u"ERROR"}, {2, u"DEVELOPER"}, {8, u"DEBUG"}, {4, u"SUPPORT"}};
}

bool QzLog::addOutput(const std::u16string& name, std::shared_ptr<QzLogOutput> output) {
    if (!output || byName_.count(name))
        return false;
    byName_[name] = output;
    outputs_.emplace_back(15u, std::move(output));
    return true;
}

void QzLog::init(const std::u16string& applicationName) {
    std::lock_guard lock(mutex_);
    if (initialised_) {
        applicationName_ = applicationName.substr(0, kMaxName);
        return;
    }
    mask_ |= QZLOG_ERROR;
    {
        CRegistry registry;
        if (registry.open(CRegistry::ROOT_CURRENT_USER, CRegistry::omRead,
                          u"SOFTWARE\\NORK\\SDK")) {
            std::uint32_t value = 0;
            if (registry.readDword(u"JxLogger", value) && value == 1) {
                mask_ |= QZLOG_DEVELOPER | QZLOG_SUPPORT | QZLOG_DEBUG;
                enabled_ = true;
            } else if (registry.readDword(u"SupportLog", value) && value == 1) {
                mask_ |= QZLOG_DEVELOPER | QZLOG_SUPPORT;
                enabled_ = true;
            } else if (registry.readDword(u"DevLog", value) && value == 1) {
                mask_ |= QZLOG_DEVELOPER;
                enabled_ = true;
            }
            registry.close();
        }
    }
    addOutput(u"QZ_FILE_LOG", std::make_shared<MemoryOutput>());
    auto debug = std::make_shared<DebugOutput>();
    if (!enabled_)
        debug->active = false;
    addOutput(u"QZ_DEBUG_OUTPUT", debug);
    format_ = u"[%A][%T][PID:%p][TID:%t]: %M";
    applicationName_ = applicationName.substr(0, kMaxName);
    initialised_ = true;
}

void QzLog::logMessage(std::uint32_t level, std::u16string message) {
    const int savedErrno = errno;
    std::lock_guard lock(mutex_);
    if (!initialised_)
        return;
    QzLogRecord record = makeRecord(level, savedErrno);
    if (message.size() > kMaxMessage)
        message.resize(kMaxMessage);
    record.message = std::move(message);
    if ((mask_ & level) == 0)
        return;
    std::u16string line = expand(format_, record, applicationName_, levelNames_);
    if (line.size() > kMaxLine)
        line.resize(kMaxLine);
    for (auto& [outputMask, output] : outputs_)
        if ((outputMask & level) && output->active)
            output->write(level, line);
}

std::u16string QzLog::expand(const std::u16string& format, const QzLogRecord& record,
                             const std::u16string& applicationName,
                             const std::map<std::uint32_t, std::u16string>& levelNames) {
    std::u16string out;
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char16_t c = format[i];
        if (c != u'%' || i + 1 == format.size()) {
            out += c;
            continue;
        }
        const char16_t token = format[++i];
        switch (token) {
            case u'A':
                out += applicationName;
                break;
            case u'T':
                out += twoDigits(record.day) + u"/" + twoDigits(record.month) + u"/" +
                       padded(record.year, 4) + u" " + twoDigits(record.hour) + u":" +
                       twoDigits(record.minute) + u":" + twoDigits(record.second) + u"." +
                       padded(record.millisecond, 3);
                break;
            case u'p':
                out += number(port::currentProcessId());
                break;
            case u't':
                out += number(record.thread);
                break;
            case u'M':
                out += record.message;
                break;
            case u'L':
                out += number(record.line);
                break;
            case u'N':
                out += record.file;
                break;
            case u'P': {
                auto it = levelNames.find(record.level);
                if (it != levelNames.end())
                    out += it->second;
                break;
            }
            case u'm':
                out += port::utf::toUtf16(port::errnoText(record.errorNumber));
                break;
            default:
                out += u'%';
                out += token;
                break;
        }
    }
    return out;
}

std::uint32_t QzLog::levelMask() const {
    std::lock_guard lock(mutex_);
    return mask_;
}

bool QzLog::enabled() const {
    std::lock_guard lock(mutex_);
    return enabled_;
}

std::vector<std::u16string> QzLog::memoryLines() const {
    std::lock_guard lock(mutex_);
    auto it = byName_.find(u"QZ_FILE_LOG");
    if (it == byName_.end())
        return {};
    return static_cast<const MemoryOutput&>(*it->second).lines_;
}

void QzLog::resetForTest() {
    std::lock_guard lock(mutex_);
    byName_.clear();
    outputs_.clear();
    mask_ = 0;
    enabled_ = false;
    format_ = u"[%p:%t] | %M";
    applicationName_.clear();
    initialised_ = false;
}

void QzLog::setLineFormatForTest(const std::u16string& format) {
    std::lock_guard lock(mutex_);
    format_ = format.substr(0, kMaxName);
}

}  // namespace nork::restore
