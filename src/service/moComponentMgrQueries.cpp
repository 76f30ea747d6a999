// moComponentMgr: the query bodies (installed status, versions, running
// installs, waiting updates, component lists and texts, manifest update).
// Main thread, like every body of the object.
#include <memory>

#include "contract/ComponentStatus.h"
#include "base/mcCMLog.h"
#include "base/mfReportAssertion.h"
#include "contract/msClientRecord.h"
#include "jobs/mcComponentMgrJobQueueEngine.h"
#include "manifest/mcComponentManifest.h"
#include "manifest/mcManifestComponent.h"
#include "manifest/mcManifestDir.h"
#include "service/moComponentMgr.h"
#include "store/mcComponentConfig.h"

namespace {

constexpr const char* kNullConfig = ": m_pComponentConfig == NULL !";
constexpr const char* kNullManifestDir = ": m_pManifestDir == NULL !";
constexpr const char* kLogInstalledForClient = "PrvIsComponentInstalled: Component installed for this client - ";
constexpr const char* kLogUpdateAvailNullConfig = "IsComponentUpdateAvailForInstall: m_pComponentConfig == NULL !";

// The assertion made for a listing asked for by an unregistered client.
constexpr const char* kAssertFilteredFunction = "moComponentMgr::GetComponentsFilteredImpl";
constexpr const char* kAssertFilteredFile = "ComponentMgr_Manifest";
constexpr int kAssertFilteredLine = 129;
constexpr const char* kAssertFilteredExpression =
    "! NOLOC(\"::GetComponentsFilteredImpl called with non-installed client\")";

void PrvLogMissing(const char* pszMethod, const char* pszWhat) { mfCMLog(std::string(pszMethod) + pszWhat); }

// The component list of a manifest for the client record, as the listing
// methods answer it.
HRESULT PrvListComponents(const mcComponentManifest& manifest, const msClientRecord& client,
                          std::vector<std::string>& vecComponents) {
    std::vector<std::string> vecList;
    (void)manifest.GetComponents(client, vecList);
    vecComponents = std::move(vecList);
    return vecComponents.empty() ? S_FALSE : S_OK;
}

}  // namespace

std::int32_t moComponentMgr::PrvIsComponentInstalled(const std::string& strClient, const std::string& strManifest,
                                                     const std::string& strComponent) {
    if (!m_pManifestDir) {
        mfCMLog("PrvIsComponentInstalled: m_pManifestDir == NULL !");
        return cmstatus::kUndecided;
    }
    if (!m_pComponentConfig) {
        mfCMLog("PrvIsComponentInstalled: m_pComponentConfig == NULL !");
        return cmstatus::kUndecided;
    }
    const std::shared_ptr<const mcComponentManifest> pManifest = m_pManifestDir->GetManifest(strManifest);
    if (!pManifest) {
        mfCMLog("PrvIsComponentInstalled: pManifest == NULL : " + strManifest);
        return cmstatus::kUndecided;
    }
    mcManifestComponent component;
    if (!pManifest->GetComponent(strComponent, component)) {
        mfCMLog("PrvIsComponentInstalled: Component not in manifest: " + strComponent);
        return cmstatus::kUndecided;
    }
    if (component.m_plugin.m_bHidden) return cmstatus::kUndecided;

    bool bRunning = false;
    (void)IsComponentInstallRunningImpl(strClient, strManifest, strComponent, bRunning);
    if (bRunning) {
        mfCMLog("StartComponentInstall: Install already running for " + strComponent);
        return cmstatus::kInstallRunning;
    }

    mcComponentConfig& config = *m_pComponentConfig;
    if (!config.HasComponentStates(strComponent)) {
        mfCMLog("PrvIsComponentInstalled: Component doesn't exist - " + strComponent);
        return cmstatus::kUnknown;
    }
    std::string strState;
    if (!config.GetComponentCurrentState(strComponent, strState)) {
        mfCMLog("PrvIsComponentInstalled: Component has no state - " + strComponent);
        return cmstatus::kUnknown;
    }

    if (config.IsComponentOfClient(strClient, strComponent)) {
        bool bInstalled = strState == mcComponentConfig::kStateInstalled;
        if (!bInstalled) {
            std::vector<std::string> vecStates;
            (void)config.GetComponentStates(strComponent, vecStates);
            for (const std::string& strRecorded : vecStates) {
                if (strRecorded == mcComponentConfig::kStateInstalled) bInstalled = true;
            }
        }
        if (bInstalled) {
            mfCMLog(kLogInstalledForClient + strComponent + ", " + strClient);
            return cmstatus::kInstalled;
        }
        mfCMLog("PrvIsComponentInstalled: Component not installed - " + strComponent);
        return cmstatus::kNotInstalled;
    }
    if (strState == mcComponentConfig::kStateInstalled) {
        mfCMLog("PrvIsComponentInstalled: Component not installed for this client - " + strComponent + ", " +
                strClient);
        return cmstatus::kInstalledForOthers;
    }
    mfCMLog("PrvIsComponentInstalled: Component installed - " + strComponent);
    return cmstatus::kNotInstalled;
}

HRESULT moComponentMgr::IsComponentInstalledImpl(const std::string& strClient, const std::string& strManifest,
                                                 const std::string& strComponent, std::int32_t& nStatus) {
    nStatus = cmstatus::kNotInstalled;
    mfCMLog("IsComponentInstalled called with: " + strClient + ", " + strManifest + ", " + strComponent);
    if (!m_pComponentConfig) {
        PrvLogMissing("IsComponentInstalled", kNullConfig);
        return E_FAIL;
    }
    const std::int32_t nResult = PrvIsComponentInstalled(strClient, strManifest, strComponent);
    // A client that asks about a component becomes one of its clients.
    if (nResult == cmstatus::kUnknown || nResult == cmstatus::kNotInstalled) {
        (void)m_pComponentConfig->SetComponentClient(strComponent, strClient);
    }
    nStatus = nResult;
    return nResult == cmstatus::kUnknown ? S_FALSE : S_OK;
}

HRESULT moComponentMgr::GetInstalledComponentVersionImpl(const std::string& strComponent, std::string& strVersion) {
    strVersion.clear();
    if (!m_pComponentConfig) {
        PrvLogMissing("GetInstalledComponentVersion", kNullConfig);
        return E_FAIL;
    }
    std::string strFound;
    if (!m_pComponentConfig->GetComponentVersion(strComponent, mcComponentConfig::kStateInstalled, strFound)) {
        return S_FALSE;
    }
    strVersion = std::move(strFound);
    return S_OK;
}

HRESULT moComponentMgr::IsComponentInstallRunningImpl(const std::string& strClient, const std::string& strManifest,
                                                      const std::string& strComponent, bool& bRunning) {
    bRunning = m_pInstallJobQueueEngine && m_pInstallJobQueueEngine->IsJobQueued(strClient, strManifest, strComponent);
    return S_OK;
}

HRESULT moComponentMgr::IsComponentUpdateAvailForInstallImpl(const std::string& strComponent, bool& bAvailable) {
    bAvailable = false;
    if (!m_pComponentConfig) {
        mfCMLog(kLogUpdateAvailNullConfig);
        return E_FAIL;
    }
    std::string strState;
    if (m_pComponentConfig->HasComponentStates(strComponent) &&
        m_pComponentConfig->GetComponentCurrentState(strComponent, strState) &&
        strState == mcComponentConfig::kStateDownloaded) {
        bAvailable = true;
    }
    return S_OK;
}

HRESULT moComponentMgr::IsComponentUpdateAvailForInstallImpl(const std::string& strComponent,
                                                             std::string& strVersion, bool& bAvailable) {
    bAvailable = false;
    if (!m_pComponentConfig) {
        mfCMLog(kLogUpdateAvailNullConfig);
        return E_FAIL;
    }
    std::string strState;
    if (m_pComponentConfig->HasComponentStates(strComponent) &&
        m_pComponentConfig->GetComponentCurrentState(strComponent, strState) &&
        strState == mcComponentConfig::kStateDownloaded) {
        std::string strFound;
        if (!m_pComponentConfig->GetComponentVersion(strComponent, mcComponentConfig::kStateDownloaded, strFound)) {
            return S_FALSE;
        }
        bAvailable = true;
        strVersion = std::move(strFound);
    }
    return S_OK;
}

HRESULT moComponentMgr::GetComponentsImpl(const std::string& strManifest, std::vector<std::string>& vecComponents) {
    vecComponents.clear();
    if (!m_pManifestDir) {
        PrvLogMissing("GetComponents", kNullManifestDir);
        return E_FAIL;
    }
    const std::shared_ptr<const mcComponentManifest> pManifest = m_pManifestDir->GetManifest(strManifest);
    if (!pManifest) return S_FALSE;
    // An all-empty client record: no filtering.
    return PrvListComponents(*pManifest, msClientRecord{}, vecComponents);
}

HRESULT moComponentMgr::GetComponentsFilteredImpl(const std::string& strClient, const std::string& strManifest,
                                                  std::vector<std::string>& vecComponents) {
    vecComponents.clear();
    if (!m_pManifestDir) {
        PrvLogMissing("GetComponentsFiltered", kNullManifestDir);
        return E_FAIL;
    }
    if (!m_pComponentConfig) {
        PrvLogMissing("GetComponentsFiltered", kNullConfig);
        return E_FAIL;
    }
    const std::shared_ptr<const mcComponentManifest> pManifest = m_pManifestDir->GetManifest(strManifest);
    if (!pManifest) return S_FALSE;
    msClientRecord client;
    if (!m_pComponentConfig->GetClient(strClient, client)) {
        mfReportAssertion(kAssertFilteredFunction, kAssertFilteredFile, kAssertFilteredLine,
                          kAssertFilteredExpression);
        mfCMLog("::GetComponentsFilteredImpl called with non-installed client: " + strClient);
    }
    return PrvListComponents(*pManifest, client, vecComponents);
}

HRESULT moComponentMgr::GetComponentClientDataImpl(const std::string& strManifest, const std::string& strComponent,
                                                   std::string& strData) {
    strData.clear();
    if (!m_pManifestDir) {
        PrvLogMissing("GetComponentClientData", kNullManifestDir);
        return E_FAIL;
    }
    const std::shared_ptr<const mcComponentManifest> pManifest = m_pManifestDir->GetManifest(strManifest);
    if (!pManifest) return S_FALSE;
    std::string strFound;
    if (!pManifest->GetComponentClientData(strComponent, strFound)) return S_FALSE;
    strData = std::move(strFound);
    return S_OK;
}

HRESULT moComponentMgr::GetComponentFriendlyNameImpl(const std::string& strManifest, const std::string& strComponent,
                                                     std::string& strName) {
    strName.clear();
    if (!m_pManifestDir) {
        PrvLogMissing("GetComponentFriendlyName", kNullManifestDir);
        return E_FAIL;
    }
    const std::shared_ptr<const mcComponentManifest> pManifest = m_pManifestDir->GetManifest(strManifest);
    if (!pManifest) return S_FALSE;
    std::string strFound;
    if (!pManifest->GetComponentFriendlyName(strComponent, strFound)) return S_FALSE;
    strName = std::move(strFound);
    return S_OK;
}

HRESULT moComponentMgr::UpdateManifestsImpl() {
    if (!m_pManifestDir) {
        PrvLogMissing("UpdateManifests", kNullManifestDir);
        return E_FAIL;
    }
    // Directory and every manifest, now, whatever the last update's date;
    // replaced manifests reach the registered sinks through
    // NotifyManifestUpdated.
    return m_pManifestDir->UpdateToNewVersion(true) ? S_OK : S_FALSE;
}
