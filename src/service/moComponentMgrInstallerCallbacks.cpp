// moComponentMgr: the installer callbacks. A package installer reports its
// result text with ComponentInstalled / ComponentUninstalled; the store applies
// it at once and the text is held per client until the job that started the
// installer fetches it (GetComponentInstallData / GetComponentUninstallData),
// which empties the whole map. A map holds at most kMaxHeldResults clients'
// texts; a new client beyond that drops the oldest one.
//
// Threads: main thread only. Installers' reports arrive as bus calls; the
// jobs' fetches come through InstallerInterface(), which hands them to the
// main thread, so the two maps are never used by two threads at once.
//
// Bus strings cannot be null: an empty client name is taken for a missing one.
#include <algorithm>

#include "base/mcCMLog.h"
#include "service/moComponentMgr.h"
#include "store/mcComponentConfig.h"

namespace {

constexpr const char* kDefaultClient = mcComponentConfig::kPlaceholderClient;  // "CM"

// Hands out the text held for strClientName and empties the whole map; an
// empty string and S_FALSE when nothing is held for that client (the map is
// then left as it is).
HRESULT PrvFetch(std::map<std::string, std::string>& mapData, std::deque<std::string>& deqOrder,
                 const std::string& strClientName, const char* pszEmptyLine, std::string& strData) {
    strData.clear();
    auto it = mapData.find(strClientName);
    if (it == mapData.end()) {
        mfCMLog(pszEmptyLine);
        return S_FALSE;
    }
    strData = it->second;
    mapData.clear();
    deqOrder.clear();
    return S_OK;
}

// Holds strData for strClient; a map already at nMax entries first drops its
// oldest entry, with a line naming pszCaller.
void PrvHold(std::map<std::string, std::string>& mapData, std::deque<std::string>& deqOrder,
             const std::string& strClient, const std::string& strData, std::size_t nMax, const char* pszCaller) {
    auto itOrder = std::find(deqOrder.begin(), deqOrder.end(), strClient);
    if (itOrder != deqOrder.end()) deqOrder.erase(itOrder);
    while (deqOrder.size() >= nMax) {
        mfCMLog(std::string(pszCaller) + ": Shared data map full, dropping the data of " + deqOrder.front());
        mapData.erase(deqOrder.front());
        deqOrder.pop_front();
    }
    mapData[strClient] = strData;
    deqOrder.push_back(strClient);
}

}  // namespace

HRESULT moComponentMgr::ComponentInstalledImpl(const std::string& strClientName, const std::string& strData) {
    std::string strClient = strClientName;
    if (strClient.empty()) {
        strClient = kDefaultClient;
        mfCMLog("ComponentInstalled callback from installer: No bstrClientName, so setting to 'CM'!");
    }
    if (!m_mapInstallData.empty()) mfCMLog("ComponentInstalled callback from installer: Shared data map not empty!");
    PrvHold(m_mapInstallData, m_deqInstallDataOrder, strClient, strData, kMaxHeldResults,
            "ComponentInstalled callback from installer");
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
    PrvHold(m_mapUninstallData, m_deqUninstallDataOrder, strClientName, strData, kMaxHeldResults,
            "ComponentUninstalled callback from installer");
    if (m_pComponentConfig) {
        (void)m_pComponentConfig->SetComponentUninstallData(strClientName, strData);
    } else {
        mfCMLog("ComponentUninstalled: m_pComponentConfig == NULL !");
    }
    return S_OK;
}

HRESULT moComponentMgr::GetComponentInstallDataImpl(const std::string& strClientName, std::string& strData) {
    return PrvFetch(m_mapInstallData, m_deqInstallDataOrder, strClientName,
                    "GetComponentInstallData callback from installer: Shared data map is empty!", strData);
}

HRESULT moComponentMgr::GetComponentUninstallDataImpl(const std::string& strClientName, std::string& strData) {
    return PrvFetch(m_mapUninstallData, m_deqUninstallDataOrder, strClientName,
                    "GetComponentUninstallData callback from installer: Shared data map is empty!", strData);
}
