// Who may call what: real callers under another user id (busctl through
// setpriv) against the in-process server on a private bus, with a polkit
// authority stand-in on that bus; and the shipped system-bus policy on a
// dbus-daemon of system type.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ServiceTestEnv.h"
#include "client/mcComponentMgrClient.h"
#include "contract/ComponentMgrAccess.h"
#include "contract/ComponentMgrIfc.h"
#include "service/mcCallerAuthorizer.h"
#include "service/mcHiddenWindow.h"
#include "service/moComponentMgr.h"
#include "support/ChildProgram.h"
#include "support/FsTestUtil.h"
#include "support/OtherUser.h"
#include "support/PolkitAuthorityStandIn.h"

using namespace std::chrono_literals;
using svctest::InProcessServer;
using svctest::TestMachine;
using testsupport::msBusctlCall;
using testsupport::msBusctlResult;
using testsupport::PolkitAuthorityStandIn;
using Answer = testsupport::PolkitAuthorityStandIn::Answer;

namespace {

// The source tree's packaging folder.
const std::string kPackaging = std::string(KETTRIN_TEST_DATA) + "/../../packaging";

const std::string kStore =
    "<Config><Component name=\"Codec\"><ClientList><Client>A</Client></ClientList>"
    "<State value=\"installed\"><installed version=\"1.00.0001\"/></State></Component></Config>";

// A call of method with harmless arguments ("A" for strings, no callback).
msBusctlCall CallOf(const cmifc::msMethod& method) {
    const bool bWindow = std::string(method.pszInterface) == cmifc::kIfaceWindow;
    msBusctlCall call{cmifc::kBusName, bWindow ? cmifc::kWindowPath : cmifc::kObjectPath, method.pszInterface,
                      method.pszMember, method.InSignature(), {}};
    for (char cType : call.strSignature) {
        call.vecArgs.push_back(cType == 's' ? "A" : cType == 'o' ? "/" : "1");
    }
    return call;
}

std::vector<const cmifc::msMethod*> ServedMethods() {
    std::vector<const cmifc::msMethod*> vec;
    for (const cmifc::msMethod& method : cmifc::ServiceMethods()) vec.push_back(&method);
    for (const cmifc::msMethod& method : cmifc::WindowMethods()) vec.push_back(&method);
    return vec;
}

std::string DeniedLine(const std::string& strMethod) {
    return strMethod + mcCallerAuthorizer::kLogDenied + std::to_string(testsupport::kNobodyUid);
}

}  // namespace

// Every method the service serves has its entry; a new method without one
// fails here. The actions are those the shipped polkit policy declares
// (read with xmllint).
TEST(AccessTableTest, EveryServedMethodIsClassifiedAndEveryActionIsDeclared) {
    for (const cmifc::msMethod* pMethod : ServedMethods()) {
        EXPECT_NE(cmifc::FindMethodAccess(pMethod->pszInterface, pMethod->pszMember), nullptr)
            << pMethod->pszInterface << "." << pMethod->pszMember;
    }
    std::string strActions;
    ASSERT_EQ(svctest::RunProgram({"/usr/bin/xmllint", "--xpath", "//action/@id",
                                   kPackaging + "/com.tavrolin.componentmgr.policy"},
                                  &strActions),
              0);
    for (cmifc::meAccess access : {cmifc::meAccess::Manage, cmifc::meAccess::Clients}) {
        EXPECT_NE(strActions.find(std::string("\"") + cmifc::PolkitAction(access) + "\""), std::string::npos)
            << strActions;
    }
}

class AuthorizationTest : public ::testing::Test {
protected:
    void SetUp() override { Start(25s); }

    void Start(std::chrono::milliseconds authorizationTimeout) {
        std::filesystem::create_directories(m_machine.AppFolder());
        fstest::WriteFile(StorePath(), kStore);
        mcServiceConfig config = svctest::TestConfig(m_machine, m_bus);
        config.strPolkitBusAddress = m_bus.Address();
        config.authorizationTimeout = authorizationTimeout;
        m_pServer = std::make_unique<InProcessServer>(std::move(config));
        ASSERT_TRUE(m_pServer->WaitServing(m_bus));
        ASSERT_TRUE(svctest::WaitFor([this] {
            return m_pServer->OnMain([this] { return m_pServer->Server().Object().GetPendingWorkCount() == 0; });
        }));
    }

    std::string StorePath() const { return m_machine.AppFolder() + "/ComponentMgrConfig.xml"; }
    std::size_t BusyCount() {
        return m_pServer->OnMain([this] {
            moComponentMgr& object = m_pServer->Server().Object();
            return object.GetQueuedJobCount() + object.GetPendingWorkCount();
        });
    }
    mcComponentMgrClient RootClient() {
        mcComponentMgrClient::Options options;
        options.strBusAddress = m_bus.Address();
        options.timeout = 30s;
        return mcComponentMgrClient(options);
    }
    msBusctlResult AsNobody(const cmifc::msMethod& method, bool bInteractive = true) {
        return testsupport::BusctlAsNobody(m_bus.Address(), CallOf(method), bInteractive);
    }

    TestMachine m_machine;
    testsupport::PrivateBus m_bus{testsupport::PrivateBus::Options{true, "session", ""}};
    PolkitAuthorityStandIn m_authority{m_bus.Address()};
    std::unique_ptr<InProcessServer> m_pServer;
};

// Every method as nobody, with an authority that denies and one that
// allows: the table decides; polkit is asked exactly for its two classes,
// about the caller's own bus name; a refused call changes nothing.
TEST_F(AuthorizationTest, EveryMethodAsAnotherUserIsServedOrRefusedAsTheTableSays) {
    for (Answer answer : {Answer::Deny, Answer::Allow}) {
        m_authority.SetAnswer(answer);
        for (const cmifc::msMethod* pMethod : ServedMethods()) {
            const std::string strMember = pMethod->pszMember;
            SCOPED_TRACE(strMember + (answer == Answer::Deny ? " (authority denies)" : " (authority allows)"));
            const cmifc::meAccess access = cmifc::FindMethodAccess(pMethod->pszInterface, strMember)->access;
            const bool bAsks = access == cmifc::meAccess::Manage || access == cmifc::meAccess::Clients;
            const bool bRefused =
                access == cmifc::meAccess::ServiceUid || (bAsks && answer == Answer::Deny);
            const std::string strStoreBefore = fstest::ReadFile(StorePath());
            const std::size_t nQuestions = m_authority.QuestionCount();
            const bool bInteractive = strMember != "ClearTasks";
            ASSERT_TRUE(svctest::WaitFor([this] { return BusyCount() == 0; }));

            const msBusctlResult result = AsNobody(*pMethod, bInteractive);

            if (!pMethod->bReturnsHResult) {
                // The window's Close answers a bus error, not an HRESULT.
                EXPECT_NE(result.nExit, 0) << result.strOut;
                EXPECT_EQ(m_machine.CountLogLines(mcHiddenWindow::kLogCloseReceived), 0);
            } else if (bRefused) {
                ASSERT_TRUE(result.hr) << result.strOut << result.strErr;
                EXPECT_EQ(*result.hr, E_ACCESSDENIED);
            } else {
                ASSERT_TRUE(result.hr) << result.strOut << result.strErr;
                EXPECT_NE(*result.hr, E_ACCESSDENIED);
            }
            if (bRefused) {
                EXPECT_EQ(fstest::ReadFile(StorePath()), strStoreBefore);
                EXPECT_EQ(BusyCount(), 0u);
                EXPECT_GE(m_machine.CountLogLines(DeniedLine(strMember)), 1) << m_machine.ReadLog();
            }
            const std::vector<PolkitAuthorityStandIn::Question> vecQuestions = m_authority.Questions();
            ASSERT_EQ(vecQuestions.size(), nQuestions + (bAsks ? 1 : 0));
            if (bAsks) {
                const PolkitAuthorityStandIn::Question& question = vecQuestions.back();
                EXPECT_EQ(question.strAction, cmifc::PolkitAction(access));
                EXPECT_EQ(question.strSubjectKind, "system-bus-name");
                // The name the authority was told is the waiting caller's.
                EXPECT_EQ(question.nSubjectUid, testsupport::kNobodyUid) << question.strSubjectName;
                EXPECT_EQ(question.nFlags, bInteractive ? 1u : 0u);
            }
        }
    }
}

// Callers with the service's own user id are served without polkit.
TEST_F(AuthorizationTest, ServiceUserIsAllowedWithoutAskingTheAuthority) {
    m_authority.SetAnswer(Answer::Deny);
    mcComponentMgrClient client = RootClient();
    EXPECT_EQ(client.ComponentInstalled("A", "<data/>"), S_OK);
    std::string strData;
    EXPECT_EQ(client.GetComponentInstallData("A", strData), S_OK);
    EXPECT_EQ(strData, "<data/>");
    EXPECT_EQ(client.ClearTasks(), S_OK);
    EXPECT_EQ(m_authority.QuestionCount(), 0u);
}

// An authority that errs or never answers means refused.
TEST_F(AuthorizationTest, FailingOrSilentAuthorityRefuses) {
    m_pServer.reset();
    Start(1500ms);
    const cmifc::msMethod* pInstall = cmifc::FindMethod(cmifc::kIfaceComponentMgr, "StartComponentInstall");
    for (Answer answer : {Answer::Error, Answer::Hold}) {
        SCOPED_TRACE(answer == Answer::Error ? "error" : "silent");
        m_authority.SetAnswer(answer);
        const msBusctlResult result = AsNobody(*pInstall);
        ASSERT_TRUE(result.hr) << result.strOut << result.strErr;
        EXPECT_EQ(*result.hr, E_ACCESSDENIED);
    }
    // The question given up on is withdrawn at the authority.
    const std::vector<PolkitAuthorityStandIn::Question> vecQuestions = m_authority.Questions();
    ASSERT_EQ(vecQuestions.size(), 2u);
    EXPECT_NE(vecQuestions[0].strCancelId, vecQuestions[1].strCancelId);
    EXPECT_TRUE(m_authority.WaitForCancel(vecQuestions[1].strCancelId));
    EXPECT_EQ(m_machine.CountLogLines(DeniedLine("StartComponentInstall")), 2);
    EXPECT_EQ(BusyCount(), 0u);
}

// While the authority thinks about one caller, everybody else is served.
TEST_F(AuthorizationTest, PendingAuthorizationDoesNotHoldOtherClients) {
    m_authority.SetAnswer(Answer::Hold);
    const cmifc::msMethod* pDownload = cmifc::FindMethod(cmifc::kIfaceComponentMgr, "StartComponentDownload");
    testsupport::ChildProgram waiting(
        testsupport::AsNobody(testsupport::BusctlArgs(m_bus.Address(), CallOf(*pDownload))));
    ASSERT_TRUE(m_authority.WaitForQuestions(1));

    mcComponentMgrClient client = RootClient();
    std::int32_t nStatus = -1;
    EXPECT_EQ(client.IsComponentInstalled("A", "Jukebox", "Codec", nStatus), S_OK);
    const msBusctlResult query =
        AsNobody(*cmifc::FindMethod(cmifc::kIfaceComponentMgr, "IsComponentInstallRunning"));
    ASSERT_TRUE(query.hr) << query.strErr;
    EXPECT_EQ(*query.hr, S_OK);

    m_authority.Release(Answer::Deny);
    const int nExit = waiting.Wait(30s);
    const msBusctlResult held = testsupport::ParseBusctl(nExit, waiting.Out(), waiting.Err());
    ASSERT_TRUE(held.hr) << held.strOut << held.strErr;
    EXPECT_EQ(*held.hr, E_ACCESSDENIED);
    EXPECT_EQ(BusyCount(), 0u);
}

// An ordinary user who may manage components still cannot plant an
// installer's data and have the service run its "uninstaller".
TEST_F(AuthorizationTest, OrdinaryUserCannotPlantAnUninstallerForRoot) {
    m_authority.SetAnswer(Answer::Allow);
    const std::string strMarker = m_machine.Folder() + "/planted-ran";
    const std::string strData = "<Component name=\"Codec\"><Uninstall Exe=\"/bin/sh\" Args=\"-c 'touch " +
                                strMarker + "'\"/></Component>";
    for (const char* pszMember : {"ComponentInstalled", "ComponentUninstalled"}) {
        msBusctlCall call{cmifc::kBusName, cmifc::kObjectPath, cmifc::kIfaceInstaller, pszMember, "ss",
                          {"A", strData}};
        const msBusctlResult result = testsupport::BusctlAsNobody(m_bus.Address(), call);
        ASSERT_TRUE(result.hr) << result.strErr;
        EXPECT_EQ(*result.hr, E_ACCESSDENIED);
    }
    msBusctlCall uninstall{cmifc::kBusName, cmifc::kObjectPath, cmifc::kIfaceComponentMgr,
                           "StartComponentUninstall", "ssso", {"A", "Jukebox", "Codec", "/"}};
    (void)testsupport::BusctlAsNobody(m_bus.Address(), uninstall);
    (void)svctest::WaitFor([this] { return BusyCount() == 0; });

    mcComponentMgrClient client = RootClient();
    std::string strKept;
    EXPECT_NE(client.GetComponentInstallData("A", strKept), S_OK);
    EXPECT_EQ(strKept.find("planted"), std::string::npos);
    EXPECT_NE(client.GetComponentUninstallData("A", strKept), S_OK);
    EXPECT_EQ(fstest::ReadFile(StorePath()), kStore);
    EXPECT_FALSE(std::filesystem::exists(strMarker));
}

// A sink cookie is its connection's: another user cannot revoke it; the
// service's own user can.
TEST_F(AuthorizationTest, ForeignSinkCookieIsNotRevocableByAnotherUser) {
    mcComponentMgrClient owner = RootClient();
    std::uint32_t nCookie = 0;
    ASSERT_EQ(owner.Register("/sink", nCookie), S_OK);
    msBusctlCall unregister{cmifc::kBusName, cmifc::kObjectPath, cmifc::kIfaceControl, "Unregister", "u",
                            {std::to_string(nCookie)}};
    const msBusctlResult result = testsupport::BusctlAsNobody(m_bus.Address(), unregister);
    ASSERT_TRUE(result.hr) << result.strErr;
    EXPECT_EQ(*result.hr, E_ACCESSDENIED);
    EXPECT_EQ(m_pServer->OnMain([this] { return m_pServer->Server().Object().GetNotifyCookies(); }),
              std::vector<std::uint32_t>{nCookie});
    EXPECT_EQ(m_machine.CountLogLines(DeniedLine("Unregister")), 1);

    mcComponentMgrClient admin = RootClient();
    EXPECT_EQ(admin.Unregister(nCookie), S_OK);
    EXPECT_TRUE(m_pServer->OnMain([this] { return m_pServer->Server().Object().GetNotifyCookies(); }).empty());
}

// kettrinctl tells a refused user so, with the failure exit status.
TEST_F(AuthorizationTest, CtlSaysPermissionDenied) {
    m_authority.SetAnswer(Answer::Deny);
    svctest::ScopedEnv bus("KETTRIN_BUS_ADDRESS", m_bus.Address());
    std::string strErr;
    EXPECT_EQ(svctest::RunProgram(testsupport::AsNobody({svctest::kCtl, "clear-tasks"}), nullptr, &strErr), 3)
        << strErr;
    EXPECT_NE(strErr.find("permission denied"), std::string::npos) << strErr;
}

// The shipped system-bus policy on a bus of system type: root owns the name
// and is served; another user may query but is stopped at the bus before the
// installer interface and the window's Close.
TEST(ShippedBusPolicyTest, OtherUsersReachQueriesButNotTheInstallerInterfaceOrClose) {
    const std::string strPolicy =
        "  <policy context=\"default\">\n"
        "    <allow user=\"*\"/>\n"
        "    <deny own=\"*\"/>\n"
        "    <deny send_type=\"method_call\"/>\n"
        "    <allow send_type=\"signal\"/>\n"
        "    <allow send_requested_reply=\"true\" send_type=\"method_return\"/>\n"
        "    <allow send_requested_reply=\"true\" send_type=\"error\"/>\n"
        "    <allow receive_type=\"method_call\"/>\n"
        "    <allow receive_type=\"method_return\"/>\n"
        "    <allow receive_type=\"error\"/>\n"
        "    <allow receive_type=\"signal\"/>\n"
        "    <allow send_destination=\"org.freedesktop.DBus\" send_interface=\"org.freedesktop.DBus\"/>\n"
        "    <allow send_destination=\"org.freedesktop.DBus\" send_interface=\"org.freedesktop.DBus.Introspectable\"/>\n"
        "  </policy>\n"
        "  <include>" + kPackaging + "/ComponentMgr.ComponentMgrObj.conf</include>\n";
    testsupport::PrivateBus bus(testsupport::PrivateBus::Options{true, "system", strPolicy});
    TestMachine machine;
    std::filesystem::create_directories(machine.AppFolder());
    InProcessServer server(svctest::TestConfig(machine, bus));
    ASSERT_TRUE(server.WaitServing(bus));

    const msBusctlResult query =
        testsupport::BusctlAsNobody(bus.Address(), CallOf(*cmifc::FindMethod(cmifc::kIfaceComponentMgr,
                                                                              "IsComponentInstalled")));
    ASSERT_TRUE(query.hr) << query.strErr;
    EXPECT_EQ(*query.hr, S_OK);

    for (const char* pszMember : {"ComponentInstalled", "GetComponentInstallData"}) {
        const msBusctlResult result =
            testsupport::BusctlAsNobody(bus.Address(), CallOf(*cmifc::FindMethod(cmifc::kIfaceInstaller, pszMember)));
        EXPECT_NE(result.nExit, 0) << pszMember << ": " << result.strOut;
        EXPECT_NE(result.strErr.find("ccess denied"), std::string::npos) << result.strErr;
        // The bus stopped it: the service never saw the call.
        EXPECT_EQ(machine.CountLogLines(DeniedLine(pszMember)), 0);
    }
    const msBusctlResult close = testsupport::BusctlAsNobody(bus.Address(), CallOf(cmifc::WindowMethods().front()));
    EXPECT_NE(close.nExit, 0);
    EXPECT_NE(close.strErr.find("ccess denied"), std::string::npos) << close.strErr;
    EXPECT_EQ(machine.CountLogLines(DeniedLine(cmifc::kWindowCloseMethod)), 0);
    EXPECT_EQ(machine.CountLogLines(mcHiddenWindow::kLogCloseReceived), 0);
}
