// moComponentMgr: the installer callbacks. A package installer reports its
// result text with ComponentInstalled / ComponentUninstalled; the store applies
// it at once and the text is held per client until the job that started the
// installer fetches it (GetComponentInstallData / GetComponentUninstallData),
// which empties the whole map.
//
// Threads: main thread only. Installers' reports arrive as bus calls; the
// jobs' fetches come through InstallerInterface(), which hands them to the
// main thread, so the two maps are never used by two threads at once.
//
// Bus strings cannot be null: an empty client name is taken for a missing one.
#include "base/mcCMLog.h"
#include "service/moComponentMgr.h"
#include "store/mcComponentConfig.h"

namespace {

constexpr const char* kDefaultClient = mcComponentConfig::kPlaceholderClient;  // "CM"

// Hands out the text held for strClientName and empties the whole map; an
// empty string and S_FALSE when nothing is held for that client (the map is
// then left as it is).
HRESULT PrvFetch(std::map<std::string, std::string>& mapData, const std::string& strClientName,
                 const char* pszEmptyLine, std::string& strData) {
    strData.clear();
    auto it = mapData.find(strClientName);
    if (it == mapData.end()) {
        mfCMLog(pszEmptyLine);
        return S_FALSE;
    }
    strData = it->second;
    mapData.clear();
    return S_OK;
}

}  // namespace

HRESULT moComponentMgr::ComponentInstalledImpl(const std::string& strClientName, const std::string& strData) {
    std::string strClient = strClientName;
    if (strClient.empty()) {
        strClient = kDefaultClient;
        mfCMLog("ComponentInstalled callback from installer: No bstrClientName, so setting to 'CM'!");
    }
    if (!m_mapInstallData.empty()) mfCMLog("ComponentInstalled callback from installer: Shared data map not empty!");
    m_mapInstallData[strClient] = strData;
    // The store's verdict does not change the installer's answer.
    if (m_pComponentConfig) {
        (void)m_pComponentConfig->SetComponentInstallData(strClient, strData);
    } else {
        mfCMLog("ComponentInstalled: m_pComponentConfig == NULL !");
    }
    return S_OK;
}

HRESULT moComponentMgr::ComponentUninstalledImpl(const std::string& strClientName, const std::string& strData) {
    if (strClientName.empty()) {
        mfCMLog("ComponentUninstalled callback from installer: No bstrClientName!");
        return S_FALSE;
    }
    if (!m_mapUninstallData.empty()) {
        mfCMLog("ComponentUninstalled callback from installer: Shared data map not empty!");
    }
    m_mapUninstallData[strClientName] = strData;
    if (m_pComponentConfig) {
        (void)m_pComponentConfig->SetComponentUninstallData(strClientName, strData);
    } else {
        mfCMLog("ComponentUninstalled: m_pComponentConfig == NULL !");
    }
    return S_OK;
}

HRESULT moComponentMgr::GetComponentInstallDataImpl(const std::string& strClientName, std::string& strData) {
    return PrvFetch(m_mapInstallData, strClientName,
                    "GetComponentInstallData callback from installer: Shared data map is empty!", strData);
}

HRESULT moComponentMgr::GetComponentUninstallDataImpl(const std::string& strClientName, std::string& strData) {
    return PrvFetch(m_mapUninstallData, strClientName,
                    "GetComponentUninstallData callback from installer: Shared data map is empty!", strData);
}
