#include "net/mcCMUtilsNet.h"

#include "base/OsDependent.h"
#include "base/StrUtils.h"
#include "registry/mcCMUtils.h"
#include "net/SystemProbeSource.h"
#include "net/mcConnectionCheck.h"

namespace mcCMUtils {

std::string GetConnectionType(netutils::ProbeSource& probes) {
    try {
        mcConnectionCheck::Config config;
        config.pProbes = &probes;
        config.fnTrace = [](const std::string&) {};
        mcConnectionCheck check(config);
        std::uint32_t dwFlags = 0;
        if (!check.GetConnectedState(dwFlags)) return std::string();
        bool bProxy = (dwFlags & mcConnectionCheck::kConnectionProxy) != 0;
        if (dwFlags & mcConnectionCheck::kConnectionLan) return bProxy ? kConnectionLanProxy : kConnectionLan;
        if (dwFlags & mcConnectionCheck::kConnectionModem)
            return bProxy ? kConnectionModemProxy : kConnectionModem;
    } catch (...) {
        // Never fails: any other state is "".
    }
    return std::string();
}

std::string GetConnectionType() {
    netutils::SystemProbeSource probes;
    return GetConnectionType(probes);
}

std::string GetRequestParams(netutils::ProbeSource& probes) {
    return "CMVersion=" + mfUrlEncode(GetVersion(), false) + "&Uid=" + mfUrlEncode(GetZRUID(), false) +
           "&Connection=" + mfUrlEncode(GetConnectionType(probes), false) +
           "&OSVersion=" + mfUrlEncode(mfGetOSShortName(), false);
}

std::string GetRequestParams() {
    netutils::SystemProbeSource probes;
    return GetRequestParams(probes);
}

}  // namespace mcCMUtils
