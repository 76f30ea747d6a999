#pragma once
// What the component manager object needs of the server process that hosts
// it: crash reporting, the end of the main loop, the server's references and
// the bus address the job workers connect to. The server implements it; tests
// may supply their own.
#include <exception>
#include <string>

#include "service/ICrashReportHook.h"

class IComponentMgrHost {
public:
    virtual ~IComponentMgrHost() = default;

    // A fault escaped a method or an engine function. Any thread; never throws.
    virtual ICrashReportHook::Verdict ReportFault(const std::string& strWhere,
                                                  std::exception_ptr pException) noexcept = 0;
    // Ends the main loop (the terminate handler's effect): the server then
    // shuts down. Any thread.
    virtual void EndMainLoop() noexcept = 0;
    // Activity without a lasting reference (the window's Close): restarts the
    // shut-down delay when no reference is held. Main thread.
    virtual void Touch() = 0;
    // A job starts or ends on an engine's worker thread (see mcServerLifetime).
    virtual bool AcquireJobReference() = 0;
    virtual void ReleaseJobReference() = 0;
    // The bus the engines' worker threads connect to for client callbacks
    // (empty: they open none).
    virtual std::string WorkerBusAddress() const = 0;
};
