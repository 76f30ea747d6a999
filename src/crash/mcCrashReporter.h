#pragma once
// Crash reporting: the first fault of the process writes a plain-text report
// ("ErrorLog.Txt"), one line of the crash history ("CrashHistory.CSV") and a
// minidump ("<executable>.<file version>.Dmp"), all in the executable's
// folder, or in the application folder when that folder is not writable.
//
// Faults are signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP),
// handled on the alternate stack of the thread (mcCrashGuardScope gives every
// guarded thread one), and C++ exceptions that escape a guarded method (the
// service's crash report hook calls Report with kCppException).
//
// Prepare() runs once at start-up, in ordinary context: it gathers what a
// signal handler cannot (paths, executable version, user, operating system,
// time zone, the "MiniDumpType" value of HKCU\Software\Tavrolin\MiniDump).
// From then on Report() is async-signal-safe: fixed buffers, no heap, no locks
// (the one-shot flag is a lock-free atomic).
//
// Threads: Report may be called from any thread, also from several at once;
// only the first call reports.
#include <sys/types.h>
#include <ucontext.h>

#include <cstdint>
#include <string>

// A fault as the report sees it (the platform's exception pointers).
struct msCrashException {
    std::uint32_t nCode = 0;               // exception code (table in mcCrashReporter)
    std::uint64_t nAddress = 0;            // instruction address
    int nParams = 0;                       // access violation: 2
    std::uint64_t params[2] = {};          // [0] 1 = write, 0 = read; [1] the address
    const ucontext_t* pContext = nullptr;  // registers; null: none known
    int nSignal = 0;                       // 0 for a C++ exception
    int nSignalCode = 0;                   // si_code
};

class mcCrashReporter {
public:
    // Verdicts of Report (what the guard does next).
    static constexpr int kExecuteHandler = 1;
    static constexpr int kContinueSearch = 0;
    static constexpr int kContinueExecution = -1;

    static constexpr std::uint32_t kAccessViolation = 0xC0000005;
    static constexpr std::uint32_t kBreakpoint = 0x80000003;
    static constexpr std::uint32_t kCppException = 0xE06D7363;

    static constexpr const char* kReportName = "ErrorLog.Txt";
    static constexpr const char* kHistoryName = "CrashHistory.CSV";
    static constexpr const char* kCrashDialogName = "ZR_CrashDlg";

    struct Config {
        // Used when the executable's folder is not writable.
        std::string strAppFolder;
        // Non-empty: the files go here whatever the executable's folder
        // (tools and tests).
        std::string strFolder;
        // Non-empty: the executable's path to report (tests).
        std::string strExecutablePath;
    };

    // Gathers the start-up facts (see above). Call once, before any fault
    // is expected; calling again refreshes them. Never throws.
    static void Prepare(const Config& config) noexcept;

    // Handlers for the fault signals on the alternate stack; false when one
    // could not be installed. Prepare first.
    static bool InstallSignalHandlers() noexcept;

    // The report operation: writes report, history line and minidump once
    // per process and returns the verdict. pszWhere: the guarded function
    // ("moComponentMgr::UpdateManifests"); bShowDialog: start the crash
    // dialog afterwards; pszDumpPath: null or empty for the default name.
    // Async-signal-safe unless bShowDialog is set.
    static int Report(const msCrashException& exception, const char* pszWhere, bool bShowDialog,
                      const char* pszDumpPath) noexcept;

    // The phrase for an exception code ("an Access Violation", ...; "an
    // Unknown exception type" for codes not in the table).
    static const char* ExceptionPhrase(std::uint32_t nCode) noexcept;
    // The exception code of a signal (SIGSEGV 0xC0000005, SIGFPE by si_code,
    // SIGILL 0xC000001D, SIGTRAP 0x80000003, SIGABRT 0xC0000025, ...).
    static std::uint32_t CodeOfSignal(int nSignal, int nSignalCode) noexcept;

    // Where the files go (valid after Prepare).
    static std::string ReportPath();
    static std::string HistoryPath();
    static std::string DefaultDumpPath();
    static std::string Folder();
};
