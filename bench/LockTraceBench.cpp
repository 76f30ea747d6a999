// Read-write lock and trace channel costs.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include "base/mcDiagTrace.h"
#include "base/mnReadWriteLock.h"

namespace {

void BM_ReadLockUncontended(benchmark::State& state) {
    mnThread::ReadWriteLock lock;
    for (auto _ : state) {
        lock.AcquireRead();
        lock.release();
    }
}
BENCHMARK(BM_ReadLockUncontended);

void BM_WriteLockUncontended(benchmark::State& state) {
    mnThread::ReadWriteLock lock;
    for (auto _ : state) {
        lock.AcquireWrite();
        lock.release();
    }
}
BENCHMARK(BM_WriteLockUncontended);

// Readers on every thread, one in eight acquisitions a write.
void BM_LockMixedThreads(benchmark::State& state) {
    static mnThread::ReadWriteLock lock;
    static long shared = 0;
    long i = 0;
    for (auto _ : state) {
        if ((++i & 7) == 0) {
            mnThread::WriteGuard guard(lock);
            ++shared;
        } else {
            mnThread::ReadGuard guard(lock);
            benchmark::DoNotOptimize(shared);
        }
    }
}
BENCHMARK(BM_LockMixedThreads)->Threads(1)->Threads(2)->Threads(4);

// A line with nobody listening: what every throw costs when no viewer runs.
void BM_TraceSendNoViewer(benchmark::State& state) {
    ::setenv(mcDiagTrace::kSocketEnv, "/tmp/kettrin-bench-no-viewer.sock", 1);
    mcDiagTrace source("bench");
    const std::string line(120, 'x');
    for (auto _ : state) source.Send(line);
}
BENCHMARK(BM_TraceSendNoViewer);

}  // namespace

BENCHMARK_MAIN();
