#pragma once
// The service's hooks for the job engines' worker threads: each worker opens
// its own bus connection for the callbacks its jobs make (mcWorkerBusConnection),
// holds a server reference while a job runs, and hands a fault to crash
// reporting and then to the object's terminate handler.
//
// Threads: every hook runs on an engine's worker thread; the host functions
// it calls must be safe there.
#include <exception>
#include <functional>
#include <string>

#include "jobs/IJobThreadHooks.h"

class mcServiceJobHooks : public IJobThreadHooks {
public:
    // What the hooks need of the server; every member may be empty.
    struct Host {
        // A job starts: true when a reference is now held.
        std::function<bool()> fnAcquireReference;
        std::function<void()> fnReleaseReference;
        // A worker function faulted (crash report, then the terminate handler).
        std::function<void(const std::string& strFunction, std::exception_ptr pException)> fnFault;
    };

    mcServiceJobHooks(std::string strBusAddress, Host host);

    // Attaches the worker to the bus; a bus that cannot be reached now is
    // logged and tried again when a job needs the connection.
    void InitThread() override;
    void ExitThread() override;
    bool AcquireServerReference() override;
    void ReleaseServerReference() override;
    void OnFault(const std::string& strFunction, std::exception_ptr pException) override;

private:
    const std::string m_strBusAddress;
    const Host m_host;
};
