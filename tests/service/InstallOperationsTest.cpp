// The install side through the bus: install and uninstall jobs running real
// installer programs (shell scripts that record their words, working folder
// and environment, and report back with the real kettrinctl), the install and
// uninstall operations, the client lifecycle and the plug-in step against a
// real plug-in object, all on a private bus with a signed manifest and an
// event server on 127.0.0.1.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ManifestKey.h"
#include "ServiceTestEnv.h"
#include "bus/mcBusDispatcher.h"
#include "client/mcComponentMgrClient.h"
#include "jobs/mcComponentMgrJobQueueEngine.h"
#include "manifest/Crypt.h"
#include "manifest/mcManifestDir.h"
#include "manifest/mcSignedFile.h"
#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"
#include "service/moComponentMgr.h"
#include "store/mcComponentConfig.h"
#include "support/LocalHttpServer.h"

namespace {

using namespace std::chrono_literals;
using kettrin::test::LocalHttpServer;
using svctest::InProcessServer;
using svctest::TestMachine;

constexpr const char* kManifest = "Jukebox";
constexpr const char* kOther = "Extras";
constexpr const char* kPluginGuid = "{6B1F0C3A-2D4E-4F5A-9B8C-7D6E5F4A3B2C}";
constexpr const char* kPluginProgId = "Test.Plugin";
constexpr const char* kPluginBusName = "test.kettrin.Plugin";

using fstest::ReadFile;
using svctest::WriteAll;

std::vector<std::string> Lines(const std::string& strText) {
    std::vector<std::string> vecLines;
    std::istringstream in(strText);
    std::string strLine;
    while (std::getline(in, strLine)) vecLines.push_back(strLine);
    return vecLines;
}

// What the service told one callback object (the client's thread only).
class Recorder : public IComponentMgrCallback {
public:
    HRESULT OnDownloadProgress(const std::string&, std::int32_t) override { return S_OK; }
    HRESULT OnDownloadFailed(const std::string& strComponent, std::int32_t, const std::string& strText) override {
        vecEvents.push_back("download-failed:" + strComponent + ":" + strText);
        return S_OK;
    }
    HRESULT OnInstallComplete(const std::string& strComponent, bool bSuccess, const std::string& strText) override {
        vecEvents.push_back("install:" + strComponent + ":" + (bSuccess ? "1" : "0") + ":" + strText);
        return S_OK;
    }
    HRESULT OnDownloadComplete(const std::string& strComponent) override {
        vecEvents.push_back("downloaded:" + strComponent);
        return S_OK;
    }
    HRESULT OnUninstallComplete(const std::string& strComponent, bool bSuccess, const std::string& strText) override {
        vecEvents.push_back("uninstall:" + strComponent + ":" + (bSuccess ? "1" : "0") + ":" + strText);
        return S_OK;
    }
    std::vector<std::string> vecEvents;
};

// A plug-in object on a connection and thread of its own, answering
// DisableComponent and recording its arguments.
class PluginObject {
public:
    explicit PluginObject(const std::string& strAddress) {
        m_thread = std::thread([this, strAddress] {
            mcBusConnection connection = mcBusConnection::OpenAddress(strAddress);
            mcBusDispatcher dispatcher(connection);
            dispatcher.AddMethod("/plugin", cmifc::kIfacePlugin, "DisableComponent", "ss", [this](mcBusMessage& call) {
                const std::string strComponent = call.ReadString();
                const std::string strManifest = call.ReadString();
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_vecCalls.push_back(strComponent + ":" + strManifest);
                }
                mcBusMessage reply = call.NewMethodReturn();
                reply.Append(S_OK);
                return reply;
            });
            connection.RequestName(kPluginBusName);
            m_pDispatcher = &dispatcher;
            m_bReady = true;
            dispatcher.Run();
            m_pDispatcher = nullptr;
        });
        svctest::WaitFor([this] { return m_bReady.load(); });
    }
    ~PluginObject() {
        if (mcBusDispatcher* p = m_pDispatcher.load()) p->Quit();
        m_thread.join();
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecCalls;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_vecCalls;
    std::atomic<bool> m_bReady{false};
    std::atomic<mcBusDispatcher*> m_pDispatcher{nullptr};
    std::thread m_thread;
};

class InstallOperationsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!svctest::DevelopmentKeyBuild()) GTEST_SKIP() << "this build accepts another manifest key";
        m_http.Get("/qorb/ev/cm", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(m_mutexEvents);
            m_vecEvents.push_back(req.get_param_value("Event") + ":" + req.get_param_value("Component") + ":" +
                                  req.get_param_value("AddInfo"));
            res.set_content("", "text/plain");
        });
        // The script package a download brings (no execute bit over HTTP).
        WriteAll(m_strWww + "/pkg/Fresh.sh", Installer("Fresh", "success", "1.00.0002"));
        ASSERT_TRUE(m_http.ServeFolder(m_strWww, "/www"));
        ASSERT_TRUE(m_http.Start());

        core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
        core::registry::RegistryKey key = root.CreateSubKey(mcCMUtils::kRegistryKey);
        key.SetValueString("ManifestDirUrl", m_http.Url("/www/ManifestDirectory.xml"));
        key.SetValueString("EventServer", m_http.HostPort());
        // The package installer TI, found through the ".zrz" open command.
        core::registry::RegistryKey classes(core::registry::kRootClassesRoot, "");
        classes.CreateSubKey(".zrz").SetValueString("", "ZrzPackage");
        classes.CreateSubKey("ZrzPackage\\shell\\Open\\command").SetValueString("", "\"" + TIPath() + "\" \"%1\"");
        WriteAll(TIPath(), Installer("Packed", "success", "1.00.0002"), true);
        // The plug-in, by class and by ProgID.
        core::registry::RegistryKey clsid = classes.CreateSubKey(std::string("CLSID\\") + kPluginGuid);
        clsid.SetValueString("BusName", kPluginBusName);
        clsid.SetValueString("ObjectPath", "/plugin");
        classes.CreateSubKey(std::string(kPluginProgId) + "\\CLSID").SetValueString("", kPluginGuid);

        Publish();
        std::filesystem::create_directories(m_machine.AppFolder());
        WriteAll(m_machine.AppFolder() + "/ComponentMgrConfig.xml", "<Config>" + m_strConfig + "</Config>");
        for (const char* pszName : {"Script", "Silent", "ByClass", "ByProgId", "Unregistered"}) {
            WriteAll(Holding(pszName) + "/" + pszName + ".sh", Installer(pszName, pszName == std::string("Silent") ? "" : "success", "1.00.0002"));
        }
        WriteAll(Holding("Packed") + "/Packed.zrz", "not an archive: the fake TI does not read it");
        WriteAll(Holding("Gone") + "/Gone.zrz", "TI's package for the uninstall");

        mcServiceConfig config = svctest::TestConfig(m_machine, m_bus);
        config.fnConnectionCheck = [] { return true; };
        m_pServer = std::make_unique<InProcessServer>(std::move(config));
        ASSERT_TRUE(m_pServer->WaitServing(m_bus));
        ASSERT_TRUE(svctest::WaitForManifests(*m_pServer, {kManifest, kOther}));
        m_pClient = std::make_unique<mcComponentMgrClient>(Options());
        m_pRecorder = std::make_shared<Recorder>();
        m_strCallback = m_pClient->ExportCallback(m_pRecorder);
    }

    void TearDown() override {
        m_pClient.reset();
        m_pServer.reset();
        m_http.Stop();
    }

    mcComponentMgrClient::Options Options() const { return svctest::ClientOptions(m_bus, 60s); }

    std::string TIPath() const { return m_machine.Folder() + "/ti/TI"; }
    std::string Holding(const std::string& strComponent) const {
        return svctest::HoldingFolder(m_machine, strComponent);
    }
    std::string Record(const std::string& strName) const { return m_machine.Folder() + "/rec/" + strName; }

    // An installer script: records its working folder and words (one per
    // line, in brackets) and its environment under rec/<name>, then reports
    // an install (or, called with "/uninstall", an uninstall) of the
    // component named after the script with strResult through kettrinctl;
    // an empty strResult reports nothing.
    std::string Installer(const std::string& strName, const std::string& strResult, const std::string& strVersion) const {
        const std::string strRec = Record(strName);
        std::string strScript = "#!/bin/sh\nmkdir -p '" + m_machine.Folder() + "/rec'\n";
        strScript += "{ pwd; for a in \"$0\" \"$@\"; do printf '[%s]\\n' \"$a\"; done; } > '" + strRec + "'\n";
        strScript += "env > '" + strRec + ".env'\n";
        strScript += "for a in \"$@\"; do client=\"$a\"; done\n";
        if (strResult.empty()) return strScript + "exit 0\n";
        strScript += "case \" $* \" in\n*' /uninstall '*)\n";
        strScript += "cat > '" + strRec + ".xml' <<EOF\n<Component name=\"" + strName + "\" version=\"" + strVersion +
                     "\"><Uninstall result=\"" + strResult + "\"/><ErrorCode>uninstall said " + strResult +
                     "</ErrorCode></Component>\nEOF\n";
        strScript += "exec '" + svctest::kCtl + "' report-uninstall \"$client\" '" + strRec + ".xml' ;;\n*)\n";
        strScript += "cat > '" + strRec + ".xml' <<EOF\n<Component name=\"" + strName + "\" version=\"" + strVersion +
                     "\"><ManifestName>" + kManifest + "</ManifestName><Install result=\"" + strResult +
                     "\"/><InstallPath>/opt/" + strName + "</InstallPath><ErrorCode>install said " + strResult +
                     "</ErrorCode><Uninstall><Exe>" + Uninstaller(strName) +
                     "</Exe><Cmdline>/uninstall</Cmdline></Uninstall></Component>\nEOF\n";
        strScript += "exec '" + svctest::kCtl + "' report-install \"$client\" '" + strRec + ".xml' ;;\nesac\n";
        return strScript;
    }
    // Where an installed component's uninstaller is (the same script).
    std::string Uninstaller(const std::string& strName) const { return m_machine.Folder() + "/uninst/" + strName; }

    void Publish() {
        auto Component = [this](const std::string& strName, const std::string& strExtra, const std::string& strUpdate,
                                const std::string& strFile) {
            return "<Component name=\"" + strName + "\"><Plugin name=\"" + strName +
                   "\" version=\"1.00.0002\">" + strExtra + "<Update" + strUpdate + "><URL>" +
                   m_http.Url("/www/pkg/" + strFile) + "</URL></Update></Plugin></Component>";
        };
        const std::string strCM = "<Uninstall rule=\"CM\"/>";
        std::string strXml = "<ComponentManifest version=\"1.00.0001\">";
        strXml += Component("Script", "<Install><Cmdline>--mode \"two words\"</Cmdline></Install>" + strCM, "",
                            "Script.sh");
        strXml += Component("Packed", strCM, "", "Packed.zrz");
        strXml += Component("Silent", "", "", "Silent.sh");
        strXml += Component("Missing", "", "", "Missing.sh");
        strXml += Component("BadName", "", "", "..");
        strXml += Component("Fresh", strCM, "", "Fresh.sh");
        strXml += Component("Shared", strCM, "", "Shared.sh");
        strXml += Component("Current", "", "", "Current.sh");
        strXml += Component("Gone", strCM, "", "Gone.zrz");
        strXml += Component("ClientRule", "<Uninstall rule=\"Client\"/>", "", "ClientRule.sh");
        strXml += Component("NoRule", "", "", "NoRule.sh");
        strXml += Component("ByClass", std::string("<GUID>") + kPluginGuid + "</GUID>", " mandatory=\"1\"", "ByClass.sh");
        strXml += Component("ByProgId", std::string("<GUID>") + kPluginProgId + "</GUID>", " mandatory=\"1\"",
                            "ByProgId.sh");
        strXml += Component("Unregistered", "<GUID>{00000000-0000-0000-0000-000000000000}</GUID>",
                            " mandatory=\"1\"", "Unregistered.sh");
        strXml += "</ComponentManifest>";
        // A second manifest that gives "Two" another rule.
        const std::string strOther = "<ComponentManifest version=\"1.00.0001\">" +
                                     Component("Two", "<Uninstall rule=\"Client\"/>", "", "Two.sh") +
                                     "</ComponentManifest>";
        strXml.insert(strXml.size() - std::string("</ComponentManifest>").size(), Component("Two", "", "", "Two.sh"));
        WriteAll(m_strWww + "/Jukebox_Manifest.xml", svctest::SignedWithDevelopmentKey(strXml));
        WriteAll(m_strWww + "/Extras_Manifest.xml", svctest::SignedWithDevelopmentKey(strOther));
        WriteAll(m_strWww + "/ManifestDirectory.xml",
                 svctest::ManifestDirectoryXml({{kManifest, "1.00.0001", m_http.Url("/www/Jukebox_Manifest.xml")},
                                                {kOther, "1.00.0001", m_http.Url("/www/Extras_Manifest.xml")}}));
    }

    // A component record of the configuration file.
    static std::string Component(const std::string& strName, const std::string& strState,
                                 const std::vector<std::string>& vecClients, const std::string& strUninstall = "",
                                 const std::vector<std::string>& vecManifests = {kManifest}) {
        std::string strXml = "<Component name=\"" + strName + "\" version=\"1.00.0002\"><ClientList>";
        for (const std::string& strClient : vecClients) strXml += "<Client>" + strClient + "</Client>";
        strXml += "</ClientList><State value=\"" + strState + "\"><" + strState + " version=\"" +
                  (strState == "downloaded" ? "1.00.0002" : "1.00.0001") + "\"/></State><ManifestList>";
        for (const std::string& strManifest : vecManifests) strXml += "<Manifest>" + strManifest + "</Manifest>";
        strXml += "</ManifestList>";
        if (!strUninstall.empty()) strXml += "<Uninstall><Exe>" + strUninstall + "</Exe><Cmdline>/uninstall</Cmdline></Uninstall>";
        return strXml + "</Component>";
    }

    bool WaitForCallbacks(std::size_t nCount) {
        return m_pClient->PumpUntil([&] { return m_pRecorder->vecEvents.size() >= nCount; }, 30s);
    }
    // The install events the event server heard, in order.
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(m_mutexEvents);
        std::vector<std::string> vec;
        for (const std::string& str : m_vecEvents) {
            if (str.rfind("Install", 0) == 0) vec.push_back(str);
        }
        return vec;
    }
    template <class F>
    auto OnStore(F&& f) {
        return m_pServer->OnMain([&] { return f(*m_pServer->Server().Object().GetComponentConfig()); });
    }
    std::string State(const std::string& strComponent) { return svctest::ComponentState(*m_pServer, strComponent); }
    std::string Version(const std::string& strComponent, const std::string& strState) {
        return OnStore([&](mcComponentConfig& config) {
            std::string strVersion;
            config.GetComponentVersion(strComponent, strState, strVersion);
            return strVersion;
        });
    }
    std::vector<std::string> ClientsOf(const std::string& strComponent) {
        return OnStore([&](mcComponentConfig& config) {
            std::vector<std::string> vec;
            config.GetClientsOfComponent(strComponent, vec);
            return vec;
        });
    }
    std::size_t QueuedInstalls() {
        return m_pServer->OnMain([this] { return m_pServer->Server().Object().GetInstallEngine()->GetQueuedCount(); });
    }

    TestMachine m_machine;
    testsupport::PrivateBus m_bus;
    LocalHttpServer m_http;
    std::string m_strWww = m_machine.Folder() + "/www";
    // The configuration the service starts with.
    std::string m_strConfig =
        Component("Script", "downloaded", {}) + Component("Packed", "downloaded", {}) +
        Component("Silent", "downloaded", {}) + Component("Missing", "installed", {"A"}) +
        Component("BadName", "downloaded", {}) +
        Component("Shared", "installed", {"A"}) + Component("Current", "installed", {"A"}) +
        Component("ByClass", "downloaded", {}) + Component("ByProgId", "downloaded", {}) +
        Component("Unregistered", "downloaded", {});
    std::mutex m_mutexEvents;
    std::vector<std::string> m_vecEvents;
    std::unique_ptr<InProcessServer> m_pServer;
    std::unique_ptr<mcComponentMgrClient> m_pClient;
    std::shared_ptr<Recorder> m_pRecorder;
    std::string m_strCallback;
};

// The installer's words and working folder: an executable package runs in its
// holding-area folder with the manifest's arguments split as Windows does; a
// ".zrz" package goes to TI, run in TI's folder, with the unquoted package
// path and nothing between it and " /client ". Both report back through the
// real kettrinctl on the bus the service gave them, in a clean environment.
TEST_F(InstallOperationsTest, InstallersGetTheirWordsFolderAndEnvironment) {
    ::setenv("KETTRIN_TEST_MARKER", "leak", 1);
    struct Case {
        const char* pszComponent;
        std::string strRecord;
        std::vector<std::string> vecLines;
    };
    const Case cases[] = {
        {"Script", Record("Script"),
         {Holding("Script"), "[" + Holding("Script") + "/Script.sh]", "[--mode]", "[two words]", "[/client]",
          "[qorb]"}},
        {"Packed", Record("Packed"),
         {m_machine.Folder() + "/ti", "[" + TIPath() + "]", "[" + Holding("Packed") + "/Packed.zrz]", "[/client]",
          "[qorb]"}},
    };
    std::size_t nCallbacks = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszComponent);
        EXPECT_EQ(m_pClient->StartComponentInstall("qorb", kManifest, c.pszComponent, m_strCallback), S_OK);
        ASSERT_TRUE(WaitForCallbacks(++nCallbacks));
        EXPECT_EQ(m_pRecorder->vecEvents.back(), std::string("install:") + c.pszComponent + ":1:install said success");
        EXPECT_EQ(Lines(ReadFile(c.strRecord)), c.vecLines);
        const std::vector<std::string> vecEnv = Lines(ReadFile(c.strRecord + ".env"));
        EXPECT_NE(std::find(vecEnv.begin(), vecEnv.end(), "KETTRIN_BUS_ADDRESS=" + m_bus.Address()), vecEnv.end());
        for (const std::string& strLine : vecEnv) EXPECT_EQ(strLine.find("KETTRIN_TEST_MARKER"), std::string::npos);
        EXPECT_EQ(State(c.pszComponent), "installed");
        EXPECT_EQ(Version(c.pszComponent, "installed"), "1.00.0002");
        EXPECT_EQ(ClientsOf(c.pszComponent), std::vector<std::string>{"qorb"});
    }
    ::unsetenv("KETTRIN_TEST_MARKER");
    // The script package got its owner's execute bit just before it started.
    struct stat st {};
    ASSERT_EQ(::stat((Holding("Script") + "/Script.sh").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IXUSR, 0u);
    EXPECT_TRUE(svctest::WaitFor([this] { return Events().size() >= 2; }));
    EXPECT_EQ(Events(), (std::vector<std::string>{"InstallSuccess:Script:", "InstallSuccess:Packed:"}));
}

// The failure rows of the install job: the text, the clean-up's state rules
// and the event; an installer that reports failure keeps what it reported.
TEST_F(InstallOperationsTest, FailedInstallsSayWhyAndCleanUp) {
    // "Missing" is installed at 1.00.0001 and its package is not here.
    OnStore([](mcComponentConfig& config) {
        return config.SetComponentState("Missing", mcComponentConfig::kStateDownloaded, "1.00.0002");
    });
    EXPECT_EQ(m_pClient->StartComponentInstall("A", kManifest, "Missing", m_strCallback), S_OK);
    ASSERT_TRUE(WaitForCallbacks(1));
    EXPECT_EQ(m_pRecorder->vecEvents[0], "install:Missing:0:" + Holding("Missing") + "/Missing.sh not found on disk");
    EXPECT_EQ(State("Missing"), "installed");
    EXPECT_EQ(Version("Missing", "installed"), "1.00.0001");
    EXPECT_EQ(Version("Missing", "downloaded"), "0.00.0000");

    // An installer that never reports.
    const std::string strSize = std::to_string(std::filesystem::file_size(Holding("Silent") + "/Silent.sh"));
    EXPECT_EQ(m_pClient->StartComponentInstall("A", kManifest, "Silent", m_strCallback), S_OK);
    ASSERT_TRUE(WaitForCallbacks(2));
    EXPECT_EQ(m_pRecorder->vecEvents[1], "install:Silent:0:" + Holding("Silent") + "/Silent.sh of size " + strSize +
                                             " failed to return install result");
    EXPECT_EQ(State("Silent"), "downloaded");
    EXPECT_EQ(Version("Silent", "downloaded"), "0.00.0000");
    EXPECT_FALSE(std::filesystem::exists(Holding("Silent")));

    // An installer that reports failure: its text, no clean-up.
    WriteAll(Holding("Script") + "/Script.sh", Installer("Script", "fail", "1.00.0002"));
    EXPECT_EQ(m_pClient->StartComponentInstall("A", kManifest, "Script", m_strCallback), S_OK);
    ASSERT_TRUE(WaitForCallbacks(3));
    EXPECT_EQ(m_pRecorder->vecEvents[2], "install:Script:0:install said fail");
    EXPECT_TRUE(std::filesystem::exists(Holding("Script") + "/Script.sh"));
    EXPECT_EQ(State("Script"), "downloaded");

    // A TI that cannot be started: the Windows number of "no such file".
    std::filesystem::remove(TIPath());
    EXPECT_EQ(m_pClient->StartComponentInstall("A", kManifest, "Packed", m_strCallback), S_OK);
    ASSERT_TRUE(WaitForCallbacks(4));
    EXPECT_EQ(m_pRecorder->vecEvents[3], "install:Packed:0:" + TIPath() + " failed with GetLastError 00000002");

    // A package name from the URL that is no plain file name starts nothing.
    EXPECT_EQ(m_pClient->StartComponentInstall("A", kManifest, "BadName", m_strCallback), S_OK);
    ASSERT_TRUE(WaitForCallbacks(5));
    EXPECT_EQ(m_pRecorder->vecEvents[4], "install:BadName:0:" + Holding("BadName") + "/.. failed with GetLastError 0000007b");
    EXPECT_EQ(State("BadName"), "downloaded");

    ASSERT_TRUE(svctest::WaitFor([this] { return Events().size() >= 5; }));
    const std::vector<std::string> vecEvents = Events();
    for (const std::string& strEvent : vecEvents) EXPECT_EQ(strEvent.rfind("InstallFailure:", 0), 0u) << strEvent;
}

// Which installs start: unknown (download, then install), installed for
// another client (the client joins, nothing runs), same version (nothing).
TEST_F(InstallOperationsTest, InstallDecidesByStatus) {
    EXPECT_EQ(m_pClient->StartComponentInstall("A", kManifest, "Fresh", m_strCallback), S_OK);
    ASSERT_TRUE(WaitForCallbacks(1));
    EXPECT_EQ(m_pRecorder->vecEvents[0], "install:Fresh:1:install said success");
    EXPECT_EQ(State("Fresh"), "installed");
    EXPECT_EQ(Lines(ReadFile(Record("Fresh"))).at(0), Holding("Fresh"));
    ASSERT_TRUE(svctest::WaitFor([this] { return QueuedInstalls() == 0; }));  // the job ends after its event

    EXPECT_EQ(m_pClient->StartComponentInstall("B", kManifest, "Shared", m_strCallback), S_OK);
    ASSERT_TRUE(WaitForCallbacks(2));
    EXPECT_EQ(m_pRecorder->vecEvents[1], "install:Shared:1:");
    EXPECT_EQ(ClientsOf("Shared"), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(QueuedInstalls(), 0u);

    // "Current" is installed at 1.00.0001; make the manifest's version equal.
    OnStore([](mcComponentConfig& config) {
        return config.SetComponentState("Current", mcComponentConfig::kStateInstalled, "1.00.0002");
    });
    EXPECT_EQ(m_pClient->StartComponentInstall("A", kManifest, "Current", m_strCallback), S_FALSE);
    EXPECT_EQ(m_machine.CountLogLines("StartComponentInstall: Versions - manifest : config - 1.00.0002 : 1.00.0002"), 1);
    EXPECT_EQ(m_machine.CountLogLines("StartComponentInstall: pManifest == NULL : Nope"), 0);
    EXPECT_EQ(m_pClient->StartComponentInstall("A", "Nope", "Current", m_strCallback), S_FALSE);
    EXPECT_EQ(m_machine.CountLogLines("StartComponentInstall: pManifest == NULL : Nope"), 1);
}

// A mandatory update asks the component's plug-in (found by class or by
// ProgID) to disable itself before the install; no registration skips that.
TEST_F(InstallOperationsTest, MandatoryInstallDisablesThePluginFirst) {
    PluginObject plugin(m_bus.Address());
    std::size_t n = 0;
    for (const char* pszComponent : {"ByClass", "ByProgId", "Unregistered"}) {
        EXPECT_EQ(m_pClient->StartComponentInstall("A", kManifest, pszComponent, m_strCallback), S_OK);
        ASSERT_TRUE(WaitForCallbacks(++n));
        EXPECT_EQ(m_pRecorder->vecEvents.back(), std::string("install:") + pszComponent + ":1:install said success");
    }
    EXPECT_EQ(plugin.Calls(), (std::vector<std::string>{"ByClass:Jukebox", "ByProgId:Jukebox"}));
    EXPECT_EQ(m_machine.CountLogLines("Failed to disable component during install : Unregistered"), 0);
}

// Uninstalls: a second client only lets go; the last one runs the recorded
// uninstaller, which reports back; a ".zrz" name that is not a plain file
// name starts nothing; a program that cannot start is told as a failed wait;
// an uninstall job is never found by IsComponentInstallRunning.
TEST_F(InstallOperationsTest, UninstallLetsGoOrRunsTheRecordedProgram) {
    WriteAll(Uninstaller("Shared"), Installer("Shared", "success", "1.00.0001"), true);
    OnStore([this](mcComponentConfig& config) {
        return config.SetComponentClient("Shared", "B") &&
               config.SetComponentInstallData("A", "<Component name=\"Shared\" version=\"1.00.0001\"><ManifestName>Jukebox"
                                                   "</ManifestName><Install result=\"success\"/>"
                                                   "<Uninstall><Exe>" + Uninstaller("Shared") +
                                                   "</Exe><Cmdline>/uninstall</Cmdline></Uninstall></Component>");
    });
    EXPECT_EQ(m_pClient->StartComponentUninstall("B", kManifest, "Shared", m_strCallback), S_OK);
    ASSERT_TRUE(WaitForCallbacks(1));
    EXPECT_EQ(m_pRecorder->vecEvents[0], "uninstall:Shared:1:");
    EXPECT_EQ(ClientsOf("Shared"), std::vector<std::string>{"A"});
    EXPECT_FALSE(std::filesystem::exists(Record("Shared")));

    EXPECT_EQ(m_pClient->StartComponentUninstall("A", kManifest, "Shared", m_strCallback), S_OK);
    bool bRunning = true;
    EXPECT_EQ(m_pClient->IsComponentInstallRunning("A", kManifest, "Shared", bRunning), S_OK);
    EXPECT_FALSE(bRunning);
    ASSERT_TRUE(WaitForCallbacks(2));
    EXPECT_EQ(m_pRecorder->vecEvents[1], "uninstall:Shared:1:uninstall said success");
    EXPECT_EQ(Lines(ReadFile(Record("Shared"))),
              (std::vector<std::string>{std::filesystem::current_path().string(), "[" + Uninstaller("Shared") + "]",
                                        "[/uninstall]", "[/client]", "[A]"}));
    EXPECT_EQ(State("Shared"), "uninstalled");

    struct Case {
        const char* pszName;
        std::string strExe;
    };
    // A ".zrz" uninstall goes to TI with the quoted package path.
    WriteAll(TIPath(), Installer("Gone", "success", "1.00.0001"), true);
    OnStore([&](mcComponentConfig& config) {
        return config.SetComponentInstallData("A", "<Component name=\"Gone\" version=\"1.00.0001\"><ManifestName>Jukebox"
                                                   "</ManifestName><Install result=\"success\"/><Uninstall><Exe>Gone.zrz"
                                                   "</Exe><Cmdline>/uninstall</Cmdline></Uninstall></Component>");
    });
    EXPECT_EQ(m_pClient->StartComponentUninstall("A", kManifest, "Gone", m_strCallback), S_OK);
    ASSERT_TRUE(WaitForCallbacks(3));
    EXPECT_EQ(m_pRecorder->vecEvents[2], "uninstall:Gone:1:uninstall said success");
    EXPECT_EQ(Lines(ReadFile(Record("Gone"))),
              (std::vector<std::string>{std::filesystem::current_path().string(), "[" + TIPath() + "]",
                                        "[" + Holding("Gone") + "/Gone.zrz]", "[/uninstall]", "[/client]", "[A]"}));
    std::filesystem::remove(Record("Gone"));

    const Case cases[] = {
        {"unsafe zrz name", "../../outside.zrz"},
        {"missing program", m_machine.Folder() + "/no/such/uninstaller"},
    };
    std::size_t n = 3;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        OnStore([&](mcComponentConfig& config) {
            return config.SetComponentInstallData("A", "<Component name=\"Gone\" version=\"1.00.0001\"><ManifestName>Jukebox"
                                                       "</ManifestName><Install result=\"success\"/>"
                                                       "<Uninstall><Exe>" + c.strExe +
                                                       "</Exe><Cmdline>/uninstall</Cmdline></Uninstall></Component>");
        });
        EXPECT_EQ(m_pClient->StartComponentUninstall("A", kManifest, "Gone", m_strCallback), S_OK);
        ASSERT_TRUE(WaitForCallbacks(++n));
        EXPECT_EQ(m_pRecorder->vecEvents.back(), "uninstall:Gone:0:WaitForSingleObject returned WAIT_ABANDONED");
        EXPECT_EQ(State("Gone"), "installed");
    }
    // TI was never started for the unsafe name.
    EXPECT_FALSE(std::filesystem::exists(Record("Gone")));
}

// ClientUninstalled: each component by the rule of each of its manifests; the
// "CM" uninstaller runs while the main thread waits, reports back, and a
// second client's query is answered meanwhile.
TEST_F(InstallOperationsTest, ClientUninstalledHandlesEachComponentByItsRule) {
    // The uninstaller holds on until a second client has been answered.
    const std::string strGate = m_machine.Folder() + "/gate";
    std::string strUninstaller = Installer("Script", "success", "1.00.0002");
    strUninstaller.insert(strUninstaller.find("for a in \"$@\"; do client"),
                          "i=0; while [ ! -e '" + strGate + "' ] && [ $i -lt 1000 ]; do sleep 0.02; i=$((i+1)); done\n");
    WriteAll(Uninstaller("Script"), strUninstaller, true);
    const std::string strInstalled = "<Component name=\"%\" version=\"1.00.0002\"><ManifestName>Jukebox</ManifestName>"
                                     "<Install result=\"success\"/><Uninstall><Exe>" + Uninstaller("Script") +
                                     "</Exe><Cmdline>/uninstall</Cmdline></Uninstall></Component>";
    OnStore([&](mcComponentConfig& config) {
        bool bOk = true;
        for (const char* pszName : {"Script", "ClientRule", "NoRule", "Two"}) {
            std::string strText = strInstalled;
            strText.replace(strText.find('%'), 1, pszName);
            bOk = config.SetComponentInstallData("Gamma", strText) && bOk;
        }
        bOk = config.SetComponentManifest("Two", kOther) && bOk;
        msClientRecord record{"Gamma", "1.0", "oem", "en"};
        return config.AddClient(record) && bOk;
    });

    std::atomic<bool> bAnswered{false};
    std::thread other([&] {
        mcComponentMgrClient client(Options());
        std::int32_t nStatus = 0;
        // Asked while the uninstaller waits for the gate.
        svctest::WaitFor([&] { return std::filesystem::exists(Record("Script")); });
        bAnswered = client.IsComponentInstalled("A", kManifest, "Shared", nStatus) == S_OK && nStatus == 0x10;
        WriteAll(strGate, "open");
    });
    EXPECT_EQ(m_pClient->ClientUninstalled("Gamma", m_strCallback), S_OK);
    other.join();
    EXPECT_TRUE(bAnswered);
    ASSERT_TRUE(WaitForCallbacks(1));
    EXPECT_EQ(m_pRecorder->vecEvents, std::vector<std::string>{"uninstall:Script:1:uninstall said success"});
    EXPECT_EQ(State("Script"), "uninstalled");
    EXPECT_EQ(State("ClientRule"), "uninstalled");            // rule "Client": the store catches up
    EXPECT_EQ(ClientsOf("NoRule"), std::vector<std::string>{"CM"});  // no rule: the placeholder
    EXPECT_EQ(State("NoRule"), "installed");
    EXPECT_EQ(State("Two"), "uninstalled");  // no rule in one manifest, "Client" in the other
    msClientRecord record;
    EXPECT_FALSE(OnStore([&](mcComponentConfig& config) { return config.GetClient("Gamma", record); }));
}

// The asynchronous form queues the "CM" uninstall and keeps the client on a
// component without rule; an unknown manifest ends the walk; registering
// again overwrites the record.
TEST_F(InstallOperationsTest, ClientUninstalledAsynchronousQueuesAndKeeps) {
    WriteAll(Uninstaller("Script"), Installer("Script", "success", "1.00.0002"), true);
    const std::string strInstalled = "<Component name=\"%\" version=\"1.00.0002\"><ManifestName>Jukebox</ManifestName>"
                                     "<Install result=\"success\"/><Uninstall><Exe>" + Uninstaller("Script") +
                                     "</Exe><Cmdline>/uninstall</Cmdline></Uninstall></Component>";
    OnStore([&](mcComponentConfig& config) {
        bool bOk = true;
        for (const char* pszName : {"Script", "NoRule"}) {
            std::string strText = strInstalled;
            strText.replace(strText.find('%'), 1, pszName);
            bOk = config.SetComponentInstallData("Delta", strText) && bOk;
        }
        return bOk;
    });
    EXPECT_EQ(m_pClient->ClientInstalled("Delta", "1.0", "oem", "en"), S_OK);
    EXPECT_EQ(m_pClient->ClientInstalled("Delta", "2.0", "other", "de"), S_OK);
    msClientRecord record;
    ASSERT_TRUE(OnStore([&](mcComponentConfig& config) { return config.GetClient("Delta", record); }));
    EXPECT_EQ(record, (msClientRecord{"Delta", "2.0", "other", "de"}));

    EXPECT_EQ(m_pClient->ClientUninstalled_Asynchronous("Delta", m_strCallback), S_OK);
    ASSERT_TRUE(WaitForCallbacks(1));
    EXPECT_EQ(m_pRecorder->vecEvents[0], "uninstall:Script:1:uninstall said success");
    EXPECT_EQ(ClientsOf("NoRule"), std::vector<std::string>{"Delta"});

    // A component listed under a manifest the service does not know.
    OnStore([](mcComponentConfig& config) {
        return config.SetComponentManifest("Shared", "Unknown") && config.SetComponentClient("Shared", "Eps");
    });
    EXPECT_EQ(m_pClient->ClientUninstalled("Eps", m_strCallback), S_FALSE);
    EXPECT_EQ(m_machine.CountLogLines("ClientUninstalled: pManifest == NULL : Unknown"), 1);
}

}  // namespace

namespace {

// kettrinctl end to end: install with progress through download and install,
// a failed install (exit 4 and its text), uninstall, and the client lifecycle
// commands printing the uninstalls the service reports.
TEST_F(InstallOperationsTest, KettrinctlInstallsAndUninstalls) {
    const std::string strAddress = m_bus.Address();
    WriteAll(Uninstaller("Fresh"), Installer("Fresh", "success", "1.00.0002"), true);
    // Installers that take a moment, so that the display can see their jobs.
    const auto Slow = [this](const std::string& strName) {
        std::string strScript = Installer(strName, "success", "1.00.0002");
        return strScript.insert(strScript.find('\n') + 1, "sleep 0.5\n");
    };
    WriteAll(m_strWww + "/pkg/Fresh.sh", Slow("Fresh"));
    WriteAll(Holding("Script") + "/Script.sh", Slow("Script"));
    std::string strOut;
    std::string strErr;
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "--address", strAddress, "install", "A", kManifest, "Fresh"}, &strOut,
                                  &strErr),
              0)
        << strErr;
    // One display: the download, then the install, then the outcome.
    const std::size_t nDownloading = strOut.find("Fresh downloading");
    const std::size_t nInstalling = strOut.find("Fresh installing 100%");
    const std::size_t nInstalled = strOut.find("Fresh: installed");
    EXPECT_NE(nDownloading, std::string::npos) << strOut;
    EXPECT_NE(nInstalling, std::string::npos) << strOut;
    EXPECT_NE(nInstalled, std::string::npos) << strOut;
    EXPECT_TRUE(nDownloading < nInstalling && nInstalling < nInstalled) << strOut;
    EXPECT_EQ(strOut.find("downloading", nInstalling), std::string::npos) << strOut;
    EXPECT_EQ(State("Fresh"), "installed");

    // Installed already at the manifest's version: nothing started.
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "--address", strAddress, "install", "A", kManifest, "Fresh"}), 1);

    strErr.clear();
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "--address", strAddress, "install", "A", kManifest, "Silent"}, nullptr,
                                  &strErr),
              4);
    EXPECT_NE(strErr.find("failed to return install result"), std::string::npos) << strErr;

    strOut.clear();
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "--address", strAddress, "--json", "uninstall", "A", kManifest,
                                   "Fresh"},
                                  &strOut),
              0);
    EXPECT_NE(strOut.find("\"result\":\"uninstalled\""), std::string::npos) << strOut;
    EXPECT_EQ(State("Fresh"), "uninstalled");

    // The lifecycle: "Script" (rule "CM") goes with its only client.
    WriteAll(Uninstaller("Script"), Installer("Script", "success", "1.00.0002"), true);
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "--address", strAddress, "client-installed", "Zeta", "1.0", "oem",
                                   "en"}),
              0);
    // Already downloaded: the display shows the install alone.
    strOut.clear();
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "--address", strAddress, "install", "Zeta", kManifest, "Script"},
                                  &strOut),
              0);
    EXPECT_EQ(strOut, "Script installing 100%\nScript: installed\n");
    strOut.clear();
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "--address", strAddress, "client-uninstalled", "Zeta"}, &strOut), 0);
    EXPECT_NE(strOut.find("Script: uninstalled: uninstall said success"), std::string::npos) << strOut;
    EXPECT_NE(strOut.find("Zeta: unregistered"), std::string::npos) << strOut;
    EXPECT_EQ(State("Script"), "uninstalled");
}

}  // namespace
