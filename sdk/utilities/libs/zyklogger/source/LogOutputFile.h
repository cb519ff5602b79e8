// Writes lines (UTF-8, each followed by a line feed) to rotating log files in
// one directory. File names follow a pattern of local-time fields and a
// sequence number. With the default limits (no line, byte or file-count
// limit) one file is written per process, created on the first line.
//
// Rotation: a new file is started when none is open, or (rotation enabled)
// when the current one reached the line limit or the byte limit (bytes are
// counted as 2 per UTF-16 unit of each line). Once the file-count maximum is
// reached the oldest slot is reused: its file is closed and deleted and the
// new one takes its place. A file that cannot be opened leaves the line
// unwritten; the next line tries a new file.
//
// Each file is created new, never opened over an existing one: when the name
// is taken (another process started in the same second, or an earlier run
// left it) the sequence number counts up until a free name is found. A
// process forked after a file was opened starts a file of its own with its
// first line, so no line of one process lands in another's file.
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "LogOutputDevice.h"
#include "port/NewFile.h"
#include "port/System.h"

namespace nork {

class CLogOutputFile : public CLogOutputDevice {
  public:
    static constexpr const char* DEFAULT_PATTERN = "%d-%n-%y--%h%m%s--%g.log";

    CLogOutputFile();
    ~CLogOutputFile() override;

    void write(std::uint32_t level, const std::u16string& line) override;

    // Directory for new files (UTF-8); a trailing '/' is added when missing.
    // An empty text keeps the current directory.
    void setDirectory(const std::string& directory);
    std::string directory() const;

    void setFilePattern(const std::string& pattern);
    void setMaxFiles(int maxFiles);          // -1 = unlimited (default)
    void setLineLimit(std::uint32_t lines);  // 0 = none (default)
    void setByteLimit(std::uint32_t bytes);  // 0 = none (default)
    void setRotation(bool enabled);          // default true
    // Source of "now" for file names; tests fix it. Default std::time.
    void setClock(std::time_t (*clock)());

    // Path of the file being written, "" when none is open.
    std::string currentFilePath() const;

    // The pattern with %d day, %n month (1-12), %y year, %h hour, %m minute,
    // %s second, %o day of year (0-365), %w day of week (0-6) as unpadded
    // decimals and %g the sequence number (incremented after each use); any
    // other "%x" pair is copied.
    static std::string expandPattern(const std::string& pattern, const port::LocalTime& time,
                                     int& sequence);

  private:
    struct LogFile {
        std::string path;
        port::NewFile file;
    };

    // How many taken names a new file skips before the line is given up.
    static constexpr int MAX_NAME_TRIES = 1000;

    void openNextFile();
    // Creates the next free name of the pattern; false when none was found.
    bool createNamed(LogFile& slot);
    // In a forked child: lets go of the parent's files without touching them.
    void forgetInheritedFiles();

    mutable std::mutex m_mutex;
    std::string m_directory = "./";
    std::string m_pattern = DEFAULT_PATTERN;
    int m_sequence = 0;
    std::vector<LogFile> m_files;
    int m_current = -1;
    int m_reuse = 0;
    int m_maxFiles = -1;
    std::uint32_t m_lines = 0;
    std::uint32_t m_bytes = 0;
    std::uint32_t m_lineLimit = 0;
    std::uint32_t m_byteLimit = 0;
    bool m_rotation = true;
    std::time_t (*m_clock)() = nullptr;
    std::uint32_t m_owner = 0;  // process that opened m_files
};

}  // namespace nork
