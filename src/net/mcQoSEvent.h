#pragma once
// Quality-of-service events: one HTTP GET to the event server per download,
// install or manifest outcome. Nothing depends on the answer; the outcome is
// logged and returned.
#include <string>

#include "net/IHttpFetcher.h"

// The five values of one event (UTF-8 text, sent URL-encoded).
struct mcQoSEvent {
    std::string strEvent;             // "Event": e.g. "DownloadSuccess"
    std::string strClient;            // "client": client name, "CM" for our own downloads
    std::string strComponent;         // "Component": component or manifest file name
    std::string strComponentVersion;  // "ComponentVer": "" when none
    std::string strAdditionalInfo;    // "AddInfo": error text on failure, else ""
};

inline constexpr const char* kQoSSendEventsValue = "SendEvents";

// Event names.
inline constexpr const char* kQoSManifestDownloadSuccess = "ManifestDownloadSuccess";
inline constexpr const char* kQoSManifestDownloadFailure = "ManifestDownloadFailure";
inline constexpr const char* kQoSDownloadSuccess = "DownloadSuccess";
inline constexpr const char* kQoSDownloadFailure = "DownloadFailure";
inline constexpr const char* kQoSInstallSuccess = "InstallSuccess";
inline constexpr const char* kQoSInstallFailure = "InstallFailure";
// The client name of the component manager's own events.
inline constexpr const char* kQoSClientCM = "CM";

// Sends event to "http://" + registry value "EventServer" + "/qorb/ev/cm?" with
// the five values and mcCMUtils::GetRequestParams(), default HTTP options, body
// not read. Logs "SendQoSEvent Succeeded : " or "SendQoSEvent Failed : "
// followed by the values unencoded. True when the request succeeded. Blocks
// the calling thread for the request (up to the default time-outs); any
// thread; never throws. A failed event is not retried or kept.
// The DWORD "SendEvents" = 0 under the component manager's key turns events
// off: nothing is sent, "SendQoSEvent Disabled : " + the values is logged and
// the result is false. Absent (or unreadable): on.
bool SendQoSEvent(const mcQoSEvent& event);
// The same through fetcher (which must outlive the call).
bool SendQoSEvent(const mcQoSEvent& event, IHttpFetcher& fetcher);

// Whether event reports are on ("SendEvents" absent or not 0). Any thread.
bool mfQoSEventsEnabled();

// The query string SendQoSEvent sends (after "?"), given the request
// parameters; bEncode false gives the unencoded log form.
std::string mfQoSEventQuery(const mcQoSEvent& event, const std::string& strRequestParams, bool bEncode);
