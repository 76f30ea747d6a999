#include "crash/mcCrashDialog.h"

#include "base/OsDependent.h"
#include "base/StrUtils.h"
#include "crash/mcCrashReporter.h"

bool mcCrashDialog::Launch(const std::string& strFolder, const std::string& strReportPath,
                           const std::string& strDumpPath) noexcept {
    try {
        const std::string strProgram = strFolder + "/" + mcCrashReporter::kCrashDialogName;
        const std::string strArguments =
            std::string(kFlag) + " " + mfStrQuotePath(strReportPath) + " " + mfStrQuotePath(strDumpPath);
        mcProcessOptions options;
        options.currentDirectory = strFolder;
        return mfCreateProcess(strProgram, strArguments, options);
    } catch (...) {
        return false;
    }
}
