// Streaming a large body over loopback: mcHttpGet (RunHeadersOnly +
// ReadPortion(32384) into a file) against the curl program (curl -s -o) on the
// same URL, alternating in the same run. Reports throughput of both, the median
// ratio of the rounds, the CPU time each reader spent (ours: the reading
// thread; the server thread is not counted), and the peak resident memory of a
// streaming run (reset before each run), which must not grow with the body
// size.
//
//   bench_HttpBench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <httplib.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

struct RunFigures {
    double seconds = 0;
    double cpuSeconds = 0;  // the reading thread's (ours) or the curl process's CPU time
    bool ok = false;
};

double ThreadCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

RunFigures StreamOnce(const std::string& url, const std::string& path, std::int64_t expected) {
    RunFigures f;
    auto start = std::chrono::steady_clock::now();
    double cpuStart = ThreadCpuSeconds();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<std::uint8_t> portion;
    portion.reserve(kPortion);
    mcHttpResult result;
    mcHttpGet get(url, nullptr, &portion, nullptr, &result, nullptr, nullptr, 0);
    bool ok = fd >= 0 && get.RunHeadersOnly();
    bool done = false;
    std::int64_t total = 0;
    while (ok && !done) {
        ok = get.ReadPortion(kPortion, &done);
        if (ok && !portion.empty()) {
            if (::write(fd, portion.data(), portion.size()) != static_cast<ssize_t>(portion.size())) ok = false;
            total += static_cast<std::int64_t>(portion.size());
        }
    }
    if (fd >= 0) ::close(fd);
    f.cpuSeconds = ThreadCpuSeconds() - cpuStart;
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    f.ok = ok && total == expected;
    return f;
}

RunFigures CurlOnce(const std::string& url, const std::string& path) {
    RunFigures f;
    std::vector<std::string> args = {"curl", "-s", "-o", path, url};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    int status = -1;
    rusage usage{};
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) return f;
    if (::wait4(pid, &status, 0, &usage) != pid) return f;
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    f.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    f.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return f;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Summary {
    double oursMiBps = 0, curlMiBps = 0, ratio = 0, oursCpuMs = 0, curlCpuMs = 0;
    long peakKiB = 0;
};
std::map<std::int64_t, Summary> g_summary;

// Each iteration is one round: our stream, then curl, on the same URL. The
// ratio is the median over rounds, so both see the same machine load.
void BM_StreamVersusCurl(benchmark::State& state) {
    const std::int64_t mib = state.range(0);
    const std::int64_t bytes = mib * kMiB;
    const std::string url = Server().Url(mib);
    const std::string ours = TempFile("ours.bin"), theirs = TempFile("curl.bin");
    std::vector<double> ratios, oursRates, curlRates, oursCpu, curlCpu;
    long peak = 0;
    for (auto _ : state) {
        ResetPeakRss();
        RunFigures a = StreamOnce(url, ours, bytes);
        peak = std::max(peak, PeakRssKiB());
        RunFigures b = CurlOnce(url, theirs);
        if (!a.ok || !b.ok) {
            state.SkipWithError(!a.ok ? "stream failed" : "curl failed");
            break;
        }
        double oursRate = static_cast<double>(bytes) / a.seconds, curlRate = static_cast<double>(bytes) / b.seconds;
        oursRates.push_back(oursRate / kMiB);
        curlRates.push_back(curlRate / kMiB);
        ratios.push_back(oursRate / curlRate);
        oursCpu.push_back(a.cpuSeconds * 1000);
        curlCpu.push_back(b.cpuSeconds * 1000);
    }
    Summary s{Median(oursRates), Median(curlRates), Median(ratios), Median(oursCpu), Median(curlCpu), peak};
    g_summary[mib] = s;
    state.SetBytesProcessed(state.iterations() * bytes * 2);
    state.counters["ours_MiBps"] = s.oursMiBps;
    state.counters["curl_MiBps"] = s.curlMiBps;
    state.counters["ratio"] = s.ratio;
    state.counters["ours_cpu_ms"] = s.oursCpuMs;
    state.counters["curl_cpu_ms"] = s.curlCpuMs;
    state.counters["peak_rss_MiB"] = static_cast<double>(peak) / 1024.0;
    std::filesystem::remove(ours);
    std::filesystem::remove(theirs);
}

BENCHMARK(BM_StreamVersusCurl)->Arg(64)->Arg(512)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // The server is on loopback: no proxy in between.
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(name);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const auto& [mib, s] : g_summary) {
        std::printf("%lld MiB: ours %.0f MiB/s, curl %.0f MiB/s, ratio %.2f (median of rounds); "
                    "CPU ours %.0f ms, curl %.0f ms; peak RSS %.1f MiB\n",
                    static_cast<long long>(mib), s.oursMiBps, s.curlMiBps, s.ratio, s.oursCpuMs, s.curlCpuMs,
                    static_cast<double>(s.peakKiB) / 1024.0);
    }
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(TempFile("x")).parent_path(), ec);
    return 0;
}
