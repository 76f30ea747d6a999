#pragma once
// Helpers of the crash tests: faults happen in child processes (fork), which
// prepare the reporter for a folder of the test's own; the files they leave
// are read back with outside readers (python3 for UTF-16, lldb for minidumps).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "crash/mcCrashReporter.h"
#include "support/FsTestUtil.h"

namespace crashtest {

struct ChildEnd {
    bool bSignaled = false;
    int nSignal = 0;
    int nExit = -1;
};

inline ChildEnd WaitChild(pid_t pid) {
    int nStatus = 0;
    ChildEnd end;
    if (::waitpid(pid, &nStatus, 0) != pid) return end;
    end.bSignaled = WIFSIGNALED(nStatus);
    end.nSignal = end.bSignaled ? WTERMSIG(nStatus) : 0;
    end.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    return end;
}

// No core files from the children: the crash report is what is tested.
inline void NoCoreFiles() {
    struct rlimit limit {};
    ::setrlimit(RLIMIT_CORE, &limit);
}

// Runs fn in a child that reports crashes into strFolder; returns how it ended.
inline ChildEnd RunCrashChild(const std::string& strFolder, const std::function<void()>& fn) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        NoCoreFiles();
        mcCrashReporter::Config config;
        config.strFolder = strFolder;
        mcCrashReporter::Prepare(config);
        if (!mcCrashReporter::InstallSignalHandlers()) ::_exit(90);
        fn();
        ::_exit(0);
    }
    return WaitChild(pid);
}

inline std::string RunCapture(const std::string& strCommand) {
    std::string strOut;
    FILE* pPipe = ::popen(strCommand.c_str(), "r");
    if (!pPipe) return strOut;
    char sz[4096];
    std::size_t n;
    while ((n = std::fread(sz, 1, sizeof sz, pPipe)) > 0) strOut.append(sz, n);
    ::pclose(pPipe);
    return strOut;
}

// The file decoded as UTF-16 with byte-order mark by python3; "" when the
// file is missing or does not start with FF FE.
inline std::string DecodeUtf16(const std::string& strPath) {
    const std::string strBytes = fstest::ReadFile(strPath);
    if (strBytes.size() < 2 || strBytes.compare(0, 2, "\xFF\xFE") != 0) return "";
    return RunCapture(std::string(std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3") +
                      " -c 'import sys; sys.stdout.write(open(sys.argv[1], encoding=\"utf-16\", "
                      "newline=\"\").read())' '" +
                      strPath + "'");
}

inline std::vector<std::string> Split(const std::string& strText, const std::string& strSep) {
    std::vector<std::string> vec;
    std::size_t nAt = 0;
    for (;;) {
        const std::size_t nNext = strText.find(strSep, nAt);
        if (nNext == std::string::npos) {
            vec.push_back(strText.substr(nAt));
            return vec;
        }
        vec.push_back(strText.substr(nAt, nNext - nAt));
        nAt = nNext + strSep.size();
    }
}

// History lines without their "\r\n" (the last, empty piece dropped).
inline std::vector<std::string> HistoryLines(const std::string& strFolder) {
    std::vector<std::string> vec = Split(DecodeUtf16(strFolder + "/CrashHistory.CSV"), "\r\n");
    if (!vec.empty() && vec.back().empty()) vec.pop_back();
    return vec;
}

inline int CountOf(const std::string& strText, const std::string& strPart) {
    int n = 0;
    for (std::size_t nAt = strText.find(strPart); nAt != std::string::npos; nAt = strText.find(strPart, nAt + 1)) ++n;
    return n;
}

// The one minidump in strFolder ("" when none).
inline std::string FindDump(const std::string& strFolder) {
    std::string strFound;
    for (const auto& entry : std::filesystem::directory_iterator(strFolder)) {
        if (entry.path().extension() == ".Dmp") strFound = entry.path().string();
    }
    return strFound;
}

}  // namespace crashtest
