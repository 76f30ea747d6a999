#pragma once
// mcComponentConfig: the service's persistent record of registered clients and
// of every component it has handled, kept in "ComponentMgrConfig.xml" in the
// application folder. The installer result files "InstallData.xml" and
// "UninstallData.xml" (mcResultFile) and predownloading into the holding area
// (mcPredownload) record through it.
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
// Saving: every operation that changed the document writes it back whole
// before it returns, through the crash-safe writer (mfWriteFileAtomic); a
// crash or a failed save leaves the previous file complete, and the operation
// then returns false. An operation that changed nothing writes nothing and
// returns true, unless an earlier save failed: changes not yet on disk are
// written by the next operation that saves, and by the destructor.
//
// Ownership of the folder: from before it loads until after its last save the
// store holds the application folder's lock (mcAppFolderLock), so a store of
// another process (the next service instance) loads only after this one's
// last save. The constructor waits for that lock, at most
// Settings::folderLockWait.
//
// Loading: a missing or unreadable configuration file is replaced by one
// holding an empty "Config"; a damaged one is first moved aside to
// "ComponentMgrConfig.xml.bad" (replacing an older one).
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "xml/miXMLDOMDocument.h"
#include "xml/miXMLDOMElement.h"
#include "base/mnReadWriteLock.h"
#include "contract/msClientRecord.h"
#include "store/mcAppFolderLock.h"
#include "store/mcResultFile.h"

class mcComponentConfig : public mnThread::ReadWriteLock {
public:
    // Where the store keeps its files. An empty folder takes the default:
    // mcCMUtils::GetAppPath() for the application folder, and for the holding
    // area mcCMUtils::GetHoldingArea() (or the given application folder joined
    // with "HoldingArea"). Both are resolved once, at construction.
    // folderLockWait: how long the constructor waits for the folder's lock
    // while another store (normally the ending service instance) holds it.
    struct Settings {
        std::string strAppPath;
        std::string strHoldingArea;
        std::chrono::milliseconds folderLockWait = mcAppFolderLock::kDefaultWait;
    };

    static constexpr const char* kConfigFileName = "ComponentMgrConfig.xml";
    static constexpr const char* kDamagedSuffix = ".bad";
    static constexpr const char* kInstallDataFileName = mcResultFile::kInstallFileName;
    static constexpr const char* kUninstallDataFileName = mcResultFile::kUninstallFileName;

    // State names.
    static constexpr const char* kStateDownloaded = "downloaded";
    static constexpr const char* kStateInstalled = "installed";
    static constexpr const char* kStateDisabled = "disabled";
    static constexpr const char* kStateUninstalled = "uninstalled";
    static constexpr const char* kStatePredownloaded = "predownloaded";
    // The client that stands for the component manager itself.
    static constexpr const char* kPlaceholderClient = "CM";
    static constexpr std::size_t kDefaultCompactThreshold = 64;

    // Takes the folder's lock, then loads (or creates) the configuration
    // file; a load that fails even after recovery leaves an empty document in
    // memory and is only logged.
    mcComponentConfig();
    explicit mcComponentConfig(const Settings& settings);
    // Saves the changes not yet on disk, if any (a failure is logged), then
    // releases the folder's lock.
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
    // True while the store owns the application folder (see above).
    bool OwnsAppFolder() const { return m_pFolderLock && m_pFolderLock->IsHeld(); }

    // The store's load routine, also used for the result files: loads strPath
    // into a fresh doc; a file that does not load is replaced by one holding
    // an empty "Config" (kept aside as strPath + ".bad" first when
    // bKeepDamaged is set and it is a regular file) and loaded again. False
    // when even that fails. Logs the "mcComponentConfig::PrvLoadFile" lines.
    // limits applies to the file's own text (a document past them counts as
    // one that does not load).
    static bool LoadDocument(miXMLDOMDocument& doc, const std::string& strPath, bool bKeepDamaged,
                             const mcXmlAttributeLimits& limits = mcXmlAttributeLimits());

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

    // The lock-find-catch-log frame of every public operation: holds the
    // store's lock (exclusive or shared) for the whole body, turns an mcExc
    // into false after the two log lines naming pszOperation.
    bool PrvRun(const char* pszOperation, const std::function<bool()>& fnBody, bool bShared = false);
    // The same for an operation on one component: bIfUnknown when there is
    // no component of that name, otherwise the body's result.
    bool PrvRunOnComponent(const char* pszOperation, const std::string& strComponent, bool bIfUnknown,
                           const std::function<bool(miXMLDOMElement&)>& fnBody);

    // Writes the document when it holds changes not yet on disk; true when
    // nothing needed writing.
    bool PrvSaveFile();
    static void PrvMoveAside(const std::string& strPath);
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

    // Small DOM helpers that keep the index right, note every change for the
    // next save and refuse text that could not be written back as XML. Every
    // change of the configuration document goes through them.
    miXMLDOMElement PrvNewElement(const std::string& strName);
    void PrvAppend(miXMLDOMElement& parent, miXMLDOMElement& child);
    miXMLDOMElement PrvFindOrCreate(miXMLDOMElement& parent, const std::string& strName);
    void PrvRemoveElement(miXMLDOMElement& parent, miXMLDOMElement& child);
    void PrvSetAttribute(miXMLDOMElement& element, const std::string& strName,
                         const std::string& strValue);
    void PrvAppendText(miXMLDOMElement& element, const std::string& strText);
    void PrvReplaceText(miXMLDOMElement& element, const std::string& strText);
    std::vector<miXMLDOMElement> PrvGetListItems(miXMLDOMElement& list, const char* pszItem);
    miXMLDOMElement PrvGetClientList();

    std::string m_strAppPath;
    std::string m_strHoldingArea;
    std::string m_strConfigPath;
    // Taken before the first load, released after the destructor's save.
    std::unique_ptr<mcAppFolderLock> m_pFolderLock;

    miXMLDOMDocument m_docConfig;
    // The document holds changes that are not in the file.
    bool m_bUnsaved = false;
    std::unique_ptr<mcResultFile> m_pInstallData;
    std::unique_ptr<mcResultFile> m_pUninstallData;

    bool m_bIndexValid = false;
    std::vector<mcIndexEntry> m_vecIndex;
    std::unordered_map<std::string, std::size_t> m_mapIndex;  // name -> first position
    std::size_t m_nFirstNameless = 0;                          // m_vecIndex.size(): none

    // Nodes taken out of m_docConfig since it was last built.
    std::size_t m_nRemovedNodes = 0;
    std::size_t m_nCompactThreshold = kDefaultCompactThreshold;
};
