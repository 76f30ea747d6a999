#include "jobs/mcManualResetEvent.h"

mcManualResetEvent::mcManualResetEvent(bool bInitiallySet) : m_bSet(bInitiallySet) {}

void mcManualResetEvent::Set() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bSet = true;
    }
    m_cv.notify_all();
}

void mcManualResetEvent::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bSet = false;
}

bool mcManualResetEvent::IsSet() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bSet;
}

void mcManualResetEvent::Wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    ++m_nWaiters;
    m_cv.wait(lock, [this] { return m_bSet; });
    --m_nWaiters;
}

bool mcManualResetEvent::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    ++m_nWaiters;
    const bool bSet = m_cv.wait_for(lock, timeout, [this] { return m_bSet; });
    --m_nWaiters;
    return bSet;
}

int mcManualResetEvent::GetWaiterCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nWaiters;
}
