#pragma once
// Is the machine connected? ConnectionCheck() answers with one of five
// algorithms chosen by the setting "ConnectionCheckAlgorithm", combining the
// connection state, the adapters' media state, the ARP table, an HTTP request
// to the connection-check server and a ping of the default gateway. Every step
// is written to the "internetconnection" trace source.
//
// Nothing is cached: each call probes again and reads the settings and the
// check server's host afresh. Probe failures become false; nothing is thrown to
// the caller. A check object is used by one thread at a time; the free function
// ConnectionCheck() may be called from any thread.
//
// Settings (32-bit values, read only when they exist):
//   \SYSTEM\Tavrolin\Tavrolin Jukebox\4.0\NetServices\ConnectionCheckAlgorithm
//       0 always true, 1 connection state, 2 HTTP check (default), 3 adapters
//       or modem, 4 ARP entries or modem; above 4 (unsigned) means 2.
//   ...\ConnectionCheckPingEnabled   0: the HTTP check is skipped and passes.
//   ...\ConnectionCheckPingTimeout   HTTP check time-out in ms, at least 5000;
//                                    30000 when missing or unreadable.
// Check URL: "http://" + the registry value "ConnectionCheckServer"
// (ServerHosts.h) + "/qorb/check.cgi".
#include <cstdint>
#include <functional>
#include <string>

#include "net/IHttpFetcher.h"
#include "net/ProbeSource.h"

class mcConnectionCheck {
public:
    static constexpr const char* kSettingsPath =
        "\\SYSTEM\\Tavrolin\\Tavrolin Jukebox\\4.0\\NetServices\\";
    static constexpr const char* kAlgorithmSetting = "ConnectionCheckAlgorithm";
    static constexpr const char* kPingEnabledSetting = "ConnectionCheckPingEnabled";
    static constexpr const char* kPingTimeoutSetting = "ConnectionCheckPingTimeout";
    static constexpr const char* kCheckPath = "/qorb/check.cgi";

    static constexpr std::uint32_t kDefaultAlgorithm = 2;
    static constexpr std::uint32_t kMaxAlgorithm = 4;
    static constexpr std::uint32_t kDefaultServerTimeout = 30000;
    static constexpr std::uint32_t kMinServerTimeout = 5000;
    static constexpr std::uint32_t kGatewayPingTimeout = 5000;
    static constexpr std::uint32_t kPingSize = 32;
    // An IPv4 address (network byte order) that marks "no gateway".
    static constexpr std::uint32_t kInvalidAddress = 0xFFFFFFFFu;

    // Connection-state flags.
    static constexpr std::uint32_t kConnectionModem = 0x01;
    static constexpr std::uint32_t kConnectionLan = 0x02;
    static constexpr std::uint32_t kConnectionProxy = 0x04;

    using TraceSink = std::function<void(const std::string&)>;

    struct Config {
        // Where the probes come from; null: the running system.
        netutils::ProbeSource* pProbes = nullptr;
        // The check URL; empty: built from "ConnectionCheckServer" at each check.
        std::string strCheckUrl;
        // Receives every trace line; empty: the "internetconnection" source.
        // A sink given here gets the lines instead of the source, not as well.
        TraceSink fnTrace;
        // The HTTP check's GET; null: PerformHttpGetString. Must outlive the
        // check.
        IHttpFetcher* pFetcher = nullptr;
    };

    mcConnectionCheck();
    explicit mcConnectionCheck(Config config);
    ~mcConnectionCheck();
    mcConnectionCheck(const mcConnectionCheck&) = delete;
    mcConnectionCheck& operator=(const mcConnectionCheck&) = delete;

    bool ConnectionCheck();

    bool CanConnectToServerUsingHTTP();
    bool CanConnectToTavrolinServerUsingHTTP(std::uint32_t dwTimeout);
    bool CanConnectToDefaultGatewayUsingPing(std::uint32_t dwTimeout);

    // A non-loopback interface that is up and running with an address carries a
    // default route.
    bool ConnectionStateConnected();
    // Both answers from one look at the tables: connected, and the flags below.
    bool GetConnectedState(std::uint32_t& dwFlags);
    // kConnectionModem (default route through ppp* / wwan*) or kConnectionLan
    // when connected, plus kConnectionProxy when a proxy is set.
    std::uint32_t ConnectionStateFlags();
    bool HasConnectedAdapters();
    bool HasDynamicARPEntries();
    // Next hop of the best route to 0.0.0.0 (network byte order), or
    // kInvalidAddress when there is no default route with a gateway.
    std::uint32_t DefaultGateway();

    // The check URL as used now.
    std::string CheckUrl() const;

    // Dotted-decimal form of an address in network byte order.
    static std::string FormatAddress(std::uint32_t dwAddress);

private:
    bool PrvRunAlgorithm(std::uint32_t dwAlgorithm);
    bool ConnectionCheckAlgorithmAlwaysTrue();
    bool ConnectionCheckAlgorithmConnectionState();
    bool ConnectionCheckAlgorithmServerHttpCheck();
    bool ConnectionCheckAlgorithmAdaptersOrModem();
    bool ConnectionCheckAlgorithmArpEntriesOrModem();
    void PrvTrace(const std::string& strLine);

    Config m_config;
    netutils::ProbeSource* m_pProbes;
    netutils::ProbeSource* m_pOwnedProbes = nullptr;
};

// The component manager's check, on the running system; the HTTP check goes
// through pFetcher when one is given.
bool ConnectionCheck(IHttpFetcher* pFetcher = nullptr);
