#include "store/mcComponentConfig.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

#include "base/FileUtils.h"
#include "base/StrConv.h"
#include "base/StrUtils.h"
#include "base/mcCMLog.h"
#include "registry/mcCMUtils.h"
#include "base/mcExc.h"
#include "xml/mcXmlExc.h"
#include "xml/miXMLDOMNode.h"
#include "base/SafeFileName.h"

namespace {

// Element and attribute names of the configuration file.
constexpr const char* kElemConfig = "Config";
constexpr const char* kElemClientList = "ClientList";
constexpr const char* kElemClient = "Client";
constexpr const char* kElemComponent = "Component";
constexpr const char* kElemState = "State";
constexpr const char* kElemInstallPath = "InstallPath";
constexpr const char* kElemUninstall = "Uninstall";
constexpr const char* kElemExe = "Exe";
constexpr const char* kElemCmdline = "Cmdline";
constexpr const char* kElemManifestList = "ManifestList";
constexpr const char* kElemManifest = "Manifest";
constexpr const char* kAttrName = "name";
constexpr const char* kAttrVersion = "version";
constexpr const char* kAttrOem = "oem";
constexpr const char* kAttrLang = "lang";
constexpr const char* kAttrValue = "value";
constexpr const char* kAttrAutoUpdate = "autoupdate";
constexpr const char* kAutoUpdateOn = "true";

// Items of the installer result files.
constexpr const char* kElemManifestName = "ManifestName";
constexpr const char* kElemInstall = "Install";
constexpr const char* kElemErrorCode = "ErrorCode";
constexpr const char* kAttrResult = "result";
constexpr const char* kAttrLocation = "location";
constexpr const char* kResultSuccess = "success";

// Log lines used more than once.
constexpr const char* kLogLoadExc = "mcComponentConfig::PrvLoadFile mcExc exception";
constexpr const char* kLogLoadBadFile = "mcComponentConfig::PrvLoadFile Bad config file, creating new one";
constexpr const char* kLogLoadMovedAside = "mcComponentConfig::PrvLoadFile damaged file kept as ";
constexpr const char* kLogLoadMoveFailed = "mcComponentConfig::PrvLoadFile could not keep damaged file as ";
constexpr const char* kLogSaveExc = "mcComponentConfig::PrvSaveFile mcExc exception";
constexpr const char* kLogCompactExc = "mcComponentConfig::PrvCompactIfDue mcExc exception";
constexpr const char* kLogBadState = "mcComponentConfig::PrvSetComponentState, bad strState Argument";
constexpr const char* kLogBadVersion = "mcComponentConfig::PrvSetComponentState, bad strStateVersion Argument";
constexpr const char* kLogPredownloadOtherState =
    "PredownloadComponent: Component already exists in a state other than predownloaded: ";
constexpr const char* kLogPredownloadNoLocation = "PredownloadComponent: Component location doesn't exist: ";
constexpr const char* kLogPredownloadCopyFailed = "PredownloadComponent: CopyFile failed: ";
constexpr const char* kLogPredownloadBadName = "PredownloadComponent: invalid component name: ";
constexpr const char* kLogPredownloadBadFileName = "PredownloadComponent: invalid file name: ";

// States in the order GetComponentStates reports them.
constexpr const char* kStateOrder[] = {
    mcComponentConfig::kStateDownloaded, mcComponentConfig::kStateInstalled,
    mcComponentConfig::kStateDisabled, mcComponentConfig::kStateUninstalled,
    mcComponentConfig::kStatePredownloaded};

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// The fixed line naming the failed function, then the exception's text.
void PrvLogExc(const std::string& strLine, const mcExc& exc) {
    mfCMLog(strLine);
    mfCMLog(exc.Description());
}

std::string PrvExcLine(const char* pszFunction) {
    return std::string("mcComponentConfig::") + pszFunction + " mcExc exception";
}

// An element's text content, as the readers of this store see it.
std::string PrvText(miXMLDOMElement& element) { return element.GetTextNodeText(); }

}  // namespace

// ---------------------------------------------------------------------------
// Construction, loading and saving

mcComponentConfig::mcComponentConfig() : mcComponentConfig(Settings{}) {}

mcComponentConfig::mcComponentConfig(const Settings& settings) {
    m_strAppPath = settings.strAppPath.empty() ? mcCMUtils::GetAppPath() : settings.strAppPath;
    if (!settings.strHoldingArea.empty()) {
        m_strHoldingArea = settings.strHoldingArea;
    } else if (!settings.strAppPath.empty()) {
        m_strHoldingArea = mfPathJoin(settings.strAppPath, mcCMUtils::kHoldingAreaFolder);
    } else {
        m_strHoldingArea = mcCMUtils::GetHoldingArea();
    }
    m_strConfigPath = mfPathJoin(m_strAppPath, kConfigFileName);
    PrvLoadFile(m_docConfig, m_strConfigPath, true);
    PrvInvalidateIndex();
}

void mcComponentConfig::SetCompactionThreshold(std::size_t nRemovedNodes) {
    mnThread::WriteGuard guard(*this);
    m_nCompactThreshold = nRemovedNodes;
}

mcComponentConfig::~mcComponentConfig() {
    mnThread::WriteGuard guard(*this);
    m_nRemovedNodes = 0;  // the document goes anyway: no rebuild
    PrvSaveFile();
}

bool mcComponentConfig::PrvLoadFile(miXMLDOMDocument& doc, const std::string& strPath,
                                    bool bKeepDamaged) {
    try {
        doc = miXMLDOMDocument();
        doc.SetValidateOnParse(true);
        doc.SetAsync(false);
        doc.load(strPath);
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc(kLogLoadExc, exc);
        mfCMLog(kLogLoadBadFile);
    }
    if (bKeepDamaged) PrvMoveAside(strPath);
    try {
        doc = miXMLDOMDocument();
        miXMLDOMElement root = doc.CreateElement(kElemConfig);
        doc.AppendChild(root);
        doc.save(strPath);
        doc = miXMLDOMDocument();
        doc.SetValidateOnParse(true);
        doc.SetAsync(false);
        doc.load(strPath);
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc(kLogLoadExc, exc);
    }
    return false;
}

void mcComponentConfig::PrvMoveAside(const std::string& strPath) {
    // Only a file that is there and did not load is kept; a folder in its
    // place is left alone (the save then fails instead of removing it).
    struct stat st {};
    if (lstat(strPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    const std::string strBad = strPath + kDamagedSuffix;
    if (rename(strPath.c_str(), strBad.c_str()) == 0) {
        mfCMLog(kLogLoadMovedAside + strBad);
    } else {
        mfCMLog(kLogLoadMoveFailed + strBad + ": " + std::strerror(errno));
    }
}

bool mcComponentConfig::PrvSaveFile() {
    try {
        // The document's save goes through a synced temporary file renamed
        // over the old one.
        m_docConfig.save(m_strConfigPath);
    } catch (const mcExc& exc) {
        PrvLogExc(kLogSaveExc, exc);
        return false;
    }
    // Callers look elements up again after a save, never keep them.
    PrvCompactIfDue();
    return true;
}

void mcComponentConfig::PrvCompactIfDue() {
    if (m_nRemovedNodes == 0 || m_nRemovedNodes < m_nCompactThreshold) return;
    // Tried once per threshold, so a document that does not parse again
    // costs nothing more than the failed try.
    m_nRemovedNodes = 0;
    try {
        // The text is UTF-8 with its declaration, which loadXML drops; what
        // it drops besides (whitespace-only text) a restart drops as well.
        miXMLDOMDocument fresh;
        fresh.SetValidateOnParse(false);
        fresh.SetAsync(false);
        fresh.loadXML(m_docConfig.GetXml());
        fresh.SetValidateOnParse(true);
        PrvInvalidateIndex();
        m_docConfig = fresh;
    } catch (const mcExc& exc) {
        PrvLogExc(kLogCompactExc, exc);
    }
}

// ---------------------------------------------------------------------------
// Component index

void mcComponentConfig::PrvInvalidateIndex() {
    m_bIndexValid = false;
    m_vecIndex.clear();
    m_mapIndex.clear();
    m_nFirstNameless = kNone;
}

void mcComponentConfig::PrvBuildIndex() {
    PrvInvalidateIndex();
    std::vector<mcIndexEntry> vecIndex;
    std::unordered_map<std::string, std::size_t> mapIndex;
    std::size_t nFirstNameless = kNone;
    for (miXMLDOMElement& element : m_docConfig.GetElementsByTagName(kElemComponent)) {
        std::string strName;
        const bool bHasName = element.FindAttributeText(kAttrName, &strName);
        if (bHasName) {
            mapIndex.emplace(std::move(strName), vecIndex.size());
        } else if (nFirstNameless == kNone) {
            nFirstNameless = vecIndex.size();
        }
        vecIndex.push_back({element, bHasName});
    }
    m_vecIndex = std::move(vecIndex);
    m_mapIndex = std::move(mapIndex);
    m_nFirstNameless = nFirstNameless;
    m_bIndexValid = true;
}

miXMLDOMElement mcComponentConfig::PrvGetComponent(const std::string& strName) {
    try {
        if (!m_bIndexValid) PrvBuildIndex();
        const auto it = m_mapIndex.find(strName);
        const std::size_t nPos = it == m_mapIndex.end() ? kNone : it->second;
        if (m_nFirstNameless != kNone && m_nFirstNameless < nPos) {
            // The walk in document order meets a component without "name"
            // before the match: the lookup fails the way reading it does.
            m_vecIndex[m_nFirstNameless].element.GetAttributeText(kAttrName);
        }
        if (nPos != kNone) return m_vecIndex[nPos].element;
    } catch (const mcExc& exc) {
        PrvLogExc("mcComponentConfig::PrvGetComponent mcExc exception: " + strName, exc);
    }
    return miXMLDOMElement();
}

miXMLDOMElement mcComponentConfig::PrvCreateComponent(const std::string& strName) {
    try {
        miXMLDOMElement component = m_docConfig.CreateElement(kElemComponent);
        PrvSetAttribute(component, kAttrName, strName);
        miXMLDOMElement root = m_docConfig.GetDocumentElement();
        root.AppendChild(component);
        // The last child of the document element is the last component in
        // document order: the index stays right by appending.
        if (m_bIndexValid) {
            m_mapIndex.emplace(strName, m_vecIndex.size());
            m_vecIndex.push_back({component, true});
        }
        return component;
    } catch (const mcExc& exc) {
        PrvInvalidateIndex();
        PrvLogExc("mcComponentConfig::PrvCreateComponent mcExc exception: " + strName, exc);
    }
    return miXMLDOMElement();
}

// ---------------------------------------------------------------------------
// DOM helpers

miXMLDOMElement mcComponentConfig::PrvNewElement(const std::string& strName) {
    // Only PrvCreateComponent makes components in a way the index follows.
    if (strName == kElemComponent) PrvInvalidateIndex();
    return m_docConfig.CreateElement(strName);
}

miXMLDOMElement mcComponentConfig::PrvFindOrCreate(miXMLDOMElement& parent, const std::string& strName) {
    miXMLDOMElement found;
    if (parent.FindChildElement(strName, &found)) return found;
    miXMLDOMElement created = PrvNewElement(strName);
    parent.AppendChild(created);
    return created;
}

void mcComponentConfig::PrvRemoveElement(miXMLDOMElement& parent, miXMLDOMElement& child) {
    if (child.GetNodeName() == kElemComponent || !child.GetElementsByTagName(kElemComponent).empty()) {
        PrvInvalidateIndex();
    }
    parent.RemoveChild(child);
    ++m_nRemovedNodes;
}

void mcComponentConfig::PrvSetAttribute(miXMLDOMElement& element, const std::string& strName,
                                        const std::string& strValue) {
    // The wrapper refuses text that XML cannot carry, so the file always
    // loads again.
    element.SetAttributeText(strName, strValue);
}

void mcComponentConfig::PrvAppendText(miXMLDOMElement& element, const std::string& strText) {
    element.AppendChild(m_docConfig.CreateTextNode(strText));
}

void mcComponentConfig::PrvReplaceText(miXMLDOMElement& element, const std::string& strText) {
    // The new text node first: text XML cannot carry leaves the old one.
    miXMLDOMNode text = m_docConfig.CreateTextNode(strText);
    if (!element.GetElementsByTagName(kElemComponent).empty()) PrvInvalidateIndex();
    for (miXMLDOMNode& child : element.GetChildNodes()) {
        element.RemoveChild(child);
        ++m_nRemovedNodes;
    }
    element.AppendChild(text);
}

std::vector<miXMLDOMElement> mcComponentConfig::PrvGetListItems(miXMLDOMElement& list, const char* pszItem) {
    return list.GetElementsByTagName(pszItem);
}

miXMLDOMElement mcComponentConfig::PrvGetClientList() {
    miXMLDOMElement list;
    miXMLDOMElement root = m_docConfig.GetDocumentElement();
    if (!root.FindDirectChild(kElemClientList, &list)) return miXMLDOMElement();
    return list;
}

// ---------------------------------------------------------------------------
// Registered clients

bool mcComponentConfig::AddClient(const msClientRecord& record) {
    mnThread::WriteGuard guard(*this);
    try {
        miXMLDOMElement root = m_docConfig.GetDocumentElement();
        miXMLDOMElement list;
        if (!root.FindDirectChild(kElemClientList, &list)) {
            list = PrvNewElement(kElemClientList);
            root.AppendChild(list);
        }
        miXMLDOMElement client;
        for (miXMLDOMElement& item : PrvGetListItems(list, kElemClient)) {
            if (item.HasAttributeText(kAttrName, record.name)) {
                client = item;
                break;
            }
        }
        const bool bNew = client.IsEmpty();
        if (bNew) client = PrvNewElement(kElemClient);
        PrvSetAttribute(client, kAttrName, record.name);
        PrvSetAttribute(client, kAttrVersion, record.version);
        PrvSetAttribute(client, kAttrOem, record.oem);
        PrvSetAttribute(client, kAttrLang, record.lang);
        // A new client joins the list only complete.
        if (bNew) list.AppendChild(client);
        return PrvSaveFile();
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("AddClient"), exc);
    }
    return false;
}

bool mcComponentConfig::GetClient(const std::string& strName, msClientRecord& record) {
    mnThread::ReadGuard guard(*this);
    try {
        miXMLDOMElement list = PrvGetClientList();
        if (list.IsEmpty()) return false;
        for (miXMLDOMElement& item : PrvGetListItems(list, kElemClient)) {
            if (!item.HasAttributeText(kAttrName, strName)) continue;
            msClientRecord found;
            found.name = item.GetAttributeText(kAttrName);
            found.version = item.GetAttributeText(kAttrVersion);
            found.oem = item.GetAttributeText(kAttrOem);
            found.lang = item.GetAttributeText(kAttrLang);
            record = std::move(found);
            return true;
        }
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("GetClient"), exc);
    }
    return false;
}

bool mcComponentConfig::RemoveClient(const std::string& strName) {
    mnThread::WriteGuard guard(*this);
    try {
        miXMLDOMElement list = PrvGetClientList();
        if (list.IsEmpty()) return true;
        for (miXMLDOMElement& item : PrvGetListItems(list, kElemClient)) {
            if (item.HasAttributeText(kAttrName, strName)) {
                PrvRemoveElement(list, item);
                return PrvSaveFile();
            }
        }
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("RemoveClient"), exc);
    }
    return false;
}

// ---------------------------------------------------------------------------
// Component records: reading

bool mcComponentConfig::IsComponentOfClient(const std::string& strClient, const std::string& strComponent) {
    mnThread::WriteGuard guard(*this);
    try {
        miXMLDOMElement component = PrvGetComponent(strComponent);
        if (component.IsEmpty()) return false;
        miXMLDOMElement list;
        if (!component.FindChildElement(kElemClientList, &list)) return false;
        for (miXMLDOMElement& item : PrvGetListItems(list, kElemClient)) {
            if (PrvText(item) == strClient) return true;
        }
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("IsComponentOfClient"), exc);
    }
    return false;
}

bool mcComponentConfig::GetComponentVersion(const std::string& strComponent, const std::string& strState,
                                            std::string& strVersion) {
    mnThread::WriteGuard guard(*this);
    try {
        miXMLDOMElement component = PrvGetComponent(strComponent);
        if (component.IsEmpty()) return false;
        miXMLDOMElement state;
        miXMLDOMElement entry;
        if (!component.FindChildElement(kElemState, &state)) return false;
        if (!state.FindChildElement(strState, &entry)) return false;
        return entry.FindAttributeText(kAttrVersion, &strVersion);
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("GetComponentVersion"), exc);
    }
    return false;
}

bool mcComponentConfig::GetComponentAutoUpdate(const std::string& strComponent, std::string& strValue) {
    mnThread::WriteGuard guard(*this);
    try {
        miXMLDOMElement component = PrvGetComponent(strComponent);
        if (component.IsEmpty()) return false;
        return component.FindAttributeText(kAttrAutoUpdate, &strValue);
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("GetComponentAutoUpdate"), exc);
    }
    return false;
}

bool mcComponentConfig::GetComponentCurrentState(const std::string& strComponent, std::string& strState) {
    mnThread::WriteGuard guard(*this);
    try {
        miXMLDOMElement component = PrvGetComponent(strComponent);
        if (component.IsEmpty()) return false;
        miXMLDOMElement state = component.GetChildElement(kElemState);
        return state.FindAttributeText(kAttrValue, &strState);
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("GetComponentCurrentState"), exc);
    }
    return false;
}

bool mcComponentConfig::GetComponentUninstall(const std::string& strComponent, std::string& strExe,
                                              std::string& strCmdline) {
    mnThread::WriteGuard guard(*this);
    try {
        miXMLDOMElement component = PrvGetComponent(strComponent);
        if (component.IsEmpty()) return false;
        miXMLDOMElement uninstall;
        if (!component.FindChildElement(kElemUninstall, &uninstall)) return false;
        miXMLDOMElement part;
        if (uninstall.FindChildElement(kElemExe, &part)) strExe = PrvText(part);
        if (uninstall.FindChildElement(kElemCmdline, &part)) strCmdline = PrvText(part);
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("GetComponentUninstall"), exc);
    }
    return false;
}

bool mcComponentConfig::GetComponentsOfClient(const std::string& strClient, std::vector<std::string>& vecNames) {
    mnThread::WriteGuard guard(*this);
    try {
        if (!m_bIndexValid) PrvBuildIndex();
        for (mcIndexEntry& entry : m_vecIndex) {
            if (!entry.bHasName) continue;
            miXMLDOMElement list;
            if (!entry.element.FindChildElement(kElemClientList, &list)) continue;
            for (miXMLDOMElement& item : PrvGetListItems(list, kElemClient)) {
                if (PrvText(item) == strClient) {
                    vecNames.push_back(entry.element.GetAttributeText(kAttrName));
                    break;
                }
            }
        }
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("GetComponentsOfClient"), exc);
    }
    return false;
}

bool mcComponentConfig::GetClientsOfComponent(const std::string& strComponent, std::vector<std::string>& vecNames) {
    mnThread::WriteGuard guard(*this);
    try {
        miXMLDOMElement component = PrvGetComponent(strComponent);
        if (component.IsEmpty()) return false;
        miXMLDOMElement list;
        if (component.FindChildElement(kElemClientList, &list)) {
            for (miXMLDOMElement& item : PrvGetListItems(list, kElemClient)) vecNames.push_back(PrvText(item));
        }
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("GetClientsOfComponent"), exc);
    }
    return false;
}

bool mcComponentConfig::GetManifestsOfComponent(const std::string& strComponent,
                                                std::vector<std::string>& vecNames) {
    mnThread::WriteGuard guard(*this);
    try {
        miXMLDOMElement component = PrvGetComponent(strComponent);
        if (component.IsEmpty()) return true;
        miXMLDOMElement list;
        if (component.FindChildElement(kElemManifestList, &list)) {
            for (miXMLDOMElement& item : PrvGetListItems(list, kElemManifest)) vecNames.push_back(PrvText(item));
        }
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("GetManifestsOfComponent"), exc);
    }
    return false;
}

bool mcComponentConfig::GetComponentStates(const std::string& strComponent, std::vector<std::string>& vecStates) {
    mnThread::WriteGuard guard(*this);
    try {
        miXMLDOMElement component = PrvGetComponent(strComponent);
        if (component.IsEmpty()) return false;
        vecStates = PrvGetComponentStates(component);
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("GetComponentStates"), exc);
    }
    return false;
}

bool mcComponentConfig::HasComponentStates(const std::string& strComponent) {
    mnThread::WriteGuard guard(*this);
    try {
        miXMLDOMElement component = PrvGetComponent(strComponent);
        if (component.IsEmpty()) return false;
        return !PrvGetComponentStates(component).empty();
    } catch (const mcExc& exc) {
        // The line names the neighbouring operation; administrators' tools
        // already look for it.
        PrvLogExc(PrvExcLine("GetClientsOfComponent"), exc);
    }
    return false;
}

// ---------------------------------------------------------------------------
// Component records: changing

bool mcComponentConfig::SetComponentName(const std::string& strComponent) {
    mnThread::WriteGuard guard(*this);
    try {
        miXMLDOMElement component = PrvGetComponent(strComponent);
        if (component.IsEmpty()) {
            // A component that could not be made is not reported as made.
            if (PrvCreateComponent(strComponent).IsEmpty()) return false;
        } else {
            PrvSetComponentName(component, strComponent);
        }
        return PrvSaveFile();
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("SetComponentName"), exc);
    }
    return false;
}

bool mcComponentConfig::SetComponentClient(const std::string& strComponent, const std::string& strClient) {
    mnThread::WriteGuard guard(*this);
    try {
        miXMLDOMElement component = PrvGetComponent(strComponent);
        if (component.IsEmpty()) {
            if (PrvCreateComponent(strComponent).IsEmpty()) return false;
            component = PrvGetComponent(strComponent);
        }
        PrvSetComponentClient(component, strClient);
        return PrvSaveFile();
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("SetComponentClient"), exc);
    }
    return false;
}

bool mcComponentConfig::SetComponentState(const std::string& strComponent, const std::string& strState,
                                          const std::string& strVersion) {
    mnThread::WriteGuard guard(*this);
    try {
        miXMLDOMElement component = PrvGetComponent(strComponent);
        if (component.IsEmpty()) return false;
        if (!PrvSetComponentState(component, strState, strVersion)) return false;
        return PrvSaveFile();
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("SetComponentState"), exc);
    }
    return false;
}

bool mcComponentConfig::SetComponentManifest(const std::string& strComponent, const std::string& strManifest) {
    mnThread::WriteGuard guard(*this);
    try {
        miXMLDOMElement component = PrvGetComponent(strComponent);
        if (component.IsEmpty()) return false;
        PrvSetComponentManifest(component, strManifest);
        return PrvSaveFile();
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("SetComponentManifest"), exc);
    }
    return false;
}

bool mcComponentConfig::RemoveComponentClient(const std::string& strComponent, const std::string& strClient,
                                              bool bKeepPlaceholder) {
    mnThread::WriteGuard guard(*this);
    try {
        miXMLDOMElement component = PrvGetComponent(strComponent);
        if (component.IsEmpty()) return false;
        if (!PrvRemoveComponentClient(component, strClient, bKeepPlaceholder)) return false;
        return PrvSaveFile();
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("RemoveComponentClient"), exc);
    }
    return false;
}

bool mcComponentConfig::CleanupUninstalledComponent(const std::string& strComponent, const std::string& strClient,
                                                    const std::string& strManifest) {
    mnThread::WriteGuard guard(*this);
    try {
        miXMLDOMElement component = PrvGetComponent(strComponent);
        if (component.IsEmpty()) return false;
        PrvSetComponentState(component, kStateUninstalled, PrvGetComponentVersion(component));
        PrvRemoveComponentClient(component, strClient, false);
        PrvRemoveComponentManifest(component, strManifest);
        PrvRemoveNode(component, kElemInstallPath);
        PrvRemoveNode(component, kElemUninstall);
        return PrvSaveFile();
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("CleanupUninstalledComponent"), exc);
    }
    return false;
}

// ---------------------------------------------------------------------------
// Building blocks

bool mcComponentConfig::PrvSetComponentName(miXMLDOMElement& component, const std::string& strName) {
    try {
        PrvSetAttribute(component, kAttrName, strName);
        // A component found by this name keeps its place in the index.
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("PrvSetComponentName"), exc);
    }
    return false;
}

bool mcComponentConfig::PrvSetComponentVersion(miXMLDOMElement& component, const std::string& strVersion) {
    try {
        PrvSetAttribute(component, kAttrVersion, strVersion);
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("PrvSetComponentVersion"), exc);
    }
    return false;
}

bool mcComponentConfig::PrvSetComponentAutoUpdate(miXMLDOMElement& component, const std::string& strValue) {
    try {
        PrvSetAttribute(component, kAttrAutoUpdate, strValue);
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("PrvSetComponentAutoUpdate"), exc);
    }
    return false;
}

std::string mcComponentConfig::PrvGetComponentVersion(miXMLDOMElement& component) {
    try {
        // Required like every attribute read: a missing one is logged and
        // reads as empty, which the state setter then refuses.
        return component.GetAttributeText(kAttrVersion);
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("PrvGetComponentVersion"), exc);
    }
    return std::string();
}

bool mcComponentConfig::PrvSetComponentState(miXMLDOMElement& component, const std::string& strState,
                                             const std::string& strVersion) {
    if (strState.empty()) {
        mfCMLog(kLogBadState);
        return false;
    }
    if (strVersion.empty()) {
        mfCMLog(kLogBadVersion);
        return false;
    }
    try {
        // Whatever can be refused (a state name or version that XML cannot
        // carry) is refused before the record changes.
        miXMLDOMElement state;
        const bool bHasState = component.FindChildElement(kElemState, &state);
        miXMLDOMElement entry;
        if (bHasState && state.FindChildElement(strState, &entry)) {
            PrvSetAttribute(entry, kAttrVersion, strVersion);
        } else {
            entry = PrvNewElement(strState);
            PrvSetAttribute(entry, kAttrVersion, strVersion);
            if (!bHasState) {
                state = PrvNewElement(kElemState);
                component.AppendChild(state);
            }
            state.AppendChild(entry);
        }
        PrvSetAttribute(state, kAttrValue, strState);
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc("mcComponentConfig::PrvSetComponentState exception", exc);
    }
    return false;
}

bool mcComponentConfig::PrvSetComponentInstallPath(miXMLDOMElement& component, const std::string& strPath) {
    try {
        miXMLDOMElement path = PrvFindOrCreate(component, kElemInstallPath);
        PrvReplaceText(path, strPath);
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("PrvSetComponentInstallPath"), exc);
    }
    return false;
}

bool mcComponentConfig::PrvSetComponentUninstall(miXMLDOMElement& component, const std::string& strExe,
                                                 const std::string& strCmdline) {
    try {
        miXMLDOMElement uninstall = PrvFindOrCreate(component, kElemUninstall);
        miXMLDOMElement exe = PrvFindOrCreate(uninstall, kElemExe);
        miXMLDOMElement cmdline = PrvFindOrCreate(uninstall, kElemCmdline);
        PrvReplaceText(exe, strExe);
        PrvReplaceText(cmdline, strCmdline);
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("PrvSetComponentUninstall"), exc);
    }
    return false;
}

bool mcComponentConfig::PrvSetComponentManifest(miXMLDOMElement& component, const std::string& strManifest) {
    try {
        miXMLDOMElement list = PrvFindOrCreate(component, kElemManifestList);
        for (miXMLDOMElement& item : PrvGetListItems(list, kElemManifest)) {
            if (PrvText(item) == strManifest) return true;
        }
        miXMLDOMElement item = PrvNewElement(kElemManifest);
        PrvAppendText(item, strManifest);
        list.AppendChild(item);
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("PrvSetComponentManifest"), exc);
    }
    return false;
}

bool mcComponentConfig::PrvSetComponentClient(miXMLDOMElement& component, const std::string& strClient) {
    try {
        const std::string strName = strClient.empty() ? std::string(kPlaceholderClient) : strClient;
        miXMLDOMElement list = PrvFindOrCreate(component, kElemClientList);
        std::vector<miXMLDOMElement> vecItems = PrvGetListItems(list, kElemClient);
        bool bPresent = false;
        for (miXMLDOMElement& item : vecItems) {
            if (PrvText(item) == strName) {
                bPresent = true;
                break;
            }
        }
        if (!bPresent) {
            miXMLDOMElement item = PrvNewElement(kElemClient);
            PrvAppendText(item, strName);
            list.AppendChild(item);
            vecItems.push_back(item);
        }
        if (vecItems.size() > 1) {
            for (miXMLDOMElement& item : vecItems) {
                if (PrvText(item) == kPlaceholderClient) {
                    PrvRemoveElement(list, item);
                    break;
                }
            }
        }
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("PrvSetComponentClient"), exc);
    }
    return false;
}

bool mcComponentConfig::PrvRemoveComponentClient(miXMLDOMElement& component, const std::string& strClient,
                                                 bool bKeepPlaceholder) {
    try {
        miXMLDOMElement list;
        if (!component.FindChildElement(kElemClientList, &list)) return true;
        std::vector<miXMLDOMElement> vecItems = PrvGetListItems(list, kElemClient);
        bool bRemoved = false;
        for (miXMLDOMElement& item : vecItems) {
            if (PrvText(item) == strClient) {
                PrvRemoveElement(list, item);
                bRemoved = true;
                break;
            }
        }
        if (bKeepPlaceholder && PrvGetListItems(list, kElemClient).empty()) {
            miXMLDOMElement item = PrvNewElement(kElemClient);
            PrvAppendText(item, kPlaceholderClient);
            list.AppendChild(item);
        }
        return bRemoved;
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("PrvRemoveComponentClient"), exc);
    }
    return false;
}

bool mcComponentConfig::PrvRemoveComponentManifest(miXMLDOMElement& component, const std::string& strManifest) {
    try {
        miXMLDOMElement list;
        if (!component.FindChildElement(kElemManifestList, &list)) return true;
        for (miXMLDOMElement& item : PrvGetListItems(list, kElemManifest)) {
            if (PrvText(item) == strManifest) {
                PrvRemoveElement(list, item);
                return true;
            }
        }
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("PrvRemoveComponentManifest"), exc);
    }
    return false;
}

bool mcComponentConfig::PrvRemoveNode(miXMLDOMElement& component, const std::string& strName) {
    try {
        miXMLDOMElement node;
        if (component.FindChildElement(strName, &node)) PrvRemoveElement(component, node);
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("PrvRemoveNode"), exc);
    }
    return true;
}

std::vector<std::string> mcComponentConfig::PrvGetComponentStates(miXMLDOMElement& component) {
    std::vector<std::string> vecStates;
    try {
        miXMLDOMElement state = component.GetChildElement(kElemState);
        for (const char* pszState : kStateOrder) {
            if (state.FindChildElement(pszState, nullptr)) vecStates.emplace_back(pszState);
        }
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("PrvGetComponentStates"), exc);
        vecStates.clear();
    }
    return vecStates;
}

// ---------------------------------------------------------------------------
// Installer result files

std::string mcComponentConfig::PrvDataFilePath(const char* pszName) const {
    return mfPathJoin(m_strAppPath, pszName);
}

bool mcComponentConfig::PrvWriteDataFile(const std::string& strPath, const std::string& strText) {
    const std::string strBytes = mfConvertWideToMBCS(strText, CP_ACP, 0);
    const int fd = open(strPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return false;
    bool bOk = true;
    const off_t nStart = lseek(fd, 0, SEEK_END);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = nStart < 0 ? 0 : nStart;
    lock.l_len = static_cast<off_t>(strBytes.size());
    // Installers of other processes that follow the same rule wait here; a
    // zero length would lock to the end of the file, so nothing is locked
    // for an empty text.
    const bool bLocked = !strBytes.empty() && fcntl(fd, F_SETLKW, &lock) == 0;
    std::size_t nDone = 0;
    while (nDone < strBytes.size()) {
        const ssize_t n = write(fd, strBytes.data() + nDone, strBytes.size() - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            bOk = false;
            break;
        }
        nDone += static_cast<std::size_t>(n);
    }
    if (bLocked) {
        lock.l_type = F_UNLCK;
        fcntl(fd, F_SETLK, &lock);
    }
    if (close(fd) != 0) bOk = false;
    // A text that was not written whole must not be read back as if it had
    // been.
    if (!bOk) unlink(strPath.c_str());
    return bOk;
}

void mcComponentConfig::PrvDeleteDataFile(const std::string& strPath) { unlink(strPath.c_str()); }

#define KETTRIN_STORE_READER(Function, Document, Expression)     \
    std::string mcComponentConfig::Function() {                  \
        try {                                                    \
            miXMLDOMElement root = Document.GetDocumentElement(); \
            return Expression;                                   \
        } catch (const mcExc& exc) {                             \
            PrvLogExc(PrvExcLine(#Function), exc);               \
        }                                                        \
        return std::string();                                    \
    }

KETTRIN_STORE_READER(PrvGetInstallDataComponentName, m_docInstallData, root.GetAttributeText(kAttrName))
KETTRIN_STORE_READER(PrvGetInstallDataComponentVersion, m_docInstallData, root.GetAttributeText(kAttrVersion))
KETTRIN_STORE_READER(PrvGetInstallDataComponentManifest, m_docInstallData, root.GetChildElementText(kElemManifestName))
KETTRIN_STORE_READER(PrvGetInstallDataInstallResult, m_docInstallData,
                     root.GetChildElement(kElemInstall).GetAttributeText(kAttrResult))
KETTRIN_STORE_READER(PrvGetInstallDataInstallPath, m_docInstallData, root.GetChildElementText(kElemInstallPath))
KETTRIN_STORE_READER(PrvGetInstallDataErrorCode, m_docInstallData, root.GetChildElementText(kElemErrorCode))
KETTRIN_STORE_READER(PrvGetInstallDataUninstallExe, m_docInstallData,
                     root.GetChildElement(kElemUninstall).GetChildElementText(kElemExe))
KETTRIN_STORE_READER(PrvGetInstallDataUninstallCmdline, m_docInstallData,
                     root.GetChildElement(kElemUninstall).GetChildElementText(kElemCmdline))
KETTRIN_STORE_READER(PrvGetUninstallDataComponentName, m_docUninstallData, root.GetAttributeText(kAttrName))
KETTRIN_STORE_READER(PrvGetUninstallDataComponentVersion, m_docUninstallData, root.GetAttributeText(kAttrVersion))
KETTRIN_STORE_READER(PrvGetUninstallDataUninstallResult, m_docUninstallData,
                     root.GetChildElement(kElemUninstall).GetAttributeText(kAttrResult))
KETTRIN_STORE_READER(PrvGetUninstallDataErrorCode, m_docUninstallData, root.GetChildElementText(kElemErrorCode))

#undef KETTRIN_STORE_READER

bool mcComponentConfig::SetComponentInstallData(const std::string& strClient, const std::string& strText) {
    mnThread::WriteGuard guard(*this);
    try {
        const std::string strPath = PrvDataFilePath(kInstallDataFileName);
        if (!PrvWriteDataFile(strPath, strText)) return false;
        PrvLoadFile(m_docInstallData, strPath, false);

        const std::string strName = PrvGetInstallDataComponentName();
        const std::string strVersion = PrvGetInstallDataComponentVersion();
        const std::string strManifest = PrvGetInstallDataComponentManifest();
        const std::string strResult = PrvGetInstallDataInstallResult();
        const std::string strInstallPath = PrvGetInstallDataInstallPath();
        PrvGetInstallDataErrorCode();
        const std::string strExe = PrvGetInstallDataUninstallExe();
        const std::string strCmdline = PrvGetInstallDataUninstallCmdline();

        // A text without a component name (malformed, or no "name") names
        // nothing to record: no nameless component is made.
        if (strName.empty()) {
            PrvDeleteDataFile(strPath);
            return false;
        }
        miXMLDOMElement component = PrvGetComponent(strName);
        if (component.IsEmpty()) {
            PrvCreateComponent(strName);
            component = PrvGetComponent(strName);
        }
        if (strResult == kResultSuccess) {
            PrvSetComponentVersion(component, strVersion);
            PrvSetComponentClient(component, strClient);
            PrvSetComponentState(component, kStateInstalled, strVersion);
            PrvSetComponentInstallPath(component, strInstallPath);
            PrvSetComponentUninstall(component, strExe, strCmdline);
            PrvSetComponentManifest(component, strManifest);
            PrvSetComponentAutoUpdate(component, kAutoUpdateOn);
        }
        PrvDeleteDataFile(strPath);
        return PrvSaveFile();
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("SetComponentInstallData"), exc);
    }
    return false;
}

bool mcComponentConfig::SetComponentUninstallData(const std::string& strClient, const std::string& strText) {
    mnThread::WriteGuard guard(*this);
    try {
        const std::string strPath = PrvDataFilePath(kUninstallDataFileName);
        if (!PrvWriteDataFile(strPath, strText)) return false;
        PrvLoadFile(m_docUninstallData, strPath, false);

        const std::string strName = PrvGetUninstallDataComponentName();
        const std::string strVersion = PrvGetUninstallDataComponentVersion();
        const std::string strResult = PrvGetUninstallDataUninstallResult();
        PrvGetUninstallDataErrorCode();

        miXMLDOMElement component = PrvGetComponent(strName);
        if (component.IsEmpty()) return false;
        PrvSetComponentVersion(component, strVersion);
        // A failed uninstall passes no state, which the setter refuses (and
        // logs): the current state stays.
        PrvSetComponentState(component, strResult == kResultSuccess ? kStateUninstalled : "", strVersion);
        PrvRemoveComponentClient(component, strClient, false);
        PrvRemoveNode(component, kElemInstallPath);
        PrvRemoveNode(component, kElemUninstall);
        PrvDeleteDataFile(strPath);
        return PrvSaveFile();
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("SetComponentUninstallData"), exc);
    }
    return false;
}

bool mcComponentConfig::GetInstallDataResult(const std::string& strText, std::string& strResult,
                                             std::string& strErrorCode) {
    mnThread::WriteGuard guard(*this);
    try {
        const std::string strPath = PrvDataFilePath(kInstallDataFileName);
        if (!PrvWriteDataFile(strPath, strText)) return false;
        if (!PrvLoadFile(m_docInstallData, strPath, false)) return false;
        strResult = PrvGetInstallDataInstallResult();
        strErrorCode = PrvGetInstallDataErrorCode();
        PrvDeleteDataFile(strPath);
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("GetInstallDataResult"), exc);
    }
    return false;
}

bool mcComponentConfig::GetUninstallDataResult(const std::string& strText, std::string& strResult,
                                               std::string& strErrorCode) {
    mnThread::WriteGuard guard(*this);
    try {
        const std::string strPath = PrvDataFilePath(kUninstallDataFileName);
        if (!PrvWriteDataFile(strPath, strText)) return false;
        if (!PrvLoadFile(m_docUninstallData, strPath, false)) return false;
        strResult = PrvGetUninstallDataUninstallResult();
        strErrorCode = PrvGetUninstallDataErrorCode();
        PrvDeleteDataFile(strPath);
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("GetUninstallDataResult"), exc);
    }
    return false;
}

// ---------------------------------------------------------------------------
// Predownload

bool mcComponentConfig::PrvCopyPackage(const std::string& strSource, const std::string& strTarget) {
    // O_NONBLOCK: a FIFO put in place of the file after it was checked must
    // not hang the store; only a regular file is copied.
    const int fdIn = open(strSource.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fdIn < 0) return false;
    struct stat st {};
    if (fstat(fdIn, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fdIn);
        return false;
    }
    const std::string strTemp = mfStrGetDriveAndDirFromPath(strTarget) + "." +
                                mfStrGetFileNameFromPath(strTarget) + ".part-" + std::to_string(getpid());
    const int fdOut = open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fdOut < 0) {
        close(fdIn);
        return false;
    }
    bool bOk = true;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t nRead = read(fdIn, buffer.data(), buffer.size());
        if (nRead < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (nRead < 0) {
            bOk = false;
            break;
        }
        if (nRead == 0) break;
        ssize_t nDone = 0;
        while (nDone < nRead) {
            const ssize_t n = write(fdOut, buffer.data() + nDone, static_cast<std::size_t>(nRead - nDone));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                bOk = false;
                break;
            }
            nDone += n;
        }
        if (!bOk) break;
    }
    close(fdIn);
    if (bOk && fsync(fdOut) != 0) bOk = false;
    if (close(fdOut) != 0) bOk = false;
    if (bOk && rename(strTemp.c_str(), strTarget.c_str()) != 0) bOk = false;
    if (!bOk) unlink(strTemp.c_str());
    return bOk;
}

bool mcComponentConfig::PredownloadComponent(const std::string& strText) {
    mnThread::WriteGuard guard(*this);
    try {
        miXMLDOMDocument request;
        request.SetValidateOnParse(true);
        request.SetAsync(false);
        request.loadXML(strText);
        miXMLDOMElement root = request.GetDocumentElement();
        const std::string strName = root.GetAttributeText(kAttrName);
        const std::string strVersion = root.GetAttributeText(kAttrVersion);
        const std::string strLocation = root.GetAttributeText(kAttrLocation);

        // The name becomes a folder of the holding area.
        if (!mfIsSafeFileName(strName)) {
            mfCMLog(kLogPredownloadBadName + strName);
            return false;
        }

        miXMLDOMElement component = PrvGetComponent(strName);
        if (!component.IsEmpty()) {
            miXMLDOMElement state = component.GetChildElement(kElemState);
            std::string strState;
            if (state.FindAttributeText(kAttrValue, &strState) && strState != kStatePredownloaded) {
                mfCMLog(kLogPredownloadOtherState + strName + ", " + strState);
                return false;
            }
        }

        // Only a regular file: a device or a FIFO would never end or block
        // the store.
        struct stat st {};
        if (stat(strLocation.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            mfCMLog(kLogPredownloadNoLocation + strLocation);
            return false;
        }
        const std::string strFileName = mfStrGetFileNameFromPath(strLocation);
        if (!mfIsSafeFileName(strFileName)) {
            mfCMLog(kLogPredownloadBadFileName + strLocation);
            return false;
        }

        std::string strFolder = mfPathJoin(m_strHoldingArea, strName);
        if (strFolder.empty() || strFolder.back() != kPathSeparator) strFolder += kPathSeparator;
        struct stat stFolder {};
        if (stat(strFolder.c_str(), &stFolder) != 0 || !S_ISDIR(stFolder.st_mode)) {
            mfCreateDirectories(strFolder);
        }
        const std::string strTarget = strFolder + strFileName;
        if (!PrvCopyPackage(strLocation, strTarget)) {
            mfCMLog(kLogPredownloadCopyFailed + strLocation + "to " + strTarget);
            return false;
        }

        component = PrvGetComponent(strName);
        if (component.IsEmpty()) {
            PrvCreateComponent(strName);
            PrvSaveFile();
            component = PrvGetComponent(strName);
        }
        // A refused version is not reported as a recorded predownload.
        const bool bState = PrvSetComponentState(component, kStatePredownloaded, strVersion);
        const bool bSaved = PrvSaveFile();
        return bState && bSaved;
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine("PredownloadComponent"), exc);
    }
    return false;
}
