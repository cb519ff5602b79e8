#include "introduction/IntroLog.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

#include "Registry.h"
#include "port/ChildProcess.h"
#include "port/NamedMutex.h"
#include "port/SettingsHive.h"
#include "port/System.h"
#include "port/Utf.h"

namespace nork::introduction {

namespace {

void replaceAll(std::u16string& text, std::u16string_view macro, const std::u16string& value) {
    std::size_t at = 0;
    while ((at = text.find(macro, at)) != std::u16string::npos) {
        text.replace(at, macro.size(), value);
        at += value.size();
    }
}

std::u16string wide(const std::string& s) {
    return port::utf::toUtf16(s);
}

std::u16string dateTimeNow() {
    const auto now = std::chrono::system_clock::now();
    port::LocalTime lt;
    port::localTime(std::chrono::system_clock::to_time_t(now), lt);
    const int ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %02d:%02d:%02d.%03d", lt.day, lt.month, lt.year,
                  lt.hour, lt.minute, lt.second, ms);
    return wide(buf);
}

}  // namespace

CIntroLog& CIntroLog::instance() {
    static CIntroLog log;
    return log;
}

CIntroLog::CIntroLog() : CIntroLog(port::SettingsHive::processDefault()) {}

CIntroLog::CIntroLog(port::SettingsHive& hive) {
    CRegistry reg(hive);
    if (reg.open(CRegistry::ROOT_CURRENT_USER, CRegistry::omRead, u"SOFTWARE\\NORK\\SDK")) {
        std::uint32_t v = 0;
        m_echo = reg.readDword(u"JxLogger", v) && v == 1;
        reg.close();
    }
}

std::string CIntroLog::filePath() const {
    return port::utf::toUtf8(m_directory) + "/" + port::utf::toUtf8(m_fileName);
}

const char16_t* CIntroLog::levelName(std::uint32_t level) {
    switch (level) {
        case INTRO_INFO:
            return u"info";
        case INTRO_WARNING:
            return u"warning";
        case INTRO_ERROR:
            return u"error";
        default:
            return u"unknown";
    }
}

std::u16string CIntroLog::expand(std::uint32_t level, int lastError,
                                 const std::u16string& message) const {
    std::u16string line = m_template;
    replaceAll(line, u"$(ErrorMessage)", message);
    replaceAll(line, u"$(LogLevel)", levelName(level));
    // Only the macros present cost anything (the time and path are looked up
    // on demand).
    if (line.find(u"$(ThreadID)") != std::u16string::npos)
        replaceAll(line, u"$(ThreadID)", wide(std::to_string(port::currentThreadId())));
    if (line.find(u"$(ProcessID)") != std::u16string::npos)
        replaceAll(line, u"$(ProcessID)", wide(std::to_string(port::currentProcessId())));
    if (line.find(u"$(DateTime)") != std::u16string::npos)
        replaceAll(line, u"$(DateTime)", dateTimeNow());
    if (line.find(u"$(LastError)") != std::u16string::npos)
        replaceAll(line, u"$(LastError)", wide(std::to_string(lastError)));
    if (line.find(u"$(ExePath)") != std::u16string::npos)
        replaceAll(line, u"$(ExePath)", wide(port::selfExecutablePath()));
    return line;
}

port::PortError CIntroLog::logArgs(std::uint32_t level, int savedErrno, const char* format,
                                   std::initializer_list<nork::LogArg> args) noexcept {
    if (!m_enabled) {
        return port::PortError::ok();
    }
    try {
        const std::u16string message = nork::formatWide(format ? format : "", args);
        // The locale's narrow code page is UTF-8 here.
        const std::string bytes = port::utf::toUtf8(expand(level, savedErrno, message));

        std::unique_ptr<port::NamedMutex> mutex;
        if (port::PortError err = port::NamedMutex::create(MUTEX_NAME, mutex, m_lockDir)) {
            return err;
        }
        if (port::PortError err = mutex->lock()) {
            return err;
        }
        struct Unlock {
            port::NamedMutex& m;
            ~Unlock() { m.unlock(); }
        } unlock{*mutex};

        namespace fs = std::filesystem;
        const fs::path path(filePath());
        std::error_code ec;
        const auto size = fs::file_size(path, ec);
        std::ios::openmode mode = std::ios::binary | std::ios::app;
        if (!ec && size > m_sizeLimit) {
            // Keep the previous content once, then start over.
            fs::path old = path;
            old += ".old";
            fs::copy_file(path, old, fs::copy_options::overwrite_existing, ec);
            if (ec) {
                return port::PortError{port::PortErrc::IoError, ec.value()};
            }
            mode = std::ios::binary | std::ios::trunc | std::ios::out;
        }
        std::ofstream out(path, mode);
        if (!out) {
            return port::PortError{port::PortErrc::IoError, errno};
        }
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out) {
            return port::PortError{port::PortErrc::IoError, errno};
        }
        if (m_echo) {
            port::debugOutput(bytes);
        }
        return port::PortError::ok();
    } catch (...) {
        return port::PortError{port::PortErrc::IoError, 0};
    }
}

}  // namespace nork::introduction
