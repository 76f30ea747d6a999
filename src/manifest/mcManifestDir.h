#pragma once
// The manifest directory: "ManifestDirectory.xml" in the application folder,
// which lists every component manifest with its current version and download
// URL, plus the update interval in days. mcManifestDir loads it and every
// manifest it lists (name + "_Manifest.xml"), and brings directory and
// manifests up to date from the server: the directory from "ManifestDirUrl" or
// the redirect service, each manifest from the URL its entry names. Every
// download's outcome is reported as an event; the owner is told of each
// replaced manifest.
//
// Threads: every member may be called from any thread. Lookups take the read
// lock for the length of one operation; replacing the directory or a manifest
// takes the write lock briefly. Updates (UpdateToNewVersion, UpdateManifests,
// UpdateManifest) are serialised by a mutex of their own: a second update
// waits until the first has finished (it would write the same candidate files).
// An update makes its HTTP requests (redirect service, downloads, events, the
// default connection check) through the configured fetcher; the service runs
// updates on a worker thread, never on its bus thread. The names of the
// manifests an update replaced come back to its caller, and the owner (when
// there is one) is told of each after the update mutex has been released, so
// the owner may start another update from inside.
// A manifest handed out by GetManifest stays valid for as long as the caller
// holds it, also after an update has replaced it.
//
// Failures: nothing is thrown (except std::bad_alloc and what an injected
// fetcher throws). Registry, file and XML
// failures turn into the fixed log lines, false results and defaults. A failed
// directory update leaves the directory and every manifest in force; a failed
// manifest update leaves that manifest in force. Files in force are replaced
// crash-safely (temporary file, then rename).
//
// The directory file is read once per load; the object keeps no DOM, only the
// entries and the interval taken from it.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ManifestKey.h"
#include "base/mnReadWriteLock.h"
#include "manifest/IManifestDirOwner.h"
#include "manifest/mcComponentManifest.h"
#include "net/IHttpFetcher.h"
#include "net/mcHttpTransactionOptions.h"

class mcManifestDir {
public:
    static constexpr const char* kDirectoryFileName = "ManifestDirectory.xml";
    static constexpr const char* kCandidateFileName = "ManifestDirectory.tmp";
    // Values of the component manager's registry key (mcCMUtils::kRegistryKey).
    static constexpr const char* kManifestDirUrlValue = "ManifestDirUrl";
    static constexpr const char* kLastDirUpdateValue = "LastDirUpdate";
    // The redirect service that names the directory URL, on the host of the
    // registry value "RedirectServer" (net/ServerHosts.h).
    static constexpr const char* kRedirectPath = "/qorb/process.cgi?REQUEST=GOTO&URL=CM&";
    // Directory layout.
    static constexpr const char* kIntervalAttribute = "Interval";
    static constexpr const char* kManifestTag = "Manifest";
    static constexpr const char* kOverrideTag = "ManifestOverride";
    // Days between update checks when the directory names none.
    static constexpr std::int32_t kDefaultInterval = 1;
    // Connect, open and transfer time-out of directory and manifest downloads (ms).
    static constexpr std::uint32_t kDownloadTimeout = 10000;
    // The directory file, downloaded or stored, is refused beyond this size.
    static constexpr std::uint64_t kMaxDirectoryBytes = 1024 * 1024;

    using Clock = std::chrono::system_clock;

    // Outside effects, for the service and for tests.
    struct Config {
        // Folder of the directory and manifest files; empty: mcCMUtils::GetAppPath()
        // at construction.
        std::string strAppFolder;
        // Current time; empty: the system clock. Dates are taken in local time.
        std::function<Clock::time_point()> fnNow;
        // Is the machine online? Empty: ConnectionCheck() (net/mcConnectionCheck.h).
        std::function<bool()> fnConnectionCheck;
        // Key the manifests' legacy signatures are verified with (hex DER public key).
        std::string strPublicKeyHex = zr::crypt::kManifestPublicKey;
        // Trust policy, asked each time manifests load; empty:
        // msTrustPolicy::FromRegistry(strPublicKeyHex) (trusted-keys folder read then).
        std::function<std::shared_ptr<const msTrustPolicy>()> fnTrustPolicy;
        // Every HTTP request of an update; empty: mcHttpFetcher::Shared().
        std::shared_ptr<IHttpFetcher> pFetcher;
        // The constructor only loads; the owner runs the first update
        // (UpdateToNewVersion(true) when IsLoaded() is false) where it can wait.
        bool bDeferFirstUpdate = false;
    };

    // One "Manifest" or "ManifestOverride" element of the directory, as read.
    struct Entry {
        std::string strTag;  // "Manifest" or "ManifestOverride"
        bool bHasName = false;
        std::string strName;  // attribute "name"
        bool bHasVersion = false;
        std::string strVersion;  // attribute "version": the manifest's version on the server
        bool bHasUrl = false;
        std::string strUrl;  // text of the only "URL" element below the entry
    };

    // Loads the directory of the application folder and its manifests; when
    // there is no usable directory file, updates at once (UpdateToNewVersion(true):
    // connection check, downloads, events - this blocks) unless
    // Config::bDeferFirstUpdate is set. pOwner may be null; it must outlive the
    // object.
    explicit mcManifestDir(IManifestDirOwner* pOwner);
    mcManifestDir(IManifestDirOwner* pOwner, Config config);
    // No operation may be running on another thread. Manifests still held by
    // callers live on.
    virtual ~mcManifestDir();
    mcManifestDir(const mcManifestDir&) = delete;
    mcManifestDir& operator=(const mcManifestDir&) = delete;

    // A directory is in force.
    bool IsLoaded() const;
    // The manifest of that name (exact comparison); null when no directory is
    // in force or the manifest is not loaded.
    std::shared_ptr<const mcComponentManifest> GetManifest(const std::string& strName) const;
    // "Interval" of the directory's document element in days; kDefaultInterval
    // when it is absent or not a 32-bit number, or no directory is in force.
    std::int32_t GetInterval() const;

    const std::string& GetAppFolder() const { return m_config.strAppFolder; }
    std::string GetDirectoryPath() const;
    std::string GetCandidatePath() const;

    // Brings directory and manifests up to date. Without bForce, only when
    // IsUpdateDue() (otherwise true at once). False when the connection check
    // fails (no event), the directory URL cannot be found or the directory
    // download fails; true otherwise, also when the downloaded directory was
    // unusable or could not be put in force (the failure event tells). Blocks
    // for the downloads; waits for an update already running. The names of the
    // manifests put in force (in order) are appended to *pvecReplaced when given.
    bool UpdateToNewVersion(bool bForce, std::vector<std::string>* pvecReplaced = nullptr);
    // Whether the last successful directory update ("LastDirUpdate", local date
    // month-day-year) lies GetInterval() days or more before now. Due when the
    // value is missing, empty, malformed, not a calendar date, or later than
    // today.
    bool IsUpdateDue() const;
    // Stores today's local date in "LastDirUpdate" ("%d-%d-%d": month, day,
    // year), creating the key when needed. False on a registry failure.
    bool SetLastDirUpdate();

    // Parses a directory file and puts it in force; when it does not load, logs
    // and leaves no directory in force.
    void LoadDirectory(const std::string& strPath);
    // Loads every listed manifest ("Manifest" entries, then overrides) from its
    // local file.
    void LoadManifests();
    // Loads name + "_Manifest.xml" and puts it in force; an entry of that name
    // stays when the file does not load. Nothing without a directory in force.
    void LoadManifest(const std::string& strName);
    // Updates every override entry, then every "Manifest" entry that no override
    // of the same name (exact comparison) replaces.
    void UpdateManifests(std::vector<std::string>* pvecReplaced = nullptr);
    // Downloads the entry's manifest unless the one in force is as new,
    // verifies it and puts it in force; sends the event and tells the owner. A
    // download whose own "version" is older than the one in force is refused
    // ("ManifestDownloadFailure"), whatever the directory's entry claims.
    void UpdateManifest(const Entry& entry, std::vector<std::string>* pvecReplaced = nullptr);

private:
    struct msDirectory {
        std::int32_t nInterval = kDefaultInterval;
        std::vector<Entry> vecManifests;  // document order
        std::vector<Entry> vecOverrides;  // document order
    };

    // Parses a directory file; null after logging when it does not load.
    std::shared_ptr<const msDirectory> PrvParseDirectory(const std::string& strPath) const;
    std::shared_ptr<const msDirectory> PrvDirectory() const;
    // The bodies of the update operations; the update mutex is held. Replaced
    // manifests are appended to vecReplaced.
    bool PrvUpdateToNewVersion(bool bForce, std::vector<std::string>& vecReplaced);
    void PrvUpdateManifests(std::vector<std::string>& vecReplaced);
    void PrvUpdateManifest(const Entry& entry, std::vector<std::string>& vecReplaced);
    // After an update has released the mutex: tells the owner and the caller.
    void PrvHandOver(const std::vector<std::string>& vecReplaced, std::vector<std::string>* pvecReplaced);
    // Finds the directory URL (cache, registry, redirect service). Update mutex held.
    bool PrvGetDirUrl(std::string& strOut);
    // GET with the update downloads' options and "Date: " header.
    bool PrvDownload(const std::string& strUrl, std::vector<std::uint8_t>& bytes,
                     std::uint64_t nMaxBytes = mcHttpTransactionOptions::kDefaultMaxBodyBytes);
    // Writes bytes to a candidate file, creating the application folder.
    bool PrvWriteCandidate(const std::string& strPath, const std::vector<std::uint8_t>& bytes) const;
    Clock::time_point PrvNow() const;
    std::shared_ptr<const msTrustPolicy> PrvTrustPolicy() const;
    void PrvLoadManifest(const std::string& strName, const std::shared_ptr<const msTrustPolicy>& pTrust);

    IManifestDirOwner* m_pOwner;
    Config m_config;

    // Serialises whole updates; guards m_strDirUrl.
    std::mutex m_updateMutex;
    // Directory URL once found; kept for the object's life.
    std::string m_strDirUrl;

    // Guards m_pDirectory and m_mapManifests, each held for one operation.
    mutable mnThread::ReadWriteLock m_lock;
    std::shared_ptr<const msDirectory> m_pDirectory;  // null: not loaded
    std::map<std::string, std::shared_ptr<const mcComponentManifest>> m_mapManifests;
};
