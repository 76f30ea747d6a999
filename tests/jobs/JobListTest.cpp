#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "jobs/mcClientCallback.h"
#include "jobs/mcComponentMgrJob.h"
#include "jobs/mcJobList.h"
#include "jobs/mcManualResetEvent.h"

namespace {

class CountedJob : public mcComponentMgrJob {
public:
    CountedJob(std::string strComponent, int* pDestroyed = nullptr)
        : mcComponentMgrJob(nullptr, {}, "M", "C", std::move(strComponent)), m_pDestroyed(pDestroyed) {}
    ~CountedJob() override {
        if (m_pDestroyed != nullptr) ++*m_pDestroyed;
    }

private:
    int* m_pDestroyed;
};

TEST(JobListTest, FifoOrderAndUnlinkingNeverDestroys) {
    int nDestroyed = 0;
    CountedJob a("a", &nDestroyed), b("b", &nDestroyed), c("c", &nDestroyed);
    mcJobList list;
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(list.Front(), nullptr);
    EXPECT_EQ(list.PopFront(), nullptr);

    list.PushBack(&a);
    list.PushBack(&b);
    list.PushBack(&c);
    EXPECT_EQ(list.GetCount(), 3u);
    EXPECT_EQ(list.Front(), &a);
    EXPECT_EQ(list.PopFront(), &a);
    EXPECT_EQ(list.Front(), &b);
    EXPECT_EQ(list.GetCount(), 2u);

    EXPECT_TRUE(list.ContainsComponent("c"));
    EXPECT_FALSE(list.ContainsComponent("a"));
    EXPECT_FALSE(list.ContainsComponent("C"));
    EXPECT_FALSE(list.ContainsComponent(""));

    EXPECT_EQ(list.Clear(), (std::vector<mcComponentMgrJob*>{&b, &c}));
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(nDestroyed, 0);
}

TEST(JobListTest, WithFrontSeesTheHeadUnderTheLock) {
    CountedJob a("a"), b("b");
    mcJobList list;
    EXPECT_FALSE(list.WithFront([](mcComponentMgrJob&) { ADD_FAILURE(); }));
    list.PushBack(&a);
    list.PushBack(&b);
    std::string strSeen;
    EXPECT_TRUE(list.WithFront([&](mcComponentMgrJob& job) { strSeen = job.GetComponentName(); }));
    EXPECT_EQ(strSeen, "a");
}

TEST(JobListTest, ConcurrentProducersAndOneConsumerLoseNothing) {
    constexpr int kProducers = 3;
    constexpr int kPerProducer = 2000;
    std::vector<CountedJob*> vecJobs;
    for (int i = 0; i < kProducers * kPerProducer; ++i) vecJobs.push_back(new CountedJob("x"));
    mcJobList list;
    std::atomic<int> nPopped{0};
    std::atomic<bool> bDone{false};
    std::thread consumer([&] {
        while (!bDone || !list.IsEmpty()) {
            if (mcComponentMgrJob* pJob = list.PopFront()) {
                delete pJob;
                ++nPopped;
            }
        }
    });
    std::vector<std::thread> vecProducers;
    for (int p = 0; p < kProducers; ++p) {
        vecProducers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) list.PushBack(vecJobs[p * kPerProducer + i]);
        });
    }
    for (auto& thread : vecProducers) thread.join();
    bDone = true;
    consumer.join();
    EXPECT_EQ(nPopped.load(), kProducers * kPerProducer);
    EXPECT_TRUE(list.IsEmpty());
}

TEST(ClientCallbackTest, EmptyWhenNameOrPathMissingOrRoot) {
    EXPECT_TRUE(mcClientCallback{}.IsEmpty());
    EXPECT_TRUE((mcClientCallback{":1.7", "/"}).IsEmpty());
    EXPECT_TRUE((mcClientCallback{":1.7", ""}).IsEmpty());
    EXPECT_TRUE((mcClientCallback{"", "/cb"}).IsEmpty());
    EXPECT_FALSE((mcClientCallback{":1.7", "/cb"}).IsEmpty());
}

TEST(ComponentMgrJobTest, BaseKeepsItsFieldsAndRunReturnsFalse) {
    mcComponentMgrJob job(nullptr, {":1.9", "/req/1"}, "Codecs", "Player", "Mp3");
    EXPECT_FALSE(job.Run());
    EXPECT_EQ(job.GetManifestName(), "Codecs");
    EXPECT_EQ(job.GetClientName(), "Player");
    EXPECT_EQ(job.GetComponentName(), "Mp3");
    EXPECT_EQ(job.GetCallback(), (mcClientCallback{":1.9", "/req/1"}));
    EXPECT_EQ(job.GetComponentConfig(), nullptr);
}

TEST(ManualResetEventTest, StaysSetForEveryWaiterUntilReset) {
    mcManualResetEvent ev;
    EXPECT_FALSE(ev.IsSet());
    EXPECT_FALSE(ev.WaitFor(std::chrono::milliseconds(1)));
    std::atomic<int> nReleased{0};
    std::vector<std::thread> vecWaiters;
    for (int i = 0; i < 3; ++i) vecWaiters.emplace_back([&] {
        ev.Wait();
        ++nReleased;
    });
    ev.Set();
    for (auto& thread : vecWaiters) thread.join();
    EXPECT_EQ(nReleased.load(), 3);
    EXPECT_TRUE(ev.IsSet());
    EXPECT_TRUE(ev.WaitFor(std::chrono::milliseconds(0)));
    EXPECT_EQ(ev.GetWaiterCount(), 0);
    ev.Reset();
    EXPECT_FALSE(ev.IsSet());
}

}  // namespace
