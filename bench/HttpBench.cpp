// Streaming a large body over loopback: mcHttpGet (RunHeadersOnly +
// ReadPortion(32384) into a file) against the curl program (curl -s -o) on the
// same URL, in the same run. Reports throughput of both, their ratio, and the
// peak resident memory of a streaming run (reset before each run), which must
// not grow with the body size.
//
//   bench_HttpBench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <httplib.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "net/mcHttpGet.h"

extern char** environ;

namespace {

constexpr std::size_t kPortion = 32384;
constexpr std::int64_t kMiB = 1024 * 1024;

// One server for the whole run: /blob/N serves N MiB of a repeating pattern.
class BlobServer {
public:
    BlobServer() : m_chunk(kMiB, '\0') {
        for (std::size_t i = 0; i < m_chunk.size(); ++i) m_chunk[i] = static_cast<char>(i * 31 + 7);
        m_server.Get(R"(/blob/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
            const std::size_t size = static_cast<std::size_t>(std::stoll(req.matches[1])) * kMiB;
            res.set_content_provider(size, "application/octet-stream",
                                     [this](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                         std::size_t at = offset % m_chunk.size();
                                         std::size_t n = std::min(length, m_chunk.size() - at);
                                         return sink.write(m_chunk.data() + at, n);
                                     });
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~BlobServer() {
        m_server.stop();
        m_thread.join();
    }
    std::string Url(std::int64_t mib) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + "/blob/" + std::to_string(mib);
    }

private:
    std::string m_chunk;
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
};

BlobServer& Server() {
    static BlobServer server;
    return server;
}

std::string TempFile(const char* name) {
    static std::string dir = [] {
        char tmpl[] = "/tmp/kettrin-httpbench-XXXXXX";
        const char* d = ::mkdtemp(tmpl);
        return std::string(d ? d : "/tmp");
    }();
    return dir + "/" + name;
}

// Peak resident set size since the last reset, in KiB.
long PeakRssKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}
void ResetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

std::map<std::int64_t, double> g_oursBytesPerSecond;
std::map<std::int64_t, double> g_curlBytesPerSecond;
std::map<std::int64_t, long> g_peakKiB;

void BM_StreamToFile(benchmark::State& state) {
    const std::int64_t mib = state.range(0);
    const std::string url = Server().Url(mib);
    const std::string path = TempFile("ours.bin");
    long peak = 0;
    double best = 0;
    for (auto _ : state) {
        ResetPeakRss();
        auto start = std::chrono::steady_clock::now();
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::vector<std::uint8_t> portion;
        portion.reserve(kPortion);
        mcHttpResult result;
        mcHttpGet get(url, nullptr, &portion, nullptr, &result, nullptr, nullptr, 0);
        bool ok = get.RunHeadersOnly();
        bool done = false;
        std::int64_t total = 0;
        while (ok && !done) {
            ok = get.ReadPortion(kPortion, &done);
            if (ok && !portion.empty()) {
                if (::write(fd, portion.data(), portion.size()) != static_cast<ssize_t>(portion.size())) ok = false;
                total += static_cast<std::int64_t>(portion.size());
            }
        }
        ::close(fd);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!ok || total != mib * kMiB) {
            state.SkipWithError("transfer failed");
            break;
        }
        best = std::max(best, static_cast<double>(total) / seconds);
        peak = std::max(peak, PeakRssKiB());
    }
    state.SetBytesProcessed(state.iterations() * mib * kMiB);
    state.counters["peak_rss_MiB"] = static_cast<double>(peak) / 1024.0;
    g_oursBytesPerSecond[mib] = best;
    g_peakKiB[mib] = peak;
    std::filesystem::remove(path);
}

void BM_CurlToFile(benchmark::State& state) {
    const std::int64_t mib = state.range(0);
    const std::string url = Server().Url(mib);
    const std::string path = TempFile("curl.bin");
    double best = 0;
    for (auto _ : state) {
        std::vector<std::string> args = {"curl", "-s", "-o", path, url};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        auto start = std::chrono::steady_clock::now();
        pid_t pid = -1;
        int status = -1;
        if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0 ||
            ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("curl failed");
            break;
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::max(best, static_cast<double>(mib * kMiB) / seconds);
    }
    state.SetBytesProcessed(state.iterations() * mib * kMiB);
    g_curlBytesPerSecond[mib] = best;
    std::filesystem::remove(path);
}

BENCHMARK(BM_StreamToFile)->Arg(64)->Arg(512)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CurlToFile)->Arg(64)->Arg(512)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // The server is on loopback: no proxy in between.
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(name);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const auto& [mib, ours] : g_oursBytesPerSecond) {
        auto curl = g_curlBytesPerSecond.find(mib);
        std::printf("%lld MiB: ours %.0f MiB/s", static_cast<long long>(mib), ours / kMiB);
        if (curl != g_curlBytesPerSecond.end() && curl->second > 0)
            std::printf(", curl %.0f MiB/s, ratio %.2f", curl->second / kMiB, ours / curl->second);
        std::printf(", peak RSS %.1f MiB\n", static_cast<double>(g_peakKiB[mib]) / 1024.0);
    }
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(TempFile("x")).parent_path(), ec);
    return 0;
}
