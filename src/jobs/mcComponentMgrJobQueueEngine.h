#pragma once
// One worker thread with its own first-in first-out queue of jobs: the jobs of
// one engine run strictly one after another on that thread; engines run in
// parallel with each other and with the main thread. The service owns two
// (downloads; installs and uninstalls).
//
// Life: construction (thread not yet started) -> Resume (started) ->
// FlushThread (optional: every job found from then on is discarded unrun) ->
// Stop (the thread ends after its current batch, or after the batch of its
// next wake-up) -> destruction.
//
// Ownership: AddJob hands the job to the engine. The engine deletes each job
// after its Run has returned, deletes discarded jobs unrun, and deletes the
// jobs still queued at destruction unrun.
//
// Threads: AddJob, IsJobQueued, GetCurrentJob, WithCurrentJob, FlushThread,
// Stop and Shutdown may be called from any thread. Jobs run on the worker
// thread without any engine lock held. The hooks (IJobThreadHooks) run on the
// worker thread.
//
// Faults: an exception that escapes InitThread or Run (a job's Run included)
// goes to IJobThreadHooks::OnFault with the function's name, and the worker
// thread then ends; jobs still queued stay queued and are deleted unrun at
// destruction. The job whose Run threw is unlinked and deleted first.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "jobs/IJobThreadHooks.h"
#include "jobs/mcJobList.h"
#include "jobs/mcManualResetEvent.h"
#include "jobs/mcWorkerThread.h"

class mcComponentMgrJob;

class mcComponentMgrJobQueueEngine : public mcWorkerThread {
public:
    static constexpr const char* kFunctionInitThread = "mcComponentMgrJobQueueEngine::InitThread";
    static constexpr const char* kFunctionRun = "mcComponentMgrJobQueueEngine::Run";
    static constexpr const char* kLogBeforeJobRun =
        "mcComponentMgrJobQueueEngine::RunImpl : Before pJob->Run()";
    static constexpr const char* kLogAfterJobRun =
        "mcComponentMgrJobQueueEngine::RunImpl : After pJob->Run()";

    // pHooks null: hooks that do nothing. The hooks are shared so that they
    // outlive the worker thread whatever the owner does.
    explicit mcComponentMgrJobQueueEngine(std::shared_ptr<IJobThreadHooks> pHooks = nullptr);
    // Ends the worker as Shutdown does and waits for it: a job that is running
    // is waited for (it is not interrupted), no further job runs. Then deletes
    // every job still queued without running it. Must not run on the worker
    // thread (that is, not from inside a job).
    ~mcComponentMgrJobQueueEngine() override;

    // Worker thread entry points (called by the thread itself).
    void InitThread() override;
    void Run() override;

    // Sets the flush flag: from now on the worker discards (deletes unrun)
    // every job it finds, including jobs added later. Cannot be undone, cannot
    // fail. Jobs already queued are discarded when the worker next looks at the
    // queue (it never waits while jobs are queued, so that is right away).
    void FlushThread() override;

    // Starts the worker thread. Only the first call does anything; false when
    // the thread was already started or could not be created.
    virtual bool Resume();

    // Appends pJob at the tail of the queue and wakes the worker. Null is
    // ignored. Throws only std::bad_alloc (the job is deleted then).
    virtual void AddJob(std::unique_ptr<mcComponentMgrJob> pJob);

    // True when a job in the queue, the running one included, has exactly this
    // component name. Client and manifest name are not compared.
    virtual bool IsJobQueued(const std::string& strClientName, const std::string& strManifestName,
                             const std::string& strComponentName) const;

    // The job at the head of the queue (the running job, or the next one to
    // run), or null. The pointer is only a snapshot: the worker deletes the job
    // as soon as its Run returns, so a thread other than the worker must not
    // dereference it. Use WithCurrentJob to act on the job from another thread.
    virtual mcComponentMgrJob* GetCurrentJob() const;

    // Calls fn with the job at the head of the queue while the queue is locked,
    // so the job cannot be unlinked or deleted meanwhile (the cancel operation
    // sets a download's abort flag this way). fn runs on the calling thread,
    // concurrently with the job's own Run: it may only touch what is safe to
    // touch from another thread (an atomic flag), must be short, and must not
    // call this engine. False (fn not called) when the queue is empty.
    bool WithCurrentJob(const std::function<void(mcComponentMgrJob&)>& fn) const;

    // Sets the stop event: the worker ends after its current batch, or, when it
    // is waiting, after the batch of its next wake-up. Returns true (the event
    // can always be set).
    bool Stop();

    // Sets the stop event and wakes the worker so that it ends after the job it
    // is running now, running no further job; does not wait. Lets an owner keep
    // serving other work (IsThreadRunning, WaitForThreadEnd) before it deletes
    // the engine.
    void Shutdown();

    // True while the worker is blocked waiting for work (a snapshot; for
    // diagnostics and tests).
    bool IsWaitingForWork() const { return m_evWork.GetWaiterCount() > 0; }

    // Number of jobs in the queue, the running one included.
    std::size_t GetQueuedCount() const { return m_jobList.GetCount(); }

protected:
    // The worker's loop: batches of jobs until stopped.
    virtual void RunImpl();

private:
    // Runs the head job between the server-reference hooks and the log lines,
    // then unlinks and deletes it (also when its Run throws).
    void PrvRunHeadJob(mcComponentMgrJob* pJob);
    // Unlinks and deletes every queued job without running it.
    void PrvDiscardQueuedJobs();
    // Calls OnFault with the current exception; never throws.
    void PrvReportFault(const char* pszFunction) noexcept;

    std::shared_ptr<IJobThreadHooks> m_pHooks;
    mcManualResetEvent m_evWork;  // set by AddJob (and Shutdown); reset by the worker
    mcManualResetEvent m_evStop;  // set by Stop and Shutdown; never reset
    std::atomic<bool> m_bQuit{false};              // Shutdown: run no further job
    std::atomic<bool> m_bInitFailed{false};        // InitThread faulted: Run does nothing
    mcJobList m_jobList;
};
