// A package download through the service against curl, in the same run:
//   - the Kettrin program, activated on a private bus with a machine of the
//     benchmark's own, fetches a package of 64 or 256 MiB served on
//     127.0.0.1 into its holding area, for a client that receives every
//     progress call; timed from the StartComponentDownload call until the
//     client's OnDownloadComplete;
//   - "curl -s -o FILE URL" fetches the same URL into the same folder, once
//     as it is and once followed by "sync FILE" (the service syncs the
//     package before it renames it into place);
//   - the rounds alternate, so that the machine's load weighs on both alike.
// Counters: service_MBps, curl_MBps, ratio (service / curl; goal >= 0.85),
// ratio_synced (service / curl followed by sync),
// progress_calls, and the service's peak resident set after the downloads
// (peak_rss_MiB, VmHWM of a fresh server per size; goal: the same for both
// sizes).
// Needs the Kettrin and kettrinctl programs of the same build folder and curl.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/LocalHttpServer.h"
#include "../tests/support/PrivateBus.h"
#include "bus/mcBusConnection.h"
#include "client/mcComponentMgrClient.h"
#include "contract/ComponentMgrIfc.h"
#include "manifest/Crypt.h"
#include "manifest/mcSignedFile.h"
#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kKettrin = std::string(KETTRIN_BINARY_DIR) + "/src/Kettrin";
const std::string kCtl = std::string(KETTRIN_BINARY_DIR) + "/src/kettrinctl";
constexpr int kRounds = 2;
constexpr std::size_t kChunk = 1 << 16;

int Run(const std::vector<std::string>& vecArgs) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const std::string& s : vecArgs) argv.push_back(const_cast<char*>(s.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int nStatus = 0;
    ::waitpid(pid, &nStatus, 0);
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128;
}

long ProcFieldKiB(const std::string& strFile, const std::string& strField) {
    std::ifstream in(strFile);
    std::string strLine;
    while (std::getline(in, strLine)) {
        if (strLine.rfind(strField + ":", 0) == 0) return std::stol(strLine.substr(strField.size() + 1));
    }
    return -1;
}

std::string ReadAll(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Counter : public IComponentMgrCallback {
public:
    HRESULT OnDownloadProgress(const std::string&, std::int32_t) override {
        ++nProgress;
        return S_OK;
    }
    HRESULT OnDownloadFailed(const std::string&, std::int32_t, const std::string&) override {
        bFailed = true;
        return S_OK;
    }
    HRESULT OnInstallComplete(const std::string&, bool, const std::string&) override { return S_OK; }
    HRESULT OnDownloadComplete(const std::string&) override {
        bComplete = true;
        return S_OK;
    }
    HRESULT OnUninstallComplete(const std::string&, bool, const std::string&) override { return S_OK; }
    long nProgress = 0;
    bool bComplete = false;
    bool bFailed = false;
};

// A machine of the benchmark's own, a web server with the signed manifest and
// the package, and a private bus that activates the server.
class Harness {
public:
    explicit Harness(std::size_t nPackageBytes) : m_nBytes(nPackageBytes), m_strBody(kChunk, 'k') {
        std::string strTemplate = "/tmp/kettrin-dlbench-XXXXXX";
        if (!mkdtemp(strTemplate.data())) throw std::runtime_error("mkdtemp failed");
        m_strFolder = strTemplate;
        ::setenv("KETTRIN_REGISTRY", (m_strFolder + "/registry.db").c_str(), 1);
        ::setenv("KETTRIN_DIAG_SOCKET", (m_strFolder + "/diag.sock").c_str(), 1);
        ::setenv("KETTRIN_SHUTDOWN_DELAY_MS", "60000", 1);
        m_http.Get("/pkg/big.zrz", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(m_nBytes, "application/octet-stream",
                                     [this](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                         (void)offset;
                                         return sink.write(m_strBody.data(), std::min(length, kChunk));
                                     });
        });
        std::filesystem::create_directories(m_strFolder + "/www");
        m_http.ServeFolder(m_strFolder + "/www", "/www");
        if (!m_http.Start()) throw std::runtime_error("web server did not start");
        PrvPublish();
        core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
        core::registry::RegistryKey key = root.CreateSubKey(mcCMUtils::kRegistryKey);
        key.SetValueString(mcCMUtils::kAppPathValue, m_strFolder + "/app");
        key.SetValueString("ManifestDirUrl", m_http.Url("/www/ManifestDirectory.xml"));
        key.SetValueDWord("SendEvents", 0);
        if (Run({kCtl, "config", "set", "connection-check-algorithm", "0"}) != 0) {
            throw std::runtime_error("kettrinctl config set failed");
        }
        m_pBus = std::make_unique<testsupport::PrivateBus>();
        m_pBus->AddService(cmifc::kBusName, kKettrin);
        mcComponentMgrClient::Options options;
        options.strBusAddress = m_pBus->Address();
        options.timeout = std::chrono::seconds(60);
        m_pClient = std::make_unique<mcComponentMgrClient>(options);
    }
    ~Harness() {
        m_pClient.reset();
        m_pBus.reset();
        m_http.Stop();
        std::this_thread::sleep_for(std::chrono::milliseconds{300});
        std::error_code ec;
        std::filesystem::remove_all(m_strFolder, ec);
    }

    mcComponentMgrClient& Client() { return *m_pClient; }
    std::string Url() { return m_http.Url("/pkg/big.zrz"); }
    const std::string& Folder() const { return m_strFolder; }
    std::string HoldingFolder(const std::string& strComponent) const {
        return m_strFolder + "/app/" + mcCMUtils::kHoldingAreaFolder + "/" + strComponent;
    }
    std::uint32_t ServerPid() {
        mcBusConnection& connection = m_pClient->Connection();
        mcBusMessage owner = connection.NewMethodCall(mcBusConnection::kBusName, mcBusConnection::kBusPath,
                                                      mcBusConnection::kBusInterface, "GetNameOwner");
        owner.Append(cmifc::kBusName);
        const std::string strOwner = connection.CallMethod(owner).ReadString();
        mcBusMessage call = connection.NewMethodCall(mcBusConnection::kBusName, mcBusConnection::kBusPath,
                                                     mcBusConnection::kBusInterface, "GetConnectionUnixProcessID");
        call.Append(strOwner);
        return connection.CallMethod(call).ReadUInt32();
    }

private:
    void PrvPublish() {
        const std::string strPem = ReadAll(std::string(KETTRIN_TEST_DATA) + "/keys/dev-manifest-key.pem");
        std::string strXml = "<ComponentManifest version=\"1.00.0001\">";
        for (int i = 0; i < kRounds; ++i) {
            strXml += "<Component name=\"Big" + std::to_string(i) +
                      "\"><Plugin name=\"big.zrz\" version=\"1.00.0001\"><Update><URL>" + Url() +
                      "</URL></Update></Plugin></Component>";
        }
        strXml += "</ComponentManifest>";
        std::ofstream(m_strFolder + "/www/Bench_Manifest.xml", std::ios::binary)
            << mcSignedFile::Compose(zr::crypt::RSASign(strPem, strXml), strXml);
        std::ofstream(m_strFolder + "/www/ManifestDirectory.xml", std::ios::binary)
            << "<ManifestDirectory Interval=\"1\"><Manifest name=\"Bench\" version=\"1.00.0001\"><URL>" +
                   m_http.Url("/www/Bench_Manifest.xml") + "</URL></Manifest></ManifestDirectory>";
    }

    std::size_t m_nBytes;
    std::string m_strBody;
    std::string m_strFolder;
    kettrin::test::LocalHttpServer m_http;
    std::unique_ptr<testsupport::PrivateBus> m_pBus;
    std::unique_ptr<mcComponentMgrClient> m_pClient;
};

void BM_DownloadVsCurl(benchmark::State& state) {
    const std::size_t nBytes = static_cast<std::size_t>(state.range(0)) << 20;
    Harness harness(nBytes);
    mcComponentMgrClient& client = harness.Client();
    // Starts the service and waits for its manifests.
    std::vector<std::string> vecComponents;
    if (FAILED(client.UpdateManifests()) || client.GetComponents("Bench", vecComponents) != S_OK) {
        state.SkipWithError(("the service did not load its manifests: " + client.LastError()).c_str());
        return;
    }
    auto pCounter = std::make_shared<Counter>();
    const std::string strPath = client.ExportCallback(pCounter);
    Clock::duration service{};
    Clock::duration curl{};
    Clock::duration curlSynced{};
    long nProgress = 0;
    for (auto _ : state) {
        for (int i = 0; i < kRounds; ++i) {
            const std::string strComponent = "Big" + std::to_string(i);
            *pCounter = Counter();
            const auto tp0 = Clock::now();
            if (client.StartComponentDownload("A", "Bench", strComponent, strPath) != S_OK ||
                !client.PumpUntil([&] { return pCounter->bComplete || pCounter->bFailed; },
                                  std::chrono::seconds(120)) ||
                !pCounter->bComplete) {
                state.SkipWithError("the service's download did not complete");
                return;
            }
            service += Clock::now() - tp0;
            nProgress += pCounter->nProgress;
            std::filesystem::remove_all(harness.HoldingFolder(strComponent));

            const std::string strOut = harness.Folder() + "/curl.out";
            const auto tp1 = Clock::now();
            if (Run({"curl", "-s", "-o", strOut, harness.Url()}) != 0) {
                state.SkipWithError("curl failed");
                return;
            }
            curl += Clock::now() - tp1;
            std::filesystem::remove(strOut);
            // The service syncs the package before it is renamed into place;
            // the same with curl, for the part of the gap that is the disk.
            const auto tp2 = Clock::now();
            if (Run({"curl", "-s", "-o", strOut, harness.Url()}) != 0 || Run({"sync", strOut}) != 0) {
                state.SkipWithError("curl or sync failed");
                return;
            }
            curlSynced += Clock::now() - tp2;
            std::filesystem::remove(strOut);
        }
    }
    const double dMiB = static_cast<double>(nBytes) / (1 << 20) * kRounds * static_cast<double>(state.iterations());
    const double dServiceMBps = dMiB / std::chrono::duration<double>(service).count();
    const double dCurlMBps = dMiB / std::chrono::duration<double>(curl).count();
    state.counters["service_MBps"] = dServiceMBps;
    state.counters["curl_MBps"] = dCurlMBps;
    state.counters["ratio"] = dServiceMBps / dCurlMBps;
    state.counters["ratio_synced"] =
        dServiceMBps / (dMiB / std::chrono::duration<double>(curlSynced).count());
    state.counters["progress_calls"] = static_cast<double>(nProgress) / kRounds;
    state.counters["peak_rss_MiB"] =
        ProcFieldKiB("/proc/" + std::to_string(harness.ServerPid()) + "/status", "VmHWM") / 1024.0;
}
BENCHMARK(BM_DownloadVsCurl)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
