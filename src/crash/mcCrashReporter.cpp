#include "crash/mcCrashReporter.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/FileUtils.h"
#include "base/OsDependent.h"
#include "crash/mcCrashDialog.h"
#include "crash/mcCrashGuardScope.h"
#include "crash/mcCrashHistoryFile.h"
#include "crash/mcCrashReportFile.h"
#include "crash/mcCrashText.h"
#include "crash/mcMiniDumpWriter.h"
#include "crash/mcProcessMaps.h"
#include "registry/RegistryKey.h"

namespace {

constexpr std::size_t kPath = 4096;
constexpr std::size_t kName = 256;
constexpr std::uint64_t kMegabyte = 1048576;
// x86-64 user address space: 128 TiB.
constexpr std::uint64_t kUserAddressSpace = 1ull << 47;
constexpr std::size_t kMaxStackBytes = 12 * 1024;
constexpr int kWordsPerLine = 4;
constexpr std::uint32_t kProcessorTypeAmd64 = 8664;

// Everything Prepare gathers, in fixed buffers.
struct PrvFacts {
    bool bPrepared = false;
    bool bDebugOutput = false;
    char szExecutable[kPath] = {};
    char szExeFileName[kName] = {};
    char szExeBase[kName] = {};
    std::uint32_t exeVersion[4] = {};
    char szFolder[kPath] = {};
    char szReportPath[kPath] = {};
    char szHistoryPath[kPath] = {};
    char szDumpPath[kPath] = {};
    char szUser[kName] = {};
    char szOsName[kName] = {};
    char szOsVersion[64] = {};
    char szKernelRelease[kName] = {};
    long nTimeZoneOffset = 0;  // seconds east of UTC
    std::uint32_t nProcessors = 1;
    std::uint32_t nDumpType = 0;
};

PrvFacts g_facts;
std::atomic<bool> g_bFirstCall{true};

// The reporter's working storage: only the first (one-shot) caller uses it.
mcCrashReportFile g_report;
mcCrashHistoryFile g_history;
mcProcessMaps g_maps;
mcMiniDumpWriter g_dump;
char g_szPiece[mcCrashReportFile::kMaxPiece];
char g_szLine[8192];
thread_local char t_szWhere[kName];

void PrvDebugOutput(const char* psz) {
    if (g_facts.bDebugOutput) (void)mfCrashWriteAll(STDERR_FILENO, psz, mfCrashStrLen(psz));
}

// Report text, formatted piece by piece.
class PrvPiece : public mcCrashText {
public:
    PrvPiece() : mcCrashText(g_szPiece, sizeof g_szPiece) {}
    ~PrvPiece() { g_report.Append(Data(), Size()); }
};

void PrvAppendVersion(mcCrashText& text, const std::uint32_t* version) {
    text.Dec(version[0]).Char('.').Dec(version[1]).Char('.').Dec(version[2]).Char('.').Dec(version[3]);
}

// "%d/%d/%d %02d:%02d:%02d", local time (the zone's offset at start-up),
// seconds even; nTime: seconds since 1970, -1 for now.
void PrvAppendDateTime(mcCrashText& text, std::int64_t nTime = -1) {
    if (nTime < 0) {
        struct timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        nTime = now.tv_sec;
    }
    std::int64_t nSeconds = nTime + g_facts.nTimeZoneOffset;
    std::int64_t nDays = nSeconds / 86400;
    std::int64_t nRest = nSeconds % 86400;
    if (nRest < 0) {
        nRest += 86400;
        --nDays;
    }
    // Civil date from days since 1970-01-01.
    nDays += 719468;
    const std::int64_t nEra = (nDays >= 0 ? nDays : nDays - 146096) / 146097;
    const std::int64_t nDayOfEra = nDays - nEra * 146097;
    const std::int64_t nYearOfEra = (nDayOfEra - nDayOfEra / 1460 + nDayOfEra / 36524 - nDayOfEra / 146096) / 365;
    const std::int64_t nDayOfYear = nDayOfEra - (365 * nYearOfEra + nYearOfEra / 4 - nYearOfEra / 100);
    const std::int64_t nMp = (5 * nDayOfYear + 2) / 153;
    const std::int64_t nDay = nDayOfYear - (153 * nMp + 2) / 5 + 1;
    const std::int64_t nMonth = nMp < 10 ? nMp + 3 : nMp - 9;
    const std::int64_t nYear = nYearOfEra + nEra * 400 + (nMonth <= 2 ? 1 : 0);
    text.Dec(nMonth).Char('/').Dec(nDay).Char('/').Dec(nYear).Char(' ');
    text.Dec2(static_cast<int>(nRest / 3600)).Char(':').Dec2(static_cast<int>(nRest / 60 % 60)).Char(':');
    text.Dec2(static_cast<int>(nRest % 60) & ~1);
}

bool PrvDebuggerAttached() {
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[4096];
    const ssize_t nRead = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (nRead <= 0) return false;
    buffer[nRead] = '\0';
    const char* p = std::strstr(buffer, "TracerPid:");
    if (!p) return false;
    p += 10;
    while (*p == ' ' || *p == '\t') ++p;
    return *p != '0';
}

std::uint64_t PrvReg(const ucontext_t* pContext, int nReg) {
    return pContext ? static_cast<std::uint64_t>(pContext->uc_mcontext.gregs[nReg]) : 0;
}

void PrvWriteRegisters(const ucontext_t* c) {
    const std::uint64_t nSegs = PrvReg(c, REG_CSGSFS);
    struct Line {
        const char* pszA;
        std::uint64_t nA;
        const char* pszB;
        std::uint64_t nB;
        const char* pszC;
        std::uint64_t nC;
        int nWidthC = 16;
    };
    const Line lines[] = {
        {"RDI:    0x", PrvReg(c, REG_RDI), "  RSI: 0x", PrvReg(c, REG_RSI), "  RAX:   0x", PrvReg(c, REG_RAX)},
        {"RBX:    0x", PrvReg(c, REG_RBX), "  RCX: 0x", PrvReg(c, REG_RCX), "  RDX:   0x", PrvReg(c, REG_RDX)},
        {"RIP:    0x", PrvReg(c, REG_RIP), "  RBP: 0x", PrvReg(c, REG_RBP), "  SegCs: 0x", nSegs & 0xFFFF, 8},
        {"EFlags: 0x", PrvReg(c, REG_EFL), "  RSP: 0x", PrvReg(c, REG_RSP), "  SegSs: 0x", 0x2B, 8},
        {"R8:     0x", PrvReg(c, REG_R8), "  R9:  0x", PrvReg(c, REG_R9), "  R10:   0x", PrvReg(c, REG_R10)},
        {"R11:    0x", PrvReg(c, REG_R11), "  R12: 0x", PrvReg(c, REG_R12), "  R13:   0x", PrvReg(c, REG_R13)},
        {"R14:    0x", PrvReg(c, REG_R14), "  R15: 0x", PrvReg(c, REG_R15), "  CR2:   0x", PrvReg(c, REG_CR2)},
    };
    for (const Line& line : lines) {
        PrvPiece piece;
        piece.Str(line.pszA).Hex(line.nA, 16).Str(line.pszB).Hex(line.nB, 16).Str(line.pszC).Hex(line.nC, line.nWidthC);
        piece.Str("\r\n");
    }
}

void PrvWriteStack(std::uint64_t nSp) {
    {
        PrvPiece piece;
        piece.Str("\r\n\r\nStack:\r\n");
    }
    const std::uint64_t nTop = nSp ? g_maps.RunEnd(nSp) : 0;
    if (nTop > nSp && g_maps.IsReadable(nSp, 8)) {
        std::uint64_t nBytes = nTop - nSp;
        if (nBytes > kMaxStackBytes) nBytes = kMaxStackBytes;
        nBytes &= ~static_cast<std::uint64_t>(7);
        if (!g_maps.IsReadable(nSp, nBytes)) nBytes = 0;
        const std::uint64_t nWords = nBytes / 8;
        for (std::uint64_t nLine = 0; nLine < nWords; nLine += kWordsPerLine) {
            PrvPiece piece;
            const std::uint64_t nAt = nSp + nLine * 8;
            piece.Str("0x").Hex(nAt, 16).Str(": ");
            const std::uint64_t nInLine = nWords - nLine < kWordsPerLine ? nWords - nLine : kWordsPerLine;
            const auto* pWords = reinterpret_cast<const std::uint64_t*>(nAt);
            for (std::uint64_t k = 0; k < kWordsPerLine; ++k) {
                if (k < nInLine)
                    piece.Hex(pWords[k], 16).Char(' ');
                else
                    piece.Str("                 ");
            }
            const auto* pBytes = reinterpret_cast<const unsigned char*>(nAt);
            for (std::uint64_t k = 0; k < nInLine * 8; ++k) {
                const unsigned char c = pBytes[k];
                piece.Char(c < 32 || c >= 127 ? '.' : static_cast<char>(c));
            }
            piece.Str("\r\n");
        }
    }
    PrvPiece piece;
    piece.Str("\r\n");
}

void PrvWriteModules() {
    int nNumber = 0;
    for (std::size_t i = 0; i < g_maps.ModuleCount(); ++i) {
        const msLoadedModule& module = g_maps.Module(i);
        if (module.nFileSize < 0) continue;  // cannot be described
        ++nNumber;
        PrvPiece piece;
        piece.Str("Module ").Dec(nNumber).Str("\r\n").Str(module.szPath).Str("\r\n");
        piece.Str("Image Base: 0x").Hex(module.nBase, 8).Str("  Image Size: 0x").Hex(module.nSize, 8).Str("\r\n");
        piece.Str("Checksum:   0x")
            .Hex(0, 8)
            .Str("  Time Stamp: 0x")
            .Hex(static_cast<std::uint32_t>(module.nFileTime), 8);
        piece.Str("\r\n");
        piece.Str("File Size:  ").Dec(module.nFileSize, -10).Str("  File Time:  ");
        PrvAppendDateTime(piece, module.nFileTime);
        piece.Str("\r\n");
        const bool bOurs = module.bHasVersion;
        piece.Str("Version Information:\r\n");
        piece.Str("   Company:    ").Str(bOurs ? "Tavrolin, Inc." : "").Str("\r\n");
        piece.Str("   Product:    ").Str(bOurs ? "Tavrolin Component Manager" : "").Str("\r\n");
        piece.Str("   FileDesc:   ").Str(mfCrashBaseName(module.szPath)).Str("\r\n");
        piece.Str("   FileVer:    ");
        PrvAppendVersion(piece, module.version);
        piece.Str("\r\n   ProdVer:    ");
        PrvAppendVersion(piece, module.version);
        piece.Str("\r\n\r\n");
    }
}

void PrvWriteSystem() {
    struct sysinfo info {};
    (void)::sysinfo(&info);
    const std::uint64_t nUnit = info.mem_unit ? info.mem_unit : 1;
    const std::uint64_t nTotal = info.totalram * nUnit;
    const std::uint64_t nFree = (info.freeram + info.bufferram) * nUnit;
    const std::uint64_t nInUse = nTotal ? (nTotal - (nFree > nTotal ? nTotal : nFree)) * 100 / nTotal : 0;
    const std::uint64_t nMapped = g_maps.MappedBytes();
    PrvPiece piece;
    piece.Str("Operating system:  ").Str(g_facts.szOsName).Str(" (").Str(g_facts.szOsVersion).Str(").\r\n");
    piece.Dec(g_facts.nProcessors).Str(" processor(s), type ").Dec(kProcessorTypeAmd64).Str(".\r\n");
    piece.Dec(static_cast<std::int64_t>(nInUse)).Str("% memory in use.\r\n");
    const std::uint64_t values[6] = {nTotal,
                                     nFree,
                                     info.totalswap * nUnit,
                                     info.freeswap * nUnit,
                                     kUserAddressSpace,
                                     kUserAddressSpace - (nMapped > kUserAddressSpace ? kUserAddressSpace : nMapped)};
    const char* texts[6] = {" MBytes physical memory.\r\n",    " MBytes physical memory free.\r\n",
                            " MBytes paging file.\r\n",        " MBytes paging file free.\r\n",
                            " MBytes user address space.\r\n", " MBytes user address space free.\r\n"};
    for (int i = 0; i < 6; ++i) piece.Dec(static_cast<std::int64_t>(values[i] / kMegabyte)).Str(texts[i]);
}

void PrvBuildPath(char* pszOut, const char* pszFolder, const char* pszName, const char* pszSuffix = "") {
    mcCrashText text(pszOut, kPath);
    text.Str(pszFolder).Char('/').Str(pszName).Str(pszSuffix);
}

// The minidump type; failures go to the debugger output, type 0.
std::uint32_t PrvReadDumpType() {
    using core::registry::RegistryKey;
    std::unique_ptr<RegistryKey> pKey;
    try {
        pKey = std::make_unique<RegistryKey>(core::registry::kRootCurrentUser, "Software\\Tavrolin\\MiniDump",
                                             core::registry::KEY_READ);
    } catch (const std::exception& exc) {
        PrvDebugOutput("Unable to open the minidump registry key.  System error =\r\n");
        PrvDebugOutput(exc.what());
        PrvDebugOutput("\r\n");
        return 0;
    }
    try {
        const RegistryKey::TypeAndSize typeAndSize = pKey->GetValueTypeAndSize("MiniDumpType");
        if (typeAndSize.type != core::registry::REG_DWORD || typeAndSize.size != 4) {
            PrvDebugOutput("Unable to query the minidump registry key.  The type is incorrect.\r\n");
            return 0;
        }
        return pKey->GetValueDWord("MiniDumpType");
    } catch (const std::exception& exc) {
        PrvDebugOutput("Unable to query the minidump registry key.  System error =\r\n");
        PrvDebugOutput(exc.what());
        PrvDebugOutput("\r\n");
        return 0;
    }
}

void PrvSignalHandler(int nSignal, siginfo_t* pInfo, void* pvContext) {
    const int nSavedErrno = errno;
    const auto* pContext = static_cast<const ucontext_t*>(pvContext);
    msCrashException exception;
    exception.nSignal = nSignal;
    exception.nSignalCode = pInfo ? pInfo->si_code : 0;
    exception.nCode = mcCrashReporter::CodeOfSignal(nSignal, exception.nSignalCode);
    exception.pContext = pContext;
    if (nSignal == SIGSEGV && pInfo && pInfo->si_code > 0) {
        // A fault just below the stack pointer is the stack running into
        // its guard.
        const std::uint64_t nFault = reinterpret_cast<std::uint64_t>(pInfo->si_addr);
        const std::uint64_t nSp = PrvReg(pContext, REG_RSP);
        const bool bBelow = nFault <= nSp && nSp - nFault < 65536;
        const bool bJustAbove = nFault > nSp && nFault - nSp <= 256;
        if (bBelow || bJustAbove) exception.nCode = 0xC00000FD;
    }
    exception.nAddress = PrvReg(pContext, REG_RIP);
    // A signal sent by a process (kill, raise) carries no faulting address.
    if ((nSignal == SIGSEGV || nSignal == SIGBUS) && pInfo && pInfo->si_code > 0) {
        exception.nParams = 2;
        // Page-fault error code: bit 1 set for a write.
        exception.params[0] = (PrvReg(pContext, REG_ERR) & 2) ? 1 : 0;
        exception.params[1] = reinterpret_cast<std::uint64_t>(pInfo->si_addr);
    }
    mcCrashText where(t_szWhere, sizeof t_szWhere);
    if (mcCrashGuardScope::CurrentName()) {
        where.Str(mcCrashGuardScope::CurrentPrefix()).Str(mcCrashGuardScope::CurrentName());
    } else {
        where.Str("Unknown");
    }
    const int nVerdict = mcCrashReporter::Report(exception, where.Data(), false, nullptr);
    if (nVerdict != mcCrashReporter::kContinueExecution) {
        // Nothing can safely go on: the default action (core dump) follows
        // as soon as the handler returns.
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(nSignal, &action, nullptr);
        ::raise(nSignal);
    }
    errno = nSavedErrno;
}

}  // namespace

void mcCrashReporter::Prepare(const Config& config) noexcept {
    try {
        PrvFacts& f = g_facts;
        const char* pszDebug = std::getenv("KETTRIN_DEBUG_OUTPUT");
        f.bDebugOutput = pszDebug && *pszDebug;
        std::string strExe = config.strExecutablePath;
        if (strExe.empty()) {
            char szExe[kPath] = {};
            const ssize_t n = ::readlink("/proc/self/exe", szExe, sizeof szExe - 1);
            strExe = n > 0 ? std::string(szExe, static_cast<std::size_t>(n)) : std::string();
        }
        mfCrashStrCopy(f.szExecutable, kPath, strExe.empty() ? "Unknown" : strExe.c_str());
        mfCrashStrCopy(f.szExeFileName, kName, mfCrashBaseName(f.szExecutable));
        mfCrashStrCopy(f.szExeBase, kName, f.szExeFileName);
        if (char* pszDot = std::strrchr(f.szExeBase, '.')) {
            if (pszDot != f.szExeBase) *pszDot = '\0';
        }
        std::memset(f.exeVersion, 0, sizeof f.exeVersion);
        try {
            mfFileGetFileVersion(strExe, &f.exeVersion[0], &f.exeVersion[1], &f.exeVersion[2], &f.exeVersion[3]);
        } catch (...) {
            // No version note: 0.0.0.0.
        }
        std::string strFolder = config.strFolder;
        if (strFolder.empty()) {
            const std::size_t nSlash = strExe.rfind('/');
            if (nSlash == std::string::npos)
                strFolder.push_back('.');
            else
                strFolder.append(strExe, 0, nSlash == 0 ? 1 : nSlash);
            if (::access(strFolder.c_str(), W_OK) != 0 && !config.strAppFolder.empty()) strFolder = config.strAppFolder;
        }
        mfCrashStrCopy(f.szFolder, kPath, strFolder.c_str());
        PrvBuildPath(f.szReportPath, f.szFolder, kReportName);
        PrvBuildPath(f.szHistoryPath, f.szFolder, kHistoryName);
        {
            mcCrashText text(f.szDumpPath, kPath);
            text.Str(f.szFolder).Char('/').Str(f.szExeBase).Char('.');
            PrvAppendVersion(text, f.exeVersion);
            text.Str(".Dmp");
        }
        struct passwd entry {};
        struct passwd* pEntry = nullptr;
        char szBuffer[4096];
        if (::getpwuid_r(::geteuid(), &entry, szBuffer, sizeof szBuffer, &pEntry) == 0 && pEntry) {
            mfCrashStrCopy(f.szUser, kName, pEntry->pw_name);
        } else {
            mfCrashStrCopy(f.szUser, kName, "Unknown");
        }
        const mcOSVersionInfo& os = mfGetOSVersionInfo();
        mfCrashStrCopy(f.szOsName, kName, os.serviceText.empty() ? "Linux" : os.serviceText.c_str());
        {
            mcCrashText text(f.szOsVersion, sizeof f.szOsVersion);
            text.Dec(os.major).Char('.').Dec(os.minor).Char('.').Dec(os.build & 0xFFFF);
        }
        struct utsname uts {};
        mfCrashStrCopy(f.szKernelRelease, kName, ::uname(&uts) == 0 ? uts.release : "");
        const time_t now = ::time(nullptr);
        struct tm local {};
        f.nTimeZoneOffset = ::localtime_r(&now, &local) ? local.tm_gmtoff : 0;
        const long nProcessors = ::sysconf(_SC_NPROCESSORS_ONLN);
        f.nProcessors = nProcessors > 0 ? static_cast<std::uint32_t>(nProcessors) : 1;
        f.nDumpType = PrvReadDumpType();
        f.bPrepared = true;
    } catch (...) {
        // Out of memory at start-up: the report uses what it has.
    }
}

bool mcCrashReporter::InstallSignalHandlers() noexcept {
    (void)mcCrashGuardScope::EnsureAlternateStack();
    bool bOk = true;
    for (const int nSignal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP}) {
        struct sigaction action {};
        action.sa_sigaction = PrvSignalHandler;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        bOk = ::sigaction(nSignal, &action, nullptr) == 0 && bOk;
    }
    return bOk;
}

int mcCrashReporter::Report(const msCrashException& exception, const char* pszWhere, bool bShowDialog,
                            const char* pszDumpPath) noexcept {
    if (!g_bFirstCall.exchange(false)) return kContinueSearch;
    if (exception.nCode == kBreakpoint) {
        PrvDebugOutput("Assert Retry encountered");
        return kContinueExecution;
    }
    const PrvFacts& f = g_facts;
    if (!f.bPrepared) return kContinueSearch;
    bool bNew = false;
    if (!g_report.Open(f.szReportPath, &bNew)) {
        PrvDebugOutput("Error creating exception report\r\n");
        return kContinueSearch;
    }
    if (!g_history.Open(f.szHistoryPath)) {
        PrvDebugOutput("Error creating crash history file.\r\n");
        g_report.Close();
        return kContinueSearch;
    }
    if (bNew && !g_report.WriteByteOrderMark()) {
        g_report.Close();
        g_history.Close();
        return kContinueSearch;
    }
    (void)g_maps.Load();
    const msLoadedModule* pModule = g_maps.FindModule(exception.nAddress);
    const char* pszModuleName = pModule ? mfCrashBaseName(pModule->szPath) : "Unknown";
    const std::uint64_t nCs = PrvReg(exception.pContext, REG_CSGSFS) & 0xFFFF;

    {
        PrvPiece piece;
        piece.Str(f.szExeBase).Str(" caused ").Str(ExceptionPhrase(exception.nCode)).Str(" (0x");
        piece.Hex(exception.nCode, 8).Str(") \r\nin module ").Str(pszModuleName).Str(" at ");
        piece.Hex(nCs, 4).Char(':').Hex(exception.nAddress, 8).Str(".\r\n\r\n");
    }
    {
        PrvPiece piece;
        piece.Str("Exception handler called in ").Str(pszWhere ? pszWhere : "Unknown").Str(".\r\n");
        piece.Str("Error occurred at ");
        PrvAppendDateTime(piece);
        piece.Str(".\r\n").Str(f.szExecutable).Str(", run by ").Str(f.szUser).Str(".\r\n");
    }
    PrvWriteSystem();
    if (exception.nCode == kAccessViolation && exception.nParams >= 2) {
        PrvPiece piece;
        piece.Str(exception.params[0] ? "Write to" : "Read from").Str(" location ").Hex(exception.params[1], 8);
        piece.Str(" caused an access violation.\r\n");
    }
    {
        PrvPiece piece;
        piece.Str("\r\nContext:\r\n");
    }
    PrvWriteRegisters(exception.pContext);
    {
        PrvPiece piece;
        piece.Str("\r\nBytes at CS:EIP:\r\n");
        const auto* pCode = reinterpret_cast<const unsigned char*>(exception.nAddress);
        for (int i = 0; i < 16; ++i) {
            if (g_maps.IsReadable(exception.nAddress + static_cast<std::uint64_t>(i), 1))
                piece.Hex(pCode[i], 2).Char(' ');
            else
                piece.Str("?? ");
        }
    }
    PrvWriteStack(PrvReg(exception.pContext, REG_RSP));
    PrvWriteModules();
    {
        PrvPiece piece;
        piece.Str("===== [end of ").Str(kReportName).Str("] =====\r\n\r\n");
    }
    g_report.Close();

    // The history line: ten fields joined by ", " (the last one is the
    // guarded function; none of the fields holds ", " but a path could).
    {
        mcCrashText line(g_szLine, sizeof g_szLine);
        line.Str(f.szExeFileName).Str(", ").Str(f.szExecutable).Str(", ");
        PrvAppendVersion(line, f.exeVersion);
        line.Str(", 0x").Hex(exception.nCode, 8, true).Str(", ").Str(pszModuleName).Str(", ");
        line.Str(pModule ? pModule->szPath : "Unknown").Str(", ");
        static const std::uint32_t kNoVersion[4] = {};
        PrvAppendVersion(line, pModule ? pModule->version : kNoVersion);
        line.Str(", ").Hex(nCs, 4).Char(':').Hex(exception.nAddress, 8).Str(", ");
        PrvAppendDateTime(line);
        // The tenth field: the guarded function that faulted.
        line.Str(", ").Str(pszWhere ? pszWhere : "Unknown");
        PrvDebugOutput(line.Data());
        PrvDebugOutput("\n");
        (void)g_history.AppendLine(line.Data());
        g_history.Close();
    }

    // The minidump.
    PrvDebugOutput("Writing minidump\r\n");
    msMiniDumpException dump;
    dump.nThreadId = static_cast<pid_t>(::syscall(SYS_gettid));
    dump.nCode = exception.nSignal > 0 ? static_cast<std::uint32_t>(exception.nSignal) : SIGABRT;
    dump.nFlags = static_cast<std::uint32_t>(exception.nSignalCode);
    dump.nAddress = exception.nParams >= 2 ? exception.params[1] : exception.nAddress;
    dump.nReportCode = exception.nCode;
    dump.pContext = exception.pContext;
    bool bDumped = false;
    if (pszDumpPath && *pszDumpPath) {
        bDumped = g_dump.Write(pszDumpPath, dump, g_maps, f.nDumpType, f.szKernelRelease, f.nProcessors);
    }
    if (!bDumped && !g_dump.Write(f.szDumpPath, dump, g_maps, f.nDumpType, f.szKernelRelease, f.nProcessors)) {
        PrvDebugOutput("Error writing minidump\r\n");
    }

    if (PrvDebuggerAttached()) return kContinueSearch;
    if (bShowDialog) {
        return mcCrashDialog::Launch(f.szFolder, f.szReportPath, f.szDumpPath) ? kExecuteHandler : kContinueSearch;
    }
    return kExecuteHandler;
}

const char* mcCrashReporter::ExceptionPhrase(std::uint32_t nCode) noexcept {
    struct Entry {
        std::uint32_t nCode;
        const char* pszPhrase;
    };
    static constexpr Entry kTable[] = {
        {0x40010005, "a Control-C"},
        {0x40010008, "a Control-Break"},
        {0x80000002, "a Datatype Misalignment"},
        {0x80000003, "a Breakpoint"},
        {0xC0000005, "an Access Violation"},
        {0xC0000006, "an In Page Error"},
        {0xC0000017, "a No Memory"},
        {0xC000001D, "an Illegal Instruction"},
        {0xC0000025, "a Noncontinuable Exception"},
        {0xC0000026, "an Invalid Disposition"},
        {0xC000008C, "a Array Bounds Exceeded"},
        {0xC000008D, "a Float Denormal Operand"},
        {0xC000008E, "a Float Divide by Zero"},
        {0xC000008F, "a Float Inexact Result"},
        {0xC0000090, "a Float Invalid Operation"},
        {0xC0000091, "a Float Overflow"},
        {0xC0000092, "a Float Stack Check"},
        {0xC0000093, "a Float Underflow"},
        {0xC0000094, "an Integer Divide by Zero"},
        {0xC0000095, "an Integer Overflow"},
        {0xC0000096, "a Privileged Instruction"},
        {0xC00000FD, "a Stack Overflow"},
        {0xC0000142, "a DLL Initialization Failed"},
        {0xE06D7363, "a Microsoft C++ Exception"},
    };
    for (const Entry& entry : kTable) {
        if (entry.nCode == nCode) return entry.pszPhrase;
    }
    return "an Unknown exception type";
}

std::uint32_t mcCrashReporter::CodeOfSignal(int nSignal, int nSignalCode) noexcept {
    switch (nSignal) {
        case SIGSEGV:
            return kAccessViolation;
        case SIGBUS:
            return nSignalCode == BUS_ADRALN ? 0x80000002 : 0xC0000006;
        case SIGILL:
            return (nSignalCode == ILL_PRVOPC || nSignalCode == ILL_PRVREG) ? 0xC0000096 : 0xC000001D;
        case SIGTRAP:
            return kBreakpoint;
        case SIGABRT:
            return 0xC0000025;
        case SIGFPE:
            switch (nSignalCode) {
                case FPE_INTDIV:
                    return 0xC0000094;
                case FPE_INTOVF:
                    return 0xC0000095;
                case FPE_FLTDIV:
                    return 0xC000008E;
                case FPE_FLTOVF:
                    return 0xC0000091;
                case FPE_FLTUND:
                    return 0xC0000093;
                case FPE_FLTRES:
                    return 0xC000008F;
                case FPE_FLTINV:
                    return 0xC0000090;
                case FPE_FLTSUB:
                    return 0xC000008C;
                default:
                    return 0xC0000090;
            }
        default:
            return 0;
    }
}

std::string mcCrashReporter::ReportPath() {
    return g_facts.szReportPath;
}
std::string mcCrashReporter::HistoryPath() {
    return g_facts.szHistoryPath;
}
std::string mcCrashReporter::DefaultDumpPath() {
    return g_facts.szDumpPath;
}
std::string mcCrashReporter::Folder() {
    return g_facts.szFolder;
}
