// A log output that records what reaches it, for tests that check log lines.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "LogHandler.h"
#include "LogOutputDevice.h"

namespace nork::testing {

class LogCapture : public CLogOutputDevice {
  public:
    void write(std::uint32_t level, const std::u16string& line) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_levels.push_back(level);
        m_lines.push_back(line);
    }
    std::vector<std::u16string> lines() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_lines;
    }
    std::vector<std::uint32_t> levels() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_levels;
    }
    // The lines so far, forgetting them.
    std::vector<std::u16string> take() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_levels.clear();
        return std::exchange(m_lines, {});
    }
    // As take(), the lines narrowed (tests compare ASCII texts).
    std::vector<std::string> takeNarrow() {
        std::vector<std::string> out;
        for (const auto& l : take())
            out.emplace_back(l.begin(), l.end());
        return out;
    }

    // A capture subscribed to every level of the process-wide handler. Output
    // names stay taken for the life of the process, so one capture per name.
    static std::shared_ptr<LogCapture> onProcessLog(const std::string& name) {
        auto capture = std::make_shared<LogCapture>();
        CLogHandler::instance().registerOutput(name, capture, 1023);
        return capture;
    }

  private:
    std::mutex m_mutex;
    std::vector<std::uint32_t> m_levels;
    std::vector<std::u16string> m_lines;
};

}  // namespace nork::testing
