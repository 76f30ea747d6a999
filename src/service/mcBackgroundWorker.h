#pragma once
// One worker thread for the object's work that waits on the network or on
// other processes (manifest updates and their events, the connection check),
// so that the main thread never does. Jobs run one at a time, in the order
// they were submitted; each job's completion then runs on the main thread
// (posted through the apartment).
//
// Stop (main thread) is final: it drops the jobs not started, waits for the
// running one to end - the owner ends its waits first (aborts its HTTP) - and
// then runs every completion that has not run yet, so no completion is lost:
// bRan tells whether the job's work ran to its end.
//
// Threads: Submit, Stop and PendingCount on the main thread; the work on the
// worker thread; completions on the main thread. The apartment must outlive
// the object.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class IComponentMgrApartment;

class mcBackgroundWorker {
public:
    using Work = std::function<void()>;
    using Completion = std::function<void(bool bRan)>;

    explicit mcBackgroundWorker(IComponentMgrApartment& apartment);
    // Stop().
    ~mcBackgroundWorker();
    mcBackgroundWorker(const mcBackgroundWorker&) = delete;
    mcBackgroundWorker& operator=(const mcBackgroundWorker&) = delete;

    // Queues work; done runs on the main thread afterwards. False once
    // stopped (nothing is queued and done is not called). The worker thread
    // starts with the first job; failing to start it throws std::system_error.
    bool Submit(Work work, Completion done);
    // See above. Idempotent.
    void Stop();
    bool IsStopped() const { return m_bStopped; }
    // Jobs whose completion has not run yet.
    std::size_t PendingCount() const;

private:
    struct PrvJob {
        Work work;
        Completion done;          // main thread only
        bool bRan = false;        // written by the worker before the hand-over
        bool bDelivered = false;  // main thread only
    };
    // Runs the job's completion once (main thread).
    static void PrvDeliver(const std::shared_ptr<PrvJob>& pJob);
    void PrvThreadMain();

    IComponentMgrApartment& m_apartment;
    bool m_bStopped = false;
    // Every job submitted whose completion has not run (main thread).
    std::vector<std::shared_ptr<PrvJob>> m_vecPending;

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::shared_ptr<PrvJob>> m_queJobs;  // guarded by m_mutex
    bool m_bQuit = false;                           // guarded by m_mutex
    std::thread m_thread;
};
