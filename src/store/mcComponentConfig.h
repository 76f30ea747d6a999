#pragma once
// mcComponentConfig: the service's persistent record of registered clients and
// of every component it has handled, kept in "ComponentMgrConfig.xml" in the
// application folder, plus the installer result files "InstallData.xml" and
// "UninstallData.xml" and predownloading into the holding area.
//
// Threads: any. The store is its own reader-writer lock; every public
// operation holds it for its whole run (shared for GetClient, exclusive for
// every other one), so callers must not hold it themselves while calling in.
// One store per application folder and process.
//
// Failures: operations never throw mcExc. A failure inside is logged to the
// process log (a fixed line naming the operation, then the exception's text)
// and reported as false, an empty string or nothing appended. Changes made
// before a failure stay in memory and reach the file with the next save.
//
// Saving: every changing operation writes the whole document back before it
// returns, through a temporary file in the same folder that is flushed and
// renamed over the configuration file; a crash or a failed save leaves the
// previous file complete, and the operation then returns false.
//
// Loading: a missing or unreadable configuration file is replaced by one
// holding an empty "Config"; a damaged one is first moved aside to
// "ComponentMgrConfig.xml.bad" (replacing an older one).
#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "xml/miXMLDOMDocument.h"
#include "xml/miXMLDOMElement.h"
#include "base/mnReadWriteLock.h"
#include "contract/msClientRecord.h"

class mcComponentConfig : public mnThread::ReadWriteLock {
public:
    // Where the store keeps its files. An empty folder takes the default:
    // mcCMUtils::GetAppPath() for the application folder, and for the holding
    // area mcCMUtils::GetHoldingArea() (or the given application folder joined
    // with "HoldingArea"). Both are resolved once, at construction.
    struct Settings {
        std::string strAppPath;
        std::string strHoldingArea;
    };

    static constexpr const char* kConfigFileName = "ComponentMgrConfig.xml";
    static constexpr const char* kDamagedSuffix = ".bad";
    static constexpr const char* kInstallDataFileName = "InstallData.xml";
    static constexpr const char* kUninstallDataFileName = "UninstallData.xml";

    // State names.
    static constexpr const char* kStateDownloaded = "downloaded";
    static constexpr const char* kStateInstalled = "installed";
    static constexpr const char* kStateDisabled = "disabled";
    static constexpr const char* kStateUninstalled = "uninstalled";
    static constexpr const char* kStatePredownloaded = "predownloaded";
    // The client that stands for the component manager itself.
    static constexpr const char* kPlaceholderClient = "CM";
    static constexpr std::size_t kDefaultCompactThreshold = 64;

    // Loads (or creates) the configuration file; a load that fails even after
    // recovery leaves an empty document in memory and is only logged.
    mcComponentConfig();
    explicit mcComponentConfig(const Settings& settings);
    // Saves the configuration once more (a failure is logged).
    ~mcComponentConfig();
    mcComponentConfig(const mcComponentConfig&) = delete;
    mcComponentConfig& operator=(const mcComponentConfig&) = delete;

    // Nodes taken out of the document stay allocated until the document is
    // freed, so after this many removals (replaced texts included) a save
    // rebuilds the document from its own text, which frees them. Default 64;
    // 0 rebuilds after every save that follows a removal. Any thread.
    void SetCompactionThreshold(std::size_t nRemovedNodes);

    const std::string& GetAppPath() const { return m_strAppPath; }
    const std::string& GetHoldingArea() const { return m_strHoldingArea; }
    // Application folder joined with "ComponentMgrConfig.xml".
    const std::string& GetConfigPath() const { return m_strConfigPath; }

    // Registered clients (the top-level "ClientList").
    // Adds or updates the client with record.name; saves.
    bool AddClient(const msClientRecord& record);
    // False when the client is unknown or lacks one of its four attributes;
    // record is only written on success.
    bool GetClient(const std::string& strName, msClientRecord& record);
    // True without saving when the client is unknown.
    bool RemoveClient(const std::string& strName);

    // Component records. Components are found by exact "name"; the first in
    // document order wins.
    bool IsComponentOfClient(const std::string& strClient, const std::string& strComponent);
    // Version with which strState was last entered.
    bool GetComponentVersion(const std::string& strComponent, const std::string& strState,
                             std::string& strVersion);
    bool GetComponentAutoUpdate(const std::string& strComponent, std::string& strValue);
    bool GetComponentCurrentState(const std::string& strComponent, std::string& strState);
    // True when the component has "Uninstall"; each output is written only
    // when its element exists.
    bool GetComponentUninstall(const std::string& strComponent, std::string& strExe,
                               std::string& strCmdline);
    // Appends, in document order; always true unless an internal failure.
    bool GetComponentsOfClient(const std::string& strClient, std::vector<std::string>& vecNames);
    // Appends; false when the component is unknown.
    bool GetClientsOfComponent(const std::string& strComponent, std::vector<std::string>& vecNames);
    // Appends; true also when the component or its list is unknown.
    bool GetManifestsOfComponent(const std::string& strComponent,
                                 std::vector<std::string>& vecNames);
    // Replaces vecStates with the states present, in the fixed order
    // downloaded, installed, disabled, uninstalled, predownloaded.
    bool GetComponentStates(const std::string& strComponent, std::vector<std::string>& vecStates);
    bool HasComponentStates(const std::string& strComponent);

    // Creates the component when unknown; saves.
    bool SetComponentName(const std::string& strComponent);
    // Creates the component when unknown and records the client ("" records
    // the placeholder "CM", which goes once a real client is recorded); saves.
    bool SetComponentClient(const std::string& strComponent, const std::string& strClient);
    // False for an unknown component or an empty state or version; saves.
    bool SetComponentState(const std::string& strComponent, const std::string& strState,
                           const std::string& strVersion);
    bool SetComponentManifest(const std::string& strComponent, const std::string& strManifest);
    // False (no save) when the component is unknown or does not list the
    // client. With bKeepPlaceholder, an emptied list gets the client "CM".
    bool RemoveComponentClient(const std::string& strComponent, const std::string& strClient,
                               bool bKeepPlaceholder);
    // Enters "uninstalled" with the component's own version, removes the
    // client, the manifest, "InstallPath" and "Uninstall"; saves.
    bool CleanupUninstalledComponent(const std::string& strComponent, const std::string& strClient,
                                     const std::string& strManifest);

    // Installer result texts. Each passes through "InstallData.xml" or
    // "UninstallData.xml" in the application folder, which is gone again
    // after the operation unless it failed before its delete step.
    // Records a successful install (state, version, client, install path,
    // uninstall command, manifest, autoupdate); creates an unknown component
    // whatever the result. The install path and the uninstall program and
    // command line replace any recorded earlier. Result: that of the save.
    // A text without a component name (malformed, or no "name") records
    // nothing and gives false.
    bool SetComponentInstallData(const std::string& strClient, const std::string& strText);
    // False, leaving the file, for an unknown component.
    bool SetComponentUninstallData(const std::string& strClient, const std::string& strText);
    // Outputs the result word and error code (empty when missing); the
    // configuration is not touched. True when the outputs were written.
    bool GetInstallDataResult(const std::string& strText, std::string& strResult,
                              std::string& strErrorCode);
    bool GetUninstallDataResult(const std::string& strText, std::string& strResult,
                                std::string& strErrorCode);

    // Copies the package named by the request's "location" into the holding
    // area folder named after "name" and records "predownloaded" with
    // "version". Refused for a component in another state, an unsafe name,
    // or a location that is not a regular file. The copy replaces an older
    // package only once it is complete. Result: that of the final save.
    bool PredownloadComponent(const std::string& strText);

private:
    // One "Component" element of the document, in document order.
    struct mcIndexEntry {
        miXMLDOMElement element;
        bool bHasName = false;
    };

    void PrvInit();

    // Loading and saving. PrvLoadFile replaces the document with a fresh one
    // before loading; bKeepDamaged moves an existing file that does not load
    // aside before it is replaced.
    bool PrvLoadFile(miXMLDOMDocument& doc, const std::string& strPath, bool bKeepDamaged);
    bool PrvSaveFile();
    void PrvMoveAside(const std::string& strPath);
    // Rebuilds the configuration document from its own text once enough
    // nodes were taken out of it; every element handle (and the index) into
    // the old one is void afterwards. A failure keeps the old document.
    void PrvCompactIfDue();

    // Component lookup (index of "Component" elements in document order).
    void PrvInvalidateIndex();
    void PrvBuildIndex();
    miXMLDOMElement PrvCreateComponent(const std::string& strName);
    miXMLDOMElement PrvGetComponent(const std::string& strName);

    // Building blocks; the caller holds the lock and found the component.
    bool PrvSetComponentName(miXMLDOMElement& component, const std::string& strName);
    bool PrvSetComponentVersion(miXMLDOMElement& component, const std::string& strVersion);
    bool PrvSetComponentAutoUpdate(miXMLDOMElement& component, const std::string& strValue);
    std::string PrvGetComponentVersion(miXMLDOMElement& component);
    bool PrvSetComponentState(miXMLDOMElement& component, const std::string& strState,
                              const std::string& strVersion);
    bool PrvSetComponentInstallPath(miXMLDOMElement& component, const std::string& strPath);
    bool PrvSetComponentUninstall(miXMLDOMElement& component, const std::string& strExe,
                                  const std::string& strCmdline);
    bool PrvSetComponentManifest(miXMLDOMElement& component, const std::string& strManifest);
    bool PrvSetComponentClient(miXMLDOMElement& component, const std::string& strClient);
    bool PrvRemoveComponentClient(miXMLDOMElement& component, const std::string& strClient,
                                  bool bKeepPlaceholder);
    bool PrvRemoveComponentManifest(miXMLDOMElement& component, const std::string& strManifest);
    bool PrvRemoveNode(miXMLDOMElement& component, const std::string& strName);
    std::vector<std::string> PrvGetComponentStates(miXMLDOMElement& component);

    // Small DOM helpers that keep the index right and refuse text that could
    // not be written back as XML.
    miXMLDOMElement PrvNewElement(const std::string& strName);
    miXMLDOMElement PrvFindOrCreate(miXMLDOMElement& parent, const std::string& strName);
    void PrvRemoveElement(miXMLDOMElement& parent, miXMLDOMElement& child);
    void PrvSetAttribute(miXMLDOMElement& element, const std::string& strName,
                         const std::string& strValue);
    void PrvAppendText(miXMLDOMElement& element, const std::string& strText);
    void PrvReplaceText(miXMLDOMElement& element, const std::string& strText);
    std::vector<miXMLDOMElement> PrvGetListItems(miXMLDOMElement& list, const char* pszItem);
    miXMLDOMElement PrvGetClientList();

    // Result files.
    std::string PrvDataFilePath(const char* pszName) const;
    bool PrvWriteDataFile(const std::string& strPath, const std::string& strText);
    void PrvDeleteDataFile(const std::string& strPath);
    std::string PrvGetInstallDataComponentName();
    std::string PrvGetInstallDataComponentVersion();
    std::string PrvGetInstallDataComponentManifest();
    std::string PrvGetInstallDataInstallResult();
    std::string PrvGetInstallDataInstallPath();
    std::string PrvGetInstallDataErrorCode();
    std::string PrvGetInstallDataUninstallExe();
    std::string PrvGetInstallDataUninstallCmdline();
    std::string PrvGetUninstallDataComponentName();
    std::string PrvGetUninstallDataComponentVersion();
    std::string PrvGetUninstallDataUninstallResult();
    std::string PrvGetUninstallDataErrorCode();

    // Predownload: copies to a temporary file beside strTarget and renames it
    // over strTarget.
    bool PrvCopyPackage(const std::string& strSource, const std::string& strTarget);

    std::string m_strAppPath;
    std::string m_strHoldingArea;
    std::string m_strConfigPath;

    miXMLDOMDocument m_docConfig;
    miXMLDOMDocument m_docInstallData;
    miXMLDOMDocument m_docUninstallData;

    bool m_bIndexValid = false;
    std::vector<mcIndexEntry> m_vecIndex;
    std::unordered_map<std::string, std::size_t> m_mapIndex;  // name -> first position
    std::size_t m_nFirstNameless = 0;                          // m_vecIndex.size(): none

    // Nodes taken out of m_docConfig since it was last built.
    std::size_t m_nRemovedNodes = 0;
    std::size_t m_nCompactThreshold = kDefaultCompactThreshold;
};
