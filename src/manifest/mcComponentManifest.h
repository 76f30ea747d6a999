#pragma once
// One component manifest: a signed XML file (name + "_Manifest.xml", or the
// downloaded candidate name + "_Manifest.tmp") describing the components a
// publisher offers, which client applications may see them and their packages.
//
// The constructor reads, verifies and parses the file once and extracts every
// component; the object never changes afterwards and keeps no DOM. All queries are
// const, lock-free apart from a read lock, and safe to call from any number of
// threads at once, so a loaded manifest can be handed out as
// std::shared_ptr<const mcComponentManifest>.
//
// Queries of a manifest that did not load return false. Failures are reported
// through the log ("ComponentMgr.log") and the boolean results; nothing throws
// except std::bad_alloc. Log lines and assertion reports that belong to a query
// (an invalid component, a component with both client lists, an unreadable
// filter code) are written each time the query is made.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ManifestKey.h"
#include "base/mnReadWriteLock.h"
#include "contract/msClientRecord.h"
#include "manifest/mcClientFilter.h"
#include "manifest/mcManifestComponent.h"
#include "manifest/mcTrustedKeys.h"

class miXMLDOMElement;

// Where a manifest comes from when it is not found by name in the application
// folder (tools, tests): a file and what to verify it with - pTrust when set,
// else the legacy form with publicKeyHex only.
struct msManifestFile {
    msManifestFile() = default;
    msManifestFile(std::string strPath, std::string strKeyHex = zr::crypt::kManifestPublicKey,
                   std::shared_ptr<const msTrustPolicy> pPolicy = nullptr)
        : path(std::move(strPath)), publicKeyHex(std::move(strKeyHex)), pTrust(std::move(pPolicy)) {}

    std::string path;
    std::string publicKeyHex = zr::crypt::kManifestPublicKey;
    std::shared_ptr<const msTrustPolicy> pTrust;
};

class mcComponentManifest {
public:
    static constexpr const char* kManifestSuffix = "_Manifest.xml";
    static constexpr const char* kCandidateSuffix = "_Manifest.tmp";

    // appFolder joined with name + kCandidateSuffix when bCandidate, else + kManifestSuffix.
    static std::string PathFor(const std::string& appFolder, const std::string& name, bool bCandidate);

    // Loads PathFor(appFolder, name, bCandidate), verified with the built-in key and
    // the trust policy of the registry (msTrustPolicy::FromRegistry).
    mcComponentManifest(const std::string& appFolder, const std::string& name, bool bCandidate);
    // Loads file.path, verified as msManifestFile says. A file refused for its
    // signature logs "Improperly signed Manifest : " + path, and for the strong
    // form or a refused legacy form one more line with the reason.
    explicit mcComponentManifest(const msManifestFile& file);

    mcComponentManifest(const mcComponentManifest&) = delete;
    mcComponentManifest& operator=(const mcComponentManifest&) = delete;

    // The file was read, its signature verified and its XML parsed.
    bool IsLoaded() const;
    const std::string& GetPath() const { return m_strPath; }
    // "version" of the document element; "0.00.0000" when it has none; empty
    // when the manifest did not load.
    std::string GetVersion() const;

    // Fills out (reset first) with the component's record. False, with out reset,
    // when the name is not exactly one component's or a required part ("Plugin"
    // with "name" and "version", "Update" with "URL") is missing; false with out
    // holding the name and the incompatible list when the component carries both
    // client lists. Not loaded: false, out untouched.
    bool GetComponent(const std::string& name, mcManifestComponent& out) const;
    // "friendlyName" of the component, or its name when it has none.
    bool GetComponentFriendlyName(const std::string& name, std::string& out) const;
    // The component's "ClientData" element as XML markup; false and empty text
    // when it has none.
    bool GetComponentClientData(const std::string& name, std::string& out) const;
    // Appends, in document order, the name of every named "Component" that
    // IsComponentForClient accepts. An all-empty client lists them all.
    bool GetComponents(const msClientRecord& client, std::vector<std::string>& out) const;
    // Whether client may see the component: true for an unreadable component and
    // for a client without a name; else decided by the compatible list when it
    // has entries, otherwise by the incompatible list.
    bool IsComponentForClient(const std::string& name, const msClientRecord& client) const;

    // The entry accepts the client (see mcClientFilter::Matches).
    static bool MatchClientFilter(const mcClientFilter& entry, const msClientRecord& client);
    // Reads the "Client" entries below a "CompatibleClients" or
    // "IncompatibleClients" element into out (emptied first). OEM and LANG
    // failures are logged and skipped; any other failure is logged and gives
    // false, keeping the entries read so far. On the thread that owns the DOM.
    static bool LoadClientFilter(const miXMLDOMElement& list, std::vector<mcClientFilter>& out);

private:
    // What GetComponent does for a component found exactly once.
    enum class meOutcome {
        kRecord,      // the record is complete
        kBothLists,   // both client lists: assertion report, log line, false
        kInvalid,     // a required part is missing: out reset, log line, false
    };
    struct msComponentInfo {
        std::size_t nElements = 0;  // "Component" elements carrying this name
        meOutcome eOutcome = meOutcome::kInvalid;
        mcManifestComponent record;  // complete, or partial for kBothLists
        std::vector<std::string> vecFilterLog;  // lines LoadClientFilter logged
        std::string strFriendlyName;
        std::string strClientData;     // markup of "ClientData"
        bool bHasClientData = false;
        bool bFriendlyNameOk = false;  // false when reading it failed
        bool bClientDataOk = false;    // false when reading it failed
    };

    void PrvLoad(const msTrustPolicy& policy);
    void PrvExtractComponents(const miXMLDOMElement& root);
    static void PrvExtractComponent(const miXMLDOMElement& component, msComponentInfo& info);
    // The info of a name found exactly once; nullptr (after logging
    // "<function>, Invalid component, " + name) otherwise.
    const msComponentInfo* PrvFind(const std::string& name, const char* function) const;
    // GetComponent without copying: the stored record, or nullptr when it fails.
    const mcManifestComponent* PrvGetComponent(const std::string& name) const;
    bool PrvIsForClient(const std::string& name, const msClientRecord& client) const;

    std::string m_strPath;
    bool m_bLoaded = false;
    std::string m_strVersion;
    // Held for writing while loading and for reading around queries; the state
    // never changes after the constructor.
    mutable mnThread::ReadWriteLock m_lock;

    // Every "Component" element in document order: whether it carries "name", and its name.
    std::vector<std::pair<bool, std::string>> m_vecComponentNames;
    std::unordered_map<std::string, msComponentInfo> m_mapComponents;
    // Collecting the components failed: GetComponents logs and gives false.
    bool m_bComponentsFailed = false;
    std::string m_strComponentsError;
};
