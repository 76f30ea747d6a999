// The download-side operations through the bus, against the server run
// in-process on a private bus, with a signed manifest and the packages
// published by a local web server; plus kettrinctl download (the real binary).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ManifestKey.h"
#include "ServiceTestEnv.h"
#include "client/mcComponentMgrClient.h"
#include "manifest/Crypt.h"
#include "manifest/mcManifestDir.h"
#include "manifest/mcSignedFile.h"
#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"
#include "service/moComponentMgr.h"
#include "store/mcComponentConfig.h"
#include "support/ChildProgram.h"
#include "support/LocalHttpServer.h"

namespace {

using namespace std::chrono_literals;
using kettrin::test::LocalHttpServer;
using svctest::InProcessServer;
using svctest::ScopedEnv;
using svctest::TestMachine;

constexpr const char* kManifest = "Jukebox";
constexpr HRESULT kNotAnswered = 0x12345;
constexpr const char* kCancelText = "PrvDoDownload : m_bForceAbort set to true";

using fstest::ReadFile;
using svctest::WriteAll;

// The package's SHA-256 as the openssl tool computes it.
std::string Sha256Hex(const std::string& strPath) {
    std::string strOut;
    if (svctest::RunProgram({"/usr/bin/openssl", "dgst", "-sha256", "-r", strPath}, &strOut) != 0) return "";
    return strOut.substr(0, 64);
}

// Lines of the service log whose message contains strPart.
int CountLogContaining(const TestMachine& machine, const std::string& strPart) {
    int n = 0;
    for (const std::string& strMessage : machine.LogMessages()) n += strMessage.find(strPart) != std::string::npos;
    return n;
}

// What the service told one callback object (the client's thread only).
class Recorder : public IComponentMgrCallback {
public:
    HRESULT OnDownloadProgress(const std::string&, std::int32_t nPercent) override {
        vecProgress.push_back(nPercent);
        return S_OK;
    }
    HRESULT OnDownloadFailed(const std::string& strComponent, std::int32_t, const std::string& strText) override {
        vecEvents.push_back("failed:" + strComponent + ":" + strText);
        return S_OK;
    }
    HRESULT OnInstallComplete(const std::string&, bool, const std::string&) override { return S_OK; }
    HRESULT OnDownloadComplete(const std::string& strComponent) override {
        vecEvents.push_back("complete:" + strComponent);
        return S_OK;
    }
    HRESULT OnUninstallComplete(const std::string&, bool, const std::string&) override { return S_OK; }

    std::vector<std::int32_t> vecProgress;
    std::vector<std::string> vecEvents;
};

class DownloadOperationsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!svctest::DevelopmentKeyBuild()) GTEST_SKIP() << "this build accepts another manifest key";
        std::filesystem::create_directories(m_strWww + "/pkg");
        for (const char* pszName : {"Visualizer", "Hashed", "BadHash", "AutoUpper", "AutoLower", "Manual"}) {
            WriteAll(m_strWww + "/pkg/" + pszName + ".zrz", std::string(150000, pszName[0]));
        }
        m_http.Get("/qorb/ev/cm", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("", "text/plain");
        });
        // Part of the body, then nothing until the test ends (or 30 s).
        m_http.Get("/stall/Stall.zrz", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(400000, "application/octet-stream",
                                     [this](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                         if (offset == 0) {
                                             m_bStallEntered = true;
                                             return sink.write(std::string(100000, 's').data(), 100000);
                                         }
                                         for (int i = 0; i < 3000 && !m_bReleaseStall; ++i)
                                             std::this_thread::sleep_for(10ms);
                                         return false;
                                     });
        });
        ASSERT_TRUE(m_http.ServeFolder(m_strWww, "/www"));
        ASSERT_TRUE(m_http.Start());
        Publish();
        core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
        core::registry::RegistryKey key = root.CreateSubKey(mcCMUtils::kRegistryKey);
        key.SetValueString("ManifestDirUrl", m_http.Url("/www/ManifestDirectory.xml"));
        key.SetValueString("EventServer", m_http.HostPort());

        // Client A owns three installed components in this order; B owns
        // only the one whose autoupdate is not "true".
        auto Installed = [](const char* pszName, const char* pszAuto, const char* pszClients) {
            return std::string("<Component name=\"") + pszName + "\" autoupdate=\"" + pszAuto + "\"><ClientList>" +
                   pszClients + "</ClientList><State value=\"installed\"><installed version=\"1.00.0001\"/>"
                   "</State></Component>";
        };
        std::filesystem::create_directories(m_machine.AppFolder());
        WriteAll(m_machine.AppFolder() + "/ComponentMgrConfig.xml",
                 "<Config>" + Installed("Manual", "yes", "<Client>A</Client><Client>B</Client>") +
                     Installed("AutoUpper", "TRUE", "<Client>A</Client>") +
                     Installed("AutoLower", "true", "<Client>A</Client>") + "</Config>");

        mcServiceConfig config = svctest::TestConfig(m_machine, m_bus);
        config.fnConnectionCheck = [this] {
            m_bCheckEntered = true;
            if (m_bStallCheck) svctest::WaitFor([this] { return !m_bStallCheck.load(); });
            return m_bOnline.load();
        };
        m_pServer = std::make_unique<InProcessServer>(std::move(config));
        ASSERT_TRUE(m_pServer->WaitServing(m_bus));
        ASSERT_TRUE(svctest::WaitForManifests(*m_pServer, {kManifest}));
        m_pClient = std::make_unique<mcComponentMgrClient>(Options());
        m_pRecorder = std::make_shared<Recorder>();
        m_strCallback = m_pClient->ExportCallback(m_pRecorder);
    }

    void TearDown() override {
        m_bReleaseStall = true;
        m_bStallCheck = false;
        m_pClient.reset();
        m_pServer.reset();
        m_http.Stop();
    }

    mcComponentMgrClient::Options Options() const { return svctest::ClientOptions(m_bus); }

    void Publish() {
        auto Component = [this](const std::string& strName, const std::string& strUrl, const std::string& strHash) {
            return "<Component name=\"" + strName + "\"><Plugin name=\"" + strName +
                   ".zrz\" version=\"1.00.0002\"><Update" + (strHash.empty() ? "" : " sha256=\"" + strHash + "\"") +
                   "><URL>" + m_http.Url(strUrl) + "</URL></Update></Plugin></Component>";
        };
        std::string strXml = "<ComponentManifest version=\"1.00.0001\">";
        for (const char* pszName : {"Visualizer", "AutoUpper", "AutoLower", "Manual"}) {
            strXml += Component(pszName, std::string("/www/pkg/") + pszName + ".zrz", "");
        }
        strXml += Component("Hashed", "/www/pkg/Hashed.zrz", Sha256Hex(m_strWww + "/pkg/Hashed.zrz"));
        strXml += Component("BadHash", "/www/pkg/BadHash.zrz", std::string(64, 'a'));
        strXml += Component("Stall", "/stall/Stall.zrz", "");
        strXml += "</ComponentManifest>";
        WriteAll(m_strWww + "/Jukebox_Manifest.xml", svctest::SignedWithDevelopmentKey(strXml));
        WriteAll(m_strWww + "/ManifestDirectory.xml",
                 svctest::ManifestDirectoryXml({{"Jukebox", "1.00.0001", m_http.Url("/www/Jukebox_Manifest.xml")}}));
    }

    std::string HoldingFolder(const std::string& strComponent) const {
        return svctest::HoldingFolder(m_machine, strComponent);
    }
    bool WaitForEvent(std::size_t nCount) {
        return m_pClient->PumpUntil([&] { return m_pRecorder->vecEvents.size() >= nCount; }, 20s);
    }
    std::string State(const std::string& strComponent) { return svctest::ComponentState(*m_pServer, strComponent); }
    void SetRequireHash(std::uint32_t nValue) {
        core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
        root.CreateSubKey(mcCMUtils::kRegistryKey).SetValueDWord("RequirePackageHash", nValue);
    }

    TestMachine m_machine;
    testsupport::PrivateBus m_bus;
    LocalHttpServer m_http;
    std::string m_strWww = m_machine.Folder() + "/www";
    std::atomic<bool> m_bOnline{true};
    std::atomic<bool> m_bStallCheck{false};
    std::atomic<bool> m_bCheckEntered{false};
    std::atomic<bool> m_bStallEntered{false};
    std::atomic<bool> m_bReleaseStall{false};
    std::unique_ptr<InProcessServer> m_pServer;
    std::unique_ptr<mcComponentMgrClient> m_pClient;
    std::shared_ptr<Recorder> m_pRecorder;
    std::string m_strCallback;
};

TEST_F(DownloadOperationsTest, DownloadCompletesThenAnswersAlreadyDownloaded) {
    EXPECT_EQ(m_pClient->StartComponentDownload("A", kManifest, "Visualizer", m_strCallback), S_OK);
    ASSERT_TRUE(WaitForEvent(1));
    EXPECT_EQ(m_pRecorder->vecEvents, std::vector<std::string>{"complete:Visualizer"});
    ASSERT_FALSE(m_pRecorder->vecProgress.empty());
    EXPECT_EQ(m_pRecorder->vecProgress.back(), 100);
    EXPECT_EQ(ReadFile(HoldingFolder("Visualizer") + "/Visualizer.zrz"), ReadFile(m_strWww + "/pkg/Visualizer.zrz"));
    EXPECT_EQ(State("Visualizer"), "downloaded");
    EXPECT_EQ(m_machine.CountLogLines("StartComponentDownload called with: A, Jukebox, Visualizer"), 1);
    EXPECT_EQ(m_machine.CountLogLines("PrvStartComponentDownload: Versions - manifest : config - 1.00.0002 : "), 1);
    EXPECT_EQ(m_machine.CountLogLines("PrvStartComponentDownload: Starting download job! A, Jukebox, Visualizer"), 1);

    // The manifest's version is here and newer than any installed one:
    // nothing is queued and the client hears it is complete.
    m_pRecorder->vecEvents.clear();
    EXPECT_EQ(m_pClient->StartComponentDownload("A", kManifest, "Visualizer", m_strCallback), S_FALSE);
    ASSERT_TRUE(WaitForEvent(1));
    EXPECT_EQ(m_pRecorder->vecEvents, std::vector<std::string>{"complete:Visualizer"});
    EXPECT_EQ(m_machine.CountLogLines("PrvStartComponentDownload: Starting download job! A, Jukebox, Visualizer"), 1);
    EXPECT_EQ(m_pServer->OnMain([this] { return m_pServer->Server().Object().GetQueuedJobCount(); }), 0u);
}

// Requests that cannot start: S_FALSE, the reason logged, the holding area
// untouched and no callback.
TEST_F(DownloadOperationsTest, RequestsThatCannotStartLeaveTheHoldingAreaAlone) {
    struct Case {
        const char* pszName;
        std::string strManifest;
        std::string strComponent;
        bool bOnline;
        std::uint32_t nRequireHash;
        std::string strLogLine;
    };
    const Case cases[] = {
        {"offline", kManifest, "Visualizer", false, 0, "PrvStartComponentDownload : failed, user not online"},
        {"unknown manifest", "Nope", "Visualizer", true, 0, "PrvIsComponentInstalled: pManifest == NULL : Nope"},
        {"not in manifest", kManifest, "Ghost", true, 0,
         "PrvStartComponentDownload: Component not in manifest file - Ghost"},
        {"hash required, none given", kManifest, "Visualizer", true, 1,
         "PrvStartComponentDownload: Component has no package hash - Visualizer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        m_bOnline = c.bOnline;
        SetRequireHash(c.nRequireHash);
        EXPECT_EQ(m_pClient->StartComponentDownload("A", c.strManifest, c.strComponent, m_strCallback), S_FALSE);
        EXPECT_EQ(m_machine.CountLogLines(c.strLogLine), 1);
        EXPECT_FALSE(std::filesystem::exists(HoldingFolder(c.strComponent)));
    }
    (void)m_pClient->PumpUntil([] { return false; }, 200ms);
    EXPECT_TRUE(m_pRecorder->vecEvents.empty());
    EXPECT_EQ(CountLogContaining(m_machine, "PrvStartComponentDownload: Starting download job! "), 0);
}

// With the policy on, a component with a hash still downloads; a package
// that does not match its hash is refused and not kept.
TEST_F(DownloadOperationsTest, PackageHashPolicyAndMismatch) {
    SetRequireHash(1);
    EXPECT_EQ(m_pClient->StartComponentDownload("A", kManifest, "Hashed", m_strCallback), S_OK);
    ASSERT_TRUE(WaitForEvent(1));
    EXPECT_EQ(m_pRecorder->vecEvents.back(), "complete:Hashed");
    EXPECT_TRUE(std::filesystem::exists(HoldingFolder("Hashed") + "/Hashed.zrz"));

    EXPECT_EQ(m_pClient->StartComponentDownload("A", kManifest, "BadHash", m_strCallback), S_OK);
    ASSERT_TRUE(WaitForEvent(2));
    const std::string strPath = HoldingFolder("BadHash") + "/BadHash.zrz";
    // The client hears of the failure; the reason goes to the log and the event.
    EXPECT_EQ(m_pRecorder->vecEvents.back(), "failed:BadHash:");
    EXPECT_EQ(m_machine.CountLogLines("PrvDoDownload : package hash mismatch " + strPath), 1);
    EXPECT_FALSE(std::filesystem::exists(strPath));
    EXPECT_FALSE(std::filesystem::exists(strPath + ".part"));
}

TEST_F(DownloadOperationsTest, CancelStopsAStalledDownloadAndAnEmptyQueueFails) {
    EXPECT_EQ(m_pClient->CancelDownload("A", "Stall"), E_FAIL);
    EXPECT_EQ(m_machine.CountLogLines("CancelDownload called with: A, Stall"), 1);

    EXPECT_EQ(m_pClient->StartComponentDownload("A", kManifest, "Stall", m_strCallback), S_OK);
    ASSERT_TRUE(m_pClient->PumpUntil([this] { return m_bStallEntered && !m_pRecorder->vecProgress.empty(); }, 20s));
    const auto tpCancel = std::chrono::steady_clock::now();
    EXPECT_EQ(m_pClient->CancelDownload("A", "Stall"), S_OK);
    ASSERT_TRUE(WaitForEvent(1));
    // Far below the stalled server's 30 s.
    EXPECT_LT(std::chrono::steady_clock::now() - tpCancel, 10s);
    EXPECT_EQ(m_pRecorder->vecEvents.back(), "failed:Stall:");
    EXPECT_EQ(m_machine.CountLogLines(kCancelText), 1);
    EXPECT_FALSE(std::filesystem::exists(HoldingFolder("Stall") + "/Stall.zrz.part"));
    EXPECT_FALSE(std::filesystem::exists(HoldingFolder("Stall") + "/Stall.zrz"));
}

// Only the first qualifying component of the store's order is started;
// "TRUE" qualifies, "yes" does not.
TEST_F(DownloadOperationsTest, TriggerTasksStartsOnlyTheFirstQualifyingUpdate) {
    bool bStarted = false;
    EXPECT_EQ(m_pClient->DoTriggerTasks("A", kManifest, m_strCallback, bStarted), S_OK);
    EXPECT_TRUE(bStarted);
    EXPECT_EQ(m_machine.CountLogLines("DoTriggerTasks: Update found : AutoUpper"), 1);
    EXPECT_EQ(CountLogContaining(m_machine, "PrvStartComponentDownload: Starting download job! "), 1);
    ASSERT_TRUE(WaitForEvent(1));
    EXPECT_EQ(m_pRecorder->vecEvents, std::vector<std::string>{"complete:AutoUpper"});

    bStarted = true;
    EXPECT_EQ(m_pClient->DoTriggerTasks("B", kManifest, m_strCallback, bStarted), S_OK);
    EXPECT_FALSE(bStarted);
    EXPECT_EQ(m_machine.CountLogLines("DoTriggerTasks: No updates needed."), 1);

    EXPECT_EQ(m_pClient->DoTriggerTasks("A", "Nope", m_strCallback, bStarted), S_FALSE);
    EXPECT_EQ(m_machine.CountLogLines("DoTriggerTasks: pManifest == NULL Nope"), 1);
}

TEST_F(DownloadOperationsTest, UpdateNeedsAnOwningClient) {
    EXPECT_EQ(m_pClient->StartComponentUpdate("B", kManifest, "AutoLower", m_strCallback), S_FALSE);
    EXPECT_EQ(m_machine.CountLogLines("StartComponentUpdate: Client doesn't own component: B, AutoLower"), 1);
    // Offline: answered S_OK although nothing started.
    m_bOnline = false;
    EXPECT_EQ(m_pClient->StartComponentUpdate("A", kManifest, "AutoLower", m_strCallback), S_OK);
    EXPECT_EQ(m_machine.CountLogLines("StartComponentUpdate: Update found : AutoLower"), 0);
    m_bOnline = true;
    EXPECT_EQ(m_pClient->StartComponentUpdate("A", kManifest, "AutoLower", m_strCallback), S_OK);
    EXPECT_EQ(m_machine.CountLogLines("StartComponentUpdate: Update found : AutoLower"), 1);
    ASSERT_TRUE(WaitForEvent(1));
    EXPECT_EQ(m_pRecorder->vecEvents, std::vector<std::string>{"complete:AutoLower"});
}

// While one client's connection check hangs, the service keeps answering
// others; the waiting caller is answered when the check ends.
TEST_F(DownloadOperationsTest, BusKeepsAnsweringWhileTheConnectionCheckStalls) {
    m_bCheckEntered = false;
    m_bStallCheck = true;
    std::atomic<HRESULT> hrOther{kNotAnswered};
    std::thread other([&] {
        mcComponentMgrClient client(Options());
        hrOther = client.StartComponentDownload("A", kManifest, "Visualizer", mcComponentMgrClient::kNoCallback);
    });
    ASSERT_TRUE(svctest::WaitFor([this] { return m_bCheckEntered.load(); }));
    std::int32_t nStatus = -1;
    const auto tpAsk = std::chrono::steady_clock::now();
    EXPECT_TRUE(SUCCEEDED(m_pClient->IsComponentInstalled("A", kManifest, "Manual", nStatus)));
    EXPECT_LT(std::chrono::steady_clock::now() - tpAsk, 5s);
    EXPECT_EQ(hrOther.load(), kNotAnswered);
    m_bStallCheck = false;
    other.join();
    EXPECT_EQ(hrOther.load(), S_OK);
}

// A manifest update stalled by its server holds up neither the bus thread
// nor another client's download start.
TEST_F(DownloadOperationsTest, StalledManifestUpdateDoesNotHoldUpADownloadStart) {
    // A newer manifest whose download stalls.
    WriteAll(m_strWww + "/ManifestDirectory.xml",
             svctest::ManifestDirectoryXml({{"Jukebox", "1.00.0002", m_http.Url("/stall/Stall.zrz")}}));
    std::atomic<HRESULT> hrUpdate{kNotAnswered};
    std::thread updater([&] {
        mcComponentMgrClient client(Options());
        hrUpdate = client.UpdateManifests();
    });
    EXPECT_TRUE(svctest::WaitFor([this] { return m_bStallEntered.load(); })) << m_machine.ReadLog();
    const auto tpAsk = std::chrono::steady_clock::now();
    EXPECT_EQ(m_pClient->StartComponentDownload("A", kManifest, "Visualizer", mcComponentMgrClient::kNoCallback), S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - tpAsk, 5s);
    EXPECT_EQ(hrUpdate.load(), kNotAnswered);
    m_bReleaseStall = true;
    updater.join();
    EXPECT_NE(hrUpdate.load(), kNotAnswered);
}

TEST_F(DownloadOperationsTest, CtlDownloadShowsProgressAndCancelsOnCtrlC) {
    ScopedEnv bus("KETTRIN_BUS_ADDRESS", m_bus.Address());
    std::string strOut;
    std::string strErr;
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "download", "A", kManifest, "Visualizer"}, &strOut, &strErr), 0)
        << strErr;
    EXPECT_TRUE(std::regex_search(strOut, std::regex("(^|\n)[0-9]{1,2}%\n"))) << strOut;
    EXPECT_NE(strOut.find("\n100%\nVisualizer: downloaded\n"), std::string::npos) << strOut;

    strOut.clear();
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "download", "A", kManifest, "Visualizer"}, &strOut, &strErr), 1);
    EXPECT_NE(strOut.find("already downloaded"), std::string::npos) << strOut;
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "download", "A", kManifest}, nullptr, nullptr), 2);

    testsupport::ChildProgram child({svctest::kCtl, "download", "A", kManifest, "Stall"});
    ASSERT_TRUE(child.ReadUntil("%", "")) << child.Err();
    child.Signal(SIGINT);
    EXPECT_EQ(child.Wait(), 4);
    EXPECT_NE(child.Err().find("the download of Stall failed"), std::string::npos) << child.Err();
    EXPECT_EQ(m_machine.CountLogLines(kCancelText), 1);
    EXPECT_EQ(m_machine.CountLogLines("CancelDownload called with: A, Stall"), 1);

    // install follows the download it starts; Ctrl-C cancels that download.
    testsupport::ChildProgram install({svctest::kCtl, "install", "A", kManifest, "Stall"});
    ASSERT_TRUE(install.ReadUntil("%", "")) << install.Err();
    install.Signal(SIGINT);
    EXPECT_EQ(install.Wait(), 4);
    EXPECT_NE(install.Out().find("cancelling..."), std::string::npos) << install.Out();
    EXPECT_NE(install.Err().find("the download of Stall failed"), std::string::npos) << install.Err();
    EXPECT_EQ(m_machine.CountLogLines(kCancelText), 2);
}

}  // namespace
