#include "jobs/mcWorkerThread.h"

#include <system_error>

mcWorkerThread::mcWorkerThread() = default;

mcWorkerThread::~mcWorkerThread() { JoinThread(); }

bool mcWorkerThread::StartThread() {
    std::lock_guard<std::mutex> lock(m_mutexThread);
    if (m_bStarted) return false;
    try {
        m_thread = std::thread(&mcWorkerThread::PrvThreadProc, this);
    } catch (const std::system_error&) {
        return false;
    }
    m_threadId = m_thread.get_id();
    m_bStarted = true;
    return true;
}

void mcWorkerThread::JoinThread() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(m_mutexThread);
        if (!m_thread.joinable()) return;
        if (m_thread.get_id() == std::this_thread::get_id()) {
            m_thread.detach();
            return;
        }
        thread = std::move(m_thread);
    }
    thread.join();
}

bool mcWorkerThread::IsThreadRunning() const {
    {
        std::lock_guard<std::mutex> lock(m_mutexThread);
        if (!m_bStarted) return false;
    }
    return !m_evThreadEnded.IsSet();
}

bool mcWorkerThread::WaitForThreadEnd(std::chrono::milliseconds timeout) const {
    {
        std::lock_guard<std::mutex> lock(m_mutexThread);
        if (!m_bStarted) return true;
    }
    return m_evThreadEnded.WaitFor(timeout);
}

bool mcWorkerThread::IsWorkerThread() const {
    std::lock_guard<std::mutex> lock(m_mutexThread);
    return m_bStarted && m_threadId == std::this_thread::get_id();
}

void mcWorkerThread::PrvThreadProc() {
    InitThread();
    Run();
    m_evThreadEnded.Set();
}
