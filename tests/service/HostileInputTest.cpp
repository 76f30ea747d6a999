// Hostile input against the server run in-process on a private bus: each
// bound refuses or limits the input, and what the store already holds stays.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ServiceTestEnv.h"
#include "contract/ArgumentBounds.h"
#include "contract/ComponentMgrIfc.h"
#include "service/moComponentMgr.h"

namespace {

using svctest::InProcessServer;
using svctest::TestMachine;

class HostileInputTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(Start()); }

    void Start(mcServiceConfig config) {
        m_pServer = std::make_unique<InProcessServer>(std::move(config));
        ASSERT_TRUE(m_pServer->WaitServing(m_bus));
        m_pConnection = std::make_unique<mcBusConnection>(mcBusConnection::OpenAddress(m_bus.Address()));
    }
    void Start() { Start(svctest::TestConfig(m_machine, m_bus)); }

    // Calls a service method whose in-arguments are all strings and returns
    // the reply (positioned after the HRESULT, which goes to hr).
    mcBusMessage Call(const std::string& strMember, const std::vector<std::string>& vecArgs, HRESULT& hr) {
        return Call(*m_pConnection, strMember, vecArgs, hr);
    }
    static mcBusMessage Call(mcBusConnection& connection, const std::string& strMember,
                             const std::vector<std::string>& vecArgs, HRESULT& hr) {
        const cmifc::msMethod* pMethod = nullptr;
        for (const cmifc::msMethod& method : cmifc::ServiceMethods()) {
            if (strMember == method.pszMember) pMethod = &method;
        }
        EXPECT_NE(pMethod, nullptr) << strMember;
        mcBusMessage call = connection.NewMethodCall(cmifc::kBusName, cmifc::kObjectPath,
                                                     pMethod->pszInterface, strMember);
        for (std::size_t i = 0; i < vecArgs.size(); ++i) {
            if (std::string(pMethod->vecIn[i].pszType) == "o") call.AppendObjectPath(vecArgs[i]);
            else call.Append(vecArgs[i]);
        }
        mcBusMessage reply = connection.CallMethod(call);
        hr = reply.ReadInt32();
        return reply;
    }

    TestMachine m_machine;
    testsupport::PrivateBus m_bus;
    std::unique_ptr<InProcessServer> m_pServer;
    std::unique_ptr<mcBusConnection> m_pConnection;
};

// Every string argument is refused one byte past its bound, before any
// handler runs: the refusal logs one line without the text, and the same
// call at the bound is served.
TEST_F(HostileInputTest, ArgumentBoundsAtTheBinding) {
    const std::string kName(cmifc::kMaxNameBytes, 'n');
    const std::string kOther(cmifc::kMaxOtherTextBytes, 'v');
    const std::string kXml = "<InstallData name=\"C\"/>" + std::string(cmifc::kMaxXmlTextBytes - 23, ' ');
    struct Case {
        const char* pszMember;
        std::vector<std::string> vecArgs;
        std::size_t nGrow;  // the argument made one byte too long
        const char* pszOutTypes;
    };
    const std::vector<Case> vecCases = {
        {"IsComponentInstalled", {kName, "M", "C"}, 0, "i"},
        {"IsComponentInstalled", {"A", kName, "C"}, 1, "i"},
        {"GetComponentsFiltered", {"A", kName}, 1, "as"},
        {"GetComponentInstallData", {kName}, 0, "s"},
        {"IsComponentUpdateAvailForInstallEx", {"A", kName}, 1, "sb"},
        {"ClientInstalled", {kName, "1.0", "oem", "en"}, 0, ""},
        {"ClientInstalled", {"A", kOther, "oem", "en"}, 1, ""},
        {"ComponentUninstalled", {"A", kXml}, 1, ""},
        {"PredownloadComponent", {kXml}, 0, ""},
        {"CancelDownload", {"A", kName}, 1, ""},
        {"StartComponentInstall", {"A", "M", kName, "/"}, 2, ""},
        // Deferred methods are refused before any work is queued.
        {"DoTriggerTasks", {"A", kName, "/"}, 1, "b"},
        {"StartComponentDownload", {kName, "M", "C", "/"}, 0, ""},
    };
    for (const Case& c : vecCases) {
        SCOPED_TRACE(std::string(c.pszMember) + " argument " + std::to_string(c.nGrow));
        HRESULT hr = S_OK;
        Call(c.pszMember, c.vecArgs, hr);
        EXPECT_NE(hr, E_INVALIDARG) << "at the bound";

        std::vector<std::string> vecLong = c.vecArgs;
        vecLong[c.nGrow] += "x";
        const std::size_t nLinesBefore = m_machine.LogMessages().size();
        mcBusMessage reply = Call(c.pszMember, vecLong, hr);
        EXPECT_EQ(hr, E_INVALIDARG);
        // The reply still carries out-arguments of the contract's types.
        for (const char* p = c.pszOutTypes; *p != '\0'; ++p) {
            if (*p == 'a') {
                EXPECT_TRUE(reply.ReadStringArray().empty());
                ++p;
            } else if (*p == 's') {
                EXPECT_EQ(reply.ReadString(), "");
            } else if (*p == 'b') {
                EXPECT_FALSE(reply.ReadBool());
            } else {
                EXPECT_EQ(reply.ReadInt32(), 0);
            }
        }
        const std::vector<std::string> vecLines = m_machine.LogMessages();
        ASSERT_EQ(vecLines.size(), nLinesBefore + 1);
        EXPECT_NE(vecLines.back().find(c.pszMember), std::string::npos) << vecLines.back();
        EXPECT_LT(vecLines.back().size(), 200u) << "the refused text is not logged";
    }
    // A refused client registration stored nothing.
    HRESULT hr = S_OK;
    Call("ClientInstalled", {std::string(100000, 'q'), "1.0", "oem", "en"}, hr);
    EXPECT_EQ(hr, E_INVALIDARG);
    EXPECT_EQ(fstest::ReadFile(m_machine.AppFolder() + "/ComponentMgrConfig.xml").find("qqqq"), std::string::npos);
}

// The installers' reports: a result file never outlives its report, and the
// texts held for the jobs are bounded (the oldest client's text goes first).
TEST_F(HostileInputTest, InstallerReportsAreBoundedAndLeaveNoFile) {
    HRESULT hr = E_FAIL;
    Call("ComponentUninstalled",
         {"A", "<UninstallData name=\"Unknown\" version=\"1\"><Uninstall result=\"success\"/></UninstallData>"}, hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_FALSE(std::filesystem::exists(m_machine.AppFolder() + "/UninstallData.xml"));

    const std::size_t nMax = moComponentMgr::kMaxHeldResults;
    for (std::size_t i = 0; i < nMax + 4; ++i) {
        Call("ComponentInstalled", {"client" + std::to_string(i), "<InstallData name=\"C\"/>"}, hr);
        EXPECT_EQ(hr, S_OK);
    }
    EXPECT_FALSE(std::filesystem::exists(m_machine.AppFolder() + "/InstallData.xml"));
    int nDropped = 0;
    for (const std::string& strLine : m_machine.LogMessages()) {
        nDropped += strLine.find("Shared data map full") != std::string::npos;
    }
    EXPECT_EQ(nDropped, 4);
    // The oldest four are gone; the newest is still held (and fetching it
    // empties the map).
    mcBusMessage reply = Call("GetComponentInstallData", {"client3"}, hr);
    EXPECT_EQ(hr, S_FALSE);
    reply = Call("GetComponentInstallData", {"client" + std::to_string(nMax + 3)}, hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(reply.ReadString(), "<InstallData name=\"C\"/>");
}

// A notification sink served on a connection and thread of its own; answer
// decides its reply.
class SinkClient {
public:
    SinkClient(const std::string& strAddress, std::function<HRESULT()> fnAnswer) {
        m_thread = std::thread([this, strAddress, fnAnswer] {
            mcBusConnection connection = mcBusConnection::OpenAddress(strAddress);
            mcBusDispatcher dispatcher(connection);
            dispatcher.AddMethod("/sink", cmifc::kIfaceNotify, "OnManifestUpdated", "s", [fnAnswer](mcBusMessage& call) {
                mcBusMessage reply = call.NewMethodReturn();
                reply.Append(fnAnswer());
                return reply;
            });
            mcBusMessage call = connection.NewMethodCall(cmifc::kBusName, cmifc::kObjectPath, cmifc::kIfaceControl,
                                                         "Register");
            call.AppendObjectPath("/sink");
            m_hrRegister = connection.CallMethod(call).ReadInt32();
            m_pDispatcher = &dispatcher;
            dispatcher.Run();
            m_pDispatcher = nullptr;
        });
        EXPECT_TRUE(svctest::WaitFor([this] { return m_pDispatcher.load() != nullptr; }));
    }
    ~SinkClient() {
        if (mcBusDispatcher* pDispatcher = m_pDispatcher.load()) pDispatcher->Quit();
        m_thread.join();
    }
    HRESULT RegisterResult() const { return m_hrRegister; }

private:
    std::atomic<HRESULT> m_hrRegister{E_FAIL};
    std::atomic<mcBusDispatcher*> m_pDispatcher{nullptr};
    std::thread m_thread;
};

// The sinks of one update are called together: each sink answers only once
// the other has been called, which a one-by-one caller would never allow. The
// answer is still the last registered sink's. One connection holds at most
// kMaxSinksPerConnection sinks; others are not affected.
TEST_F(HostileInputTest, SinksAreCalledTogetherAndBoundedPerConnection) {
    std::atomic<int> nCalled{0};
    std::atomic<int> nSawBoth{0};
    auto Answer = [&](HRESULT hr) {
        return [&nCalled, &nSawBoth, hr] {
            ++nCalled;
            if (svctest::WaitFor([&] { return nCalled.load() == 2; }, std::chrono::milliseconds{3000})) ++nSawBoth;
            return hr;
        };
    };
    {
        SinkClient first(m_bus.Address(), Answer(S_OK));
        SinkClient last(m_bus.Address(), Answer(S_FALSE));
        ASSERT_EQ(first.RegisterResult(), S_OK);
        ASSERT_EQ(last.RegisterResult(), S_OK);
        EXPECT_EQ(m_pServer->Server().Object().NotifyManifestUpdated("M"), S_FALSE);
        EXPECT_EQ(nSawBoth.load(), 2);
    }

    HRESULT hr = S_OK;
    for (std::size_t i = 0; i < moComponentMgr::kMaxSinksPerConnection; ++i) {
        mcBusMessage call = m_pConnection->NewMethodCall(cmifc::kBusName, cmifc::kObjectPath, cmifc::kIfaceControl,
                                                         "Register");
        call.AppendObjectPath("/s" + std::to_string(i));
        EXPECT_EQ(m_pConnection->CallMethod(call).ReadInt32(), S_OK);
    }
    mcBusMessage call = m_pConnection->NewMethodCall(cmifc::kBusName, cmifc::kObjectPath, cmifc::kIfaceControl,
                                                     "Register");
    call.AppendObjectPath("/oneTooMany");
    EXPECT_EQ(m_pConnection->CallMethod(call).ReadInt32(), CONNECT_E_ADVISELIMIT);
    mcBusConnection other = mcBusConnection::OpenAddress(m_bus.Address());
    mcBusMessage otherCall = other.NewMethodCall(cmifc::kBusName, cmifc::kObjectPath, cmifc::kIfaceControl, "Register");
    otherCall.AppendObjectPath("/mine");
    EXPECT_EQ(other.CallMethod(otherCall).ReadInt32(), S_OK);
    (void)hr;
}

// Files that are not what they should be: a registry file that is not a
// registry database (or not a file) stops the start with its own exit code
// and a log line, instead of running on fallback folders; a FIFO in place of
// the configuration file does not hold the start.
class HostileFilesTest : public HostileInputTest {
protected:
    void SetUp() override {}
};

TEST_F(HostileFilesTest, RegistryThatIsNotADatabaseStopsTheStart) {
    for (const bool bFifo : {false, true}) {
        SCOPED_TRACE(bFifo ? "FIFO" : "text file");
        std::filesystem::remove(m_machine.RegistryPath());
        if (bFifo) {
            ASSERT_EQ(mkfifo(m_machine.RegistryPath().c_str(), 0600), 0);
        } else {
            std::ofstream(m_machine.RegistryPath()) << "AppPath=/somewhere/else\n";
        }
        InProcessServer server(svctest::TestConfig(m_machine, m_bus));
        EXPECT_TRUE(server.WaitEnded());
        EXPECT_EQ(server.Join(), mcComponentMgrServer::kExitBadRegistry);
        EXPECT_EQ(server.Server().GetEndReason(), mcComponentMgrServer::EndReason::kBadRegistry);
        EXPECT_NE(m_machine.ReadLog().find("Registry unusable, service not started: "), std::string::npos);
    }
}

TEST_F(HostileFilesTest, FifoInPlaceOfTheConfigurationDoesNotHoldTheStart) {
    std::filesystem::create_directories(m_machine.AppFolder());
    ASSERT_EQ(mkfifo((m_machine.AppFolder() + "/ComponentMgrConfig.xml").c_str(), 0600), 0);
    ASSERT_NO_FATAL_FAILURE(Start());
    HRESULT hr = E_FAIL;
    Call("ComponentInstalled", {"A", "<InstallData name=\"Codec\" version=\"1\"><Install result=\"success\"/></InstallData>"},
         hr);
    EXPECT_EQ(hr, S_OK);
    // The store replaced the FIFO with a configuration of its own.
    const std::string strConfig = m_machine.AppFolder() + "/ComponentMgrConfig.xml";
    EXPECT_TRUE(svctest::WaitFor([&] {
        return std::filesystem::is_regular_file(strConfig) &&
               fstest::ReadFile(strConfig).find("Codec") != std::string::npos;
    })) << m_machine.ReadLog();
}

}  // namespace
