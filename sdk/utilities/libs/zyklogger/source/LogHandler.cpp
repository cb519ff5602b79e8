#include "LogHandler.h"

#include <cstdio>
#include <mutex>
#include <vector>

#include "port/System.h"
#include "port/Utf.h"

namespace nork {
namespace {

const char* const kLevelNames[] = {"TRACE",   "DEBUG", "INFO",     "NOTICE", "WARNING",
                                   "STARTUP", "ERROR", "CRITICAL", "ALERT",  "EMERGENCY"};

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void appendAscii(std::u16string& out, const std::string& s) {
    for (char c : s)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
}

bool isLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

CLogHandler::CLogHandler() = default;
CLogHandler::~CLogHandler() = default;

const char* CLogHandler::levelName(std::uint32_t level) {
    for (std::uint32_t bit = 0; bit < 10; ++bit) {
        if (level == (1u << bit))
            return kLevelNames[bit];
    }
    return "";
}

bool CLogHandler::registerOutput(const std::string& name, std::shared_ptr<CLogOutputDevice> output,
                                 std::uint32_t levels) {
    if (!output)
        return false;
    std::unique_lock<std::shared_mutex> guard(m_tablesMutex);
    if (m_outputs.count(name) != 0)
        return false;
    CLogOutputDevice* raw = output.get();
    m_outputs.emplace(name, std::move(output));
    for (std::uint32_t bit = 0; bit < 32; ++bit) {
        if ((levels & (1u << bit)) != 0)
            m_subscriptions.emplace(1u << bit, raw);
    }
    return true;
}

std::shared_ptr<CLogOutputDevice> CLogHandler::output(const std::string& name) const {
    std::shared_lock<std::shared_mutex> guard(m_tablesMutex);
    auto it = m_outputs.find(name);
    return it == m_outputs.end() ? nullptr : it->second;
}

void CLogHandler::setLineFormat(const char* format) {
    if (format == nullptr)
        return;
    std::string text(format);
    if (text.size() > MAX_LINE_FORMAT_CHARS)
        text.resize(MAX_LINE_FORMAT_CHARS);
    std::unique_lock<std::shared_mutex> guard(m_tablesMutex);
    m_lineFormat = std::move(text);
}

std::string CLogHandler::lineFormat() const {
    std::shared_lock<std::shared_mutex> guard(m_tablesMutex);
    return m_lineFormat;
}

std::u16string CLogHandler::formatLine(const CLogMessage& message) const {
    std::string format = lineFormat();
    port::LocalTime when;
    port::localTime(message.time(), when);
    char buf[64];
    std::u16string line;
    for (std::size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c != '%' || i + 1 >= format.size() || !isLetter(format[i + 1])) {
            // Narrow format text is UTF-8; a multi-byte character is widened whole.
            std::size_t start = i;
            while (i + 1 < format.size() &&
                   (static_cast<unsigned char>(format[i + 1]) & 0xC0) == 0x80) {
                ++i;
            }
            line += port::utf::toUtf16(std::string_view(format).substr(start, i - start + 1));
            continue;
        }
        char key = format[++i];
        switch (key) {
            case 'D':
                std::snprintf(buf, sizeof buf, "%s %2d %d", kMonths[(when.month + 11) % 12],
                              when.day, when.year);
                appendAscii(line, buf);
                break;
            case 'L':
                appendAscii(line, std::to_string(message.line()));
                break;
            case 'M':
                line += message.text();
                break;
            case 'N':
                line += message.file();
                break;
            case 'P':
                appendAscii(line, levelName(message.level()));
                break;
            case 'T':
                std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", when.hour, when.minute,
                              when.second);
                appendAscii(line, buf);
                break;
            case 'm':
                line += port::utf::toUtf16(port::errnoText(message.savedErrno()));
                break;
            case 'p':
                appendAscii(line, std::to_string(port::currentProcessId()));
                break;
            case 't':
                appendAscii(line, std::to_string(message.threadId()));
                break;
            default:
                line.push_back(u'%');
                line.push_back(static_cast<char16_t>(key));
                break;
        }
        if (line.size() >= LINE_BUFFER_CHARS)
            break;
    }
    if (line.size() > LINE_BUFFER_CHARS - 1)
        line.resize(LINE_BUFFER_CHARS - 1);
    return line;
}

void CLogHandler::log(const CLogMessage& message) {
    if (!isEnabled(message.level()))
        return;
    std::u16string line = formatLine(message);
    std::shared_lock<std::shared_mutex> guard(m_tablesMutex);
    auto range = m_subscriptions.equal_range(message.level());
    for (auto it = range.first; it != range.second; ++it)
        it->second->write(message.level(), line);
}

}  // namespace nork
