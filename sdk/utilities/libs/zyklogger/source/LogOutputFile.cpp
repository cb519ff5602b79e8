#include "LogOutputFile.h"

#include <cstdio>

#include "port/Utf.h"

namespace nork {

CLogOutputFile::CLogOutputFile() = default;
CLogOutputFile::~CLogOutputFile() = default;

void CLogOutputFile::setDirectory(const std::string& directory) {
    if (directory.empty())
        return;
    std::lock_guard<std::mutex> guard(m_mutex);
    m_directory = directory;
    if (m_directory.back() != '/')
        m_directory.push_back('/');
}

std::string CLogOutputFile::directory() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_directory;
}

void CLogOutputFile::setFilePattern(const std::string& pattern) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_pattern = pattern;
}

void CLogOutputFile::setMaxFiles(int maxFiles) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_maxFiles = maxFiles < 0 ? -1 : maxFiles;
}

void CLogOutputFile::setLineLimit(std::uint32_t lines) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_lineLimit = lines;
}

void CLogOutputFile::setByteLimit(std::uint32_t bytes) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_byteLimit = bytes;
}

void CLogOutputFile::setRotation(bool enabled) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_rotation = enabled;
}

void CLogOutputFile::setClock(std::time_t (*clock)()) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_clock = clock;
}

std::string CLogOutputFile::currentFilePath() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_current >= 0 ? m_files[static_cast<std::size_t>(m_current)].path : std::string();
}

std::string CLogOutputFile::expandPattern(const std::string& pattern, const port::LocalTime& time,
                                          int& sequence) {
    std::string out;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%' || i + 1 == pattern.size()) {
            out.push_back(pattern[i]);
            continue;
        }
        char c = pattern[++i];
        switch (c) {
            case 'd':
                out += std::to_string(time.day);
                break;
            case 'n':
                out += std::to_string(time.month);
                break;
            case 'y':
                out += std::to_string(time.year);
                break;
            case 'h':
                out += std::to_string(time.hour);
                break;
            case 'm':
                out += std::to_string(time.minute);
                break;
            case 's':
                out += std::to_string(time.second);
                break;
            case 'o':
                out += std::to_string(time.dayOfYear);
                break;
            case 'w':
                out += std::to_string(time.dayOfWeek);
                break;
            case 'g':
                out += std::to_string(sequence++);
                break;
            default:
                out.push_back('%');
                out.push_back(c);
                break;
        }
    }
    return out;
}

bool CLogOutputFile::createNamed(LogFile& slot) {
    port::LocalTime now;
    port::localTime(m_clock != nullptr ? m_clock() : std::time(nullptr), now);
    std::string taken;
    for (int i = 0; i < MAX_NAME_TRIES; ++i) {
        std::string path = m_directory + expandPattern(m_pattern, now, m_sequence);
        if (path == taken)
            return false;  // a pattern without a sequence number has no other name
        const port::PortError e = slot.file.create(path);
        if (!e) {
            slot.path = std::move(path);
            return true;
        }
        if (e.code != port::PortErrc::Busy)
            return false;
        taken = std::move(path);
    }
    return false;
}

void CLogOutputFile::forgetInheritedFiles() {
    // Closing a descriptor in the child leaves the parent's file open there,
    // and the reuse rule must never delete a file the parent still writes.
    for (LogFile& f : m_files)
        f.file.close();
    m_files.clear();
    m_current = -1;
    m_reuse = 0;
}

void CLogOutputFile::openNextFile() {
    m_lines = 0;
    m_bytes = 0;

    // The previous file is finished; it stays in the list only as a name for
    // the reuse rule, so its descriptor is released now.
    if (m_current >= 0)
        m_files[static_cast<std::size_t>(m_current)].file.close();
    m_current = -1;

    if (m_maxFiles < 0 || static_cast<int>(m_files.size()) < m_maxFiles) {
        LogFile file;
        if (!createNamed(file))
            return;
        m_files.push_back(std::move(file));
        m_current = static_cast<int>(m_files.size()) - 1;
        return;
    }
    if (m_maxFiles == 0 || m_files.empty())
        return;  // no file may exist at all
    if (m_reuse >= static_cast<int>(m_files.size()))
        m_reuse = 0;
    LogFile& slot = m_files[static_cast<std::size_t>(m_reuse)];
    slot.file.close();
    // Only a file this output created is deleted, never a name it found taken.
    if (!slot.path.empty())
        std::remove(slot.path.c_str());
    slot.path.clear();
    if (createNamed(slot))
        m_current = m_reuse;
    m_reuse = (m_reuse + 1) % m_maxFiles;
}

void CLogOutputFile::write(std::uint32_t, const std::u16string& line) {
    try {
        std::string text = port::utf::toUtf8(line);
        text.push_back('\n');
        std::lock_guard<std::mutex> guard(m_mutex);
        const std::uint32_t self = port::currentProcessId();
        if (m_owner != self) {
            forgetInheritedFiles();
            m_owner = self;
        }
        bool needFile = m_current < 0;
        if (m_rotation && !needFile) {
            needFile = (m_lineLimit != 0 && m_lines >= m_lineLimit) ||
                       (m_byteLimit != 0 && m_bytes >= m_byteLimit);
        }
        if (needFile)
            openNextFile();
        if (m_current < 0)
            return;
        // A failed write loses the line; the file stays current.
        m_files[static_cast<std::size_t>(m_current)].file.write(text);
        ++m_lines;
        m_bytes += static_cast<std::uint32_t>(2 * line.size());
    } catch (...) {
        // The line is lost; logging never fails the caller.
    }
}

}  // namespace nork
