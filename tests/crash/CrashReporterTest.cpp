// The crash report of signals in child processes: report text, history line,
// minidump, the one-shot rule and the breakpoint rule.
#include <signal.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "crash/CrashTestSupport.h"
#include "crash/mcCrashGuardScope.h"
#include "crash/mcCrashReporter.h"

namespace {

using crashtest::CountOf;
using crashtest::DecodeUtf16;
using crashtest::HistoryLines;
using crashtest::RunCrashChild;

// Keeps the compiler from seeing through the faults.
volatile int g_nZero = 0;
int* volatile g_pNull = nullptr;
volatile std::uintptr_t g_nLowAddress = 0x10;

// Runs until the stack is used up.
__attribute__((noinline)) int Recurse(int n) {
    volatile char pad[512];
    pad[0] = static_cast<char>(n);
    if (g_nZero < 0) return 0;
    return Recurse(n + 1) + pad[0];
}

std::string ReportOf(const fstest::TempDir& dir) {
    return DecodeUtf16(dir / "ErrorLog.Txt");
}

TEST(CrashReporterTest, WriteToNullGivesReportHistoryAndDump) {
    fstest::TempDir dir;
    const crashtest::ChildEnd end = RunCrashChild(dir.Path(), [] {
        const mcCrashGuardScope scope("moComponentMgr::", "StartComponentInstall");
        *g_pNull = 1;
    });
    // The signal's default action still ends the process.
    EXPECT_TRUE(end.bSignaled);
    EXPECT_EQ(end.nSignal, SIGSEGV);

    const std::string strReport = ReportOf(dir);
    EXPECT_NE(strReport.find("test_crash caused an Access Violation (0xc0000005) \r\nin module test_crash at 0033:"),
              std::string::npos)
        << strReport.substr(0, 400);
    EXPECT_NE(strReport.find("Exception handler called in moComponentMgr::StartComponentInstall.\r\n"),
              std::string::npos);
    EXPECT_NE(strReport.find("Write to location 00000000 caused an access violation.\r\n"), std::string::npos);
    for (const char* pszPart :
         {"Error occurred at ", "Operating system:  ", " processor(s), type 8664.\r\n", "% memory in use.\r\n",
          " MBytes user address space free.\r\n", "\r\nContext:\r\nRDI:    0x", "\r\nBytes at CS:EIP:\r\n",
          "\r\n\r\nStack:\r\n0x", "Module 1\r\n", "Image Base: 0x", "   FileVer:    1.0.0.73\r\n",
          "===== [end of ErrorLog.Txt] =====\r\n\r\n"}) {
        EXPECT_NE(strReport.find(pszPart), std::string::npos) << pszPart;
    }
    // Stack lines: four 64-bit words and their characters.
    const std::size_t nStack = strReport.find("Stack:\r\n") + 8;
    const std::string strFirst = strReport.substr(nStack, strReport.find("\r\n", nStack) - nStack);
    EXPECT_EQ(strFirst.size(), 2 + 16 + 2 + 4 * 17 + 32u) << strFirst;

    const std::vector<std::string> vecLines = HistoryLines(dir.Path());
    ASSERT_EQ(vecLines.size(), 1u);
    const std::vector<std::string> vecFields = crashtest::Split(vecLines[0], ", ");
    ASSERT_EQ(vecFields.size(), 10u) << vecLines[0];
    EXPECT_EQ(vecFields[0], "test_crash");
    EXPECT_EQ(vecFields[2], "1.0.0.73");
    EXPECT_EQ(vecFields[3], "0xC0000005");
    EXPECT_EQ(vecFields[4], "test_crash");
    EXPECT_EQ(vecFields[6], "1.0.0.73");
    EXPECT_EQ(vecFields[7].substr(0, 5), "0033:");
    EXPECT_EQ(vecFields[9], "moComponentMgr::StartComponentInstall");

    const std::string strDump = fstest::ReadFile(dir / "test_crash.1.0.0.73.Dmp");
    ASSERT_GE(strDump.size(), 32u);
    EXPECT_EQ(strDump.substr(0, 4), "MDMP");
    // Stack memory and paths of a root service: readable by the owner only.
    for (const char* pszName : {"ErrorLog.Txt", "CrashHistory.CSV", "test_crash.1.0.0.73.Dmp"}) {
        const auto perms = std::filesystem::status(dir / pszName).permissions();
        EXPECT_EQ(perms & (std::filesystem::perms::group_all | std::filesystem::perms::others_all),
                  std::filesystem::perms::none)
            << pszName;
    }
}

struct SignalCase {
    const char* pszName;
    void (*fnFault)();
    int nSignal;
    const char* pszExpected;
};

const SignalCase kSignalCases[] = {
    {"IntegerDivideByZero", [] { g_nZero = 7 / g_nZero; }, SIGFPE, "an Integer Divide by Zero (0xc0000094)"},
    {"ReadFromLowAddress", [] { g_nZero = *reinterpret_cast<volatile int*>(g_nLowAddress); }, SIGSEGV,
     "Read from location 00000010 caused an access violation."},
    {"IllegalInstruction", [] { __builtin_trap(); }, SIGILL, "an Illegal Instruction (0xc000001d)"},
    {"Abort", [] { std::abort(); }, SIGABRT, "a Noncontinuable Exception (0xc0000025)"},
    {"BusError", [] { ::raise(SIGBUS); }, SIGBUS, "an In Page Error (0xc0000006)"},
    // Reported from the alternate stack.
    {"StackOverflow", [] { g_nZero = Recurse(0); }, SIGSEGV, "a Stack Overflow (0xc00000fd)"},
};

class CrashSignalTest : public ::testing::TestWithParam<SignalCase> {};

TEST_P(CrashSignalTest, IsReportedAndEndsTheProcess) {
    fstest::TempDir dir;
    const SignalCase& c = GetParam();
    const crashtest::ChildEnd end = RunCrashChild(dir.Path(), [&] {
        const mcCrashGuardScope scope(nullptr, "mcComponentMgrJobQueueEngine::Run");
        c.fnFault();
    });
    EXPECT_TRUE(end.bSignaled);
    EXPECT_EQ(end.nSignal, c.nSignal);
    const std::string strReport = ReportOf(dir);
    EXPECT_NE(strReport.find(c.pszExpected), std::string::npos) << strReport.substr(0, 600);
    EXPECT_NE(strReport.find("Exception handler called in mcComponentMgrJobQueueEngine::Run."), std::string::npos);
    EXPECT_EQ(HistoryLines(dir.Path()).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Signals, CrashSignalTest, ::testing::ValuesIn(kSignalCases),
                         [](const auto& info) { return std::string(info.param.pszName); });

TEST(CrashReporterTest, OnlyTheFirstFaultIsReported) {
    fstest::TempDir dir;
    const std::string strVerdicts = dir / "verdicts";
    const crashtest::ChildEnd end = RunCrashChild(dir.Path(), [&] {
        msCrashException exception;
        exception.nCode = mcCrashReporter::kCppException;
        const int nFirst = mcCrashReporter::Report(exception, "moComponentMgr::ClientInstalled", false, nullptr);
        const int nSecond = mcCrashReporter::Report(exception, "moComponentMgr::ClientUninstalled", false, nullptr);
        fstest::WriteFile(strVerdicts, std::to_string(nFirst) + " " + std::to_string(nSecond));
        *g_pNull = 2;  // a third fault: not reported, the default action ends us
    });
    EXPECT_EQ(end.nSignal, SIGSEGV);
    EXPECT_EQ(fstest::ReadFile(strVerdicts), "1 0");
    const std::string strReport = ReportOf(dir);
    EXPECT_EQ(CountOf(strReport, "===== [end of ErrorLog.Txt] ====="), 1);
    EXPECT_NE(strReport.find("a Microsoft C++ Exception (0xe06d7363)"), std::string::npos);
    EXPECT_NE(strReport.find("moComponentMgr::ClientInstalled."), std::string::npos);
    EXPECT_EQ(strReport.find("ClientUninstalled"), std::string::npos);
    EXPECT_EQ(HistoryLines(dir.Path()).size(), 1u);
    EXPECT_FALSE(crashtest::FindDump(dir.Path()).empty());
}

TEST(CrashReporterTest, BreakpointFirstWritesNothingAndSilencesLaterFaults) {
    fstest::TempDir dir;
    const std::string strMarker = dir / "went-on";
    const crashtest::ChildEnd end = RunCrashChild(dir.Path(), [&] {
        const mcCrashGuardScope scope("moComponentMgr::", "Register");
        __asm__ volatile("int3");
        // Execution goes on after the breakpoint (verdict -1).
        fstest::WriteFile(strMarker, "yes");
        *g_pNull = 3;
    });
    EXPECT_EQ(end.nSignal, SIGSEGV);
    EXPECT_EQ(fstest::ReadFile(strMarker), "yes");
    EXPECT_FALSE(std::filesystem::exists(dir / "ErrorLog.Txt"));
    EXPECT_FALSE(std::filesystem::exists(dir / "CrashHistory.CSV"));
    EXPECT_TRUE(crashtest::FindDump(dir.Path()).empty());
}

TEST(CrashReporterTest, DirectBreakpointVerdictIsContinueExecution) {
    fstest::TempDir dir;
    const std::string strVerdicts = dir / "verdicts";
    RunCrashChild(dir.Path(), [&] {
        msCrashException exception;
        exception.nCode = mcCrashReporter::kBreakpoint;
        const int nFirst = mcCrashReporter::Report(exception, "x", false, nullptr);
        exception.nCode = mcCrashReporter::kAccessViolation;
        const int nSecond = mcCrashReporter::Report(exception, "x", false, nullptr);
        fstest::WriteFile(strVerdicts, std::to_string(nFirst) + " " + std::to_string(nSecond));
    });
    EXPECT_EQ(fstest::ReadFile(strVerdicts), "-1 0");
    EXPECT_FALSE(std::filesystem::exists(dir / "ErrorLog.Txt"));
}

// A history of n lines "old 0" ... before the fault.
std::string OldHistory(int nLines) {
    std::string strBytes = "\xFF\xFE";
    for (int i = 0; i < nLines; ++i) {
        for (const char c : "old " + std::to_string(i) + "\r\n") {
            strBytes.push_back(c);
            strBytes.push_back('\0');
        }
    }
    return strBytes;
}

struct HistoryCase {
    const char* pszName;
    std::string strBefore;
    std::size_t nLinesAfter;
    const char* pszFirstAfter;  // null: the new line
};

class CrashHistoryTest : public ::testing::TestWithParam<HistoryCase> {};

TEST_P(CrashHistoryTest, StaysBounded) {
    fstest::TempDir dir;
    const HistoryCase& c = GetParam();
    fstest::WriteFile(dir / "CrashHistory.CSV", c.strBefore);
    RunCrashChild(dir.Path(), [] { *g_pNull = 4; });
    const std::vector<std::string> vecLines = HistoryLines(dir.Path());
    ASSERT_EQ(vecLines.size(), c.nLinesAfter);
    if (c.pszFirstAfter) {
        EXPECT_EQ(vecLines.front(), c.pszFirstAfter);
    }
    EXPECT_NE(vecLines.back().find(", 0xC0000005, "), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir / "CrashHistory.Tmp"));
}

INSTANTIATE_TEST_SUITE_P(Lines, CrashHistoryTest,
                         ::testing::Values(HistoryCase{"NinetyNineGrowsToHundred", OldHistory(99), 100, "old 0"},
                                           HistoryCase{"HundredDropsTheOldest", OldHistory(100), 100, "old 1"},
                                           HistoryCase{"HalfCharacterIsCutBack", OldHistory(5) + "x", 1, nullptr},
                                           HistoryCase{"Empty", "", 1, nullptr}),
                         [](const auto& info) { return std::string(info.param.pszName); });

TEST(CrashReporterTest, FilesGoToTheApplicationFolderWhenTheProgramsFolderIsNotWritable) {
    fstest::TempDir dir;
    mcCrashReporter::Config config;
    config.strAppFolder = dir.Path();
    config.strExecutablePath = "/nonexistent-folder/Kettrin";
    mcCrashReporter::Prepare(config);
    EXPECT_EQ(mcCrashReporter::Folder(), dir.Path());
    EXPECT_EQ(mcCrashReporter::ReportPath(), dir / "ErrorLog.Txt");
    // No version note in a missing file: 0.0.0.0.
    EXPECT_EQ(mcCrashReporter::DefaultDumpPath(), dir / "Kettrin.0.0.0.0.Dmp");
    config.strExecutablePath = dir / "Kettrin";
    mcCrashReporter::Prepare(config);
    EXPECT_EQ(mcCrashReporter::Folder(), dir.Path());
}

}  // namespace
