// Round trips on a private bus: a cheap method served through our dispatcher
// against org.freedesktop.DBus.Peer.Ping answered by sd-bus itself (in the
// same loop) and by the bus daemon; and a task handed to the main thread with
// Invoke().
#include <benchmark/benchmark.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "../tests/support/PrivateBus.h"
#include "bus/mcBusConnection.h"
#include "bus/mcBusDispatcher.h"

namespace {

constexpr const char* kPath = "/org/kettrin/Bench";
constexpr const char* kIface = "org.kettrin.Bench";

// The serving side: its own thread, connection and dispatcher.
class Server {
public:
    explicit Server(const std::string& strAddress) {
        std::promise<std::string> ready;
        auto future = ready.get_future();
        m_thread = std::thread([this, strAddress, &ready] {
            mcBusConnection connection = mcBusConnection::OpenAddress(strAddress);
            mcBusDispatcher dispatcher(connection);
            dispatcher.AddMethod(kPath, kIface, "Add", "ii", [](mcBusMessage& call) {
                const std::int32_t a = call.ReadInt32();
                const std::int32_t b = call.ReadInt32();
                mcBusMessage reply = call.NewMethodReturn();
                reply << a + b;
                return reply;
            });
            m_pDispatcher = &dispatcher;
            ready.set_value(connection.UniqueName());
            dispatcher.Run();
            dispatcher.Stop();
        });
        m_strName = future.get();
    }
    ~Server() {
        m_pDispatcher.load()->Quit();
        m_thread.join();
    }
    const std::string& Name() const { return m_strName; }
    mcBusDispatcher& Dispatcher() { return *m_pDispatcher.load(); }

private:
    std::atomic<mcBusDispatcher*> m_pDispatcher{nullptr};
    std::string m_strName;
    std::thread m_thread;
};

std::unique_ptr<testsupport::PrivateBus> g_pBus;
std::unique_ptr<Server> g_pServer;

void RoundTrip(benchmark::State& state, const std::string& strDestination, const char* pszPath,
               const char* pszIface, const char* pszMember, bool bArgs) {
    mcBusConnection client = mcBusConnection::OpenAddress(g_pBus->Address());
    for (auto _ : state) {
        mcBusMessage call = client.NewMethodCall(strDestination, pszPath, pszIface, pszMember);
        if (bArgs) call << 1 << 2;
        mcBusMessage reply = client.CallMethod(call);
        benchmark::DoNotOptimize(reply.Get());
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_DispatcherMethod(benchmark::State& state) {
    RoundTrip(state, g_pServer->Name(), kPath, kIface, "Add", true);
}

void BM_PeerPingSameLoop(benchmark::State& state) {
    RoundTrip(state, g_pServer->Name(), "/", "org.freedesktop.DBus.Peer", "Ping", false);
}

void BM_PeerPingBusDaemon(benchmark::State& state) {
    RoundTrip(state, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Peer",
              "Ping", false);
}

void BM_InvokeOnMainThread(benchmark::State& state) {
    mcBusDispatcher& dispatcher = g_pServer->Dispatcher();
    int n = 0;
    for (auto _ : state) benchmark::DoNotOptimize(dispatcher.Invoke([&n] { return ++n; }));
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_DispatcherMethod)->UseRealTime();
BENCHMARK(BM_PeerPingSameLoop)->UseRealTime();
BENCHMARK(BM_PeerPingBusDaemon)->UseRealTime();
BENCHMARK(BM_InvokeOnMainThread)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // Built on the main thread: the daemon ends with the thread that started it.
    g_pBus = std::make_unique<testsupport::PrivateBus>();
    g_pServer = std::make_unique<Server>(g_pBus->Address());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_pServer.reset();
    g_pBus.reset();
    return 0;
}
