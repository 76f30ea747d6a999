#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jobs/mcComponentMgrJobQueueEngine.h"
#include "JobTestSupport.h"

using jobtest::Gate;
using jobtest::LogFolder;
using jobtest::Recorder;
using jobtest::RecordingHooks;
using jobtest::RecordingJob;
using jobtest::WaitUntil;
using Engine = mcComponentMgrJobQueueEngine;

namespace {

using Events = std::vector<std::string>;

class JobQueueEngineTest : public ::testing::Test {
protected:
    std::unique_ptr<RecordingJob> Job(const std::string& strName, Gate* pGate = nullptr) {
        return std::make_unique<RecordingJob>(m_recorder, strName, pGate);
    }
    // Adds a job and returns a pointer that stays valid until the job's "dtor" event.
    RecordingJob* Add(Engine& engine, const std::string& strName, Gate* pGate = nullptr) {
        auto pJob = Job(strName, pGate);
        RecordingJob* pRaw = pJob.get();
        engine.AddJob(std::move(pJob));
        return pRaw;
    }
    int Before() const { return m_log.CountLines(Engine::kLogBeforeJobRun); }
    int After() const { return m_log.CountLines(Engine::kLogAfterJobRun); }

    LogFolder m_log;
    Recorder m_recorder;
};

TEST_F(JobQueueEngineTest, JobsRunOneAfterAnotherInOrderOfAdditionAndAreDeleted) {
    auto pHooks = std::make_shared<RecordingHooks>(m_recorder);
    {
        Engine engine(pHooks);
        Add(engine, "A");
        Add(engine, "B");
        ASSERT_TRUE(engine.Resume());
        EXPECT_FALSE(engine.Resume());  // only the first call starts the thread
        ASSERT_TRUE(m_recorder.WaitFor("dtor:B"));
        // Added while the worker waits: wakes it.
        ASSERT_TRUE(WaitUntil([&] { return engine.IsWaitingForWork(); }));
        Add(engine, "C");
        ASSERT_TRUE(m_recorder.WaitFor("dtor:C"));
    }
    // Each job between its own server reference hooks, deleted after the release.
    const Events expected{"init",    "acquire", "run:A",  "end:A",  "release", "dtor:A",
                          "acquire", "run:B",   "end:B",  "release", "dtor:B", "acquire",
                          "run:C",   "end:C",   "release", "dtor:C", "exit"};
    EXPECT_EQ(m_recorder.Events(), expected);
    EXPECT_EQ(pHooks->References(), 0);
    EXPECT_EQ(Before(), 3);
    EXPECT_EQ(After(), 3);
    // Before and after lines alternate.
    const std::string strLog = m_log.ReadLog();
    const std::size_t nFirstAfter = strLog.find(Engine::kLogAfterJobRun);
    const std::size_t nSecondBefore = strLog.find(Engine::kLogBeforeJobRun, strLog.find(Engine::kLogBeforeJobRun) + 1);
    EXPECT_LT(nFirstAfter, nSecondBefore);
}

TEST_F(JobQueueEngineTest, RunningJobIsQueuedAndCurrentUntilItsRunReturns) {
    Engine engine;
    ASSERT_TRUE(engine.Resume());
    EXPECT_EQ(engine.GetCurrentJob(), nullptr);
    EXPECT_FALSE(engine.WithCurrentJob([](mcComponentMgrJob&) { ADD_FAILURE() << "no job expected"; }));

    Gate gate;
    RecordingJob* pJob = Add(engine, "Codec", &gate);
    ASSERT_TRUE(m_recorder.WaitFor("run:Codec"));
    EXPECT_TRUE(engine.IsJobQueued("other client", "other manifest", "Codec"));
    EXPECT_FALSE(engine.IsJobQueued("Client", "Manifest", "codec"));  // exact comparison
    EXPECT_FALSE(engine.IsJobQueued("Client", "Manifest", "Codec2"));
    EXPECT_EQ(engine.GetCurrentJob(), pJob);
    EXPECT_EQ(engine.GetQueuedCount(), 1u);

    // The cancel path: set the job's flag while it runs, from this thread.
    EXPECT_TRUE(engine.WithCurrentJob([](mcComponentMgrJob& job) {
        dynamic_cast<RecordingJob&>(job).Abort();
    }));
    gate.Open();
    ASSERT_TRUE(m_recorder.WaitFor("dtor:Codec"));
    EXPECT_EQ(m_recorder.Count("aborted:Codec"), 1);
    EXPECT_FALSE(engine.IsJobQueued("Client", "Manifest", "Codec"));
    EXPECT_EQ(engine.GetCurrentJob(), nullptr);
    EXPECT_EQ(engine.GetQueuedCount(), 0u);
}

TEST_F(JobQueueEngineTest, QueuedJobsAreVisibleBehindTheRunningOne) {
    Engine engine;
    ASSERT_TRUE(engine.Resume());
    Gate gate;
    RecordingJob* pFirst = Add(engine, "First", &gate);
    ASSERT_TRUE(m_recorder.WaitFor("run:First"));
    Add(engine, "Second");
    EXPECT_TRUE(engine.IsJobQueued("", "", "Second"));
    EXPECT_EQ(engine.GetCurrentJob(), pFirst);  // the head is the running job
    EXPECT_EQ(engine.GetQueuedCount(), 2u);
    gate.Open();
    ASSERT_TRUE(m_recorder.WaitFor("dtor:Second"));
    EXPECT_FALSE(engine.IsJobQueued("", "", "Second"));
    EXPECT_EQ(m_recorder.Count("end:Second"), 1);
}

TEST_F(JobQueueEngineTest, JobAddedWhileAnotherRunsRunsInTheSameBatchDespiteStop) {
    Engine engine;
    ASSERT_TRUE(engine.Resume());
    Gate gate;
    Add(engine, "A", &gate);
    ASSERT_TRUE(m_recorder.WaitFor("run:A"));
    // Stop is only looked at between batches: B, added during A, still runs.
    EXPECT_TRUE(engine.Stop());
    Add(engine, "B");
    gate.Open();
    ASSERT_TRUE(m_recorder.WaitFor("dtor:B"));
    EXPECT_EQ(m_recorder.Count("end:B"), 1);
    ASSERT_TRUE(engine.WaitForThreadEnd(jobtest::kWaitLimit));
    EXPECT_FALSE(engine.IsThreadRunning());

    // The worker is gone: later jobs stay queued, unrun.
    Add(engine, "C");
    EXPECT_TRUE(engine.IsJobQueued("", "", "C"));
    EXPECT_EQ(m_recorder.Count("run:C"), 0);
}

TEST_F(JobQueueEngineTest, StopWhileIdleLeavesTheWorkerWaitingUntilTheNextBatch) {
    auto pHooks = std::make_shared<RecordingHooks>(m_recorder);
    {
        Engine engine(pHooks);
        ASSERT_TRUE(engine.Resume());
        ASSERT_TRUE(WaitUntil([&] { return engine.IsWaitingForWork(); }));
        EXPECT_TRUE(engine.Stop());
        EXPECT_TRUE(engine.IsThreadRunning());
        EXPECT_FALSE(engine.WaitForThreadEnd(std::chrono::milliseconds(100)));
        EXPECT_TRUE(engine.IsWaitingForWork());

        Add(engine, "Late");
        ASSERT_TRUE(engine.WaitForThreadEnd(jobtest::kWaitLimit));
        EXPECT_EQ(m_recorder.Count("end:Late"), 1);
        EXPECT_EQ(m_recorder.Count("dtor:Late"), 1);
        Add(engine, "Never");
    }
    EXPECT_EQ(m_recorder.Count("run:Never"), 0);
    EXPECT_EQ(m_recorder.Count("dtor:Never"), 1);
    EXPECT_EQ(m_recorder.Count("exit"), 1);  // ended normally
}

TEST_F(JobQueueEngineTest, FlushDiscardsQueuedJobsWithoutRunningThem) {
    Engine engine;
    ASSERT_TRUE(engine.Resume());
    Gate gate;
    Add(engine, "Running", &gate);
    ASSERT_TRUE(m_recorder.WaitFor("run:Running"));
    Add(engine, "Queued1");
    Add(engine, "Queued2");
    engine.FlushThread();
    gate.Open();
    ASSERT_TRUE(m_recorder.WaitFor("dtor:Queued2"));
    ASSERT_TRUE(m_recorder.WaitFor("dtor:Queued1"));
    EXPECT_EQ(m_recorder.Count("end:Running"), 1);  // the running job finishes
    EXPECT_EQ(m_recorder.Count("run:Queued1"), 0);
    EXPECT_EQ(m_recorder.Count("run:Queued2"), 0);
    EXPECT_EQ(Before(), 1);
    EXPECT_FALSE(engine.IsJobQueued("", "", "Queued1"));

    // Jobs added after the flush are discarded as soon as the worker wakes.
    ASSERT_TRUE(WaitUntil([&] { return engine.IsWaitingForWork(); }));
    Add(engine, "AfterFlush");
    ASSERT_TRUE(m_recorder.WaitFor("dtor:AfterFlush"));
    EXPECT_EQ(m_recorder.Count("run:AfterFlush"), 0);
    EXPECT_EQ(Before(), 1);
    EXPECT_EQ(After(), 1);
    EXPECT_TRUE(engine.IsThreadRunning());  // flushing does not end the worker
}

TEST_F(JobQueueEngineTest, FlushBeforeResumeEndsTheWorkerAtOnce) {
    auto pHooks = std::make_shared<RecordingHooks>(m_recorder);
    {
        Engine engine(pHooks);
        Add(engine, "Queued");
        engine.FlushThread();
        ASSERT_TRUE(engine.Resume());
        ASSERT_TRUE(engine.WaitForThreadEnd(jobtest::kWaitLimit));
        EXPECT_EQ(m_recorder.Count("exit"), 1);
        EXPECT_EQ(m_recorder.Count("dtor:Queued"), 0);
    }
    EXPECT_EQ(m_recorder.Count("run:Queued"), 0);
    EXPECT_EQ(m_recorder.Count("dtor:Queued"), 1);
    EXPECT_EQ(Before(), 0);
}

TEST_F(JobQueueEngineTest, DestructionDeletesQueuedJobsWithoutRunningThem) {
    {
        Engine engine;  // never resumed
        Add(engine, "One");
        Add(engine, "Two");
        EXPECT_EQ(engine.GetQueuedCount(), 2u);
    }
    EXPECT_EQ(m_recorder.Events(), (Events{"dtor:One", "dtor:Two"}));
    EXPECT_EQ(Before(), 0);
}

TEST_F(JobQueueEngineTest, ShutdownWaitsForTheRunningJobOnlyAndDestructionDeletesTheRest) {
    auto pHooks = std::make_shared<RecordingHooks>(m_recorder);
    {
        Engine engine(pHooks);
        ASSERT_TRUE(engine.Resume());
        Gate gate;
        Add(engine, "Running", &gate);
        ASSERT_TRUE(m_recorder.WaitFor("run:Running"));
        Add(engine, "Queued1");
        Add(engine, "Queued2");
        engine.Shutdown();
        EXPECT_TRUE(engine.IsThreadRunning());  // the job is not interrupted
        gate.Open();
        ASSERT_TRUE(engine.WaitForThreadEnd(jobtest::kWaitLimit));
        EXPECT_EQ(m_recorder.Count("dtor:Running"), 1);
        EXPECT_EQ(engine.GetQueuedCount(), 2u);
        EXPECT_EQ(m_recorder.Count("dtor:Queued1"), 0);
    }
    EXPECT_EQ(m_recorder.Count("run:Queued1"), 0);
    EXPECT_EQ(m_recorder.Count("run:Queued2"), 0);
    EXPECT_EQ(m_recorder.Count("dtor:Queued1"), 1);
    EXPECT_EQ(m_recorder.Count("dtor:Queued2"), 1);
    EXPECT_EQ(pHooks->References(), 0);
    EXPECT_EQ(Before(), 1);
}

TEST_F(JobQueueEngineTest, DestructionOnAnotherThreadWaitsForTheRunningJob) {
    auto pEngine = std::make_unique<Engine>();
    ASSERT_TRUE(pEngine->Resume());
    Gate gate;
    Add(*pEngine, "Running", &gate);
    ASSERT_TRUE(m_recorder.WaitFor("run:Running"));
    std::thread destroyer([&] {
        pEngine.reset();
        m_recorder.Add("destroyed");
    });
    gate.Open();
    destroyer.join();
    // The job completed and was deleted before the engine was gone.
    const Events events = m_recorder.Events();
    const Events expected{"run:Running", "end:Running", "dtor:Running", "destroyed"};
    EXPECT_EQ(events, expected);
}

TEST_F(JobQueueEngineTest, ServerReferenceIsHeldExactlyWhileAJobRuns) {
    auto pHooks = std::make_shared<RecordingHooks>(m_recorder);
    Engine engine(pHooks);
    ASSERT_TRUE(engine.Resume());
    ASSERT_TRUE(WaitUntil([&] { return engine.IsWaitingForWork(); }));
    EXPECT_EQ(pHooks->References(), 0);  // idle: the service may shut down

    Gate gate;
    Add(engine, "A", &gate);
    ASSERT_TRUE(m_recorder.WaitFor("run:A"));
    EXPECT_EQ(pHooks->References(), 1);
    gate.Open();
    ASSERT_TRUE(m_recorder.WaitFor("dtor:A"));
    EXPECT_EQ(pHooks->References(), 0);
    EXPECT_EQ(m_recorder.Count("acquire"), 1);
    EXPECT_EQ(m_recorder.Count("release"), 1);
}

// Hooks whose reference cannot be taken: the job runs anyway, nothing is released.
class FailingReferenceHooks : public RecordingHooks {
public:
    using RecordingHooks::RecordingHooks;
    bool AcquireServerReference() override { throw std::runtime_error("service going away"); }
};

TEST_F(JobQueueEngineTest, JobRunsWhenTheServerReferenceCannotBeTaken) {
    auto pHooks = std::make_shared<FailingReferenceHooks>(m_recorder);
    Engine engine(pHooks);
    Add(engine, "A");
    ASSERT_TRUE(engine.Resume());
    ASSERT_TRUE(m_recorder.WaitFor("dtor:A"));
    EXPECT_EQ(m_recorder.Count("end:A"), 1);
    EXPECT_EQ(m_recorder.Count("release"), 0);
    for (const auto& strEvent : m_recorder.Events()) EXPECT_NE(strEvent.rfind("fault:", 0), 0u) << strEvent;
}

TEST_F(JobQueueEngineTest, ExceptionFromAJobReachesTheFaultHookAndEndsTheWorker) {
    auto pHooks = std::make_shared<RecordingHooks>(m_recorder);
    {
        Engine engine(pHooks);
        auto pBad = Job("Bad");
        pBad->ThrowFromRun("disk on fire");
        engine.AddJob(std::move(pBad));
        Add(engine, "Next");
        ASSERT_TRUE(engine.Resume());
        ASSERT_TRUE(engine.WaitForThreadEnd(jobtest::kWaitLimit));

        EXPECT_EQ(m_recorder.Count("fault:mcComponentMgrJobQueueEngine::Run:disk on fire"), 1);
        EXPECT_EQ(pHooks->References(), 0);      // released although the job threw
        EXPECT_EQ(m_recorder.Count("dtor:Bad"), 1);  // unlinked and deleted
        EXPECT_FALSE(engine.IsJobQueued("", "", "Bad"));
        EXPECT_TRUE(engine.IsJobQueued("", "", "Next"));
        EXPECT_EQ(m_recorder.Count("exit"), 0);
    }
    EXPECT_EQ(m_recorder.Count("run:Next"), 0);
    EXPECT_EQ(m_recorder.Count("dtor:Next"), 1);
    EXPECT_EQ(Before(), 1);
    EXPECT_EQ(After(), 0);
}

TEST_F(JobQueueEngineTest, ExceptionFromInitThreadReachesTheFaultHookAndNoJobRuns) {
    auto pHooks = std::make_shared<RecordingHooks>(m_recorder);
    pHooks->ThrowInInit();
    {
        Engine engine(pHooks);
        Add(engine, "A");
        ASSERT_TRUE(engine.Resume());
        ASSERT_TRUE(engine.WaitForThreadEnd(jobtest::kWaitLimit));
    }
    EXPECT_EQ(m_recorder.Events(),
              (Events{"init", "fault:mcComponentMgrJobQueueEngine::InitThread:no bus", "dtor:A"}));
}

TEST_F(JobQueueEngineTest, NullJobIsIgnored) {
    Engine engine;
    engine.AddJob(nullptr);
    EXPECT_EQ(engine.GetQueuedCount(), 0u);
    EXPECT_EQ(engine.GetCurrentJob(), nullptr);
}

TEST_F(JobQueueEngineTest, JobsFromManyThreadsAllRunOnceOnTheWorker) {
    Engine engine;
    ASSERT_TRUE(engine.Resume());
    std::atomic<int> nWrongThread{0};
    constexpr int kThreads = 4;
    constexpr int kPerThread = 50;
    std::vector<std::thread> vecThreads;
    for (int t = 0; t < kThreads; ++t) {
        vecThreads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                auto pJob = Job("J" + std::to_string(t) + "_" + std::to_string(i));
                pJob->DuringRun([&] {
                    if (!engine.IsWorkerThread()) ++nWrongThread;
                });
                engine.AddJob(std::move(pJob));
            }
        });
    }
    for (auto& thread : vecThreads) thread.join();
    ASSERT_TRUE(WaitUntil([&] { return m_recorder.Events().size() == 3u * kThreads * kPerThread; }));
    EXPECT_EQ(nWrongThread.load(), 0);
    // Per producer, jobs ran in the order that producer added them.
    const Events events = m_recorder.Events();
    for (int t = 0; t < kThreads; ++t) {
        int nNext = 0;
        const std::string strPrefix = "end:J" + std::to_string(t) + "_";
        for (const auto& strEvent : events) {
            if (strEvent.rfind(strPrefix, 0) == 0) {
                EXPECT_EQ(strEvent, strPrefix + std::to_string(nNext));
                ++nNext;
            }
        }
        EXPECT_EQ(nNext, kPerThread);
    }
}

}  // namespace
