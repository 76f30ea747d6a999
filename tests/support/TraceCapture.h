#pragma once
// Captures the diagnostic trace lines of this process for a test: binds a
// private trace socket in a temporary folder, points KETTRIN_DIAG_SOCKET at it
// and drains it on a thread. The previous KETTRIN_DIAG_SOCKET is restored on
// destruction. One capture at a time per process.
#include <chrono>
#include <cstdlib>
#include <filesystem>
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

    TraceCapture() {
        char tmpl[] = "/tmp/kettrin-trace-XXXXXX";
        const char* dir = ::mkdtemp(tmpl);
        m_strDir = dir ? dir : "/tmp";
        std::string path = m_strDir + "/zrdiag.sock";
        const char* old = std::getenv(mcDiagTrace::kSocketEnv);
        if (old) m_strOld = old, m_bHadOld = true;
        m_bBound = m_viewer.Bind(path, nullptr);
        ::setenv(mcDiagTrace::kSocketEnv, path.c_str(), 1);
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
        if (m_bHadOld)
            ::setenv(mcDiagTrace::kSocketEnv, m_strOld.c_str(), 1);
        else
            ::unsetenv(mcDiagTrace::kSocketEnv);
        std::error_code ec;
        std::filesystem::remove_all(m_strDir, ec);
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
    std::string m_strDir;
    std::string m_strOld;
    bool m_bHadOld = false;
    bool m_bBound = false;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<Line> m_lines;
};

}  // namespace kettrin::test
