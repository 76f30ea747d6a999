#include "net/mcQoSEvent.h"

#include "base/StrUtils.h"
#include "base/mcCMLog.h"
#include "net/mcHttpFetcher.h"
#include "net/ServerHosts.h"
#include "net/mcCMUtilsNet.h"

namespace {
constexpr const char* kEventPath = "/qorb/ev/cm?";
constexpr const char* kLogSucceeded = "SendQoSEvent Succeeded : ";
constexpr const char* kLogFailed = "SendQoSEvent Failed : ";
}  // namespace

std::string mfQoSEventQuery(const mcQoSEvent& event, const std::string& strRequestParams, bool bEncode) {
    auto enc = [bEncode](const std::string& s) { return bEncode ? mfUrlEncode(s, false) : s; };
    return "Event=" + enc(event.strEvent) + "&client=" + enc(event.strClient) +
           "&Component=" + enc(event.strComponent) + "&ComponentVer=" + enc(event.strComponentVersion) +
           "&AddInfo=" + enc(event.strAdditionalInfo) + "&" + strRequestParams;
}

bool SendQoSEvent(const mcQoSEvent& event) { return SendQoSEvent(event, *mcHttpFetcher::Shared()); }

bool SendQoSEvent(const mcQoSEvent& event, IHttpFetcher& fetcher) {
    bool bOk = false;
    std::string strLogText;
    try {
        const std::string strParams = mcCMUtils::GetRequestParams();
        strLogText = mfQoSEventQuery(event, strParams, false);
        const std::string strUrl =
            "http://" + mfGetServerHost(kEventServerValue) + kEventPath + mfQoSEventQuery(event, strParams, true);
        mcHttpTransactionOptions options;
        bOk = fetcher.GetString(strUrl, nullptr, &options, nullptr, nullptr);
    } catch (...) {
        bOk = false;
    }
    try {
        mfCMLog((bOk ? kLogSucceeded : kLogFailed) + strLogText);
    } catch (...) {
        // Logging never disturbs the caller.
    }
    return bOk;
}
