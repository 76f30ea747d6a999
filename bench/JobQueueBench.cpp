// Dispatch cost of the job queue engine: how long a trivial job takes from
// AddJob to its deletion on the worker (one at a time, and in batches), and
// how long IsJobQueued takes on a long queue.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "base/mcCMLog.h"
#include "jobs/mcComponentMgrJob.h"
#include "jobs/mcComponentMgrJobQueueEngine.h"

namespace {

// Counts finished jobs so that the benchmark can wait for a number of them.
class Completion {
public:
    void Done() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_nDone;
        }
        m_cv.notify_all();
    }
    void WaitFor(long nCount) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [&] { return m_nDone >= nCount; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    long m_nDone = 0;
};

class TrivialJob : public mcComponentMgrJob {
public:
    TrivialJob(Completion& completion, std::string strName)
        : mcComponentMgrJob(nullptr, {}, "Manifest", "Client", std::move(strName)), m_completion(completion) {}
    ~TrivialJob() override { m_completion.Done(); }
    bool Run() override { return true; }

private:
    Completion& m_completion;
};

class LogFolder {
public:
    LogFolder() {
        std::string strTemplate = "/tmp/kettrin-jobbench-XXXXXX";
        if (mkdtemp(strTemplate.data()) != nullptr) m_strPath = strTemplate;
        mcCMLog::Instance().Open(m_strPath);
    }
    ~LogFolder() {
        mcCMLog::Instance().Close();
        std::error_code ec;
        std::filesystem::remove_all(m_strPath, ec);
    }

private:
    std::string m_strPath;
};

void BM_JobRoundTrip(benchmark::State& state) {
    LogFolder log;
    Completion completion;
    mcComponentMgrJobQueueEngine engine;
    engine.Resume();
    long nAdded = 0;
    for (auto _ : state) {
        engine.AddJob(std::make_unique<TrivialJob>(completion, "c"));
        completion.WaitFor(++nAdded);
    }
    state.SetItemsProcessed(nAdded);
}
BENCHMARK(BM_JobRoundTrip)->UseRealTime();

void BM_JobBatch(benchmark::State& state) {
    LogFolder log;
    Completion completion;
    mcComponentMgrJobQueueEngine engine;
    engine.Resume();
    long nAdded = 0;
    for (auto _ : state) {
        for (long i = 0; i < state.range(0); ++i)
            engine.AddJob(std::make_unique<TrivialJob>(completion, "c"));
        nAdded += state.range(0);
        completion.WaitFor(nAdded);
    }
    state.SetItemsProcessed(nAdded);
}
BENCHMARK(BM_JobBatch)->Arg(100)->UseRealTime();

void BM_IsJobQueuedLongQueue(benchmark::State& state) {
    Completion completion;
    mcComponentMgrJobQueueEngine engine;  // never resumed: the queue only grows
    for (long i = 0; i < state.range(0); ++i)
        engine.AddJob(std::make_unique<TrivialJob>(completion, "component" + std::to_string(i)));
    const std::string strLast = "component" + std::to_string(state.range(0) - 1);
    for (auto _ : state) benchmark::DoNotOptimize(engine.IsJobQueued("", "", strLast));
}
BENCHMARK(BM_IsJobQueuedLongQueue)->Arg(1000);

}  // namespace
BENCHMARK_MAIN();
