// The service's parts that need no bus: command line, configuration, the
// interface table and its installed form, the crash hook, the cleanup thread.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "contract/ComponentMgrIfc.h"
#include "support/FsTestUtil.h"
#include "service/ServerCommandLine.h"
#include "service/ServerRegistration.h"
#include "service/mcCleanupThread.h"
#include "service/mcComponentMgrBusBinding.h"
#include "service/mcDefaultCrashReportHook.h"
#include "service/mcServiceConfig.h"

namespace {

msServerCommandLine Parse(const std::vector<std::string>& vecArgs) { return mfParseServerCommandLine(vecArgs); }

TEST(ServerCommandLine, SwitchesAfterSlashOrDashInAnyCase) {
    EXPECT_EQ(Parse({"/RegServer"}).action, mcServerAction::kRegServer);
    EXPECT_EQ(Parse({"-regserver"}).action, mcServerAction::kRegServer);
    EXPECT_EQ(Parse({"/UNREGSERVER"}).action, mcServerAction::kUnregServer);
    EXPECT_EQ(Parse({"-UnRegServer"}).action, mcServerAction::kUnregServer);
    // Without "-" or "/" the word is no switch: the server runs.
    EXPECT_EQ(Parse({"RegServer"}).action, mcServerAction::kRunServer);
    EXPECT_EQ(Parse({}).action, mcServerAction::kRunServer);
    // A longer word is another switch.
    EXPECT_EQ(Parse({"/RegServerX"}).action, mcServerAction::kRunServer);
    EXPECT_EQ(Parse({"/Reg"}).action, mcServerAction::kRunServer);
}

TEST(ServerCommandLine, FirstKnownSwitchWinsOthersAreSkipped) {
    EXPECT_EQ(Parse({"/UnregServer", "/RegServer"}).action, mcServerAction::kUnregServer);
    EXPECT_EQ(Parse({"-RegServer", "-UnregServer"}).action, mcServerAction::kRegServer);
    EXPECT_EQ(Parse({"/Embedding", "-foo", "/unregserver"}).action, mcServerAction::kUnregServer);
    // Several switches in one argument are found as well.
    EXPECT_EQ(Parse({"-x /regserver"}).action, mcServerAction::kRegServer);
}

TEST(ServerCommandLine, SessionSwitch) {
    const msServerCommandLine line = Parse({"--session"});
    EXPECT_EQ(line.action, mcServerAction::kRunServer);
    EXPECT_TRUE(line.bSessionBus);
    EXPECT_FALSE(Parse({"-session"}).bSessionBus);
    const msServerCommandLine both = Parse({"--session", "/RegServer"});
    EXPECT_EQ(both.action, mcServerAction::kRegServer);
    EXPECT_TRUE(both.bSessionBus);
}

TEST(ServiceConfig, FromEnvironment) {
    std::map<std::string, std::string> mapEnv;
    const mcEnvLookup lookup = [&](const char* pszName) -> const char* {
        auto it = mapEnv.find(pszName);
        return it == mapEnv.end() ? nullptr : it->second.c_str();
    };
    mcServiceConfig config = mcServiceConfig::FromEnvironment(false, lookup);
    EXPECT_EQ(config.strActivationDir, mcServiceConfig::kDefaultServiceDir);
    EXPECT_EQ(config.shutdownDelay, std::chrono::milliseconds{5000});
    EXPECT_EQ(config.pauseAfterLoop, std::chrono::milliseconds{1000});
    EXPECT_EQ(config.cleanupInterval, std::chrono::milliseconds{30000});
    EXPECT_FALSE(config.bSessionBus);
    EXPECT_TRUE(config.strBusAddress.empty());

    mapEnv[mcServiceConfig::kEnvServiceDir] = "/tmp/services";
    mapEnv[mcServiceConfig::kEnvShutdownDelay] = "250";
    config = mcServiceConfig::FromEnvironment(true, lookup);
    EXPECT_EQ(config.strActivationDir, "/tmp/services");
    EXPECT_EQ(config.shutdownDelay, std::chrono::milliseconds{250});
    EXPECT_TRUE(config.bSessionBus);

    for (const char* pszBad : {"-5", "12abc", "", " 7", "99999999999999999999"}) {
        mapEnv[mcServiceConfig::kEnvShutdownDelay] = pszBad;
        EXPECT_EQ(mcServiceConfig::FromEnvironment(false, lookup).shutdownDelay, std::chrono::milliseconds{5000})
            << pszBad;
    }
}

TEST(ServiceConfig, ExecutablePathDefaultsToThisProgram) {
    mcServiceConfig config;
    const std::string strSelf = config.ExecutablePath();
    ASSERT_FALSE(strSelf.empty());
    EXPECT_NE(strSelf.find("test_service"), std::string::npos) << strSelf;
    config.strExecutablePath = "/opt/x/Kettrin";
    EXPECT_EQ(config.ExecutablePath(), "/opt/x/Kettrin");
}

TEST(InterfaceTable, EveryServiceMethodIsBoundAndTheTableIsComplete) {
    const auto& vecMethods = cmifc::ServiceMethods();
    EXPECT_EQ(mcComponentMgrBusBinding::HandledMethodCount(), vecMethods.size());
    // 3 + 5 + 5 + 15 methods, the four-argument overload under its own name.
    std::map<std::string, int> mapPerInterface;
    std::set<std::string> setNames;
    for (const auto& method : vecMethods) {
        ++mapPerInterface[method.pszInterface];
        EXPECT_TRUE(setNames.insert(method.pszMember).second) << "duplicate " << method.pszMember;
        EXPECT_EQ(method.OutSignature().substr(0, 1), "i") << method.pszMember;
    }
    EXPECT_EQ(mapPerInterface[cmifc::kIfaceControl], 3);
    EXPECT_EQ(mapPerInterface[cmifc::kIfaceManifest], 5);
    EXPECT_EQ(mapPerInterface[cmifc::kIfaceInstaller], 5);
    EXPECT_EQ(mapPerInterface[cmifc::kIfaceComponentMgr], 15);

    const cmifc::msMethod* pEx = cmifc::FindMethod(cmifc::kIfaceComponentMgr, "IsComponentUpdateAvailForInstallEx");
    ASSERT_NE(pEx, nullptr);
    EXPECT_EQ(pEx->InSignature(), "ss");
    EXPECT_EQ(pEx->OutSignature(), "isb");
    const cmifc::msMethod* pRegister = cmifc::FindMethod(cmifc::kIfaceControl, "Register");
    ASSERT_NE(pRegister, nullptr);
    EXPECT_EQ(pRegister->InSignature(), "o");
    EXPECT_EQ(pRegister->OutSignature(), "iu");
    EXPECT_EQ(cmifc::FindMethod(cmifc::kIfaceComponentMgr, "StartComponentInstall")->InSignature(), "ssso");
    EXPECT_EQ(cmifc::FindMethod(cmifc::kIfaceComponentMgr, "GetComponents"), nullptr);
    // The client-side interfaces.
    EXPECT_EQ(cmifc::FindMethod(cmifc::kIfaceCallback, "OnDownloadFailed")->InSignature(), "sis");
    EXPECT_EQ(cmifc::FindMethod(cmifc::kIfaceCallback, "OnInstallComplete")->InSignature(), "sbs");
    EXPECT_EQ(cmifc::FindMethod(cmifc::kIfaceNotify, "OnManifestUpdated")->InSignature(), "s");
    EXPECT_EQ(cmifc::FindMethod(cmifc::kIfacePlugin, "DisableComponent")->InSignature(), "ss");
    EXPECT_EQ(cmifc::FindMethod(cmifc::kIfaceWindow, "Close")->OutSignature(), "");
}

TEST(InterfaceTable, InstalledTypeLibraryMatchesTheTable) {
    // packaging/ComponentMgr.xml is what gets installed; it must describe
    // exactly what the service registers.
    const std::string strInstalled = fstest::ReadFile(std::string(KETTRIN_TEST_DATA) + "/../../packaging/ComponentMgr.xml");
    ASSERT_FALSE(strInstalled.empty());
    EXPECT_EQ(strInstalled, cmifc::TypeLibraryXml());
    EXPECT_NE(strInstalled.find("<method name=\"IsComponentUpdateAvailForInstallEx\">"), std::string::npos);
    EXPECT_NE(strInstalled.find("<property name=\"Title\" type=\"s\" access=\"read\"/>"), std::string::npos);
}

TEST(InterfaceTable, BusErrorsBecomeHResults) {
    using namespace cmifc;
    EXPECT_EQ(HResultFromBusError("org.freedesktop.DBus.Error.ServiceUnknown"), CO_E_SERVER_EXEC_FAILURE);
    EXPECT_EQ(HResultFromBusError("org.freedesktop.DBus.Error.Spawn.ChildExited"), CO_E_SERVER_EXEC_FAILURE);
    EXPECT_EQ(HResultFromBusError("org.freedesktop.DBus.Error.NoReply"), RPC_E_TIMEOUT);
    EXPECT_EQ(HResultFromBusError("org.freedesktop.DBus.Error.Disconnected"), RPC_E_DISCONNECTED);
    EXPECT_EQ(HResultFromBusError("org.freedesktop.DBus.Error.Failed"), RPC_E_SERVERFAULT);
    EXPECT_EQ(HResultFromBusError("org.freedesktop.DBus.Error.UnknownMethod"), E_NOINTERFACE);
    EXPECT_EQ(HResultFromBusError("org.freedesktop.DBus.Error.InvalidArgs"), E_INVALIDARG);
    EXPECT_EQ(HResultFromBusError("org.freedesktop.DBus.Error.AccessDenied"), E_ACCESSDENIED);
    EXPECT_EQ(HResultFromBusError("com.example.Whatever"), E_FAIL);
    EXPECT_EQ(HResultFromBusError(""), E_FAIL);
    EXPECT_EQ(FormatHResult(E_NOTIMPL), "0x80004001");
    EXPECT_EQ(FormatHResult(S_FALSE), "0x00000001");
}

TEST(Registration, ActivationFileQuotesPathsTheBusWouldSplit) {
    EXPECT_EQ(svcreg::mfActivationFileText("/usr/bin/Kettrin"),
              "[D-BUS Service]\nName=ComponentMgr.ComponentMgrObj\nExec=/usr/bin/Kettrin\nUser=root\n"
              "SystemdService=kettrin.service\n");
    EXPECT_NE(svcreg::mfActivationFileText("/opt/my dir/Kettrin").find("Exec='/opt/my dir/Kettrin'\n"),
              std::string::npos);
    EXPECT_NE(svcreg::mfActivationFileText("/opt/it's/Kettrin").find("Exec='/opt/it'\\''s/Kettrin'\n"),
              std::string::npos);
}

TEST(CrashHook, FirstFaultEndsTheServerLaterOnesAreLeftToTheCaller) {
    mcDefaultCrashReportHook hook;
    EXPECT_EQ(hook.ReportCount(), 0);
    EXPECT_EQ(hook.ReportFault("moComponentMgr::Register", std::make_exception_ptr(std::runtime_error("boom"))),
              ICrashReportHook::Verdict::kExecuteHandler);
    EXPECT_EQ(hook.ReportCount(), 1);
    EXPECT_EQ(hook.ReportFault("moComponentMgr::ClearTasks", std::make_exception_ptr(std::runtime_error("again"))),
              ICrashReportHook::Verdict::kContinueSearch);
    EXPECT_EQ(mcDefaultCrashReportHook::DescribeException(std::make_exception_ptr(std::runtime_error("x"))), "x");
    EXPECT_EQ(mcDefaultCrashReportHook::DescribeException(std::make_exception_ptr(42)), "unknown exception");
    EXPECT_EQ(mcDefaultCrashReportHook::DescribeException(nullptr), "unknown exception");
}

bool WaitForTrims(const std::atomic<int>& nTrims, int nAtLeast) {
    const auto tpEnd = std::chrono::steady_clock::now() + std::chrono::seconds{10};
    while (nTrims.load() < nAtLeast) {
        if (std::chrono::steady_clock::now() > tpEnd) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds{5});
    }
    return true;
}

bool WaitForTrims(const mcCleanupThread& thread) {
    const auto tpEnd = std::chrono::steady_clock::now() + std::chrono::seconds{10};
    while (thread.TrimCount() < 1) {
        if (std::chrono::steady_clock::now() > tpEnd) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds{5});
    }
    return true;
}

TEST(CleanupThread, TrimsPeriodicallyAtIdlePriorityAndStopsPromptly) {
    std::atomic<int> nTrims{0};
    mcCleanupThread thread(std::chrono::milliseconds{20}, [&] { ++nTrims; });
    ASSERT_TRUE(thread.Start());
    EXPECT_FALSE(thread.Start());  // once
    ASSERT_TRUE(WaitForTrims(nTrims, 3));
    const int nTid = thread.ThreadId();
    ASSERT_GT(nTid, 0);
    const int nPolicy = sched_getscheduler(nTid);
    errno = 0;
    const int nNice = getpriority(PRIO_PROCESS, static_cast<id_t>(nTid));
    // Idle scheduling where the system allows it, and the highest nice value.
    EXPECT_TRUE(nPolicy == SCHED_IDLE || nNice == 19) << nPolicy << " " << nNice;
    EXPECT_EQ(nNice, 19);

    const auto tpStart = std::chrono::steady_clock::now();
    thread.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - tpStart, std::chrono::seconds{5});
    EXPECT_FALSE(thread.IsRunning());
    const int nAfterStop = nTrims.load();
    std::this_thread::sleep_for(std::chrono::milliseconds{60});
    EXPECT_EQ(nTrims.load(), nAfterStop);
    EXPECT_EQ(thread.TrimCount(), nAfterStop);
}

TEST(CleanupThread, LongIntervalStillStopsAtOnce) {
    mcCleanupThread thread(std::chrono::hours{1}, [] {});
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(WaitForTrims(thread));
    const auto tpStart = std::chrono::steady_clock::now();
    thread.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - tpStart, std::chrono::seconds{5});
}

}  // namespace
