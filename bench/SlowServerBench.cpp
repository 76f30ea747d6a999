// The service on a private bus (started by activation) while its manifest
// server stalls: a raw server on 127.0.0.1 that accepts every request and
// never answers, so each directory download waits for its 10 s time-out.
// A plain program printing figures (no Google Benchmark loop): each sample
// takes seconds, not microseconds.
//
//   activation: the first call (IsComponentInstalled) to a service that is
//     not running, until its answer; the service's start-up update then
//     meets the stalled server. The server is stopped (SIGTERM) between
//     samples.
//   activation_peer: the same with a manifest server that answers at once
//     (404), measured alternately with the stalled one in the same run; the
//     ratio of the medians shows what the stalled server still costs.
//   query_during_updates: IsComponentInstalled from one client, every 10 ms,
//     while two other clients call UpdateManifests back to back.
//
// Goal: p99 of both under 50 ms. Run time: about 40 s when no call waits for
// the server; with the updates on the bus thread about 2 minutes (run it with
// fewer activations there: 3 25).
// Usage: bench_SlowServerBench [activations of each kind (default 5)] [query seconds (default 25)]
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/LocalHttpServer.h"
#include "../tests/support/PrivateBus.h"
#include "bus/mcBusConnection.h"
#include "client/mcComponentMgrClient.h"
#include "contract/ComponentMgrIfc.h"
#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kKettrin = std::string(KETTRIN_BINARY_DIR) + "/src/Kettrin";

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Nearest-rank percentile of sorted samples.
double Percentile(const std::vector<double>& vecSorted, double dPercent) {
    if (vecSorted.empty()) return 0.0;
    std::size_t nRank = static_cast<std::size_t>(dPercent / 100.0 * static_cast<double>(vecSorted.size()) + 0.999999);
    nRank = std::clamp<std::size_t>(nRank, 1, vecSorted.size());
    return vecSorted[nRank - 1];
}

void Report(const char* pszName, std::vector<double> vecMs) {
    std::sort(vecMs.begin(), vecMs.end());
    std::printf("%-22s n=%-5zu p50=%9.1f ms  p99=%9.1f ms  max=%9.1f ms  goal p99<50 ms: %s\n", pszName,
                vecMs.size(), Percentile(vecMs, 50), Percentile(vecMs, 99), vecMs.empty() ? 0.0 : vecMs.back(),
                !vecMs.empty() && Percentile(vecMs, 99) < 50.0 ? "met" : "missed");
    std::fflush(stdout);
}

class Harness {
public:
    Harness() {
        std::string strTemplate = "/tmp/kettrin-slowbench-XXXXXX";
        if (!mkdtemp(strTemplate.data())) throw std::runtime_error("mkdtemp failed");
        m_strFolder = strTemplate;
        ::setenv("KETTRIN_REGISTRY", (m_strFolder + "/registry.db").c_str(), 1);
        ::setenv("KETTRIN_DIAG_SOCKET", (m_strFolder + "/diag.sock").c_str(), 1);
        ::setenv("KETTRIN_SHUTDOWN_DELAY_MS", "60000", 1);
        if (!m_stall.StartRaw(kettrin::test::LocalHttpServer::RawMode::kNeverAnswer)) {
            throw std::runtime_error("stalling server did not start");
        }
        m_events.Get("/qorb/ev/cm", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("", "text/plain");
        });
        if (!m_events.Start()) throw std::runtime_error("event server did not start");

        core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
        core::registry::RegistryKey key = root.CreateSubKey(mcCMUtils::kRegistryKey);
        key.SetValueString(mcCMUtils::kAppPathValue, m_strFolder + "/app");
        key.SetValueString("ManifestDirUrl", m_stall.Url("/ManifestDirectory.xml"));
        key.SetValueString("EventServer", m_events.HostPort());
        // The connection check always passes: the time goes to the downloads.
        core::registry::RegistryKey machine(core::registry::kRootLocalMachine, "");
        machine.CreateSubKey("Software\\Tavrolin\\Tavrolin Jukebox\\4.0\\NetServices")
            .SetValueDWord("ConnectionCheckAlgorithm", 0);

        m_pBus = std::make_unique<testsupport::PrivateBus>();
        m_pBus->AddService(cmifc::kBusName, kKettrin);
        m_pObserver = std::make_unique<mcBusConnection>(mcBusConnection::OpenAddress(m_pBus->Address()));
    }
    ~Harness() {
        StopService();
        m_pObserver.reset();
        m_pBus.reset();
        m_stall.Stop();
        m_events.Stop();
        std::error_code ec;
        std::filesystem::remove_all(m_strFolder, ec);
    }

    std::unique_ptr<mcComponentMgrClient> NewClient() {
        mcComponentMgrClient::Options options;
        options.strBusAddress = m_pBus->Address();
        options.timeout = 120s;
        return std::make_unique<mcComponentMgrClient>(options);
    }
    std::string Owner() {
        mcBusMessage call = m_pObserver->NewMethodCall(mcBusConnection::kBusName, mcBusConnection::kBusPath,
                                                       mcBusConnection::kBusInterface, "GetNameOwner");
        call.Append(cmifc::kBusName);
        try {
            return m_pObserver->CallMethod(call).ReadString();
        } catch (const mcExc&) {
            return std::string();
        }
    }
    // Stops the running server with SIGTERM and waits until the name is free.
    bool StopService() {
        const std::string strOwner = Owner();
        if (strOwner.empty()) return true;
        try {
            mcBusMessage call = m_pObserver->NewMethodCall(mcBusConnection::kBusName, mcBusConnection::kBusPath,
                                                           mcBusConnection::kBusInterface,
                                                           "GetConnectionUnixProcessID");
            call.Append(strOwner);
            const auto pid = static_cast<pid_t>(m_pObserver->CallMethod(call).ReadUInt32());
            ::kill(pid, SIGTERM);
        } catch (const mcExc&) {
            return false;
        }
        const auto tpEnd = Clock::now() + 60s;
        while (Clock::now() < tpEnd) {
            if (Owner().empty()) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    // Where the service finds its directory (read at each start).
    void SetDirUrl(bool bStalled) {
        core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
        root.CreateSubKey(mcCMUtils::kRegistryKey)
            .SetValueString("ManifestDirUrl", bStalled ? m_stall.Url("/ManifestDirectory.xml")
                                                       : m_events.Url("/missing/ManifestDirectory.xml"));
    }
    // The directory the start-up update would otherwise find.
    void ForgetManifests() {
        std::error_code ec;
        std::filesystem::remove(m_strFolder + "/app/ManifestDirectory.xml", ec);
    }

private:
    std::string m_strFolder;
    kettrin::test::LocalHttpServer m_stall;
    kettrin::test::LocalHttpServer m_events;
    std::unique_ptr<testsupport::PrivateBus> m_pBus;
    std::unique_ptr<mcBusConnection> m_pObserver;
};

}  // namespace

int main(int argc, char** argv) {
    const int nActivations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int nQuerySeconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 25;
    try {
        Harness harness;

        std::vector<double> vecActivation;
        std::vector<double> vecPeer;
        for (int i = 0; i < 2 * nActivations; ++i) {
            const bool bStalled = i % 2 == 1;
            harness.SetDirUrl(bStalled);
            harness.ForgetManifests();
            auto pClient = harness.NewClient();
            std::int32_t nStatus = 0;
            const auto tp0 = Clock::now();
            const HRESULT hr = pClient->IsComponentInstalled("A", "Jukebox", "Visualizer", nStatus);
            const auto tp1 = Clock::now();
            if (FAILED(hr)) {
                std::fprintf(stderr, "activation call failed: 0x%08x %s\n", static_cast<unsigned>(hr),
                             pClient->LastError().c_str());
                return 1;
            }
            (bStalled ? vecActivation : vecPeer).push_back(Ms(tp1 - tp0));
            pClient.reset();
            if (!harness.StopService()) {
                std::fprintf(stderr, "the service did not stop\n");
                return 1;
            }
        }
        Report("activation_peer", vecPeer);
        Report("activation", vecActivation);
        std::sort(vecActivation.begin(), vecActivation.end());
        std::sort(vecPeer.begin(), vecPeer.end());
        std::printf("%-22s %.2f (median stalled / median peer)\n", "activation_ratio",
                    Percentile(vecActivation, 50) / std::max(0.001, Percentile(vecPeer, 50)));
        harness.SetDirUrl(true);

        // A running service (its start-up update stalls as well).
        auto pQuery = harness.NewClient();
        std::int32_t nStatus = 0;
        if (FAILED(pQuery->IsComponentInstalled("A", "Jukebox", "Visualizer", nStatus))) {
            std::fprintf(stderr, "the service did not start: %s\n", pQuery->LastError().c_str());
            return 1;
        }
        std::atomic<bool> bStop{false};
        std::atomic<int> nUpdates{0};
        std::vector<std::thread> vecUpdaters;
        for (int i = 0; i < 2; ++i) {
            vecUpdaters.emplace_back([&] {
                auto pClient = harness.NewClient();
                while (!bStop) {
                    (void)pClient->UpdateManifests();
                    ++nUpdates;
                }
            });
        }
        std::this_thread::sleep_for(200ms);  // the updates are under way
        std::vector<double> vecQuery;
        const auto tpEnd = Clock::now() + std::chrono::seconds(nQuerySeconds);
        while (Clock::now() < tpEnd) {
            const auto tp0 = Clock::now();
            (void)pQuery->IsComponentInstalled("A", "Jukebox", "Visualizer", nStatus);
            vecQuery.push_back(Ms(Clock::now() - tp0));
            std::this_thread::sleep_for(10ms);
        }
        bStop = true;
        // Stop the service so the updaters' last calls end without waiting
        // out their downloads.
        harness.StopService();
        for (std::thread& t : vecUpdaters) t.join();
        Report("query_during_updates", vecQuery);
        std::printf("%-22s %d answered in %d s\n", "updates", nUpdates.load(), nQuerySeconds);
    } catch (const std::exception& exc) {
        std::fprintf(stderr, "benchmark failed: %s\n", exc.what());
        return 1;
    }
    return 0;
}
