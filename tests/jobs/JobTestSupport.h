#pragma once
// Shared pieces of the job engine tests: a log in a scratch machine, an event
// recorder, jobs that wait on gates the test opens, and recording hooks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/mcCMLog.h"
#include "jobs/IJobThreadHooks.h"
#include "jobs/mcComponentMgrJob.h"
#include "support/FsTestUtil.h"
#include "support/ScratchMachine.h"

namespace jobtest {

// Generous bound for things that must happen; only reached when a test fails.
constexpr std::chrono::seconds kWaitLimit{10};

// A scratch machine with the process log opened in its folder for the
// test's length.
class LogFolder {
public:
    LogFolder() { EXPECT_TRUE(mcCMLog::Instance().Open(m_machine.Path())); }
    ~LogFolder() { mcCMLog::Instance().Close(); }
    LogFolder(const LogFolder&) = delete;
    LogFolder& operator=(const LogFolder&) = delete;

    std::string ReadLog() const { return fstest::ReadFile(m_machine / mcCMLog::kLogFileName); }

    // Number of log lines that end with strText (after the time stamp).
    int CountLines(const std::string& strText) const {
        const std::string strLog = ReadLog();
        int nCount = 0;
        std::size_t nStart = 0;
        while (nStart < strLog.size()) {
            std::size_t nEnd = strLog.find('\n', nStart);
            if (nEnd == std::string::npos) nEnd = strLog.size();
            const std::string strLine = strLog.substr(nStart, nEnd - nStart);
            if (strLine.size() >= strText.size() &&
                strLine.compare(strLine.size() - strText.size(), strText.size(), strText) == 0) {
                ++nCount;
            }
            nStart = nEnd + 1;
        }
        return nCount;
    }

private:
    testsupport::ScratchMachine m_machine;
};

// Thread-safe list of events in the order they happened, with waiting.
class Recorder {
public:
    void Add(const std::string& strEvent) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_vecEvents.push_back(strEvent);
        }
        m_cv.notify_all();
    }
    std::vector<std::string> Events() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecEvents;
    }
    int Count(const std::string& strEvent) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        int n = 0;
        for (const auto& str : m_vecEvents) n += str == strEvent ? 1 : 0;
        return n;
    }
    // Waits until strEvent has been recorded; false after kWaitLimit.
    bool WaitFor(const std::string& strEvent) const {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, kWaitLimit, [&] {
            for (const auto& str : m_vecEvents)
                if (str == strEvent) return true;
            return false;
        });
    }

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    std::vector<std::string> m_vecEvents;
};

// A one-shot gate: closed until Open, then open for good.
class Gate {
public:
    void Open() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bOpen = true;
        }
        m_cv.notify_all();
    }
    // False when the gate stayed closed for kWaitLimit.
    bool Pass() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, kWaitLimit, [this] { return m_bOpen; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bOpen = false;
};

// Records "run:<name>" when its Run starts, "end:<name>" when it returns and
// "dtor:<name>" when deleted. Optionally waits on a gate inside Run, or throws.
class RecordingJob : public mcComponentMgrJob {
public:
    RecordingJob(Recorder& recorder, std::string strComponentName, Gate* pGate = nullptr)
        : mcComponentMgrJob(nullptr, mcClientCallback{}, "Manifest", "Client", strComponentName),
          m_recorder(recorder),
          m_pGate(pGate) {}
    ~RecordingJob() override { m_recorder.Add("dtor:" + GetComponentName()); }

    bool Run() override {
        m_recorder.Add("run:" + GetComponentName());
        if (m_pGate != nullptr && !m_pGate->Pass()) ADD_FAILURE() << "gate never opened";
        if (m_fnDuringRun) m_fnDuringRun();
        if (m_bAbort) m_recorder.Add("aborted:" + GetComponentName());
        if (!m_strThrow.empty()) throw std::runtime_error(m_strThrow);
        m_recorder.Add("end:" + GetComponentName());
        return true;
    }

    // Throws std::runtime_error(strText) from Run after its gate.
    void ThrowFromRun(std::string strText) { m_strThrow = std::move(strText); }
    // Called inside Run after the gate.
    void DuringRun(std::function<void()> fn) { m_fnDuringRun = std::move(fn); }
    // Safe to set from any thread while the job runs.
    void Abort() { m_bAbort = true; }

private:
    Recorder& m_recorder;
    Gate* m_pGate;
    std::string m_strThrow;
    std::function<void()> m_fnDuringRun;
    std::atomic<bool> m_bAbort{false};
};

// Hooks that record every call and keep the number of references held.
class RecordingHooks : public IJobThreadHooks {
public:
    explicit RecordingHooks(Recorder& recorder) : m_recorder(recorder) {}

    void InitThread() override {
        m_recorder.Add("init");
        if (m_bThrowInInit) throw std::runtime_error("no bus");
    }
    void ExitThread() override { m_recorder.Add("exit"); }
    bool AcquireServerReference() override {
        m_recorder.Add("acquire");
        ++m_nReferences;
        return true;
    }
    void ReleaseServerReference() override {
        --m_nReferences;
        m_recorder.Add("release");
    }
    void OnFault(const std::string& strFunction, std::exception_ptr pException) override {
        std::string strText = "?";
        try {
            if (pException) std::rethrow_exception(pException);
        } catch (const std::exception& exc) {
            strText = exc.what();
        } catch (...) {
        }
        m_recorder.Add("fault:" + strFunction + ":" + strText);
    }

    int References() const { return m_nReferences; }
    void ThrowInInit() { m_bThrowInInit = true; }

private:
    Recorder& m_recorder;
    std::atomic<int> m_nReferences{0};
    bool m_bThrowInInit = false;
};

// Polls cond until true; false after kWaitLimit.
inline bool WaitUntil(const std::function<bool()>& cond) {
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace jobtest
