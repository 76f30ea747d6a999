// Connection check: algorithms and settings from a private registry, probes
// from fixed tables, the HTTP check against a local server.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "net/ARPTable.h"
#include "net/Adapter.h"
#include "net/AdapterTable.h"
#include "net/ICMP.h"
#include "net/ICMPDLL.h"
#include "net/SystemProbeSource.h"
#include "net/mcConnectionCheck.h"
#include "NetTestEnv.h"
#include "support/LocalHttpServer.h"

using kettrin::test::LocalHttpServer;
using kettrin::test::NetTestEnv;
using netutils::ArpEntry;
using netutils::InterfaceInfo;
using netutils::MediaQuery;
using netutils::RouteInfo;
using netutils::TableRead;

namespace {

const std::string kNetServices = "Tavrolin\\Tavrolin Jukebox\\4.0\\NetServices";
const std::string kAlgorithmPath =
    "\\SYSTEM\\Tavrolin\\Tavrolin Jukebox\\4.0\\NetServices\\ConnectionCheckAlgorithm";
const std::string kPingEnabledPath =
    "\\SYSTEM\\Tavrolin\\Tavrolin Jukebox\\4.0\\NetServices\\ConnectionCheckPingEnabled";

std::uint32_t Addr(const char* dotted) {
    in_addr a{};
    ::inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

// Fixed tables; counts what the check asked for.
class FakeProbes : public netutils::ProbeSource {
public:
    std::vector<InterfaceInfo> interfaces;
    std::vector<RouteInfo> routes;
    std::vector<RouteInfo> routes6;
    std::vector<ArpEntry> arp;
    TableRead arpRead = TableRead::kOk;
    std::vector<std::string> adapters;
    TableRead adapterRead = TableRead::kOk;
    std::map<std::string, MediaQuery> media;
    bool pingAnswers = true;
    bool proxy = false;
    std::vector<std::uint32_t> pinged;
    int calls = 0;

    bool ReadInterfaces(std::vector<InterfaceInfo>& v) override {
        ++calls;
        v = interfaces;
        return true;
    }
    bool ReadRoutes(std::vector<RouteInfo>& v) override {
        ++calls;
        v = routes;
        return true;
    }
    bool ReadIpv6DefaultRoutes(std::vector<RouteInfo>& v) override {
        ++calls;
        v = routes6;
        return true;
    }
    TableRead ReadArpTable(std::vector<ArpEntry>& v) override {
        ++calls;
        v = arp;
        return arpRead;
    }
    TableRead ReadAdapterNames(std::vector<std::string>& v) override {
        ++calls;
        v = adapters;
        return adapterRead;
    }
    MediaQuery QueryMediaState(const std::string& name) override {
        ++calls;
        auto it = media.find(name);
        return it == media.end() ? MediaQuery::kOpenFailed : it->second;
    }
    bool Ping(std::uint32_t address, std::uint32_t, std::uint32_t) override {
        ++calls;
        pinged.push_back(address);
        if (!pingAnswers) {
            netutils::ICMP::Exception e("netutils::ICMP::Ping", __FILE__, 87,
                                        "Error in ICMP::Ping():  Error in ICMPDLL::SendEcho().");
            throw e;
        }
        return true;
    }
    bool ProxyEnabled() override { return proxy; }

    // An up LAN interface with an address and a default route through it.
    void Connect(const std::string& iface = "eth0") {
        interfaces.push_back({iface, true, true, false, true});
        interfaces.push_back({"lo", true, true, true, true});
        RouteInfo def;
        def.strInterface = iface;
        def.dwGateway = Addr("192.168.1.1");
        def.dwFlags = RouteInfo::kFlagUp | RouteInfo::kFlagGateway;
        routes.push_back(def);
    }
    // No usable interface, but a default gateway in the routing table.
    void GatewayOnly() {
        interfaces.push_back({"eth0", true, true, false, false});
        RouteInfo def;
        def.strInterface = "eth0";
        def.dwGateway = Addr("10.0.0.1");
        def.dwFlags = RouteInfo::kFlagUp | RouteInfo::kFlagGateway;
        routes.push_back(def);
    }
};

class ConnectionCheckTest : public ::testing::Test {
protected:
    mcConnectionCheck::Config MakeConfig(const std::string& url = std::string()) {
        mcConnectionCheck::Config c;
        c.pProbes = &m_probes;
        c.strCheckUrl = url;
        c.fnTrace = [this](const std::string& line) { m_lines.push_back(line); };
        return c;
    }
    bool Traced(const std::string& line) const {
        return std::find(m_lines.begin(), m_lines.end(), line) != m_lines.end();
    }
    void SetAlgorithm(std::uint32_t n) { m_env.SetSystemDWord(kNetServices, "ConnectionCheckAlgorithm", n); }

    NetTestEnv m_env;
    FakeProbes m_probes;
    std::vector<std::string> m_lines;
};

}  // namespace

TEST_F(ConnectionCheckTest, DefaultAlgorithmIsTheHttpCheckAgainstTheRegistryServer) {
    LocalHttpServer server;
    server.Get("/qorb/check.cgi", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("OK", "text/plain");
    });
    ASSERT_TRUE(server.Start());
    m_env.SetCmString("ConnectionCheckServer", server.HostPort());
    m_probes.Connect();
    mcConnectionCheck check(MakeConfig());
    EXPECT_EQ(check.CheckUrl(), "http://" + server.HostPort() + "/qorb/check.cgi");
    EXPECT_TRUE(check.ConnectionCheck());
    ASSERT_EQ(server.RequestCount(), 1u);
    auto r = server.Requests()[0];
    EXPECT_EQ(r.target, "/qorb/check.cgi");
    EXPECT_EQ(r.Header("User-Agent"), "qorb");
    EXPECT_EQ(r.Header("Cache-Control"), "no-cache");

    const std::vector<std::string> expected = {
        "ConnectionCheck() -- entering",
        "ConnectionCheck() -- calling ConnectionCheck() with 2",
        "ConnectionCheck(2) -- entering",
        "CanConnectToServerUsingHTTP() -- entering",
        "CanConnectToServerUsingHTTP() -- server connection timeout (ms)=30000",
        "CanConnectToServerUsingHTTP() -- ConnectionStateConnected()=1",
        "CanConnectToServerUsingHTTP() -- calling CanConnectToTavrolinServerUsingHTTP()",
        "CanConnectToTavrolinServerUsingHTTP(30000) -- entering",
        "CanConnectToTavrolinServerUsingHTTP() -- calling PerformHttpGetString()",
        "CanConnectToTavrolinServerUsingHTTP() -- PerformHttpGetString() returned 1  HTTP Status: 200",
        "CanConnectToTavrolinServerUsingHTTP() -- exiting with return value 1",
        "CanConnectToServerUsingHTTP() -- exiting with return value 1",
        "ConnectionCheck() -- exiting with return value 1",
        "ConnectionCheck() -- exiting with return value 1",
    };
    EXPECT_EQ(m_lines, expected);
}

TEST_F(ConnectionCheckTest, CheckUrlAnswering404IsOffline) {
    LocalHttpServer server;
    ASSERT_TRUE(server.Start());
    m_probes.Connect();
    mcConnectionCheck check(MakeConfig(server.Url("/qorb/check.cgi")));
    EXPECT_FALSE(check.ConnectionCheck());
    EXPECT_TRUE(Traced("CanConnectToTavrolinServerUsingHTTP() -- PerformHttpGetString() returned 0  HTTP Status: 404"));
    EXPECT_TRUE(Traced("ConnectionCheck() -- exiting with return value 0"));
}

TEST_F(ConnectionCheckTest, NoCheckServerConfiguredIsOfflineWithoutTraffic) {
    m_probes.Connect();
    mcConnectionCheck check(MakeConfig());
    EXPECT_EQ(check.CheckUrl(), "http:///qorb/check.cgi");
    EXPECT_FALSE(check.ConnectionCheck());
    EXPECT_TRUE(Traced("CanConnectToTavrolinServerUsingHTTP() -- PerformHttpGetString() returned 0  HTTP Status: 0"));
}

TEST_F(ConnectionCheckTest, AlgorithmOutOfBoundsFallsBackToDefault) {
    SetAlgorithm(7);
    m_probes.Connect();
    LocalHttpServer server;
    server.Get("/qorb/check.cgi", [](const httplib::Request&, httplib::Response& res) { res.set_content("", "text/plain"); });
    ASSERT_TRUE(server.Start());
    mcConnectionCheck check(MakeConfig(server.Url("/qorb/check.cgi")));
    EXPECT_TRUE(check.ConnectionCheck());
    ASSERT_GE(m_lines.size(), 5u);
    EXPECT_EQ(m_lines[1], "ConnectionCheck() -- registry value " + kAlgorithmPath + "=7");
    EXPECT_EQ(m_lines[2], "ConnectionCheck() -- registry algorithm out of bounds, using default");
    EXPECT_EQ(m_lines[3], "ConnectionCheck() -- calling ConnectionCheck() with 2");
    EXPECT_EQ(server.RequestCount(), 1u);

    // A negative number is a large unsigned one: out of bounds too.
    m_lines.clear();
    SetAlgorithm(0xFFFFFFFFu);
    EXPECT_TRUE(check.ConnectionCheck());
    EXPECT_EQ(m_lines[1], "ConnectionCheck() -- registry value " + kAlgorithmPath + "=4294967295");
    EXPECT_EQ(m_lines[2], "ConnectionCheck() -- registry algorithm out of bounds, using default");
}

TEST_F(ConnectionCheckTest, AlgorithmZeroIsTrueWithoutProbing) {
    SetAlgorithm(0);
    mcConnectionCheck check(MakeConfig("http://127.0.0.1:1/qorb/check.cgi"));
    EXPECT_TRUE(check.ConnectionCheck());
    EXPECT_EQ(m_probes.calls, 0);
    const std::vector<std::string> expected = {
        "ConnectionCheck() -- entering",
        "ConnectionCheck() -- registry value " + kAlgorithmPath + "=0",
        "ConnectionCheck() -- setting algorithm to registry value 0",
        "ConnectionCheck() -- calling ConnectionCheck() with 0",
        "ConnectionCheck(0) -- entering",
        "ConnectionCheck() -- exiting with return value 1",
        "ConnectionCheck() -- exiting with return value 1",
    };
    EXPECT_EQ(m_lines, expected);
}

TEST_F(ConnectionCheckTest, PingDisabledPassesWithoutTraffic) {
    m_env.SetSystemDWord(kNetServices, "ConnectionCheckPingEnabled", 0);
    LocalHttpServer server;
    ASSERT_TRUE(server.Start());
    mcConnectionCheck check(MakeConfig(server.Url("/qorb/check.cgi")));
    EXPECT_TRUE(check.ConnectionCheck());
    EXPECT_EQ(server.RequestCount(), 0u);
    EXPECT_EQ(m_probes.calls, 0);
    EXPECT_TRUE(Traced("CanConnectToServerUsingHTTP() -- registry value " + kPingEnabledPath + "=0"));
    EXPECT_TRUE(Traced("CanConnectToServerUsingHTTP() -- exiting with return value 1"));
    EXPECT_FALSE(Traced("CanConnectToServerUsingHTTP() -- ConnectionStateConnected()=1"));

    // Any other value keeps the check.
    m_lines.clear();
    m_env.SetSystemDWord(kNetServices, "ConnectionCheckPingEnabled", 1);
    m_probes.Connect();
    EXPECT_FALSE(check.ConnectionCheck());  // the local server answers 404
    EXPECT_EQ(server.RequestCount(), 1u);
}

TEST_F(ConnectionCheckTest, ServerTimeoutHasAFloorOf5000) {
    m_env.SetSystemDWord(kNetServices, "ConnectionCheckPingTimeout", 1000);
    mcConnectionCheck check(MakeConfig("http://127.0.0.1:1/qorb/check.cgi"));
    m_probes.Connect();
    check.CanConnectToServerUsingHTTP();
    EXPECT_TRUE(Traced("CanConnectToServerUsingHTTP() -- server connection timeout (ms)=5000"));
    EXPECT_TRUE(Traced("CanConnectToTavrolinServerUsingHTTP(5000) -- entering"));

    m_lines.clear();
    m_env.SetSystemDWord(kNetServices, "ConnectionCheckPingTimeout", 12345);
    check.CanConnectToServerUsingHTTP();
    EXPECT_TRUE(Traced("CanConnectToServerUsingHTTP() -- server connection timeout (ms)=12345"));
}

TEST_F(ConnectionCheckTest, WithoutConnectionStateTheGatewayIsPinged) {
    m_probes.GatewayOnly();
    mcConnectionCheck check(MakeConfig("http://127.0.0.1:1/qorb/check.cgi"));
    EXPECT_TRUE(check.ConnectionCheck());
    ASSERT_EQ(m_probes.pinged.size(), 1u);
    EXPECT_EQ(m_probes.pinged[0], Addr("10.0.0.1"));
    EXPECT_TRUE(Traced("CanConnectToServerUsingHTTP() -- ConnectionStateConnected()=0"));
    EXPECT_TRUE(Traced("CanConnectToServerUsingHTTP() -- calling CanConnectToDefaultGatewayUsingPing()"));
    EXPECT_TRUE(Traced("CanConnectToDefaultGatewayUsingPing(5000) -- entering"));
    EXPECT_TRUE(Traced("DefaultGateway() -- exiting with return value 10.0.0.1"));
    EXPECT_TRUE(Traced("CanConnectToDefaultGatewayUsingPing() -- xARPTable.HasDynamicEntries() returned 0"));
    EXPECT_TRUE(Traced("CanConnectToDefaultGatewayUsingPing() -- ICMP::Ping() returned1"));
    EXPECT_TRUE(Traced("CanConnectToDefaultGatewayUsingPing() -- exiting with return value 1"));
}

TEST_F(ConnectionCheckTest, DynamicArpEntrySparesThePing) {
    m_probes.GatewayOnly();
    m_probes.arp.push_back({Addr("10.0.0.1"), "aa:bb:cc:dd:ee:ff", "eth0", ArpEntry::kTypeDynamic});
    mcConnectionCheck check(MakeConfig());
    EXPECT_TRUE(check.CanConnectToDefaultGatewayUsingPing(5000));
    EXPECT_TRUE(m_probes.pinged.empty());
    EXPECT_TRUE(Traced("CanConnectToDefaultGatewayUsingPing() -- xARPTable.HasDynamicEntries() returned 1"));
}

TEST_F(ConnectionCheckTest, GatewayPingFailures) {
    mcConnectionCheck check(MakeConfig());
    // No default route at all.
    EXPECT_FALSE(check.CanConnectToDefaultGatewayUsingPing(5000));
    const std::vector<std::string> noGateway = {
        "CanConnectToDefaultGatewayUsingPing(5000) -- entering",
        "DefaultGateway() -- entering",
        "DefaultGateway() -- exiting with return value 255.255.255.255",
        "CanConnectToDefaultGatewayUsingPing() -- default gateway not valid",
    };
    EXPECT_EQ(m_lines, noGateway);  // no exit line on this way out
    EXPECT_TRUE(m_probes.pinged.empty());

    // The gateway does not answer.
    m_lines.clear();
    m_probes.GatewayOnly();
    m_probes.pingAnswers = false;
    EXPECT_FALSE(check.CanConnectToDefaultGatewayUsingPing(5000));
    EXPECT_TRUE(Traced("CanConnectToDefaultGatewayUsingPing() -- ***error:  caught exception!"));
    EXPECT_TRUE(Traced("CanConnectToDefaultGatewayUsingPing() -- exiting with return value 0"));

    // The ARP table cannot be read: the ping still decides.
    m_lines.clear();
    m_probes.pingAnswers = true;
    m_probes.arpRead = TableRead::kSizeFailed;
    EXPECT_TRUE(check.CanConnectToDefaultGatewayUsingPing(5000));
    EXPECT_TRUE(Traced("CanConnectToDefaultGatewayUsingPing() -- ***error:  caught exception constructing ARP table"));
}

TEST_F(ConnectionCheckTest, DefaultGatewayIsTheBestRouteToAnywhere) {
    mcConnectionCheck check(MakeConfig());
    RouteInfo a;
    a.strInterface = "eth0";
    a.dwGateway = Addr("192.168.1.1");
    a.dwFlags = RouteInfo::kFlagUp | RouteInfo::kFlagGateway;
    a.dwMetric = 100;
    RouteInfo b = a;
    b.dwGateway = Addr("192.168.2.1");
    b.dwMetric = 50;
    RouteInfo down = a;
    down.dwGateway = Addr("192.168.3.1");
    down.dwMetric = 0;
    down.dwFlags = 0;
    RouteInfo lan;
    lan.strInterface = "eth0";
    lan.dwDestination = Addr("192.168.1.0");
    lan.dwMask = Addr("255.255.255.0");
    lan.dwFlags = RouteInfo::kFlagUp;
    m_probes.routes = {a, b, down, lan};
    EXPECT_EQ(check.DefaultGateway(), Addr("192.168.2.1"));

    // A more specific route covering 0.0.0.0 wins, and names no gateway.
    RouteInfo zeroNet = lan;
    zeroNet.dwDestination = 0;
    zeroNet.dwMask = Addr("255.0.0.0");
    m_probes.routes.push_back(zeroNet);
    EXPECT_EQ(check.DefaultGateway(), mcConnectionCheck::kInvalidAddress);

    // A default route without a next hop (point-to-point) has nothing to ping.
    RouteInfo direct = a;
    direct.dwGateway = 0;
    direct.dwFlags = RouteInfo::kFlagUp;
    m_probes.routes = {direct};
    EXPECT_EQ(check.DefaultGateway(), mcConnectionCheck::kInvalidAddress);
}

TEST_F(ConnectionCheckTest, ConnectionStateNeedsAnUsableInterfaceWithDefaultRoute) {
    mcConnectionCheck check(MakeConfig());
    EXPECT_FALSE(check.ConnectionStateConnected());

    m_probes.Connect();
    EXPECT_TRUE(check.ConnectionStateConnected());
    EXPECT_EQ(check.ConnectionStateFlags(), mcConnectionCheck::kConnectionLan);
    m_probes.proxy = true;
    EXPECT_EQ(check.ConnectionStateFlags(), mcConnectionCheck::kConnectionLan | mcConnectionCheck::kConnectionProxy);

    // Interface down, or without an address, or loopback only: not connected.
    for (auto change : {+[](InterfaceInfo& i) { i.bRunning = false; }, +[](InterfaceInfo& i) { i.bHasAddress = false; },
                        +[](InterfaceInfo& i) { i.bLoopback = true; }}) {
        FakeProbes probes;
        probes.Connect();
        change(probes.interfaces[0]);
        mcConnectionCheck::Config c;
        c.pProbes = &probes;
        c.fnTrace = [](const std::string&) {};
        mcConnectionCheck other(c);
        EXPECT_FALSE(other.ConnectionStateConnected());
    }

    // An IPv6-only default route counts; a modem interface sets the modem flag.
    FakeProbes v6;
    v6.interfaces.push_back({"wwan0", true, true, false, true});
    RouteInfo r6;
    r6.strInterface = "wwan0";
    r6.dwFlags = RouteInfo::kFlagUp;
    v6.routes6.push_back(r6);
    mcConnectionCheck::Config c;
    c.pProbes = &v6;
    c.fnTrace = [](const std::string&) {};
    mcConnectionCheck modem(c);
    EXPECT_TRUE(modem.ConnectionStateConnected());
    EXPECT_EQ(modem.ConnectionStateFlags(), mcConnectionCheck::kConnectionModem);
}

TEST_F(ConnectionCheckTest, AlgorithmOneIsTheConnectionState) {
    SetAlgorithm(1);
    mcConnectionCheck check(MakeConfig());
    EXPECT_FALSE(check.ConnectionCheck());
    m_probes.Connect();
    EXPECT_TRUE(check.ConnectionCheck());
}

TEST_F(ConnectionCheckTest, AlgorithmThreeIsAdaptersOrModem) {
    SetAlgorithm(3);
    mcConnectionCheck check(MakeConfig());
    m_probes.adapters = {"eth0", "eth1", "wlan0"};
    m_probes.media = {{"eth0", MediaQuery::kControlFailed}, {"eth1", MediaQuery::kDisconnected}};
    EXPECT_FALSE(check.ConnectionCheck());
    const std::string prefix = "ConnectionCheckAlgorithmAdaptersOrModem() -- ";
    EXPECT_TRUE(Traced(prefix + "HasConnectedAdapters() returned 0"));
    EXPECT_TRUE(Traced(prefix + "ConnectionStateConnected() returned 0"));

    m_probes.media["wlan0"] = MediaQuery::kConnected;
    EXPECT_TRUE(check.HasConnectedAdapters());
    EXPECT_TRUE(check.ConnectionCheck());

    // No adapter with a link, but a modem connection.
    m_lines.clear();
    m_probes.media["wlan0"] = MediaQuery::kDisconnected;
    m_probes.Connect("ppp0");
    EXPECT_TRUE(check.ConnectionCheck());
    std::vector<std::string> tail(m_lines.end() - 5, m_lines.end() - 2);
    EXPECT_EQ(tail, (std::vector<std::string>{prefix + "HasConnectedAdapters() returned 0",
                                              prefix + "ConnectionStateConnected() returned 1",
                                              prefix + "HasConnectedAdapters() returned 1"}));

    // A LAN connection without adapter link does not count.
    FakeProbes lan;
    lan.Connect("eth0");
    mcConnectionCheck::Config c = MakeConfig();
    c.pProbes = &lan;
    mcConnectionCheck lanCheck(c);
    EXPECT_FALSE(lanCheck.ConnectionCheck());

    // The adapter list cannot be read: false with the error trace.
    m_lines.clear();
    lan.adapterRead = TableRead::kEntriesFailed;
    EXPECT_FALSE(lanCheck.HasConnectedAdapters());
    EXPECT_TRUE(Traced("HasConnectedAdapters() -- ***error:  caught exception!"));
}

TEST_F(ConnectionCheckTest, AlgorithmFourIsArpEntriesOrModem) {
    SetAlgorithm(4);
    mcConnectionCheck check(MakeConfig());
    m_probes.arp = {{Addr("10.0.0.1"), "aa:bb:cc:dd:ee:ff", "eth0", ArpEntry::kTypeStatic},
                    {Addr("10.0.0.2"), "00:00:00:00:00:00", "eth0", ArpEntry::kTypeInvalid}};
    EXPECT_FALSE(check.ConnectionCheck());
    const std::string prefix = "ConnectionCheckAlgorithmArpEntriesOrModem() -- ";
    EXPECT_TRUE(Traced(prefix + "HasDynamicARPEntries() returned 0"));
    EXPECT_TRUE(Traced(prefix + "ConnectionStateConnected() returned 0"));
    EXPECT_TRUE(Traced(prefix + "HasConnectedAdapters() returned 0"));

    m_probes.arp.push_back({Addr("10.0.0.3"), "aa:bb:cc:dd:ee:01", "eth0", ArpEntry::kTypeDynamic});
    EXPECT_TRUE(check.ConnectionCheck());

    m_lines.clear();
    m_probes.arpRead = TableRead::kEntriesFailed;
    EXPECT_FALSE(check.HasDynamicARPEntries());
    EXPECT_TRUE(Traced("HasDynamicARPEntries() -- ***error:  caught exception!"));
}

TEST(NetUtilsExceptions, TextsAndFamily) {
    FakeProbes probes;
    probes.arpRead = TableRead::kSizeFailed;
    try {
        netutils::ARPTable table(probes);
        FAIL();
    } catch (const netutils::Exception& e) {
        EXPECT_EQ(e.Description(), "Error retrieving ARP table size.");
        EXPECT_EQ(e.Function(), "netutils::ARPTable::ARPTable");
        EXPECT_EQ(e.Line(), 167);
        EXPECT_NE(dynamic_cast<const netutils::ARPTable::Exception*>(&e), nullptr);
    }
    probes.arpRead = TableRead::kEntriesFailed;
    EXPECT_THROW(netutils::ARPTable{probes}, netutils::ARPTable::Exception);
    probes.adapterRead = TableRead::kSizeFailed;
    try {
        netutils::AdapterTable table(probes);
        FAIL();
    } catch (const netutils::AdapterTable::Exception& e) {
        EXPECT_EQ(e.Description(), "Error retrieving adapter table size.");
        EXPECT_EQ(e.Line(), 354);
    }
    netutils::Adapter missing(probes, "eth9");
    try {
        missing.MediaConnectStatus();
        FAIL();
    } catch (const netutils::Adapter::OpenException& e) {
        EXPECT_EQ(e.Description(), "Error opening adapter eth9");
        EXPECT_EQ(e.Function(), "netutils::Adapter::Open");
    }
    probes.media["eth9"] = MediaQuery::kControlFailed;
    try {
        missing.MediaConnectStatus();
        FAIL();
    } catch (const netutils::Adapter::IOControlException& e) {
        EXPECT_EQ(e.Description(), "Error! Could not retrieve adapter IO control information.");
    }
}

TEST(SystemProbeSource, ReadsTablesUnderItsRoot) {
    NetTestEnv env;
    env.WriteFile("proc/net/route",
                  "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
                  "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                  "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
                  "garbage line\n");
    env.WriteFile("proc/net/arp",
                  "IP address       HW type     Flags       HW address            Mask     Device\n"
                  "192.168.1.1      0x1         0x2         aa:bb:cc:dd:ee:ff     *        eth0\n"
                  "192.168.1.7      0x1         0x6         aa:bb:cc:dd:ee:07     *        eth0\n"
                  "192.168.1.9      0x1         0x0         00:00:00:00:00:00     *        eth0\n");
    env.WriteFile("proc/net/ipv6_route",
                  "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
                  "fe800000000000000000000000000001 00000400 00000001 00000000 00000003     eth0\n"
                  "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
                  "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200       lo\n");
    env.WriteFile("sys/class/net/eth0/carrier", "1\n");
    env.WriteFile("sys/class/net/eth0/flags", "0x1003\n");
    env.WriteFile("sys/class/net/eth1/carrier", "0\n");
    env.WriteFile("sys/class/net/wlan0/carrier", "");  // down: no state
    env.WriteFile("sys/class/net/dummy9/flags", "0x1009\n");  // loopback kind
    env.WriteFile("sys/class/net/lo/carrier", "1\n");
    env.WriteFile("sys/class/net/bonding_masters", "\n");

    netutils::SystemProbeSource source(env.Dir());
    std::vector<RouteInfo> routes;
    ASSERT_TRUE(source.ReadRoutes(routes));
    ASSERT_EQ(routes.size(), 2u);
    EXPECT_EQ(routes[0].dwGateway, Addr("192.168.1.1"));
    EXPECT_EQ(routes[0].dwMetric, 100u);
    EXPECT_EQ(routes[1].dwDestination, Addr("192.168.1.0"));
    EXPECT_EQ(routes[1].dwMask, Addr("255.255.255.0"));

    std::vector<RouteInfo> routes6;
    ASSERT_TRUE(source.ReadIpv6DefaultRoutes(routes6));
    ASSERT_EQ(routes6.size(), 1u);
    EXPECT_EQ(routes6[0].strInterface, "eth0");

    std::vector<ArpEntry> arp;
    ASSERT_EQ(source.ReadArpTable(arp), TableRead::kOk);
    ASSERT_EQ(arp.size(), 3u);
    EXPECT_EQ(arp[0].dwType, ArpEntry::kTypeDynamic);
    EXPECT_EQ(arp[0].dwAddress, Addr("192.168.1.1"));
    EXPECT_EQ(arp[1].dwType, ArpEntry::kTypeStatic);
    EXPECT_EQ(arp[2].dwType, ArpEntry::kTypeInvalid);

    std::vector<std::string> names;
    ASSERT_EQ(source.ReadAdapterNames(names), TableRead::kOk);
    EXPECT_EQ(names, (std::vector<std::string>{"eth0", "eth1", "wlan0"}));
    EXPECT_EQ(source.QueryMediaState("eth0"), MediaQuery::kConnected);
    EXPECT_EQ(source.QueryMediaState("eth1"), MediaQuery::kDisconnected);
    EXPECT_EQ(source.QueryMediaState("wlan0"), MediaQuery::kControlFailed);
    EXPECT_EQ(source.QueryMediaState("eth7"), MediaQuery::kOpenFailed);
    EXPECT_EQ(source.QueryMediaState("../../../etc"), MediaQuery::kOpenFailed);

    // An entry that cannot be examined is skipped; the list still reads.
    NetTestEnv ghostEnv;
    std::filesystem::create_directories(ghostEnv.Dir() + "/sys/class/net");
    std::filesystem::create_symlink(ghostEnv.Dir() + "/gone", ghostEnv.Dir() + "/sys/class/net/ghost0");
    netutils::SystemProbeSource ghosts(ghostEnv.Dir());
    std::vector<std::string> ghostNames;
    EXPECT_EQ(ghosts.ReadAdapterNames(ghostNames), TableRead::kOk);
    EXPECT_TRUE(ghostNames.empty());

    netutils::SystemProbeSource empty(env.Dir() + "/nothing");
    EXPECT_FALSE(empty.ReadRoutes(routes));
    EXPECT_TRUE(empty.ReadIpv6DefaultRoutes(routes6));  // no IPv6: no default route
    EXPECT_EQ(empty.ReadArpTable(arp), TableRead::kSizeFailed);
    EXPECT_EQ(empty.ReadAdapterNames(names), TableRead::kSizeFailed);

    // The check on these tables: the gateway comes from the route file.
    mcConnectionCheck::Config c;
    c.pProbes = &source;
    c.fnTrace = [](const std::string&) {};
    mcConnectionCheck check(c);
    EXPECT_EQ(check.DefaultGateway(), Addr("192.168.1.1"));
    EXPECT_TRUE(check.HasDynamicARPEntries());
    EXPECT_TRUE(check.HasConnectedAdapters());
}

TEST(ICMP, PingsLoopbackAndReportsNoReply) {
    try {
        netutils::ICMPDLL::Instance().CloseHandle(netutils::ICMPDLL::Instance().CreateFileW());
    } catch (const netutils::ICMPDLL::Exception&) {
        GTEST_SKIP() << "no ICMP socket available to this user";
    }
    EXPECT_TRUE(netutils::ICMP::Ping(Addr("127.0.0.1"), 2000, 32));
    // No time to wait: no reply.
    try {
        netutils::ICMP::Ping(Addr("127.0.0.1"), 0, 32);
        FAIL() << "no exception";
    } catch (const netutils::ICMP::Exception& e) {
        EXPECT_EQ(e.Description(), "Error in ICMP::Ping():  Error in ICMPDLL::SendEcho().");
        EXPECT_EQ(e.Line(), 87);
    }
}
