// Several processes on one registry file at once: nothing written is lost and a
// value generated once is agreed on by everybody.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>

#include "registry/RegistryKey.h"
#include "support/RegistryTestSupport.h"

using core::registry::RegistryKey;
namespace reg = core::registry;

namespace {

constexpr const char* kKey = "Software\\Tavrolin, Inc.\\componentMgr";
constexpr int kWriters = 4;
constexpr int kValuesPerWriter = 60;

// Forks a child that runs body and exits 0 when it returned true and threw
// nothing; returns the child's pid.
template <class Body>
pid_t Spawn(Body&& body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int code = 1;
        try {
            code = body() ? 0 : 1;
        } catch (...) {
            code = 2;
        }
        ::_exit(code);
    }
    return pid;
}

int WaitFor(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

}  // namespace

class RegistryConcurrencyTest : public RegistryTestBase {};

TEST_F(RegistryConcurrencyTest, WriterProcessesLoseNothing) {
    // The parent holds a connection of its own across the forks.
    RegistryKey(reg::kRootLocalMachine, "").CreateSubKey("Software");
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        children.push_back(Spawn([w] {
            RegistryKey root(reg::kRootLocalMachine, "");
            for (int i = 0; i < kValuesPerWriter; ++i) {
                // Every writer creates the same key path and its own sub-key.
                RegistryKey key = root.CreateSubKey(kKey);
                key.SetValueDWord("w" + std::to_string(w) + "_" + std::to_string(i),
                                  static_cast<std::uint32_t>(i));
                key.CreateSubKey("Clients\\c" + std::to_string(w)).SetValueString("n", "x");
            }
            return true;
        }));
    }
    for (pid_t pid : children) EXPECT_EQ(WaitFor(pid), 0);

    RegistryKey key(reg::kRootLocalMachine, kKey, reg::KEY_READ);
    EXPECT_EQ(key.GetValueCount(), static_cast<std::uint32_t>(kWriters * kValuesPerWriter));
    for (int w = 0; w < kWriters; ++w) {
        EXPECT_EQ(key.GetValueDWord("w" + std::to_string(w) + "_" +
                                    std::to_string(kValuesPerWriter - 1)),
                  static_cast<std::uint32_t>(kValuesPerWriter - 1));
    }
    EXPECT_EQ(RegistryKey(reg::kRootLocalMachine, std::string(kKey) + "\\Clients", reg::KEY_READ)
                  .GetSubKeyNames()
                  .size(),
              static_cast<std::size_t>(kWriters));
}

TEST_F(RegistryConcurrencyTest, ProcessesAgreeOnAGeneratedValue) {
    RegistryKey(reg::kRootLocalMachine, "").CreateSubKey(kKey);
    int pipes[2];
    ASSERT_EQ(::pipe(pipes), 0);
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        children.push_back(Spawn([w, &pipes] {
            RegistryKey key(reg::kRootLocalMachine, kKey);
            std::string mine = "ID-" + std::to_string(w);
            std::string got = key.GetOrSetValueString("zruid", mine) + "\n";
            return ::write(pipes[1], got.data(), got.size()) == static_cast<ssize_t>(got.size());
        }));
    }
    ::close(pipes[1]);
    for (pid_t pid : children) EXPECT_EQ(WaitFor(pid), 0);
    std::string all;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(pipes[0], buffer, sizeof buffer)) > 0) all.append(buffer, static_cast<std::size_t>(n));
    ::close(pipes[0]);

    std::set<std::string> answers;
    std::size_t pos = 0;
    while (pos < all.size()) {
        std::size_t end = all.find('\n', pos);
        answers.insert(all.substr(pos, end - pos));
        pos = end + 1;
    }
    ASSERT_EQ(answers.size(), 1u) << all;
    EXPECT_EQ(RegistryKey(reg::kRootLocalMachine, kKey).GetValueString("zruid"), *answers.begin());
}

TEST_F(RegistryConcurrencyTest, WriterWaitsForAnotherWritersTransaction) {
    RegistryKey key = RegistryKey(reg::kRootLocalMachine, "").CreateSubKey(kKey);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(m_strDb.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::thread release([other] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    });
    // Blocks until the other transaction ends, then succeeds.
    EXPECT_NO_THROW(key.SetValueString("AppPath", "/srv/cm"));
    release.join();
    sqlite3_close(other);
    EXPECT_EQ(key.GetValueString("AppPath"), "/srv/cm");
}
