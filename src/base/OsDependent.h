#pragma once
// Starting and waiting for processes, and the operating system's identity.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// Processes

// The started process. The caller that asks for it owns the child and must
// reap it (mfWaitForProcess, or its own waitpid/pidfd wait).
struct mcProcessInfo {
    pid_t pid = -1;
};

// The creation arguments that mean something on Linux.
struct mcProcessOptions {
    // false: the child gets only standard input, output and error; true: it
    // also inherits every descriptor of ours not marked close-on-exec.
    bool inheritHandles = false;
    // "NAME=value" entries for the child; null: our own environment.
    const std::vector<std::string>* environment = nullptr;
    // Working folder of the child; empty: ours.
    std::string currentDirectory;
    // Descriptors to use as the child's standard input, output and error;
    // -1: ours.
    int stdinFd = -1;
    int stdoutFd = -1;
    int stderrFd = -1;
};

// Starts a process with the command line mfStrQuotePath(application) + " " +
// arguments (arguments may be null). The command line is split into argv by
// mfSplitCommandLine, the rules a Windows program's runtime applies, so the
// child sees the words a Windows program would. argv[0] is the first word of
// the command line (normally the application as given, without its quotes) and
// is also the program executed: a name with a "/" is used as it is, a bare
// name is searched in PATH. The child starts with no blocked signals and
// default signal dispositions.
//
// With processInfo the caller receives the pid and owns the child. Without
// it the child is reaped in the background when it ends (the Windows contract
// closes its handles at once).
//
// A null application reports an assertion on the "CORE" trace source, sets the
// last error to 123 (invalid name) and returns false. When the process cannot
// be started the line "mfCreateProcess with application name " + application +
// " and command line " + arguments + " Failed with GetLastError() " + the error
// as 8 lower-case hexadecimal digits goes to the "CORE" trace source, the last
// error is set (2 when the program does not exist, ...) and false is returned.
// Any thread; never throws except std::bad_alloc.
bool mfCreateProcess(const char* application, const char* arguments, const mcProcessOptions& options = {},
                     mcProcessInfo* processInfo = nullptr);
bool mfCreateProcess(const std::string& application, const std::string& arguments,
                     const mcProcessOptions& options = {}, mcProcessInfo* processInfo = nullptr);
// No arguments (keeps a null from turning into a std::string).
inline bool mfCreateProcess(const std::string& application, std::nullptr_t, const mcProcessOptions& options = {},
                            mcProcessInfo* processInfo = nullptr) {
    return mfCreateProcess(application.c_str(), static_cast<const char*>(nullptr), options, processInfo);
}

// Splits a command line into words as the Microsoft C runtime does:
// - the first word (the program) ends at the first blank or tab outside
//   double quotes; quotes in it only group and are removed; backslashes are
//   plain characters there;
// - in the other words, blanks and tabs outside quotes separate words; a
//   double quote toggles quoting; 2n backslashes before a quote give n
//   backslashes and the quote toggles; 2n+1 backslashes before a quote give n
//   backslashes and a literal quote; "" inside quotes gives a literal quote
//   and quoting goes on; backslashes not before a quote are literal; ""
//   alone is an empty word.
// Leading blanks before the program are skipped; a text of blanks only gives
// no words.
std::vector<std::string> mfSplitCommandLine(std::string_view commandLine);

// Waits for the child pid to end, up to timeoutMs milliseconds (negative: no
// limit). True when it ended: it is reaped and *exitCode (may be null)
// receives its exit status, or 128 + the signal number when a signal ended
// it. False on time-out (last error 258, the child is left alone) or when pid
// is not our child (last error from errno). Any thread.
bool mfWaitForProcess(pid_t pid, std::uint32_t* exitCode, int timeoutMs = -1);

// ---------------------------------------------------------------------------
// Operating system identity

// System types in order; a test for "at least" compares the type first, then
// the service level. The Windows numbers are kept so stored values stay
// comparable; every Linux system is kOsLinux.
enum meOSType : int {
    kOsUnknown = 0,
    kOsWin31 = 1,
    kOsWin95 = 2,
    kOsWin98 = 3,
    kOsWinME = 4,
    kOsWinNT351 = 5,
    kOsWinNT4 = 6,
    kOsWin2K = 7,
    kOsWinXP = 8,
    kOsWinNET = 9,
    kOsWinLater = 10,
    kOsLinux = 11,
};

inline constexpr const char* kOsShortNameLinux = "Linux";

struct mcOSVersionInfo {
    int type = kOsUnknown;
    int serviceLevel = 0;
    std::uint32_t major = 0;  // kernel version numbers
    std::uint32_t minor = 0;
    std::uint32_t build = 0;
    std::string serviceText;  // the distribution's PRETTY_NAME
    std::string shortName;    // "Linux"
    std::string description;  // "Linux 6.1.0 Debian GNU/Linux 12 (bookworm) -> Linux"
};

// Builds the identity from a kernel release text (uname's release, such as
// "6.1.0-18-amd64": its first three numbers, missing ones 0) and an os-release
// file (its PRETTY_NAME, unquoted as the shell would, control characters
// removed; "Linux" when the file or the entry is missing, as os-release
// defines). description = "Linux %d.%d.%d" + " " + PRETTY_NAME + " -> " +
// short name.
mcOSVersionInfo mfComputeOSVersionInfo(const std::string& kernelRelease, const std::string& osReleasePath);

// The identity of this machine, computed once per process from uname and
// /etc/os-release (else /usr/lib/os-release). Any thread.
const mcOSVersionInfo& mfGetOSVersionInfo();
const std::string& mfGetOSShortName();    // "Linux"
const std::string& mfGetOSDescription();  // the long description

// True when this system is of at least type, and for the same type at least
// serviceLevel.
bool mfIsOSAtLeast(int type, int serviceLevel = 0);

// Hands freed heap memory back to the system (malloc_trim). Any thread.
void mfTrimWorkingSet();
