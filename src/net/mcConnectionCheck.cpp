#include "net/mcConnectionCheck.h"

#include <arpa/inet.h>

#include <bit>
#include <vector>

#include "base/mcDiagTrace.h"
#include "base/mcExc.h"
#include "registry/mcSettingsRegImpl.h"
#include "net/ARPTable.h"
#include "net/Adapter.h"
#include "net/AdapterTable.h"
#include "net/HttpGet.h"
#include "net/ServerHosts.h"
#include "net/SystemProbeSource.h"

namespace {

constexpr const char* kCcEntering = "ConnectionCheck() -- entering";
constexpr const char* kCcRegistryValue = "ConnectionCheck() -- registry value ";
constexpr const char* kCcOutOfBounds =
    "ConnectionCheck() -- registry algorithm out of bounds, using default";
constexpr const char* kCcSetting = "ConnectionCheck() -- setting algorithm to registry value ";
constexpr const char* kCcCalling = "ConnectionCheck() -- calling ConnectionCheck() with ";
constexpr const char* kCcNotFound = "ConnectionCheck() -- algorithm not found";
constexpr const char* kCcExiting = "ConnectionCheck() -- exiting with return value ";

constexpr const char* kAdaptersPrefix = "ConnectionCheckAlgorithmAdaptersOrModem() -- ";
constexpr const char* kArpPrefix = "ConnectionCheckAlgorithmArpEntriesOrModem() -- ";
constexpr const char* kHasAdaptersReturned = "HasConnectedAdapters() returned ";
constexpr const char* kHasArpReturned = "HasDynamicARPEntries() returned ";
constexpr const char* kStateReturned = "ConnectionStateConnected() returned ";

constexpr const char* kHttpEntering = "CanConnectToServerUsingHTTP() -- entering";
constexpr const char* kHttpRegistryValue = "CanConnectToServerUsingHTTP() -- registry value ";
constexpr const char* kHttpTimeout =
    "CanConnectToServerUsingHTTP() -- server connection timeout (ms)=";
constexpr const char* kHttpState = "CanConnectToServerUsingHTTP() -- ConnectionStateConnected()=";
constexpr const char* kHttpCallingServer =
    "CanConnectToServerUsingHTTP() -- calling CanConnectToTavrolinServerUsingHTTP()";
constexpr const char* kHttpCallingPing =
    "CanConnectToServerUsingHTTP() -- calling CanConnectToDefaultGatewayUsingPing()";
constexpr const char* kHttpError = "CanConnectToServerUsingHTTP() -- ***error:  caught exception!";
constexpr const char* kHttpExiting = "CanConnectToServerUsingHTTP() -- exiting with return value ";

constexpr const char* kServerEntering = "CanConnectToTavrolinServerUsingHTTP(";
constexpr const char* kServerEnteringEnd = ") -- entering";
constexpr const char* kServerCalling =
    "CanConnectToTavrolinServerUsingHTTP() -- calling PerformHttpGetString()";
constexpr const char* kServerReturned =
    "CanConnectToTavrolinServerUsingHTTP() -- PerformHttpGetString() returned ";
constexpr const char* kServerStatus = "  HTTP Status: ";
constexpr const char* kServerError =
    "CanConnectToTavrolinServerUsingHTTP() -- ***error:  caught exception!";
constexpr const char* kServerExiting =
    "CanConnectToTavrolinServerUsingHTTP() -- exiting with return value ";

constexpr const char* kPingEntering = "CanConnectToDefaultGatewayUsingPing(";
constexpr const char* kPingEnteringEnd = ") -- entering";
constexpr const char* kPingNoGateway =
    "CanConnectToDefaultGatewayUsingPing() -- default gateway not valid";
constexpr const char* kPingArpReturned =
    "CanConnectToDefaultGatewayUsingPing() -- xARPTable.HasDynamicEntries() returned ";
constexpr const char* kPingArpError =
    "CanConnectToDefaultGatewayUsingPing() -- ***error:  caught exception constructing ARP table";
constexpr const char* kPingReturned = "CanConnectToDefaultGatewayUsingPing() -- ICMP::Ping() returned";
constexpr const char* kPingError =
    "CanConnectToDefaultGatewayUsingPing() -- ***error:  caught exception!";
constexpr const char* kPingExiting =
    "CanConnectToDefaultGatewayUsingPing() -- exiting with return value ";

constexpr const char* kGatewayEntering = "DefaultGateway() -- entering";
constexpr const char* kGatewayError = "DefaultGateway() -- ***error:  caught exception!";
constexpr const char* kGatewayExiting = "DefaultGateway() -- exiting with return value ";

constexpr const char* kAdaptersError = "HasConnectedAdapters() -- ***error:  caught exception!";
constexpr const char* kArpError = "HasDynamicARPEntries() -- ***error:  caught exception!";

constexpr const char* kCheckAgent = "qorb";

std::string PrvBool(bool b) { return b ? "1" : "0"; }

std::string PrvSettingPath(const char* pszName) {
    return std::string(mcConnectionCheck::kSettingsPath) + pszName;
}

// Reads a setting that exists; false when it does not exist or cannot be read.
bool PrvReadSetting(const std::string& strPath, std::uint32_t& dwValue) {
    if (!mcSettingsRegImpl::SettingExists(strPath)) return false;
    try {
        dwValue = static_cast<std::uint32_t>(mcSettingsRegImpl::ValueInt32(strPath));
        return true;
    } catch (const mcExc&) {
        return false;
    }
}

bool PrvIsModemInterface(const std::string& strName) {
    return strName.rfind("ppp", 0) == 0 || strName.rfind("wwan", 0) == 0;
}

}  // namespace

mcConnectionCheck::mcConnectionCheck() : mcConnectionCheck(Config()) {}

mcConnectionCheck::mcConnectionCheck(Config config) : m_config(std::move(config)) {
    m_pProbes = m_config.pProbes;
    if (!m_pProbes) m_pProbes = m_pOwnedProbes = new netutils::SystemProbeSource();
}

mcConnectionCheck::~mcConnectionCheck() { delete m_pOwnedProbes; }

void mcConnectionCheck::PrvTrace(const std::string& strLine) {
    if (m_config.fnTrace)
        m_config.fnTrace(strLine);
    else
        mcDiagTrace::InternetConnection().Send(strLine);
}

std::string mcConnectionCheck::CheckUrl() const {
    if (!m_config.strCheckUrl.empty()) return m_config.strCheckUrl;
    return "http://" + mfGetServerHost(kConnectionCheckServerValue) + kCheckPath;
}

std::string mcConnectionCheck::FormatAddress(std::uint32_t dwAddress) {
    in_addr addr{};
    addr.s_addr = dwAddress;
    char szText[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &addr, szText, sizeof szText)) return "255.255.255.255";
    return szText;
}

bool mcConnectionCheck::ConnectionCheck() {
    PrvTrace(kCcEntering);
    std::uint32_t dwAlgorithm = kDefaultAlgorithm;
    const std::string strPath = PrvSettingPath(kAlgorithmSetting);
    std::uint32_t dwValue = 0;
    if (PrvReadSetting(strPath, dwValue)) {
        PrvTrace(kCcRegistryValue + strPath + "=" + std::to_string(dwValue));
        if (dwValue > kMaxAlgorithm) {
            PrvTrace(kCcOutOfBounds);
        } else {
            PrvTrace(kCcSetting + std::to_string(dwValue));
            dwAlgorithm = dwValue;
        }
    }
    PrvTrace(kCcCalling + std::to_string(dwAlgorithm));
    bool bResult = PrvRunAlgorithm(dwAlgorithm);
    PrvTrace(kCcExiting + PrvBool(bResult));
    return bResult;
}

bool mcConnectionCheck::PrvRunAlgorithm(std::uint32_t dwAlgorithm) {
    PrvTrace("ConnectionCheck(" + std::to_string(dwAlgorithm) + ") -- entering");
    bool bResult = true;
    switch (dwAlgorithm) {
    case 0:
        bResult = ConnectionCheckAlgorithmAlwaysTrue();
        break;
    case 1:
        bResult = ConnectionCheckAlgorithmConnectionState();
        break;
    case 2:
        bResult = ConnectionCheckAlgorithmServerHttpCheck();
        break;
    case 3:
        bResult = ConnectionCheckAlgorithmAdaptersOrModem();
        break;
    case 4:
        bResult = ConnectionCheckAlgorithmArpEntriesOrModem();
        break;
    default:
        PrvTrace(kCcNotFound);
        bResult = true;
        break;
    }
    PrvTrace(kCcExiting + PrvBool(bResult));
    return bResult;
}

bool mcConnectionCheck::ConnectionCheckAlgorithmAlwaysTrue() { return true; }

bool mcConnectionCheck::ConnectionCheckAlgorithmConnectionState() { return ConnectionStateConnected(); }

bool mcConnectionCheck::ConnectionCheckAlgorithmServerHttpCheck() { return CanConnectToServerUsingHTTP(); }

bool mcConnectionCheck::ConnectionCheckAlgorithmAdaptersOrModem() {
    bool bAdapters = HasConnectedAdapters();
    bool bConnected = ConnectionStateConnected();
    bool bModem = (ConnectionStateFlags() & kConnectionModem) != 0;
    PrvTrace(std::string(kAdaptersPrefix) + kHasAdaptersReturned + PrvBool(bAdapters));
    PrvTrace(std::string(kAdaptersPrefix) + kStateReturned + PrvBool(bConnected));
    PrvTrace(std::string(kAdaptersPrefix) + kHasAdaptersReturned + PrvBool(bModem));
    return bAdapters || (bConnected && bModem);
}

bool mcConnectionCheck::ConnectionCheckAlgorithmArpEntriesOrModem() {
    bool bArp = HasDynamicARPEntries();
    bool bConnected = ConnectionStateConnected();
    bool bModem = (ConnectionStateFlags() & kConnectionModem) != 0;
    PrvTrace(std::string(kArpPrefix) + kHasArpReturned + PrvBool(bArp));
    PrvTrace(std::string(kArpPrefix) + kStateReturned + PrvBool(bConnected));
    PrvTrace(std::string(kArpPrefix) + kHasAdaptersReturned + PrvBool(bModem));
    return bArp || (bConnected && bModem);
}

bool mcConnectionCheck::CanConnectToServerUsingHTTP() {
    PrvTrace(kHttpEntering);
    bool bResult = false;
    try {
        const std::string strEnabledPath = PrvSettingPath(kPingEnabledSetting);
        std::uint32_t dwEnabled = 1;
        if (PrvReadSetting(strEnabledPath, dwEnabled)) {
            PrvTrace(kHttpRegistryValue + strEnabledPath + "=" + std::to_string(dwEnabled));
            if (dwEnabled == 0) {
                PrvTrace(kHttpExiting + PrvBool(true));
                return true;
            }
        }
        std::uint32_t dwTimeout = kDefaultServerTimeout;
        if (!PrvReadSetting(PrvSettingPath(kPingTimeoutSetting), dwTimeout))
            dwTimeout = kDefaultServerTimeout;
        if (dwTimeout < kMinServerTimeout) dwTimeout = kMinServerTimeout;
        PrvTrace(kHttpTimeout + std::to_string(dwTimeout));

        bool bConnected = ConnectionStateConnected();
        PrvTrace(kHttpState + PrvBool(bConnected));
        if (bConnected) {
            PrvTrace(kHttpCallingServer);
            bResult = CanConnectToTavrolinServerUsingHTTP(dwTimeout);
        } else {
            PrvTrace(kHttpCallingPing);
            bResult = CanConnectToDefaultGatewayUsingPing(kGatewayPingTimeout);
        }
    } catch (const mcExc&) {
        PrvTrace(kHttpError);
        bResult = false;
    }
    PrvTrace(kHttpExiting + PrvBool(bResult));
    return bResult;
}

bool mcConnectionCheck::CanConnectToTavrolinServerUsingHTTP(std::uint32_t dwTimeout) {
    PrvTrace(kServerEntering + std::to_string(dwTimeout) + kServerEnteringEnd);
    bool bResult = false;
    try {
        mcHttpTransactionOptions options;
        options.dwConnectTimeout = options.dwOpenTimeout = options.dwTransferTimeout = dwTimeout;
        options.strAgent = kCheckAgent;
        options.dwRequestFlags = mcHttpTransactionOptions::kDefaultFlags;
        PrvTrace(kServerCalling);
        std::string strResponse;
        mcHttpResult result;
        bResult = m_config.pFetcher
                      ? m_config.pFetcher->GetString(CheckUrl(), &strResponse, &options, &result)
                      : PerformHttpGetString(CheckUrl(), &strResponse, &options, &result);
        PrvTrace(kServerReturned + PrvBool(bResult) + kServerStatus + std::to_string(result.dwHttpStatus));
    } catch (const mcExc&) {
        PrvTrace(kServerError);
        bResult = false;
    }
    PrvTrace(kServerExiting + PrvBool(bResult));
    return bResult;
}

bool mcConnectionCheck::CanConnectToDefaultGatewayUsingPing(std::uint32_t dwTimeout) {
    PrvTrace(kPingEntering + std::to_string(dwTimeout) + kPingEnteringEnd);
    bool bResult = false;
    try {
        std::uint32_t dwGateway = DefaultGateway();
        if (dwGateway == kInvalidAddress) {
            // This early way out has no exit line.
            PrvTrace(kPingNoGateway);
            return false;
        }
        try {
            netutils::ARPTable table(*m_pProbes);
            bResult = table.HasDynamicEntries();
            PrvTrace(kPingArpReturned + PrvBool(bResult));
        } catch (const mcExc&) {
            PrvTrace(kPingArpError);
            bResult = false;
        }
        if (!bResult) {
            bResult = m_pProbes->Ping(dwGateway, dwTimeout, kPingSize);
            PrvTrace(kPingReturned + PrvBool(bResult));
        }
    } catch (const mcExc&) {
        PrvTrace(kPingError);
        bResult = false;
    }
    PrvTrace(kPingExiting + PrvBool(bResult));
    return bResult;
}

bool mcConnectionCheck::GetConnectedState(std::uint32_t& dwFlags) {
    dwFlags = m_pProbes->ProxyEnabled() ? kConnectionProxy : 0;
    std::vector<netutils::InterfaceInfo> vecInterfaces;
    if (!m_pProbes->ReadInterfaces(vecInterfaces)) return false;
    auto usable = [&](const std::string& strName) {
        for (const auto& info : vecInterfaces) {
            if (info.strName == strName)
                return info.bUp && info.bRunning && !info.bLoopback && info.bHasAddress;
        }
        return false;
    };
    const netutils::RouteInfo* pBest = nullptr;
    std::vector<netutils::RouteInfo> vecRoutes;
    if (m_pProbes->ReadRoutes(vecRoutes)) {
        for (const auto& route : vecRoutes) {
            if (route.dwDestination != 0 || route.dwMask != 0) continue;
            if (!(route.dwFlags & netutils::RouteInfo::kFlagUp) ||
                (route.dwFlags & netutils::RouteInfo::kFlagReject))
                continue;
            if (!usable(route.strInterface)) continue;
            if (!pBest || route.dwMetric < pBest->dwMetric) pBest = &route;
        }
    }
    std::vector<netutils::RouteInfo> vecRoutes6;
    if (!pBest && m_pProbes->ReadIpv6DefaultRoutes(vecRoutes6)) {
        for (const auto& route : vecRoutes6) {
            if (!usable(route.strInterface)) continue;
            if (!pBest || route.dwMetric < pBest->dwMetric) pBest = &route;
        }
    }
    if (!pBest) return false;
    dwFlags |= PrvIsModemInterface(pBest->strInterface) ? kConnectionModem : kConnectionLan;
    return true;
}

bool mcConnectionCheck::ConnectionStateConnected() {
    std::uint32_t dwFlags = 0;
    return GetConnectedState(dwFlags);
}

std::uint32_t mcConnectionCheck::ConnectionStateFlags() {
    std::uint32_t dwFlags = 0;
    GetConnectedState(dwFlags);
    return dwFlags;
}

bool mcConnectionCheck::HasConnectedAdapters() {
    try {
        netutils::AdapterTable table(*m_pProbes);
        for (const std::string& strName : table.Names()) {
            netutils::Adapter adapter(*m_pProbes, strName);
            try {
                if (adapter.MediaConnectStatus() == netutils::Adapter::kMediaConnected) return true;
            } catch (const netutils::Adapter::Exception&) {
                // This adapter cannot tell: it counts as not connected.
            }
        }
    } catch (const netutils::Exception&) {
        // The adapter list itself could not be read: no connected adapter.
        PrvTrace(kAdaptersError);
    }
    return false;
}

bool mcConnectionCheck::HasDynamicARPEntries() {
    try {
        netutils::ARPTable table(*m_pProbes);
        return table.HasDynamicEntries();
    } catch (const netutils::ARPTable::Exception&) {
        PrvTrace(kArpError);
        return false;
    }
}

std::uint32_t mcConnectionCheck::DefaultGateway() {
    PrvTrace(kGatewayEntering);
    std::uint32_t dwGateway = kInvalidAddress;
    try {
        std::vector<netutils::RouteInfo> vecRoutes;
        if (m_pProbes->ReadRoutes(vecRoutes)) {
            // The best route to 0.0.0.0: the longest matching prefix, then the
            // lowest metric.
            const netutils::RouteInfo* pBest = nullptr;
            for (const auto& route : vecRoutes) {
                if (!(route.dwFlags & netutils::RouteInfo::kFlagUp) ||
                    (route.dwFlags & netutils::RouteInfo::kFlagReject))
                    continue;
                if ((route.dwDestination & route.dwMask) != 0) continue;
                if (!pBest) {
                    pBest = &route;
                    continue;
                }
                int nBits = std::popcount(route.dwMask), nBestBits = std::popcount(pBest->dwMask);
                if (nBits > nBestBits || (nBits == nBestBits && route.dwMetric < pBest->dwMetric))
                    pBest = &route;
            }
            // Only a default route names a gateway; one without a next hop
            // (0.0.0.0) has none to ping.
            if (pBest && pBest->dwDestination == 0 && pBest->dwMask == 0 && pBest->dwGateway != 0)
                dwGateway = pBest->dwGateway;
        }
    } catch (const mcExc&) {
        PrvTrace(kGatewayError);
    }
    PrvTrace(kGatewayExiting + FormatAddress(dwGateway));
    return dwGateway;
}

bool ConnectionCheck(IHttpFetcher* pFetcher) {
    try {
        mcConnectionCheck::Config config;
        config.pFetcher = pFetcher;
        mcConnectionCheck check(std::move(config));
        return check.ConnectionCheck();
    } catch (const std::bad_alloc&) {
        return false;
    }
}
