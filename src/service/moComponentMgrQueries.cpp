// moComponentMgr: the query bodies (installed status, versions, running
// installs, waiting updates, component lists and texts, manifest update).
// Main thread, like every body of the object, except UpdateManifestsImpl,
// which the worker runs.
#include <memory>

#include "contract/ComponentStatus.h"
#include "base/mcCMLog.h"
#include "base/mfReportAssertion.h"
#include "contract/msClientRecord.h"
#include "jobs/mcComponentMgrJobQueueEngine.h"
#include "manifest/mcComponentManifest.h"
#include "manifest/mcManifestComponent.h"
#include "manifest/mcManifestDir.h"
#include "service/InstalledStatus.h"
#include "service/moComponentMgr.h"
#include "store/mcComponentConfig.h"

namespace {

constexpr const char* kNullConfig = ": m_pComponentConfig == NULL !";
constexpr const char* kNullManifestDir = ": m_pManifestDir == NULL !";
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
    // One snapshot of what is known about the component, taken in the order
    // the decision needs it (nothing further is read once it is decided),
    // then the decision itself.
    msInstalledStatusInput input;
    input.bHasManifestDir = m_pManifestDir != nullptr;
    input.bHasStore = m_pComponentConfig != nullptr;
    auto Gather = [&] {
        if (!input.bHasManifestDir || !input.bHasStore) return;
        const std::shared_ptr<const mcComponentManifest> pManifest = m_pManifestDir->GetManifest(strManifest);
        input.bManifestKnown = pManifest != nullptr;
        if (!pManifest) return;
        mcManifestComponent component;
        input.bComponentInManifest = pManifest->GetComponent(strComponent, component);
        if (!input.bComponentInManifest) return;
        input.bHidden = component.m_plugin.m_bHidden;
        if (input.bHidden) return;
        (void)IsComponentInstallRunningImpl(strClient, strManifest, strComponent, input.bInstallQueued);
        if (input.bInstallQueued) return;
        mcComponentConfig& config = *m_pComponentConfig;
        input.bHasStates = config.HasComponentStates(strComponent);
        if (!input.bHasStates) return;
        input.bHasCurrentState = config.GetComponentCurrentState(strComponent, input.strCurrentState);
        if (!input.bHasCurrentState) return;
        input.bIsClient = config.IsComponentOfClient(strClient, strComponent);
        if (input.bIsClient && input.strCurrentState != mcComponentConfig::kStateInstalled) {
            (void)config.GetComponentStates(strComponent, input.vecStates);
        }
    };
    Gather();
    const msInstalledStatusDecision decision = mfDecideInstalledStatus(input, strClient, strManifest, strComponent);
    if (!decision.strLogLine.empty()) mfCMLog(decision.strLogLine);
    return decision.nStatus;
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

HRESULT moComponentMgr::UpdateManifestsImpl(std::vector<std::string>& vecReplaced) {
    if (!m_pManifestDir) {
        PrvLogMissing("UpdateManifests", kNullManifestDir);
        return E_FAIL;
    }
    // Directory and every manifest, now, whatever the last update's date
    // (worker thread); the caller tells the sinks of the replaced manifests.
    return m_pManifestDir->UpdateToNewVersion(true, &vecReplaced) ? S_OK : S_FALSE;
}
