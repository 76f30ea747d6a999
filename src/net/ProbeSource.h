#pragma once
// Where the connection check gets its facts about the machine's network: the
// interfaces, the routing and ARP tables, the adapters' media state and an ICMP
// echo. SystemProbeSource reads the running system; tests feed fixed tables.
//
// Addresses are IPv4 in network byte order (as in struct in_addr). A source is
// used by one thread at a time.
#include <cstdint>
#include <string>
#include <vector>

namespace netutils {

struct InterfaceInfo {
    std::string strName;
    bool bUp = false;
    bool bRunning = false;
    bool bLoopback = false;
    bool bHasAddress = false;  // an IPv4 address or a non-link-local IPv6 one
};

struct RouteInfo {
    static constexpr std::uint32_t kFlagUp = 0x0001;       // RTF_UP
    static constexpr std::uint32_t kFlagGateway = 0x0002;  // RTF_GATEWAY
    static constexpr std::uint32_t kFlagReject = 0x0200;   // RTF_REJECT

    std::string strInterface;
    std::uint32_t dwDestination = 0;
    std::uint32_t dwGateway = 0;
    std::uint32_t dwMask = 0;
    std::uint32_t dwFlags = 0;
    std::uint32_t dwMetric = 0;
};

struct ArpEntry {
    // Entry types (the numbers ARP tables report everywhere).
    static constexpr std::uint32_t kTypeOther = 1;
    static constexpr std::uint32_t kTypeInvalid = 2;
    static constexpr std::uint32_t kTypeDynamic = 3;
    static constexpr std::uint32_t kTypeStatic = 4;

    std::uint32_t dwAddress = 0;
    std::string strPhysAddress;  // "aa:bb:cc:dd:ee:ff"
    std::string strInterface;
    std::uint32_t dwType = kTypeOther;
};

// Outcome of reading a table.
enum class TableRead {
    kOk,
    kSizeFailed,     // the table could not be reached at all
    kEntriesFailed,  // it was reached but its entries could not be read
};

// Outcome of querying one adapter's media state.
enum class MediaQuery {
    kConnected,
    kDisconnected,
    kOpenFailed,     // the adapter could not be opened
    kControlFailed,  // it opened but gave no state
};

class ProbeSource {
public:
    virtual ~ProbeSource() = default;

    // Network interfaces with their state. False when they cannot be listed.
    virtual bool ReadInterfaces(std::vector<InterfaceInfo>& vecInterfaces) = 0;
    // The IPv4 routing table. False when it cannot be read.
    virtual bool ReadRoutes(std::vector<RouteInfo>& vecRoutes) = 0;
    // The IPv6 default routes (::/0) that are up and not rejecting, with their
    // interface and metric (addresses unused). False when they cannot be read.
    virtual bool ReadIpv6DefaultRoutes(std::vector<RouteInfo>& vecRoutes) = 0;
    virtual TableRead ReadArpTable(std::vector<ArpEntry>& vecEntries) = 0;
    // Names of the network adapters (loopback excluded), in a stable order.
    virtual TableRead ReadAdapterNames(std::vector<std::string>& vecNames) = 0;
    virtual MediaQuery QueryMediaState(const std::string& strAdapter) = 0;
    // One ICMP echo of dwSize bytes to dwAddress, waiting up to dwTimeout ms.
    // True when a reply came back. Throws netutils::ICMP::Exception when the
    // echo cannot be sent or no reply arrives.
    virtual bool Ping(std::uint32_t dwAddress, std::uint32_t dwTimeout, std::uint32_t dwSize) = 0;
    // Whether requests go through a proxy.
    virtual bool ProxyEnabled() = 0;
};

}  // namespace netutils
