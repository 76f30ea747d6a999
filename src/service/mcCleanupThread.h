#pragma once
// The service's cleanup thread: at the lowest priority (SCHED_IDLE, nice 19)
// it trims the process's working set (malloc_trim) at once and then once per
// interval, touching no shared state, until it is stopped.
//
// Threads: Start, Stop and the destructor on the owner's thread; the trim runs
// on the cleanup thread.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class mcCleanupThread {
public:
    // fnTrim empty: mfTrimWorkingSet.
    mcCleanupThread(std::chrono::milliseconds interval, std::function<void()> fnTrim);
    // Stops the thread.
    ~mcCleanupThread();
    mcCleanupThread(const mcCleanupThread&) = delete;
    mcCleanupThread& operator=(const mcCleanupThread&) = delete;

    // Starts the thread; false when it could not be created (or runs already).
    bool Start();
    // Ends the thread and waits for it; a trim under way finishes first.
    void Stop();
    bool IsRunning() const { return m_thread.joinable(); }
    // The thread's kernel id once it has started (0 before), for checks of its
    // scheduling.
    int ThreadId() const;
    // Trims done so far.
    int TrimCount() const;

private:
    void PrvRun();

    const std::chrono::milliseconds m_interval;
    std::function<void()> m_fnTrim;
    mutable std::mutex m_mutex;
    std::condition_variable m_cvStop;
    bool m_bStop = false;
    int m_nTid = 0;
    int m_nTrims = 0;
    std::thread m_thread;
};
