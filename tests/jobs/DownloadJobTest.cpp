// The download job end to end: a real local HTTP server, the real download
// engine whose worker has its own connection to a private bus, a real client
// library object receiving the callbacks, and a real store in a temporary
// folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DownloadJobTestSupport.h"
#include "JobTestSupport.h"
#include "base/StrUtils.h"
#include "base/mcCMLog.h"
#include "bus/mcBusConnection.h"
#include "jobs/mcComponentMgrJobQueueEngine.h"
#include "jobs/mcDownloadJob.h"
#include "net/mcCMUtilsNet.h"
#include "registry/RegistryDatabase.h"
#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"
#include "store/mcComponentConfig.h"
#include "support/FsTestUtil.h"
#include "support/LocalHttpServer.h"
#include "support/PrivateBus.h"

using dltest::CallbackClient;
using dltest::EventLog;
using dltest::PatternBody;
using kettrin::test::LocalHttpServer;

namespace {

// The servers are on 127.0.0.1 and must be reached directly.
const bool g_bProxyCleared = [] {
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        ::unsetenv(name);
    return true;
}();

constexpr const char* kClient = "Jukebox";
constexpr const char* kManifest = "Main";
constexpr const char* kComponent = "Visualizer";
constexpr const char* kVersion = "1.0.0073";
constexpr std::size_t kBigBody = 8u * 1024 * 1024;
// SHA-256 of one million "a": a published test vector.
constexpr const char* kMillionASha256 = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

namespace fs = std::filesystem;

bool Exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

class DownloadJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        (void)g_bProxyCleared;
        ASSERT_TRUE(mcCMLog::Instance().Open(m_dir.Path()));
        m_pRegistry = std::make_unique<core::registry::db::ScopedDatabasePath>(m_dir / "registry.db");
        fs::create_directories(m_dir / "app");
        m_pStore = std::make_unique<mcComponentConfig>(
            mcComponentConfig::Settings{m_dir / "app", HoldingArea()});
        m_pBus = std::make_unique<testsupport::PrivateBus>();
        m_pClient = std::make_unique<CallbackClient>(m_pBus->Address());
        m_pEngine = std::make_unique<mcComponentMgrJobQueueEngine>(
            std::make_shared<dltest::WorkerBusHooks>(m_pBus->Address()));
        ASSERT_TRUE(m_pEngine->Resume());
    }
    void TearDown() override {
        m_pEngine.reset();
        m_pClient.reset();
        m_pBus.reset();
        m_pStore.reset();
        mcCMLog::Instance().Close();
        core::registry::db::CloseThreadConnections();
        m_pRegistry.reset();
    }

    std::string HoldingArea() const { return m_dir / "app/HoldingArea"; }
    std::string Folder(const std::string& component = kComponent) const {
        return HoldingArea() + "/" + component;
    }
    std::string ReadLog() const { return fstest::ReadFile(m_dir / mcCMLog::kLogFileName); }
    // Log lines that end with text.
    int CountLines(const std::string& text) const {
        int n = 0;
        std::size_t pos = 0;
        const std::string log = ReadLog();
        while ((pos = log.find(text + "\n", pos)) != std::string::npos) {
            ++n;
            pos += text.size();
        }
        return n;
    }
    // Waits until the client has received the call count times.
    bool WaitForCalls(const std::string& call, int count) {
        return jobtest::WaitUntil([&] { return m_pClient->Calls().Count(call) >= count; });
    }

    struct JobArgs {
        std::string url = std::string();
        std::string component = kComponent;
        std::string sha256 = std::string();
        bool installAfter = false;
        IComponentMgrInstaller* installer = nullptr;
        mcClientCallback callback = mcClientCallback();  // empty: the test client's
        bool realEvents = false;    // the service's own event sender
    };
    std::unique_ptr<mcDownloadJob> MakeJob(const JobArgs& a) {
        mcDownloadJob::Settings settings;
        if (!a.realEvents) settings.fnSendEvent = [this](const mcQoSEvent& e) { return m_events.Send(e); };
        return std::make_unique<mcDownloadJob>(
            m_pStore.get(), a.callback.IsEmpty() ? m_pClient->Callback() : a.callback, a.url, kClient, kManifest,
            a.component, kVersion, a.installAfter, a.installer, a.sha256, settings);
    }
    // Queues the job and waits until the engine has run it.
    void Run(std::unique_ptr<mcDownloadJob> pJob) {
        m_pEngine->AddJob(std::move(pJob));
        ASSERT_TRUE(jobtest::WaitUntil([this] { return m_pEngine->GetQueuedCount() == 0; }));
    }
    // Cancels the running download the way the cancel operation reaches it.
    bool CancelCurrent() {
        return m_pEngine->WithCurrentJob([](mcComponentMgrJob& job) {
            if (auto* p = dynamic_cast<mcDownloadJob*>(&job)) p->Cancel();
        });
    }
    std::string State(const std::string& component = kComponent) {
        std::string state;
        m_pStore->GetComponentCurrentState(component, state);
        return state;
    }
    // A stale earlier download in the component's folder.
    std::string PlantEarlierDownload(const std::string& component = kComponent) {
        fs::create_directories(Folder(component));
        const std::string path = Folder(component) + "/old.zrz";
        fstest::WriteFile(path, "old package");
        return path;
    }

    fstest::TempDir m_dir;
    std::unique_ptr<core::registry::db::ScopedDatabasePath> m_pRegistry;
    std::unique_ptr<mcComponentConfig> m_pStore;
    std::unique_ptr<testsupport::PrivateBus> m_pBus;
    std::unique_ptr<CallbackClient> m_pClient;
    std::unique_ptr<mcComponentMgrJobQueueEngine> m_pEngine;
    EventLog m_events;
};

}  // namespace

// The whole success path with the service's own event sender, pointed at a
// local event server, and an expected hash given in upper case.
TEST_F(DownloadJobTest, SuccessRecordsTheStateReportsAndTellsTheClient) {
    const std::string body(1000000, 'a');
    std::string upperHash = kMillionASha256;
    std::transform(upperHash.begin(), upperHash.end(), upperHash.begin(),
                   [](char ch) { return static_cast<char>(std::toupper(ch)); });
    LocalHttpServer packages;
    packages.Get("/dl/vis.zrz", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(body, "application/octet-stream");
    });
    ASSERT_TRUE(packages.Start());
    LocalHttpServer events;
    events.Get("/qorb/ev/cm", [](const httplib::Request&, httplib::Response& res) { res.set_content("", "text/plain"); });
    ASSERT_TRUE(events.Start());
    core::registry::RegistryKey(mcCMUtils::kRegistryRoot, "")
        .CreateSubKey(mcCMUtils::kRegistryKey)
        .SetValueString("EventServer", events.HostPort());
    const std::string earlier = PlantEarlierDownload();

    Run(MakeJob({.url = packages.Url("/dl/vis.zrz?session=7"), .sha256 = upperHash, .realEvents = true}));

    const std::string target = Folder() + "/vis.zrz";
    EXPECT_EQ(fstest::ReadFile(target), body);
    EXPECT_FALSE(Exists(target + ".part"));
    EXPECT_FALSE(Exists(earlier));
    EXPECT_EQ(State(), "downloaded");
    std::string version;
    EXPECT_TRUE(m_pStore->GetComponentVersion(kComponent, "downloaded", version));
    EXPECT_EQ(version, kVersion);
    std::vector<std::string> manifests;
    EXPECT_TRUE(m_pStore->GetManifestsOfComponent(kComponent, manifests));
    EXPECT_EQ(manifests, std::vector<std::string>{kManifest});

    // The request: the package agent, never from a cache.
    ASSERT_EQ(packages.RequestCount(), 1u);
    const auto request = packages.Requests()[0];
    EXPECT_EQ(request.Header("User-Agent"), mcCMUtils::GetUserAgent());
    EXPECT_EQ(request.Header("Cache-Control"), "no-cache");

    // Progress once per portion of at most 32384 bytes, rising to 100, then
    // the completion, and nothing else.
    ASSERT_TRUE(m_pClient->Calls().WaitFor(std::string("complete:") + kComponent));
    const std::vector<int> percents = m_pClient->Percents(kComponent);
    ASSERT_GE(percents.size(), (body.size() + mcDownloadJob::kPortionBytes - 1) / mcDownloadJob::kPortionBytes);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_EQ(percents.back(), 100);
    EXPECT_LT(percents.front(), 100);
    const auto calls = m_pClient->Calls().Events();
    EXPECT_EQ(calls.back(), std::string("complete:") + kComponent);
    EXPECT_EQ(calls.size(), percents.size() + 1);

    // The event, as the event server saw it.
    ASSERT_EQ(events.RequestCount(), 1u);
    EXPECT_EQ(events.Requests()[0].query.rfind(std::string("Event=DownloadSuccess&client=Jukebox&Component=Visualizer"
                                                           "&ComponentVer=1.0.0073&AddInfo=&CMVersion="),
                                               0),
              0u)
        << events.Requests()[0].query;
    EXPECT_NE(ReadLog().find("SendQoSEvent Succeeded : Event=DownloadSuccess&client=Jukebox"), std::string::npos);
}

TEST_F(DownloadJobTest, WithoutContentLengthThePercentReaches100At4MegabytesAndStays) {
    LocalHttpServer packages;
    packages.Get("/big.zrz", [](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("application/octet-stream", [](std::size_t offset, httplib::DataSink& sink) {
            if (offset >= kBigBody) {
                sink.done();
                return true;
            }
            const std::string chunk(std::min<std::size_t>(65536, kBigBody - offset), 'z');
            return sink.write(chunk.data(), chunk.size());
        });
    });
    ASSERT_TRUE(packages.Start());

    Run(MakeJob({.url = packages.Url("/big.zrz")}));

    EXPECT_EQ(fs::file_size(Folder() + "/big.zrz"), kBigBody);
    EXPECT_NE(ReadLog().find(mcDownloadJob::kLogContentLengthMissing), std::string::npos);
    ASSERT_TRUE(m_pClient->Calls().WaitFor(std::string("complete:") + kComponent));
    const std::vector<int> percents = m_pClient->Percents(kComponent);
    const auto first100 = std::find(percents.begin(), percents.end(), 100);
    ASSERT_NE(first100, percents.end());
    // 4194304 bytes take at least 130 portions of at most 32384 bytes, and so do
    // the 4194304 after them.
    const auto nBelow = static_cast<std::size_t>(first100 - percents.begin());
    EXPECT_GE(nBelow, 129u);
    EXPECT_GE(static_cast<std::size_t>(percents.end() - first100), 130u);
    EXPECT_TRUE(std::all_of(first100, percents.end(), [](int n) { return n == 100; }));
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
}

// Every failure: its text in the log and the event, OnDownloadFailed with an
// empty text, no package and no store change; whether the earlier download
// survives tells whether the holding area was touched.
TEST_F(DownloadJobTest, FailuresReportTheirTextAndLeaveNoPackage) {
    const std::string million(1000000, 'a');
    LocalHttpServer packages;
    packages.Get("/ok/pkg.zrz", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(million, "application/octet-stream");
    });
    packages.Get("/missing.zrz", [](const httplib::Request&, httplib::Response& res) { res.status = 404; });
    ASSERT_TRUE(packages.Start());
    LocalHttpServer truncated;
    ASSERT_TRUE(truncated.StartRaw(LocalHttpServer::RawMode::kCanned, LocalHttpServer::TruncatedResponse(100000, 50000)));
    const std::string unreachable = "http://127.0.0.1:" + std::to_string(LocalHttpServer::UnusedPort()) + "/pkg.zrz";
    std::string wrongHash = kMillionASha256;
    wrongHash[0] = 'd';

    struct Case {
        std::string name;
        std::string url;
        std::string component;
        std::string sha256;
        std::string error;     // the expected text
        bool holdingTouched;   // the earlier download is gone
        bool requestSent;
        bool folderIsFile = false;  // a file stands where the component's folder belongs
    };
    const std::vector<Case> cases = {
        {"unreachable", unreachable, kComponent, "",
         mcDownloadJob::kErrOpenAndSendRequest + unreachable, false, false},
        {"not found", packages.Url("/missing.zrz"), kComponent, "",
         mcDownloadJob::kErrOpenAndSendRequest + packages.Url("/missing.zrz"), false, true},
        {"cut short", truncated.Url("/pkg.zrz"), kComponent, "", mcDownloadJob::kErrReadPortion, true, true},
        {"hash mismatch", packages.Url("/ok/pkg.zrz"), kComponent, wrongHash,
         mcDownloadJob::kErrHashMismatch + Folder() + "/pkg.zrz", true, true},
        {"malformed hash", packages.Url("/ok/pkg.zrz"), kComponent, "abc",
         mcDownloadJob::kErrHashMismatch + Folder() + "/pkg.zrz", true, true},
        {"component ..", packages.Url("/ok/pkg.zrz"), "..",
         "", mcDownloadJob::kErrInvalidFileName + packages.Url("/ok/pkg.zrz"), false, false},
        {"component with /", packages.Url("/ok/pkg.zrz"), "a/../../x", "",
         mcDownloadJob::kErrInvalidFileName + packages.Url("/ok/pkg.zrz"), false, false},
        {"URL ends in /", packages.Url("/ok/"), kComponent, "",
         mcDownloadJob::kErrInvalidFileName + packages.Url("/ok/"), false, false},
        {"URL ends in ..", packages.Url("/ok/.."), kComponent, "",
         mcDownloadJob::kErrInvalidFileName + packages.Url("/ok/.."), false, false},
        {"URL ends in .", packages.Url("/ok/.?x=1"), kComponent, "",
         mcDownloadJob::kErrInvalidFileName + packages.Url("/ok/.?x=1"), false, false},
        {"URL without a path", "http://" + packages.HostPort(), kComponent, "",
         std::string(mcDownloadJob::kErrInvalidFileName) + "http://" + packages.HostPort(), false, false},
        {"folder is a file", packages.Url("/ok/pkg.zrz"), kComponent, "",
         mcDownloadJob::kErrOpenFile + Folder() + "/pkg.zrz", false, true, true},
    };
    std::map<std::string, int> failures;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string earlier;
        if (c.folderIsFile) {
            fs::create_directories(HoldingArea());
            fstest::WriteFile(earlier = Folder(), "in the way");
        } else {
            earlier = PlantEarlierDownload();
        }
        const std::size_t nRequestsBefore = packages.RequestCount() + truncated.RequestCount();
        const std::size_t nEventsBefore = m_events.Events().size();

        Run(MakeJob({.url = c.url, .component = c.component, .sha256 = c.sha256}));

        EXPECT_NE(ReadLog().find(c.error + "\n"), std::string::npos);
        const auto events = m_events.Events();
        ASSERT_EQ(events.size(), nEventsBefore + 1);
        EXPECT_EQ(events.back().strEvent, kQoSDownloadFailure);
        EXPECT_EQ(events.back().strAdditionalInfo, c.error);
        EXPECT_EQ(events.back().strClient, kClient);
        EXPECT_EQ(events.back().strComponent, c.component);
        EXPECT_EQ(events.back().strComponentVersion, kVersion);
        EXPECT_TRUE(WaitForCalls("failed:" + c.component + ":0:", ++failures[c.component]));
        EXPECT_EQ(Exists(earlier), !c.holdingTouched);
        // Nothing but the earlier download is left, never a partial package.
        std::size_t nFiles = 0;
        for (const auto& entry : fs::recursive_directory_iterator(HoldingArea())) nFiles += entry.is_regular_file();
        EXPECT_EQ(nFiles, c.holdingTouched ? 0u : 1u);
        EXPECT_EQ(packages.RequestCount() + truncated.RequestCount() > nRequestsBefore, c.requestSent);
        EXPECT_FALSE(m_pStore->HasComponentStates(c.component));
        fs::remove_all(HoldingArea());
    }
    EXPECT_EQ(m_pClient->Calls().Count(std::string("complete:") + kComponent), 0);
}

// A cancel ends the transfer's wait at once instead of after the 30 s
// transfer time-out, whether the server stalls in the body or never answers.
TEST_F(DownloadJobTest, CancelEndsTheTransferAtOnceAndLeavesNothing) {
    std::atomic<bool> release{false};
    LocalHttpServer packages;
    packages.Get("/stall.zrz", [&](const httplib::Request&, httplib::Response& res) {
        // Half of the announced body, then nothing until the test lets go.
        res.set_content_provider(200000, "application/octet-stream",
                                 [&](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                     if (offset == 0) return sink.write(std::string(100000, 's').data(), 100000);
                                     for (int i = 0; i < 3000 && !release; ++i)
                                         std::this_thread::sleep_for(std::chrono::milliseconds(10));
                                     return false;
                                 });
    });
    ASSERT_TRUE(packages.Start());
    LocalHttpServer silent;
    ASSERT_TRUE(silent.StartRaw(LocalHttpServer::RawMode::kNeverAnswer));

    struct Case {
        std::string name;
        std::string url;
        bool bodyStarted;  // bytes were written before the cancel
    };
    const std::vector<Case> cases = {
        {"stalled in the body", packages.Url("/stall.zrz"), true},
        {"no answer at all", silent.Url("/silent.zrz"), false},
    };
    int nCancelled = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string earlier = PlantEarlierDownload();
        const std::string target = Folder() + "/" + mcDownloadJob::PackageFileNameFromUrl(c.url);
        const std::size_t nEventsBefore = m_events.Events().size();
        m_pEngine->AddJob(MakeJob({.url = c.url}));
        if (c.bodyStarted) {
            ASSERT_TRUE(jobtest::WaitUntil([&] { return !m_pClient->Percents(kComponent).empty(); }));
            // Mid-transfer only the ".part" file exists.
            EXPECT_TRUE(Exists(target + ".part"));
            EXPECT_FALSE(Exists(target));
        } else {
            ASSERT_TRUE(silent.WaitForRequests(1, 10000));
        }

        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(CancelCurrent());
        ASSERT_TRUE(WaitForCalls(std::string("failed:") + kComponent + ":0:", ++nCancelled));
        // Far below the 30 s the stalled read would otherwise wait.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        ASSERT_TRUE(jobtest::WaitUntil([this] { return m_pEngine->GetQueuedCount() == 0; }));

        const auto events = m_events.Events();
        ASSERT_EQ(events.size(), nEventsBefore + 1);
        EXPECT_EQ(events.back().strEvent, kQoSDownloadFailure);
        EXPECT_EQ(events.back().strAdditionalInfo, mcDownloadJob::kErrForceAbort);
        EXPECT_FALSE(Exists(target));
        EXPECT_FALSE(Exists(target + ".part"));
        // The holding area is emptied only once the answer has come.
        EXPECT_EQ(Exists(earlier), !c.bodyStarted);
        EXPECT_FALSE(m_pStore->HasComponentStates(kComponent));
        fs::remove_all(HoldingArea());
        release = true;
    }

    // Cancelled before it runs: no request, the holding area untouched. Run
    // on this thread, which has no bus: no callback either.
    auto pJob = MakeJob({.url = packages.Url("/stall.zrz")});
    pJob->Cancel();
    const std::string earlier = PlantEarlierDownload();
    const std::size_t nRequests = packages.RequestCount();
    EXPECT_TRUE(pJob->Run());
    EXPECT_EQ(m_events.Events().back().strAdditionalInfo, mcDownloadJob::kErrForceAbort);
    EXPECT_TRUE(Exists(earlier));
    EXPECT_EQ(packages.RequestCount(), nRequests);
    EXPECT_EQ(CountLines(mcDownloadJob::kErrForceAbort), 3);
}

TEST_F(DownloadJobTest, InstallAfterDownloadHandsOverInsteadOfCompleting) {
    LocalHttpServer packages;
    packages.Get("/pkg.zrz", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(PatternBody(70000), "application/octet-stream");
    });
    ASSERT_TRUE(packages.Start());
    jobtest::Recorder installs;
    dltest::RecordingInstaller installer(installs);

    Run(MakeJob({.url = packages.Url("/pkg.zrz"), .installAfter = true, .installer = &installer}));
    // A second job on the same worker connection: its failure arrives after
    // anything the first one sent.
    Run(MakeJob({.url = packages.Url("/"), .component = "Marker"}));
    ASSERT_TRUE(m_pClient->Calls().WaitFor("failed:Marker:0:"));

    const mcClientCallback& cb = m_pClient->Callback();
    EXPECT_EQ(installs.Events(), std::vector<std::string>{"force:Jukebox:Main:Visualizer:" + cb.strBusName + ":" +
                                                          cb.strObjectPath});
    EXPECT_EQ(m_pClient->Calls().Count(std::string("complete:") + kComponent), 0);
    EXPECT_FALSE(m_pClient->Percents(kComponent).empty());
    EXPECT_EQ(State(), "downloaded");
    ASSERT_GE(m_events.Events().size(), 1u);
    EXPECT_EQ(m_events.Events()[0].strEvent, kQoSDownloadSuccess);
}

// A client whose connection never reads, and one that is gone: progress and
// completion are sent without waiting, so the download runs as fast as for a
// client that answers (about 260 progress calls here; waiting for a reply
// would cost the bus time-out of 25 s on the first one already).
TEST_F(DownloadJobTest, UnresponsiveClientsDoNotHoldUpTheDownload) {
    LocalHttpServer packages;
    packages.Get("/big.zrz", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(kBigBody, 'b'), "application/octet-stream");
    });
    ASSERT_TRUE(packages.Start());
    mcBusConnection hung = mcBusConnection::OpenAddress(m_pBus->Address());
    std::string goneName;
    {
        mcBusConnection gone = mcBusConnection::OpenAddress(m_pBus->Address());
        goneName = gone.UniqueName();
    }
    struct Case {
        std::string name;
        mcClientCallback callback;
        int failureLines;  // "mcClientCallbackSender::... failed" lines: one, then no more calls
    };
    const std::vector<Case> cases = {
        {"never reads", {hung.UniqueName(), "/request1"}, 0},
        {"gone", {goneName, "/request1"}, 0},
        {"path not valid on the bus", {hung.UniqueName(), "/request 1"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = std::chrono::steady_clock::now();
        Run(MakeJob({.url = packages.Url("/big.zrz"), .callback = c.callback}));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_EQ(fs::file_size(Folder() + "/big.zrz"), kBigBody);
        EXPECT_EQ(m_events.Events().back().strEvent, kQoSDownloadSuccess);
        EXPECT_EQ(CountLines("mcClientCallbackSender::OnDownloadProgress failed : " + c.callback.strBusName + " " +
                             c.callback.strObjectPath),
                  c.failureLines);
    }
    // After its first failure a sender calls no more (no line for the completion).
    const std::string log = ReadLog();
    const auto first = log.find("mcClientCallbackSender::");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find("mcClientCallbackSender::", first + 1), std::string::npos);
}

TEST(DownloadJobNames, PackageFileNameFromUrl) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"http://dl.example/a/b/vis.zrz", "vis.zrz"},
        {"http://dl.example/vis.zrz?x=1/2", "vis.zrz"},
        {"http://dl.example/vis.zrz#part/2", "vis.zrz"},
        {"http://dl.example:8080/get.cgi?file=dir/pkg.zrz", "get.cgi"},
        {"http://dl.example/dir/", ""},
        {"http://dl.example", ""},
        {"http://dl.example?file=pkg.zrz", ""},
        {"http://dl.example/..", ".."},
        {"http://dl.example/a%2Fb.zrz", "a%2Fb.zrz"},
        {"pkg.zrz", "pkg.zrz"},
    };
    for (const auto& [url, name] : cases) EXPECT_EQ(mcDownloadJob::PackageFileNameFromUrl(url), name) << url;
}

class PackageHashPolicyTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pScope = std::make_unique<core::registry::db::ScopedDatabasePath>(m_dir / "registry.db");
        ASSERT_TRUE(mcCMLog::Instance().Open(m_dir.Path()));
    }
    void TearDown() override {
        mcCMLog::Instance().Close();
        core::registry::db::CloseThreadConnections();
        m_pScope.reset();
    }
    core::registry::RegistryKey Key() {
        return core::registry::RegistryKey(mcCMUtils::kRegistryRoot, "").CreateSubKey(mcCMUtils::kRegistryKey);
    }
    fstest::TempDir m_dir;
    std::unique_ptr<core::registry::db::ScopedDatabasePath> m_pScope;
};

TEST_F(PackageHashPolicyTest, ReadFromTheComponentManagerKey) {
    EXPECT_FALSE(mcDownloadJob::IsPackageHashRequired());  // no key at all
    Key().SetValueString("AppPath", "/x");
    EXPECT_FALSE(mcDownloadJob::IsPackageHashRequired());  // key without the value
    Key().SetValueDWord(mcDownloadJob::kRequirePackageHashValue, 0);
    EXPECT_FALSE(mcDownloadJob::IsPackageHashRequired());
    Key().SetValueDWord(mcDownloadJob::kRequirePackageHashValue, 1);
    EXPECT_TRUE(mcDownloadJob::IsPackageHashRequired());
    Key().SetValueDWord(mcDownloadJob::kRequirePackageHashValue, 0x80000000u);
    EXPECT_TRUE(mcDownloadJob::IsPackageHashRequired());
    // A value that cannot be read as a number asks for the safe answer.
    Key().DeleteValue(mcDownloadJob::kRequirePackageHashValue);
    Key().SetValueString(mcDownloadJob::kRequirePackageHashValue, "0");
    EXPECT_TRUE(mcDownloadJob::IsPackageHashRequired());
    EXPECT_NE(fstest::ReadFile(m_dir / mcCMLog::kLogFileName).find("mcDownloadJob::IsPackageHashRequired : "),
              std::string::npos);
}
