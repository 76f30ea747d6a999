// Unwise: removes an install of the component manager as its install log
// lists it.
//
//   Unwise /s LOG
//
// LOG (relative to the working folder; normally "CMINSTALL.LOG" beside this
// program) lists one installed path a line. Unwise first unregisters the
// server ("Kettrin /UnregServer" from the install's program folder), then
// removes the listed entries below the install prefix and the application
// folder (see mcInstallLogRemover), then the log, then the folders left
// empty.
//
// Where the install is: this program lives in the application folder, which
// was installed at KETTRIN_INSTALL_APPDIR below the prefix (or at that
// absolute folder, with the prefix as configured).
//
// Exit status: 0 everything listed is gone, 1 something was skipped or could
// not be removed (the log stays when a removal failed), 2 usage error or the
// install cannot be found.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "base/OsDependent.h"
#include "base/StrUtils.h"
#include "tools/Unwise/mcInstallLogRemover.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitIncomplete = 1;
constexpr int kExitUsage = 2;
// A log larger than this is not ours.
constexpr std::size_t kMaxLogBytes = 16u << 20;
constexpr int kUnregisterTimeoutMs = 120000;

struct InstallPlaces {
    std::string strPrefix;
    std::string strAppFolder;
    std::string strServer;  // the server program to unregister
};

std::string PrvWithoutTrailingSlashes(std::string strPath) {
    while (strPath.size() > 1 && strPath.back() == '/') strPath.pop_back();
    return strPath;
}

std::string PrvCanonical(const std::string& strPath) {
    char* pszReal = ::realpath(strPath.c_str(), nullptr);
    if (!pszReal) return std::string();
    std::string strReal(pszReal);
    ::free(pszReal);
    return strReal;
}

bool PrvFindInstall(InstallPlaces& places) {
    const std::string strSelf = PrvCanonical("/proc/self/exe");
    const std::size_t nSlash = strSelf.rfind('/');
    if (nSlash == std::string::npos) return false;
    places.strAppFolder = nSlash == 0 ? std::string("/") : strSelf.substr(0, nSlash);
    const std::string strAppDir = PrvWithoutTrailingSlashes(KETTRIN_INSTALL_APPDIR);
    if (!strAppDir.empty() && strAppDir.front() == '/') {
        places.strPrefix = PrvCanonical(KETTRIN_INSTALL_PREFIX);
        if (places.strPrefix.empty()) places.strPrefix = PrvWithoutTrailingSlashes(KETTRIN_INSTALL_PREFIX);
    } else {
        std::string strTail(1, '/');
        strTail += strAppDir;
        const std::string& strFolder = places.strAppFolder;
        if (strFolder.size() < strTail.size() ||
            strFolder.compare(strFolder.size() - strTail.size(), strTail.size(), strTail) != 0) {
            return false;
        }
        places.strPrefix = strFolder.substr(0, strFolder.size() - strTail.size());
        if (places.strPrefix.empty()) places.strPrefix = "/";
    }
    const std::string strBinDir = KETTRIN_INSTALL_BINDIR;
    const std::string strBin = !strBinDir.empty() && strBinDir.front() == '/' ? strBinDir
                                                                              : mfPathJoin(places.strPrefix, strBinDir);
    places.strServer = mfPathJoin(strBin, "Kettrin");
    return true;
}

// The log's lines; false when it cannot be read (said on standard error).
bool PrvReadLog(const std::string& strLog, std::vector<std::string>& vecLines) {
    const int fd = ::open(strLog.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        std::cerr << "Unwise: cannot open " << strLog << ": " << std::strerror(errno) << "\n";
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > kMaxLogBytes) {
        std::cerr << "Unwise: " << strLog << " is not an install log\n";
        ::close(fd);
        return false;
    }
    std::string strText;
    char sz[65536];
    for (;;) {
        const ssize_t n = ::read(fd, sz, sizeof sz);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        strText.append(sz, static_cast<std::size_t>(n));
        if (strText.size() > kMaxLogBytes) break;
    }
    ::close(fd);
    std::size_t nStart = 0;
    while (nStart < strText.size()) {
        std::size_t nEnd = strText.find('\n', nStart);
        if (nEnd == std::string::npos) nEnd = strText.size();
        std::string strLine = strText.substr(nStart, nEnd - nStart);
        if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
        if (!strLine.empty()) vecLines.push_back(std::move(strLine));
        nStart = nEnd + 1;
    }
    return true;
}

// Runs "Kettrin /UnregServer" and waits for it. False when it is missing,
// cannot start or fails.
bool PrvUnregister(const std::string& strServer) {
    struct stat st {};
    if (::lstat(strServer.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::cerr << "Unwise: " << strServer << " is missing; nothing to unregister\n";
        return false;
    }
    mcProcessInfo info;
    if (!mfCreateProcess(strServer, std::string("/UnregServer"), mcProcessOptions{}, &info)) {
        std::cerr << "Unwise: cannot start " << strServer << "\n";
        return false;
    }
    std::uint32_t nExit = 0;
    if (!mfWaitForProcess(info.pid, &nExit, kUnregisterTimeoutMs)) {
        std::cerr << "Unwise: " << strServer << " /UnregServer did not end\n";
        return false;
    }
    if (nExit != 0) {
        std::cerr << "Unwise: " << strServer << " /UnregServer failed with " << nExit << "\n";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    if (argc != 3 || mfStrCompareNoCase(argv[1], "/s") != 0 || argv[2][0] == '\0') {
        std::cerr << "usage: Unwise /s CMINSTALL.LOG\n";
        return kExitUsage;
    }
    InstallPlaces places;
    if (!PrvFindInstall(places)) {
        std::cerr << "Unwise: cannot tell where the install is (this program is not in its application folder "
                  << KETTRIN_INSTALL_APPDIR << ")\n";
        return kExitUsage;
    }
    std::string strLog = argv[2];
    if (strLog.front() != '/') {
        const std::string strCwd = PrvCanonical(".");
        strLog = mfPathJoin(strCwd, strLog);
    }
    std::vector<std::string> vecEntries;
    if (!PrvReadLog(strLog, vecEntries)) return kExitIncomplete;

    bool bComplete = PrvUnregister(places.strServer);
    mcInstallLogRemover remover(places.strPrefix, places.strAppFolder, std::cerr);
    for (const std::string& strEntry : vecEntries) {
        if (strEntry == strLog) continue;
        bComplete = remover.Remove(strEntry) && bComplete;
    }
    if (remover.FailureCount() == 0) {
        bComplete = remover.Remove(strLog) && bComplete;
    } else {
        std::cerr << "Unwise: " << strLog << " kept for another try\n";
    }
    bComplete = remover.RemoveEmptyFolders() && bComplete;
    return bComplete ? kExitOk : kExitIncomplete;
}
