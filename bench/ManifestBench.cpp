// Signed component manifests at scale: a document of about 1 MB with 2,000
// components, signed with the development key.
//   BM_VerifySignedFile     read + RSA/SHA-1 verification (legacy form)
//   BM_VerifyEd25519 / BM_VerifyRsaSha256
//                           read + KSIG2 verification (RSA: 3072-bit key)
//   BM_VerifyFormsRatio     the three in one loop; counters "ed25519_ratio" and
//                           "rsa_sha256_ratio" = strong form / legacy form in CPU time
//   BM_LoadManifest         verification + parse + extraction (what the service does)
//   BM_XmllintNoout         `xmllint --noout` on the same document, as a yardstick
//   BM_LoadVersusXmllint    both in one loop; counters "ratio" = load / xmllint in
//                           wall time and "cpu_ratio" in CPU time (user + system;
//                           robust on a busy machine)
//   BM_GetComponents*       listing for no client and for a filtered client
// Everything runs in a private temporary folder (log, trace socket, registry).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "ManifestKey.h"
#include "base/mcCMLog.h"
#include "manifest/Crypt.h"
#include "manifest/mcComponentManifest.h"
#include "manifest/StrongCrypt.h"
#include "manifest/mcSignedFile.h"
#include "manifest/mcTrustedKeys.h"

extern char** environ;

namespace {

constexpr int kComponents = 2000;

std::string g_strFolder;
std::string g_strSignedPath;  // signed manifest
std::string g_strPlainPath;   // the same document without the signature line
std::string g_strEd25519Path;  // KSIG2 ed25519
std::string g_strRsaSha256Path;  // KSIG2 rsa-sha256
msTrustPolicy g_strongPolicy;  // both keys trusted

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A realistic mix: half the components are for one client with version bounds,
// OEM and language lists, a quarter exclude a client, the rest are for everyone.
std::string MakeManifest() {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ComponentManifest version=\"1.02.0003\">\n";
    for (int i = 0; i < kComponents; ++i) {
        const std::string n = std::to_string(i);
        xml += "  <Component name=\"Component" + n + "\" friendlyName=\"Friendly name of component " + n + "\">\n";
        xml += "    <ClientData><Setting key=\"skin\" value=\"dark\"/><Setting key=\"slot\" value=\"" + n +
               "\"/><Description>Adds feature number " + n +
               " to the player, with a description long enough to be typical.</Description></ClientData>\n";
        if (i % 4 < 2) {
            xml += "    <CompatibleClients>\n"
                   "      <Client name=\"Jukebox\"><Version min=\"4." + std::to_string(i % 10) +
                   ".0\" max=\"4.9.9999\"/><OEM>OEM1</OEM><OEM>OEM2</OEM><OEM>OEM3</OEM><LANG>en</LANG><LANG>de</LANG><LANG>fr</LANG></Client>\n"
                   "      <Client name=\"Tuner\"><Version min=\"1.0.0\"/></Client>\n"
                   "    </CompatibleClients>\n";
        } else if (i % 4 == 2) {
            xml += "    <IncompatibleClients><Client name=\"Jukebox\"><Version max=\"3.9.9999\"/></Client>"
                   "<Client name=\"Legacy\"/></IncompatibleClients>\n";
        }
        xml += "    <Plugin name=\"component" + n + ".zrz\" version=\"1.00.00" + std::to_string(10 + i % 90) + "\">\n"
               "      <GUID>{6B29FC40-CA47-1067-B31D-00DD010662" + std::to_string(10 + i % 90) + "}</GUID>\n"
               "      <Availability state=\"true\"/>\n"
               "      <Update mandatory=\"false\"><URL>http://download.example.com/components/component" + n +
               ".zrz</URL></Update>\n"
               "      <Install><Cmdline>/silent /component=" + n + "</Cmdline></Install>\n"
               "      <Uninstall rule=\"" + (i % 2 == 0 ? "CM" : "Client") + "\"/>\n"
               "    </Plugin>\n"
               "  </Component>\n";
    }
    xml += "</ComponentManifest>\n";
    return xml;
}

void SetUpFolder() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kettrin-manifest-bench-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) {
        std::cerr << "mkdtemp failed\n";
        std::exit(1);
    }
    g_strFolder = tmpl;
    ::setenv("KETTRIN_REGISTRY", (g_strFolder + "/registry.db").c_str(), 1);
    ::setenv("KETTRIN_DIAG_SOCKET", (g_strFolder + "/zrdiag.sock").c_str(), 1);
    mcCMLog::Instance().Open(g_strFolder);

    const std::string xml = MakeManifest();
    const std::string pem = ReadFile(std::string(KETTRIN_TEST_DATA) + "/keys/dev-manifest-key.pem");
    g_strSignedPath = g_strFolder + "/Bench_Manifest.xml";
    g_strPlainPath = g_strFolder + "/Bench_Plain.xml";
    WriteFile(g_strSignedPath, mcSignedFile::Compose(zr::crypt::RSASign(pem, xml), xml));
    WriteFile(g_strPlainPath, xml);
    auto pKeys = std::make_shared<mcTrustedKeys>();
    for (auto eType : {zr::crypt::meKeyType::kEd25519, zr::crypt::meKeyType::kRsaSha256}) {
        const zr::crypt::msStrongKeyPair pair = zr::crypt::StrongGenerateKey(eType);
        pKeys->Add(zr::crypt::PublicKeyFromPem(pair.publicKeyPem));
        std::string& path = eType == zr::crypt::meKeyType::kEd25519 ? g_strEd25519Path : g_strRsaSha256Path;
        path = g_strFolder + "/Bench_" + zr::crypt::AlgorithmName(eType) + ".xml";
        WriteFile(path, mcSignedFile::ComposeStrong(zr::crypt::StrongSign(pair.privateKeyPem, xml), xml));
    }
    g_strongPolicy = msTrustPolicy{zr::crypt::kDevelopmentManifestPublicKey, pKeys, false};
    std::cerr << "manifest: " << xml.size() << " bytes, " << kComponents << " components\n";
}

msManifestFile BenchFile() {
    return msManifestFile{g_strSignedPath, zr::crypt::kDevelopmentManifestPublicKey};
}

double CpuSeconds(const timeval& user, const timeval& system) {
    return static_cast<double>(user.tv_sec + system.tv_sec) + (user.tv_usec + system.tv_usec) / 1e6;
}

double ProcessCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// Runs xmllint --noout on the plain document; false when it did not succeed.
// *cpuSeconds receives the child's user + system time.
bool RunXmllint(double* cpuSeconds = nullptr) {
    const char* argv[] = {"xmllint", "--noout", g_strPlainPath.c_str(), nullptr};
    pid_t pid;
    if (::posix_spawnp(&pid, "xmllint", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
        return false;
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
    }
    if (cpuSeconds != nullptr) *cpuSeconds = CpuSeconds(usage.ru_utime, usage.ru_stime);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_VerifySignedFile(benchmark::State& state) {
    for (auto _ : state) {
        mcSignedFile file(g_strSignedPath, zr::crypt::kDevelopmentManifestPublicKey);
        if (!file.IsVerified()) state.SkipWithError("not verified");
        benchmark::DoNotOptimize(file.GetDocument().data());
    }
}
BENCHMARK(BM_VerifySignedFile)->Unit(benchmark::kMillisecond);

void VerifyStrong(benchmark::State& state, const std::string& path) {
    mcSignedFile file(path, g_strongPolicy);
    if (!file.IsVerified()) state.SkipWithError("not verified");
    benchmark::DoNotOptimize(file.GetDocument().data());
}

void BM_VerifyEd25519(benchmark::State& state) {
    for (auto _ : state) VerifyStrong(state, g_strEd25519Path);
}
BENCHMARK(BM_VerifyEd25519)->Unit(benchmark::kMillisecond);

void BM_VerifyRsaSha256(benchmark::State& state) {
    for (auto _ : state) VerifyStrong(state, g_strRsaSha256Path);
}
BENCHMARK(BM_VerifyRsaSha256)->Unit(benchmark::kMillisecond);

void BM_VerifyFormsRatio(benchmark::State& state) {
    double legacy = 0, ed = 0, rsa = 0;
    for (auto _ : state) {
        double t0 = ProcessCpuSeconds();
        mcSignedFile file(g_strSignedPath, zr::crypt::kDevelopmentManifestPublicKey);
        if (!file.IsVerified()) state.SkipWithError("not verified");
        double t1 = ProcessCpuSeconds();
        VerifyStrong(state, g_strEd25519Path);
        double t2 = ProcessCpuSeconds();
        VerifyStrong(state, g_strRsaSha256Path);
        double t3 = ProcessCpuSeconds();
        legacy += t1 - t0;
        ed += t2 - t1;
        rsa += t3 - t2;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["legacy_ms"] = legacy * 1000 / n;
    state.counters["ed25519_ms"] = ed * 1000 / n;
    state.counters["rsa_sha256_ms"] = rsa * 1000 / n;
    state.counters["ed25519_ratio"] = legacy > 0 ? ed / legacy : 0;
    state.counters["rsa_sha256_ratio"] = legacy > 0 ? rsa / legacy : 0;
}
BENCHMARK(BM_VerifyFormsRatio)->Unit(benchmark::kMillisecond)->Iterations(30);

void BM_LoadManifest(benchmark::State& state) {
    for (auto _ : state) {
        mcComponentManifest manifest(BenchFile());
        if (!manifest.IsLoaded()) state.SkipWithError("not loaded");
    }
}
BENCHMARK(BM_LoadManifest)->Unit(benchmark::kMillisecond);

void BM_XmllintNoout(benchmark::State& state) {
    for (auto _ : state) {
        if (!RunXmllint()) state.SkipWithError("xmllint failed");
    }
}
BENCHMARK(BM_XmllintNoout)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LoadVersusXmllint(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    Clock::duration load{}, lint{};
    double loadCpu = 0, lintCpu = 0;
    for (auto _ : state) {
        const double c0 = ProcessCpuSeconds();
        auto t0 = Clock::now();
        bool bOk;
        {
            mcComponentManifest manifest(BenchFile());
            bOk = manifest.IsLoaded();
        }
        auto t1 = Clock::now();
        loadCpu += ProcessCpuSeconds() - c0;
        double childCpu = 0;
        if (!bOk || !RunXmllint(&childCpu)) state.SkipWithError("load or xmllint failed");
        auto t2 = Clock::now();
        lintCpu += childCpu;
        load += t1 - t0;
        lint += t2 - t1;
    }
    const double loadMs = std::chrono::duration<double, std::milli>(load).count() / state.iterations();
    const double lintMs = std::chrono::duration<double, std::milli>(lint).count() / state.iterations();
    state.counters["load_ms"] = loadMs;
    state.counters["xmllint_ms"] = lintMs;
    state.counters["ratio"] = lintMs > 0 ? loadMs / lintMs : 0;
    state.counters["load_cpu_ms"] = loadCpu * 1000 / state.iterations();
    state.counters["xmllint_cpu_ms"] = lintCpu * 1000 / state.iterations();
    state.counters["cpu_ratio"] = lintCpu > 0 ? loadCpu / lintCpu : 0;
}
BENCHMARK(BM_LoadVersusXmllint)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

void BM_GetComponentsAll(benchmark::State& state) {
    mcComponentManifest manifest(BenchFile());
    for (auto _ : state) {
        std::vector<std::string> names;
        manifest.GetComponents(msClientRecord{}, names);
        if (names.size() != kComponents) state.SkipWithError("wrong count");
    }
}
BENCHMARK(BM_GetComponentsAll)->Unit(benchmark::kMicrosecond);

void BM_GetComponentsFiltered(benchmark::State& state) {
    mcComponentManifest manifest(BenchFile());
    const msClientRecord client{"Jukebox", "4.5.0", "OEM2", "de"};
    std::size_t nListed = 0;
    for (auto _ : state) {
        std::vector<std::string> names;
        manifest.GetComponents(client, names);
        nListed = names.size();
    }
    state.counters["listed"] = static_cast<double>(nListed);
}
BENCHMARK(BM_GetComponentsFiltered)->Unit(benchmark::kMicrosecond);

void BM_GetComponent(benchmark::State& state) {
    mcComponentManifest manifest(BenchFile());
    mcManifestComponent component;
    for (auto _ : state) {
        if (!manifest.GetComponent("Component1234", component)) state.SkipWithError("missing");
        benchmark::DoNotOptimize(component.m_plugin.m_strUpdateURL.data());
    }
}
BENCHMARK(BM_GetComponent)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SetUpFolder();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    mcCMLog::Instance().Close();
    std::error_code ec;
    std::filesystem::remove_all(g_strFolder, ec);
    return 0;
}
