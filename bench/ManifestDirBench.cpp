// Manifest directory costs on a private application folder and registry: the
// start-up load of a directory listing many signed manifests, manifest lookups
// (also from two threads at once) and the due check made at every scheduled
// task run. Nothing here touches the network.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "ManifestKey.h"
#include "registry/RegistryKey.h"
#include "base/mcCMLog.h"
#include "registry/mcCMUtils.h"
#include "manifest/Crypt.h"
#include "manifest/mcManifestDir.h"
#include "manifest/mcSignedFile.h"

namespace {

std::string g_strApp;
constexpr int kManifests = 20;
constexpr int kComponentsPerManifest = 40;

void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// kManifests signed manifests of kComponentsPerManifest components each and a
// directory that lists them.
void Populate() {
    const std::string pem = ReadAll(std::string(KETTRIN_TEST_DATA) + "/keys/dev-manifest-key.pem");
    std::string entries;
    for (int m = 0; m < kManifests; ++m) {
        const std::string name = "Publisher" + std::to_string(m);
        std::string xml = "<ComponentManifest version=\"1.00.0001\">";
        for (int c = 0; c < kComponentsPerManifest; ++c)
            xml += "<Component name=\"C" + std::to_string(c) +
                   "\"><CompatibleClients><Client name=\"Jukebox\"><Version min=\"4.0.0\"/><OEM>A</OEM>"
                   "</Client></CompatibleClients><Plugin name=\"p.zrz\" version=\"1.0.0\"><Update><URL>"
                   "http://dl.example/p.zrz</URL></Update></Plugin></Component>";
        xml += "</ComponentManifest>";
        Write(g_strApp + "/" + name + "_Manifest.xml", mcSignedFile::Compose(zr::crypt::RSASign(pem, xml), xml));
        entries += "<Manifest name=\"" + name + "\" version=\"1.00.0001\"><URL>http://dl.example/" + name +
                   ".xml</URL></Manifest>";
    }
    Write(g_strApp + "/ManifestDirectory.xml", "<ManifestDirectory Interval=\"7\">" + entries + "</ManifestDirectory>");
    core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
    root.CreateSubKey(mcCMUtils::kRegistryKey).SetValueString(mcManifestDir::kLastDirUpdateValue, "12-8-2026");
}

mcManifestDir::Config MakeConfig() {
    mcManifestDir::Config config;
    config.strAppFolder = g_strApp;
    config.fnConnectionCheck = [] { return false; };
    config.strPublicKeyHex = zr::crypt::kDevelopmentManifestPublicKey;
    return config;
}

void BM_LoadDirectoryAndManifests(benchmark::State& state) {
    for (auto _ : state) {
        mcManifestDir dir(nullptr, MakeConfig());
        benchmark::DoNotOptimize(dir.GetManifest("Publisher0"));
    }
    state.SetItemsProcessed(state.iterations() * kManifests);
}
BENCHMARK(BM_LoadDirectoryAndManifests)->Unit(benchmark::kMillisecond);

std::unique_ptr<mcManifestDir> g_pDir;

void BM_GetManifest(benchmark::State& state) {
    if (state.thread_index() == 0 && !g_pDir) g_pDir = std::make_unique<mcManifestDir>(nullptr, MakeConfig());
    int i = 0;
    const std::string names[] = {"Publisher3", "Publisher17", "Publisher0", "Missing"};
    for (auto _ : state) {
        benchmark::DoNotOptimize(g_pDir->GetManifest(names[i++ & 3]));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetManifest)->Threads(1)->Threads(2)->UseRealTime();

void BM_IsUpdateDue(benchmark::State& state) {
    mcManifestDir dir(nullptr, MakeConfig());
    for (auto _ : state) benchmark::DoNotOptimize(dir.IsUpdateDue());
}
BENCHMARK(BM_IsUpdateDue);

}  // namespace

int main(int argc, char** argv) {
    char pattern[] = "/tmp/kettrin-mdirbench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    const std::string dir = pattern;
    g_strApp = dir + "/app";
    std::filesystem::create_directories(g_strApp);
    ::setenv("KETTRIN_REGISTRY", (dir + "/registry.db").c_str(), 1);
    ::setenv("KETTRIN_DIAG_SOCKET", (dir + "/zrdiag.sock").c_str(), 1);
    mcCMLog::Instance().Open(dir);
    int rc = 0;
    Populate();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        rc = 1;
    } else {
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    g_pDir.reset();
    mcCMLog::Instance().Close();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return rc;
}
