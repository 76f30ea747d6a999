#include "base/OsDependent.h"

#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "base/StrConv.h"
#include "base/StrUtils.h"
#include "base/Win32Error.h"
#include "base/mcDiagTrace.h"
#include "base/mfReportAssertion.h"

extern char** environ;

namespace {

constexpr const char* kOsReleasePaths[] = {"/etc/os-release", "/usr/lib/os-release"};
constexpr const char* kPrettyNameKey = "PRETTY_NAME";
constexpr const char* kDefaultPrettyName = "Linux";
// The assertion report of a null application carries this fixed line.
constexpr int kLineNullApplicationAssertion = 435;

bool PrvIsBlank(char c) { return c == ' ' || c == '\t'; }

// posix_spawn's attribute and file-action objects, released on every path.
class PrvSpawnSetup {
public:
    PrvSpawnSetup() {
        m_bAttrOk = posix_spawnattr_init(&m_attr) == 0;
        m_bActionsOk = posix_spawn_file_actions_init(&m_actions) == 0;
    }
    ~PrvSpawnSetup() {
        if (m_bAttrOk) posix_spawnattr_destroy(&m_attr);
        if (m_bActionsOk) posix_spawn_file_actions_destroy(&m_actions);
    }
    PrvSpawnSetup(const PrvSpawnSetup&) = delete;
    PrvSpawnSetup& operator=(const PrvSpawnSetup&) = delete;

    // Returns 0 or an errno value.
    int Prepare(const mcProcessOptions& options) {
        if (!m_bAttrOk || !m_bActionsOk) return ENOMEM;
        sigset_t noSignals;
        sigemptyset(&noSignals);
        sigset_t allSignals;
        sigfillset(&allSignals);
        sigdelset(&allSignals, SIGKILL);
        sigdelset(&allSignals, SIGSTOP);
        int rc = posix_spawnattr_setflags(&m_attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        if (rc == 0) rc = posix_spawnattr_setsigmask(&m_attr, &noSignals);
        if (rc == 0) rc = posix_spawnattr_setsigdefault(&m_attr, &allSignals);
        if (rc == 0 && !options.currentDirectory.empty()) {
            rc = posix_spawn_file_actions_addchdir_np(&m_actions, options.currentDirectory.c_str());
        }
        const int redirect[3] = {options.stdinFd, options.stdoutFd, options.stderrFd};
        for (int target = 0; rc == 0 && target < 3; ++target) {
            if (redirect[target] >= 0) rc = posix_spawn_file_actions_adddup2(&m_actions, redirect[target], target);
        }
        if (rc == 0 && !options.inheritHandles) rc = posix_spawn_file_actions_addclosefrom_np(&m_actions, 3);
        return rc;
    }

    const posix_spawnattr_t* Attr() const { return &m_attr; }
    const posix_spawn_file_actions_t* Actions() const { return &m_actions; }

private:
    posix_spawnattr_t m_attr{};
    posix_spawn_file_actions_t m_actions{};
    bool m_bAttrOk = false;
    bool m_bActionsOk = false;
};

// Reaps a child nobody else waits for.
void PrvReapInBackground(pid_t pid) {
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

std::uint32_t PrvExitCode(int status) {
    if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
    return static_cast<std::uint32_t>(status);
}

// True and the status when pid has ended; false when it still runs or on error
// (errno set; 0 when it still runs).
bool PrvTryReap(pid_t pid, int& status) {
    for (;;) {
        const pid_t rc = waitpid(pid, &status, WNOHANG);
        if (rc == pid) return true;
        if (rc == 0) {
            errno = 0;
            return false;
        }
        if (errno != EINTR) return false;
    }
}

// Value of one os-release assignment: quoted as the shell would.
std::string PrvUnquote(std::string_view value) {
    std::string out;
    char quote = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (quote == 0 && (c == '"' || c == '\'')) {
            quote = c;
        } else if (quote != 0 && c == quote) {
            quote = 0;
        } else if (c == '\\' && quote != '\'' && i + 1 < value.size()) {
            const char next = value[i + 1];
            if (quote == 0 || next == '"' || next == '\\' || next == '$' || next == '`') {
                out.push_back(next);
                ++i;
            } else {
                out.push_back(c);
            }
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string PrvReadPrettyName(const std::string& osReleasePath) {
    std::ifstream in(osReleasePath);
    if (!in) return kDefaultPrettyName;
    std::string line;
    std::string strValue;
    bool bFound = false;
    const std::string prefix = std::string(kPrettyNameKey) + "=";
    while (std::getline(in, line)) {
        const std::string strLine = mfStrTrim(line);
        if (strLine.compare(0, prefix.size(), prefix) != 0) continue;
        strValue = PrvUnquote(std::string_view(strLine).substr(prefix.size()));
        bFound = true;  // the last assignment wins, as in the shell
    }
    if (!bFound) return kDefaultPrettyName;
    // The text ends up in HTTP headers: valid UTF-8, no control characters.
    const std::string strClean = mfConvertMBCSToWide(strValue, CP_UTF8, kStrConvReplaceInvalid);
    std::string out;
    for (const char c : strClean) {
        const auto uc = static_cast<unsigned char>(c);
        if (uc >= 0x20 && uc != 0x7F) out.push_back(c);
    }
    return out;
}

void PrvParseKernelRelease(const std::string& release, mcOSVersionInfo& info) {
    std::uint32_t* numbers[3] = {&info.major, &info.minor, &info.build};
    std::size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        if (pos >= release.size() || release[pos] < '0' || release[pos] > '9') break;
        std::uint64_t value = 0;
        while (pos < release.size() && release[pos] >= '0' && release[pos] <= '9') {
            value = value * 10 + static_cast<std::uint64_t>(release[pos] - '0');
            if (value > 0xFFFFFFFFu) value = 0xFFFFFFFFu;
            ++pos;
        }
        *numbers[i] = static_cast<std::uint32_t>(value);
        if (pos >= release.size() || release[pos] != '.') break;
        ++pos;
    }
}

}  // namespace

std::vector<std::string> mfSplitCommandLine(std::string_view commandLine) {
    std::vector<std::string> words;
    std::size_t p = 0;
    const std::size_t n = commandLine.size();
    while (p < n && PrvIsBlank(commandLine[p])) ++p;
    if (p == n) return words;

    // The program name: quotes group, nothing escapes.
    std::string word;
    bool bInQuotes = false;
    while (p < n && (bInQuotes || !PrvIsBlank(commandLine[p]))) {
        if (commandLine[p] == '"') {
            bInQuotes = !bInQuotes;
        } else {
            word.push_back(commandLine[p]);
        }
        ++p;
    }
    words.push_back(std::move(word));

    // The arguments.
    bInQuotes = false;
    for (;;) {
        while (p < n && PrvIsBlank(commandLine[p])) ++p;
        if (p == n) break;
        word.clear();
        for (;;) {
            bool bCopy = true;
            std::size_t nBackslashes = 0;
            while (p < n && commandLine[p] == '\\') {
                ++p;
                ++nBackslashes;
            }
            if (p < n && commandLine[p] == '"') {
                if (nBackslashes % 2 == 0) {
                    if (bInQuotes && p + 1 < n && commandLine[p + 1] == '"') {
                        ++p;  // "" inside quotes: a literal quote
                    } else {
                        bCopy = false;
                        bInQuotes = !bInQuotes;
                    }
                }
                nBackslashes /= 2;
            }
            word.append(nBackslashes, '\\');
            if (p == n || (!bInQuotes && PrvIsBlank(commandLine[p]))) break;
            if (bCopy) word.push_back(commandLine[p]);
            ++p;
        }
        words.push_back(word);
    }
    return words;
}

bool mfCreateProcess(const char* application, const char* arguments, const mcProcessOptions& options,
                     mcProcessInfo* processInfo) {
    if (application == nullptr) {
        mfReportAssertion("mfCreateProcess", __FILE__, kLineNullApplicationAssertion,
                          "! NOLOC(\"pstrProcessName (1st Arg) is NULL in mfCreateProcess\")");
        mfSetLastError(ERROR_INVALID_NAME);
        return false;
    }
    const std::string strArguments = arguments != nullptr ? arguments : "";
    const std::string strCommandLine = mfStrQuotePath(application) + " " + strArguments;
    const std::vector<std::string> words = mfSplitCommandLine(strCommandLine);

    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);

    std::vector<char*> envp;
    char** ppEnv = environ;
    if (options.environment != nullptr) {
        envp.reserve(options.environment->size() + 1);
        for (const std::string& e : *options.environment) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        ppEnv = envp.data();
    }

    PrvSpawnSetup setup;
    int rc = setup.Prepare(options);
    pid_t pid = -1;
    if (rc == 0) {
        const std::string& program = words.empty() ? std::string() : words.front();
        if (program.empty()) {
            rc = ENOENT;
        } else if (program.find(kPathSeparator) != std::string::npos) {
            rc = posix_spawn(&pid, program.c_str(), setup.Actions(), setup.Attr(), argv.data(), ppEnv);
        } else {
            rc = posix_spawnp(&pid, program.c_str(), setup.Actions(), setup.Attr(), argv.data(), ppEnv);
        }
    }
    if (rc != 0) {
        const std::uint32_t nError = mfSetLastErrorFromErrno(rc);
        char hex[9];
        std::snprintf(hex, sizeof(hex), "%08x", nError);
        mcDiagTrace::Core().Send("mfCreateProcess with application name " + std::string(application) +
                                 " and command line " + strArguments + " Failed with GetLastError() " + hex);
        return false;
    }
    if (processInfo != nullptr) {
        processInfo->pid = pid;
    } else {
        PrvReapInBackground(pid);
    }
    return true;
}

bool mfCreateProcess(const std::string& application, const std::string& arguments,
                     const mcProcessOptions& options, mcProcessInfo* processInfo) {
    return mfCreateProcess(application.c_str(), arguments.c_str(), options, processInfo);
}

bool mfWaitForProcess(pid_t pid, std::uint32_t* exitCode, int timeoutMs) {
    int status = 0;
    if (timeoutMs < 0) {
        pid_t rc = -1;
        do {
            rc = waitpid(pid, &status, 0);
        } while (rc < 0 && errno == EINTR);
        if (rc != pid) {
            mfSetLastErrorFromErrno(errno);
            return false;
        }
    } else {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        for (;;) {
            if (PrvTryReap(pid, status)) break;
            if (errno != 0) {
                const int err = errno;
                if (pidfd >= 0) close(pidfd);
                mfSetLastErrorFromErrno(err);
                return false;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                if (pidfd >= 0) close(pidfd);
                mfSetLastError(WAIT_TIMEOUT);
                return false;
            }
            if (pidfd >= 0) {
                pollfd pfd{pidfd, POLLIN, 0};
                poll(&pfd, 1, static_cast<int>(left.count()));
            } else {  // kernels without pidfds: poll the child's state
                std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(10)));
            }
        }
        if (pidfd >= 0) close(pidfd);
    }
    if (exitCode != nullptr) *exitCode = PrvExitCode(status);
    return true;
}

mcOSVersionInfo mfComputeOSVersionInfo(const std::string& kernelRelease, const std::string& osReleasePath) {
    mcOSVersionInfo info;
    info.type = kOsLinux;
    info.serviceLevel = 0;
    info.shortName = kOsShortNameLinux;
    PrvParseKernelRelease(kernelRelease, info);
    info.serviceText = PrvReadPrettyName(osReleasePath);
    char numbers[64];
    std::snprintf(numbers, sizeof(numbers), "Linux %u.%u.%u", info.major, info.minor, info.build);
    info.description = std::string(numbers) + " " + info.serviceText + " -> " + info.shortName;
    return info;
}

const mcOSVersionInfo& mfGetOSVersionInfo() {
    static const mcOSVersionInfo s_info = [] {
        utsname names{};
        const std::string strRelease = uname(&names) == 0 ? names.release : "";
        std::string strPath = kOsReleasePaths[0];
        for (const char* candidate : kOsReleasePaths) {
            if (access(candidate, R_OK) == 0) {
                strPath = candidate;
                break;
            }
        }
        return mfComputeOSVersionInfo(strRelease, strPath);
    }();
    return s_info;
}

const std::string& mfGetOSShortName() { return mfGetOSVersionInfo().shortName; }

const std::string& mfGetOSDescription() { return mfGetOSVersionInfo().description; }

bool mfIsOSAtLeast(int type, int serviceLevel) {
    const mcOSVersionInfo& info = mfGetOSVersionInfo();
    if (info.type != type) return info.type > type;
    return info.serviceLevel >= serviceLevel;
}

void mfTrimWorkingSet() { malloc_trim(0); }
