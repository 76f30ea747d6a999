#pragma once
// moComponentMgr: the one object of the service. It holds all live state - the
// configuration store, the manifest directory, the two job queue engines, the
// two installer data maps, the registered notification sinks, the cleanup
// thread and the hidden window - from FinalConstruct to FinalRelease, and every
// client request enters through one of its public methods.
//
// Public methods: one per method of the four bus interfaces
// ("ComponentMgr.IComponentMgrControl", "...Manifest", "...Installer",
// "ComponentMgr.IComponentMgr"), with a callback given as the caller's
// (unique bus name, object path). Each runs its body inside the public-method
// wrapper: an exception that escapes the body goes to crash reporting with
// "moComponentMgr::" + the method name; on the verdict "execute handler" the
// terminate handler ends the main loop. After a fault the method returns
// RPC_E_SERVERFAULT (the caller sees a failed call).
//
// Threads: the object lives on the main thread (the apartment's owner) and
// every method is called there, one at a time, possibly re-entered while a
// method waits in a nested pump (an outgoing call to a client, or the
// uninstaller that ClientUninstalled runs at once). Work that waits
// on the network or another process never runs there: the manifest updates
// (the start-up update of FinalConstruct, UpdateManifests, DoTriggerTasks')
// and the connection check of the start operations run on the object's
// background worker, one at a time, and their callers are answered - on the
// main thread - when that work has ended (deferred methods take a completion
// instead of returning their HRESULT). The jobs' calls come through
// InstallerInterface(), which hands them to the main thread. The object takes
// no lock of its own; the store, the manifest directory and the engine queues
// lock themselves, and no lock is held while the main thread pumps.
//
// Ownership: the object owns everything listed above plus the worker and the
// HTTP fetcher its updates use. The apartment, configuration and host must
// outlive it.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "contract/Hresult.h"
#include "jobs/IComponentMgrInstaller.h"
#include "jobs/mcClientCallback.h"
#include "jobs/mcInstallerProcess.h"
#include "net/IHttpFetcher.h"
#include "service/mcServiceConfig.h"

class IComponentMgrApartment;
class mcBackgroundWorker;
class mcCleanupThread;
class mcComponentConfig;
class mcComponentMgrJobQueueEngine;
class mcManifestDir;
class IComponentMgrHost;

class moComponentMgr {
public:
    static constexpr const char* kMethodPrefix = "moComponentMgr::";
    static constexpr const char* kLogFinalConstructEnter = "moComponentMgr::FinalConstructImpl Enter";
    static constexpr const char* kLogFinalReleaseEnter = "moComponentMgr::FinalReleaseImpl Enter";
    static constexpr const char* kLogFinalReleaseExit = "moComponentMgr::FinalReleaseImpl Normal Exit";
    static constexpr const char* kLogReleaseDownloadEngine =
        "moComponentMgr::FinalReleaseImpl Exception @ delete m_pDownloadJobQueueEngine";
    static constexpr const char* kLogReleaseInstallEngine =
        "moComponentMgr::FinalReleaseImpl Exception @ delete m_pInstallJobQueueEngine";
    static constexpr const char* kLogReleaseConfig =
        "moComponentMgr::FinalReleaseImpl Exception @ delete m_pComponentConfig";
    static constexpr const char* kLogReleaseManifestDir =
        "moComponentMgr::FinalReleaseImpl Exception @ delete m_pManifestDir";
    static constexpr const char* kLogReleaseMaps =
        "moComponentMgr::FinalReleaseImpl Exception @ m_mapInstallData.clear()";
    static constexpr const char* kTerminateDebugText =
        "moComponentMgr::CMTerminateHandler function executed\n";
    // The assertion made when the cleanup thread cannot be started.
    static constexpr const char* kAssertFunction = "moComponentMgr::FinalConstructImpl";
    static constexpr const char* kAssertFile = "ComponentMgrObj";
    static constexpr int kAssertLine = 200;
    // Notification sinks one bus connection may hold at once.
    static constexpr std::size_t kMaxSinksPerConnection = 16;
    // Installer result texts held per data map until a job fetches them;
    // beyond that the oldest is dropped (and logged).
    static constexpr std::size_t kMaxHeldResults = 16;
    static constexpr const char* kAssertCleanupThread = "m_hCleanupThread > 0";

    // The answer of a deferred method: runs once, on the main thread.
    using AnswerHandler = std::function<void(HRESULT hr)>;

    moComponentMgr(IComponentMgrApartment& apartment, const mcServiceConfig& config, IComponentMgrHost& host);
    // Runs FinalRelease when FinalConstruct ran and FinalRelease did not.
    ~moComponentMgr();
    moComponentMgr(const moComponentMgr&) = delete;
    moComponentMgr& operator=(const moComponentMgr&) = delete;

    // --- Life (main thread).
    // Builds the members in their fixed order; a member that cannot be made
    // stays null. The manifest directory only loads its files here; its first
    // update (the one it needs when it has no usable directory file, then the
    // one that is due) is handed to the worker, so FinalConstruct returns
    // without waiting for the network. Returns S_OK (or RPC_E_SERVERFAULT
    // after a fault).
    HRESULT FinalConstruct();
    // Ends the worker first (aborts its HTTP requests, waits for the running
    // update to give up, answers every deferred call still waiting with
    // CO_E_SERVER_STOPPING), then stops and deletes the members in their fixed
    // order, each step guarded. While an engine's worker finishes, the
    // apartment is pumped so that the job's calls to the main thread are
    // still served.
    void FinalRelease();
    // Writes the terminate line to the debugger output and ends the main loop.
    // Any thread.
    void CMTerminateHandler();

    // --- IComponentMgrControl
    // sink: the caller's notification object (implements
    // "ComponentMgr.IComponentMgrNotify"). E_INVALIDARG for no sink;
    // CONNECT_E_ADVISELIMIT (logged) when the caller's connection holds
    // kMaxSinksPerConnection sinks already.
    HRESULT Register(const mcClientCallback& sink, std::uint32_t& nCookie);
    // E_INVALIDARG for a cookie never handed out; E_FAIL for one that was
    // handed out and has been revoked already.
    HRESULT Unregister(std::uint32_t nCookie);
    // False only when nCookie names a live sink that another connection than
    // strBusName registered (its Unregister is not strBusName's to make).
    bool IsSinkOf(std::uint32_t nCookie, const std::string& strBusName) const;
    HRESULT ClearTasks();

    // --- IComponentMgrManifest
    HRESULT GetComponents(const std::string& strManifest, std::vector<std::string>& vecComponents);
    HRESULT GetComponentClientData(const std::string& strManifest, const std::string& strComponent,
                                   std::string& strData);
    HRESULT GetComponentFriendlyName(const std::string& strManifest, const std::string& strComponent,
                                     std::string& strName);
    // Deferred: the directory and every manifest are updated on the worker
    // (after any update already queued); fnDone gets S_OK when the update
    // returned true, S_FALSE when not, E_FAIL at once without a manifest
    // directory, RPC_E_SERVERFAULT after a fault in the body (reported as
    // "moComponentMgr::UpdateManifests"), CO_E_SERVER_STOPPING when the object
    // is released first. The registered sinks are told of every replaced
    // manifest right after the caller has been answered.
    void UpdateManifests(AnswerHandler fnDone);
    HRESULT GetComponentsFiltered(const std::string& strClient, const std::string& strManifest,
                                  std::vector<std::string>& vecComponents);

    // --- IComponentMgrInstaller
    HRESULT ComponentInstalled(const std::string& strClientName, const std::string& strData);
    HRESULT ComponentUninstalled(const std::string& strClientName, const std::string& strData);
    HRESULT GetComponentInstallData(const std::string& strClientName, std::string& strData);
    HRESULT GetComponentUninstallData(const std::string& strClientName, std::string& strData);
    // Deferred like StartComponentInstall, whose answer it gives.
    void ForceStartInstall(const std::string& strClient, const std::string& strManifest,
                           const std::string& strComponent, const mcClientCallback& callback,
                           AnswerHandler fnDone);

    // --- IComponentMgr
    // The start operations below are deferred: what the store and the
    // manifests know is read on the main thread at once; the parts that may
    // wait (the package-hash policy in the registry, the connection check, the
    // manifest refresh of DoTriggerTasks) run on the worker after any work
    // already queued there; the job is queued and the caller answered back on
    // the main thread. fnDone runs once, on the main thread - at once when
    // nothing needs the worker. Besides the results of the operation itself it
    // may get RPC_E_SERVERFAULT (a fault in the body, reported under the
    // method's name) or CO_E_SERVER_STOPPING (the object was released first).
    // S_OK: a download job was queued; S_FALSE: none (the reason is logged).
    // When the package of the manifest's version is here already and newer
    // than the installed one, the callback gets OnDownloadComplete at once,
    // sent without waiting for the client.
    void StartComponentDownload(const std::string& strClient, const std::string& strManifest,
                                const std::string& strComponent, const mcClientCallback& callback,
                                AnswerHandler fnDone);
    // S_OK when the head of the download queue was told to cancel (the
    // arguments do not select the job); E_FAIL when the queue is empty.
    HRESULT CancelDownload(const std::string& strFirst, const std::string& strSecond);
    // Deferred like StartComponentDownload: the plug-in step of a mandatory
    // update (registry lookup and the plug-in's DisableComponent) and a
    // download it starts run on the worker; everything else is decided here.
    // S_OK: an install job was queued, a download with install-after-download
    // was started, or the client was added to a component installed for
    // others (OnInstallComplete success at once); S_FALSE otherwise (logged).
    void StartComponentInstall(const std::string& strClient, const std::string& strManifest,
                               const std::string& strComponent, const mcClientCallback& callback,
                               AnswerHandler fnDone);
    HRESULT IsComponentInstalled(const std::string& strClient, const std::string& strManifest,
                                 const std::string& strComponent, std::int32_t& nStatus);
    // Deferred like StartComponentDownload. Refreshes the manifests when due
    // (on the worker), then starts the download of the first of the client's
    // components (store order) whose update is mandatory or whose
    // "autoupdate" is "true" in any letter case and whose manifest version is
    // newer than the installed one. S_OK (bUpdateStarted tells whether one
    // was started), S_FALSE without store, directory or manifest.
    using TriggerAnswerHandler = std::function<void(HRESULT hr, bool bUpdateStarted)>;
    void DoTriggerTasks(const std::string& strClient, const std::string& strManifest,
                        const mcClientCallback& callback, TriggerAnswerHandler fnDone);
    // Deferred like StartComponentDownload. S_OK whenever the client owns the
    // component, whether or not a newer version's download was started.
    void StartComponentUpdate(const std::string& strClient, const std::string& strManifest,
                              const std::string& strComponent, const mcClientCallback& callback,
                              AnswerHandler fnDone);
    // S_OK when an uninstall job was queued or, with other clients left, the
    // client was let go (OnUninstallComplete at once); else S_FALSE.
    HRESULT StartComponentUninstall(const std::string& strClient, const std::string& strManifest,
                                    const std::string& strComponent, const mcClientCallback& callback);
    // S_OK when the store took the client record, else E_FAIL.
    HRESULT ClientInstalled(const std::string& strName, const std::string& strVersion,
                            const std::string& strOem, const std::string& strLang);
    // Unregisters the client and handles each of its components by the
    // uninstall rule of each of its manifests. A component whose rule is "CM"
    // is uninstalled at once: the uninstaller runs while this thread keeps
    // serving the bus through a nested pump (its own report included), and
    // the call returns when every such uninstaller has ended. S_OK, or
    // S_FALSE without store or directory or at the first unknown manifest.
    HRESULT ClientUninstalled(const std::string& strClient, const mcClientCallback& callback);
    // As ClientUninstalled, but "CM" uninstalls are queued on the install
    // engine, and a component without rule keeps the client.
    HRESULT ClientUninstalled_Asynchronous(const std::string& strClient, const mcClientCallback& callback);
    HRESULT GetInstalledComponentVersion(const std::string& strClient, const std::string& strComponent,
                                         std::string& strVersion);
    HRESULT IsComponentUpdateAvailForInstall(const std::string& strClient,
                                             const std::string& strComponent, bool& bAvailable);
    HRESULT IsComponentInstallRunning(const std::string& strClient, const std::string& strManifest,
                                      const std::string& strComponent, bool& bRunning);
    // The four-argument form ("IsComponentUpdateAvailForInstallEx" on the bus).
    HRESULT IsComponentUpdateAvailForInstall(const std::string& strClient,
                                             const std::string& strComponent,
                                             std::string& strVersion, bool& bAvailable);
    // The store's predownload of the component the XML text describes:
    // S_OK, S_FALSE when the store refused it, E_FAIL without store.
    HRESULT PredownloadComponent(const std::string& strXml);

    // --- Notification of the registered sinks. Calls OnManifestUpdated(manifest)
    // on every sink in registration order, from the main thread with a nested
    // pump per call (from another thread the whole operation is handed to the
    // main thread). The result is that of the last call (S_OK without sinks);
    // a call that fails on the bus counts with the HRESULT its error stands
    // for. Never throws.
    HRESULT NotifyManifestUpdated(const std::string& strManifestName);

    // Runs body as the public method strMethod ("Register", ...) inside the
    // wrapper described above. Any thread (the worker runs deferred bodies in
    // it).
    HRESULT RunGuarded(const char* pszMethod, const std::function<HRESULT()>& body);

    // The installer interface the jobs receive: its calls run on the main
    // thread (see IComponentMgrInstaller). Valid for the object's life.
    IComponentMgrInstaller& InstallerInterface();

    // The connection of a client has gone: its sinks can never be called
    // again and are revoked (their cookies become unknown). Main thread.
    void DropSinksOf(const std::string& strBusName);

    // --- State, for the server and tests (main thread).
    mcComponentConfig* GetComponentConfig() const { return m_pComponentConfig.get(); }
    mcManifestDir* GetManifestDir() const { return m_pManifestDir.get(); }
    mcComponentMgrJobQueueEngine* GetDownloadEngine() const { return m_pDownloadJobQueueEngine.get(); }
    mcComponentMgrJobQueueEngine* GetInstallEngine() const { return m_pInstallJobQueueEngine.get(); }
    bool HasWindow() const { return m_hWnd != nullptr; }
    // Work handed to the worker whose completion has not run yet (the
    // start-up update included).
    std::size_t GetPendingWorkCount() const;
    bool HasCleanupThread() const { return m_hCleanupThread != nullptr; }
    const std::vector<std::uint32_t>& GetNotifyCookies() const { return m_vecNotifyCookies; }
    // Jobs queued or running in either engine (what keeps the server busy).
    std::size_t GetQueuedJobCount() const;
    const std::string& GetAppFolder() const { return m_strAppFolder; }

private:
    class PrvInstallerPort;

    HRESULT FinalConstructImpl();
    void FinalReleaseImpl();
    HRESULT RegisterImpl(const mcClientCallback& sink, std::uint32_t& nCookie);
    HRESULT UnregisterImpl(std::uint32_t nCookie);
    HRESULT ClearTasksImpl();
    HRESULT NotifyManifestUpdatedImpl(const std::string& strManifestName);
    // Runs body inside the wrapper (as pszMethod) on the worker; then, on the
    // main thread, answers fnDone (may be empty) and tells the sinks of the
    // manifests body replaced. Answers CO_E_SERVER_STOPPING when the worker
    // is stopped first or cannot take the work. Takes no server reference
    // (a deferred call's binding holds the caller's).
    // bManifestWork: the manifest worker (updates, refreshes); otherwise the
    // operations' worker (the checks before a download starts), so that a
    // stalled manifest server never holds up another client's download.
    void PrvRunOnWorker(const char* pszMethod,
                        std::function<HRESULT(std::vector<std::string>& vecReplaced)> body,
                        AnswerHandler fnDone, bool bManifestWork = true);
    // Ends the worker: aborts its HTTP, waits for it, answers what waits.
    void PrvStopWorker();
    // Stop, then wait for the worker while pumping, then delete.
    void PrvStopEngine(std::unique_ptr<mcComponentMgrJobQueueEngine>& pEngine);
    // The window's Close.
    void PrvOnWindowClose();
    // An engine's worker function faulted (worker thread).
    void PrvOnEngineFault(const std::string& strFunction, std::exception_ptr pException);
    std::unique_ptr<mcComponentMgrJobQueueEngine> PrvNewEngine();

    // Queries (moComponentMgrQueries.cpp). Where the store or the manifest
    // directory a query needs is missing, it logs "<Method>: m_p... == NULL !"
    // and answers E_FAIL with empty out-arguments.
    // The installed status (cmstatus values, contract/ComponentStatus.h); the
    // decision point of the install, uninstall and update operations.
    std::int32_t PrvIsComponentInstalled(const std::string& strClient, const std::string& strManifest,
                                         const std::string& strComponent);
    HRESULT IsComponentInstalledImpl(const std::string& strClient, const std::string& strManifest,
                                     const std::string& strComponent, std::int32_t& nStatus);
    HRESULT GetInstalledComponentVersionImpl(const std::string& strComponent, std::string& strVersion);
    HRESULT IsComponentInstallRunningImpl(const std::string& strClient, const std::string& strManifest,
                                          const std::string& strComponent, bool& bRunning);
    HRESULT IsComponentUpdateAvailForInstallImpl(const std::string& strComponent, bool& bAvailable);
    HRESULT IsComponentUpdateAvailForInstallImpl(const std::string& strComponent, std::string& strVersion,
                                                 bool& bAvailable);
    HRESULT GetComponentsImpl(const std::string& strManifest, std::vector<std::string>& vecComponents);
    HRESULT GetComponentsFilteredImpl(const std::string& strClient, const std::string& strManifest,
                                      std::vector<std::string>& vecComponents);
    HRESULT GetComponentClientDataImpl(const std::string& strManifest, const std::string& strComponent,
                                       std::string& strData);
    HRESULT GetComponentFriendlyNameImpl(const std::string& strManifest, const std::string& strComponent,
                                         std::string& strName);
    // On the worker.
    HRESULT UpdateManifestsImpl(std::vector<std::string>& vecReplaced);
    HRESULT PrvStartUpUpdate(std::vector<std::string>& vecReplaced);

    // Operations (moComponentMgrOperations.cpp).
    // The download decision: store and manifest are read here (main thread);
    // when a download is due, the hash policy and the connection check run on
    // the worker as pszMethod, and the job is queued back on the main thread.
    // fnStarted gets S_OK (queued), S_FALSE (not, logged) or a failure of the
    // deferral (see StartComponentDownload); at once when decided here.
    void PrvStartComponentDownload(const char* pszMethod, const std::string& strClient,
                                   const std::string& strManifest, const std::string& strComponent,
                                   const mcClientCallback& callback, bool bInstallAfterDownload,
                                   AnswerHandler fnStarted);
    void StartComponentUpdateImpl(const std::string& strClient, const std::string& strManifest,
                                  const std::string& strComponent, const mcClientCallback& callback,
                                  AnswerHandler fnDone);
    void DoTriggerTasksImpl(const std::string& strClient, const std::string& strManifest,
                            const mcClientCallback& callback, TriggerAnswerHandler fnDone);
    // The walk of DoTriggerTasks over the client's components from nIndex on.
    struct PrvTriggerWalk;
    void PrvTriggerNext(std::shared_ptr<PrvTriggerWalk> pWalk, std::size_t nIndex);
    HRESULT CancelDownloadImpl(const std::string& strFirst, const std::string& strSecond);
    HRESULT PredownloadComponentImpl(const std::string& strXml);
    // Runs body on the main thread inside the wrapper as pszMethod and answers
    // fnDone with its result, or with the fault's RPC_E_SERVERFAULT.
    void PrvGuardedAnswer(const char* pszMethod, const AnswerHandler& fnDone,
                          const std::function<void(AnswerHandler fnAnswer)>& body);

    // Install side (moComponentMgrInstall.cpp).
    void StartComponentInstallImpl(const std::string& strClient, const std::string& strManifest,
                                   const std::string& strComponent, const mcClientCallback& callback,
                                   AnswerHandler fnDone);
    // Steps after the plug-in step (main thread).
    void PrvContinueInstall(const std::string& strClient, const std::string& strManifest,
                            const std::string& strComponent, const mcClientCallback& callback,
                            AnswerHandler fnDone);
    void PrvQueueInstallJob(const std::string& strClient, const std::string& strManifest,
                            const std::string& strComponent, const mcClientCallback& callback,
                            const std::string& strUrl, const std::string& strInstallCmdline);
    // bRunNow: the job runs here, now, while this thread keeps serving the
    // bus; the caller owns the job and deletes it after its Run.
    bool PrvStartComponentUninstall(const std::string& strClient, const std::string& strManifest,
                                    const std::string& strComponent, const mcClientCallback& callback,
                                    bool bRunNow);
    HRESULT ClientInstalledImpl(const std::string& strName, const std::string& strVersion,
                                const std::string& strOem, const std::string& strLang);
    HRESULT PrvClientUninstalled(const std::string& strClient, const mcClientCallback& callback, bool bAsync);
    // What the install-side jobs need of the service; bRunNow: wait and call
    // back through the apartment (main thread).
    mcInstallerProcess::Settings PrvJobSettings(bool bRunNow);

    // Installer callbacks (moComponentMgrInstallerCallbacks.cpp). An empty
    // client name stands for a missing one (bus strings cannot be null).
    HRESULT ComponentInstalledImpl(const std::string& strClientName, const std::string& strData);
    HRESULT ComponentUninstalledImpl(const std::string& strClientName, const std::string& strData);
    HRESULT GetComponentInstallDataImpl(const std::string& strClientName, std::string& strData);
    HRESULT GetComponentUninstallDataImpl(const std::string& strClientName, std::string& strData);

    IComponentMgrApartment& m_apartment;
    const mcServiceConfig& m_config;
    IComponentMgrHost& m_host;
    std::string m_strAppFolder;
    bool m_bConstructed = false;
    bool m_bReleased = false;
    // FinalRelease has begun: deferred answers are CO_E_SERVER_STOPPING.
    bool m_bReleasing = false;
    // Every HTTP request of the updates; aborted in FinalRelease.
    std::shared_ptr<IHttpFetcher> m_pFetcher;
    std::unique_ptr<mcBackgroundWorker> m_pWorker;           // manifest updates
    std::unique_ptr<mcBackgroundWorker> m_pOperationsWorker;  // download starts' checks

    // Members in their fixed order (built in FinalConstruct, released in
    // FinalRelease).
    std::vector<std::uint32_t> m_vecNotifyCookies;  // registration order
    std::unique_ptr<mcComponentConfig> m_pComponentConfig;
    std::unique_ptr<mcManifestDir> m_pManifestDir;
    std::unique_ptr<mcComponentMgrJobQueueEngine> m_pDownloadJobQueueEngine;
    std::unique_ptr<mcComponentMgrJobQueueEngine> m_pInstallJobQueueEngine;
    std::map<std::string, std::string> m_mapInstallData;
    std::map<std::string, std::string> m_mapUninstallData;
    // Client names of the two maps, oldest first.
    std::deque<std::string> m_deqInstallDataOrder;
    std::deque<std::string> m_deqUninstallDataOrder;
    std::unique_ptr<mcCleanupThread> m_hCleanupThread;
    std::shared_ptr<void> m_hWnd;  // the published window (IComponentMgrApartment::AddWindow)

    // The sinks behind the cookies (what a global interface table holds).
    std::map<std::uint32_t, mcClientCallback> m_mapNotifySinks;
    std::uint32_t m_nNextCookie = 1;
    // Every cookie value has been handed out once (the counter went round).
    bool m_bCookiesWrapped = false;
    std::unique_ptr<PrvInstallerPort> m_pInstallerPort;
    const std::thread::id m_idMain = std::this_thread::get_id();  // the constructing (main) thread
};
