#pragma once
// The crash report hook of the real server: a C++ exception that escapes a
// method or an engine function becomes a crash report (code 0xE06D7363, the
// registers where the report is taken), history line and minidump, once per
// process; the verdict "run the handler" ends the main loop through the
// terminate handler. Construction prepares the reporter and installs the
// signal handlers, so hardware faults in guarded code are reported too (those
// end the process with the signal's default action after the report).
//
// Threads: ReportFault on any thread; only the first fault reports.
#include "crash/mcCrashReporter.h"
#include "service/ICrashReportHook.h"

class mcCrashReportHook : public ICrashReportHook {
public:
    explicit mcCrashReportHook(const mcCrashReporter::Config& config);

    Verdict ReportFault(const std::string& strWhere, std::exception_ptr pException) noexcept override;
};
