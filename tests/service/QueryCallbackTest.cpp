// Queries and installer callbacks through the bus, against the server run
// in-process on a private bus, with a signed manifest published by a local
// web server; plus kettrinctl's query and report commands (the real binary).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ServiceTestEnv.h"
#include "client/mcComponentMgrClient.h"
#include "jobs/mcComponentMgrJob.h"
#include "jobs/mcComponentMgrJobQueueEngine.h"
#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"
#include "manifest/Crypt.h"
#include "ManifestKey.h"
#include "manifest/mcManifestDir.h"
#include "manifest/mcSignedFile.h"
#include "service/moComponentMgr.h"
#include "store/mcComponentConfig.h"
#include "support/LocalHttpServer.h"

namespace {

using namespace std::chrono_literals;
using kettrin::test::LocalHttpServer;
using svctest::InProcessServer;
using svctest::ScopedEnv;
using svctest::TestMachine;

constexpr const char* kManifest = "Jukebox";
constexpr std::int32_t kUndecided = 0x10000;

using svctest::WriteAll;

std::string ManifestXml(const std::string& strVersion, const std::string& strExtra) {
    auto Plugin = [](const char* pszAttrs) {
        return std::string("<Plugin name=\"p.zrz\" version=\"1.00.0001\"") + pszAttrs +
               "><Update><URL>http://127.0.0.1:9/p.zrz</URL></Update></Plugin>";
    };
    return "<ComponentManifest version=\"" + strVersion + "\">" +
           "<Component name=\"Visualizer\" friendlyName=\"Visual Effects\"><ClientData><Skin>dark</Skin>"
           "</ClientData>" + Plugin("") + "</Component>" +
           "<Component name=\"Secret\">" + Plugin(" hidden=\"true\"") + "</Component>" +
           "<Component name=\"TunerOnly\"><CompatibleClients><Client name=\"Tuner\"/></CompatibleClients>" +
           Plugin("") + "</Component>" +
           "<Component name=\"Codec\">" + Plugin("") + "</Component>" + strExtra + "</ComponentManifest>";
}

std::string InstallText(const std::string& strComponent, const std::string& strResult) {
    return "<InstallData name=\"" + strComponent + "\" version=\"1.00.0001\"><ManifestName>Jukebox</ManifestName>"
           "<Install result=\"" + strResult + "\"/><InstallPath>/opt/c</InstallPath><ErrorCode>0</ErrorCode>"
           "<Uninstall><Exe>/opt/u</Exe><Cmdline>/s</Cmdline></Uninstall></InstallData>";
}

class RecordingSink : public IComponentMgrNotify {
public:
    HRESULT OnManifestUpdated(const std::string& strManifest) override {
        m_vecNames.push_back(strManifest);
        if (m_fnDuring) m_fnDuring();
        return S_OK;
    }
    std::vector<std::string> m_vecNames;  // the client's thread only
    std::function<void()> m_fnDuring;
};

// An install job for a component that runs until released.
class BlockingJob : public mcComponentMgrJob {
public:
    BlockingJob(const std::string& strComponent, std::shared_ptr<std::atomic<bool>> pRelease)
        : mcComponentMgrJob(nullptr, mcClientCallback{}, kManifest, "A", strComponent),
          m_pRelease(std::move(pRelease)) {}
    bool Run() override {
        svctest::WaitFor([this] { return m_pRelease->load(); });
        return true;
    }

private:
    std::shared_ptr<std::atomic<bool>> m_pRelease;
};

class QueryCallbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!svctest::DevelopmentKeyBuild()) GTEST_SKIP() << "this build accepts another manifest key";
        std::filesystem::create_directories(m_strWww);
        m_http.Get("/qorb/ev/cm", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("", "text/plain");
        });
        ASSERT_TRUE(m_http.ServeFolder(m_strWww, "/www"));
        ASSERT_TRUE(m_http.Start());
        Publish("1.00.0001", "");
        core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
        core::registry::RegistryKey key = root.CreateSubKey(mcCMUtils::kRegistryKey);
        key.SetValueString("ManifestDirUrl", m_http.Url("/www/ManifestDirectory.xml"));
        key.SetValueString("EventServer", m_http.HostPort());

        // A component the store already holds: current state "downloaded"
        // beside an "installed" state, no "downloaded" version, client "A".
        std::filesystem::create_directories(m_machine.AppFolder());
        WriteAll(m_machine.AppFolder() + "/ComponentMgrConfig.xml",
                 "<Config><Component name=\"Codec\"><ClientList><Client>A</Client></ClientList>"
                 "<State value=\"downloaded\"><installed version=\"1.00.0001\"/></State></Component></Config>");

        mcServiceConfig config = svctest::TestConfig(m_machine, m_bus);
        config.fnConnectionCheck = [] { return true; };
        m_pServer = std::make_unique<InProcessServer>(std::move(config));
        ASSERT_TRUE(m_pServer->WaitServing(m_bus));
        ASSERT_TRUE(svctest::WaitForManifests(*m_pServer, {kManifest}));
        m_pClient = std::make_unique<mcComponentMgrClient>(svctest::ClientOptions(m_bus));
    }

    void TearDown() override {
        m_pClient.reset();
        m_pServer.reset();
        m_http.Stop();
    }

    // Signs and publishes the manifest and a directory naming its version.
    void Publish(const std::string& strVersion, const std::string& strExtra) {
        const std::string strXml = ManifestXml(strVersion, strExtra);
        WriteAll(m_strWww + "/Jukebox_Manifest.xml", svctest::SignedWithDevelopmentKey(strXml));
        WriteAll(m_strWww + "/ManifestDirectory.xml",
                 svctest::ManifestDirectoryXml({{"Jukebox", strVersion, m_http.Url("/www/Jukebox_Manifest.xml")}}));
    }

    mcComponentConfig& Store() { return *m_pServer->Server().Object().GetComponentConfig(); }
    std::vector<std::string> ClientsOf(const std::string& strComponent) {
        return m_pServer->OnMain([&] {
            std::vector<std::string> vecNames;
            Store().GetClientsOfComponent(strComponent, vecNames);
            return vecNames;
        });
    }
    std::int32_t Status(const std::string& strClient, const std::string& strComponent, HRESULT* pHr = nullptr) {
        std::int32_t nStatus = -1;
        const HRESULT hr = m_pClient->IsComponentInstalled(strClient, kManifest, strComponent, nStatus);
        if (pHr) *pHr = hr;
        return nStatus;
    }
    int Ctl(const std::vector<std::string>& vecArgs, std::string* pOut = nullptr, std::string* pErr = nullptr) {
        ScopedEnv bus("KETTRIN_BUS_ADDRESS", m_bus.Address());
        std::vector<std::string> vecAll{svctest::kCtl};
        vecAll.insert(vecAll.end(), vecArgs.begin(), vecArgs.end());
        return svctest::RunProgram(vecAll, pOut, pErr);
    }

    TestMachine m_machine;
    testsupport::PrivateBus m_bus;
    LocalHttpServer m_http;
    std::string m_strWww = m_machine.Folder() + "/www";
    std::unique_ptr<InProcessServer> m_pServer;
    std::unique_ptr<mcComponentMgrClient> m_pClient;
};

TEST_F(QueryCallbackTest, InstalledStatusForEachCase) {
    // Hidden: undecided, and only the call is logged.
    HRESULT hr = E_FAIL;
    EXPECT_EQ(Status("A", "Secret", &hr), kUndecided);
    EXPECT_EQ(hr, S_OK);
    const std::vector<std::string> vecLog = m_machine.LogMessages();
    ASSERT_FALSE(vecLog.empty());
    EXPECT_EQ(vecLog.back(), "IsComponentInstalled called with: A, Jukebox, Secret");
    EXPECT_EQ(m_machine.CountLogLines("IsComponentInstalled called with: A, Jukebox, Secret"), 1);
    EXPECT_TRUE(ClientsOf("Secret").empty());

    // Unknown to the store: S_FALSE, 0, and the asking client is recorded.
    EXPECT_EQ(Status("A", "Visualizer", &hr), 0);
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(ClientsOf("Visualizer"), std::vector<std::string>{"A"});

    // Unknown manifest and component not in the manifest: undecided, logged.
    std::int32_t nStatus = -1;
    EXPECT_EQ(m_pClient->IsComponentInstalled("A", "Nope", "Visualizer", nStatus), S_OK);
    EXPECT_EQ(nStatus, kUndecided);
    EXPECT_EQ(Status("A", "Missing"), kUndecided);
    const std::string strLog = m_machine.ReadLog();
    EXPECT_NE(strLog.find("PrvIsComponentInstalled: pManifest == NULL : Nope"), std::string::npos);
    EXPECT_NE(strLog.find("PrvIsComponentInstalled: Component not in manifest: Missing"), std::string::npos);

    // Installed for A (reported by A's installer), asked by B: 256, and B is
    // not added; asked by A: 16.
    ASSERT_EQ(m_pClient->ComponentInstalled("A", InstallText("Visualizer", "success")), S_OK);
    EXPECT_EQ(Status("B", "Visualizer", &hr), 0x100);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(ClientsOf("Visualizer"), std::vector<std::string>{"A"});
    EXPECT_EQ(Status("A", "Visualizer"), 0x10);

    // Current state "downloaded" with an "installed" state: 16 for its client,
    // 1 for another (who then becomes a client).
    EXPECT_EQ(Status("A", "Codec"), 0x10);
    EXPECT_EQ(Status("C", "Codec"), 1);
    EXPECT_EQ(ClientsOf("Codec"), (std::vector<std::string>{"A", "C"}));
}

TEST_F(QueryCallbackTest, QueuedInstallWinsOverTheStore) {
    auto pRelease = std::make_shared<std::atomic<bool>>(false);
    m_pServer->OnMain([&] {
        m_pServer->Server().Object().GetInstallEngine()->AddJob(std::make_unique<BlockingJob>("Codec", pRelease));
    });
    bool bRunning = false;
    EXPECT_EQ(m_pClient->IsComponentInstallRunning("Z", "Other", "Codec", bRunning), S_OK);
    EXPECT_TRUE(bRunning);
    HRESULT hr = E_FAIL;
    EXPECT_EQ(Status("A", "Codec", &hr), 0x1000000);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(m_machine.CountLogLines("StartComponentInstall: Install already running for Codec"), 1);
    *pRelease = true;
    EXPECT_TRUE(svctest::WaitFor([&] {
        bool b = true;
        m_pClient->IsComponentInstallRunning("A", kManifest, "Codec", b);
        return !b;
    }));
    EXPECT_EQ(Status("A", "Codec"), 0x10);
}

TEST_F(QueryCallbackTest, VersionsAndWaitingUpdates) {
    std::string strVersion = "x";
    EXPECT_EQ(m_pClient->GetInstalledComponentVersion("", "Unknown", strVersion), S_FALSE);
    EXPECT_EQ(strVersion, "");
    EXPECT_EQ(m_pClient->GetInstalledComponentVersion("", "Codec", strVersion), S_OK);
    EXPECT_EQ(strVersion, "1.00.0001");

    // "downloaded" without its version: S_FALSE in the four-argument form,
    // "available" in the three-argument form.
    bool bAvailable = true;
    strVersion = "x";
    EXPECT_EQ(m_pClient->IsComponentUpdateAvailForInstall("", "Codec", strVersion, bAvailable), S_FALSE);
    EXPECT_FALSE(bAvailable);
    EXPECT_EQ(strVersion, "");
    EXPECT_EQ(m_pClient->IsComponentUpdateAvailForInstall("", "Codec", bAvailable), S_OK);
    EXPECT_TRUE(bAvailable);

    ASSERT_TRUE(m_pServer->OnMain([&] { return Store().SetComponentState("Codec", "downloaded", "1.00.0002"); }));
    EXPECT_EQ(m_pClient->IsComponentUpdateAvailForInstall("", "Codec", strVersion, bAvailable), S_OK);
    EXPECT_TRUE(bAvailable);
    EXPECT_EQ(strVersion, "1.00.0002");
    EXPECT_EQ(m_pClient->IsComponentUpdateAvailForInstall("", "Unknown", strVersion, bAvailable), S_OK);
    EXPECT_FALSE(bAvailable);

    bool bRunning = true;
    EXPECT_EQ(m_pClient->IsComponentInstallRunning("A", kManifest, "Codec", bRunning), S_OK);
    EXPECT_FALSE(bRunning);
}

TEST_F(QueryCallbackTest, ListsAndTexts) {
    std::vector<std::string> vecAll;
    EXPECT_EQ(m_pClient->GetComponents(kManifest, vecAll), S_OK);
    EXPECT_EQ(vecAll, (std::vector<std::string>{"Visualizer", "Secret", "TunerOnly", "Codec"}));
    std::vector<std::string> vecNone{"x"};
    EXPECT_EQ(m_pClient->GetComponents("Nope", vecNone), S_FALSE);
    EXPECT_TRUE(vecNone.empty());

    // An unregistered client is filtered by an empty record: it sees all.
    std::vector<std::string> vecFiltered;
    EXPECT_EQ(m_pClient->GetComponentsFiltered("Stranger", kManifest, vecFiltered), S_OK);
    EXPECT_EQ(vecFiltered, vecAll);
    EXPECT_EQ(m_machine.CountLogLines("::GetComponentsFilteredImpl called with non-installed client: Stranger"), 1);
    // A registered client does not see what its filter excludes.
    ASSERT_TRUE(m_pServer->OnMain([&] { return Store().AddClient(msClientRecord{"Jukebox", "4.0", "X", "en"}); }));
    EXPECT_EQ(m_pClient->GetComponentsFiltered("Jukebox", kManifest, vecFiltered), S_OK);
    EXPECT_EQ(vecFiltered, (std::vector<std::string>{"Visualizer", "Secret", "Codec"}));

    std::string strText = "x";
    EXPECT_EQ(m_pClient->GetComponentFriendlyName(kManifest, "Visualizer", strText), S_OK);
    EXPECT_EQ(strText, "Visual Effects");
    EXPECT_EQ(m_pClient->GetComponentClientData(kManifest, "Visualizer", strText), S_OK);
    EXPECT_EQ(strText, "<ClientData><Skin>dark</Skin></ClientData>");
    EXPECT_EQ(m_pClient->GetComponentClientData(kManifest, "Codec", strText), S_FALSE);
    EXPECT_EQ(strText, "");
    EXPECT_EQ(m_pClient->GetComponentFriendlyName("Nope", "Visualizer", strText), S_FALSE);
    EXPECT_EQ(strText, "");
}

TEST_F(QueryCallbackTest, InstallerReportsAndFetches) {
    // No client name: kept and recorded under "CM".
    ASSERT_EQ(m_pClient->ComponentInstalled("", InstallText("Visualizer", "success")), S_OK);
    EXPECT_EQ(m_machine.CountLogLines(
                  "ComponentInstalled callback from installer: No bstrClientName, so setting to 'CM'!"),
              1);
    EXPECT_EQ(ClientsOf("Visualizer"), std::vector<std::string>{"CM"});
    std::string strData = "x";
    // A fetch for a client without data leaves the map as it was.
    EXPECT_EQ(m_pClient->GetComponentInstallData("Other", strData), S_FALSE);
    EXPECT_EQ(strData, "");
    EXPECT_EQ(m_machine.CountLogLines("GetComponentInstallData callback from installer: Shared data map is empty!"),
              1);
    EXPECT_EQ(m_pClient->GetComponentInstallData("CM", strData), S_OK);
    EXPECT_EQ(strData, InstallText("Visualizer", "success"));

    // Two reports, then one fetch: the first is handed out, the second lost.
    ASSERT_EQ(m_pClient->ComponentInstalled("A", InstallText("Codec", "fail")), S_OK);
    ASSERT_EQ(m_pClient->ComponentInstalled("B", InstallText("Visualizer", "success")), S_OK);
    EXPECT_EQ(m_machine.CountLogLines("ComponentInstalled callback from installer: Shared data map not empty!"), 1);
    EXPECT_EQ(m_pClient->GetComponentInstallData("A", strData), S_OK);
    EXPECT_EQ(strData, InstallText("Codec", "fail"));
    EXPECT_EQ(m_pClient->GetComponentInstallData("B", strData), S_FALSE);
    EXPECT_EQ(strData, "");

    // Uninstall: no client name is refused and nothing is kept.
    const std::string strUninstall =
        "<UninstallData name=\"Visualizer\" version=\"1.00.0001\"><Uninstall result=\"success\"/></UninstallData>";
    EXPECT_EQ(m_pClient->ComponentUninstalled("", strUninstall), S_FALSE);
    EXPECT_EQ(m_machine.CountLogLines("ComponentUninstalled callback from installer: No bstrClientName!"), 1);
    EXPECT_EQ(m_pClient->GetComponentUninstallData("", strData), S_FALSE);
    EXPECT_EQ(ClientsOf("Visualizer"), std::vector<std::string>{"B"});
    EXPECT_EQ(m_pClient->ComponentUninstalled("B", strUninstall), S_OK);
    EXPECT_TRUE(ClientsOf("Visualizer").empty());
    EXPECT_EQ(m_pClient->GetComponentUninstallData("B", strData), S_OK);
    EXPECT_EQ(strData, strUninstall);
    EXPECT_EQ(m_pClient->GetComponentUninstallData("B", strData), S_FALSE);

    // A malformed report creates no nameless component.
    EXPECT_EQ(m_pClient->ComponentInstalled("A", "<InstallData name="), S_OK);
    EXPECT_EQ(fstest::ReadFile(m_machine.AppFolder() + "/ComponentMgrConfig.xml").find("name=\"\""), std::string::npos);
}

TEST_F(QueryCallbackTest, ManifestUpdateReachesSinksAndLists) {
    auto pSink = std::make_shared<RecordingSink>();
    std::uint32_t nCookie = 0;
    ASSERT_EQ(m_pClient->Register(m_pClient->ExportNotifySink(pSink), nCookie), S_OK);

    Publish("1.00.0002", "<Component name=\"Radio\"><Plugin name=\"r.zrz\" version=\"2.0.0\"><Update><URL>u</URL>"
                         "</Update></Plugin></Component>");
    EXPECT_EQ(m_pClient->UpdateManifests(), S_OK);
    m_pClient->PumpUntil([&] { return !pSink->m_vecNames.empty(); }, 5s);
    EXPECT_EQ(pSink->m_vecNames, std::vector<std::string>{"Jukebox"});
    std::vector<std::string> vecAll;
    EXPECT_EQ(m_pClient->GetComponents(kManifest, vecAll), S_OK);
    EXPECT_EQ(vecAll, (std::vector<std::string>{"Visualizer", "Secret", "TunerOnly", "Codec", "Radio"}));

    // The server gone: the update cannot fetch the directory.
    m_http.Stop();
    EXPECT_EQ(m_pClient->UpdateManifests(), S_FALSE);
}

// The sink asks for another update from inside its notification and waits
// for the answer before it returns: the service answers it (no update lock is
// held while sinks are told).
TEST_F(QueryCallbackTest, SinkAskingForAnUpdateWhileItIsToldIsAnswered) {
    auto pSink = std::make_shared<RecordingSink>();
    HRESULT hrInside = E_UNEXPECTED;
    pSink->m_fnDuring = [&] {
        if (hrInside == E_UNEXPECTED) hrInside = m_pClient->UpdateManifests();
    };
    std::uint32_t nCookie = 0;
    ASSERT_EQ(m_pClient->Register(m_pClient->ExportNotifySink(pSink), nCookie), S_OK);
    Publish("1.00.0002", "");
    EXPECT_EQ(m_pClient->UpdateManifests(), S_OK);
    ASSERT_TRUE(m_pClient->PumpUntil([&] { return hrInside != E_UNEXPECTED; }, 20s));
    EXPECT_EQ(hrInside, S_OK);
    EXPECT_EQ(pSink->m_vecNames, std::vector<std::string>{"Jukebox"});  // the inner update found nothing new
}

// A manifest server that never answers holds up only the caller of the
// update; another client is answered meanwhile, and the waiting caller gets
// CO_E_SERVER_STOPPING when the service stops under it.
TEST_F(QueryCallbackTest, StalledManifestServerHoldsUpOnlyItsOwnCaller) {
    LocalHttpServer stall;
    ASSERT_TRUE(stall.StartRaw(LocalHttpServer::RawMode::kNeverAnswer));
    WriteAll(m_strWww + "/ManifestDirectory.xml",
             svctest::ManifestDirectoryXml({{"Jukebox", "1.00.0009", stall.Url("/Jukebox_Manifest.xml")}}));
    std::atomic<HRESULT> hrUpdate{E_UNEXPECTED};
    std::thread updater([&] {
        mcComponentMgrClient client(svctest::ClientOptions(m_bus, 60s));
        hrUpdate = client.UpdateManifests();
    });
    ASSERT_TRUE(stall.WaitForRequests(1, 20000));
    // The update now waits for the manifest (its time-out is 10 s).
    HRESULT hr = E_UNEXPECTED;
    EXPECT_EQ(Status("A", "Visualizer", &hr), 0);
    EXPECT_EQ(hr, S_FALSE);
    std::vector<std::string> vecAll;
    EXPECT_EQ(m_pClient->GetComponents(kManifest, vecAll), S_OK);
    EXPECT_EQ(hrUpdate.load(), E_UNEXPECTED) << "the query was answered only after the update";

    m_pServer->Server().RequestStop();
    updater.join();
    EXPECT_EQ(hrUpdate.load(), cmifc::CO_E_SERVER_STOPPING);
    stall.Stop();
}

TEST_F(QueryCallbackTest, CtlExitCodes) {
    std::string strOut;
    EXPECT_EQ(Ctl({"is-installed", "A", kManifest, "Visualizer"}, &strOut), 1);  // S_FALSE
    EXPECT_EQ(strOut, "unknown to the manager (0)\n");
    const std::string strFile = m_machine.Folder() + "/InstallData.xml";
    WriteAll(strFile, InstallText("Visualizer", "success"));
    EXPECT_EQ(Ctl({"report-install", "A", strFile}), 0);
    strOut.clear();
    EXPECT_EQ(Ctl({"is-installed", "A", kManifest, "Visualizer"}, &strOut), 0);
    EXPECT_EQ(strOut, "installed for this client (16)\n");
    // Every other status is a "no" (1), as grep -q answers.
    strOut.clear();
    EXPECT_EQ(Ctl({"is-installed", "B", kManifest, "Visualizer"}, &strOut), 1);
    EXPECT_EQ(strOut, "installed for another client (256)\n");
    strOut.clear();
    EXPECT_EQ(Ctl({"installed-version", "Visualizer"}, &strOut), 0);
    EXPECT_EQ(strOut, "1.00.0001\n");
    strOut.clear();
    EXPECT_EQ(Ctl({"components", "--client", "Stranger", kManifest}, &strOut), 0);
    EXPECT_EQ(strOut, "Visualizer\nSecret\nTunerOnly\nCodec\n");
    EXPECT_EQ(Ctl({"report-uninstall", "", strFile}), 1);  // no client name: S_FALSE

    // Usage errors never reach the service.
    EXPECT_EQ(Ctl({"is-installed", "A", kManifest}), 2);
    EXPECT_EQ(Ctl({"components", "--client"}), 2);
    EXPECT_EQ(Ctl({"report-install", "A", m_machine.Folder() + "/missing.xml"}), 2);
    EXPECT_EQ(Ctl({"info", "--help"}), 0);

    // No service to reach.
    std::string strErr;
    {
        ScopedEnv nobus("KETTRIN_BUS_ADDRESS", "unix:path=" + m_machine.Folder() + "/no-bus");
        std::vector<std::string> vecArgs{svctest::kCtl, "is-installed", "A", kManifest, "Visualizer"};
        EXPECT_EQ(svctest::RunProgram(vecArgs, nullptr, &strErr), 3);
    }
    EXPECT_NE(strErr.find("cannot reach the bus at unix:path=" + m_machine.Folder() + "/no-bus"), std::string::npos)
        << strErr;
}

}  // namespace
