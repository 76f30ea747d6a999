#pragma once
// A manual-reset event: once set it stays set, releasing every waiter, until
// somebody resets it. Any thread may call any member.
#include <chrono>
#include <condition_variable>
#include <mutex>

class mcManualResetEvent {
public:
    explicit mcManualResetEvent(bool bInitiallySet = false);
    mcManualResetEvent(const mcManualResetEvent&) = delete;
    mcManualResetEvent& operator=(const mcManualResetEvent&) = delete;

    void Set();
    void Reset();
    // The state right now, without waiting.
    bool IsSet() const;
    // Blocks until the event is set. Leaves it set.
    void Wait();
    // Waits at most timeout; true when the event was set in time.
    bool WaitFor(std::chrono::milliseconds timeout);
    // Number of threads blocked in Wait or WaitFor right now (a snapshot).
    int GetWaiterCount() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bSet;
    int m_nWaiters = 0;
};
