#include "service/mcDefaultCrashReportHook.h"

#include <cstdio>

#include "base/mcCMLog.h"
#include "base/mcExc.h"

ICrashReportHook::Verdict mcDefaultCrashReportHook::ReportFault(const std::string& strWhere,
                                                                std::exception_ptr pException) noexcept {
    if (m_bReported.exchange(true)) return Verdict::kContinueSearch;
    try {
        const std::string strLine = strWhere + kUnhandledText + DescribeException(pException);
        mfCMLog(strLine);
        std::fprintf(stderr, "%s\n", strLine.c_str());
    } catch (...) {
        // Out of memory while reporting: the verdict still stands.
    }
    return Verdict::kExecuteHandler;
}

std::string mcDefaultCrashReportHook::DescribeException(std::exception_ptr pException) {
    if (!pException) return "unknown exception";
    try {
        std::rethrow_exception(pException);
    } catch (const mcExc& exc) {
        return exc.Description();
    } catch (const std::exception& exc) {
        return exc.what();
    } catch (...) {
        return "unknown exception";
    }
}
