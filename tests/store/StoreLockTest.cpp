// The store's own lock: shared for GetClient, exclusive for everything else,
// held for the whole operation; and many threads using one store at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "StoreTestUtil.h"

namespace {

class StoreLockTest : public storetest::StoreTest {
protected:
    // Waits (bounded) until pred holds; false when it never did.
    template <typename Pred>
    static bool WaitFor(Pred pred) {
        for (int i = 0; i < 2000; ++i) {
            if (pred()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return pred();
    }
};

TEST_F(StoreLockTest, ReadersShareWritersWait) {
    auto store = NewStore();
    ASSERT_TRUE(store->AddClient({"jukebox", "1", "o", "en"}));

    // Someone holds read access: GetClient still runs.
    ASSERT_TRUE(store->AcquireRead());
    std::atomic<bool> bRead{false};
    std::thread reader([&] {
        msClientRecord record;
        bRead = store->GetClient("jukebox", record);
    });
    reader.join();
    EXPECT_TRUE(bRead);

    // Any other operation, even a pure read, waits for the lock alone.
    std::atomic<int> nDone{0};
    std::vector<std::thread> writers;
    writers.emplace_back([&] {
        std::string state;
        store->GetComponentCurrentState("codec", state);
        ++nDone;
    });
    writers.emplace_back([&] {
        store->SetComponentName("codec");
        ++nDone;
    });
    ASSERT_TRUE(WaitFor([&] { return store->GetWaitingWriters() == 2; }));
    EXPECT_EQ(nDone.load(), 0);
    store->release();
    for (auto& t : writers) t.join();
    EXPECT_EQ(nDone.load(), 2);
    EXPECT_EQ(store->GetHolderCount(), 0);
}

TEST_F(StoreLockTest, ManyThreadsOneStore) {
    auto store = NewStore();
    constexpr int kThreads = 4;
    constexpr int kComponents = 6;
    std::vector<std::thread> threads;
    std::atomic<int> nFailures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string client = "client" + std::to_string(t);
            for (int i = 0; i < kComponents; ++i) {
                const std::string name = "c" + std::to_string(i);
                if (!store->SetComponentClient(name, client)) ++nFailures;
                if (!store->SetComponentState(name, "downloaded", std::to_string(t))) ++nFailures;
                msClientRecord record;
                store->GetClient(client, record);
                std::vector<std::string> names;
                store->GetComponentsOfClient(client, names);
            }
            if (!store->AddClient({client, "1", "o", "en"})) ++nFailures;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(nFailures.load(), 0);
    // Every client is on every component, each component exists once.
    store.reset();
    store = NewStore();
    for (int i = 0; i < kComponents; ++i) {
        std::vector<std::string> clients;
        ASSERT_TRUE(store->GetClientsOfComponent("c" + std::to_string(i), clients));
        EXPECT_EQ(clients.size(), static_cast<std::size_t>(kThreads));
    }
    const std::string file = storetest::Compact(ConfigPath());
    std::size_t count = 0;
    for (std::size_t pos = file.find("<Component "); pos != std::string::npos; pos = file.find("<Component ", pos + 1)) {
        ++count;
    }
    EXPECT_EQ(count, static_cast<std::size_t>(kComponents));
    for (int t = 0; t < kThreads; ++t) {
        msClientRecord record;
        EXPECT_TRUE(store->GetClient("client" + std::to_string(t), record));
    }
}

}  // namespace
