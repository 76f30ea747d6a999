#include "net/mcQoSEvent.h"

#include "base/StrUtils.h"
#include "base/mcCMLog.h"
#include "net/mcHttpFetcher.h"
#include "net/ServerHosts.h"
#include "net/mcCMUtilsNet.h"
#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"

namespace {
constexpr const char* kEventPath = "/qorb/ev/cm?";
constexpr const char* kLogSucceeded = "SendQoSEvent Succeeded : ";
constexpr const char* kLogFailed = "SendQoSEvent Failed : ";
constexpr const char* kLogDisabled = "SendQoSEvent Disabled : ";
}  // namespace

bool mfQoSEventsEnabled() {
    try {
        if (!core::registry::RegistryKey::ValueExists(mcCMUtils::kRegistryRoot, mcCMUtils::kRegistryKey,
                                                      core::registry::KEY_READ, kQoSSendEventsValue)) {
            return true;
        }
        core::registry::RegistryKey key(mcCMUtils::kRegistryRoot, mcCMUtils::kRegistryKey,
                                        core::registry::KEY_READ);
        return key.GetValueDWord(kQoSSendEventsValue) != 0;
    } catch (...) {
        return true;
    }
}

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
    if (!mfQoSEventsEnabled()) {
        try {
            mfCMLog(kLogDisabled + mfQoSEventQuery(event, std::string(), false));
        } catch (...) {
        }
        return false;
    }
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
