#pragma once
// Where a fault that escapes a method of the component manager object, or one
// of the job engines' worker functions, is reported. The crash report proper
// (report file, history, minidump) implements this; until it is installed the
// server uses mcDefaultCrashReportHook.
//
// Threads: called on the thread that faulted (the main thread for the object's
// methods, an engine's worker thread for the engines); implementations must be
// safe to call from several threads at once. Must not throw.
#include <exception>
#include <string>

class ICrashReportHook {
public:
    // What the caller does after the report.
    enum class Verdict {
        // Run the terminate handler: the server's main loop ends.
        kExecuteHandler,
        // Let the fault travel on: the call fails, the server keeps running.
        kContinueSearch,
    };

    virtual ~ICrashReportHook() = default;

    // strWhere: "moComponentMgr::" + method name, or the engine function
    // ("mcComponentMgrJobQueueEngine::Run", ...). pException: what escaped.
    virtual Verdict ReportFault(const std::string& strWhere, std::exception_ptr pException) noexcept = 0;
};
