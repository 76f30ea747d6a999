// Costs of the configuration store as the number of components grows:
// lookups (GetComponentCurrentState, IsComponentOfClient), a change that
// saves (SetComponentState) and a walk over all components
// (GetComponentsOfClient). Each store lives in a temporary folder of its own.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/mcCMLog.h"
#include "store/mcComponentConfig.h"

namespace {

// A temporary application folder with a configuration of n components
// (each with a state, one of ten clients and a manifest), removed at the end.
class BenchStore {
public:
    explicit BenchStore(int n) {
        std::string templ = "/tmp/kettrin-storebench-XXXXXX";
        if (mkdtemp(templ.data()) == nullptr) std::abort();
        m_strDir = templ;
        setenv("KETTRIN_REGISTRY", (m_strDir + "/registry.db").c_str(), 1);
        setenv("KETTRIN_DIAG_SOCKET", (m_strDir + "/zrdiag.sock").c_str(), 1);
        mcCMLog::Instance().Open(m_strDir);
        std::ofstream out(m_strDir + "/ComponentMgrConfig.xml");
        out << "<Config><ClientList><Client name=\"client0\" version=\"1\" oem=\"o\" lang=\"en\"/></ClientList>";
        for (int i = 0; i < n; ++i) {
            out << "<Component name=\"c" << i << "\" version=\"1.00.0001\"><State value=\"installed\">"
                << "<downloaded version=\"1.00.0001\"/><installed version=\"1.00.0001\"/></State>"
                << "<ClientList><Client>client" << i % 10 << "</Client></ClientList>"
                << "<InstallPath>/opt/tavrolin/c" << i << "</InstallPath>"
                << "<ManifestList><Manifest>main</Manifest></ManifestList></Component>";
        }
        out << "</Config>";
        out.close();
        m_pStore = std::make_unique<mcComponentConfig>(
            mcComponentConfig::Settings{m_strDir, m_strDir + "/HoldingArea"});
    }
    ~BenchStore() {
        m_pStore.reset();
        mcCMLog::Instance().Close();
        std::error_code ec;
        std::filesystem::remove_all(m_strDir, ec);
    }
    mcComponentConfig& Store() { return *m_pStore; }

private:
    std::string m_strDir;
    std::unique_ptr<mcComponentConfig> m_pStore;
};

void BM_GetComponentCurrentState(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    BenchStore bench(n);
    // The last component: a walk in document order would pass all others.
    const std::string name = "c" + std::to_string(n - 1);
    std::string value;
    for (auto _ : state) {
        if (!bench.Store().GetComponentCurrentState(name, value)) state.SkipWithError("lookup failed");
        benchmark::DoNotOptimize(value);
    }
    state.SetComplexityN(n);
}

void BM_IsComponentOfClient(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    BenchStore bench(n);
    const std::string name = "c" + std::to_string(n - 1);
    const std::string client = "client" + std::to_string((n - 1) % 10);
    for (auto _ : state) {
        if (!bench.Store().IsComponentOfClient(client, name)) state.SkipWithError("lookup failed");
    }
    state.SetComplexityN(n);
}

void BM_SetComponentState(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    BenchStore bench(n);
    const std::string name = "c" + std::to_string(n / 2);
    int version = 0;
    for (auto _ : state) {
        if (!bench.Store().SetComponentState(name, "downloaded", std::to_string(++version))) {
            state.SkipWithError("save failed");
        }
    }
    state.SetComplexityN(n);
}

void BM_GetComponentsOfClient(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    BenchStore bench(n);
    std::vector<std::string> names;
    for (auto _ : state) {
        names.clear();
        bench.Store().GetComponentsOfClient("client3", names);
        benchmark::DoNotOptimize(names.data());
    }
    state.SetComplexityN(n);
}

// Loading a configuration of n components (a store's construction).
void BM_LoadStore(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    BenchStore bench(n);
    const mcComponentConfig::Settings settings{bench.Store().GetAppPath(), bench.Store().GetHoldingArea()};
    for (auto _ : state) {
        auto store = std::make_unique<mcComponentConfig>(settings);
        benchmark::DoNotOptimize(store.get());
        // The destructor saves; that is measured by BM_SetComponentState.
        state.PauseTiming();
        store.reset();
        state.ResumeTiming();
    }
    state.SetComplexityN(n);
}

}  // namespace

BENCHMARK(BM_GetComponentCurrentState)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Complexity();
BENCHMARK(BM_IsComponentOfClient)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Complexity();
BENCHMARK(BM_SetComponentState)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(BM_LoadStore)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(BM_GetComponentsOfClient)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond)->Complexity();

BENCHMARK_MAIN();
