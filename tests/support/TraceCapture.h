#pragma once
// Captures the diagnostic trace lines of this process for a test: binds a
// trace socket at a path the test owns, normally its scratch machine's
// TraceSocketPath() (which KETTRIN_DIAG_SOCKET already names), and drains it
// on a thread. One capture at a time per process.
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <atomic>
#include <vector>

#include "base/mcTraceViewer.h"

namespace kettrin::test {

class TraceCapture {
public:
    struct Line {
        std::string source;
        std::string text;
    };

    explicit TraceCapture(const std::string& strSocketPath) {
        m_bBound = m_viewer.Bind(strSocketPath, nullptr);
        m_thread = std::thread([this] {
            while (!m_bStop) {
                auto d = m_viewer.Receive(50);
                if (d && d->command == mcDiagTrace::kCmdLine) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_lines.push_back({d->source, d->text});
                }
            }
        });
    }
    ~TraceCapture() {
        m_bStop = true;
        m_thread.join();
        m_viewer.Close();
    }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    bool Bound() const { return m_bBound; }

    // Texts received so far from source ("" = every source).
    std::vector<std::string> Texts(const std::string& source = std::string()) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> out;
        for (const auto& l : m_lines)
            if (source.empty() || l.source == source) out.push_back(l.text);
        return out;
    }

    // Waits up to timeoutMs until source has sent text; true when it has.
    bool WaitFor(const std::string& source, const std::string& text, int timeoutMs = 2000) const {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            for (const auto& t : Texts(source))
                if (t == text) return true;
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // Gives lines in flight a moment to arrive, then returns them.
    std::vector<std::string> Settle(const std::string& source, int ms = 100) const {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return Texts(source);
    }

private:
    mcTraceViewer m_viewer;
    bool m_bBound = false;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<Line> m_lines;
};

}  // namespace kettrin::test
