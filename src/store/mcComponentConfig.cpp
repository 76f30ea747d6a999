#include "store/mcComponentConfig.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "base/StrUtils.h"
#include "base/mcCMLog.h"
#include "base/mcExc.h"
#include "registry/mcCMUtils.h"
#include "store/mcPredownload.h"
#include "xml/miXMLDOMNode.h"

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

// The installers' word for success.
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

// Runs fnBody; an mcExc raised inside is logged under pszFunction's name and
// gives false.
bool PrvCatching(const char* pszFunction, const std::function<bool()>& fnBody) {
    try {
        return fnBody();
    } catch (const mcExc& exc) {
        PrvLogExc(PrvExcLine(pszFunction), exc);
    }
    return false;
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
    // Whoever saved last before us has finished once we hold the folder.
    m_pFolderLock = std::make_unique<mcAppFolderLock>(m_strAppPath, settings.folderLockWait);
    m_pInstallData = std::make_unique<mcResultFile>(mcResultFile::Kind::kInstall, m_strAppPath);
    m_pUninstallData = std::make_unique<mcResultFile>(mcResultFile::Kind::kUninstall, m_strAppPath);
    LoadDocument(m_docConfig, m_strConfigPath, true);
    PrvInvalidateIndex();
}

void mcComponentConfig::SetCompactionThreshold(std::size_t nRemovedNodes) {
    mnThread::WriteGuard guard(*this);
    m_nCompactThreshold = nRemovedNodes;
}

mcComponentConfig::~mcComponentConfig() {
    {
        mnThread::WriteGuard guard(*this);
        m_nRemovedNodes = 0;  // the document goes anyway: no rebuild
        PrvSaveFile();
    }
    // Only now may the next owner load what we saved.
    m_pFolderLock.reset();
}

bool mcComponentConfig::LoadDocument(miXMLDOMDocument& doc, const std::string& strPath, bool bKeepDamaged,
                                     const mcXmlAttributeLimits& limits) {
    try {
        doc = miXMLDOMDocument();
        doc.SetValidateOnParse(true);
        doc.SetAsync(false);
        doc.SetAttributeLimits(limits);
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
    // The file already holds the document: writing (and syncing) it again
    // would only cost time.
    if (!m_bUnsaved) return true;
    try {
        // The document's save goes through the crash-safe writer.
        m_docConfig.save(m_strConfigPath);
    } catch (const mcExc& exc) {
        PrvLogExc(kLogSaveExc, exc);
        return false;
    }
    m_bUnsaved = false;
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

bool mcComponentConfig::PrvRun(const char* pszOperation, const std::function<bool()>& fnBody, bool bShared) {
    if (bShared) {
        mnThread::ReadGuard guard(*this);
        return PrvCatching(pszOperation, fnBody);
    }
    mnThread::WriteGuard guard(*this);
    return PrvCatching(pszOperation, fnBody);
}

bool mcComponentConfig::PrvRunOnComponent(const char* pszOperation, const std::string& strComponent,
                                          bool bIfUnknown, const std::function<bool(miXMLDOMElement&)>& fnBody) {
    return PrvRun(pszOperation, [&] {
        miXMLDOMElement component = PrvGetComponent(strComponent);
        if (component.IsEmpty()) return bIfUnknown;
        return fnBody(component);
    });
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
        m_bUnsaved = true;
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

void mcComponentConfig::PrvAppend(miXMLDOMElement& parent, miXMLDOMElement& child) {
    parent.AppendChild(child);
    m_bUnsaved = true;
}

miXMLDOMElement mcComponentConfig::PrvFindOrCreate(miXMLDOMElement& parent, const std::string& strName) {
    miXMLDOMElement found;
    if (parent.FindChildElement(strName, &found)) return found;
    miXMLDOMElement created = PrvNewElement(strName);
    PrvAppend(parent, created);
    return created;
}

void mcComponentConfig::PrvRemoveElement(miXMLDOMElement& parent, miXMLDOMElement& child) {
    if (child.GetNodeName() == kElemComponent || !child.GetElementsByTagName(kElemComponent).empty()) {
        PrvInvalidateIndex();
    }
    parent.RemoveChild(child);
    m_bUnsaved = true;
    ++m_nRemovedNodes;
}

void mcComponentConfig::PrvSetAttribute(miXMLDOMElement& element, const std::string& strName,
                                        const std::string& strValue) {
    std::string strOld;
    if (element.FindAttributeText(strName, &strOld) && strOld == strValue) return;
    // The wrapper refuses text that XML cannot carry, so the file always
    // loads again.
    element.SetAttributeText(strName, strValue);
    m_bUnsaved = true;
}

void mcComponentConfig::PrvAppendText(miXMLDOMElement& element, const std::string& strText) {
    element.AppendChild(m_docConfig.CreateTextNode(strText));
    m_bUnsaved = true;
}

void mcComponentConfig::PrvReplaceText(miXMLDOMElement& element, const std::string& strText) {
    const std::vector<miXMLDOMNode> vecChildren = element.GetChildNodes();
    // Already the element's only content (a single text node): nothing to do.
    if (vecChildren.size() == 1 && vecChildren.front().GetNodeName() == "#text" &&
        element.GetTextNodeText() == strText) {
        return;
    }
    // The new text node first: text XML cannot carry leaves the old one.
    miXMLDOMNode text = m_docConfig.CreateTextNode(strText);
    if (!element.GetElementsByTagName(kElemComponent).empty()) PrvInvalidateIndex();
    for (const miXMLDOMNode& child : vecChildren) {
        element.RemoveChild(child);
        ++m_nRemovedNodes;
    }
    element.AppendChild(text);
    m_bUnsaved = true;
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
    return PrvRun("AddClient", [&] {
        miXMLDOMElement root = m_docConfig.GetDocumentElement();
        miXMLDOMElement list;
        if (!root.FindDirectChild(kElemClientList, &list)) {
            list = PrvNewElement(kElemClientList);
            PrvAppend(root, list);
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
        if (bNew) PrvAppend(list, client);
        return PrvSaveFile();
    });
}

bool mcComponentConfig::GetClient(const std::string& strName, msClientRecord& record) {
    return PrvRun(
        "GetClient",
        [&] {
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
            return false;
        },
        true);
}

bool mcComponentConfig::RemoveClient(const std::string& strName) {
    return PrvRun("RemoveClient", [&] {
        miXMLDOMElement list = PrvGetClientList();
        if (list.IsEmpty()) return true;
        for (miXMLDOMElement& item : PrvGetListItems(list, kElemClient)) {
            if (item.HasAttributeText(kAttrName, strName)) {
                PrvRemoveElement(list, item);
                return PrvSaveFile();
            }
        }
        return true;
    });
}

// ---------------------------------------------------------------------------
// Component records: reading

bool mcComponentConfig::IsComponentOfClient(const std::string& strClient, const std::string& strComponent) {
    return PrvRunOnComponent("IsComponentOfClient", strComponent, false, [&](miXMLDOMElement& component) {
        miXMLDOMElement list;
        if (!component.FindChildElement(kElemClientList, &list)) return false;
        for (miXMLDOMElement& item : PrvGetListItems(list, kElemClient)) {
            if (PrvText(item) == strClient) return true;
        }
        return false;
    });
}

bool mcComponentConfig::GetComponentVersion(const std::string& strComponent, const std::string& strState,
                                            std::string& strVersion) {
    return PrvRunOnComponent("GetComponentVersion", strComponent, false, [&](miXMLDOMElement& component) {
        miXMLDOMElement state;
        miXMLDOMElement entry;
        if (!component.FindChildElement(kElemState, &state)) return false;
        if (!state.FindChildElement(strState, &entry)) return false;
        return entry.FindAttributeText(kAttrVersion, &strVersion);
    });
}

bool mcComponentConfig::GetComponentAutoUpdate(const std::string& strComponent, std::string& strValue) {
    return PrvRunOnComponent("GetComponentAutoUpdate", strComponent, false, [&](miXMLDOMElement& component) {
        return component.FindAttributeText(kAttrAutoUpdate, &strValue);
    });
}

bool mcComponentConfig::GetComponentCurrentState(const std::string& strComponent, std::string& strState) {
    return PrvRunOnComponent("GetComponentCurrentState", strComponent, false, [&](miXMLDOMElement& component) {
        miXMLDOMElement state = component.GetChildElement(kElemState);
        return state.FindAttributeText(kAttrValue, &strState);
    });
}

bool mcComponentConfig::GetComponentUninstall(const std::string& strComponent, std::string& strExe,
                                              std::string& strCmdline) {
    return PrvRunOnComponent("GetComponentUninstall", strComponent, false, [&](miXMLDOMElement& component) {
        miXMLDOMElement uninstall;
        if (!component.FindChildElement(kElemUninstall, &uninstall)) return false;
        miXMLDOMElement part;
        if (uninstall.FindChildElement(kElemExe, &part)) strExe = PrvText(part);
        if (uninstall.FindChildElement(kElemCmdline, &part)) strCmdline = PrvText(part);
        return true;
    });
}

bool mcComponentConfig::GetComponentsOfClient(const std::string& strClient, std::vector<std::string>& vecNames) {
    return PrvRun("GetComponentsOfClient", [&] {
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
    });
}

bool mcComponentConfig::GetClientsOfComponent(const std::string& strComponent, std::vector<std::string>& vecNames) {
    return PrvRunOnComponent("GetClientsOfComponent", strComponent, false, [&](miXMLDOMElement& component) {
        miXMLDOMElement list;
        if (component.FindChildElement(kElemClientList, &list)) {
            for (miXMLDOMElement& item : PrvGetListItems(list, kElemClient)) vecNames.push_back(PrvText(item));
        }
        return true;
    });
}

bool mcComponentConfig::GetManifestsOfComponent(const std::string& strComponent,
                                                std::vector<std::string>& vecNames) {
    return PrvRunOnComponent("GetManifestsOfComponent", strComponent, true, [&](miXMLDOMElement& component) {
        miXMLDOMElement list;
        if (component.FindChildElement(kElemManifestList, &list)) {
            for (miXMLDOMElement& item : PrvGetListItems(list, kElemManifest)) vecNames.push_back(PrvText(item));
        }
        return true;
    });
}

bool mcComponentConfig::GetComponentStates(const std::string& strComponent, std::vector<std::string>& vecStates) {
    return PrvRunOnComponent("GetComponentStates", strComponent, false, [&](miXMLDOMElement& component) {
        vecStates = PrvGetComponentStates(component);
        return true;
    });
}

bool mcComponentConfig::HasComponentStates(const std::string& strComponent) {
    // The failure line names the neighbouring operation; administrators'
    // tools already look for it.
    return PrvRunOnComponent("GetClientsOfComponent", strComponent, false, [&](miXMLDOMElement& component) {
        return !PrvGetComponentStates(component).empty();
    });
}

// ---------------------------------------------------------------------------
// Component records: changing

bool mcComponentConfig::SetComponentName(const std::string& strComponent) {
    return PrvRun("SetComponentName", [&] {
        miXMLDOMElement component = PrvGetComponent(strComponent);
        if (component.IsEmpty()) {
            // A component that could not be made is not reported as made.
            if (PrvCreateComponent(strComponent).IsEmpty()) return false;
        } else {
            PrvSetComponentName(component, strComponent);
        }
        return PrvSaveFile();
    });
}

bool mcComponentConfig::SetComponentClient(const std::string& strComponent, const std::string& strClient) {
    return PrvRun("SetComponentClient", [&] {
        miXMLDOMElement component = PrvGetComponent(strComponent);
        if (component.IsEmpty()) {
            if (PrvCreateComponent(strComponent).IsEmpty()) return false;
            component = PrvGetComponent(strComponent);
        }
        PrvSetComponentClient(component, strClient);
        return PrvSaveFile();
    });
}

bool mcComponentConfig::SetComponentState(const std::string& strComponent, const std::string& strState,
                                          const std::string& strVersion) {
    return PrvRunOnComponent("SetComponentState", strComponent, false, [&](miXMLDOMElement& component) {
        return PrvSetComponentState(component, strState, strVersion) && PrvSaveFile();
    });
}

bool mcComponentConfig::SetComponentManifest(const std::string& strComponent, const std::string& strManifest) {
    return PrvRunOnComponent("SetComponentManifest", strComponent, false, [&](miXMLDOMElement& component) {
        PrvSetComponentManifest(component, strManifest);
        return PrvSaveFile();
    });
}

bool mcComponentConfig::RemoveComponentClient(const std::string& strComponent, const std::string& strClient,
                                              bool bKeepPlaceholder) {
    return PrvRunOnComponent("RemoveComponentClient", strComponent, false, [&](miXMLDOMElement& component) {
        return PrvRemoveComponentClient(component, strClient, bKeepPlaceholder) && PrvSaveFile();
    });
}

bool mcComponentConfig::CleanupUninstalledComponent(const std::string& strComponent, const std::string& strClient,
                                                    const std::string& strManifest) {
    return PrvRunOnComponent("CleanupUninstalledComponent", strComponent, false, [&](miXMLDOMElement& component) {
        PrvSetComponentState(component, kStateUninstalled, PrvGetComponentVersion(component));
        PrvRemoveComponentClient(component, strClient, false);
        PrvRemoveComponentManifest(component, strManifest);
        PrvRemoveNode(component, kElemInstallPath);
        PrvRemoveNode(component, kElemUninstall);
        return PrvSaveFile();
    });
}

// ---------------------------------------------------------------------------
// Building blocks

bool mcComponentConfig::PrvSetComponentName(miXMLDOMElement& component, const std::string& strName) {
    return PrvCatching("PrvSetComponentName", [&] {
        PrvSetAttribute(component, kAttrName, strName);
        // A component found by this name keeps its place in the index.
        return true;
    });
}

bool mcComponentConfig::PrvSetComponentVersion(miXMLDOMElement& component, const std::string& strVersion) {
    return PrvCatching("PrvSetComponentVersion", [&] {
        PrvSetAttribute(component, kAttrVersion, strVersion);
        return true;
    });
}

bool mcComponentConfig::PrvSetComponentAutoUpdate(miXMLDOMElement& component, const std::string& strValue) {
    return PrvCatching("PrvSetComponentAutoUpdate", [&] {
        PrvSetAttribute(component, kAttrAutoUpdate, strValue);
        return true;
    });
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
                PrvAppend(component, state);
            }
            PrvAppend(state, entry);
        }
        PrvSetAttribute(state, kAttrValue, strState);
        return true;
    } catch (const mcExc& exc) {
        PrvLogExc("mcComponentConfig::PrvSetComponentState exception", exc);
    }
    return false;
}

bool mcComponentConfig::PrvSetComponentInstallPath(miXMLDOMElement& component, const std::string& strPath) {
    return PrvCatching("PrvSetComponentInstallPath", [&] {
        miXMLDOMElement path = PrvFindOrCreate(component, kElemInstallPath);
        PrvReplaceText(path, strPath);
        return true;
    });
}

bool mcComponentConfig::PrvSetComponentUninstall(miXMLDOMElement& component, const std::string& strExe,
                                                 const std::string& strCmdline) {
    return PrvCatching("PrvSetComponentUninstall", [&] {
        miXMLDOMElement uninstall = PrvFindOrCreate(component, kElemUninstall);
        miXMLDOMElement exe = PrvFindOrCreate(uninstall, kElemExe);
        miXMLDOMElement cmdline = PrvFindOrCreate(uninstall, kElemCmdline);
        PrvReplaceText(exe, strExe);
        PrvReplaceText(cmdline, strCmdline);
        return true;
    });
}

bool mcComponentConfig::PrvSetComponentManifest(miXMLDOMElement& component, const std::string& strManifest) {
    return PrvCatching("PrvSetComponentManifest", [&] {
        miXMLDOMElement list = PrvFindOrCreate(component, kElemManifestList);
        for (miXMLDOMElement& item : PrvGetListItems(list, kElemManifest)) {
            if (PrvText(item) == strManifest) return true;
        }
        miXMLDOMElement item = PrvNewElement(kElemManifest);
        PrvAppendText(item, strManifest);
        PrvAppend(list, item);
        return true;
    });
}

bool mcComponentConfig::PrvSetComponentClient(miXMLDOMElement& component, const std::string& strClient) {
    return PrvCatching("PrvSetComponentClient", [&] {
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
            PrvAppend(list, item);
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
    });
}

bool mcComponentConfig::PrvRemoveComponentClient(miXMLDOMElement& component, const std::string& strClient,
                                                 bool bKeepPlaceholder) {
    return PrvCatching("PrvRemoveComponentClient", [&] {
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
            PrvAppend(list, item);
        }
        return bRemoved;
    });
}

bool mcComponentConfig::PrvRemoveComponentManifest(miXMLDOMElement& component, const std::string& strManifest) {
    return PrvCatching("PrvRemoveComponentManifest", [&] {
        miXMLDOMElement list;
        if (!component.FindChildElement(kElemManifestList, &list)) return true;
        for (miXMLDOMElement& item : PrvGetListItems(list, kElemManifest)) {
            if (PrvText(item) == strManifest) {
                PrvRemoveElement(list, item);
                return true;
            }
        }
        return false;
    });
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

bool mcComponentConfig::SetComponentInstallData(const std::string& strClient, const std::string& strText) {
    return PrvRun("SetComponentInstallData", [&] {
        mcResultFile& file = *m_pInstallData;
        if (!file.Write(strText)) return false;
        const mcResultFile::DeleteGuard deleteGuard(file);
        file.Load();
        const mcResultFile::InstallItems items = file.ReadInstall();
        // A text without a component name (malformed, or no "name") names
        // nothing to record: no nameless component is made.
        if (items.strName.empty()) {
            file.Delete();
            return false;
        }
        miXMLDOMElement component = PrvGetComponent(items.strName);
        if (component.IsEmpty()) {
            PrvCreateComponent(items.strName);
            component = PrvGetComponent(items.strName);
        }
        if (items.strResult == kResultSuccess) {
            PrvSetComponentVersion(component, items.strVersion);
            PrvSetComponentClient(component, strClient);
            PrvSetComponentState(component, kStateInstalled, items.strVersion);
            PrvSetComponentInstallPath(component, items.strInstallPath);
            PrvSetComponentUninstall(component, items.strUninstallExe, items.strUninstallCmdline);
            PrvSetComponentManifest(component, items.strManifest);
            PrvSetComponentAutoUpdate(component, kAutoUpdateOn);
        }
        file.Delete();
        return PrvSaveFile();
    });
}

bool mcComponentConfig::SetComponentUninstallData(const std::string& strClient, const std::string& strText) {
    return PrvRun("SetComponentUninstallData", [&] {
        mcResultFile& file = *m_pUninstallData;
        if (!file.Write(strText)) return false;
        const mcResultFile::DeleteGuard deleteGuard(file);
        file.Load();
        const mcResultFile::UninstallItems items = file.ReadUninstall();
        miXMLDOMElement component = PrvGetComponent(items.strName);
        if (component.IsEmpty()) return false;
        PrvSetComponentVersion(component, items.strVersion);
        // A failed uninstall passes no state, which the setter refuses (and
        // logs): the current state stays.
        PrvSetComponentState(component, items.strResult == kResultSuccess ? kStateUninstalled : "",
                             items.strVersion);
        PrvRemoveComponentClient(component, strClient, false);
        PrvRemoveNode(component, kElemInstallPath);
        PrvRemoveNode(component, kElemUninstall);
        file.Delete();
        return PrvSaveFile();
    });
}

bool mcComponentConfig::GetInstallDataResult(const std::string& strText, std::string& strResult,
                                             std::string& strErrorCode) {
    return PrvRun("GetInstallDataResult", [&] {
        mcResultFile& file = *m_pInstallData;
        if (!file.Write(strText)) return false;
        const mcResultFile::DeleteGuard deleteGuard(file);
        if (!file.Load()) return false;
        file.ReadOutcome(strResult, strErrorCode);
        file.Delete();
        return true;
    });
}

bool mcComponentConfig::GetUninstallDataResult(const std::string& strText, std::string& strResult,
                                               std::string& strErrorCode) {
    return PrvRun("GetUninstallDataResult", [&] {
        mcResultFile& file = *m_pUninstallData;
        if (!file.Write(strText)) return false;
        const mcResultFile::DeleteGuard deleteGuard(file);
        if (!file.Load()) return false;
        file.ReadOutcome(strResult, strErrorCode);
        file.Delete();
        return true;
    });
}

// ---------------------------------------------------------------------------
// Predownload

bool mcComponentConfig::PredownloadComponent(const std::string& strText) {
    return PrvRun("PredownloadComponent", [&] {
        const mcPredownload request(strText);
        if (!request.CheckName()) return false;
        const std::string& strName = request.GetName();

        miXMLDOMElement component = PrvGetComponent(strName);
        if (!component.IsEmpty()) {
            miXMLDOMElement state = component.GetChildElement(kElemState);
            std::string strState;
            if (state.FindAttributeText(kAttrValue, &strState) && strState != kStatePredownloaded) {
                mfCMLog(kLogPredownloadOtherState + strName + ", " + strState);
                return false;
            }
        }
        if (!request.CopyPackage(m_strHoldingArea)) return false;

        component = PrvGetComponent(strName);
        if (component.IsEmpty()) {
            PrvCreateComponent(strName);
            PrvSaveFile();
            component = PrvGetComponent(strName);
        }
        // A refused version is not reported as a recorded predownload.
        const bool bState = PrvSetComponentState(component, kStatePredownloaded, request.GetVersion());
        const bool bSaved = PrvSaveFile();
        return bState && bSaved;
    });
}
