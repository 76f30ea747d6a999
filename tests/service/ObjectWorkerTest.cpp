// moComponentMgr below the bus: a fake apartment (tests/support/FakeApartment.h)
// for the main thread, a host of the test's own and an HTTP fetcher that
// holds every request until the test lets it answer. Shows that the updates
// run on the worker while the main thread answers queries, that deferred
// answers arrive (also on release), and that faults on the worker reach the
// crash hook under the method's name.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "ManifestKey.h"
#include "contract/ComponentMgrIfc.h"
#include "contract/ComponentStatus.h"
#include "manifest/Crypt.h"
#include "manifest/mcManifestDir.h"
#include "manifest/mcSignedFile.h"
#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"
#include "service/IComponentMgrHost.h"
#include "service/moComponentMgr.h"
#include "support/FakeApartment.h"
#include "support/ServiceTestMachine.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kDirUrl = "http://manifests.test/ManifestDirectory.xml";
constexpr const char* kJukeboxUrl = "http://manifests.test/Jukebox_Manifest.xml";
constexpr HRESULT kNoAnswer = static_cast<HRESULT>(0x7fffffff);

// Holds every request until Open(); answers from a table of bodies (404 for
// the rest). AbortAll ends the waits like a real abort.
class GateFetcher : public IHttpFetcher {
public:
    std::map<std::string, std::string> mapBodies;
    std::function<void()> fnOnAbort;
    bool bThrow = false;

    bool Get(const std::string& strUrl, std::vector<std::uint8_t>* pBody, const mcHttpTransactionOptions*,
             mcHttpResult* pResult, const std::string*) override {
        if (bThrow) throw std::runtime_error("fetcher fault");
        std::unique_lock<std::mutex> lock(m_mutex);
        m_vecUrls.push_back(strUrl);
        m_cv.notify_all();
        m_cv.wait(lock, [this] { return m_bOpen || m_bAborted; });
        if (m_bAborted) {
            if (pResult) pResult->dwResult = mcHttpResult::kCancelled;
            return false;
        }
        auto it = mapBodies.find(strUrl);
        if (it == mapBodies.end()) return strUrl.find("/qorb/ev/cm") != std::string::npos;  // events succeed
        if (pBody) pBody->assign(it->second.begin(), it->second.end());
        return true;
    }
    void AbortAll() override {
        if (fnOnAbort) fnOnAbort();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bAborted = true;
        m_cv.notify_all();
    }
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bOpen = true;
        m_cv.notify_all();
    }
    bool WaitForRequest(const std::string& strUrl, std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, limit, [&] {
            return std::find(m_vecUrls.begin(), m_vecUrls.end(), strUrl) != m_vecUrls.end();
        });
    }
    int Count(const std::string& strUrl) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(std::count(m_vecUrls.begin(), m_vecUrls.end(), strUrl));
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::string> m_vecUrls;
    bool m_bOpen = false;
    bool m_bAborted = false;
};

class TestHost : public IComponentMgrHost {
public:
    std::vector<std::string> vecFaults;  // guarded by m_mutex
    std::atomic<int> nReferences{0};

    ICrashReportHook::Verdict ReportFault(const std::string& strWhere, std::exception_ptr) noexcept override {
        std::lock_guard<std::mutex> lock(m_mutex);
        vecFaults.push_back(strWhere);
        return ICrashReportHook::Verdict::kContinueSearch;
    }
    void EndMainLoop() noexcept override {}
    void Touch() override {}
    bool AcquireJobReference() override {
        ++nReferences;
        return true;
    }
    void ReleaseJobReference() override { --nReferences; }
    std::string WorkerBusAddress() const override { return std::string(); }
    std::vector<std::string> Faults() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return vecFaults;
    }

private:
    std::mutex m_mutex;
};

class ObjectWorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
        core::registry::RegistryKey key = root.CreateSubKey(mcCMUtils::kRegistryKey);
        key.SetValueString("ManifestDirUrl", kDirUrl);
        key.SetValueString("EventServer", "events.test");
        m_config.strAppFolder = m_machine.AppFolder();
        m_config.fnConnectionCheck = [] { return true; };
        m_config.pFetcher = m_pFetcher;
        m_config.cleanupInterval = 60s;
        std::filesystem::create_directories(m_machine.AppFolder());
    }
    void TearDown() override {
        m_pFetcher->Open();
        m_pObject.reset();
    }

    void Build() {
        m_pObject = std::make_unique<moComponentMgr>(m_apartment, m_config, m_host);
        ASSERT_EQ(m_pObject->FinalConstruct(), S_OK);
    }
    // Serves a directory naming Jukebox at version and the signed manifest.
    bool PublishJukebox(const std::string& strVersion) {
        if (std::string(zr::crypt::kManifestPublicKey) != zr::crypt::kDevelopmentManifestPublicKey) return false;
        std::ifstream in(std::string(KETTRIN_TEST_DATA) + "/keys/dev-manifest-key.pem");
        const std::string strPem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string strXml = "<ComponentManifest version=\"" + strVersion +
                                   "\"><Component name=\"Visualizer\"><Plugin name=\"v.zrz\" version=\"1.0\"><Update>"
                                   "<URL>http://dl.test/v.zrz</URL></Update></Plugin></Component></ComponentManifest>";
        m_pFetcher->mapBodies[kJukeboxUrl] = mcSignedFile::Compose(zr::crypt::RSASign(strPem, strXml), strXml);
        m_pFetcher->mapBodies[kDirUrl] = "<ManifestDirectory Interval=\"1\"><Manifest name=\"Jukebox\" version=\"" +
                                         strVersion + "\"><URL>" + kJukeboxUrl + "</URL></Manifest></ManifestDirectory>";
        return true;
    }
    bool Pump(const std::function<bool()>& pred) { return m_apartment.PumpUntil(pred, 20s); }

    svctest::TestMachine m_machine;
    testsupport::FakeApartment m_apartment;
    TestHost m_host;
    std::shared_ptr<GateFetcher> m_pFetcher = std::make_shared<GateFetcher>();
    mcServiceConfig m_config;
    std::unique_ptr<moComponentMgr> m_pObject;
};

TEST_F(ObjectWorkerTest, UpdatesRunOnTheWorkerWhileTheMainThreadAnswers) {
    if (!PublishJukebox("1.00.0002")) GTEST_SKIP() << "this build accepts another manifest key";
    Build();
    // FinalConstruct has returned although the start-up update is stalled.
    ASSERT_TRUE(m_pFetcher->WaitForRequest(kDirUrl));
    EXPECT_EQ(m_pObject->GetPendingWorkCount(), 1u);

    std::uint32_t nCookie = 0;
    ASSERT_EQ(m_pObject->Register(mcClientCallback{":1.7", "/sink"}, nCookie), S_OK);
    HRESULT hrUpdate = kNoAnswer;
    bool bAnsweredBeforeSink = false;
    m_apartment.fnCallClient = [&](const testsupport::FakeApartment::ClientCall&) {
        bAnsweredBeforeSink = hrUpdate != kNoAnswer;
        return S_OK;
    };
    m_pObject->UpdateManifests([&](HRESULT hr) { hrUpdate = hr; });
    EXPECT_EQ(m_pObject->GetPendingWorkCount(), 2u);

    // Queries are answered at once meanwhile.
    std::int32_t nStatus = -1;
    EXPECT_EQ(m_pObject->IsComponentInstalled("A", "Jukebox", "Visualizer", nStatus), S_OK);
    EXPECT_EQ(nStatus, cmstatus::kUndecided);
    EXPECT_EQ(hrUpdate, kNoAnswer);

    m_pFetcher->Open();
    ASSERT_TRUE(Pump([&] { return hrUpdate != kNoAnswer && m_pObject->GetPendingWorkCount() == 0; }));
    EXPECT_EQ(hrUpdate, S_OK);
    // The start-up update replaced the manifest; the forced one found it up to
    // date. The sink heard of it once, on the main thread.
    ASSERT_EQ(m_apartment.vecClientCalls.size(), 1u);
    EXPECT_EQ(m_apartment.vecClientCalls[0].strMember, "OnManifestUpdated");
    EXPECT_EQ(m_apartment.vecClientCalls[0].strArgument, "Jukebox");
    EXPECT_EQ(m_apartment.vecClientCalls[0].strBusName, ":1.7");
    EXPECT_FALSE(bAnsweredBeforeSink);  // the start-up update has no caller to answer
    EXPECT_EQ(m_pFetcher->Count(kDirUrl), 2);
    EXPECT_EQ(m_pFetcher->Count(kJukeboxUrl), 1);
    EXPECT_EQ(m_pObject->IsComponentInstalled("A", "Jukebox", "Visualizer", nStatus), S_FALSE);
    EXPECT_EQ(nStatus, cmstatus::kUnknown);
}

// Two updates asked for at once run one after the other on the worker (never
// two downloads at a time), and each caller is answered when its own turn
// ends, in order.
TEST_F(ObjectWorkerTest, ConcurrentUpdatesAreSerialisedAndEachCallerAnswered) {
    Build();
    ASSERT_TRUE(m_pFetcher->WaitForRequest(kDirUrl));
    std::vector<std::string> vecAnswers;
    m_pObject->UpdateManifests([&](HRESULT hr) { vecAnswers.push_back("first " + std::to_string(hr)); });
    m_pObject->UpdateManifests([&](HRESULT hr) { vecAnswers.push_back("second " + std::to_string(hr)); });
    m_apartment.PumpUntil([] { return false; }, 200ms);
    EXPECT_EQ(m_pFetcher->Count(kDirUrl), 1);  // the others wait their turn
    EXPECT_TRUE(vecAnswers.empty());
    m_pFetcher->Open();  // the directory is missing (404): each update fails
    ASSERT_TRUE(Pump([&] { return vecAnswers.size() == 2; }));
    EXPECT_EQ(vecAnswers, (std::vector<std::string>{"first 1", "second 1"}));  // S_FALSE each
    EXPECT_EQ(m_pFetcher->Count(kDirUrl), 4);  // start-up (forced, then due), first, second
}

TEST_F(ObjectWorkerTest, SinkAskingForAnUpdateWhileItIsToldIsAnswered) {
    if (!PublishJukebox("1.00.0002")) GTEST_SKIP() << "this build accepts another manifest key";
    m_pFetcher->Open();
    Build();
    ASSERT_TRUE(Pump([&] { return m_pObject->GetPendingWorkCount() == 0; }));
    std::uint32_t nCookie = 0;
    ASSERT_EQ(m_pObject->Register(mcClientCallback{":1.9", "/sink"}, nCookie), S_OK);
    PublishJukebox("1.00.0003");

    // The sink asks for another update and waits for its answer before it
    // returns, serving the main thread meanwhile (as a client's nested pump).
    HRESULT hrInner = kNoAnswer;
    m_apartment.fnCallClient = [&](const testsupport::FakeApartment::ClientCall&) {
        if (hrInner == kNoAnswer) {
            m_pObject->UpdateManifests([&](HRESULT hr) { hrInner = hr; });
            m_apartment.PumpUntil([&] { return hrInner != kNoAnswer; }, 20s);
        }
        return S_OK;
    };
    HRESULT hrOuter = kNoAnswer;
    m_pObject->UpdateManifests([&](HRESULT hr) { hrOuter = hr; });
    ASSERT_TRUE(Pump([&] { return hrOuter != kNoAnswer && m_pObject->GetPendingWorkCount() == 0; }));
    EXPECT_EQ(hrOuter, S_OK);
    EXPECT_EQ(hrInner, S_OK);
    EXPECT_EQ(m_apartment.vecClientCalls.size(), 1u);  // the inner update found nothing new
}

TEST_F(ObjectWorkerTest, ReleaseAbortsTheStalledUpdateBeforeTheStoreGoesAndAnswersWhatWaits) {
    Build();
    ASSERT_TRUE(m_pFetcher->WaitForRequest(kDirUrl));
    bool bStoreAtAbort = false;
    m_pFetcher->fnOnAbort = [&] { bStoreAtAbort = m_pObject->GetComponentConfig() != nullptr; };
    std::vector<HRESULT> vecAnswers;
    m_pObject->UpdateManifests([&](HRESULT hr) { vecAnswers.push_back(hr); });
    m_pObject->UpdateManifests([&](HRESULT hr) { vecAnswers.push_back(hr); });

    const auto tpStart = std::chrono::steady_clock::now();
    m_pObject->FinalRelease();
    EXPECT_LT(std::chrono::steady_clock::now() - tpStart, 5s);
    EXPECT_TRUE(bStoreAtAbort);
    EXPECT_EQ(vecAnswers, (std::vector<HRESULT>{cmifc::CO_E_SERVER_STOPPING, cmifc::CO_E_SERVER_STOPPING}));
    EXPECT_EQ(m_pObject->GetPendingWorkCount(), 0u);
    // Posted completions that run afterwards change nothing.
    m_apartment.RunPosted();
    EXPECT_EQ(vecAnswers.size(), 2u);
    EXPECT_TRUE(m_host.Faults().empty());
}

TEST_F(ObjectWorkerTest, FaultOnTheWorkerReachesTheCrashHookUnderTheMethodName) {
    m_pFetcher->bThrow = true;
    Build();
    HRESULT hrUpdate = kNoAnswer;
    m_pObject->UpdateManifests([&](HRESULT hr) { hrUpdate = hr; });
    ASSERT_TRUE(Pump([&] { return hrUpdate != kNoAnswer; }));
    EXPECT_EQ(hrUpdate, cmifc::RPC_E_SERVERFAULT);
    EXPECT_EQ(m_host.Faults(),
              (std::vector<std::string>{"moComponentMgr::FinalConstruct", "moComponentMgr::UpdateManifests"}));
}

TEST_F(ObjectWorkerTest, CookiesNeverHandedOutAreInvalidRevokedOnesFail) {
    Build();
    std::uint32_t nCookie = 0;
    ASSERT_EQ(m_pObject->Register(mcClientCallback{":1.3", "/s"}, nCookie), S_OK);
    EXPECT_EQ(m_pObject->Unregister(0), E_INVALIDARG);
    EXPECT_EQ(m_pObject->Unregister(nCookie + 1), E_INVALIDARG);
    EXPECT_EQ(m_pObject->Unregister(nCookie), S_OK);
    EXPECT_EQ(m_pObject->Unregister(nCookie), E_FAIL);
    // Revoked because its connection went: handed out, so E_FAIL.
    ASSERT_EQ(m_pObject->Register(mcClientCallback{":1.4", "/s"}, nCookie), S_OK);
    m_pObject->DropSinksOf(":1.4");
    EXPECT_EQ(m_pObject->Unregister(nCookie), E_FAIL);
    // The window's Close reaches the object through the apartment.
    ASSERT_TRUE(m_apartment.bWindowOpen);
    ASSERT_TRUE(m_apartment.fnWindowClose);
    m_apartment.fnWindowClose();
    m_pFetcher->Open();
    m_pObject->FinalRelease();
    EXPECT_FALSE(m_apartment.bWindowOpen);
}

}  // namespace
