// Registry read and write costs on a registry file of its own (in a temporary
// folder on disk). Each benchmark runs in repetitions; read the median rows.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "registry/RegistryDatabase.h"
#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"

using core::registry::RegistryKey;
namespace reg = core::registry;

namespace {

constexpr const char* kKey = "software\\Tavrolin, Inc.\\componentMgr";

RegistryKey CMKey(std::uint32_t access = reg::KEY_ALL_ACCESS) {
    return RegistryKey(reg::kRootLocalMachine, kKey, access);
}

// A key holding a few hundred values and sub-keys, like a registry in use.
void Populate() {
    RegistryKey root(reg::kRootLocalMachine, "");
    RegistryKey key = root.CreateSubKey(kKey);
    key.SetValueString(mcCMUtils::kAppPathValue, "/var/lib/tavrolin/componentmgr");
    key.SetValueDWord("Interval", 7);
    for (int i = 0; i < 300; ++i) {
        key.SetValueString("Value" + std::to_string(i), "data " + std::to_string(i));
        root.CreateSubKey("software\\Vendor" + std::to_string(i) + "\\Product");
    }
}

void BM_OpenKeyAndReadString(benchmark::State& state) {
    for (auto _ : state) {
        RegistryKey key = CMKey(reg::KEY_READ);
        benchmark::DoNotOptimize(key.GetValueString(mcCMUtils::kAppPathValue));
    }
}

void BM_ReadStringOnOpenKey(benchmark::State& state) {
    RegistryKey key = CMKey(reg::KEY_READ);
    for (auto _ : state) benchmark::DoNotOptimize(key.GetValueString(mcCMUtils::kAppPathValue));
}

void BM_ReadDWordOnOpenKey(benchmark::State& state) {
    RegistryKey key = CMKey(reg::KEY_READ);
    for (auto _ : state) benchmark::DoNotOptimize(key.GetValueDWord("Interval"));
}

void BM_KeyExists(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(RegistryKey::Exists(reg::kRootLocalMachine, kKey));
}

void BM_GetAppPath(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(mcCMUtils::GetAppPath());
}

void BM_WriteString(benchmark::State& state) {
    RegistryKey key = CMKey();
    std::uint64_t i = 0;
    for (auto _ : state) key.SetValueString("LastDirUpdate", "12-8-" + std::to_string(i++));
}

void BM_WriteDWord(benchmark::State& state) {
    RegistryKey key = CMKey();
    std::uint32_t i = 0;
    for (auto _ : state) key.SetValueDWord("Counter", i++);
}

void BM_CreateAndDeleteKey(benchmark::State& state) {
    RegistryKey key = CMKey();
    for (auto _ : state) {
        key.CreateSubKey("Clients\\Bench");
        key.DeleteSubKey("Clients");
    }
}

#define KETTRIN_REG_BENCH(fn) BENCHMARK(fn)->Repetitions(5)->ReportAggregatesOnly(true)
KETTRIN_REG_BENCH(BM_OpenKeyAndReadString);
KETTRIN_REG_BENCH(BM_ReadStringOnOpenKey);
KETTRIN_REG_BENCH(BM_ReadDWordOnOpenKey);
KETTRIN_REG_BENCH(BM_KeyExists);
KETTRIN_REG_BENCH(BM_GetAppPath);
KETTRIN_REG_BENCH(BM_WriteString);
KETTRIN_REG_BENCH(BM_WriteDWord);
KETTRIN_REG_BENCH(BM_CreateAndDeleteKey);

}  // namespace

int main(int argc, char** argv) {
    char pattern[] = "/tmp/kettrin-regbench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    std::string dir = pattern;
    int rc = 0;
    {
        reg::db::ScopedDatabasePath scope(dir + "/registry.db");
        Populate();
        benchmark::Initialize(&argc, argv);
        if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
            rc = 1;
        } else {
            benchmark::RunSpecifiedBenchmarks();
            benchmark::Shutdown();
        }
        reg::db::CloseThreadConnections();
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return rc;
}
