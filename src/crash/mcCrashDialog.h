#pragma once
// Starts the crash dialog program "ZR_CrashDlg" from a folder (the
// executable's): command line = the quoted full path, "--crash-dialog" and the
// quoted report and dump paths; working folder = that folder.
//
// Threads: any. Not async-signal-safe (it starts a process).
#include <string>

class mcCrashDialog {
public:
    static constexpr const char* kFlag = "--crash-dialog";

    // True when the process started.
    static bool Launch(const std::string& strFolder, const std::string& strReportPath,
                       const std::string& strDumpPath) noexcept;
};
