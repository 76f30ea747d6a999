// The manifest directory against a local HTTP server that serves the redirect
// service, the directory, signed manifests and the event endpoint, with a
// private registry, log and application folder and a fixed clock.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "ManifestKey.h"
#include "ManifestTestUtil.h"
#include "registry/RegistryKey.h"
#include "support/ScratchMachine.h"
#include "base/StrUtils.h"
#include "base/mcCMLog.h"
#include "registry/mcCMUtils.h"
#include "manifest/Crypt.h"
#include "manifest/mcManifestDir.h"
#include "manifest/mcSignedFile.h"
#include "manifest/StrongCrypt.h"
#include "manifest/mcTrustedKeys.h"
#include "support/LocalHttpServer.h"

using kettrin::test::LocalHttpServer;
using manifest_test::ReadFile;
using manifest_test::WriteFile;
namespace fs = std::filesystem;
using Clock = mcManifestDir::Clock;

namespace {

constexpr const char* kEventPath = "/qorb/ev/cm";
constexpr const char* kRedirect = "/qorb/process.cgi";
constexpr const char* kDirFile = "/files/dir.xml";
constexpr const char* kJukeboxFile = "/files/Jukebox.xml";

// Local date and time as a time point.
Clock::time_point LocalTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                            int millis = 0) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return Clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(millis);
}

std::string ManifestXml(const std::string& version) {
    return "<ComponentManifest version=\"" + version +
           "\"><Component name=\"Visualizer\"><Plugin name=\"viz.zrz\" version=\"" + version +
           "\"><Update><URL>http://dl.example/viz.zrz</URL></Update></Plugin></Component></ComponentManifest>";
}

std::string EntryXml(const std::string& tag, const std::string& name, const std::string& version,
                     const std::string& url) {
    return "<" + tag + " name=\"" + name + "\" version=\"" + version + "\"><URL>" + url + "</URL></" + tag + ">";
}

std::string DirXml(const std::string& rootAttrs, const std::string& body) {
    return "<ManifestDirectory" + rootAttrs + ">" + body + "</ManifestDirectory>";
}

class RecordingOwner : public IManifestDirOwner {
public:
    HRESULT NotifyManifestUpdated(const std::string& name) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecNames.push_back(name);
        return S_OK;
    }
    std::vector<std::string> Names() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecNames;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_vecNames;
};

class ManifestDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_strApp = m_tmp / "app";
        fs::create_directories(m_strApp);
        ASSERT_TRUE(mcCMLog::Instance().Open(m_tmp.Path()));
        try {
            core::registry::RegistryKey::DeleteKey(mcCMUtils::kRegistryRoot, mcCMUtils::kRegistryKey);
        } catch (const std::exception&) {
        }
        m_strPem = ReadFile(manifest_test::kDevKeyPath);

        m_server.Get(kEventPath, [](const httplib::Request&, httplib::Response& res) {
            res.set_content("", "text/plain");
        });
        m_server.Get(kRedirect, [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(m_server.Url(kDirFile) + " \r\n", "text/plain");
        });
        m_server.Get(R"(/files/.+)", [this](const httplib::Request& req, httplib::Response& res) {
            const int n = ++m_nInFlight;
            for (int m = m_nMaxInFlight.load(); n > m && !m_nMaxInFlight.compare_exchange_weak(m, n);) {
            }
            std::unique_lock<std::mutex> lock(m_mutex);
            if (req.path == m_strGatePath)
                m_cvGate.wait_for(lock, std::chrono::seconds(10), [this] { return m_bGateOpen; });
            auto it = m_mapFiles.find(req.path);
            if (it == m_mapFiles.end()) {
                res.status = 404;
            } else {
                res.set_content(it->second, "application/octet-stream");
            }
            --m_nInFlight;
        });
        ASSERT_TRUE(m_server.Start());
        SetCm("EventServer", m_server.HostPort());
        SetCm("RedirectServer", m_server.HostPort());
    }
    void TearDown() override {
        OpenGate();
        m_server.Stop();
        mcCMLog::Instance().Close();
    }

    void SetCm(const std::string& name, const std::string& value) {
        core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
        root.CreateSubKey(mcCMUtils::kRegistryKey).SetValueString(name, value);
    }
    std::string GetCm(const std::string& name) {
        try {
            core::registry::RegistryKey key(mcCMUtils::kRegistryRoot, mcCMUtils::kRegistryKey,
                                            core::registry::KEY_READ);
            return key.GetValueString(name);
        } catch (const std::exception&) {
            return "<absent>";
        }
    }

    void Serve(const std::string& path, const std::string& bytes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mapFiles[path] = bytes;
    }
    void Unserve(const std::string& path) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mapFiles.erase(path);
    }
    void CloseGate(const std::string& path) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_strGatePath = path;
        m_bGateOpen = false;
    }
    void OpenGate() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bGateOpen = true;
        }
        m_cvGate.notify_all();
    }

    std::string Signed(const std::string& xml) const {
        return mcSignedFile::Compose(zr::crypt::RSASign(m_strPem, xml), xml);
    }
    std::string JukeboxEntry(const std::string& version, const std::string& tag = "Manifest") const {
        return EntryXml(tag, "Jukebox", version, m_server.Url(kJukeboxFile));
    }
    // A directory and the Jukebox manifest already in force in the application folder.
    void WriteLocalState(const std::string& version, const std::string& rootAttrs = " Interval=\"3\"") {
        WriteFile(App(mcManifestDir::kDirectoryFileName), DirXml(rootAttrs, JukeboxEntry(version)));
        WriteFile(App("Jukebox_Manifest.xml"), Signed(ManifestXml(version)));
    }
    std::string App(const std::string& name) const { return m_strApp + "/" + name; }

    mcManifestDir::Config MakeConfig() {
        mcManifestDir::Config config;
        config.strAppFolder = m_strApp;
        config.fnNow = [this] { return m_now; };
        config.fnConnectionCheck = [this] { return m_bOnline.load(); };
        config.strPublicKeyHex = zr::crypt::kDevelopmentManifestPublicKey;
        return config;
    }
    std::unique_ptr<mcManifestDir> MakeDir() { return std::make_unique<mcManifestDir>(&m_owner, MakeConfig()); }

    std::size_t Requests(const std::string& path) const {
        std::size_t n = 0;
        for (const auto& r : m_server.Requests())
            if (r.path == path) ++n;
        return n;
    }
    std::vector<std::string> Events() const {
        std::vector<std::string> queries;
        for (const auto& r : m_server.Requests())
            if (r.path == kEventPath) queries.push_back(r.query);
        return queries;
    }
    // The query up to the common request parameters, which are checked once.
    static std::string EventHead(const std::string& query) {
        const std::size_t pos = query.find("&CMVersion=");
        return pos == std::string::npos ? query : query.substr(0, pos);
    }
    std::vector<std::string> EventHeads() const {
        std::vector<std::string> heads;
        for (const auto& q : Events()) heads.push_back(EventHead(q));
        return heads;
    }
    std::string Log() const { return ReadFile(m_tmp / "ComponentMgr.log"); }
    bool Logged(const std::string& message) const {
        return Log().find(" : " + message + "\n") != std::string::npos;
    }

    // The test's own scratch machine: folder, registry, trace socket.
    testsupport::ScratchMachine m_tmp;
    std::string m_strApp;
    std::string m_strPem;
    LocalHttpServer m_server;
    RecordingOwner m_owner;
    Clock::time_point m_now = LocalTime(2026, 12, 8, 14, 30, 0);
    std::atomic<bool> m_bOnline{true};

    std::mutex m_mutex;
    std::map<std::string, std::string> m_mapFiles;
    std::string m_strGatePath;
    bool m_bGateOpen = true;
    std::condition_variable m_cvGate;
    std::atomic<int> m_nInFlight{0};
    std::atomic<int> m_nMaxInFlight{0};
};

// ---- First start -------------------------------------------------------------

TEST_F(ManifestDirTest, FirstStartDownloadsDirectoryAndManifestsAtOnce) {
    const std::string dir = DirXml(" Interval=\"7\"", JukeboxEntry("1.00.0002"));
    const std::string manifest = Signed(ManifestXml("1.00.0002"));
    Serve(kDirFile, dir);
    Serve(kJukeboxFile, manifest);
    SetCm("LastDirUpdate", "12-8-2026");  // not due, but there is no directory yet

    auto pDir = MakeDir();

    ASSERT_TRUE(pDir->IsLoaded());
    EXPECT_EQ(pDir->GetInterval(), 7);
    auto pManifest = pDir->GetManifest("Jukebox");
    ASSERT_NE(pManifest, nullptr);
    EXPECT_EQ(pManifest->GetVersion(), "1.00.0002");
    EXPECT_EQ(ReadFile(App("ManifestDirectory.xml")), dir);
    EXPECT_EQ(ReadFile(App("Jukebox_Manifest.xml")), manifest);
    EXPECT_FALSE(fs::exists(App("ManifestDirectory.tmp")));
    EXPECT_FALSE(fs::exists(App("Jukebox_Manifest.tmp")));
    EXPECT_EQ(m_owner.Names(), std::vector<std::string>{"Jukebox"});
    EXPECT_EQ(GetCm("LastDirUpdate"), "12-8-2026");

    // The redirect service named the directory; the downloads carry the date
    // and no-cache headers and the agent.
    EXPECT_EQ(Requests(kRedirect), 1u);
    for (const auto& r : m_server.Requests()) {
        if (r.path == kRedirect) {
            EXPECT_EQ(r.query, "REQUEST=GOTO&URL=CM&");
        }
        if (r.path != kDirFile && r.path != kJukeboxFile) continue;
        const std::string date = r.Header("Date");
        EXPECT_EQ(date.size(), 29u) << date;
        EXPECT_EQ(date.substr(date.size() - 4), " GMT");
        EXPECT_EQ(r.Header("User-Agent"), "qorb");
        EXPECT_EQ(r.Header("Cache-Control"), "no-cache");
    }

    // Manifest events come first; the directory's is sent when everything is done.
    const auto events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(EventHead(events[0]),
              "Event=ManifestDownloadSuccess&client=CM&Component=Jukebox_Manifest.tmp&ComponentVer=1.00.0002&AddInfo=");
    EXPECT_EQ(EventHead(events[1]),
              "Event=ManifestDownloadSuccess&client=CM&Component=ManifestDirectory.tmp&ComponentVer=&AddInfo=");
    EXPECT_EQ(events[1].substr(EventHead(events[1]).size()).rfind("&CMVersion=1.00.0073&Uid=", 0), 0u)
        << events[1];
    EXPECT_TRUE(Logged("mcManifestDir::UpdateToNewVersion update complete"));
}

TEST_F(ManifestDirTest, FailedFirstAttemptIsRetriedByTheNextUpdate) {
    // The directory is not there yet: 404.
    auto pDir = MakeDir();
    EXPECT_FALSE(pDir->IsLoaded());
    EXPECT_EQ(GetCm("LastDirUpdate"), "<absent>");
    EXPECT_EQ(EventHeads(), std::vector<std::string>{
                                "Event=ManifestDownloadFailure&client=CM&Component=ManifestDirectory.tmp"
                                "&ComponentVer=&AddInfo=Dowload%20of%20Manifest%20directory%20failed"});
    EXPECT_EQ(pDir->GetManifest("Jukebox"), nullptr);
    EXPECT_EQ(pDir->GetInterval(), 1);

    Serve(kDirFile, DirXml("", JukeboxEntry("1.00.0001")));
    Serve(kJukeboxFile, Signed(ManifestXml("1.00.0001")));
    EXPECT_TRUE(pDir->UpdateToNewVersion(false));
    EXPECT_TRUE(pDir->IsLoaded());
    ASSERT_NE(pDir->GetManifest("Jukebox"), nullptr);
    EXPECT_EQ(Requests(kDirFile), 2u);
    // The directory URL is looked up once per object.
    EXPECT_EQ(Requests(kRedirect), 1u);
    EXPECT_EQ(GetCm("LastDirUpdate"), "12-8-2026");

    // Now it is not due until the interval has passed.
    EXPECT_TRUE(pDir->UpdateToNewVersion(false));
    EXPECT_EQ(Requests(kDirFile), 2u);
}

TEST_F(ManifestDirTest, LocalDirectoryLoadsWithoutNetwork) {
    WriteLocalState("1.00.0001");
    auto pDir = MakeDir();
    ASSERT_TRUE(pDir->IsLoaded());
    EXPECT_EQ(pDir->GetInterval(), 3);
    ASSERT_NE(pDir->GetManifest("Jukebox"), nullptr);
    EXPECT_EQ(pDir->GetManifest("Jukebox")->GetVersion(), "1.00.0001");
    EXPECT_EQ(pDir->GetManifest("jukebox"), nullptr);
    EXPECT_EQ(m_server.RequestCount(), 0u);
}

// ---- Due date ------------------------------------------------------------------

TEST_F(ManifestDirTest, DueExactlyWhenTheIntervalHasPassedInLocalTime) {
    WriteLocalState("1.00.0001", " Interval=\"3\"");
    auto pDir = MakeDir();
    SetCm("LastDirUpdate", "12-8-2026");

    m_now = LocalTime(2026, 12, 10, 23, 59, 59, 999);
    EXPECT_FALSE(pDir->IsUpdateDue());
    EXPECT_TRUE(pDir->UpdateToNewVersion(false));
    EXPECT_EQ(m_server.RequestCount(), 0u);

    m_now = LocalTime(2026, 12, 11, 0, 0, 0);
    EXPECT_TRUE(pDir->IsUpdateDue());
    m_now = LocalTime(2027, 1, 1);
    EXPECT_TRUE(pDir->IsUpdateDue());
}

TEST_F(ManifestDirTest, MissingOrNonNumericIntervalMeansOneDay) {
    for (const std::string attrs : {"", " Interval=\"abc\"", " Interval=\"3days\""}) {
        SCOPED_TRACE(attrs);
        WriteLocalState("1.00.0001", attrs);
        auto pDir = MakeDir();
        ASSERT_TRUE(pDir->IsLoaded());
        EXPECT_EQ(pDir->GetInterval(), 1);
        SetCm("LastDirUpdate", "12-8-2026");
        m_now = LocalTime(2026, 12, 8, 23, 59, 59, 999);
        EXPECT_FALSE(pDir->IsUpdateDue());
        m_now = LocalTime(2026, 12, 9);
        EXPECT_TRUE(pDir->IsUpdateDue());
    }
}

TEST_F(ManifestDirTest, MissingMalformedOrFutureLastUpdateIsDue) {
    WriteLocalState("1.00.0001", " Interval=\"30\"");
    auto pDir = MakeDir();
    m_now = LocalTime(2026, 12, 9, 12);
    EXPECT_TRUE(pDir->IsUpdateDue());  // no value
    for (const std::string value : {"", "12-8", "12-8-2026-1", "a-b-c", "12--2026", "2-30-2026", "13-1-2026",
                                    "12-8-2026x", "-12-8-2026", "12-8-2027"}) {
        SetCm("LastDirUpdate", value);
        EXPECT_TRUE(pDir->IsUpdateDue()) << value;
    }
    SetCm("LastDirUpdate", "2-29-2024");  // leap day, 30 days ago and more
    EXPECT_TRUE(pDir->IsUpdateDue());
    SetCm("LastDirUpdate", "12-1-2026");
    EXPECT_FALSE(pDir->IsUpdateDue());
}

TEST_F(ManifestDirTest, SetLastDirUpdateWritesLocalMonthDayYear) {
    WriteLocalState("1.00.0001");
    auto pDir = MakeDir();
    m_now = LocalTime(2027, 3, 5, 0, 0, 1);
    EXPECT_TRUE(pDir->SetLastDirUpdate());
    EXPECT_EQ(GetCm("LastDirUpdate"), "3-5-2027");
}

// ---- Manifest updates ------------------------------------------------------------

TEST_F(ManifestDirTest, OverrideWinsOverManifestOfTheSameNameOnly) {
    WriteFile(App("ManifestDirectory.xml"), DirXml("", ""));
    auto pDir = MakeDir();
    // The plain entry lists a higher version: only the skip keeps it from being fetched.
    Serve("/files/a.xml", Signed(ManifestXml("1.00.0009")));
    Serve("/files/b.xml", Signed(ManifestXml("1.00.0006")));
    Serve("/files/c.xml", Signed(ManifestXml("1.00.0007")));
    SetCm("ManifestDirUrl", m_server.Url(kDirFile));
    Serve(kDirFile, DirXml("", EntryXml("Manifest", "Jukebox", "1.00.0009", m_server.Url("/files/a.xml")) +
                                   "<Group>" +
                                   EntryXml("ManifestOverride", "Jukebox", "1.00.0006", m_server.Url("/files/b.xml")) +
                                   "</Group>" +
                                   EntryXml("Manifest", "jukebox", "1.00.0007", m_server.Url("/files/c.xml"))));

    EXPECT_TRUE(pDir->UpdateToNewVersion(true));

    EXPECT_EQ(Requests(kRedirect), 0u);  // the registry names the directory
    EXPECT_EQ(Requests("/files/a.xml"), 0u);
    EXPECT_EQ(Requests("/files/b.xml"), 1u);
    EXPECT_EQ(Requests("/files/c.xml"), 1u);
    ASSERT_NE(pDir->GetManifest("Jukebox"), nullptr);
    EXPECT_EQ(pDir->GetManifest("Jukebox")->GetVersion(), "1.00.0006");
    ASSERT_NE(pDir->GetManifest("jukebox"), nullptr);
    EXPECT_EQ(pDir->GetManifest("jukebox")->GetVersion(), "1.00.0007");
    // Overrides are updated first.
    EXPECT_EQ(m_owner.Names(), (std::vector<std::string>{"Jukebox", "jukebox"}));
}

TEST_F(ManifestDirTest, UpToDateManifestIsLoggedAndNotFetched) {
    WriteLocalState("1.00.0002");
    auto pDir = MakeDir();
    SetCm("ManifestDirUrl", m_server.Url(kDirFile));
    Serve(kDirFile, DirXml("", JukeboxEntry("1.00.0002")));

    EXPECT_TRUE(pDir->UpdateToNewVersion(true));
    EXPECT_TRUE(Logged("Manifest file up to date : Jukebox : 1.00.0002"));
    EXPECT_EQ(Requests(kJukeboxFile), 0u);
    EXPECT_EQ(EventHeads(), std::vector<std::string>{
                                "Event=ManifestDownloadSuccess&client=CM&Component=ManifestDirectory.tmp"
                                "&ComponentVer=&AddInfo="});
    EXPECT_TRUE(m_owner.Names().empty());
}

TEST_F(ManifestDirTest, NewerManifestReplacesTheOldWhileHandedOutCopiesStayUsable) {
    WriteLocalState("1.00.0001");
    auto pDir = MakeDir();
    auto pOld = pDir->GetManifest("Jukebox");
    ASSERT_NE(pOld, nullptr);
    SetCm("ManifestDirUrl", m_server.Url(kDirFile));
    Serve(kDirFile, DirXml("", JukeboxEntry("1.00.0002")));
    const std::string newer = Signed(ManifestXml("1.00.0002"));
    Serve(kJukeboxFile, newer);

    EXPECT_TRUE(pDir->UpdateToNewVersion(true));

    auto pNew = pDir->GetManifest("Jukebox");
    ASSERT_NE(pNew, nullptr);
    EXPECT_EQ(pNew->GetVersion(), "1.00.0002");
    EXPECT_EQ(ReadFile(App("Jukebox_Manifest.xml")), newer);
    EXPECT_FALSE(fs::exists(App("Jukebox_Manifest.tmp")));
    EXPECT_EQ(m_owner.Names(), std::vector<std::string>{"Jukebox"});
    // The manifest handed out before the update still answers.
    EXPECT_EQ(pOld->GetVersion(), "1.00.0001");
    mcManifestComponent component;
    ASSERT_TRUE(pOld->GetComponent("Visualizer", component));
    EXPECT_EQ(component.m_plugin.m_strVersion, "1.00.0001");
    EXPECT_EQ(EventHeads()[0],
              "Event=ManifestDownloadSuccess&client=CM&Component=Jukebox_Manifest.tmp&ComponentVer=1.00.0002&AddInfo=");
}

TEST_F(ManifestDirTest, BadSignatureKeepsTheOldManifest) {
    WriteLocalState("1.00.0001");
    auto pDir = MakeDir();
    SetCm("ManifestDirUrl", m_server.Url(kDirFile));
    Serve(kDirFile, DirXml("", JukeboxEntry("1.00.0002")));
    std::string tampered = Signed(ManifestXml("1.00.0002"));
    tampered.replace(tampered.find("viz.zrz"), 7, "bad.zrz");
    Serve(kJukeboxFile, tampered);
    const std::string before = ReadFile(App("Jukebox_Manifest.xml"));

    EXPECT_TRUE(pDir->UpdateToNewVersion(true));

    EXPECT_EQ(pDir->GetManifest("Jukebox")->GetVersion(), "1.00.0001");
    EXPECT_EQ(ReadFile(App("Jukebox_Manifest.xml")), before);
    EXPECT_FALSE(fs::exists(App("Jukebox_Manifest.tmp")));
    EXPECT_TRUE(m_owner.Names().empty());
    EXPECT_EQ(EventHeads()[0],
              "Event=ManifestDownloadFailure&client=CM&Component=Jukebox_Manifest.tmp&ComponentVer=1.00.0002"
              "&AddInfo=Failed%20to%20load%20updated%20manifest%20file");
    EXPECT_TRUE(Logged("Improperly signed Manifest : " + App("Jukebox_Manifest.tmp")));
}

// The directory is unsigned: a replayed, properly signed older manifest must not
// move the component back, whatever version the directory names. Signed here
// with a strong key found through the registry's trusted-key folder.
TEST_F(ManifestDirTest, OlderSignedManifestIsRefusedAndTheNewerOneTakesItsPlace) {
    WriteLocalState("1.00.0005");
    const zr::crypt::msStrongKeyPair key = zr::crypt::StrongGenerateKey(zr::crypt::meKeyType::kEd25519);
    fs::create_directories(m_tmp / "keys");
    WriteFile(m_tmp / "keys/publisher.pem", key.publicKeyPem);
    SetCm(mcTrustedKeys::kTrustedKeysPathValue, m_tmp / "keys");
    const auto strong = [&](const std::string& xml) {
        return mcSignedFile::ComposeStrong(zr::crypt::StrongSign(key.privateKeyPem, xml), xml);
    };
    auto pDir = MakeDir();
    SetCm("ManifestDirUrl", m_server.Url(kDirFile));
    Serve(kDirFile, DirXml("", JukeboxEntry("1.00.0009")));
    Serve(kJukeboxFile, strong(ManifestXml("1.00.0003")));
    const std::string before = ReadFile(App("Jukebox_Manifest.xml"));

    EXPECT_TRUE(pDir->UpdateToNewVersion(true));

    EXPECT_EQ(pDir->GetManifest("Jukebox")->GetVersion(), "1.00.0005");
    EXPECT_EQ(ReadFile(App("Jukebox_Manifest.xml")), before);
    EXPECT_FALSE(fs::exists(App("Jukebox_Manifest.tmp")));
    EXPECT_TRUE(m_owner.Names().empty());
    const std::vector<std::string> heads = EventHeads();
    ASSERT_FALSE(heads.empty());
    EXPECT_EQ(heads.front().rfind("Event=ManifestDownloadFailure&client=CM&Component=Jukebox_Manifest.tmp"
                                 "&ComponentVer=1.00.0009&AddInfo=Downloaded%20manifest%20is%20older",
                                 0),
              0u)
        << heads.front();
    EXPECT_NE(Log().find("Manifest rollback refused : Jukebox"), std::string::npos) << Log();

    Serve(kJukeboxFile, strong(ManifestXml("1.00.0009")));
    EXPECT_TRUE(pDir->UpdateToNewVersion(true));
    EXPECT_EQ(pDir->GetManifest("Jukebox")->GetVersion(), "1.00.0009");
    EXPECT_EQ(m_owner.Names(), std::vector<std::string>{"Jukebox"});
}

TEST_F(ManifestDirTest, ManifestDownloadFailureKeepsTheOldManifest) {
    WriteLocalState("1.00.0001");
    auto pDir = MakeDir();
    SetCm("ManifestDirUrl", m_server.Url(kDirFile));
    Serve(kDirFile, DirXml("", JukeboxEntry("1.00.0002")));  // the manifest itself is not served

    EXPECT_TRUE(pDir->UpdateToNewVersion(true));
    EXPECT_EQ(pDir->GetManifest("Jukebox")->GetVersion(), "1.00.0001");
    EXPECT_EQ(EventHeads()[0],
              "Event=ManifestDownloadFailure&client=CM&Component=Jukebox_Manifest.tmp&ComponentVer=1.00.0002"
              "&AddInfo=Dowload%20of%20Manifest%20file%20failed");
    EXPECT_TRUE(m_owner.Names().empty());
}

TEST_F(ManifestDirTest, IncompleteAndUnsafeEntriesAreSkipped) {
    WriteFile(App("ManifestDirectory.xml"), DirXml("", ""));
    auto pDir = MakeDir();
    SetCm("ManifestDirUrl", m_server.Url(kDirFile));
    const std::string url = m_server.Url("/files/x.xml");
    Serve("/files/x.xml", Signed(ManifestXml("1.00.0001")));
    Serve(kDirFile, DirXml("", "<Manifest version=\"1.00.0001\"><URL>" + url + "</URL></Manifest>" +
                                   "<ManifestOverride name=\"A\"><URL>" + url + "</URL></ManifestOverride>" +
                                   "<Manifest name=\"B\" version=\"1.00.0001\"/>" +
                                   EntryXml("Manifest", "../escape", "1.00.0001", url)));

    EXPECT_TRUE(pDir->UpdateToNewVersion(true));
    EXPECT_TRUE(Logged("name attribute missing for manifest, Manifest"));
    EXPECT_TRUE(Logged("version attribute missing for manifest, ManifestOverride"));
    EXPECT_TRUE(Logged("URL Node missing for manifest, Manifest"));
    EXPECT_TRUE(Logged("mcManifestDir, invalid manifest name : ../escape"));
    EXPECT_EQ(Requests("/files/x.xml"), 0u);
    EXPECT_FALSE(fs::exists(m_tmp / "escape_Manifest.tmp"));
    EXPECT_FALSE(fs::exists(m_tmp / "escape_Manifest.xml"));
    // Only the directory's own event.
    EXPECT_EQ(Events().size(), 1u);
}

// ---- Directory failures ------------------------------------------------------------

TEST_F(ManifestDirTest, UnreachableRedirectServiceFails) {
    WriteLocalState("1.00.0001");
    auto pDir = MakeDir();
    SetCm("RedirectServer", "127.0.0.1:" + std::to_string(LocalHttpServer::UnusedPort()));

    EXPECT_FALSE(pDir->UpdateToNewVersion(true));
    EXPECT_TRUE(Logged("mcManifestDir::PrvGetDirUrl Failed"));
    EXPECT_EQ(EventHeads(), std::vector<std::string>{
                                "Event=ManifestDownloadFailure&client=CM&Component=ManifestDirectory.tmp"
                                "&ComponentVer=&AddInfo=Failed%20to%20contact%20process.cgi"});
    EXPECT_TRUE(pDir->IsLoaded());
    EXPECT_EQ(GetCm("LastDirUpdate"), "<absent>");
}

TEST_F(ManifestDirTest, NoRedirectHostAndEmptyDirUrlFail) {
    WriteLocalState("1.00.0001");
    auto pDir = MakeDir();
    SetCm("RedirectServer", "");
    SetCm("ManifestDirUrl", "  ");
    EXPECT_FALSE(pDir->UpdateToNewVersion(true));
    EXPECT_EQ(Requests(kRedirect), 0u);
    EXPECT_EQ(Events().size(), 1u);
}

TEST_F(ManifestDirTest, OfflineUpdateFailsWithoutEvent) {
    WriteLocalState("1.00.0001");
    auto pDir = MakeDir();
    m_bOnline = false;
    EXPECT_FALSE(pDir->UpdateToNewVersion(true));
    EXPECT_TRUE(Logged("mcManifestDir::UpdateToNewVersion, connection check failed"));
    EXPECT_EQ(m_server.RequestCount(), 0u);
}

TEST_F(ManifestDirTest, DirectoryThatDoesNotParseLeavesTheOldOneInForce) {
    WriteLocalState("1.00.0001");
    const std::string before = ReadFile(App("ManifestDirectory.xml"));
    auto pDir = MakeDir();
    Serve(kDirFile, "<ManifestDirectory><Manifest name=\"Jukebox\"");

    EXPECT_TRUE(pDir->UpdateToNewVersion(true));
    EXPECT_TRUE(Logged("Failed to load manifest directory"));
    EXPECT_EQ(EventHeads(), std::vector<std::string>{
                                "Event=ManifestDownloadFailure&client=CM&Component=ManifestDirectory.tmp"
                                "&ComponentVer=&AddInfo=Failed%20to%20load%20updated%20manifest%20directory"});
    EXPECT_TRUE(pDir->IsLoaded());
    EXPECT_EQ(pDir->GetInterval(), 3);
    ASSERT_NE(pDir->GetManifest("Jukebox"), nullptr);
    EXPECT_EQ(ReadFile(App("ManifestDirectory.xml")), before);
    // The candidate stays for inspection; the date is not advanced.
    EXPECT_TRUE(fs::exists(App("ManifestDirectory.tmp")));
    EXPECT_EQ(GetCm("LastDirUpdate"), "<absent>");
}

TEST_F(ManifestDirTest, DirectoryCopyFailureIsReported) {
    // Something that is not a file stands where the directory goes.
    fs::create_directories(App("ManifestDirectory.xml"));
    Serve(kDirFile, DirXml("", JukeboxEntry("1.00.0001")));
    Serve(kJukeboxFile, Signed(ManifestXml("1.00.0001")));

    auto pDir = MakeDir();
    EXPECT_FALSE(pDir->IsLoaded());
    const std::string info =
        "File Copy Failed " + App("ManifestDirectory.tmp") + " To " + App("ManifestDirectory.xml");
    EXPECT_TRUE(Logged(info));
    EXPECT_EQ(EventHeads(), std::vector<std::string>{
                                "Event=ManifestDownloadFailure&client=CM&Component=ManifestDirectory.tmp"
                                "&ComponentVer=&AddInfo=" + mfUrlEncode(info, false)});
    EXPECT_EQ(Requests(kJukeboxFile), 0u);
    EXPECT_EQ(GetCm("LastDirUpdate"), "<absent>");
}

TEST_F(ManifestDirTest, ManifestCopyFailureIsReportedAndTheOwnerStillTold) {
    WriteFile(App("ManifestDirectory.xml"), DirXml("", ""));
    auto pDir = MakeDir();
    fs::create_directories(App("Jukebox_Manifest.xml"));
    SetCm("ManifestDirUrl", m_server.Url(kDirFile));
    Serve(kDirFile, DirXml("", JukeboxEntry("1.00.0001")));
    Serve(kJukeboxFile, Signed(ManifestXml("1.00.0001")));

    EXPECT_TRUE(pDir->UpdateToNewVersion(true));
    const std::string info = "File Copy Failed " + App("Jukebox_Manifest.tmp") + " To " + App("Jukebox_Manifest.xml");
    EXPECT_TRUE(Logged(info));
    EXPECT_EQ(EventHeads()[0], "Event=ManifestDownloadFailure&client=CM&Component=Jukebox_Manifest.tmp"
                               "&ComponentVer=1.00.0001&AddInfo=" + mfUrlEncode(info, false));
    EXPECT_EQ(pDir->GetManifest("Jukebox"), nullptr);
    EXPECT_FALSE(fs::exists(App("Jukebox_Manifest.tmp")));
    EXPECT_EQ(m_owner.Names(), std::vector<std::string>{"Jukebox"});
}

// ---- Concurrency ------------------------------------------------------------------------

TEST_F(ManifestDirTest, ConcurrentUpdatesRunOneAfterTheOther) {
    WriteLocalState("1.00.0001");
    auto pDir = MakeDir();
    SetCm("ManifestDirUrl", m_server.Url(kDirFile));
    Serve(kDirFile, DirXml("", JukeboxEntry("1.00.0002")));
    Serve(kJukeboxFile, Signed(ManifestXml("1.00.0002")));
    CloseGate(kDirFile);

    std::atomic<bool> bFirst{false}, bSecond{false};
    std::atomic<bool> bSecondDone{false};
    std::thread first([&] { bFirst = pDir->UpdateToNewVersion(true); });
    ASSERT_TRUE(m_server.WaitForRequests(1, 5000));
    std::thread second([&] {
        bSecond = pDir->UpdateToNewVersion(true);
        bSecondDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // The second update waits while the first one's download hangs.
    EXPECT_EQ(Requests(kDirFile), 1u);
    EXPECT_FALSE(bSecondDone.load());
    OpenGate();
    first.join();
    second.join();

    EXPECT_TRUE(bFirst.load());
    EXPECT_TRUE(bSecond.load());
    EXPECT_EQ(Requests(kDirFile), 2u);
    EXPECT_EQ(m_nMaxInFlight.load(), 1);
    // The second found the manifest up to date.
    EXPECT_EQ(Requests(kJukeboxFile), 1u);
    EXPECT_EQ(m_owner.Names(), std::vector<std::string>{"Jukebox"});
}

TEST_F(ManifestDirTest, UpdateThatWaitedChecksTheDueDateAfresh) {
    WriteLocalState("1.00.0001");
    auto pDir = MakeDir();  // no "LastDirUpdate": due
    SetCm("ManifestDirUrl", m_server.Url(kDirFile));
    Serve(kDirFile, DirXml("", JukeboxEntry("1.00.0001")));
    CloseGate(kDirFile);

    std::thread forced([&] { pDir->UpdateToNewVersion(true); });
    ASSERT_TRUE(m_server.WaitForRequests(1, 5000));
    std::atomic<bool> bResult{false};
    std::thread scheduled([&] { bResult = pDir->UpdateToNewVersion(false); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    OpenGate();
    forced.join();
    scheduled.join();

    EXPECT_TRUE(bResult.load());
    EXPECT_EQ(Requests(kDirFile), 1u);
    EXPECT_EQ(GetCm("LastDirUpdate"), "12-8-2026");
}

// An owner that starts another update from inside the notification (as a sink
// asking for an update while it is told of one).
class ReentrantOwner : public IManifestDirOwner {
public:
    mcManifestDir* pDir = nullptr;
    std::vector<std::string> vecSeen;
    HRESULT NotifyManifestUpdated(const std::string& name) override {
        if (pDir == nullptr) return S_OK;
        mcManifestDir* pUpdating = pDir;
        pDir = nullptr;  // one level deep
        std::vector<std::string> vecInner;
        vecSeen.push_back(name + (pUpdating->UpdateToNewVersion(true, &vecInner) ? " updated" : " failed"));
        auto pManifest = pUpdating->GetManifest(name);
        vecSeen.push_back(pManifest ? pManifest->GetVersion() : "none");
        vecSeen.push_back("inner replaced " + std::to_string(vecInner.size()));
        return S_OK;
    }
};

TEST_F(ManifestDirTest, OwnerIsToldAfterTheUpdateEndedAndMayUpdateAgain) {
    WriteLocalState("1.00.0001");
    ReentrantOwner owner;
    auto pDir = std::make_unique<mcManifestDir>(&owner, MakeConfig());
    owner.pDir = pDir.get();
    SetCm("ManifestDirUrl", m_server.Url(kDirFile));
    Serve(kDirFile, DirXml("", JukeboxEntry("1.00.0002")));
    Serve(kJukeboxFile, Signed(ManifestXml("1.00.0002")));

    std::vector<std::string> vecReplaced;
    EXPECT_TRUE(pDir->UpdateToNewVersion(true, &vecReplaced));
    EXPECT_EQ(vecReplaced, std::vector<std::string>{"Jukebox"});
    // The inner update ran (the directory was fetched again) and found the
    // manifest up to date.
    EXPECT_EQ(owner.vecSeen, (std::vector<std::string>{"Jukebox updated", "1.00.0002", "inner replaced 0"}));
    EXPECT_EQ(Requests(kDirFile), 2u);
    EXPECT_EQ(Requests(kJukeboxFile), 1u);
}

TEST_F(ManifestDirTest, ReadersKeepWorkingWhileManifestsAreReplaced) {
    WriteLocalState("1.00.0001");
    auto pDir = MakeDir();
    SetCm("ManifestDirUrl", m_server.Url(kDirFile));

    std::atomic<bool> bStop{false};
    std::atomic<int> nReads{0}, nFailures{0};
    std::thread reader([&] {
        while (!bStop) {
            auto p = pDir->GetManifest("Jukebox");
            mcManifestComponent component;
            if (!p || !p->GetComponent("Visualizer", component) ||
                component.m_plugin.m_strVersion != p->GetVersion())
                ++nFailures;
            ++nReads;
        }
    });
    for (int build = 2; build <= 6; ++build) {
        const std::string version = "1.00.000" + std::to_string(build);
        Serve(kDirFile, DirXml("", JukeboxEntry(version)));
        Serve(kJukeboxFile, Signed(ManifestXml(version)));
        EXPECT_TRUE(pDir->UpdateToNewVersion(true));
        EXPECT_EQ(pDir->GetManifest("Jukebox")->GetVersion(), version);
    }
    bStop = true;
    reader.join();
    EXPECT_GT(nReads.load(), 0);
    EXPECT_EQ(nFailures.load(), 0);
    EXPECT_EQ(m_owner.Names().size(), 5u);
}

}  // namespace

// A hostile server: a directory or manifest past its bounds is refused at
// once, and the directory and manifest in force stay in force.
TEST_F(ManifestDirTest, HostileDirectoryOrManifestIsRefusedAndWhatIsInForceStays) {
    WriteLocalState("1.00.0001");
    auto pDir = MakeDir();
    ASSERT_TRUE(pDir->IsLoaded());
    std::string strBomb;
    for (int i = 0; i < 60000; ++i) strBomb += " a" + std::to_string(i) + "=\"v\"";  // under 1 MiB
    const std::string strGoodDir = DirXml(" Interval=\"3\"", JukeboxEntry("1.00.0002"));
    std::string strBombManifest = ManifestXml("1.00.0002");
    strBombManifest.insert(strBombManifest.find("<Component ") + 10, strBomb);
    struct Case {
        const char* pszWhat;
        std::string strDir;
        std::string strManifest;
    };
    const Case cases[] = {
        {"directory with 60,000 attributes on its root", DirXml(strBomb, JukeboxEntry("1.00.0002")),
         Signed(ManifestXml("1.00.0002"))},
        {"directory over 1 MiB", DirXml(" Interval=\"3\"", JukeboxEntry("1.00.0002") + "<!--" +
                                                                std::string(mcManifestDir::kMaxDirectoryBytes, 'x') + "-->"),
         Signed(ManifestXml("1.00.0002"))},
        {"manifest with 60,000 attributes on a component", strGoodDir, Signed(strBombManifest)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        Serve(kDirFile, c.strDir);
        Serve(kJukeboxFile, c.strManifest);
        (void)pDir->UpdateToNewVersion(true);
        EXPECT_TRUE(pDir->IsLoaded());
        ASSERT_NE(pDir->GetManifest("Jukebox"), nullptr);
        EXPECT_EQ(pDir->GetManifest("Jukebox")->GetVersion(), "1.00.0001");
        EXPECT_EQ(pDir->GetInterval(), 3);
    }
    // The same server with ordinary files is taken.
    Serve(kDirFile, strGoodDir);
    Serve(kJukeboxFile, Signed(ManifestXml("1.00.0002")));
    EXPECT_TRUE(pDir->UpdateToNewVersion(true));
    ASSERT_NE(pDir->GetManifest("Jukebox"), nullptr);
    EXPECT_EQ(pDir->GetManifest("Jukebox")->GetVersion(), "1.00.0002");
}
