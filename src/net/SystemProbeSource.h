#pragma once
// The running Linux system as a ProbeSource:
//   interfaces    getifaddrs()
//   routes        <root>/proc/net/route, <root>/proc/net/ipv6_route
//   ARP table     <root>/proc/net/arp (complete entries are dynamic, permanent
//                 ones static, incomplete ones invalid)
//   adapters      <root>/sys/class/net/* (loopback excluded), media state from
//                 each adapter's "carrier" file
//   ping          netutils::ICMP
//   proxy         IsProxyEnabled()
// root is "/" for the real system; tests point it at a folder of fixed files.
#include <string>

#include "net/ProbeSource.h"

namespace netutils {

class SystemProbeSource : public ProbeSource {
public:
    explicit SystemProbeSource(std::string strRoot = "/") : m_strRoot(std::move(strRoot)) {}

    bool ReadInterfaces(std::vector<InterfaceInfo>& vecInterfaces) override;
    bool ReadRoutes(std::vector<RouteInfo>& vecRoutes) override;
    bool ReadIpv6DefaultRoutes(std::vector<RouteInfo>& vecRoutes) override;
    TableRead ReadArpTable(std::vector<ArpEntry>& vecEntries) override;
    TableRead ReadAdapterNames(std::vector<std::string>& vecNames) override;
    MediaQuery QueryMediaState(const std::string& strAdapter) override;
    bool Ping(std::uint32_t dwAddress, std::uint32_t dwTimeout, std::uint32_t dwSize) override;
    bool ProxyEnabled() override;

private:
    std::string PrvPath(const std::string& strRelative) const;
    std::string m_strRoot;
};

}  // namespace netutils
