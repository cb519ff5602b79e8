// A log output that records what reaches it, for tests that check log lines.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
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
    LogCapture() = default;
    ~LogCapture() override;
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

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

    // A capture of every line of the process-wide handler from now until the
    // capture is destroyed. While it lives the handler lets every level pass
    // (an earlier SDK::init of the process may have narrowed the mask); the
    // mask it found comes back with its destruction. `name` only tells the
    // reader what the capture is for: any number of captures may live at
    // once, under any names.
    static std::shared_ptr<LogCapture> onProcessLog([[maybe_unused]] const std::string& name);

  private:
    std::mutex m_mutex;
    std::vector<std::uint32_t> m_levels;
    std::vector<std::u16string> m_lines;
    bool m_onProcessLog = false;
    std::uint32_t m_levelsBefore = 0;
};

namespace detail {

// The one output the tests register with the process-wide handler (whose
// outputs stay for the life of the process); it hands each line to the
// captures alive at the moment, so a capture can leave when its test ends.
class ProcessLogRouter : public CLogOutputDevice {
  public:
    static ProcessLogRouter& instance() {
        // Held by the handler as well, which writes to it until process exit.
        static std::shared_ptr<ProcessLogRouter> router = [] {
            auto r = std::make_shared<ProcessLogRouter>();
            const bool registered =
                CLogHandler::instance().registerOutput("nork-tests.capture", r, 1023);
            EXPECT_TRUE(registered) << "the test log output name is taken";
            return r;
        }();
        return *router;
    }

    void write(std::uint32_t level, const std::u16string& line) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        for (LogCapture* capture : m_captures)
            capture->write(level, line);
    }
    void attach(LogCapture* capture) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_captures.push_back(capture);
    }
    // After this returns no write reaches the capture any more.
    void detach(LogCapture* capture) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_captures.erase(std::remove(m_captures.begin(), m_captures.end(), capture),
                         m_captures.end());
    }

  private:
    std::mutex m_mutex;
    std::vector<LogCapture*> m_captures;
};

}  // namespace detail

inline LogCapture::~LogCapture() {
    if (!m_onProcessLog)
        return;
    detail::ProcessLogRouter::instance().detach(this);
    CLogHandler& handler = CLogHandler::instance();
    handler.clearLevels(0xFFFFFFFFu);
    handler.setLevels(m_levelsBefore);
}

inline std::shared_ptr<LogCapture> LogCapture::onProcessLog(const std::string&) {
    auto capture = std::make_shared<LogCapture>();
    capture->m_onProcessLog = true;
    detail::ProcessLogRouter::instance().attach(capture.get());
    CLogHandler& handler = CLogHandler::instance();
    capture->m_levelsBefore = handler.levels();
    handler.setLevels(0xFFFFFFFFu);
    return capture;
}

}  // namespace nork::testing
