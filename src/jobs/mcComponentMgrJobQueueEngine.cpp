#include "jobs/mcComponentMgrJobQueueEngine.h"

#include "crash/mcCrashGuardScope.h"

#include <exception>
#include <utility>

#include "base/mcCMLog.h"
#include "jobs/mcComponentMgrJob.h"

namespace {

// Hooks of an engine whose owner supplied none.
std::shared_ptr<IJobThreadHooks> PrvDefaultHooks() {
    static const std::shared_ptr<IJobThreadHooks> s_pHooks = std::make_shared<IJobThreadHooks>();
    return s_pHooks;
}

}  // namespace

mcComponentMgrJobQueueEngine::mcComponentMgrJobQueueEngine(std::shared_ptr<IJobThreadHooks> pHooks)
    : m_pHooks(pHooks ? std::move(pHooks) : PrvDefaultHooks()) {}

mcComponentMgrJobQueueEngine::~mcComponentMgrJobQueueEngine() {
    Shutdown();
    JoinThread();
    for (mcComponentMgrJob* pJob : m_jobList.Clear()) delete pJob;
}

void mcComponentMgrJobQueueEngine::InitThread() {
    const mcCrashGuardScope crashScope(nullptr, kFunctionInitThread);
    try {
        m_pHooks->InitThread();
    } catch (...) {
        m_bInitFailed = true;
        PrvReportFault(kFunctionInitThread);
    }
}

void mcComponentMgrJobQueueEngine::Run() {
    if (m_bInitFailed) return;
    const mcCrashGuardScope crashScope(nullptr, kFunctionRun);
    try {
        RunImpl();
    } catch (...) {
        PrvReportFault(kFunctionRun);
    }
}

void mcComponentMgrJobQueueEngine::FlushThread() { m_bFlush = true; }

bool mcComponentMgrJobQueueEngine::Resume() { return StartThread(); }

void mcComponentMgrJobQueueEngine::AddJob(std::unique_ptr<mcComponentMgrJob> pJob) {
    if (!pJob) return;
    m_jobList.PushBack(pJob.get());
    pJob.release();
    m_evWork.Set();
}

bool mcComponentMgrJobQueueEngine::IsJobQueued(const std::string& /*strClientName*/,
                                               const std::string& /*strManifestName*/,
                                               const std::string& strComponentName) const {
    return m_jobList.ContainsComponent(strComponentName);
}

mcComponentMgrJob* mcComponentMgrJobQueueEngine::GetCurrentJob() const { return m_jobList.Front(); }

bool mcComponentMgrJobQueueEngine::WithCurrentJob(
    const std::function<void(mcComponentMgrJob&)>& fn) const {
    return m_jobList.WithFront(fn);
}

bool mcComponentMgrJobQueueEngine::Stop() {
    m_evStop.Set();
    return true;
}

void mcComponentMgrJobQueueEngine::Shutdown() {
    m_bQuit = true;
    m_evStop.Set();
    m_evWork.Set();
}

void mcComponentMgrJobQueueEngine::RunImpl() {
    if (!m_bFlush) {
        // The stop event is only looked at between batches: a job added while
        // another runs is part of the same batch.
        while (!m_evStop.IsSet()) {
            m_evWork.Wait();
            m_evWork.Reset();
            // AddJob links the job before it sets the event, and the event is
            // reset before the queue is read: no job can be missed.
            while (!m_bQuit) {
                mcComponentMgrJob* pJob = m_jobList.Front();
                if (pJob == nullptr) break;
                if (m_bFlush) {
                    PrvDiscardQueuedJobs();
                    break;
                }
                PrvRunHeadJob(pJob);
            }
            if (m_bQuit) break;
        }
    }
    m_pHooks->ExitThread();
}

void mcComponentMgrJobQueueEngine::PrvRunHeadJob(mcComponentMgrJob* pJob) {
    bool bReferenceHeld = false;
    try {
        bReferenceHeld = m_pHooks->AcquireServerReference();
    } catch (...) {
        bReferenceHeld = false;  // the job runs without it
    }

    // The job stays at the head of the queue while it runs, so that
    // IsJobQueued and GetCurrentJob see it.
    std::exception_ptr pRunFault;
    try {
        mfCMLog(kLogBeforeJobRun);
        pJob->Run();
        mfCMLog(kLogAfterJobRun);
    } catch (...) {
        pRunFault = std::current_exception();
    }

    std::exception_ptr pReleaseFault;
    if (bReferenceHeld) {
        try {
            m_pHooks->ReleaseServerReference();
        } catch (...) {
            pReleaseFault = std::current_exception();
        }
    }

    // Only this thread unlinks jobs while it runs, so the head is still pJob.
    delete m_jobList.PopFront();

    if (pRunFault) std::rethrow_exception(pRunFault);
    if (pReleaseFault) std::rethrow_exception(pReleaseFault);
}

void mcComponentMgrJobQueueEngine::PrvDiscardQueuedJobs() {
    while (mcComponentMgrJob* pJob = m_jobList.PopFront()) delete pJob;
}

void mcComponentMgrJobQueueEngine::PrvReportFault(const char* pszFunction) noexcept {
    try {
        m_pHooks->OnFault(pszFunction, std::current_exception());
    } catch (...) {
        // A failing fault report must not take the worker down with it.
    }
}
