#pragma once
// Jobs for the service tests: one that blocks until its gate opens, one that
// only counts its runs, one that runs a function on the worker thread.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "jobs/mcComponentMgrJob.h"

namespace svctest {

class Gate {
public:
    void Open() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bOpen = true;
        }
        m_cv.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, std::chrono::seconds{30}, [this] { return m_bOpen; });
    }
    std::atomic<int> nStarted{0};
    std::atomic<int> nFinished{0};

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bOpen = false;
};

class GateJob : public mcComponentMgrJob {
public:
    GateJob(const std::string& strComponent, std::shared_ptr<Gate> pGate)
        : mcComponentMgrJob(nullptr, mcClientCallback{}, "manifest", "client", strComponent),
          m_pGate(std::move(pGate)) {}
    bool Run() override {
        ++m_pGate->nStarted;
        m_pGate->Wait();
        ++m_pGate->nFinished;
        return true;
    }

private:
    std::shared_ptr<Gate> m_pGate;
};

class CountJob : public mcComponentMgrJob {
public:
    CountJob(const std::string& strComponent, std::shared_ptr<std::atomic<int>> pCount)
        : mcComponentMgrJob(nullptr, mcClientCallback{}, "manifest", "client", strComponent),
          m_pCount(std::move(pCount)) {}
    bool Run() override {
        ++*m_pCount;
        return true;
    }

private:
    std::shared_ptr<std::atomic<int>> m_pCount;
};

class FunctionJob : public mcComponentMgrJob {
public:
    explicit FunctionJob(std::function<void()> fn)
        : mcComponentMgrJob(nullptr, mcClientCallback{}, "manifest", "client", "function"), m_fn(std::move(fn)) {}
    bool Run() override {
        m_fn();
        return true;
    }

private:
    std::function<void()> m_fn;
};

}  // namespace svctest
