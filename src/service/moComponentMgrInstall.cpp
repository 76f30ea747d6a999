// moComponentMgr: the install-side operations (install, forced install after a
// download, uninstall) and the client lifecycle (ClientInstalled,
// ClientUninstalled and its asynchronous form).
//
// Where each part runs: store and manifest decisions on the main thread; the
// plug-in step of a mandatory install (a registry lookup and an outgoing call
// to the plug-in) on the operations worker, after which the install goes on
// back on the main thread; installers on the install engine's worker, except
// the run-now uninstall of ClientUninstalled, which runs on the main thread
// and waits for its uninstaller through a nested pump, so the bus is served
// meanwhile - the uninstaller's own ComponentUninstalled report included.
//
// The run-now job is owned by PrvStartComponentUninstall: made on its stack,
// run, and deleted when Run returns (it is never queued, so no engine frees it).
#include <memory>
#include <thread>

#include "base/mcCMLog.h"
#include "contract/ComponentMgrIfc.h"
#include "contract/ComponentStatus.h"
#include "contract/msClientRecord.h"
#include "jobs/mcComponentMgrJobQueueEngine.h"
#include "jobs/mcDownloadJob.h"
#include "jobs/mcInstallJob.h"
#include "jobs/mcUninstallJob.h"
#include "manifest/mcComponentManifest.h"
#include "manifest/mcManifestComponent.h"
#include "manifest/mcManifestDir.h"
#include "registry/mcCMUtils.h"
#include "service/IComponentMgrApartment.h"
#include "service/IComponentMgrHost.h"
#include "service/mcComponentPlugin.h"
#include "service/moComponentMgr.h"
#include "store/mcComponentConfig.h"

namespace {

constexpr const char* kRemoveClientFailed = "RemoveComponentClient return S_FALSE";

bool PrvIsNewer(const std::string& strCandidate, const std::string& strCurrent) {
    return mcCMUtils::CompareVersions(strCandidate, strCurrent) > 0;
}

}  // namespace

mcInstallerProcess::Settings moComponentMgr::PrvJobSettings(bool bRunNow) {
    mcInstallerProcess::Settings settings;
    settings.strBusAddress = m_host.WorkerBusAddress();
    if (bRunNow) {
        settings.fnWait = [this](pid_t pid) {
            if (m_apartment.WaitForProcess(pid)) return true;
            // The loop must be left (or may nest no deeper): the uninstall
            // counts as failed, and the child is reaped when it ends.
            std::thread([pid] { (void)mcInstallerProcess::WaitOnThisThread(pid); }).detach();
            return false;
        };
        settings.fnNotify = [this](const mcClientCallback& callback, const char* pszMember,
                                   const std::string& strComponent, bool bSuccess, const std::string& strText) {
            m_apartment.SendCompletionToClient(callback, pszMember, strComponent, bSuccess, strText);
        };
    }
    return settings;
}

// ------------------------------------------------------------ install

void moComponentMgr::StartComponentInstall(const std::string& strClient, const std::string& strManifest,
                                           const std::string& strComponent, const mcClientCallback& callback,
                                           AnswerHandler fnDone) {
    PrvGuardedAnswer("StartComponentInstall", fnDone, [&](AnswerHandler fnAnswer) {
        StartComponentInstallImpl(strClient, strManifest, strComponent, callback, std::move(fnAnswer));
    });
}

void moComponentMgr::ForceStartInstall(const std::string& strClient, const std::string& strManifest,
                                       const std::string& strComponent, const mcClientCallback& callback,
                                       AnswerHandler fnDone) {
    // The public method itself, with its own wrapper.
    StartComponentInstall(strClient, strManifest, strComponent, callback, std::move(fnDone));
}

void moComponentMgr::StartComponentInstallImpl(const std::string& strClient, const std::string& strManifest,
                                               const std::string& strComponent, const mcClientCallback& callback,
                                               AnswerHandler fnDone) {
    mfCMLog("StartComponentInstall called with: " + strClient + ", " + strManifest + ", " + strComponent);
    if (!m_pManifestDir) {
        mfCMLog("StartComponentInstall: m_pManifestDir == NULL !");
        fnDone(S_FALSE);
        return;
    }
    if (!m_pComponentConfig) {
        mfCMLog("StartComponentInstall: m_pComponentConfig == NULL !");
        fnDone(S_FALSE);
        return;
    }
    const std::shared_ptr<const mcComponentManifest> pManifest = m_pManifestDir->GetManifest(strManifest);
    if (!pManifest) {
        mfCMLog("StartComponentInstall: pManifest == NULL : " + strManifest);
        fnDone(S_FALSE);
        return;
    }
    bool bRunning = false;
    (void)IsComponentInstallRunningImpl(strClient, strManifest, strComponent, bRunning);
    if (bRunning) {
        mfCMLog("StartComponentInstall: Install already running for " + strComponent);
        fnDone(S_FALSE);
        return;
    }
    mcManifestComponent component;
    const bool bFound = pManifest->GetComponent(strComponent, component);
    if (!bFound || !component.m_plugin.m_bMandatory) {
        PrvContinueInstall(strClient, strManifest, strComponent, callback, std::move(fnDone));
        return;
    }
    // The plug-in step waits on the registry and on the plug-in: worker.
    const std::string strClass = component.m_plugin.m_strGUID;
    const std::string strBusAddress = m_host.WorkerBusAddress();
    auto disable = [strClass, strBusAddress, strComponent, strManifest](std::vector<std::string>&) -> HRESULT {
        mcComponentPlugin::Target target;
        if (strBusAddress.empty() || !mcComponentPlugin::Find(strClass, target)) return S_OK;
        std::string strError;
        const HRESULT hr = mcComponentPlugin::Disable(strBusAddress, target, strComponent, strManifest, strError);
        if (FAILED(hr)) {
            mfCMLog("Failed to disable component during install : " + strComponent);
            if (!strError.empty()) mfCMLog(strError);
        }
        return S_OK;
    };
    auto next = [this, strClient, strManifest, strComponent, callback, fnDone](HRESULT hr) {
        if (hr != S_OK) {
            fnDone(hr);
            return;
        }
        PrvGuardedAnswer("StartComponentInstall", fnDone, [&](AnswerHandler fnAnswer) {
            PrvContinueInstall(strClient, strManifest, strComponent, callback, std::move(fnAnswer));
        });
    };
    PrvRunOnWorker("StartComponentInstall", std::move(disable), std::move(next), false);
}

void moComponentMgr::PrvContinueInstall(const std::string& strClient, const std::string& strManifest,
                                        const std::string& strComponent, const mcClientCallback& callback,
                                        AnswerHandler fnDone) {
    // The worker part may have outlasted either member.
    const std::shared_ptr<const mcComponentManifest> pManifest =
        m_pManifestDir ? m_pManifestDir->GetManifest(strManifest) : nullptr;
    if (!m_pComponentConfig || !pManifest) {
        fnDone(S_FALSE);
        return;
    }
    mcComponentConfig& config = *m_pComponentConfig;
    mcManifestComponent component;
    (void)pManifest->GetComponent(strComponent, component);  // an empty record when missing
    std::string strState;
    if (!config.GetComponentCurrentState(strComponent, strState)) strState = mcComponentConfig::kStateDownloaded;

    const std::int32_t nStatus = PrvIsComponentInstalled(strClient, strManifest, strComponent);
    // Queued while the plug-in step ran on the worker (the status logged it).
    if (nStatus == cmstatus::kInstallRunning) {
        fnDone(S_FALSE);
        return;
    }
    const std::string& strManifestVersion = component.m_plugin.m_strVersion;
    if (nStatus == cmstatus::kInstalled && strState == mcComponentConfig::kStateInstalled) {
        std::string strInstalledVersion;
        if (!config.GetComponentVersion(strComponent, mcComponentConfig::kStateInstalled, strInstalledVersion)) {
            mfCMLog("StartComponentInstall: Component has no version - " + strComponent);
            fnDone(S_FALSE);
            return;
        }
        mfCMLog("StartComponentInstall: Versions - manifest : config - " + strManifestVersion + " : " +
                strInstalledVersion);
        if (!PrvIsNewer(strManifestVersion, strInstalledVersion)) {
            fnDone(S_FALSE);
            return;
        }
        PrvStartComponentDownload("StartComponentInstall", strClient, strManifest, strComponent, callback, true,
                                  std::move(fnDone));
        return;
    }
    if (nStatus == cmstatus::kInstalledForOthers) {
        (void)config.SetComponentClient(strComponent, strClient);
        (void)config.SetComponentManifest(strComponent, strManifest);
        if (!callback.IsEmpty()) {
            m_apartment.SendCompletionToClient(callback, mcInstallerProcess::kOnInstallComplete, strComponent, true,
                                               std::string());
        }
        fnDone(S_OK);
        return;
    }
    if (nStatus == cmstatus::kUnknown) {
        PrvStartComponentDownload("StartComponentInstall", strClient, strManifest, strComponent, callback, true,
                                  std::move(fnDone));
        return;
    }
    if (nStatus == cmstatus::kNotInstalled || strState == mcComponentConfig::kStateDownloaded) {
        PrvQueueInstallJob(strClient, strManifest, strComponent, callback, component.m_plugin.m_strUpdateURL,
                           component.m_plugin.m_strInstallCmdline);
        fnDone(S_OK);
        return;
    }
    fnDone(S_FALSE);
}

void moComponentMgr::PrvQueueInstallJob(const std::string& strClient, const std::string& strManifest,
                                        const std::string& strComponent, const mcClientCallback& callback,
                                        const std::string& strUrl, const std::string& strInstallCmdline) {
    if (!m_pInstallJobQueueEngine) return;
    m_pInstallJobQueueEngine->AddJob(std::make_unique<mcInstallJob>(
        m_pComponentConfig.get(), callback, strClient, strManifest, strComponent,
        mcDownloadJob::PackageFileNameFromUrl(strUrl), strInstallCmdline, &InstallerInterface(),
        PrvJobSettings(false)));
}

// ------------------------------------------------------------ uninstall

HRESULT moComponentMgr::StartComponentUninstall(const std::string& strClient, const std::string& strManifest,
                                                const std::string& strComponent, const mcClientCallback& callback) {
    return RunGuarded("StartComponentUninstall", [&] {
        mfCMLog("StartComponentUninstall called with: " + strClient + ", " + strManifest + ", " + strComponent);
        return PrvStartComponentUninstall(strClient, strManifest, strComponent, callback, false) ? S_OK : S_FALSE;
    });
}

bool moComponentMgr::PrvStartComponentUninstall(const std::string& strClient, const std::string& strManifest,
                                                const std::string& strComponent, const mcClientCallback& callback,
                                                bool bRunNow) {
    mfCMLog("StartComponentUninstall called with: " + strClient + ", " + strManifest + ", " + strComponent);
    if (!m_pComponentConfig) {
        mfCMLog("StartComponentUninstall: m_pComponentConfig == NULL !");
        return false;
    }
    if (PrvIsComponentInstalled(strClient, strManifest, strComponent) != cmstatus::kInstalled) return false;
    mcComponentConfig& config = *m_pComponentConfig;
    std::vector<std::string> vecClients;
    if (!config.GetClientsOfComponent(strComponent, vecClients)) return false;
    if (vecClients.size() < 2) {
        std::string strExe;
        std::string strCmdline;
        if (!config.GetComponentUninstall(strComponent, strExe, strCmdline)) return false;
        auto pJob = std::make_unique<mcUninstallJob>(&config, callback, strClient, strComponent, strExe, strCmdline,
                                                     &InstallerInterface(), PrvJobSettings(bRunNow));
        if (bRunNow) return pJob->Run();
        if (!m_pInstallJobQueueEngine) return false;
        m_pInstallJobQueueEngine->AddJob(std::move(pJob));
        return true;
    }
    // Others still use it: only this client lets go.
    const bool bRemoved = config.RemoveComponentClient(strComponent, strClient, false);
    if (!callback.IsEmpty()) {
        m_apartment.SendCompletionToClient(callback, mcInstallerProcess::kOnUninstallComplete, strComponent,
                                           bRemoved, bRemoved ? std::string() : kRemoveClientFailed);
    }
    return true;
}

// ------------------------------------------------------------ client lifecycle

HRESULT moComponentMgr::ClientInstalled(const std::string& strName, const std::string& strVersion,
                                        const std::string& strOem, const std::string& strLang) {
    return RunGuarded("ClientInstalled", [&] { return ClientInstalledImpl(strName, strVersion, strOem, strLang); });
}

HRESULT moComponentMgr::ClientInstalledImpl(const std::string& strName, const std::string& strVersion,
                                            const std::string& strOem, const std::string& strLang) {
    if (!m_pComponentConfig) return E_FAIL;
    msClientRecord record;
    record.name = strName;
    record.version = strVersion;
    record.oem = strOem;
    record.lang = strLang;
    return m_pComponentConfig->AddClient(record) ? S_OK : E_FAIL;
}

HRESULT moComponentMgr::ClientUninstalled(const std::string& strClient, const mcClientCallback& callback) {
    return RunGuarded("ClientUninstalled", [&] { return PrvClientUninstalled(strClient, callback, false); });
}

HRESULT moComponentMgr::ClientUninstalled_Asynchronous(const std::string& strClient,
                                                       const mcClientCallback& callback) {
    return RunGuarded("ClientUninstalled_Asynchronous",
                      [&] { return PrvClientUninstalled(strClient, callback, true); });
}

HRESULT moComponentMgr::PrvClientUninstalled(const std::string& strClient, const mcClientCallback& callback,
                                             bool bAsync) {
    mfCMLog((bAsync ? "ClientUninstalled_Asynchronous called with: " : "ClientUninstalled called with: ") +
            strClient);
    if (!m_pManifestDir) {
        mfCMLog(bAsync ? "ClientUninstalled_Async: m_pManifestDir == NULL !" : "ClientUninstalled: m_pManifestDir == NULL !");
        return S_FALSE;
    }
    if (!m_pComponentConfig) {
        mfCMLog(bAsync ? "ClientUninstalled_Async: m_pComponentConfig == NULL !"
                       : "ClientUninstalled: m_pComponentConfig == NULL !");
        return S_FALSE;
    }
    (void)m_pComponentConfig->RemoveClient(strClient);
    std::vector<std::string> vecComponents;
    (void)m_pComponentConfig->GetComponentsOfClient(strClient, vecComponents);
    for (const std::string& strComponent : vecComponents) {
        // A run-now uninstall serves other calls meanwhile: the members are
        // looked at afresh for every step.
        if (!m_pComponentConfig || !m_pManifestDir) return S_FALSE;
        std::string strState;
        if (!m_pComponentConfig->GetComponentCurrentState(strComponent, strState) ||
            strState == mcComponentConfig::kStateUninstalled) {
            continue;
        }
        std::vector<std::string> vecManifests;
        if (!m_pComponentConfig->GetManifestsOfComponent(strComponent, vecManifests)) continue;
        for (const std::string& strManifest : vecManifests) {
            if (!m_pComponentConfig || !m_pManifestDir) return S_FALSE;
            const std::shared_ptr<const mcComponentManifest> pManifest = m_pManifestDir->GetManifest(strManifest);
            if (!pManifest) {
                mfCMLog("ClientUninstalled: pManifest == NULL : " + strManifest);
                return S_FALSE;
            }
            mcManifestComponent component;
            const bool bFound = pManifest->GetComponent(strComponent, component);
            const std::int32_t nRule = component.m_plugin.m_nUninstallRule;
            if (!bFound || nRule == mcManifestPlugin::kUninstallRuleClient) {
                (void)m_pComponentConfig->CleanupUninstalledComponent(strComponent, strClient, strManifest);
            } else if (nRule == mcManifestPlugin::kUninstallRuleCM) {
                (void)PrvStartComponentUninstall(strClient, strManifest, strComponent, callback, !bAsync);
            } else if (!bAsync) {
                (void)m_pComponentConfig->RemoveComponentClient(strComponent, strClient, true);
            }
        }
    }
    return S_OK;
}
