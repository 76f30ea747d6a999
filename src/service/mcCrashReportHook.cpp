#include "service/mcCrashReportHook.h"

#include <ucontext.h>

#include "base/mcCMLog.h"
#include "service/mcDefaultCrashReportHook.h"

mcCrashReportHook::mcCrashReportHook(const mcCrashReporter::Config& config) {
    mcCrashReporter::Prepare(config);
    (void)mcCrashReporter::InstallSignalHandlers();
}

ICrashReportHook::Verdict mcCrashReportHook::ReportFault(const std::string& strWhere,
                                                         std::exception_ptr pException) noexcept {
    ucontext_t context{};
    msCrashException exception;
    exception.nCode = mcCrashReporter::kCppException;
    if (::getcontext(&context) == 0) {
        exception.pContext = &context;
        exception.nAddress = static_cast<std::uint64_t>(context.uc_mcontext.gregs[REG_RIP]);
    }
    const int nVerdict = mcCrashReporter::Report(exception, strWhere.c_str(), false, nullptr);
    try {
        mfCMLog(strWhere + mcDefaultCrashReportHook::kUnhandledText +
                mcDefaultCrashReportHook::DescribeException(pException));
    } catch (...) {
        // Out of memory while logging: the verdict still stands.
    }
    return nVerdict == mcCrashReporter::kExecuteHandler ? Verdict::kExecuteHandler : Verdict::kContinueSearch;
}
