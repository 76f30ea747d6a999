#pragma once
// The crash report hook the server uses until the full crash report is
// plugged in: the first fault of the process is written to the log and to
// standard error ("<where>: unhandled exception: <text>") and answered with
// kExecuteHandler, so the server ends; every later fault is not reported and
// answered with kContinueSearch (one report per process).
//
// Threads: any; the first-fault decision is atomic.
#include <atomic>

#include "service/ICrashReportHook.h"

class mcDefaultCrashReportHook : public ICrashReportHook {
public:
    static constexpr const char* kUnhandledText = ": unhandled exception: ";

    Verdict ReportFault(const std::string& strWhere, std::exception_ptr pException) noexcept override;

    // Faults reported so far (0 or 1).
    int ReportCount() const { return m_bReported.load() ? 1 : 0; }

    // The text of an exception: mcExc's description, std::exception's what(),
    // else "unknown exception".
    static std::string DescribeException(std::exception_ptr pException);

private:
    std::atomic<bool> m_bReported{false};
};
