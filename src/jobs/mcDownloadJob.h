#pragma once
// Downloads one component package over HTTP into the component's folder of
// the holding area, records the "downloaded" state in the configuration
// store, reports a "DownloadSuccess" or "DownloadFailure" event and tells the
// client (or, for install-after-download, hands the component to the install
// path through IComponentMgrInstaller::ForceStartInstall).
//
// Made on the main thread by the start-download operation and handed to the
// download engine, which runs it once on its worker thread (Run) and deletes
// it afterwards. The cancel operation reaches the running job through
// mcComponentMgrJobQueueEngine::WithCurrentJob and calls Cancel().
//
// The package is written to "<holding area>/<component>/<file>.part" and
// renamed onto "<file>" only after the whole body arrived, matched the
// expected SHA-256 (when one is given) and was synced to disk, so a crash,
// a cut connection or a cancel never leaves a partial package under the
// package's own name. "<file>" is PackageFileNameFromUrl(URL).
//
// Failures are reported, never thrown (apart from std::bad_alloc): each ends
// in one of the error texts below, written to the log, sent as the
// "DownloadFailure" event's additional information and followed by the
// client's OnDownloadFailed. Store failures are logged by the store and do not
// change the outcome.
#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

#include "jobs/mcComponentMgrJob.h"

class HttpDLHelper;
class IComponentMgrInstaller;
class mcClientCallbackSender;
struct mcQoSEvent;

class mcDownloadJob : public mcComponentMgrJob {
public:
    // Sends one event; true when it was delivered. The default is the
    // service's event sender (SendQoSEvent). Called on the worker thread.
    using EventSender = std::function<bool(const mcQoSEvent& event)>;

    // Outside effects, for the service's defaults to be replaced (tests).
    struct Settings {
        // Where packages go; empty: the store's holding area, or
        // mcCMUtils::GetHoldingArea() when there is no store.
        std::string strHoldingArea;
        // Empty: DefaultEventSender().
        EventSender fnSendEvent;
    };

    // Bytes read and written per portion; progress is reported once per portion.
    static constexpr std::size_t kPortionBytes = 32384;
    // Size assumed for progress when the response has no usable Content-Length.
    static constexpr long long kDefaultExpectedSize = 4194304;
    static constexpr const char* kPartSuffix = ".part";
    // The registry DWORD (component manager's key) that, when not 0, asks the
    // start operations to refuse packages without an expected hash.
    static constexpr const char* kRequirePackageHashValue = "RequirePackageHash";

    // Error texts (followed by the URL or the package path where noted).
    static constexpr const char* kErrOpenAndSendRequest =
        "PrvDoDownload : OpenAndSendRequest failed with URL ";                           // + URL
    static constexpr const char* kErrOpenFile = "PrvDoDownload : OpenFile failed ";      // + path
    static constexpr const char* kErrForceAbort = "PrvDoDownload : m_bForceAbort set to true";
    static constexpr const char* kErrReadPortion =
        "PrvDoDownload : HttpDLHelper.ReadResponsePortion failed";
    static constexpr const char* kErrWriteToFile = "PrvDoDownload : WriteToFile failed ";  // + path
    static constexpr const char* kErrHashMismatch =
        "PrvDoDownload : package hash mismatch ";                                        // + path
    static constexpr const char* kErrInvalidFileName =
        "PrvDoDownload : invalid package file name ";                                    // + URL
    static constexpr const char* kLogContentLengthMissing =
        "PrvDoDownload : Content-length header missing";
    static constexpr const char* kLogForceStartInstallFailed =
        "mcDownloadJob::Run : ForceStartInstall failed ";                                // + hex

    // Made by the start operation on the main thread.
    //   pComponentConfig  the store (not owned; null: no store calls and no event)
    //   callback          the client's callback object (may be empty)
    //   strUrl            where the package is fetched from (the manifest's update URL)
    //   strVersion        the version being downloaded (recorded with "downloaded")
    //   bInstallAfterDownload  on success call pInstaller->ForceStartInstall
    //                     instead of the client's OnDownloadComplete
    //   pInstaller        the component manager object (not owned; may be null)
    //   strExpectedSha256 the package's SHA-256 as 64 hex digits (either case),
    //                     from the manifest; empty: not checked. Any other text
    //                     fails every download with the hash-mismatch text.
    // The client name is kept as given (an empty one is not replaced).
    mcDownloadJob(mcComponentConfig* pComponentConfig, mcClientCallback callback, std::string strUrl,
                  std::string strClientName, std::string strManifestName, std::string strComponentName,
                  std::string strVersion, bool bInstallAfterDownload, IComponentMgrInstaller* pInstaller,
                  std::string strExpectedSha256 = std::string(), Settings settings = Settings());
    ~mcDownloadJob() override;

    // The whole job, on the download engine's worker thread. Always true.
    bool Run() override;

    // Cancels the download: sets m_bForceAbort and ends the transfer's current
    // wait, so a running job ends within moments (a stalled server included)
    // and reports "PrvDoDownload : m_bForceAbort set to true". A job not yet
    // running is cancelled as soon as it starts. Any thread; short; never
    // blocks on the network; safe inside WithCurrentJob.
    void Cancel();
    bool IsForceAbortSet() const { return m_bForceAbort.load(); }

    const std::string& GetUrl() const { return m_strUrl; }
    const std::string& GetVersion() const { return m_strVersion; }
    bool GetInstallAfterDownload() const { return m_bInstallAfterDownload; }
    const std::string& GetExpectedSha256() const { return m_strExpectedSha256; }

    // The package's file name for a download URL: the last "/"-separated
    // segment of the URL's path (query and fragment left out). Empty when the
    // URL has no such segment; the caller must still check it with
    // mfIsSafeFileName ("." and ".." come back as they are). The install job
    // finds the package under the same name.
    static std::string PackageFileNameFromUrl(const std::string& strUrl);

    // The service's event sender; the one place that knows its signature.
    static bool DefaultEventSender(const mcQoSEvent& event);

    // Whether the registry asks for packages with an expected hash only: the
    // DWORD kRequirePackageHashValue under the component manager's key is
    // present and not 0. A missing key or value gives false; a value of
    // another type, or a registry that cannot be read, gives true (logged
    // "mcDownloadJob::IsPackageHashRequired : " + the error). Any thread.
    static bool IsPackageHashRequired();

private:
    // The transfer itself; false with strError set on any failure.
    bool PrvDoDownload(mcClientCallbackSender& sender, std::string& strError);
    // True when m_bForceAbort is set: clears it and replaces strError with
    // kErrForceAbort (a transfer step that failed because of the cancel is
    // reported as the cancel).
    bool PrvTakeForceAbort(std::string& strError);
    std::string PrvHoldingArea() const;

    std::atomic<bool> m_bForceAbort{false};
    const std::string m_strUrl;
    const std::string m_strVersion;
    const bool m_bInstallAfterDownload;
    IComponentMgrInstaller* const m_pInstaller;  // not owned
    const std::string m_strExpectedSha256;      // lower case as given; empty: none
    const Settings m_settings;
    // The helper of the running transfer, for Cancel(); null outside it.
    std::mutex m_mutexHelper;
    HttpDLHelper* m_pActiveHelper = nullptr;
};
