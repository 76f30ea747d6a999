#include "service/moComponentMgr.h"

#include "crash/mcCrashGuardScope.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <new>
#include <string_view>

#include "contract/ComponentMgrIfc.h"
#include "base/DebugOutput.h"
#include "bus/mcBusExc.h"
#include "base/mcCMLog.h"
#include "registry/mcCMUtils.h"
#include "base/mfReportAssertion.h"
#include "jobs/mcComponentMgrJobQueueEngine.h"
#include "ManifestKey.h"
#include "manifest/mcManifestDir.h"
#include "net/mcHttpFetcher.h"
#include "service/IComponentMgrApartment.h"
#include "service/IComponentMgrHost.h"
#include "service/mcBackgroundWorker.h"
#include "service/mcCleanupThread.h"
#include "service/mcServiceJobHooks.h"
#include "store/mcComponentConfig.h"

namespace {

// How long one round of pumping lasts while an engine's worker finishes.
constexpr std::chrono::milliseconds kEngineWaitSlice{20};

// Runs a FinalRelease step; an mcExc is logged with the step's line and its
// description, and the sequence goes on.
template <class F>
void PrvReleaseStep(const char* pszMessage, F&& step) {
    try {
        step();
    } catch (const mcExc& exc) {
        mfCMLog(pszMessage);
        mfCMLog(exc.Description());
    }
}

}  // namespace

// ------------------------------------------------------------ installer port

// The jobs' way into the object: every call is handed to the main thread and
// waited for there (at once when already on it).
class moComponentMgr::PrvInstallerPort : public IComponentMgrInstaller {
public:
    explicit PrvInstallerPort(moComponentMgr& owner) : m_owner(owner) {}

    // The operation answers later: the main thread starts it and this thread
    // waits for its answer (the main thread pumps instead when it calls).
    HRESULT ForceStartInstall(const std::string& strClient, const std::string& strManifest,
                              const std::string& strComponent,
                              const mcClientCallback& callback) override {
        auto pAnswer = std::make_shared<std::promise<HRESULT>>();
        std::future<HRESULT> future = pAnswer->get_future();
        auto pAnswered = std::make_shared<std::atomic<bool>>(false);
        const HRESULT hrStart = PrvOnMainThread([&] {
            m_owner.ForceStartInstall(strClient, strManifest, strComponent, callback, [pAnswer, pAnswered](HRESULT hr) {
                if (pAnswered->exchange(true)) return;
                pAnswer->set_value(hr);
            });
            return S_OK;
        });
        if (hrStart != S_OK) return hrStart;
        if (std::this_thread::get_id() == m_owner.m_idMain) {
            (void)m_owner.m_apartment.PumpUntil([&] { return pAnswered->load(); }, std::chrono::milliseconds(-1));
            return pAnswered->load() ? future.get() : cmifc::CO_E_SERVER_STOPPING;
        }
        // Answers always come (CO_E_SERVER_STOPPING at the latest, when the
        // object is released); a main thread that stopped serving ends the wait.
        while (future.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
            if (m_owner.m_apartment.IsStopped()) return cmifc::CO_E_SERVER_STOPPING;
        }
        return future.get();
    }

    HRESULT GetComponentInstallData(const std::string& strClientName, std::string& strData) override {
        strData.clear();
        std::string strResult;
        const HRESULT hr = PrvOnMainThread(
            [&] { return m_owner.GetComponentInstallData(strClientName, strResult); });
        strData = std::move(strResult);
        return hr;
    }

    HRESULT GetComponentUninstallData(const std::string& strClientName, std::string& strData) override {
        strData.clear();
        std::string strResult;
        const HRESULT hr = PrvOnMainThread(
            [&] { return m_owner.GetComponentUninstallData(strClientName, strResult); });
        strData = std::move(strResult);
        return hr;
    }

private:
    template <class F>
    HRESULT PrvOnMainThread(F&& fn) {
        try {
            return m_owner.m_apartment.Invoke(std::forward<F>(fn));
        } catch (const mcBusExc&) {
            return cmifc::CO_E_SERVER_STOPPING;  // the main thread no longer serves
        } catch (...) {
            return cmifc::RPC_E_SERVERFAULT;
        }
    }

    moComponentMgr& m_owner;
};

// ------------------------------------------------------------ life

moComponentMgr::moComponentMgr(IComponentMgrApartment& apartment, const mcServiceConfig& config,
                               IComponentMgrHost& host)
    : m_apartment(apartment),
      m_config(config),
      m_host(host),
      m_strAppFolder(config.strAppFolder.empty() ? mcCMUtils::GetAppPath() : config.strAppFolder),
      m_pFetcher(config.pFetcher ? config.pFetcher : std::make_shared<mcHttpFetcher>()),
      m_pInstallerPort(std::make_unique<PrvInstallerPort>(*this)) {}

moComponentMgr::~moComponentMgr() {
    if (m_bConstructed && !m_bReleased) FinalRelease();
}

HRESULT moComponentMgr::RunGuarded(const char* pszMethod, const std::function<HRESULT()>& body) {
    const mcCrashGuardScope crashScope(kMethodPrefix, pszMethod);
    try {
        return body();
    } catch (...) {
        const std::exception_ptr pException = std::current_exception();
        const ICrashReportHook::Verdict verdict =
            m_host.ReportFault(std::string(kMethodPrefix) + pszMethod, pException);
        if (verdict == ICrashReportHook::Verdict::kExecuteHandler) CMTerminateHandler();
        return cmifc::RPC_E_SERVERFAULT;
    }
}

HRESULT moComponentMgr::FinalConstruct() {
    m_bConstructed = true;
    return RunGuarded("FinalConstruct", [this] { return FinalConstructImpl(); });
}

void moComponentMgr::FinalRelease() {
    m_bReleased = true;
    RunGuarded("FinalRelease", [this] {
        FinalReleaseImpl();
        return S_OK;
    });
}

void moComponentMgr::CMTerminateHandler() {
    mfOutputDebugString(kTerminateDebugText);
    m_host.EndMainLoop();
}

HRESULT moComponentMgr::FinalConstructImpl() {
    mfCMLog(kLogFinalConstructEnter);
    if (std::string_view(zr::crypt::kManifestPublicKey) == zr::crypt::kDevelopmentManifestPublicKey) {
        mfCMLog("Manifest signatures: this build trusts the development key, whose private half is public; "
                "build with -DKETTRIN_MANIFEST_PUBLIC_KEY or set RequireStrongSignature");
    }
    // 1. The hidden window.
    m_hWnd = m_apartment.AddWindow([this] { PrvOnWindowClose(); });
    if (!m_pWorker) m_pWorker = std::make_unique<mcBackgroundWorker>(m_apartment);
    if (!m_pOperationsWorker) m_pOperationsWorker = std::make_unique<mcBackgroundWorker>(m_apartment);

    // 2. The configuration store.
    if (!m_pComponentConfig) {
        try {
            mcComponentConfig::Settings settings;
            settings.strAppPath = m_strAppFolder;
            m_pComponentConfig.reset(new (std::nothrow) mcComponentConfig(settings));
        } catch (const std::bad_alloc&) {
            m_pComponentConfig.reset();
        }
    }

    // 3. The manifest directory (loads its files), then its first update on
    // the worker: the forced one when it has no usable directory file, then
    // 4. the refresh when it is due.
    if (!m_pManifestDir) {
        try {
            mcManifestDir::Config dirConfig;
            dirConfig.strAppFolder = m_strAppFolder;
            dirConfig.fnNow = m_config.fnNow;
            dirConfig.fnConnectionCheck = m_config.fnConnectionCheck;
            dirConfig.pFetcher = m_pFetcher;
            dirConfig.bDeferFirstUpdate = true;
            // No owner: the names of replaced manifests come back from each
            // update, and the sinks are told on the main thread.
            m_pManifestDir.reset(new (std::nothrow) mcManifestDir(nullptr, std::move(dirConfig)));
        } catch (const std::bad_alloc&) {
            m_pManifestDir.reset();
        }
    }
    if (m_pManifestDir) {
        PrvRunOnWorker("FinalConstruct",
                       [this](std::vector<std::string>& vecReplaced) { return PrvStartUpUpdate(vecReplaced); },
                       nullptr);
    }

    // 5., 6. The engines.
    if (!m_pDownloadJobQueueEngine) {
        m_pDownloadJobQueueEngine = PrvNewEngine();
        if (m_pDownloadJobQueueEngine) m_pDownloadJobQueueEngine->Resume();
    }
    if (!m_pInstallJobQueueEngine) {
        m_pInstallJobQueueEngine = PrvNewEngine();
        if (m_pInstallJobQueueEngine) m_pInstallJobQueueEngine->Resume();
    }

    // 7., 8. The cleanup thread (it lowers its own priority).
    m_hCleanupThread = std::make_unique<mcCleanupThread>(m_config.cleanupInterval, m_config.fnTrimWorkingSet);
    if (!m_hCleanupThread->Start()) {
        m_hCleanupThread.reset();
        mfReportAssertion(kAssertFunction, kAssertFile, kAssertLine, kAssertCleanupThread);
    }
    return S_OK;
}

std::unique_ptr<mcComponentMgrJobQueueEngine> moComponentMgr::PrvNewEngine() {
    try {
        mcServiceJobHooks::Host host;
        host.fnAcquireReference = [this] { return m_host.AcquireJobReference(); };
        host.fnReleaseReference = [this] { m_host.ReleaseJobReference(); };
        host.fnFault = [this](const std::string& strFunction, std::exception_ptr pException) {
            PrvOnEngineFault(strFunction, pException);
        };
        auto pHooks = std::make_shared<mcServiceJobHooks>(m_host.WorkerBusAddress(), std::move(host));
        return std::make_unique<mcComponentMgrJobQueueEngine>(std::move(pHooks));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void moComponentMgr::PrvOnEngineFault(const std::string& strFunction, std::exception_ptr pException) {
    if (m_host.ReportFault(strFunction, pException) == ICrashReportHook::Verdict::kExecuteHandler) {
        // The terminate handler belongs to the main thread; when that no
        // longer serves, the loop is ended directly.
        if (!m_apartment.Post([this] { CMTerminateHandler(); })) m_host.EndMainLoop();
    }
}

void moComponentMgr::FinalReleaseImpl() {
    mfCMLog(kLogFinalReleaseEnter);
    // Before anything the worker's updates use goes: their waits end, and
    // every deferred call still waiting is answered.
    PrvStopWorker();
    // 2. The cleanup thread ends here.
    if (m_hCleanupThread) {
        m_hCleanupThread->Stop();
        m_hCleanupThread.reset();
    }
    // 3., 4. The engines.
    PrvReleaseStep(kLogReleaseDownloadEngine, [this] { PrvStopEngine(m_pDownloadJobQueueEngine); });
    PrvReleaseStep(kLogReleaseInstallEngine, [this] { PrvStopEngine(m_pInstallJobQueueEngine); });
    // 5. The store saves in its destructor.
    PrvReleaseStep(kLogReleaseConfig, [this] { m_pComponentConfig.reset(); });
    // 6. The manifest directory.
    PrvReleaseStep(kLogReleaseManifestDir, [this] { m_pManifestDir.reset(); });
    // 7. The installer data.
    PrvReleaseStep(kLogReleaseMaps, [this] {
        m_mapInstallData.clear();
        m_mapUninstallData.clear();
        m_deqInstallDataOrder.clear();
        m_deqUninstallDataOrder.clear();
    });
    // 8. The window.
    m_hWnd.reset();
    mfCMLog(kLogFinalReleaseExit);
}

void moComponentMgr::PrvStopEngine(std::unique_ptr<mcComponentMgrJobQueueEngine>& pEngine) {
    if (!pEngine) return;
    pEngine->Stop();
    // The worker ends after the job it runs now; that job may be waiting for
    // a call handed to this thread, so keep serving until it has ended.
    pEngine->Shutdown();
    mcComponentMgrJobQueueEngine* pRaw = pEngine.get();
    while (pRaw->IsThreadRunning()) {
        bool bServed = false;
        if (!m_apartment.IsStopped()) {
            try {
                const auto tpStart = std::chrono::steady_clock::now();
                m_apartment.PumpUntil([pRaw] { return !pRaw->IsThreadRunning(); }, kEngineWaitSlice);
                // PumpUntil returns early without serving when the loop must
                // be left (end of the main loop, lost connection).
                bServed = !pRaw->IsThreadRunning() ||
                          std::chrono::steady_clock::now() - tpStart >= kEngineWaitSlice;
            } catch (const mcBusExc&) {
                bServed = false;
            }
        }
        if (!bServed && !pRaw->WaitForThreadEnd(kEngineWaitSlice)) {
            // Nobody can serve the worker's calls any more: fail them, so that
            // a job waiting for one finishes.
            m_apartment.Stop();
        }
    }
    pEngine.reset();
}

void moComponentMgr::PrvStopWorker() {
    m_bReleasing = true;
    if (!m_pWorker && !m_pOperationsWorker) return;
    m_pFetcher->AbortAll();
    if (m_pWorker) m_pWorker->Stop();
    if (m_pOperationsWorker) m_pOperationsWorker->Stop();
}

void moComponentMgr::PrvRunOnWorker(const char* pszMethod,
                                    std::function<HRESULT(std::vector<std::string>& vecReplaced)> body,
                                    AnswerHandler fnDone, bool bManifestWork) {
    struct Outcome {
        HRESULT hr = cmifc::CO_E_SERVER_STOPPING;
        std::vector<std::string> vecReplaced;
    };
    auto pOutcome = std::make_shared<Outcome>();
    // No reference of its own: a deferred call holds its caller's until it is
    // answered, and the start-up update must not keep an unused server
    // alive (when the server ends first, the update is aborted and the next
    // start finds it due again).
    auto work = [this, pszMethod, pOutcome, body = std::move(body)] {
        pOutcome->hr = RunGuarded(pszMethod, [&] { return body(pOutcome->vecReplaced); });
    };
    auto done = [this, pOutcome, fnDone](bool bRan) {
        const bool bAnswer = bRan && !m_bReleasing;
        // A body that faulted is answered as such even though the terminate
        // handler is ending the server meanwhile.
        const bool bFaulted = bRan && pOutcome->hr == cmifc::RPC_E_SERVERFAULT;
        if (fnDone) fnDone(bAnswer || bFaulted ? pOutcome->hr : cmifc::CO_E_SERVER_STOPPING);
        // The update has released every lock: the sinks may call back in,
        // even for another update.
        if (bAnswer) {
            for (const std::string& strName : pOutcome->vecReplaced) (void)NotifyManifestUpdated(strName);
        }
    };
    bool bQueued = false;
    try {
        mcBackgroundWorker* pWorker = bManifestWork ? m_pWorker.get() : m_pOperationsWorker.get();
        bQueued = pWorker && !m_bReleasing && pWorker->Submit(std::move(work), done);
    } catch (const std::system_error&) {
        bQueued = false;  // no thread to run it on
    }
    if (!bQueued) done(false);
}

HRESULT moComponentMgr::PrvStartUpUpdate(std::vector<std::string>& vecReplaced) {
    if (!m_pManifestDir->IsLoaded()) (void)m_pManifestDir->UpdateToNewVersion(true, &vecReplaced);
    (void)m_pManifestDir->UpdateToNewVersion(false, &vecReplaced);
    return S_OK;
}

std::size_t moComponentMgr::GetPendingWorkCount() const {
    return (m_pWorker ? m_pWorker->PendingCount() : 0) + (m_pOperationsWorker ? m_pOperationsWorker->PendingCount() : 0);
}

void moComponentMgr::PrvOnWindowClose() {
    m_host.Touch();
    // The close message asks the object itself to clear its tasks.
    (void)ClearTasks();
}

// ------------------------------------------------------------ IComponentMgrControl

HRESULT moComponentMgr::Register(const mcClientCallback& sink, std::uint32_t& nCookie) {
    nCookie = 0;
    return RunGuarded("Register", [&] { return RegisterImpl(sink, nCookie); });
}

HRESULT moComponentMgr::Unregister(std::uint32_t nCookie) {
    return RunGuarded("Unregister", [&] { return UnregisterImpl(nCookie); });
}

bool moComponentMgr::IsSinkOf(std::uint32_t nCookie, const std::string& strBusName) const {
    auto it = m_mapNotifySinks.find(nCookie);
    return it == m_mapNotifySinks.end() || it->second.strBusName == strBusName;
}

HRESULT moComponentMgr::ClearTasks() {
    return RunGuarded("ClearTasks", [&] { return ClearTasksImpl(); });
}

HRESULT moComponentMgr::RegisterImpl(const mcClientCallback& sink, std::uint32_t& nCookie) {
    if (sink.IsEmpty()) return E_INVALIDARG;
    const auto nOfConnection = std::count_if(m_mapNotifySinks.begin(), m_mapNotifySinks.end(), [&](const auto& entry) {
        return entry.second.strBusName == sink.strBusName;
    });
    if (nOfConnection >= static_cast<std::ptrdiff_t>(kMaxSinksPerConnection)) {
        mfCMLog("Register: " + sink.strBusName + " already holds " + std::to_string(nOfConnection) +
                " notification sinks, refused");
        return CONNECT_E_ADVISELIMIT;
    }
    // Cookies are never 0 and never handed out twice at once.
    std::uint32_t nNew = m_nNextCookie;
    while (nNew == 0 || m_mapNotifySinks.count(nNew) != 0) {
        if (nNew == 0) m_bCookiesWrapped = true;
        ++nNew;
    }
    m_nNextCookie = nNew + 1;
    if (m_nNextCookie == 0) m_bCookiesWrapped = true;
    m_mapNotifySinks.emplace(nNew, sink);
    m_vecNotifyCookies.push_back(nNew);
    nCookie = nNew;
    return S_OK;
}

HRESULT moComponentMgr::UnregisterImpl(std::uint32_t nCookie) {
    // Cookies count up from 1: below the counter means handed out once.
    const bool bHandedOut = nCookie != 0 && (m_bCookiesWrapped || nCookie < m_nNextCookie);
    if (!bHandedOut) return E_INVALIDARG;
    m_mapNotifySinks.erase(nCookie);
    auto it = std::find(m_vecNotifyCookies.begin(), m_vecNotifyCookies.end(), nCookie);
    if (it == m_vecNotifyCookies.end()) return E_FAIL;
    m_vecNotifyCookies.erase(it);
    return S_OK;
}

HRESULT moComponentMgr::ClearTasksImpl() {
    if (m_pDownloadJobQueueEngine) m_pDownloadJobQueueEngine->FlushThread();
    if (m_pInstallJobQueueEngine) m_pInstallJobQueueEngine->FlushThread();
    return S_OK;
}

void moComponentMgr::DropSinksOf(const std::string& strBusName) {
    for (auto it = m_mapNotifySinks.begin(); it != m_mapNotifySinks.end();) {
        if (it->second.strBusName == strBusName) {
            m_vecNotifyCookies.erase(
                std::remove(m_vecNotifyCookies.begin(), m_vecNotifyCookies.end(), it->first),
                m_vecNotifyCookies.end());
            it = m_mapNotifySinks.erase(it);
        } else {
            ++it;
        }
    }
}

// ------------------------------------------------------------ notification

HRESULT moComponentMgr::NotifyManifestUpdated(const std::string& strManifestName) {
    try {
        return m_apartment.Invoke([&] { return NotifyManifestUpdatedImpl(strManifestName); });
    } catch (const mcBusExc&) {
        return cmifc::CO_E_SERVER_STOPPING;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT moComponentMgr::NotifyManifestUpdatedImpl(const std::string& strManifestName) {
    // Gather the sinks first: registrations may change while a call waits.
    std::vector<mcClientCallback> vecSinks;
    vecSinks.reserve(m_vecNotifyCookies.size());
    for (const std::uint32_t nCookie : m_vecNotifyCookies) {
        auto it = m_mapNotifySinks.find(nCookie);
        if (it == m_mapNotifySinks.end()) return E_INVALIDARG;
        vecSinks.push_back(it->second);
    }
    // All at once: a sink that never answers costs one time-out, not one per
    // sink. The answer is the last registered sink's, as before.
    const std::vector<HRESULT> vecResults = m_apartment.CallClients(vecSinks, cmifc::kIfaceNotify, "OnManifestUpdated",
                                                                    strManifestName, m_config.notifyTimeout);
    return vecResults.empty() ? S_OK : vecResults.back();
}

// ------------------------------------------------------------ bodies of later work

HRESULT moComponentMgr::GetComponents(const std::string& strManifest, std::vector<std::string>& vecComponents) {
    vecComponents.clear();
    return RunGuarded("GetComponents", [&] { return GetComponentsImpl(strManifest, vecComponents); });
}

HRESULT moComponentMgr::GetComponentClientData(const std::string& strManifest, const std::string& strComponent,
                                               std::string& strData) {
    strData.clear();
    return RunGuarded("GetComponentClientData",
                      [&] { return GetComponentClientDataImpl(strManifest, strComponent, strData); });
}

HRESULT moComponentMgr::GetComponentFriendlyName(const std::string& strManifest, const std::string& strComponent,
                                                 std::string& strName) {
    strName.clear();
    return RunGuarded("GetComponentFriendlyName",
                      [&] { return GetComponentFriendlyNameImpl(strManifest, strComponent, strName); });
}

void moComponentMgr::UpdateManifests(AnswerHandler fnDone) {
    if (!m_pManifestDir) {
        std::vector<std::string> vecNone;
        const HRESULT hr = RunGuarded("UpdateManifests", [&] { return UpdateManifestsImpl(vecNone); });
        if (fnDone) fnDone(hr);
        return;
    }
    PrvRunOnWorker(
        "UpdateManifests", [this](std::vector<std::string>& vecReplaced) { return UpdateManifestsImpl(vecReplaced); },
        std::move(fnDone));
}

HRESULT moComponentMgr::GetComponentsFiltered(const std::string& strClient, const std::string& strManifest,
                                              std::vector<std::string>& vecComponents) {
    vecComponents.clear();
    return RunGuarded("GetComponentsFiltered",
                      [&] { return GetComponentsFilteredImpl(strClient, strManifest, vecComponents); });
}

HRESULT moComponentMgr::ComponentInstalled(const std::string& strClientName, const std::string& strData) {
    return RunGuarded("ComponentInstalled", [&] { return ComponentInstalledImpl(strClientName, strData); });
}

HRESULT moComponentMgr::ComponentUninstalled(const std::string& strClientName, const std::string& strData) {
    return RunGuarded("ComponentUninstalled", [&] { return ComponentUninstalledImpl(strClientName, strData); });
}

HRESULT moComponentMgr::GetComponentInstallData(const std::string& strClientName, std::string& strData) {
    strData.clear();
    return RunGuarded("GetComponentInstallData",
                      [&] { return GetComponentInstallDataImpl(strClientName, strData); });
}

HRESULT moComponentMgr::GetComponentUninstallData(const std::string& strClientName, std::string& strData) {
    strData.clear();
    return RunGuarded("GetComponentUninstallData",
                      [&] { return GetComponentUninstallDataImpl(strClientName, strData); });
}

HRESULT moComponentMgr::IsComponentInstalled(const std::string& strClient, const std::string& strManifest,
                                             const std::string& strComponent, std::int32_t& nStatus) {
    nStatus = 0;
    return RunGuarded("IsComponentInstalled",
                      [&] { return IsComponentInstalledImpl(strClient, strManifest, strComponent, nStatus); });
}

HRESULT moComponentMgr::GetInstalledComponentVersion(const std::string&, const std::string& strComponent,
                                                     std::string& strVersion) {
    strVersion.clear();
    return RunGuarded("GetInstalledComponentVersion",
                      [&] { return GetInstalledComponentVersionImpl(strComponent, strVersion); });
}

HRESULT moComponentMgr::IsComponentUpdateAvailForInstall(const std::string&, const std::string& strComponent,
                                                         bool& bAvailable) {
    bAvailable = false;
    return RunGuarded("IsComponentUpdateAvailForInstall",
                      [&] { return IsComponentUpdateAvailForInstallImpl(strComponent, bAvailable); });
}

HRESULT moComponentMgr::IsComponentInstallRunning(const std::string& strClient, const std::string& strManifest,
                                                  const std::string& strComponent, bool& bRunning) {
    bRunning = false;
    return RunGuarded("IsComponentInstallRunning",
                      [&] { return IsComponentInstallRunningImpl(strClient, strManifest, strComponent, bRunning); });
}

HRESULT moComponentMgr::IsComponentUpdateAvailForInstall(const std::string&, const std::string& strComponent,
                                                         std::string& strVersion, bool& bAvailable) {
    strVersion.clear();
    bAvailable = false;
    return RunGuarded("IsComponentUpdateAvailForInstall",
                      [&] { return IsComponentUpdateAvailForInstallImpl(strComponent, strVersion, bAvailable); });
}

// ------------------------------------------------------------ misc

IComponentMgrInstaller& moComponentMgr::InstallerInterface() { return *m_pInstallerPort; }

std::size_t moComponentMgr::GetQueuedJobCount() const {
    std::size_t n = 0;
    if (m_pDownloadJobQueueEngine) n += m_pDownloadJobQueueEngine->GetQueuedCount();
    if (m_pInstallJobQueueEngine) n += m_pInstallJobQueueEngine->GetQueuedCount();
    return n;
}
