// The server in-process on a private bus: the object's interfaces, sinks and
// notifications, the window, the job engines' hooks, faults, and the nested
// dispatcher.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "ServiceJobs.h"
#include "ServiceTestEnv.h"
#include "support/ChildProgram.h"
#include "client/mcComponentMgrClient.h"
#include "base/DebugOutput.h"
#include "bus/mcBusExc.h"
#include "base/OsDependent.h"
#include "jobs/mcComponentMgrJobQueueEngine.h"
#include "jobs/mcWorkerBusConnection.h"
#include "service/mcHiddenWindow.h"
#include "service/mcServerLifetime.h"
#include "service/moComponentMgr.h"

namespace {

using namespace std::chrono_literals;
using svctest::InProcessServer;
using svctest::TestMachine;

constexpr const char* kTestPath = "/Test";
constexpr const char* kTestIface = "ComponentMgr.Test";

mcComponentMgrClient::Options ClientOptions(const testsupport::PrivateBus& bus) {
    mcComponentMgrClient::Options options;
    options.strBusAddress = bus.Address();
    options.timeout = 30s;
    return options;
}

// Calls a test-only method of the in-process server, pumping the client.
mcBusMessage CallTest(mcComponentMgrClient& client, const char* pszMember,
                      const std::function<void(mcBusMessage&)>& fnArgs = nullptr) {
    mcBusMessage call = client.Connection().NewMethodCall(cmifc::kBusName, kTestPath, kTestIface, pszMember);
    if (fnArgs) fnArgs(call);
    return client.Dispatcher().CallAsync(call, 30s);
}

// A crash hook that records the faults and answers with a fixed verdict.
class RecordingCrashHook : public ICrashReportHook {
public:
    explicit RecordingCrashHook(Verdict verdict) : m_verdict(verdict) {}
    Verdict ReportFault(const std::string& strWhere, std::exception_ptr) noexcept override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecWhere.push_back(strWhere);
        return m_verdict;
    }
    std::vector<std::string> Faults() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecWhere;
    }

private:
    Verdict m_verdict;
    std::mutex m_mutex;
    std::vector<std::string> m_vecWhere;
};

class RecordingSink : public IComponentMgrNotify {
public:
    RecordingSink(std::string strName, std::vector<std::string>& vecCalls, HRESULT hr)
        : m_strName(std::move(strName)), m_vecCalls(vecCalls), m_hr(hr) {}
    HRESULT OnManifestUpdated(const std::string& strManifest) override {
        m_vecCalls.push_back(m_strName + ":" + strManifest);
        if (m_fnDuring) m_fnDuring();
        return m_hr;
    }
    std::function<void()> m_fnDuring;

private:
    std::string m_strName;
    std::vector<std::string>& m_vecCalls;
    HRESULT m_hr;
};

// Test-only methods: Notify(s) -> i runs the object's notification;
// Fault() -> i throws inside the public-method wrapper; RunChild(as) -> i
// starts a program and waits for it with the nested dispatcher.
void AddTestMethods(mcComponentMgrServer& server) {
    mcBusDispatcher& dispatcher = server.Dispatcher();
    moComponentMgr& object = server.Object();
    dispatcher.AddMethod(kTestPath, kTestIface, "Notify", "s", [&object](mcBusMessage& call) {
        const std::string strManifest = call.ReadString();
        mcBusMessage reply = call.NewMethodReturn();
        reply.Append(object.NotifyManifestUpdated(strManifest));
        return reply;
    });
    dispatcher.AddMethod(kTestPath, kTestIface, "Fault", "", [&object](mcBusMessage& call) {
        mcBusMessage reply = call.NewMethodReturn();
        reply.Append(object.RunGuarded("TestFault", []() -> HRESULT { throw std::runtime_error("test fault"); }));
        return reply;
    });
    dispatcher.AddMethod(kTestPath, kTestIface, "RunChild", "as", [&dispatcher](mcBusMessage& call) {
        const std::vector<std::string> vecArgs = call.ReadStringArray();
        std::string strArgs;
        for (std::size_t i = 1; i < vecArgs.size(); ++i) strArgs += (i > 1 ? " " : "") + vecArgs[i];
        mcProcessInfo info;
        std::int32_t nResult = -1;
        if (mfCreateProcess(vecArgs.at(0), strArgs, {}, &info)) {
            const std::optional<int> status = dispatcher.WaitForProcess(info.pid, 30s);
            nResult = status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -2;
        }
        mcBusMessage reply = call.NewMethodReturn();
        reply.Append(nResult);
        return reply;
    });
}

// A reference the tests hold from the server's start (as if a client had
// called), so that short delays do not end the server before the test begins.
constexpr const char* kPinnedClient = ":pinned";

class ServerTest : public ::testing::Test {
protected:
    void Start(std::chrono::milliseconds delay = 60s, ICrashReportHook* pCrashHook = nullptr, bool bPinned = false) {
        m_pServer = std::make_unique<InProcessServer>(
            svctest::TestConfig(m_machine, m_bus, delay),
            [bPinned](mcComponentMgrServer& server) {
                AddTestMethods(server);
                if (bPinned) server.Lifetime().OnClientCall(kPinnedClient);
            },
            pCrashHook);
        ASSERT_TRUE(m_pServer->WaitServing(m_bus));
    }
    // Drops the pinned reference as if its client had left.
    void Unpin() {
        m_pServer->OnMain([this] {
            m_pServer->Server().Lifetime().OnNameOwnerChanged(kPinnedClient, kPinnedClient, "");
        });
    }
    std::unique_ptr<mcComponentMgrClient> NewClient() {
        return std::make_unique<mcComponentMgrClient>(ClientOptions(m_bus));
    }
    moComponentMgr& Object() { return m_pServer->Server().Object(); }
    std::vector<std::uint32_t> Cookies() {
        return m_pServer->OnMain([this] { return Object().GetNotifyCookies(); });
    }
    // Adds a job to an engine from the main thread.
    void AddJob(bool bInstallEngine, std::unique_ptr<mcComponentMgrJob> pJob) {
        auto pShared = std::make_shared<std::unique_ptr<mcComponentMgrJob>>(std::move(pJob));
        m_pServer->OnMain([this, bInstallEngine, pShared] {
            mcComponentMgrJobQueueEngine* pEngine =
                bInstallEngine ? Object().GetInstallEngine() : Object().GetDownloadEngine();
            ASSERT_NE(pEngine, nullptr);
            pEngine->AddJob(std::move(*pShared));
        });
    }

    TestMachine m_machine;
    testsupport::PrivateBus m_bus;
    std::unique_ptr<InProcessServer> m_pServer;
};

TEST_F(ServerTest, ObjectAnswersItsFourInterfacesAndTheWindow) {
    Start();
    auto pClient = NewClient();
    mcBusMessage call = pClient->Connection().NewMethodCall(cmifc::kBusName, cmifc::kObjectPath,
                                                            mcBusDispatcher::kIfaceIntrospectable, "Introspect");
    const std::string strXml = pClient->Dispatcher().CallAsync(call).ReadString();
    for (const auto& method : cmifc::ServiceMethods()) {
        EXPECT_NE(strXml.find(std::string("<method name=\"") + method.pszMember + "\">"), std::string::npos)
            << method.pszMember;
    }
    for (const char* pszIface : {cmifc::kIfaceControl, cmifc::kIfaceManifest, cmifc::kIfaceInstaller,
                                 cmifc::kIfaceComponentMgr}) {
        EXPECT_NE(strXml.find(std::string("<interface name=\"") + pszIface + "\">"), std::string::npos);
    }

    // Out-arguments come back empty when there is nothing to tell.
    std::string strVersion = "x";
    bool bAvailable = true;
    EXPECT_EQ(pClient->IsComponentUpdateAvailForInstall("c", "comp", strVersion, bAvailable), S_OK);
    EXPECT_EQ(strVersion, "");
    EXPECT_FALSE(bAvailable);
    std::vector<std::string> vecComponents{"x"};
    EXPECT_EQ(pClient->GetComponents("m", vecComponents), S_FALSE);
    EXPECT_TRUE(vecComponents.empty());
    std::int32_t nStatus = 7;
    EXPECT_EQ(pClient->IsComponentInstalled("c", "m", "comp", nStatus), S_OK);
    EXPECT_EQ(nStatus, 0x10000);
    EXPECT_EQ(pClient->StartComponentInstall("c", "m", "comp", "/cb/1"), S_FALSE);  // unknown manifest
    EXPECT_EQ(pClient->ClientInstalled("c", "1", "oem", "en"), S_OK);
    EXPECT_EQ(pClient->ClearTasks(), S_OK);

    // Arguments of the wrong types never reach the object.
    mcBusMessage bad = pClient->Connection().NewMethodCall(cmifc::kBusName, cmifc::kObjectPath,
                                                           cmifc::kIfaceControl, "Unregister");
    bad.Append("not a number");
    try {
        pClient->Dispatcher().CallAsync(bad);
        ADD_FAILURE() << "a call with the wrong signature was answered";
    } catch (const mcBusExc& exc) {
        EXPECT_EQ(exc.ErrorName(), mcBusDispatcher::kErrInvalidArgs);
    }

    std::string strTitle;
    EXPECT_EQ(pClient->GetWindowTitle(strTitle), S_OK);
    EXPECT_EQ(strTitle, "Tavrolin Component Manager");
    std::string strOwner;
    EXPECT_EQ(pClient->GetServiceOwner(strOwner), S_OK);
    EXPECT_EQ(strOwner.substr(0, 1), ":");
}

TEST_F(ServerTest, RegisterHandsOutCookiesAndUnregisterRevokesThem) {
    Start();
    auto pClient = NewClient();
    std::uint32_t nFirst = 0;
    std::uint32_t nSecond = 0;
    ASSERT_EQ(pClient->Register("/sink/a", nFirst), S_OK);
    ASSERT_EQ(pClient->Register("/sink/b", nSecond), S_OK);
    EXPECT_NE(nFirst, 0u);
    EXPECT_NE(nSecond, 0u);
    EXPECT_NE(nFirst, nSecond);
    EXPECT_EQ(Cookies(), (std::vector<std::uint32_t>{nFirst, nSecond}));

    // A cookie never handed out is an invalid argument; one revoked already
    // is a failure.
    EXPECT_EQ(pClient->Unregister(nFirst + nSecond + 1000), E_INVALIDARG);
    EXPECT_EQ(pClient->Unregister(0), E_INVALIDARG);
    EXPECT_EQ(Cookies().size(), 2u);
    EXPECT_EQ(pClient->Unregister(nFirst), S_OK);
    EXPECT_EQ(pClient->Unregister(nFirst), E_FAIL);
    EXPECT_EQ(Cookies(), (std::vector<std::uint32_t>{nSecond}));

    // No sink: nothing is registered.
    std::uint32_t nNone = 99;
    EXPECT_EQ(pClient->Register("/", nNone), E_INVALIDARG);
    EXPECT_EQ(nNone, 0u);
    EXPECT_EQ(Cookies().size(), 1u);
}

TEST_F(ServerTest, NotificationCallsEverySinkInOrderAndReturnsTheLastResult) {
    Start();
    auto pClient = NewClient();
    std::vector<std::string> vecCalls;
    const std::string strA = pClient->ExportNotifySink(std::make_shared<RecordingSink>("a", vecCalls, S_OK));
    const std::string strB = pClient->ExportNotifySink(std::make_shared<RecordingSink>("b", vecCalls, S_FALSE));

    // No sink registered: nothing is called, S_OK.
    EXPECT_EQ(CallTest(*pClient, "Notify", [](mcBusMessage& c) { c.Append("Player"); }).ReadInt32(), S_OK);
    EXPECT_TRUE(vecCalls.empty());

    std::uint32_t nA = 0;
    std::uint32_t nB = 0;
    ASSERT_EQ(pClient->Register(strA, nA), S_OK);
    ASSERT_EQ(pClient->Register(strB, nB), S_OK);
    EXPECT_EQ(CallTest(*pClient, "Notify", [](mcBusMessage& c) { c.Append("Player"); }).ReadInt32(), S_FALSE);
    EXPECT_EQ(vecCalls, (std::vector<std::string>{"a:Player", "b:Player"}));

    ASSERT_EQ(pClient->Unregister(nB), S_OK);
    vecCalls.clear();
    EXPECT_EQ(CallTest(*pClient, "Notify", [](mcBusMessage& c) { c.Append("Codecs"); }).ReadInt32(), S_OK);
    EXPECT_EQ(vecCalls, (std::vector<std::string>{"a:Codecs"}));

    // A sink that has gone from its connection: the call fails and that
    // failure is the result.
    pClient->Unexport(strA);
    EXPECT_EQ(CallTest(*pClient, "Notify", [](mcBusMessage& c) { c.Append("X"); }).ReadInt32(), E_NOINTERFACE);
}

TEST_F(ServerTest, NotificationFromAnotherThreadRunsOnTheMainThread) {
    Start();
    auto pClient = NewClient();
    std::vector<std::string> vecCalls;
    std::uint32_t nCookie = 0;
    ASSERT_EQ(pClient->Register(pClient->ExportNotifySink(std::make_shared<RecordingSink>("s", vecCalls, S_OK)),
                                nCookie),
              S_OK);
    std::atomic<HRESULT> hr{E_UNEXPECTED};
    std::atomic<bool> bDone{false};
    moComponentMgr& object = Object();
    std::thread updater([&] {
        hr = object.NotifyManifestUpdated("FromWorker");
        bDone = true;
        pClient->Dispatcher().Post([] {});
    });
    EXPECT_TRUE(pClient->PumpUntil([&] { return bDone.load(); }, 20s));
    updater.join();
    EXPECT_EQ(hr.load(), S_OK);
    EXPECT_EQ(vecCalls, (std::vector<std::string>{"s:FromWorker"}));
}

TEST_F(ServerTest, SinkMayCallTheServiceWhileItIsNotified) {
    Start();
    auto pClient = NewClient();
    std::vector<std::string> vecCalls;
    auto pSink = std::make_shared<RecordingSink>("s", vecCalls, S_OK);
    HRESULT hrInside = E_UNEXPECTED;
    pSink->m_fnDuring = [&] { hrInside = pClient->ClearTasks(); };
    std::uint32_t nCookie = 0;
    ASSERT_EQ(pClient->Register(pClient->ExportNotifySink(pSink), nCookie), S_OK);
    EXPECT_EQ(CallTest(*pClient, "Notify", [](mcBusMessage& c) { c.Append("M"); }).ReadInt32(), S_OK);
    EXPECT_EQ(hrInside, S_OK);
    EXPECT_EQ(vecCalls.size(), 1u);
}

TEST_F(ServerTest, SinksOfAClientThatLeftAreRevoked) {
    Start();
    auto pStaying = NewClient();
    std::uint32_t nStaying = 0;
    ASSERT_EQ(pStaying->Register("/sink", nStaying), S_OK);
    {
        auto pLeaving = NewClient();
        std::uint32_t nLeaving = 0;
        ASSERT_EQ(pLeaving->Register("/sink", nLeaving), S_OK);
        ASSERT_EQ(Cookies().size(), 2u);
    }
    EXPECT_TRUE(svctest::WaitFor([&] { return Cookies() == std::vector<std::uint32_t>{nStaying}; }));
}

class FlushTest : public ServerTest, public ::testing::WithParamInterface<bool> {};

// ClearTasks and the window's Close: both engines drop their queued jobs; the
// server keeps running.
TEST_P(FlushTest, QueuedJobsOfBothEnginesNeverRun) {
    const bool bByWindow = GetParam();
    Start();
    auto pClient = NewClient();
    auto pGate = std::make_shared<svctest::Gate>();
    auto pCount = std::make_shared<std::atomic<int>>(0);
    for (const bool bInstall : {false, true}) {
        AddJob(bInstall, std::make_unique<svctest::GateJob>("blocking", pGate));
        AddJob(bInstall, std::make_unique<svctest::CountJob>("queued", pCount));
    }
    ASSERT_TRUE(svctest::WaitFor([&] { return pGate->nStarted.load() == 2; }));

    EXPECT_EQ(bByWindow ? pClient->CloseWindow() : pClient->ClearTasks(), S_OK);
    pGate->Open();
    ASSERT_TRUE(svctest::WaitFor([&] { return pGate->nFinished.load() == 2; }));
    ASSERT_TRUE(svctest::WaitFor([&] { return m_pServer->OnMain([this] { return Object().GetQueuedJobCount(); }) == 0; }));
    EXPECT_EQ(pCount->load(), 0);
    // Jobs added later are dropped as well.
    AddJob(false, std::make_unique<svctest::CountJob>("later", pCount));
    ASSERT_TRUE(svctest::WaitFor([&] { return m_pServer->OnMain([this] { return Object().GetQueuedJobCount(); }) == 0; }));
    EXPECT_EQ(pCount->load(), 0);

    EXPECT_FALSE(m_pServer->Ended());
    EXPECT_EQ(pClient->ClearTasks(), S_OK);
    EXPECT_EQ(m_machine.CountLogLines(mcHiddenWindow::kLogCloseReceived), bByWindow ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(ClearTasksOrClose, FlushTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? std::string("Close") : std::string("ClearTasks"); });

TEST_F(ServerTest, ConstructionOnceAndReleaseInItsOrder) {
    Start();
    {
        auto pFirst = NewClient();
        auto pSecond = NewClient();
        EXPECT_EQ(pFirst->ClearTasks(), S_OK);
        EXPECT_EQ(pSecond->ClearTasks(), S_OK);
        EXPECT_TRUE(m_pServer->OnMain([this] {
            return Object().GetComponentConfig() && Object().GetManifestDir() && Object().GetDownloadEngine() &&
                   Object().GetInstallEngine() && Object().HasWindow() && Object().HasCleanupThread();
        }));
    }
    m_pServer->Server().RequestStop();
    ASSERT_TRUE(m_pServer->WaitEnded());
    EXPECT_EQ(m_pServer->Join(), 0);
    EXPECT_EQ(m_pServer->Server().GetEndReason(), mcComponentMgrServer::EndReason::kStopRequested);

    const std::vector<std::string> vecLog = m_machine.LogMessages();
    auto Find = [&](const std::string& strMessage) {
        return std::find(vecLog.begin(), vecLog.end(), strMessage) - vecLog.begin();
    };
    EXPECT_EQ(m_machine.CountLogLines(moComponentMgr::kLogFinalConstructEnter), 1);
    EXPECT_EQ(m_machine.CountLogLines(moComponentMgr::kLogFinalReleaseEnter), 1);
    EXPECT_EQ(m_machine.CountLogLines(moComponentMgr::kLogFinalReleaseExit), 1);
    EXPECT_LT(Find(moComponentMgr::kLogFinalConstructEnter), Find(moComponentMgr::kLogFinalReleaseEnter));
    EXPECT_LT(Find(moComponentMgr::kLogFinalReleaseEnter), Find(moComponentMgr::kLogFinalReleaseExit));
    // The store was saved on the way out.
    EXPECT_TRUE(std::filesystem::exists(m_machine.AppFolder() + "/ComponentMgrConfig.xml"));
}

TEST_F(ServerTest, SecondServerFindsTheNameTakenAndEndsWithoutBuilding) {
    Start();
    mcComponentMgrServer second(svctest::TestConfig(m_machine, m_bus));
    EXPECT_EQ(second.Run(), 0);
    EXPECT_EQ(second.GetEndReason(), mcComponentMgrServer::EndReason::kNameTaken);
    EXPECT_EQ(m_machine.CountLogLines(moComponentMgr::kLogFinalConstructEnter), 1);
    auto pClient = NewClient();
    EXPECT_EQ(pClient->ClearTasks(), S_OK);
}

// ------------------------------------------------------------ lifetime

TEST_F(ServerTest, ServerEndsAfterTheDelayOnceTheLastClientHasLeft) {
    Start(300ms, nullptr, true);
    auto pClient = NewClient();
    ASSERT_EQ(pClient->ClearTasks(), S_OK);
    Unpin();
    // A connected client keeps the server however long it stays.
    std::this_thread::sleep_for(900ms);
    EXPECT_FALSE(m_pServer->Ended());
    EXPECT_EQ(pClient->ClearTasks(), S_OK);

    const auto tpLeft = std::chrono::steady_clock::now();
    pClient.reset();
    ASSERT_TRUE(m_pServer->WaitEnded());
    EXPECT_GE(std::chrono::steady_clock::now() - tpLeft, 300ms);
    EXPECT_EQ(m_pServer->Join(), 0);
    EXPECT_EQ(m_pServer->Server().GetEndReason(), mcComponentMgrServer::EndReason::kIdle);
    EXPECT_EQ(m_machine.CountLogLines(moComponentMgr::kLogFinalReleaseExit), 1);
}

TEST_F(ServerTest, ClientComingBackWithinTheDelayKeepsTheServer) {
    Start(1500ms, nullptr, true);
    std::string strOwner;
    {
        auto pFirst = NewClient();
        ASSERT_EQ(pFirst->ClearTasks(), S_OK);
        ASSERT_EQ(pFirst->GetServiceOwner(strOwner), S_OK);
        Unpin();
    }
    std::this_thread::sleep_for(500ms);
    auto pSecond = NewClient();
    ASSERT_EQ(pSecond->ClearTasks(), S_OK);
    std::this_thread::sleep_for(1500ms);  // past the first client's delay
    EXPECT_FALSE(m_pServer->Ended());
    std::string strOwnerNow;
    ASSERT_EQ(pSecond->GetServiceOwner(strOwnerNow), S_OK);
    EXPECT_EQ(strOwnerNow, strOwner);
    EXPECT_EQ(m_machine.CountLogLines(moComponentMgr::kLogFinalConstructEnter), 1);
}

TEST_F(ServerTest, RunningJobHoldsAReference) {
    Start(200ms, nullptr, true);
    auto pGate = std::make_shared<svctest::Gate>();
    AddJob(true, std::make_unique<svctest::GateJob>("long", pGate));
    ASSERT_TRUE(svctest::WaitFor([&] { return pGate->nStarted.load() == 1; }));
    Unpin();
    std::this_thread::sleep_for(800ms);
    EXPECT_FALSE(m_pServer->Ended());
    EXPECT_EQ(m_pServer->OnMain([this] { return m_pServer->Server().Lifetime().JobReferences(); }), 1);
    pGate->Open();
    ASSERT_TRUE(m_pServer->WaitEnded());
    EXPECT_EQ(m_pServer->Server().GetEndReason(), mcComponentMgrServer::EndReason::kIdle);
}

// ------------------------------------------------------------ faults

TEST_F(ServerTest, FaultInAMethodIsReportedAndEndsTheServer) {
    std::mutex mutexDebug;
    std::string strDebug;
    mfSetDebugOutputSink([&](const std::string& strText) {
        std::lock_guard<std::mutex> lock(mutexDebug);
        strDebug += strText;
    });
    RecordingCrashHook hook(ICrashReportHook::Verdict::kExecuteHandler);
    Start(60s, &hook);
    auto pClient = NewClient();
    EXPECT_EQ(CallTest(*pClient, "Fault").ReadInt32(), cmifc::RPC_E_SERVERFAULT);
    ASSERT_TRUE(m_pServer->WaitEnded());
    mfSetDebugOutputSink(nullptr);
    EXPECT_EQ(hook.Faults(), (std::vector<std::string>{"moComponentMgr::TestFault"}));
    EXPECT_EQ(m_pServer->Server().GetEndReason(), mcComponentMgrServer::EndReason::kTerminated);
    EXPECT_EQ(m_pServer->Join(), 0);
    EXPECT_NE(strDebug.find(moComponentMgr::kTerminateDebugText), std::string::npos);
    EXPECT_EQ(m_machine.CountLogLines(moComponentMgr::kLogFinalReleaseExit), 1);
}

TEST_F(ServerTest, FaultLeftToTheCallerKeepsTheServerRunning) {
    RecordingCrashHook hook(ICrashReportHook::Verdict::kContinueSearch);
    Start(60s, &hook);
    auto pClient = NewClient();
    EXPECT_EQ(CallTest(*pClient, "Fault").ReadInt32(), cmifc::RPC_E_SERVERFAULT);
    EXPECT_EQ(pClient->ClearTasks(), S_OK);
    EXPECT_FALSE(m_pServer->Ended());
    EXPECT_EQ(hook.Faults().size(), 1u);
}

TEST_F(ServerTest, FaultInAJobEndsTheServerThroughTheTerminateHandler) {
    RecordingCrashHook hook(ICrashReportHook::Verdict::kExecuteHandler);
    Start(60s, &hook);
    AddJob(false, std::make_unique<svctest::FunctionJob>([] { throw std::runtime_error("job fault"); }));
    ASSERT_TRUE(m_pServer->WaitEnded());
    EXPECT_EQ(hook.Faults(), (std::vector<std::string>{mcComponentMgrJobQueueEngine::kFunctionRun}));
    EXPECT_EQ(m_pServer->Server().GetEndReason(), mcComponentMgrServer::EndReason::kTerminated);
}

// ------------------------------------------------------------ jobs and the main thread

TEST_F(ServerTest, JobsHaveTheirOwnBusConnectionAndReachTheObjectThroughTheMainThread) {
    Start();
    struct Result {
        bool bHasConnection = false;
        std::string strUniqueName;
        HRESULT hrData = E_UNEXPECTED;
        HRESULT hrInstall = E_UNEXPECTED;
        std::string strData = "untouched";
        std::atomic<bool> bDone{false};
    };
    auto pResult = std::make_shared<Result>();
    moComponentMgr& object = Object();
    AddJob(true, std::make_unique<svctest::FunctionJob>([pResult, &object] {
        mcBusConnection* pConnection = mcWorkerBusConnection::Get();
        pResult->bHasConnection = pConnection != nullptr;
        if (pConnection) {
            // The connection works on this thread: ask the bus who we are.
            mcBusMessage call = pConnection->NewMethodCall(mcBusConnection::kBusName, mcBusConnection::kBusPath,
                                                           mcBusDispatcher::kIfacePeer, "Ping");
            pConnection->CallMethod(call);
            pResult->strUniqueName = pConnection->UniqueName();
        }
        pResult->hrData = object.InstallerInterface().GetComponentInstallData("client", pResult->strData);
        pResult->hrInstall =
            object.InstallerInterface().ForceStartInstall("client", "manifest", "component", mcClientCallback{});
        pResult->bDone = true;
    }));
    ASSERT_TRUE(svctest::WaitFor([&] { return pResult->bDone.load(); }));
    EXPECT_TRUE(pResult->bHasConnection);
    mcBusConnection observer = mcBusConnection::OpenAddress(m_bus.Address());
    EXPECT_NE(pResult->strUniqueName, svctest::ServiceOwner(observer));
    EXPECT_EQ(pResult->strUniqueName.substr(0, 1), ":");
    EXPECT_EQ(pResult->hrData, S_FALSE);
    EXPECT_EQ(pResult->strData, "");
    EXPECT_EQ(pResult->hrInstall, S_FALSE);  // answered from the main thread: no such manifest
}

// A method that waits for a child process keeps serving other clients, and
// the child's own call into the service is answered before it exits.
TEST_F(ServerTest, NestedDispatcherServesWhileAMethodWaitsForAChild) {
    Start();
    svctest::ScopedEnv bus("KETTRIN_BUS_ADDRESS", m_bus.Address());
    std::atomic<bool> bChildDone{false};
    std::atomic<std::int32_t> nChildExit{-100};
    std::thread waiter([&] {
        mcComponentMgrClient client(ClientOptions(m_bus));
        const std::vector<std::string> vecArgs = {"/bin/sh", "-c", "\"sleep 1; exec " + svctest::kCtl + " clear-tasks\""};
        nChildExit = CallTest(client, "RunChild", [&](mcBusMessage& c) { c.Append(vecArgs); }).ReadInt32();
        bChildDone = true;
    });
    // Give the waiting call time to arrive, then call while it waits.
    std::this_thread::sleep_for(300ms);
    auto pClient = NewClient();
    EXPECT_EQ(pClient->ClearTasks(), S_OK);
    EXPECT_FALSE(bChildDone.load()) << "the other call was answered only after the child had ended";
    waiter.join();
    EXPECT_EQ(nChildExit.load(), 0);
}

// ------------------------------------------------------------ kettrinctl watch

TEST_F(ServerTest, CtlWatchPrintsEachManifestUpdateAndUnregistersWhenInterrupted) {
    Start();
    svctest::ScopedEnv bus("KETTRIN_BUS_ADDRESS", m_bus.Address());
    testsupport::ChildProgram watch({svctest::kCtl, "watch"});
    ASSERT_TRUE(watch.ReadUntil("", "waiting for manifest updates")) << watch.Err();
    ASSERT_EQ(Cookies().size(), 1u);

    auto pClient = NewClient();
    EXPECT_EQ(CallTest(*pClient, "Notify", [](mcBusMessage& c) { c.Append("Player"); }).ReadInt32(), S_OK);
    EXPECT_EQ(CallTest(*pClient, "Notify", [](mcBusMessage& c) { c.Append("Codecs"); }).ReadInt32(), S_OK);
    ASSERT_TRUE(watch.ReadUntil("manifest updated: Codecs\n", "")) << watch.Out();
    EXPECT_EQ(watch.Out(), "manifest updated: Player\nmanifest updated: Codecs\n");

    ASSERT_EQ(::kill(watch.Pid(), SIGINT), 0);
    EXPECT_EQ(watch.Wait(), 0) << watch.Err();
    EXPECT_TRUE(Cookies().empty());
}

TEST_F(ServerTest, CtlWatchEndsWhenTheServiceEnds) {
    Start();
    svctest::ScopedEnv bus("KETTRIN_BUS_ADDRESS", m_bus.Address());
    testsupport::ChildProgram watch({svctest::kCtl, "watch"});
    ASSERT_TRUE(watch.ReadUntil("", "waiting for manifest updates")) << watch.Err();
    m_pServer->Server().RequestStop();
    ASSERT_TRUE(m_pServer->WaitEnded());
    EXPECT_EQ(watch.Wait(), 3);
    EXPECT_NE(watch.Err().find("the component manager has ended"), std::string::npos) << watch.Err();
}

}  // namespace
