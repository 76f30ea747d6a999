// moComponentMgr: the download-side operations (start a download, update,
// trigger tasks, cancel, predownload).
//
// Where each part runs: the store and manifest lookups and the decision
// whether a download is due run on the main thread when the call arrives;
// what may wait - the package-hash policy (a registry read), the connection
// check and the manifest refresh of DoTriggerTasks - runs on the background
// worker; the job is made and queued, and the caller answered, back on the
// main thread. The store is read again for nothing after the worker part: a
// request that raced with another for the same component queues a second job,
// which the download job tolerates (it replaces the earlier package).
#include <memory>

#include "base/StrUtils.h"
#include "base/mcCMLog.h"
#include "contract/ComponentMgrIfc.h"
#include "jobs/mcComponentMgrJobQueueEngine.h"
#include "jobs/mcDownloadJob.h"
#include "manifest/mcComponentManifest.h"
#include "manifest/mcManifestComponent.h"
#include "manifest/mcManifestDir.h"
#include "net/mcConnectionCheck.h"
#include "registry/mcCMUtils.h"
#include "service/IComponentMgrApartment.h"
#include "service/moComponentMgr.h"
#include "store/mcComponentConfig.h"

namespace {

constexpr const char* kAutoUpdateOn = "true";

bool PrvIsNewer(const std::string& strCandidate, const std::string& strCurrent) {
    return mcCMUtils::CompareVersions(strCandidate, strCurrent) > 0;
}

}  // namespace

struct moComponentMgr::PrvTriggerWalk {
    std::string strClient;
    std::string strManifest;
    mcClientCallback callback;
    std::shared_ptr<const mcComponentManifest> pManifest;
    std::vector<std::string> vecComponents;
    TriggerAnswerHandler fnDone;
};

void moComponentMgr::PrvGuardedAnswer(const char* pszMethod, const AnswerHandler& fnDone,
                                      const std::function<void(AnswerHandler fnAnswer)>& body) {
    // The first answer wins: a fault after the body answered changes nothing.
    auto pAnswered = std::make_shared<bool>(false);
    AnswerHandler fnOnce = [fnDone, pAnswered](HRESULT hr) {
        if (*pAnswered) return;
        *pAnswered = true;
        if (fnDone) fnDone(hr);
    };
    const HRESULT hr = RunGuarded(pszMethod, [&] {
        body(fnOnce);
        return S_OK;
    });
    if (hr != S_OK) fnOnce(hr);
}

// ------------------------------------------------------------ download

void moComponentMgr::PrvStartComponentDownload(const char* pszMethod, const std::string& strClient,
                                               const std::string& strManifest, const std::string& strComponent,
                                               const mcClientCallback& callback, bool bInstallAfterDownload,
                                               AnswerHandler fnStarted) {
    if (!m_pManifestDir) {
        mfCMLog("PrvStartComponentDownload: m_pManifestDir == NULL !");
        fnStarted(S_FALSE);
        return;
    }
    if (!m_pComponentConfig) {
        mfCMLog("PrvStartComponentDownload: m_pComponentConfig == NULL !");
        fnStarted(S_FALSE);
        return;
    }
    mcComponentConfig& config = *m_pComponentConfig;
    const bool bKnown = config.HasComponentStates(strComponent);
    std::string strConfigVersion;
    if (bKnown) {
        std::string strState;
        if (!config.GetComponentCurrentState(strComponent, strState)) {
            mfCMLog("PrvStartComponentDownload: Component has no state - " + strComponent);
            fnStarted(S_FALSE);
            return;
        }
        if (!config.GetComponentVersion(strComponent, strState, strConfigVersion)) {
            mfCMLog("PrvStartComponentDownload: Component has no version - " + strComponent);
            fnStarted(S_FALSE);
            return;
        }
    }
    const std::shared_ptr<const mcComponentManifest> pManifest = m_pManifestDir->GetManifest(strManifest);
    if (!pManifest) {
        mfCMLog("PrvIsComponentInstalled: pManifest == NULL : " + strManifest);
        fnStarted(S_FALSE);
        return;
    }
    mcManifestComponent component;
    if (!pManifest->GetComponent(strComponent, component)) {
        mfCMLog("PrvStartComponentDownload: Component not in manifest file - " + strComponent);
        fnStarted(S_FALSE);
        return;
    }
    const std::string strManifestVersion = component.m_plugin.m_strVersion;
    mfCMLog("PrvStartComponentDownload: Versions - manifest : config - " + strManifestVersion + " : " +
            strConfigVersion);
    if (bKnown && !PrvIsNewer(strManifestVersion, strConfigVersion)) {
        // Nothing to fetch; when the package here is newer than what is
        // installed, it waits for installation and the client hears so.
        std::string strInstalledVersion;
        if (!config.GetComponentVersion(strComponent, mcComponentConfig::kStateInstalled, strInstalledVersion)) {
            strInstalledVersion.clear();
        }
        if (PrvIsNewer(strManifestVersion, strInstalledVersion) && !callback.IsEmpty()) {
            m_apartment.SendToClient(callback, cmifc::kIfaceCallback, "OnDownloadComplete", strComponent);
        }
        fnStarted(S_FALSE);
        return;
    }

    // The policy and the connection check may wait: worker.
    const std::string strSha256 = component.m_strPackageSha256;
    auto check = [this, strComponent, strSha256](std::vector<std::string>&) -> HRESULT {
        if (strSha256.empty() && mcDownloadJob::IsPackageHashRequired()) {
            mfCMLog("PrvStartComponentDownload: Component has no package hash - " + strComponent);
            return S_FALSE;
        }
        const bool bOnline =
            m_config.fnConnectionCheck ? m_config.fnConnectionCheck() : ::ConnectionCheck(m_pFetcher.get());
        if (!bOnline) {
            mfCMLog("PrvStartComponentDownload : failed, user not online");
            return S_FALSE;
        }
        return S_OK;
    };
    auto queue = [this, pszMethod, strClient, strManifest, strComponent, callback, bInstallAfterDownload,
                  strManifestVersion, strSha256, strUrl = component.m_plugin.m_strUpdateURL,
                  fnStarted](HRESULT hrCheck) {
        if (hrCheck != S_OK) {
            fnStarted(hrCheck);
            return;
        }
        PrvGuardedAnswer(pszMethod, fnStarted, [&](AnswerHandler fnAnswer) {
            if (!m_pDownloadJobQueueEngine || !m_pComponentConfig) {
                fnAnswer(S_FALSE);
                return;
            }
            mfCMLog("PrvStartComponentDownload: Starting download job! " + strClient + ", " + strManifest + ", " +
                    strComponent);
            m_pDownloadJobQueueEngine->AddJob(std::make_unique<mcDownloadJob>(
                m_pComponentConfig.get(), callback, strUrl, strClient, strManifest, strComponent,
                strManifestVersion, bInstallAfterDownload, &InstallerInterface(), strSha256));
            fnAnswer(S_OK);
        });
    };
    PrvRunOnWorker(pszMethod, std::move(check), std::move(queue), false);
}

void moComponentMgr::StartComponentDownload(const std::string& strClient, const std::string& strManifest,
                                            const std::string& strComponent, const mcClientCallback& callback,
                                            AnswerHandler fnDone) {
    PrvGuardedAnswer("StartComponentDownload", fnDone, [&](AnswerHandler fnAnswer) {
        mfCMLog("StartComponentDownload called with: " + strClient + ", " + strManifest + ", " + strComponent);
        PrvStartComponentDownload("StartComponentDownload", strClient, strManifest, strComponent, callback,
                                  false, std::move(fnAnswer));
    });
}

// ------------------------------------------------------------ cancel

HRESULT moComponentMgr::CancelDownload(const std::string& strFirst, const std::string& strSecond) {
    return RunGuarded("CancelDownload", [&] { return CancelDownloadImpl(strFirst, strSecond); });
}

HRESULT moComponentMgr::CancelDownloadImpl(const std::string& strFirst, const std::string& strSecond) {
    mfCMLog("CancelDownload called with: " + strFirst + ", " + strSecond);
    if (!m_pDownloadJobQueueEngine) return E_FAIL;
    const bool bHadJob = m_pDownloadJobQueueEngine->WithCurrentJob([](mcComponentMgrJob& job) {
        if (auto* pDownload = dynamic_cast<mcDownloadJob*>(&job)) pDownload->Cancel();
    });
    return bHadJob ? S_OK : E_FAIL;
}

// ------------------------------------------------------------ update

void moComponentMgr::StartComponentUpdate(const std::string& strClient, const std::string& strManifest,
                                          const std::string& strComponent, const mcClientCallback& callback,
                                          AnswerHandler fnDone) {
    PrvGuardedAnswer("StartComponentUpdate", fnDone, [&](AnswerHandler fnAnswer) {
        StartComponentUpdateImpl(strClient, strManifest, strComponent, callback, std::move(fnAnswer));
    });
}

void moComponentMgr::StartComponentUpdateImpl(const std::string& strClient, const std::string& strManifest,
                                              const std::string& strComponent, const mcClientCallback& callback,
                                              AnswerHandler fnDone) {
    mfCMLog("StartComponentUpdate called with: " + strClient + ", " + strManifest + ", " + strComponent);
    if (!m_pManifestDir) {
        mfCMLog("StartComponentUpdate: m_pManifestDir == NULL !");
        fnDone(S_FALSE);
        return;
    }
    if (!m_pComponentConfig) {
        mfCMLog("StartComponentUpdate: m_pComponentConfig == NULL !");
        fnDone(S_FALSE);
        return;
    }
    const std::shared_ptr<const mcComponentManifest> pManifest = m_pManifestDir->GetManifest(strManifest);
    if (!pManifest) {
        mfCMLog("StartComponentUpdate: Manifest doesn't exist : " + strManifest);
        fnDone(S_FALSE);
        return;
    }
    if (!m_pComponentConfig->IsComponentOfClient(strClient, strComponent)) {
        mfCMLog("StartComponentUpdate: Client doesn't own component: " + strClient + ", " + strComponent);
        fnDone(S_FALSE);
        return;
    }
    std::string strInstalledVersion;
    if (!m_pComponentConfig->GetComponentVersion(strComponent, mcComponentConfig::kStateInstalled,
                                                 strInstalledVersion)) {
        strInstalledVersion.clear();
    }
    mcManifestComponent component;
    const std::string strManifestVersion =
        pManifest->GetComponent(strComponent, component) ? component.m_plugin.m_strVersion : std::string();
    if (!PrvIsNewer(strManifestVersion, strInstalledVersion)) {
        fnDone(S_OK);
        return;
    }
    PrvStartComponentDownload("StartComponentUpdate", strClient, strManifest, strComponent, callback, false,
                              [strComponent, fnDone](HRESULT hr) {
                                  if (hr == S_OK) mfCMLog("StartComponentUpdate: Update found : " + strComponent);
                                  // Whether or not a download started; only a
                                  // failed deferral is passed on.
                                  fnDone(hr == S_FALSE ? S_OK : hr);
                              });
}

// ------------------------------------------------------------ trigger tasks

void moComponentMgr::DoTriggerTasks(const std::string& strClient, const std::string& strManifest,
                                    const mcClientCallback& callback, TriggerAnswerHandler fnDone) {
    // The out-argument travels with the answer; a fault answers "not started".
    auto pStarted = std::make_shared<bool>(false);
    AnswerHandler fnAnswer = [fnDone, pStarted](HRESULT hr) {
        if (fnDone) fnDone(hr, hr == S_OK && *pStarted);
    };
    PrvGuardedAnswer("DoTriggerTasks", fnAnswer, [&](AnswerHandler fnOnce) {
        DoTriggerTasksImpl(strClient, strManifest, callback, [fnOnce, pStarted](HRESULT hr, bool bStarted) {
            *pStarted = bStarted;
            fnOnce(hr);
        });
    });
}

void moComponentMgr::DoTriggerTasksImpl(const std::string& strClient, const std::string& strManifest,
                                        const mcClientCallback& callback, TriggerAnswerHandler fnDone) {
    mfCMLog("DoTriggerTasks called with: " + strClient + ", " + strManifest);
    if (!m_pManifestDir) {
        mfCMLog("DoTriggerTasks: m_pManifestDir == NULL");
        fnDone(S_FALSE, false);
        return;
    }
    if (!m_pComponentConfig) {
        mfCMLog("DoTriggerTasks: m_pComponentConfig == NULL");
        fnDone(S_FALSE, false);
        return;
    }
    auto pWalk = std::make_shared<PrvTriggerWalk>();
    pWalk->strClient = strClient;
    pWalk->strManifest = strManifest;
    pWalk->callback = callback;
    pWalk->fnDone = std::move(fnDone);
    // The refresh (when due) waits on the network: worker. The walk goes on
    // from the main thread, with the manifests as the refresh left them.
    auto refresh = [this](std::vector<std::string>& vecReplaced) -> HRESULT {
        if (m_pManifestDir) (void)m_pManifestDir->UpdateToNewVersion(false, &vecReplaced);
        return S_OK;
    };
    auto walk = [this, pWalk](HRESULT hr) {
        if (hr != S_OK) {
            pWalk->fnDone(hr, false);
            return;
        }
        PrvGuardedAnswer("DoTriggerTasks", [pWalk](HRESULT hrFault) { pWalk->fnDone(hrFault, false); },
                         [&](AnswerHandler) {
                             pWalk->pManifest =
                                 m_pManifestDir ? m_pManifestDir->GetManifest(pWalk->strManifest) : nullptr;
                             if (!pWalk->pManifest || !m_pComponentConfig) {
                                 mfCMLog("DoTriggerTasks: pManifest == NULL " + pWalk->strManifest);
                                 pWalk->fnDone(S_FALSE, false);
                                 return;
                             }
                             (void)m_pComponentConfig->GetComponentsOfClient(pWalk->strClient,
                                                                             pWalk->vecComponents);
                             PrvTriggerNext(pWalk, 0);
                         });
    };
    PrvRunOnWorker("DoTriggerTasks", std::move(refresh), std::move(walk));
}

void moComponentMgr::PrvTriggerNext(std::shared_ptr<PrvTriggerWalk> pWalk, std::size_t nIndex) {
    for (; nIndex < pWalk->vecComponents.size() && m_pComponentConfig; ++nIndex) {
        const std::string& strComponent = pWalk->vecComponents[nIndex];
        mcManifestComponent component;
        std::string strManifestVersion;
        bool bMandatory = false;
        if (pWalk->pManifest->GetComponent(strComponent, component)) {
            strManifestVersion = component.m_plugin.m_strVersion;
            bMandatory = component.m_plugin.m_bMandatory;
        }
        std::string strAutoUpdate;
        const bool bQualifies =
            bMandatory || (m_pComponentConfig->GetComponentAutoUpdate(strComponent, strAutoUpdate) &&
                           mfStrCompareNoCase(strAutoUpdate, kAutoUpdateOn) == 0);
        if (!bQualifies) continue;
        std::string strInstalledVersion;
        if (!m_pComponentConfig->GetComponentVersion(strComponent, mcComponentConfig::kStateInstalled,
                                                     strInstalledVersion)) {
            strInstalledVersion.clear();
        }
        if (!PrvIsNewer(strManifestVersion, strInstalledVersion)) continue;
        // The decision may need the worker; the walk resumes from its answer.
        PrvStartComponentDownload(
            "DoTriggerTasks", pWalk->strClient, pWalk->strManifest, strComponent, pWalk->callback, false,
            [this, pWalk, nIndex, strComponent](HRESULT hr) {
                if (hr == S_OK) {
                    mfCMLog("DoTriggerTasks: Update found : " + strComponent);
                    pWalk->fnDone(S_OK, true);
                } else if (hr == S_FALSE) {
                    PrvGuardedAnswer("DoTriggerTasks", [pWalk](HRESULT hrFault) { pWalk->fnDone(hrFault, false); },
                                     [&](AnswerHandler) { PrvTriggerNext(pWalk, nIndex + 1); });
                } else {
                    pWalk->fnDone(hr, false);
                }
            });
        return;
    }
    mfCMLog("DoTriggerTasks: No updates needed.");
    pWalk->fnDone(S_OK, false);
}

// ------------------------------------------------------------ predownload

HRESULT moComponentMgr::PredownloadComponent(const std::string& strXml) {
    return RunGuarded("PredownloadComponent", [&] { return PredownloadComponentImpl(strXml); });
}

HRESULT moComponentMgr::PredownloadComponentImpl(const std::string& strXml) {
    if (!m_pComponentConfig) {
        mfCMLog("PredownloadComponentImpl: m_pComponentConfig == NULL !");
        return E_FAIL;
    }
    return m_pComponentConfig->PredownloadComponent(strXml) ? S_OK : S_FALSE;
}
