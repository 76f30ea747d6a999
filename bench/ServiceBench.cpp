// The service on a private bus, started by activation as in production:
//   - ClearTasksRoundTrip / PeerPingRoundTrip: a cheap method through the
//     client library against org.freedesktop.DBus.Peer.Ping to the same
//     server on the same connection (sd-bus answers Ping by itself); the
//     ratio of the two is the library's and the object's overhead
//     (goal <= 1.5);
//   - ColdStartCall: the first call to a service that is not running, until
//     its answer (activation, start-up, FinalConstruct, the call);
//   - IdleResidentMemory: the server's resident set once idle (goal < 8 MiB).
// Needs the Kettrin program of the same build folder.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "../tests/support/PrivateBus.h"
#include "client/mcComponentMgrClient.h"
#include "contract/ComponentMgrIfc.h"
#include "registry/RegistryKey.h"
#include "bus/mcBusConnection.h"
#include "bus/mcBusDispatcher.h"
#include "registry/mcCMUtils.h"

namespace {

const std::string kKettrin = std::string(KETTRIN_BINARY_DIR) + "/src/Kettrin";

// A machine of the benchmark's own (registry, application folder, trace
// socket) and a private bus that activates the server with that environment.
class ServiceHarness {
public:
    explicit ServiceHarness(const char* pszShutdownDelayMs) {
        std::string strTemplate = "/tmp/kettrin-svcbench-XXXXXX";
        if (!mkdtemp(strTemplate.data())) throw std::runtime_error("mkdtemp failed");
        m_strFolder = strTemplate;
        ::setenv("KETTRIN_REGISTRY", (m_strFolder + "/registry.db").c_str(), 1);
        ::setenv("KETTRIN_DIAG_SOCKET", (m_strFolder + "/diag.sock").c_str(), 1);
        ::setenv("KETTRIN_SHUTDOWN_DELAY_MS", pszShutdownDelayMs, 1);
        core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
        root.CreateSubKey(mcCMUtils::kRegistryKey).SetValueString(mcCMUtils::kAppPathValue, m_strFolder + "/app");
        m_pBus = std::make_unique<testsupport::PrivateBus>();
        m_pBus->AddService(cmifc::kBusName, kKettrin);
        m_pObserver = std::make_unique<mcBusConnection>(mcBusConnection::OpenAddress(m_pBus->Address()));
    }
    ~ServiceHarness() {
        m_pObserver.reset();
        m_pBus.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds{300});  // servers notice the bus is gone
        std::error_code ec;
        std::filesystem::remove_all(m_strFolder, ec);
    }

    std::unique_ptr<mcComponentMgrClient> NewClient() {
        mcComponentMgrClient::Options options;
        options.strBusAddress = m_pBus->Address();
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
    std::uint32_t OwnerPid() {
        mcBusMessage call = m_pObserver->NewMethodCall(mcBusConnection::kBusName, mcBusConnection::kBusPath,
                                                       mcBusConnection::kBusInterface, "GetConnectionUnixProcessID");
        call.Append(Owner());
        return m_pObserver->CallMethod(call).ReadUInt32();
    }
    // True once no server has owned the name for 200 ms in a row (a server
    // that gives up its name may take it back for a call that raced it).
    bool WaitNotRunning() {
        const auto tpEnd = std::chrono::steady_clock::now() + std::chrono::seconds{20};
        auto tpFree = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() < tpEnd) {
            if (!Owner().empty()) {
                tpFree = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - tpFree >= std::chrono::milliseconds{200}) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds{5});
        }
        return false;
    }

private:
    std::string m_strFolder;
    std::unique_ptr<testsupport::PrivateBus> m_pBus;
    std::unique_ptr<mcBusConnection> m_pObserver;
};

void BM_ClearTasksRoundTrip(benchmark::State& state) {
    ServiceHarness harness("60000");
    auto pClient = harness.NewClient();
    if (pClient->ClearTasks() != S_OK) {
        state.SkipWithError(("the service did not start: " + pClient->LastError()).c_str());
        return;
    }
    for (auto _ : state) {
        if (pClient->ClearTasks() != S_OK) state.SkipWithError("ClearTasks failed");
    }
}
BENCHMARK(BM_ClearTasksRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

void BM_PeerPingRoundTrip(benchmark::State& state) {
    ServiceHarness harness("60000");
    auto pClient = harness.NewClient();
    if (pClient->ClearTasks() != S_OK) {
        state.SkipWithError(("the service did not start: " + pClient->LastError()).c_str());
        return;
    }
    for (auto _ : state) {
        mcBusMessage call = pClient->Connection().NewMethodCall(cmifc::kBusName, cmifc::kObjectPath,
                                                                mcBusDispatcher::kIfacePeer, "Ping");
        pClient->Dispatcher().CallAsync(call);
    }
}
BENCHMARK(BM_PeerPingRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

// Both round trips alternately in one run, so that the load of the machine
// weighs on both alike; "ratio" = ClearTasks time / Ping time.
void BM_RoundTripRatio(benchmark::State& state) {
    ServiceHarness harness("60000");
    auto pClient = harness.NewClient();
    if (pClient->ClearTasks() != S_OK) {
        state.SkipWithError(("the service did not start: " + pClient->LastError()).c_str());
        return;
    }
    using Clock = std::chrono::steady_clock;
    Clock::duration method{};
    Clock::duration ping{};
    constexpr int kBatch = 100;
    for (auto _ : state) {
        const auto tp0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) (void)pClient->ClearTasks();
        const auto tp1 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            mcBusMessage call = pClient->Connection().NewMethodCall(cmifc::kBusName, cmifc::kObjectPath,
                                                                    mcBusDispatcher::kIfacePeer, "Ping");
            pClient->Dispatcher().CallAsync(call);
        }
        method += tp1 - tp0;
        ping += Clock::now() - tp1;
    }
    const double dMethodUs = std::chrono::duration<double, std::micro>(method).count() /
                             (static_cast<double>(state.iterations()) * kBatch);
    const double dPingUs = std::chrono::duration<double, std::micro>(ping).count() /
                           (static_cast<double>(state.iterations()) * kBatch);
    state.counters["ClearTasks_us"] = dMethodUs;
    state.counters["Ping_us"] = dPingUs;
    state.counters["ratio"] = dMethodUs / dPingUs;
}
BENCHMARK(BM_RoundTripRatio)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(50);

void BM_ColdStartCall(benchmark::State& state) {
    ServiceHarness harness("0");
    for (auto _ : state) {
        state.PauseTiming();
        if (!harness.WaitNotRunning()) {
            state.SkipWithError("the service did not end");
            break;
        }
        auto pClient = harness.NewClient();
        state.ResumeTiming();
        const HRESULT hr = pClient->ClearTasks();
        state.PauseTiming();
        if (hr != S_OK) state.SkipWithError(("first call failed: " + pClient->LastError()).c_str());
        pClient.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ColdStartCall)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(15);

// A "Name:   123 kB" field of a /proc file, in KiB (-1 when missing).
long ProcFieldKiB(const std::string& strFile, const std::string& strField) {
    std::ifstream in(strFile);
    std::string strLine;
    while (std::getline(in, strLine)) {
        if (strLine.rfind(strField + ":", 0) == 0) return std::stol(strLine.substr(strField.size() + 1));
    }
    return -1;
}

void BM_IdleResidentMemory(benchmark::State& state) {
    ServiceHarness harness("60000");
    auto pClient = harness.NewClient();
    if (pClient->ClearTasks() != S_OK) {
        state.SkipWithError(("the service did not start: " + pClient->LastError()).c_str());
        return;
    }
    const std::uint32_t nPid = harness.OwnerPid();
    const std::string strProc = "/proc/" + std::to_string(nPid);
    for (auto _ : state) {
        // Idle: start-up done, the cleanup thread has trimmed once.
        std::this_thread::sleep_for(std::chrono::seconds{2});
    }
    // The resident set; the part that is the process's own (anonymous); and
    // the proportional share, which splits library pages among their users.
    state.counters["RSS_MiB"] = ProcFieldKiB(strProc + "/status", "VmRSS") / 1024.0;
    state.counters["RssAnon_MiB"] = ProcFieldKiB(strProc + "/status", "RssAnon") / 1024.0;
    state.counters["Pss_MiB"] = ProcFieldKiB(strProc + "/smaps_rollup", "Pss") / 1024.0;
}
BENCHMARK(BM_IdleResidentMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
