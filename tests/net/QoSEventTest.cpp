// Event reporting and the network identity strings, against a local event
// server and a private registry and log.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "base/OsDependent.h"
#include "base/StrUtils.h"
#include "base/mcCMLog.h"
#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"
#include "registry/mcCMUtils.h"
#include "net/mcCMUtilsNet.h"
#include "net/mcQoSEvent.h"
#include "NetTestEnv.h"
#include "support/LocalHttpServer.h"

using kettrin::test::LocalHttpServer;
using kettrin::test::NetTestEnv;

namespace {

class FixedProbes : public netutils::ProbeSource {
public:
    bool connected = true;
    std::string iface = "eth0";
    bool proxy = false;
    bool ReadInterfaces(std::vector<netutils::InterfaceInfo>& v) override {
        v.push_back({iface, true, true, false, true});
        return true;
    }
    bool ReadRoutes(std::vector<netutils::RouteInfo>& v) override {
        if (!connected) return true;
        netutils::RouteInfo r;
        r.strInterface = iface;
        r.dwGateway = 0x0101A8C0;
        r.dwFlags = netutils::RouteInfo::kFlagUp | netutils::RouteInfo::kFlagGateway;
        v.push_back(r);
        return true;
    }
    bool ReadIpv6DefaultRoutes(std::vector<netutils::RouteInfo>&) override { return true; }
    netutils::TableRead ReadArpTable(std::vector<netutils::ArpEntry>&) override { return netutils::TableRead::kOk; }
    netutils::TableRead ReadAdapterNames(std::vector<std::string>&) override { return netutils::TableRead::kOk; }
    netutils::MediaQuery QueryMediaState(const std::string&) override { return netutils::MediaQuery::kOpenFailed; }
    bool Ping(std::uint32_t, std::uint32_t, std::uint32_t) override { return false; }
    bool ProxyEnabled() override { return proxy; }
};

class QoSEventTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(mcCMLog::Instance().Open(m_env.Dir())); }
    void TearDown() override { mcCMLog::Instance().Close(); }

    std::string Log() const {
        std::ifstream in(m_env.Dir() + "/ComponentMgr.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool Logged(const std::string& message) const {
        return Log().find(" : " + message + "\n") != std::string::npos;
    }

    NetTestEnv m_env;
};

mcQoSEvent DownloadFailure() {
    return {kQoSDownloadFailure, "Jukebox", "Visualizer Pack", "1.00.0002", "Disk full & more: 100%"};
}

}  // namespace

TEST_F(QoSEventTest, SendsEncodedQueryAndLogsPlainText) {
    LocalHttpServer server;
    server.Get("/qorb/ev/cm", [](const httplib::Request&, httplib::Response& res) { res.set_content("", "text/plain"); });
    ASSERT_TRUE(server.Start());
    m_env.SetCmString("EventServer", server.HostPort());

    EXPECT_TRUE(SendQoSEvent(DownloadFailure()));
    const std::string params = "CMVersion=1.00.0073&Uid=" + mfUrlEncode(mcCMUtils::GetZRUID(), false) +
                               "&Connection=" + mcCMUtils::GetConnectionType() + "&OSVersion=" +
                               mfUrlEncode(mfGetOSShortName(), false);
    ASSERT_EQ(server.RequestCount(), 1u);
    auto r = server.Requests()[0];
    EXPECT_EQ(r.path, "/qorb/ev/cm");
    EXPECT_EQ(r.query,
              "Event=DownloadFailure&client=Jukebox&Component=Visualizer%20Pack&ComponentVer=1.00.0002"
              "&AddInfo=Disk%20full%20%26%20more%3A%20100%25&" + params);
    EXPECT_EQ(r.Header("User-Agent"), "qorb");
    EXPECT_TRUE(Logged("SendQoSEvent Succeeded : Event=DownloadFailure&client=Jukebox&Component=Visualizer Pack"
                       "&ComponentVer=1.00.0002&AddInfo=Disk full & more: 100%&" + params));
}

TEST_F(QoSEventTest, EmptyValuesAreSentAsEmptyParameters) {
    LocalHttpServer server;
    server.Get("/qorb/ev/cm", [](const httplib::Request&, httplib::Response& res) { res.set_content("", "text/plain"); });
    ASSERT_TRUE(server.Start());
    m_env.SetCmString("EventServer", server.HostPort());
    EXPECT_TRUE(SendQoSEvent({kQoSManifestDownloadSuccess, kQoSClientCM, "ManifestDirectory.tmp", "", ""}));
    ASSERT_EQ(server.RequestCount(), 1u);
    const std::string query = server.Requests()[0].query;
    EXPECT_EQ(query.rfind("Event=ManifestDownloadSuccess&client=CM&Component=ManifestDirectory.tmp"
                          "&ComponentVer=&AddInfo=&CMVersion=1.00.0073&Uid=",
                          0),
              0u)
        << query;
}

TEST_F(QoSEventTest, SendEventsZeroSendsNothing) {
    LocalHttpServer server;
    server.Get("/qorb/ev/cm", [](const httplib::Request&, httplib::Response& res) { res.set_content("", "text/plain"); });
    ASSERT_TRUE(server.Start());
    m_env.SetCmString("EventServer", server.HostPort());
    core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
    core::registry::RegistryKey key = root.CreateSubKey(mcCMUtils::kRegistryKey);
    key.SetValueDWord(kQoSSendEventsValue, 0);
    EXPECT_FALSE(SendQoSEvent({kQoSDownloadSuccess, "Jukebox", "Visualizer", "1.0", ""}));
    EXPECT_EQ(server.RequestCount(), 0u);
    EXPECT_NE(Log().find(" : SendQoSEvent Disabled : Event=DownloadSuccess&client=Jukebox&Component=Visualizer"),
              std::string::npos)
        << Log();
    // 1, like an absent value, sends.
    key.SetValueDWord(kQoSSendEventsValue, 1);
    EXPECT_TRUE(SendQoSEvent({kQoSDownloadSuccess, "Jukebox", "Visualizer", "1.0", ""}));
    EXPECT_EQ(server.RequestCount(), 1u);
}

TEST_F(QoSEventTest, UnreachableServerIsLoggedAndReturnsQuickly) {
    m_env.SetCmString("EventServer", "127.0.0.1:" + std::to_string(LocalHttpServer::UnusedPort()));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(SendQoSEvent(DownloadFailure()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_NE(Log().find(" : SendQoSEvent Failed : Event=DownloadFailure&client=Jukebox&Component=Visualizer Pack"
                         "&ComponentVer=1.00.0002&AddInfo=Disk full & more: 100%&CMVersion=1.00.0073&Uid="),
              std::string::npos);
}

TEST_F(QoSEventTest, ServerErrorAndMissingServerFail) {
    LocalHttpServer server;  // no routes: 404
    ASSERT_TRUE(server.Start());
    m_env.SetCmString("EventServer", server.HostPort());
    EXPECT_FALSE(SendQoSEvent(DownloadFailure()));
    EXPECT_EQ(server.RequestCount(), 1u);

    // A value that is not a plain host[:port] is not used.
    m_env.SetCmString("EventServer", server.HostPort() + "/other?");
    EXPECT_FALSE(SendQoSEvent(DownloadFailure()));
    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_NE(Log().find("SendQoSEvent Failed : Event=DownloadFailure"), std::string::npos);
}

TEST(mfQoSEventQuery, EncodesEachValue) {
    mcQoSEvent e{"InstallSuccess", "a&b", "c=d", "1.0", "x y"};
    EXPECT_EQ(mfQoSEventQuery(e, "P=1", true),
              "Event=InstallSuccess&client=a%26b&Component=c%3Dd&ComponentVer=1.0&AddInfo=x%20y&P=1");
    EXPECT_EQ(mfQoSEventQuery(e, "P=1", false),
              "Event=InstallSuccess&client=a&b&Component=c=d&ComponentVer=1.0&AddInfo=x y&P=1");
}

TEST(mcCMUtilsNet, ConnectionTypeFromFlags) {
    FixedProbes probes;
    EXPECT_EQ(mcCMUtils::GetConnectionType(probes), "LAN");
    probes.proxy = true;
    EXPECT_EQ(mcCMUtils::GetConnectionType(probes), "LAN_PROXY");
    probes.iface = "ppp0";
    EXPECT_EQ(mcCMUtils::GetConnectionType(probes), "MODEM_PROXY");
    probes.proxy = false;
    EXPECT_EQ(mcCMUtils::GetConnectionType(probes), "MODEM");
    probes.connected = false;
    EXPECT_EQ(mcCMUtils::GetConnectionType(probes), "");
}

TEST(mcCMUtilsNet, RequestParamsOrderAndEncoding) {
    NetTestEnv env;
    ASSERT_TRUE(mcCMLog::Instance().Open(env.Dir()));
    env.SetCmString("zruid", "AB CD-12");
    FixedProbes probes;
    probes.proxy = true;
    EXPECT_EQ(mcCMUtils::GetRequestParams(probes),
              "CMVersion=1.00.0073&Uid=AB%20CD-12&Connection=LAN_PROXY&OSVersion=Linux");
    probes.connected = false;
    EXPECT_EQ(mcCMUtils::GetRequestParams(probes), "CMVersion=1.00.0073&Uid=AB%20CD-12&Connection=&OSVersion=Linux");
    mcCMLog::Instance().Close();
}
