#include "manifest/mcComponentManifest.h"

#include <utility>

#include "base/StrUtils.h"
#include "base/mcCMLog.h"
#include "base/mcExc.h"
#include "base/mfReportAssertion.h"
#include "xml/miXMLDOMDocument.h"
#include "xml/miXMLDOMElement.h"
#include "manifest/ZRVersion.h"
#include "manifest/mcSignedFile.h"

namespace {

// Element and attribute names of the manifest layout.
constexpr const char* kComponent = "Component";
constexpr const char* kName = "name";
constexpr const char* kVersion = "version";
constexpr const char* kFriendlyName = "friendlyName";
constexpr const char* kClientData = "ClientData";
constexpr const char* kCompatibleClients = "CompatibleClients";
constexpr const char* kIncompatibleClients = "IncompatibleClients";
constexpr const char* kClient = "Client";
constexpr const char* kClientVersion = "Version";
constexpr const char* kMin = "min";
constexpr const char* kMax = "max";
constexpr const char* kOEM = "OEM";
constexpr const char* kLANG = "LANG";
constexpr const char* kPlugin = "Plugin";
constexpr const char* kHidden = "hidden";
constexpr const char* kGUID = "GUID";
constexpr const char* kAvailability = "Availability";
constexpr const char* kState = "state";
constexpr const char* kUpdate = "Update";
constexpr const char* kMandatory = "mandatory";
constexpr const char* kURL = "URL";
constexpr const char* kSha256 = "sha256";
constexpr std::size_t kSha256HexDigits = 64;
constexpr const char* kInstall = "Install";
constexpr const char* kCmdline = "Cmdline";
constexpr const char* kUninstall = "Uninstall";
constexpr const char* kRule = "rule";
constexpr const char* kRuleCM = "CM";
constexpr const char* kRuleClient = "Client";

constexpr const char* kFnGetComponent = "mcComponentManifest::GetComponent";
constexpr const char* kFnGetFriendlyName = "mcComponentManifest::GetComponentFriendlyName";
constexpr const char* kFnGetClientData = "mcComponentManifest::GetComponentClientData";
constexpr const char* kInvalidComponent = ", Invalid component, ";
constexpr const char* kLoadClientFilterFailed = "Exception in mcComponentManifest::LoadClientFilter";
constexpr const char* kGetComponentsFailed = "Exception in mcComponentManifest::GetComponents";
constexpr const char* kBothListsExpression =
    "! NOLOC(\"::GetComponent : Found Compatible and Incompatible Element tags\")";
// Line the assertion report for a component with both client lists carries:
// fixed, it does not follow edits.
constexpr int kLineBothLists = 526;

// strText as 64 lower-case hex digits into out; false when it is not 64 hex digits.
bool PrvNormalizeSha256(const std::string& strText, std::string& out) {
    if (strText.size() != kSha256HexDigits) return false;
    std::string strLower;
    strLower.reserve(kSha256HexDigits);
    for (char c : strText) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
        strLower.push_back(c);
    }
    out = std::move(strLower);
    return true;
}

// Reads the "Client" entries below list into out; lines to log go to log.
bool LoadClientFilterInto(const miXMLDOMElement& list, std::vector<mcClientFilter>& out,
                          std::vector<std::string>& log) {
    out.clear();
    try {
        for (const miXMLDOMElement& client : list.GetElementsByTagName(kClient)) {
            mcClientFilter entry;
            entry.m_strName = client.GetAttributeText(kName);
            miXMLDOMElement version;
            if (client.FindChildElement(kClientVersion, &version)) {
                version.FindAttributeText(kMin, &entry.m_strMinVersion);
                version.FindAttributeText(kMax, &entry.m_strMaxVersion);
            }
            try {
                for (const miXMLDOMElement& oem : client.GetElementsByTagName(kOEM)) {
                    entry.m_vecOEMs.push_back(oem.GetTextNodeText());
                }
            } catch (const mcExc& e) {
                log.push_back(std::string(kLoadClientFilterFailed) + ", getting OEM list");
                log.push_back(e.GetTraceLine());
            }
            try {
                for (const miXMLDOMElement& lang : client.GetElementsByTagName(kLANG)) {
                    entry.m_vecLangs.push_back(lang.GetTextNodeText());
                }
            } catch (const mcExc& e) {
                log.push_back(std::string(kLoadClientFilterFailed) + ", getting Lang list");
                log.push_back(e.GetTraceLine());
            }
            out.push_back(std::move(entry));
        }
    } catch (const mcExc& e) {
        log.push_back(kLoadClientFilterFailed);
        log.push_back(e.GetTraceLine());
        return false;
    }
    return true;
}

}  // namespace

std::string mcComponentManifest::PathFor(const std::string& appFolder, const std::string& name,
                                         bool bCandidate) {
    return mfPathJoin(appFolder, name + (bCandidate ? kCandidateSuffix : kManifestSuffix));
}

mcComponentManifest::mcComponentManifest(const std::string& appFolder, const std::string& name,
                                         bool bCandidate)
    : m_strPath(PathFor(appFolder, name, bCandidate)) {
    PrvLoad(*msTrustPolicy::FromRegistry(zr::crypt::kManifestPublicKey));
}

mcComponentManifest::mcComponentManifest(const msManifestFile& file) : m_strPath(file.path) {
    if (file.pTrust) {
        PrvLoad(*file.pTrust);
    } else {
        PrvLoad(msTrustPolicy{file.publicKeyHex, nullptr, false});
    }
}

void mcComponentManifest::PrvLoad(const msTrustPolicy& policy) {
    mnThread::WriteGuard guard(m_lock);
    m_bLoaded = true;

    const mcSignedFile signedFile(m_strPath, policy);
    if (!signedFile.IsVerified()) {
        mfCMLog("Improperly signed Manifest : " + m_strPath);
        if (signedFile.GetForm() == mcSignedFile::meForm::kStrong ||
            signedFile.GetStatus() == mcSignedFile::meStatus::kLegacyRefused) {
            mfCMLog(std::string("Manifest signature refused : ") + mcSignedFile::StatusText(signedFile.GetStatus()));
        }
        m_bLoaded = false;
        return;
    }
    try {
        miXMLDOMDocument document;
        document.SetAsync(false);
        document.SetValidateOnParse(true);
        document.SetAttributeLimits(mcXmlAttributeLimits::Manifest());
        document.loadXML(signedFile.GetDocument());
        const miXMLDOMElement root = document.GetDocumentElement();
        if (!root.FindAttributeText(kVersion, &m_strVersion)) {
            mfCMLog("missing version in manifest file : " + m_strPath);
            m_strVersion = kZRVersionNone;
        }
        // Everything the queries need is taken now; the DOM goes with this scope.
        PrvExtractComponents(root);
    } catch (const mcExc& e) {
        mfCMLog("Failed to load manifest file : " + m_strPath);
        mfCMLog(e.GetTraceLine());
        m_bLoaded = false;
    }
}

void mcComponentManifest::PrvExtractComponents(const miXMLDOMElement& root) {
    std::vector<miXMLDOMElement> components;
    try {
        components = root.GetElementsByTagName(kComponent);
    } catch (const mcExc& e) {
        m_bComponentsFailed = true;
        m_strComponentsError = e.GetTraceLine();
        return;
    }
    m_vecComponentNames.reserve(components.size());
    m_mapComponents.reserve(components.size());
    std::size_t nCollected = 0;
    for (; nCollected < components.size(); ++nCollected) {
        std::string strName;
        bool bNamed = false;
        try {
            bNamed = components[nCollected].FindAttributeText(kName, &strName);
        } catch (const mcExc& e) {
            // GetComponents stops here: the names before it are still listed.
            m_bComponentsFailed = true;
            m_strComponentsError = e.GetTraceLine();
            break;
        }
        m_vecComponentNames.emplace_back(bNamed, strName);
        if (bNamed) ++m_mapComponents[strName].nElements;
    }
    // Records only for names that identify exactly one component.
    for (std::size_t i = 0; i < nCollected; ++i) {
        const auto& [bNamed, strName] = m_vecComponentNames[i];
        if (!bNamed) continue;
        msComponentInfo& info = m_mapComponents[strName];
        if (info.nElements != 1) continue;
        info.record.m_strName = strName;
        PrvExtractComponent(components[i], info);
    }
}

void mcComponentManifest::PrvExtractComponent(const miXMLDOMElement& component, msComponentInfo& info) {
    try {
        if (!component.FindAttributeText(kFriendlyName, &info.strFriendlyName)) {
            info.strFriendlyName = info.record.m_strName;
        }
        info.bFriendlyNameOk = true;
    } catch (const mcExc&) {
        info.bFriendlyNameOk = false;
    }
    try {
        miXMLDOMElement clientData;
        info.bHasClientData = component.FindChildElement(kClientData, &clientData);
        if (info.bHasClientData) info.strClientData = clientData.GetXml();
        info.bClientDataOk = true;
    } catch (const mcExc&) {
        info.bClientDataOk = false;
    }

    mcManifestComponent& record = info.record;
    try {
        miXMLDOMElement list;
        const bool bIncompatible = component.FindChildElement(kIncompatibleClients, &list);
        if (bIncompatible) LoadClientFilterInto(list, record.m_vecIncompatibleClients, info.vecFilterLog);
        if (component.FindChildElement(kCompatibleClients, &list)) {
            if (bIncompatible) {
                info.eOutcome = meOutcome::kBothLists;
                return;
            }
            LoadClientFilterInto(list, record.m_vecCompatibleClients, info.vecFilterLog);
        }
        if (!info.bClientDataOk) {
            info.eOutcome = meOutcome::kInvalid;
            return;
        }
        record.m_strClientData = info.strClientData;

        mcManifestPlugin& plugin = record.m_plugin;
        const miXMLDOMElement pluginElement = component.GetChildElement(kPlugin);
        bool bHidden = false;
        if (pluginElement.FindAttributeBool(kHidden, &bHidden) && bHidden) {
            // A hidden package is only a marker: none of its other parts are read.
            plugin.m_bHidden = true;
        } else {
            plugin.m_strName = pluginElement.GetAttributeText(kName);
            plugin.m_strVersion = pluginElement.GetAttributeText(kVersion);
            pluginElement.FindChildElementText(kGUID, &plugin.m_strGUID);
            miXMLDOMElement availability;
            if (pluginElement.FindChildElement(kAvailability, &availability)) {
                availability.FindAttributeBool(kState, &plugin.m_bAvailable);
            }
            const miXMLDOMElement update = pluginElement.GetChildElement(kUpdate);
            plugin.m_strUpdateURL = update.GetChildElementText(kURL);
            update.FindAttributeBool(kMandatory, &plugin.m_bMandatory);
            std::string strSha256;
            if (update.FindAttributeText(kSha256, &strSha256) &&
                !PrvNormalizeSha256(strSha256, record.m_strPackageSha256)) {
                // A hash that cannot be checked must not let the package through unchecked.
                info.eOutcome = meOutcome::kInvalid;
                return;
            }
            miXMLDOMElement install;
            if (pluginElement.FindChildElement(kInstall, &install)) {
                install.FindChildElementText(kCmdline, &plugin.m_strInstallCmdline);
            }
            miXMLDOMElement uninstall;
            std::string strRule;
            if (pluginElement.FindChildElement(kUninstall, &uninstall) &&
                uninstall.FindAttributeText(kRule, &strRule)) {
                if (strRule == kRuleCM) {
                    plugin.m_nUninstallRule = mcManifestPlugin::kUninstallRuleCM;
                } else if (strRule == kRuleClient) {
                    plugin.m_nUninstallRule = mcManifestPlugin::kUninstallRuleClient;
                }
            }
        }
        info.eOutcome = meOutcome::kRecord;
    } catch (const mcExc&) {
        info.eOutcome = meOutcome::kInvalid;
    }
}

bool mcComponentManifest::IsLoaded() const {
    mnThread::ReadGuard guard(m_lock);
    return m_bLoaded;
}

std::string mcComponentManifest::GetVersion() const {
    mnThread::ReadGuard guard(m_lock);
    return m_strVersion;
}

const mcComponentManifest::msComponentInfo* mcComponentManifest::PrvFind(const std::string& name,
                                                                         const char* function) const {
    auto it = m_mapComponents.find(name);
    if (it == m_mapComponents.end() || it->second.nElements != 1) {
        mfCMLog(std::string(function) + kInvalidComponent + name);
        return nullptr;
    }
    return &it->second;
}

const mcManifestComponent* mcComponentManifest::PrvGetComponent(const std::string& name) const {
    const msComponentInfo* pInfo = PrvFind(name, kFnGetComponent);
    if (pInfo == nullptr) return nullptr;
    for (const std::string& line : pInfo->vecFilterLog) mfCMLog(line);
    switch (pInfo->eOutcome) {
        case meOutcome::kRecord:
            return &pInfo->record;
        case meOutcome::kBothLists:
            mfReportAssertion(kFnGetComponent, __FILE__, kLineBothLists, kBothListsExpression);
            mfCMLog(std::string(kFnGetComponent) + ", Found Compatible and Incompatible Element tags for " + name);
            return nullptr;
        case meOutcome::kInvalid:
            mfCMLog(std::string(kFnGetComponent) + kInvalidComponent + name);
            return nullptr;
    }
    return nullptr;
}

bool mcComponentManifest::GetComponent(const std::string& name, mcManifestComponent& out) const {
    mnThread::ReadGuard guard(m_lock);
    if (!m_bLoaded) return false;
    const mcManifestComponent* pRecord = PrvGetComponent(name);
    if (pRecord != nullptr) {
        out = *pRecord;
        return true;
    }
    auto it = m_mapComponents.find(name);
    if (it != m_mapComponents.end() && it->second.nElements == 1 &&
        it->second.eOutcome == meOutcome::kBothLists) {
        out = it->second.record;  // the name and the incompatible list, as far as it got
    } else {
        out.Reset();
    }
    return false;
}

bool mcComponentManifest::GetComponentFriendlyName(const std::string& name, std::string& out) const {
    mnThread::ReadGuard guard(m_lock);
    if (!m_bLoaded) return false;
    const msComponentInfo* pInfo = PrvFind(name, kFnGetFriendlyName);
    if (pInfo == nullptr) return false;
    if (!pInfo->bFriendlyNameOk) {
        mfCMLog(std::string(kFnGetFriendlyName) + kInvalidComponent + name);
        return false;
    }
    out = pInfo->strFriendlyName;
    return true;
}

bool mcComponentManifest::GetComponentClientData(const std::string& name, std::string& out) const {
    mnThread::ReadGuard guard(m_lock);
    if (!m_bLoaded) return false;
    const msComponentInfo* pInfo = PrvFind(name, kFnGetClientData);
    if (pInfo == nullptr) return false;
    if (!pInfo->bClientDataOk) {
        mfCMLog(std::string(kFnGetClientData) + kInvalidComponent + name);
        return false;
    }
    out = pInfo->strClientData;
    return pInfo->bHasClientData;
}

bool mcComponentManifest::PrvIsForClient(const std::string& name, const msClientRecord& client) const {
    const mcManifestComponent* pRecord = PrvGetComponent(name);
    if (pRecord == nullptr || client.name.empty()) return true;
    if (!pRecord->m_vecCompatibleClients.empty()) {
        for (const mcClientFilter& entry : pRecord->m_vecCompatibleClients) {
            if (entry.Matches(client)) return true;
        }
        return false;
    }
    for (const mcClientFilter& entry : pRecord->m_vecIncompatibleClients) {
        if (entry.Matches(client)) return false;
    }
    return true;
}

bool mcComponentManifest::IsComponentForClient(const std::string& name, const msClientRecord& client) const {
    mnThread::ReadGuard guard(m_lock);
    if (!m_bLoaded) return true;
    return PrvIsForClient(name, client);
}

bool mcComponentManifest::GetComponents(const msClientRecord& client, std::vector<std::string>& out) const {
    mnThread::ReadGuard guard(m_lock);
    if (!m_bLoaded) return false;
    for (const auto& [bNamed, strName] : m_vecComponentNames) {
        if (bNamed && PrvIsForClient(strName, client)) out.push_back(strName);
    }
    if (m_bComponentsFailed) {
        mfCMLog(kGetComponentsFailed);
        mfCMLog(m_strComponentsError);
        return false;
    }
    return true;
}

bool mcComponentManifest::MatchClientFilter(const mcClientFilter& entry, const msClientRecord& client) {
    return entry.Matches(client);
}

bool mcComponentManifest::LoadClientFilter(const miXMLDOMElement& list, std::vector<mcClientFilter>& out) {
    std::vector<std::string> log;
    const bool bResult = LoadClientFilterInto(list, out, log);
    for (const std::string& line : log) mfCMLog(line);
    return bResult;
}
