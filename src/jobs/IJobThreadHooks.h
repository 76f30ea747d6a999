#pragma once
// What an engine's worker thread needs of the program that hosts it. The
// service supplies its own implementation; the defaults do nothing, which is
// what tests and tools that run jobs without a service want.
//
// Every hook runs on the engine's worker thread. Implementations
// must be safe to call from that thread while the host's other threads run.
#include <exception>
#include <string>

class IJobThreadHooks {
public:
    virtual ~IJobThreadHooks() = default;

    // First thing on the worker thread (the service opens the worker's own bus
    // connection here). An exception that escapes goes to OnFault and the
    // worker ends without running any job.
    virtual void InitThread() {}

    // Last thing on the worker thread when it ends after Stop or Shutdown (the
    // service closes the worker's bus connection here). Not called after a
    // fault, nor when InitThread failed.
    virtual void ExitThread() {}

    // Called right before each job runs; true when a reference that keeps the
    // service alive is now held. A failure (false, or an exception) is silent
    // and the job runs anyway.
    virtual bool AcquireServerReference() { return false; }

    // Called right after each job has run, and only when the matching
    // AcquireServerReference returned true (also when the job threw).
    virtual void ReleaseServerReference() {}

    // An exception escaped the engine function named by strFunction
    // ("mcComponentMgrJobQueueEngine::InitThread" or
    // "mcComponentMgrJobQueueEngine::Run", which includes the jobs' Run);
    // pException is that exception. Runs on the worker thread, which ends
    // right after (the service reports the crash and shuts down here).
    // Exceptions it throws are ignored.
    virtual void OnFault(const std::string& strFunction, std::exception_ptr pException) {
        (void)strFunction;
        (void)pException;
    }
};
