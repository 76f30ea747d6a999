// The store's own lock: shared for GetClient, exclusive for everything else,
// held for the whole operation; many threads using one store at once; and the
// application folder's lock that keeps stores of two processes apart.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

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

// A store of another process (the service instance that is ending) owns the
// folder: a new store waits, logging it, and loads only after the other one
// has written its last change.
TEST_F(StoreLockTest, NewStoreLoadsOnlyAfterTheOwnerHasSaved) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(ready[0]);
        int code = 0;
        {
            mcComponentConfig store(Settings());
            if (!store.OwnsAppFolder()) code |= 1;
            if (write(ready[1], "1", 1) != 1) code |= 2;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (!store.SetComponentClient("late", "qorb")) code |= 4;
        }
        _exit(code);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);

    auto store = NewStore();
    EXPECT_TRUE(store->OwnsAppFolder());
    EXPECT_TRUE(store->IsComponentOfClient("qorb", "late"));
    EXPECT_TRUE(Logged("mcAppFolderLock waiting for " + AppFile(mcAppFolderLock::kFileName)));
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The wait is bounded: an owner that never lets go delays a new store only by
// the limit, after which it works without owning the folder.
TEST_F(StoreLockTest, WaitForTheFolderIsBounded) {
    int ready[2];
    int done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(ready[0]);
        close(done[1]);
        mcAppFolderLock lock(m_strApp, std::chrono::milliseconds(0));
        if (write(ready[1], lock.IsHeld() ? "1" : "0", 1) != 1) _exit(2);
        char d = 0;
        (void)!read(done[0], &d, 1);  // until the parent is through
        _exit(0);
    }
    close(ready[1]);
    close(done[0]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    ASSERT_EQ(c, '1');

    mcComponentConfig::Settings settings = Settings();
    settings.folderLockWait = std::chrono::milliseconds(200);
    {
        mcComponentConfig store(settings);
        EXPECT_FALSE(store.OwnsAppFolder());
        EXPECT_TRUE(Logged("mcAppFolderLock not taken, going on without it: " +
                           AppFile(mcAppFolderLock::kFileName) + ": still held by another instance"));
        EXPECT_TRUE(store.SetComponentName("codec"));
    }
    close(done[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    // Once the other owner is gone, the folder is ours again.
    auto store = NewStore();
    EXPECT_TRUE(store->OwnsAppFolder());
    std::vector<std::string> clients;
    EXPECT_TRUE(store->GetClientsOfComponent("codec", clients));
}

}  // namespace
