#include "net/SystemProbeSource.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "net/HttpProxy.h"
#include "net/ICMP.h"

namespace netutils {

namespace {
constexpr unsigned long kArpFlagComplete = 0x02;   // ATF_COM
constexpr unsigned long kArpFlagPermanent = 0x04;  // ATF_PERM
constexpr unsigned long kIfFlagLoopback = 0x08;    // IFF_LOOPBACK

bool PrvParseHex(const std::string& strText, unsigned long& nValue) {
    if (strText.empty()) return false;
    char* pEnd = nullptr;
    errno = 0;
    nValue = std::strtoul(strText.c_str(), &pEnd, 16);
    return errno == 0 && pEnd && *pEnd == '\0';
}

// Lines of a table file after its header line; false when it cannot be opened
// (bOpened false) or read.
bool PrvReadLines(const std::string& strPath, std::vector<std::string>& vecLines, bool& bOpened,
                  bool bSkipHeader) {
    std::ifstream in(strPath);
    bOpened = in.is_open();
    if (!bOpened) return false;
    std::string strLine;
    bool bFirst = bSkipHeader;
    while (std::getline(in, strLine)) {
        if (bFirst) {
            bFirst = false;
            continue;
        }
        vecLines.push_back(strLine);
    }
    return !in.bad();
}

std::vector<std::string> PrvFields(const std::string& strLine) {
    std::istringstream in(strLine);
    std::vector<std::string> vecFields;
    std::string strField;
    while (in >> strField) vecFields.push_back(strField);
    return vecFields;
}

bool PrvReadFirstLine(const std::string& strPath, std::string& strLine, bool& bOpened) {
    std::ifstream in(strPath);
    bOpened = in.is_open();
    if (!bOpened) return false;
    if (!std::getline(in, strLine)) return false;
    return true;
}
}  // namespace

std::string SystemProbeSource::PrvPath(const std::string& strRelative) const {
    std::string strPath = m_strRoot;
    if (strPath.empty() || strPath.back() != '/') strPath += '/';
    return strPath + strRelative;
}

bool SystemProbeSource::ReadInterfaces(std::vector<InterfaceInfo>& vecInterfaces) {
    ifaddrs* pList = nullptr;
    if (::getifaddrs(&pList) != 0) return false;
    std::map<std::string, InterfaceInfo> mapByName;
    for (ifaddrs* p = pList; p; p = p->ifa_next) {
        if (!p->ifa_name) continue;
        InterfaceInfo& info = mapByName[p->ifa_name];
        info.strName = p->ifa_name;
        info.bUp = info.bUp || (p->ifa_flags & IFF_UP);
        info.bRunning = info.bRunning || (p->ifa_flags & IFF_RUNNING);
        info.bLoopback = info.bLoopback || (p->ifa_flags & IFF_LOOPBACK);
        if (!p->ifa_addr) continue;
        if (p->ifa_addr->sa_family == AF_INET) {
            info.bHasAddress = true;
        } else if (p->ifa_addr->sa_family == AF_INET6) {
            const auto* pAddr = reinterpret_cast<const sockaddr_in6*>(p->ifa_addr);
            const in6_addr& a = pAddr->sin6_addr;
            bool bLinkLocal = a.s6_addr[0] == 0xFE && (a.s6_addr[1] & 0xC0) == 0x80;
            if (!bLinkLocal && !IN6_IS_ADDR_LOOPBACK(&a)) info.bHasAddress = true;
        }
    }
    ::freeifaddrs(pList);
    for (auto& [strName, info] : mapByName) vecInterfaces.push_back(info);
    return true;
}

bool SystemProbeSource::ReadRoutes(std::vector<RouteInfo>& vecRoutes) {
    // Iface Destination Gateway Flags RefCnt Use Metric Mask MTU Window IRTT;
    // addresses printed as the hexadecimal value of the network-order word.
    std::vector<std::string> vecLines;
    bool bOpened = false;
    if (!PrvReadLines(PrvPath("proc/net/route"), vecLines, bOpened, true)) return false;
    for (const std::string& strLine : vecLines) {
        std::vector<std::string> f = PrvFields(strLine);
        if (f.size() < 8) continue;
        unsigned long nDest, nGateway, nFlags, nMetric, nMask;
        if (!PrvParseHex(f[1], nDest) || !PrvParseHex(f[2], nGateway) || !PrvParseHex(f[3], nFlags) ||
            !PrvParseHex(f[7], nMask))
            continue;
        char* pEnd = nullptr;
        nMetric = std::strtoul(f[6].c_str(), &pEnd, 10);
        RouteInfo route;
        route.strInterface = f[0];
        route.dwDestination = static_cast<std::uint32_t>(nDest);
        route.dwGateway = static_cast<std::uint32_t>(nGateway);
        route.dwFlags = static_cast<std::uint32_t>(nFlags);
        route.dwMetric = static_cast<std::uint32_t>(nMetric);
        route.dwMask = static_cast<std::uint32_t>(nMask);
        vecRoutes.push_back(route);
    }
    return true;
}

bool SystemProbeSource::ReadIpv6DefaultRoutes(std::vector<RouteInfo>& vecRoutes) {
    // dest plen src plen next-hop metric refcnt use flags device
    std::vector<std::string> vecLines;
    bool bOpened = false;
    if (!PrvReadLines(PrvPath("proc/net/ipv6_route"), vecLines, bOpened, false)) {
        // A kernel without IPv6 has no such file: no IPv6 default route.
        return !bOpened;
    }
    for (const std::string& strLine : vecLines) {
        std::vector<std::string> f = PrvFields(strLine);
        if (f.size() < 10) continue;
        if (f[0] != std::string(32, '0') || f[1] != "00") continue;
        unsigned long nFlags, nMetric;
        if (!PrvParseHex(f[8], nFlags) || !PrvParseHex(f[5], nMetric)) continue;
        if (!(nFlags & RouteInfo::kFlagUp) || (nFlags & RouteInfo::kFlagReject) || f[9] == "lo") continue;
        RouteInfo route;
        route.strInterface = f[9];
        route.dwFlags = static_cast<std::uint32_t>(nFlags);
        route.dwMetric = static_cast<std::uint32_t>(nMetric);
        vecRoutes.push_back(route);
    }
    return true;
}

TableRead SystemProbeSource::ReadArpTable(std::vector<ArpEntry>& vecEntries) {
    // IP address, HW type, Flags, HW address, Mask, Device
    std::vector<std::string> vecLines;
    bool bOpened = false;
    if (!PrvReadLines(PrvPath("proc/net/arp"), vecLines, bOpened, true))
        return bOpened ? TableRead::kEntriesFailed : TableRead::kSizeFailed;
    for (const std::string& strLine : vecLines) {
        std::vector<std::string> f = PrvFields(strLine);
        if (f.size() < 6) continue;
        in_addr addr{};
        unsigned long nFlags;
        if (::inet_pton(AF_INET, f[0].c_str(), &addr) != 1 || !PrvParseHex(f[2], nFlags)) continue;
        ArpEntry entry;
        entry.dwAddress = addr.s_addr;
        entry.strPhysAddress = f[3];
        entry.strInterface = f[5];
        if (nFlags & kArpFlagPermanent)
            entry.dwType = ArpEntry::kTypeStatic;
        else if (nFlags & kArpFlagComplete)
            entry.dwType = ArpEntry::kTypeDynamic;
        else
            entry.dwType = ArpEntry::kTypeInvalid;
        vecEntries.push_back(entry);
    }
    return TableRead::kOk;
}

TableRead SystemProbeSource::ReadAdapterNames(std::vector<std::string>& vecNames) {
    const std::string strDir = PrvPath("sys/class/net");
    DIR* pDir = ::opendir(strDir.c_str());
    if (!pDir) return TableRead::kSizeFailed;
    std::vector<std::string> vecFound;
    bool bFailed = false;
    for (;;) {
        // readdir leaves errno alone at the end of the folder: clear what the
        // calls below may have left in it, or a skipped entry would count as a
        // failed read.
        errno = 0;
        dirent* pEntry = ::readdir(pDir);
        if (!pEntry) {
            bFailed = errno != 0;
            break;
        }
        std::string strName = pEntry->d_name;
        if (strName == "." || strName == ".." || strName == "lo") continue;
        struct stat st {};
        // Adapters are folders (links to them); other entries are control files.
        if (::stat((strDir + "/" + strName).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        std::string strFlags;
        bool bOpened = false;
        unsigned long nFlags = 0;
        if (PrvReadFirstLine(strDir + "/" + strName + "/flags", strFlags, bOpened) &&
            PrvParseHex(strFlags.rfind("0x", 0) == 0 ? strFlags.substr(2) : strFlags, nFlags) &&
            (nFlags & kIfFlagLoopback))
            continue;
        vecFound.push_back(strName);
    }
    ::closedir(pDir);
    if (bFailed) return TableRead::kEntriesFailed;
    std::sort(vecFound.begin(), vecFound.end());
    vecNames.insert(vecNames.end(), vecFound.begin(), vecFound.end());
    return TableRead::kOk;
}

MediaQuery SystemProbeSource::QueryMediaState(const std::string& strAdapter) {
    if (strAdapter.empty() || strAdapter.find('/') != std::string::npos || strAdapter == "." ||
        strAdapter == "..")
        return MediaQuery::kOpenFailed;
    std::string strLine;
    bool bOpened = false;
    // Reading "carrier" of an adapter that is down fails (EINVAL): no state.
    if (!PrvReadFirstLine(PrvPath("sys/class/net/" + strAdapter + "/carrier"), strLine, bOpened))
        return bOpened ? MediaQuery::kControlFailed : MediaQuery::kOpenFailed;
    if (strLine == "1") return MediaQuery::kConnected;
    if (strLine == "0") return MediaQuery::kDisconnected;
    return MediaQuery::kControlFailed;
}

bool SystemProbeSource::Ping(std::uint32_t dwAddress, std::uint32_t dwTimeout, std::uint32_t dwSize) {
    return ICMP::Ping(dwAddress, dwTimeout, dwSize);
}

bool SystemProbeSource::ProxyEnabled() { return IsProxyEnabled(); }

}  // namespace netutils
