// Saves that fail or are cut short never cost the records already on disk.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "StoreTestUtil.h"

namespace {

using storetest::Exists;
using storetest::ReadFile;

class SaveCrashTest : public storetest::StoreTest {};

// A full disk (here: a file size limit smaller than the file) fails the save;
// the previous file stays complete and the operation says so.
TEST_F(SaveCrashTest, FailedSaveKeepsThePreviousFile) {
    {
        auto store = NewStore();
        for (int i = 0; i < 20; ++i) ASSERT_TRUE(store->SetComponentClient("c" + std::to_string(i), "qorb"));
    }
    const std::string before = ReadFile(ConfigPath());
    ASSERT_GT(before.size(), 512u);
    ClearLog();

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {};
        limit.rlim_cur = limit.rlim_max = 256;
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
        int code = 0;
        {
            mcComponentConfig store(Settings());
            if (store.SetComponentName("new")) code |= 1;
            if (store.SetComponentState("c3", "installed", "9")) code |= 2;
            if (store.AddClient({"jukebox", "1", "o", "l"})) code |= 4;
            std::string state;
            // The change is still there in memory.
            if (!store.GetComponentCurrentState("c3", state) || state != "installed") code |= 8;
        }
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(Logged("mcComponentConfig::PrvSaveFile mcExc exception"));

    EXPECT_EQ(ReadFile(ConfigPath()), before);
    // Nothing but the file itself (and no temporary file) in the folder; the
    // folder's lock file is the store's own.
    for (const auto& entry : std::filesystem::directory_iterator(m_strApp)) {
        if (entry.path().filename() == mcAppFolderLock::kFileName) continue;
        EXPECT_EQ(entry.path().filename(), "ComponentMgrConfig.xml");
    }
    auto store = NewStore();
    std::vector<std::string> names;
    ASSERT_TRUE(store->GetComponentsOfClient("qorb", names));
    EXPECT_EQ(names.size(), 20u);
    EXPECT_FALSE(store->HasComponentStates("c3"));
}

// A read-only application folder (effective only for a user that the
// permissions bind): saves fail, the file and the records stay.
TEST_F(SaveCrashTest, ReadOnlyFolderKeepsTheFile) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root; see FailedSaveKeepsThePreviousFile";
    auto store = NewStore();
    ASSERT_TRUE(store->SetComponentClient("codec", "qorb"));
    const std::string before = ReadFile(ConfigPath());
    std::filesystem::permissions(m_strApp, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    EXPECT_FALSE(store->SetComponentState("codec", "installed", "1"));
    EXPECT_FALSE(store->SetComponentInstallData("qorb", "<a name=\"codec\"/>"));
    store.reset();
    EXPECT_EQ(ReadFile(ConfigPath()), before);
    std::filesystem::permissions(m_strApp, std::filesystem::perms::owner_all);
    store = NewStore();
    EXPECT_TRUE(store->IsComponentOfClient("qorb", "codec"));
    EXPECT_FALSE(store->HasComponentStates("codec"));
}

// A process that saves over and over is killed at random moments; every
// time, the file loads and holds one complete state of the sequence.
TEST_F(SaveCrashTest, KilledWhileSavingAlwaysLeavesACompleteFile) {
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> delayUs(0, 150000);
    int roundsWithData = 0;
    for (int round = 0; round < 24; ++round) {
        const std::string app = m_strDir + "/round" + std::to_string(round);
        std::filesystem::create_directory(app);
        const mcComponentConfig::Settings settings{app, app + "/HoldingArea"};
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            mcComponentConfig store(settings);
            store.SetComponentName("counter");
            // Saved states: {counter, c0..ck} with the counter's version k-1
            // (or none), then k.
            for (int i = 0; i < 1000000; ++i) {
                store.SetComponentName("c" + std::to_string(i));
                store.SetComponentState("counter", "downloaded", std::to_string(i));
            }
            _exit(0);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));

        const std::string config = app + "/ComponentMgrConfig.xml";
        const bool bHadFile = Exists(config);
        ClearLog();
        mcComponentConfig store(settings);
        // Loaded as it was: not damaged, not replaced.
        EXPECT_FALSE(Exists(config + ".bad")) << "round " << round;
        if (bHadFile) {
            EXPECT_FALSE(Logged("mcComponentConfig::PrvLoadFile Bad config file, creating new one"));
        }
        // Components c0..ck, without a gap.
        const auto exists = [&store](int i) {
            std::vector<std::string> clients;
            return store.GetClientsOfComponent("c" + std::to_string(i), clients);
        };
        int k = -1;
        while (exists(k + 1)) ++k;
        EXPECT_FALSE(exists(k + 2)) << "round " << round;
        std::string version;
        const bool bVersion = store.GetComponentVersion("counter", "downloaded", version);
        if (bVersion) {
            const int v = std::stoi(version);
            EXPECT_TRUE(v == k || v == k - 1) << "round " << round << ": version " << v << ", components " << k;
            ++roundsWithData;
        } else {
            EXPECT_LE(k, 0) << "round " << round;
        }
    }
    // The kills did not all come before the first save.
    EXPECT_GT(roundsWithData, 0);
}

// A change whose save failed is not lost: the next operation that saves
// writes it, even one that changes nothing itself, and so does the
// destructor.
TEST_F(SaveCrashTest, ChangesOfAFailedSaveAreWrittenLater) {
    {
        auto store = NewStore();
        for (int i = 0; i < 20; ++i) ASSERT_TRUE(store->SetComponentClient("c" + std::to_string(i), "qorb"));
    }
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {};
        getrlimit(RLIMIT_FSIZE, &limit);
        const rlim_t nOld = limit.rlim_cur;
        int code = 0;
        {
            mcComponentConfig store(Settings());
            limit.rlim_cur = 256;
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
            if (store.SetComponentState("c3", "installed", "9")) code |= 1;
            if (store.SetComponentState("c4", "installed", "8")) code |= 2;
            limit.rlim_cur = nOld;
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(11);
            // Changes nothing itself, but writes what is pending.
            if (!store.SetComponentClient("c3", "qorb")) code |= 4;
            if (ReadFile(ConfigPath()).find("<installed version=\"9\"/>") == std::string::npos) code |= 8;
            // The next one is left to the destructor.
            limit.rlim_cur = 256;
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(12);
            if (store.SetComponentState("c5", "installed", "7")) code |= 16;
            limit.rlim_cur = nOld;
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(13);
        }
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    auto store = NewStore();
    for (const char* name : {"c3", "c4", "c5"}) {
        std::string state;
        EXPECT_TRUE(store->GetComponentCurrentState(name, state)) << name;
        EXPECT_EQ(state, "installed") << name;
    }
}

}  // namespace
