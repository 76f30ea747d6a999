// Crash reports of the service: a fault inside a bus method of a running
// server, a fault on an engine worker, and a crash of the real program whose
// minidump lldb opens.
#include <poll.h>
#include <signal.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "client/mcComponentMgrClient.h"
#include "crash/CrashTestSupport.h"
#include "crash/mcCrashDialog.h"
#include "jobs/mcComponentMgrJob.h"
#include "jobs/mcComponentMgrJobQueueEngine.h"
#include "service/ServiceTestEnv.h"
#include "service/mcCrashReportHook.h"

namespace {

using namespace std::chrono_literals;
using crashtest::HistoryLines;

int* volatile g_pNull = nullptr;

enum class Fault { kSignal, kException };

void DoFault(Fault fault) {
    if (fault == Fault::kSignal) *g_pNull = 1;
    throw std::runtime_error("probe fault");
}

struct FaultCase {
    const char* pszName;
    Fault fault;
    const char* pszPhrase;
};

const FaultCase kFaultCases[] = {
    {"Signal", Fault::kSignal, "an Access Violation (0xc0000005)"},
    {"CppException", Fault::kException, "a Microsoft C++ Exception (0xe06d7363)"},
};

bool WaitReadable(int fd, int nMilliseconds) {
    struct pollfd entry {
        fd, POLLIN, 0
    };
    return ::poll(&entry, 1, nMilliseconds) == 1;
}

class CrashServiceTest : public ::testing::TestWithParam<FaultCase> {};

// The test's own in-process server faults inside UpdateManifests: its
// connection check (a test configuration function) faults once armed.
TEST_P(CrashServiceTest, FaultInABusMethodIsReportedAndEndsTheServer) {
    const FaultCase& c = GetParam();
    svctest::TestMachine machine;
    testsupport::PrivateBus bus;
    fstest::TempDir crashDir;
    int fdReady[2];
    ASSERT_EQ(::pipe(fdReady), 0);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        crashtest::NoCoreFiles();
        mcCrashReporter::Config crashConfig;
        crashConfig.strFolder = crashDir.Path();
        mcCrashReportHook hook(crashConfig);
        static std::atomic<bool> s_bArmed{false};
        static std::atomic<int> s_nChecks{0};
        mcServiceConfig config = svctest::TestConfig(machine, bus);
        config.fnConnectionCheck = [&c] {
            if (s_bArmed) DoFault(c.fault);
            ++s_nChecks;
            return false;
        };
        svctest::InProcessServer server(std::move(config), nullptr, &hook);
        if (!server.WaitServing(bus)) ::_exit(10);
        // The start-up update runs on the background worker and checks the
        // connection twice (the forced first update, then the due one); the
        // fault is armed only after it, so that it fires in UpdateManifests.
        if (!svctest::WaitFor([] { return s_nChecks.load() >= 2; })) ::_exit(13);
        s_bArmed = true;
        (void)::write(fdReady[1], "r", 1);
        if (!server.WaitEnded(20s)) ::_exit(11);
        ::_exit(server.Server().GetEndReason() == mcComponentMgrServer::EndReason::kTerminated ? 0 : 12);
    }
    ::close(fdReady[1]);
    ASSERT_TRUE(WaitReadable(fdReady[0], 20000));
    ::close(fdReady[0]);

    mcComponentMgrClient::Options options;
    options.strBusAddress = bus.Address();
    options.bAutoStart = false;
    options.timeout = 20s;
    mcComponentMgrClient client(options);
    const HRESULT hr = client.UpdateManifests();
    EXPECT_TRUE(FAILED(hr));
    const crashtest::ChildEnd end = crashtest::WaitChild(pid);
    if (c.fault == Fault::kSignal) {
        EXPECT_EQ(end.nSignal, SIGSEGV);
    } else {
        // The terminate handler ended the main loop; the call failed.
        EXPECT_EQ(end.nExit, 0);
        EXPECT_EQ(hr, cmifc::RPC_E_SERVERFAULT);
        EXPECT_EQ(machine.CountLogLines("moComponentMgr::UpdateManifests: unhandled exception: probe fault"), 1);
    }
    const std::string strReport = crashtest::DecodeUtf16(crashDir / "ErrorLog.Txt");
    EXPECT_NE(strReport.find(c.pszPhrase), std::string::npos) << strReport.substr(0, 300);
    EXPECT_NE(strReport.find("Exception handler called in moComponentMgr::UpdateManifests.\r\n"), std::string::npos);
    const std::vector<std::string> vecLines = HistoryLines(crashDir.Path());
    ASSERT_EQ(vecLines.size(), 1u);
    EXPECT_EQ(crashtest::Split(vecLines[0], ", ").back(), "moComponentMgr::UpdateManifests");
    EXPECT_FALSE(crashtest::FindDump(crashDir.Path()).empty());
}

INSTANTIATE_TEST_SUITE_P(Faults, CrashServiceTest, ::testing::ValuesIn(kFaultCases),
                         [](const auto& info) { return std::string(info.param.pszName); });

// A job that faults on the engine's worker thread.
class FaultingJob : public mcComponentMgrJob {
public:
    explicit FaultingJob(Fault fault) : mcComponentMgrJob(nullptr, {}, "m", "c", "comp"), m_fault(fault) {}
    bool Run() override {
        DoFault(m_fault);
        return true;
    }

private:
    Fault m_fault;
};

class ReportingHooks : public IJobThreadHooks {
public:
    explicit ReportingHooks(ICrashReportHook& hook) : m_hook(hook) {}
    void OnFault(const std::string& strFunction, std::exception_ptr pException) override {
        const bool bHandler = m_hook.ReportFault(strFunction, pException) == ICrashReportHook::Verdict::kExecuteHandler;
        ::_exit(bHandler ? 0 : 20);
    }

private:
    ICrashReportHook& m_hook;
};

class CrashEngineTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(CrashEngineTest, FaultOnAWorkerIsReportedUnderTheEngineFunction) {
    const FaultCase& c = GetParam();
    fstest::TempDir crashDir;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        crashtest::NoCoreFiles();
        mcCrashReporter::Config crashConfig;
        crashConfig.strFolder = crashDir.Path();
        mcCrashReportHook hook(crashConfig);
        mcComponentMgrJobQueueEngine engine(std::make_shared<ReportingHooks>(hook));
        engine.Resume();
        engine.AddJob(std::make_unique<FaultingJob>(c.fault));
        std::this_thread::sleep_for(20s);
        ::_exit(30);
    }
    const crashtest::ChildEnd end = crashtest::WaitChild(pid);
    if (c.fault == Fault::kSignal) {
        EXPECT_EQ(end.nSignal, SIGSEGV);
    } else {
        EXPECT_EQ(end.nExit, 0);
    }
    const std::string strReport = crashtest::DecodeUtf16(crashDir / "ErrorLog.Txt");
    EXPECT_NE(strReport.find(c.pszPhrase), std::string::npos);
    EXPECT_NE(strReport.find("Exception handler called in mcComponentMgrJobQueueEngine::Run.\r\n"), std::string::npos);
    EXPECT_EQ(HistoryLines(crashDir.Path()).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Faults, CrashEngineTest, ::testing::ValuesIn(kFaultCases),
                         [](const auto& info) { return std::string(info.param.pszName); });

// The real program, run from a folder of its own: a crash leaves a report, a
// history line and a minidump that lldb opens, showing the faulting thread
// and our program among the modules.
TEST(CrashProgramTest, RealServerCrashLeavesFilesThatLldbReads) {
    svctest::TestMachine machine;
    testsupport::PrivateBus bus;
    fstest::TempDir binDir;
    for (const char* pszProgram : {"Kettrin", "ZR_CrashDlg"}) {
        std::filesystem::copy_file(std::string(KETTRIN_BINARY_DIR) + "/src/" + pszProgram, binDir / pszProgram);
    }
    const std::string strProgram = binDir / "Kettrin";
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        crashtest::NoCoreFiles();
        ::setenv("KETTRIN_BUS_ADDRESS", bus.Address().c_str(), 1);
        ::execl(strProgram.c_str(), strProgram.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    mcBusConnection connection = mcBusConnection::OpenAddress(bus.Address());
    ASSERT_TRUE(svctest::WaitFor([&] { return connection.NameHasOwner(cmifc::kBusName); }));
    ASSERT_EQ(::kill(pid, SIGSEGV), 0);
    const crashtest::ChildEnd end = crashtest::WaitChild(pid);
    EXPECT_EQ(end.nSignal, SIGSEGV);

    const std::string strReport = crashtest::DecodeUtf16(binDir / "ErrorLog.Txt");
    EXPECT_EQ(strReport.rfind("Kettrin caused an Access Violation (0xc0000005) \r\n", 0), 0u)
        << strReport.substr(0, 200);
    EXPECT_NE(strReport.find(strProgram + ", run by "), std::string::npos);
    // A signal sent by another process names no faulting address.
    EXPECT_EQ(strReport.find("caused an access violation."), std::string::npos);
    const std::vector<std::string> vecLines = HistoryLines(binDir.Path());
    ASSERT_EQ(vecLines.size(), 1u);
    const std::vector<std::string> vecFields = crashtest::Split(vecLines[0], ", ");
    ASSERT_EQ(vecFields.size(), 10u);
    EXPECT_EQ(vecFields[1], strProgram);
    EXPECT_EQ(vecFields[2], "1.0.0.73");

    const std::string strDump = binDir / "Kettrin.1.0.0.73.Dmp";
    ASSERT_TRUE(std::filesystem::exists(strDump));
    const std::string strLldb =
        crashtest::RunCapture("lldb --batch --core '" + strDump + "' -o 'thread list' -o 'image list' 2>&1");
    // A signal sent to the process is taken by one of its threads: that one
    // is the faulting thread of the dump.
    EXPECT_NE(strLldb.find("* thread #1: tid = "), std::string::npos) << strLldb;
    EXPECT_NE(strLldb.find("stop reason = signal SIGSEGV"), std::string::npos) << strLldb;
    EXPECT_NE(strLldb.find(" " + strProgram), std::string::npos) << strLldb;
    EXPECT_NE(strLldb.find("libc.so.6"), std::string::npos);
}

struct DumpTypeCase {
    const char* pszName;
    std::uint32_t nType;  // registry value type; 0: no value
    std::string strBytes;
    std::uint64_t nExpected;
};

class CrashDumpTypeTest : public ::testing::TestWithParam<DumpTypeCase> {};

// "MiniDumpType" of HKCU\Software\Tavrolin\MiniDump becomes the dump
// header's flags; anything but a 4-byte number means 0.
TEST_P(CrashDumpTypeTest, ComesFromTheRegistry) {
    const DumpTypeCase& c = GetParam();
    svctest::TestMachine machine;
    if (c.nType != 0) {
        core::registry::RegistryKey root(core::registry::kRootCurrentUser, "");
        root.CreateSubKey("Software\\Tavrolin\\MiniDump").SetValue("MiniDumpType", c.nType, c.strBytes);
    }
    fstest::TempDir dir;
    crashtest::RunCrashChild(dir.Path(), [] { *g_pNull = 2; });
    const std::string strDump = fstest::ReadFile(crashtest::FindDump(dir.Path()));
    ASSERT_GE(strDump.size(), 32u);
    std::uint64_t nFlags = 0;
    std::memcpy(&nFlags, strDump.data() + 24, 8);
    EXPECT_EQ(nFlags, c.nExpected);
}

INSTANTIATE_TEST_SUITE_P(Values, CrashDumpTypeTest,
                         ::testing::Values(DumpTypeCase{"Missing", 0, "", 0},
                                           DumpTypeCase{"Number", 4, std::string("\x02\0\0\0", 4), 2},
                                           DumpTypeCase{"WrongType", 1, "2", 0},
                                           DumpTypeCase{"WrongSize", 4, std::string("\x02\0", 2), 0}),
                         [](const auto& info) { return std::string(info.param.pszName); });

TEST(CrashProgramTest, CrashDialogTellsWhereTheFilesAre) {
    svctest::TestMachine machine;
    const std::string strDialog = std::string(KETTRIN_BINARY_DIR) + "/src/ZR_CrashDlg";
    std::string strError;
    EXPECT_EQ(svctest::RunProgram({strDialog, mcCrashDialog::kFlag, "/x/ErrorLog.Txt", "/x/K.Dmp"}, nullptr, &strError),
              0);
    EXPECT_NE(strError.find("/x/ErrorLog.Txt"), std::string::npos);
    EXPECT_NE(strError.find("/x/K.Dmp"), std::string::npos);
    EXPECT_NE(machine.ReadLog().find("The crash report is /x/ErrorLog.Txt"), std::string::npos);
    EXPECT_EQ(svctest::RunProgram({strDialog}), 2);
    // Launching: started from the given folder, or not at all.
    EXPECT_TRUE(mcCrashDialog::Launch(std::string(KETTRIN_BINARY_DIR) + "/src", "/x/ErrorLog.Txt", "/x/K.Dmp"));
    EXPECT_FALSE(mcCrashDialog::Launch("/nonexistent-folder", "/x/ErrorLog.Txt", "/x/K.Dmp"));
}

}  // namespace
