// ZR_CrashDlg: the crash dialog. The server starts it after a crash report
// when asked to; it tells the operator where the report and the minidump are,
// on standard error and in the component manager's log.
//
//   ZR_CrashDlg --crash-dialog REPORT DUMP
//
// Exit code 0 when told, 2 on a wrong command line.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/FileUtils.h"
#include "base/mcCMLog.h"
#include "crash/mcCrashDialog.h"
#include "registry/mcCMUtils.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    if (argc != 4 || std::strcmp(argv[1], mcCrashDialog::kFlag) != 0) {
        std::fprintf(stderr, "usage: ZR_CrashDlg %s REPORT DUMP\n", mcCrashDialog::kFlag);
        return 2;
    }
    const std::string strText = std::string("ZR_CrashDlg: Kettrin stopped after a fault. The crash report is ") +
                                argv[2] + " and the minidump is " + argv[3] + ".";
    std::fprintf(stderr, "%s\n", strText.c_str());
    try {
        const std::string strAppFolder = mcCMUtils::GetAppPath();
        if (mfCreateDirectories(strAppFolder)) {
            mcCMLog::Instance().Open(strAppFolder);
            mfCMLog(strText);
        }
    } catch (...) {
        // No log: standard error has said it.
    }
    return 0;
}
