// The real server program, started by bus activation on a private bus: one
// instance for every client, the delayed end, calls racing the end, the
// registration the bus activates from, and kettrinctl's service commands.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "client/mcComponentMgrClient.h"
#include "contract/ComponentMgrIfc.h"
#include "support/PrivateBus.h"
#include "support/ServiceTestMachine.h"

namespace {

using namespace std::chrono_literals;
using svctest::ScopedEnv;
using svctest::TestMachine;

constexpr const char* kLogFinalConstruct = "moComponentMgr::FinalConstructImpl Enter";
constexpr const char* kLogFinalReleaseExit = "moComponentMgr::FinalReleaseImpl Normal Exit";

bool ProcessExists(std::uint32_t nPid) {
    return std::filesystem::exists("/proc/" + std::to_string(nPid));
}

class ActivationTest : public ::testing::Test {
protected:
    // strDelayMs: the server's shut-down delay (KETTRIN_SHUTDOWN_DELAY_MS);
    // null for the real default.
    void StartBus(const char* pszDelayMs, bool bServiceFile = true) {
        m_pDelay = std::make_unique<ScopedEnv>("KETTRIN_SHUTDOWN_DELAY_MS", pszDelayMs);
        // The bus hands the test's environment on to what it activates.
        testsupport::PrivateBus& bus = m_machine.StartBus();
        if (bServiceFile) bus.AddService(cmifc::kBusName, svctest::kKettrin);
        m_pObserver = std::make_unique<mcBusConnection>(mcBusConnection::OpenAddress(bus.Address()));
    }

    void TearDown() override {
        // Servers end when their bus goes; wait for them before the folders go.
        m_pObserver.reset();
        m_machine.StopBus();
        for (const std::uint32_t nPid : m_setServerPids) {
            EXPECT_TRUE(svctest::WaitFor([&] { return !ProcessExists(nPid); }, 10s)) << "server " << nPid;
        }
    }

    std::unique_ptr<mcComponentMgrClient> NewClient(bool bAutoStart = true) {
        mcComponentMgrClient::Options options;
        options.strBusAddress = m_machine.Bus().Address();
        options.bAutoStart = bAutoStart;
        options.timeout = 30s;
        return std::make_unique<mcComponentMgrClient>(options);
    }

    std::string Owner() { return svctest::ServiceOwner(*m_pObserver); }

    // Remembers the server behind the current owner; returns its pid (0: none).
    std::uint32_t OwnerPid() {
        const std::string strOwner = Owner();
        if (strOwner.empty()) return 0;
        const std::uint32_t nPid = svctest::PidOf(*m_pObserver, strOwner);
        m_setServerPids.insert(nPid);
        return nPid;
    }

    TestMachine m_machine;
    std::unique_ptr<ScopedEnv> m_pDelay;
    std::unique_ptr<mcBusConnection> m_pObserver;
    std::set<std::uint32_t> m_setServerPids;
};

TEST_F(ActivationTest, FirstCallStartsTheServerAndEveryClientGetsTheSameOne) {
    StartBus("60000");
    EXPECT_EQ(Owner(), "");
    auto pFirst = NewClient();
    ASSERT_EQ(pFirst->ClearTasks(), S_OK) << pFirst->LastError();
    const std::uint32_t nPid = OwnerPid();
    ASSERT_NE(nPid, 0u);
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(nPid) + "/exe").string(), svctest::kKettrin);

    auto pSecond = NewClient();
    ASSERT_EQ(pSecond->ClearTasks(), S_OK);
    std::uint32_t nCookie = 0;
    ASSERT_EQ(pSecond->Register("/sink", nCookie), S_OK);
    EXPECT_EQ(OwnerPid(), nPid);
    EXPECT_EQ(m_machine.CountLogLines(kLogFinalConstruct), 1);
    // The application folder was made by the server (the test never creates it).
    EXPECT_TRUE(std::filesystem::exists(m_machine.AppFolder() + "/ComponentMgrConfig.xml"));
}

TEST_F(ActivationTest, ServerEndsFiveSecondsAfterItsLastClientLeft) {
    StartBus(nullptr);  // the real delay
    auto pClient = NewClient();
    ASSERT_EQ(pClient->ClearTasks(), S_OK) << pClient->LastError();
    const std::uint32_t nPid = OwnerPid();
    ASSERT_NE(nPid, 0u);

    const auto tpLeft = std::chrono::steady_clock::now();
    pClient.reset();
    ASSERT_TRUE(svctest::WaitFor([&] { return Owner().empty(); }, 20s));
    const auto elapsed = std::chrono::steady_clock::now() - tpLeft;
    EXPECT_GE(elapsed, 4900ms);
    EXPECT_LT(elapsed, 12s);
    EXPECT_TRUE(svctest::WaitFor([&] { return !ProcessExists(nPid); }, 10s));
    EXPECT_EQ(m_machine.CountLogLines(kLogFinalReleaseExit), 1);
}

TEST_F(ActivationTest, ClientComingBackWithinTheDelayKeepsTheSameServer) {
    StartBus("2000");
    std::uint32_t nPid = 0;
    {
        auto pFirst = NewClient();
        ASSERT_EQ(pFirst->ClearTasks(), S_OK) << pFirst->LastError();
        nPid = OwnerPid();
    }
    std::this_thread::sleep_for(1000ms);
    auto pSecond = NewClient();
    ASSERT_EQ(pSecond->ClearTasks(), S_OK);
    EXPECT_EQ(OwnerPid(), nPid);
    std::this_thread::sleep_for(1500ms);  // past the first client's delay
    EXPECT_EQ(OwnerPid(), nPid);
    EXPECT_EQ(m_machine.CountLogLines(kLogFinalConstruct), 1);
    EXPECT_EQ(m_machine.CountLogLines(kLogFinalReleaseExit), 0);
}

// Clients come and go around a very short delay, so that servers keep giving
// up their name while calls arrive: every call is answered, by the server
// that was draining or by a new one.
TEST_F(ActivationTest, CallsRacingTheEndAreNeverLost) {
    StartBus("20");
    constexpr int kThreads = 4;
    constexpr int kCallsPerThread = 50;
    std::atomic<int> nAnswered{0};
    std::atomic<int> nFailed{0};
    std::mutex mutexErrors;
    std::vector<std::string> vecErrors;
    std::vector<std::thread> vecThreads;
    for (int t = 0; t < kThreads; ++t) {
        vecThreads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t) * 7919u + 17u);
            std::uniform_int_distribution<int> pause(0, 60);
            for (int i = 0; i < kCallsPerThread; ++i) {
                try {
                    auto pClient = NewClient();
                    const HRESULT hr = pClient->ClearTasks();
                    if (hr == S_OK) {
                        ++nAnswered;
                    } else {
                        ++nFailed;
                        std::lock_guard<std::mutex> lock(mutexErrors);
                        vecErrors.push_back(cmifc::FormatHResult(hr) + " " + pClient->LastError());
                    }
                } catch (const std::exception& exc) {
                    ++nFailed;
                    std::lock_guard<std::mutex> lock(mutexErrors);
                    vecErrors.push_back(exc.what());
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
            }
        });
    }
    for (std::thread& thread : vecThreads) thread.join();
    EXPECT_EQ(nAnswered.load(), kThreads * kCallsPerThread);
    EXPECT_EQ(nFailed.load(), 0);
    for (const std::string& strError : vecErrors) ADD_FAILURE() << strError;
    // The race was run: servers ended and new ones started meanwhile.
    const int nInstances = m_machine.CountLogLines(kLogFinalConstruct);
    RecordProperty("ServerInstances", nInstances);
    EXPECT_GT(nInstances, 1);
    // Wait for the last one before the bus goes.
    EXPECT_TRUE(svctest::WaitFor([&] { return Owner().empty(); }, 20s));
}

// A server that has given up its name still serves calls to its unique name
// during the pause, and then takes the name back; a call that reached the bus
// meanwhile (and so started a new instance) is answered too, by whichever
// server holds the name, without waiting for the bus's activation time-out.
TEST_F(ActivationTest, ServerTakesItsNameBackForACallDuringThePause) {
    StartBus("200");
    std::string strFirstOwner;
    {
        auto pClient = NewClient();
        ASSERT_EQ(pClient->ClearTasks(), S_OK) << pClient->LastError();
        strFirstOwner = Owner();
        OwnerPid();
    }
    // The name goes 200 ms after the client; the pause (1 s) begins.
    ASSERT_TRUE(svctest::WaitFor([&] { return Owner().empty(); }, 10s));
    mcComponentMgrClient::Options direct;
    direct.strBusAddress = m_machine.Bus().Address();
    direct.strDestination = strFirstOwner;
    direct.bAutoStart = false;
    direct.timeout = 5s;
    mcComponentMgrClient toUniqueName(direct);
    ASSERT_EQ(toUniqueName.ClearTasks(), S_OK) << toUniqueName.LastError();

    auto pLate = NewClient();
    const auto tpStart = std::chrono::steady_clock::now();
    EXPECT_EQ(pLate->ClearTasks(), S_OK) << pLate->LastError();
    EXPECT_LT(std::chrono::steady_clock::now() - tpStart, 5s);
    EXPECT_EQ(Owner(), strFirstOwner);
    OwnerPid();
}

TEST_F(ActivationTest, RegistrationWritesTheFileTheBusStartsFrom) {
    StartBus("60000", false);
    ScopedEnv dir("KETTRIN_DBUS_SERVICE_DIR", m_machine.Bus().ServiceDir());
    auto pClient = NewClient();
    EXPECT_EQ(pClient->ClearTasks(), cmifc::CO_E_SERVER_EXEC_FAILURE);

    ASSERT_EQ(svctest::RunProgram({svctest::kKettrin, "/RegServer"}), 0);
    m_machine.Bus().ReloadConfig();
    EXPECT_EQ(pClient->ClearTasks(), S_OK) << pClient->LastError();
    OwnerPid();

    ASSERT_EQ(svctest::RunProgram({svctest::kKettrin, "/UnregServer"}), 0);
    EXPECT_FALSE(std::filesystem::exists(m_machine.Bus().ServiceDir() + "/ComponentMgr.ComponentMgrObj.service"));
}

TEST_F(ActivationTest, SecondInstanceStartedByHandEndsAtOnce) {
    StartBus("60000");
    auto pClient = NewClient();
    ASSERT_EQ(pClient->ClearTasks(), S_OK);
    const std::uint32_t nPid = OwnerPid();
    std::string strError;
    EXPECT_EQ(svctest::RunProgram({svctest::kKettrin}, nullptr, &strError), 0);
    EXPECT_NE(strError.find("owned by another server"), std::string::npos) << strError;
    EXPECT_EQ(OwnerPid(), nPid);
    EXPECT_EQ(m_machine.CountLogLines(kLogFinalConstruct), 1);
}

TEST_F(ActivationTest, StopSignalReleasesTheObject) {
    StartBus("60000");
    auto pClient = NewClient();
    ASSERT_EQ(pClient->ClearTasks(), S_OK);
    const std::uint32_t nPid = OwnerPid();
    ASSERT_EQ(::kill(static_cast<pid_t>(nPid), SIGTERM), 0);
    EXPECT_TRUE(svctest::WaitFor([&] { return !ProcessExists(nPid); }, 10s));
    EXPECT_EQ(m_machine.CountLogLines(kLogFinalReleaseExit), 1);
}

// ------------------------------------------------------------ kettrinctl

TEST_F(ActivationTest, CtlStatusCloseAndClearTasks) {
    StartBus("60000");
    std::string strOut;
    std::string strErr;
    // Not running: status says so and starts nothing; close fails.
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "status"}, &strOut), 1);
    EXPECT_EQ(strOut, "ComponentMgr.ComponentMgrObj: not running\n");
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "close"}, nullptr, &strErr), 3);
    EXPECT_NE(strErr.find("the component manager did not answer: CO_E_SERVER_EXEC_FAILURE (0x80080005)"),
              std::string::npos)
        << strErr;
    EXPECT_EQ(Owner(), "");

    // clear-tasks starts the service.
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "clear-tasks"}), 0);
    const std::string strOwner = Owner();
    ASSERT_FALSE(strOwner.empty());
    OwnerPid();
    strOut.clear();
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "status"}, &strOut), 0);
    EXPECT_EQ(strOut, "ComponentMgr.ComponentMgrObj: running\nowner: " + strOwner +
                          "\nwindow: Tavrolin Component Manager\n");

    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "close"}), 0);
    EXPECT_EQ(m_machine.CountLogLines("ComponentMgr received WM_CLOSE Messsage"), 1);
    EXPECT_EQ(Owner(), strOwner);  // the server keeps running

    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "status", "--help"}, &strOut), 0);
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "status", "--bogus"}), 2);
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "watch", "extra"}), 2);
}

TEST_F(ActivationTest, CtlWithoutBusFails) {
    StartBus("60000");
    ScopedEnv bus("KETTRIN_BUS_ADDRESS", "unix:path=" + m_machine.Folder() + "/no-bus");
    std::string strErr;
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "clear-tasks"}, nullptr, &strErr), 3);
    EXPECT_NE(strErr.find("cannot reach the bus"), std::string::npos) << strErr;
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "status"}), 3);
}

}  // namespace
