// The introduction program's file log: each call expands a line template of
// $(...) macros, writes the line to one file under a named mutex shared by
// every process of the user, and starts the file over (keeping the previous
// content as "<file>.old") once it grew past the size limit. The program
// itself never enables it, so by default it writes nothing; enabling and
// configuration are for whoever needs a trace.
//
// Macros: $(ThreadID) $(ProcessID) $(DateTime) $(LastError) $(ExePath)
// $(LogLevel) $(ErrorMessage). Formats as nork::formatWide ("%s" takes a
// std::u16string). Configure before logging; the setters are not locked.
#pragma once

#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "Log.h"
#include "port/PortError.h"

namespace nork::port {
class SettingsHive;
}

namespace nork::introduction {

enum IntroLogLevel : std::uint32_t { INTRO_INFO = 0, INTRO_WARNING = 1, INTRO_ERROR = 2 };

class CIntroLog {
  public:
    static constexpr std::uint32_t DEFAULT_SIZE_LIMIT = 0x80000;
    static constexpr const char* MUTEX_NAME = "LogMutex-{BA50CBCE-3418-4f69-9D7D-6A76F2908D08}";
    static constexpr const char16_t* DEFAULT_TEMPLATE = u"$(ErrorMessage)";

    // The program's logger.
    static CIntroLog& instance();

    // Reads the echo switch ("JxLogger" = 1 under HKCU "SOFTWARE\NORK\SDK")
    // from the process's settings, or from a given hive (tests).
    CIntroLog();
    explicit CIntroLog(port::SettingsHive& hive);

    void setDirectory(const std::u16string& dir) { m_directory = dir; }
    void setFileName(const std::u16string& name) { m_fileName = name; }
    void setLineTemplate(const std::u16string& t) { m_template = t; }
    void setSizeLimit(std::uint32_t bytes) { m_sizeLimit = bytes; }
    void setEnabled(bool on) { m_enabled = on; }
    // Where the mutex's lock file lives; empty = the user's runtime directory.
    void setLockDir(const std::string& dir) { m_lockDir = dir; }

    bool enabled() const { return m_enabled; }
    bool echoToDebugger() const { return m_echo; }
    std::uint32_t sizeLimit() const { return m_sizeLimit; }
    // directory + "/" + file name, UTF-8.
    std::string filePath() const;

    // Nothing (and success) while disabled; otherwise the error of the mutex
    // or of the file.
    template <class... A>
    port::PortError log(std::uint32_t level, const char* format, const A&... args) {
        const int savedErrno = errno;
        return logArgs(level, savedErrno, format, {nork::LogArg(args)...});
    }
    port::PortError logArgs(std::uint32_t level, int savedErrno, const char* format,
                            std::initializer_list<nork::LogArg> args) noexcept;

    // The template with every macro replaced (the message first, so macro
    // names inside a message are expanded as well, as the template order has it).
    std::u16string expand(std::uint32_t level, int lastError, const std::u16string& message) const;

    static const char16_t* levelName(std::uint32_t level);

  private:
    std::u16string m_directory;
    std::u16string m_fileName;
    std::u16string m_template = DEFAULT_TEMPLATE;
    std::uint32_t m_sizeLimit = DEFAULT_SIZE_LIMIT;
    bool m_enabled = false;
    bool m_echo = false;
    std::string m_lockDir;
};

}  // namespace nork::introduction
