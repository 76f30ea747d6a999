#pragma once
// Base of an object that owns one worker thread. The thread is created "not
// yet started" with the object; StartThread starts it, and it then calls
// InitThread and Run on the object, in that order, and ends when Run returns.
//
// Lifetime: a derived class must make its thread end and call JoinThread in
// its own destructor, before its own members go away. The base destructor
// joins a thread that is still joinable as a last resort. Destroying the
// object on its own worker thread is not supported.
//
// Exceptions that escape InitThread or Run end the process (std::terminate):
// derived classes catch what they want to survive.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "jobs/mcManualResetEvent.h"

class mcWorkerThread {
public:
    virtual ~mcWorkerThread();
    mcWorkerThread(const mcWorkerThread&) = delete;
    mcWorkerThread& operator=(const mcWorkerThread&) = delete;

    // Called on the worker thread, first.
    virtual void InitThread() = 0;
    // Called on the worker thread after InitThread; the thread ends when it returns.
    virtual void Run() = 0;
    // Asks the worker to discard its pending work; any thread.
    virtual void FlushThread() = 0;

    // True while the thread has been started and has not yet ended.
    bool IsThreadRunning() const;
    // Waits at most timeout for a started thread to end. True when the thread
    // is not running on return (never started, or ended).
    bool WaitForThreadEnd(std::chrono::milliseconds timeout) const;
    // True when the caller is the worker thread.
    bool IsWorkerThread() const;

protected:
    mcWorkerThread();

    // Starts the thread; only the first call does anything. False when the
    // thread was already started or could not be created.
    bool StartThread();
    // Waits until the thread has ended, then releases it. Does nothing when the
    // thread was never started or is already joined. On the worker thread
    // itself it only detaches (it cannot wait for itself).
    void JoinThread();

    // Set by FlushThread: the worker discards what it finds from then on.
    std::atomic<bool> m_bFlush{false};

private:
    void PrvThreadProc();

    mutable std::mutex m_mutexThread;  // guards m_thread, m_bStarted, m_threadId
    std::thread m_thread;
    std::thread::id m_threadId;
    bool m_bStarted = false;
    mutable mcManualResetEvent m_evThreadEnded;
};
