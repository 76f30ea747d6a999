#pragma once
// Base of the work items that the job queue engines run on their worker
// threads (downloads, installs, uninstalls).
//
// Created on the main thread by the operation that starts the work and handed
// to mcComponentMgrJobQueueEngine::AddJob, which owns it from then on: the
// engine runs it once on its worker thread and deletes it afterwards (or
// deletes it without running it when the queue is flushed or the engine is
// destroyed). The job never owns the configuration store it points to.
//
// The names and the callback are fixed at construction and only read
// afterwards, so any thread may read them while the engine holds the job.
#include <string>

#include "jobs/mcClientCallback.h"

class mcComponentConfig;

class mcComponentMgrJob {
public:
    // pComponentConfig may be null for jobs that do not need the store.
    mcComponentMgrJob(mcComponentConfig* pComponentConfig, mcClientCallback callback,
                      std::string strManifestName, std::string strClientName,
                      std::string strComponentName);
    virtual ~mcComponentMgrJob();
    mcComponentMgrJob(const mcComponentMgrJob&) = delete;
    mcComponentMgrJob& operator=(const mcComponentMgrJob&) = delete;

    // Does the job's work on the engine's worker thread and reports its own
    // failures (log lines, events, the client's callback). The engine ignores
    // the result; the base does nothing and returns false. An exception that
    // escapes ends the engine's worker (see mcComponentMgrJobQueueEngine).
    virtual bool Run();

    mcComponentConfig* GetComponentConfig() const { return m_pComponentConfig; }
    const mcClientCallback& GetCallback() const { return m_callback; }
    const std::string& GetManifestName() const { return m_strManifestName; }
    const std::string& GetClientName() const { return m_strClientName; }
    // The job's name for mcComponentMgrJobQueueEngine::IsJobQueued.
    const std::string& GetComponentName() const { return m_strComponentName; }

protected:
    mcComponentConfig* const m_pComponentConfig;  // not owned
    const mcClientCallback m_callback;            // empty when the client gave none
    const std::string m_strManifestName;
    const std::string m_strClientName;
    const std::string m_strComponentName;
};
