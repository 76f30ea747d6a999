// The apartment: waits that keep serving, nesting, tasks from other threads,
// timers, child processes, calls out and the end of the loop.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BusTestFixture.h"
#include "bus/mcBusExc.h"

extern char** environ;

using namespace bustest;
using namespace std::chrono_literals;

namespace {

pid_t Spawn(const std::vector<std::string>& vecArgs, const std::string& strStdout = "") {
    std::vector<char*> vecArgv;
    for (const std::string& str : vecArgs) vecArgv.push_back(const_cast<char*>(str.c_str()));
    vecArgv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!strStdout.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, strStdout.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    pid_t pid = -1;
    const int r = posix_spawnp(&pid, vecArgv[0], &actions, nullptr, vecArgv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return r == 0 ? pid : -1;
}

std::string ReadFile(const std::string& strPath) {
    std::ifstream in(strPath);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

using BusApartmentTest = BusTest;

// The service waits for a child that itself calls the service: the child's
// call is served by the nested pump, so the child can finish.
TEST_F(BusApartmentTest, WaitForProcessServesTheChildsCall) {
    int nEchoDepth = 0;
    m_dispatcher.AddMethod(kPath, kIface, "Echo", "s", [&](mcBusMessage& call) {
        nEchoDepth = m_dispatcher.Depth();
        mcBusMessage reply = call.NewMethodReturn();
        reply << "echo:" + call.ReadString();
        return reply;
    });
    const std::string strOut = m_bus.Folder() + "/child.txt";
    m_dispatcher.AddMethod(kPath, kIface, "RunChild", "", [&](mcBusMessage& call) {
        const pid_t pid = Spawn({"dbus-send", "--bus=" + m_bus.Address(), "--print-reply",
                                 "--reply-timeout=10000", "--dest=" + m_strServer, kPath,
                                 std::string(kIface) + ".Echo", "string:hello"},
                                strOut);
        EXPECT_GT(pid, 0);
        const std::optional<int> status = m_dispatcher.WaitForProcess(pid, 15s);
        mcBusMessage reply = call.NewMethodReturn();
        reply << (status ? *status : -1);
        return reply;
    });
    int nStatus = -1;
    RunClient([&](mcBusConnection& client) {
        mcBusMessage call = NewCall(client, "RunChild");
        nStatus = client.CallMethod(call, 30s).ReadInt32();
    });
    ASSERT_TRUE(WIFEXITED(nStatus)) << nStatus;
    EXPECT_EQ(WEXITSTATUS(nStatus), 0);
    EXPECT_NE(ReadFile(strOut).find("echo:hello"), std::string::npos) << ReadFile(strOut);
    EXPECT_EQ(nEchoDepth, 2);  // served inside RunChild's wait
}

TEST_F(BusApartmentTest, WaitForProcessReturnsStatusOrTimesOut) {
    const pid_t pidExit = Spawn({"/bin/sh", "-c", "exit 3"});
    ASSERT_GT(pidExit, 0);
    const std::optional<int> exitStatus = m_dispatcher.WaitForProcess(pidExit, 10s);
    ASSERT_TRUE(exitStatus.has_value());
    EXPECT_TRUE(WIFEXITED(*exitStatus));
    EXPECT_EQ(WEXITSTATUS(*exitStatus), 3);

    const pid_t pidSleep = Spawn({"sleep", "30"});
    ASSERT_GT(pidSleep, 0);
    const auto tpStart = std::chrono::steady_clock::now();
    EXPECT_FALSE(m_dispatcher.WaitForProcess(pidSleep, 100ms).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - tpStart, 5s);
    ::kill(pidSleep, SIGKILL);
    const std::optional<int> killed = m_dispatcher.WaitForProcess(pidSleep, 10s);
    ASSERT_TRUE(killed.has_value());
    EXPECT_TRUE(WIFSIGNALED(*killed));
    EXPECT_EQ(WTERMSIG(*killed), SIGKILL);
    // Reaped: waiting again is an error, not a hang.
    EXPECT_THROW(m_dispatcher.WaitForProcess(pidSleep, 1s), mcBusExc);
}

// Two calls wait nested; the first one's condition comes true first, yet it
// completes last.
TEST_F(BusApartmentTest, NestedWaitsCompleteLastInFirstOut) {
    std::vector<std::string> vecEvents;
    std::set<std::string> setReleased;
    m_dispatcher.AddMethod(kPath, kIface, "Wait", "s", [&](mcBusMessage& call) {
        const std::string strTag = call.ReadString();
        vecEvents.push_back("wait " + strTag + "@" + std::to_string(m_dispatcher.Depth()));
        EXPECT_TRUE(m_dispatcher.PumpUntil([&] { return setReleased.count(strTag) != 0; }, 20s));
        vecEvents.push_back("done " + strTag);
        return mcBusMessage();
    });
    m_dispatcher.AddMethod(kPath, kIface, "Release", "s", [&](mcBusMessage& call) {
        const std::string strTag = call.ReadString();
        setReleased.insert(strTag);
        vecEvents.push_back("release " + strTag);
        return mcBusMessage();
    });
    m_dispatcher.AddMethod(kPath, kIface, "Count", "", [&](mcBusMessage& call) {
        mcBusMessage reply = call.NewMethodReturn();
        reply << static_cast<std::int32_t>(vecEvents.size());
        return reply;
    });

    RunClient([&](mcBusConnection& driver) {
        auto count = [&] {
            mcBusMessage call = NewCall(driver, "Count");
            return driver.CallMethod(call).ReadInt32();
        };
        auto waitForCount = [&](int nCount) {
            for (int i = 0; i < 1000 && count() < nCount; ++i) std::this_thread::sleep_for(5ms);
            ASSERT_EQ(count(), nCount);
        };
        auto callIn = [&](const std::string& strMember, const std::string& strTag) {
            return std::thread([this, addr = m_bus.Address(), strMember, strTag] {
                mcBusConnection connection = mcBusConnection::OpenAddress(addr);
                mcBusMessage call = NewCall(connection, strMember);
                call << strTag;
                EXPECT_NO_THROW(connection.CallMethod(call, 30s));
            });
        };
        std::thread a = callIn("Wait", "A");
        waitForCount(1);
        std::thread b = callIn("Wait", "B");
        waitForCount(2);
        mcBusMessage releaseA = NewCall(driver, "Release");
        releaseA << "A";
        driver.CallMethod(releaseA);  // served at depth 3
        EXPECT_EQ(count(), 3);        // A cannot finish while B waits above it
        mcBusMessage releaseB = NewCall(driver, "Release");
        releaseB << "B";
        driver.CallMethod(releaseB);
        a.join();
        b.join();
    });
    EXPECT_EQ(vecEvents, (std::vector<std::string>{"wait A@1", "wait B@2", "release A",
                                                   "release B", "done B", "done A"}));
    EXPECT_EQ(m_dispatcher.Depth(), 0);
}

TEST_F(BusApartmentTest, NestingDepthIsBounded) {
    int nMaxDepth = 0;
    int nLimitErrors = 0;
    m_dispatcher.AddMethod(kPath, kIface, "Recurse", "", [&](mcBusMessage&) {
        nMaxDepth = std::max(nMaxDepth, m_dispatcher.Depth());
        mcBusMessage self = NewCall(m_server, "Recurse");
        try {
            m_dispatcher.CallAsync(self, 20s);
        } catch (const mcBusExc& exc) {
            if (exc.ErrorName() != mcBusDispatcher::kErrLimitsExceeded) throw;
            ++nLimitErrors;
        }
        return mcBusMessage();
    });
    RunClient([&](mcBusConnection& client) {
        mcBusMessage call = NewCall(client, "Recurse");
        EXPECT_NO_THROW(client.CallMethod(call, 30s));
    });
    EXPECT_EQ(nMaxDepth, mcBusDispatcher::kMaxDepth);
    EXPECT_EQ(nLimitErrors, 1);
    EXPECT_EQ(m_dispatcher.Depth(), 0);
}

TEST_F(BusApartmentTest, PumpUntilBeyondTheLimitThrows) {
    int nDeepest = 0;
    std::function<void()> nest = [&] {
        nDeepest = m_dispatcher.Depth();
        m_dispatcher.PumpUntil(
            [&] {
                nest();
                return true;
            },
            1s);
    };
    try {
        nest();
        ADD_FAILURE() << "no limit";
    } catch (const mcBusExc& exc) {
        EXPECT_EQ(exc.ErrorName(), mcBusDispatcher::kErrLimitsExceeded);
    }
    EXPECT_EQ(nDeepest, mcBusDispatcher::kMaxDepth);
    EXPECT_EQ(m_dispatcher.Depth(), 0);
}

TEST_F(BusApartmentTest, InvokeFromAWorkerRunsInsideANestedPump) {
    bool bFlag = false;
    m_dispatcher.AddMethod(kPath, kIface, "WaitFlag", "", [&](mcBusMessage& call) {
        const bool bOk = m_dispatcher.PumpUntil([&] { return bFlag; }, 20s);
        mcBusMessage reply = call.NewMethodReturn();
        reply << bOk;
        return reply;
    });
    int nPosted = 0;
    bool bReply = false;
    RunClient([&](mcBusConnection& client) {
        std::thread waiter([&] {
            mcBusConnection connection = mcBusConnection::OpenAddress(m_bus.Address());
            mcBusMessage call = NewCall(connection, "WaitFlag");
            bReply = connection.CallMethod(call, 30s).ReadBool();
        });
        // Wait until the call is pumping nested: a task then sees depth 2.
        int nDepth = 0;
        for (int i = 0; i < 2000 && nDepth != 2; ++i) {
            nDepth = m_dispatcher.Invoke([&] { return m_dispatcher.Depth(); });
            if (nDepth != 2) std::this_thread::sleep_for(2ms);
        }
        EXPECT_EQ(nDepth, 2);
        EXPECT_THROW(m_dispatcher.Invoke([]() -> int { throw std::runtime_error("task"); }),
                     std::runtime_error);
        for (int i = 0; i < 10; ++i) EXPECT_TRUE(m_dispatcher.Post([&] { ++nPosted; }));
        EXPECT_EQ(m_dispatcher.Invoke([&] {
            bFlag = true;
            return nPosted;
        }),
                  10);  // tasks run in the order they were queued
        waiter.join();
        EXPECT_THROW(m_dispatcher.AddTimer(1ms, [] {}), mcBusExc);  // not the owner thread
        (void)client;
    });
    EXPECT_TRUE(bReply);
    EXPECT_EQ(m_dispatcher.Invoke([] { return 5; }), 5);  // owner thread: at once
}

TEST_F(BusApartmentTest, StopFailsQueuedAndLaterInvokes) {
    std::promise<void> aboutToInvoke;
    std::string strQueuedError;
    std::thread worker([&] {
        aboutToInvoke.set_value();
        try {
            m_dispatcher.Invoke([] { return 1; });
            strQueuedError = "ran";
        } catch (const mcBusExc& exc) {
            strQueuedError = exc.Description();
        }
    });
    aboutToInvoke.get_future().wait();
    std::this_thread::sleep_for(50ms);  // let it queue (if not, it fails at once: same result)
    m_dispatcher.Stop();
    worker.join();
    EXPECT_NE(strQueuedError.find("stopped"), std::string::npos) << strQueuedError;

    std::thread late([&] { EXPECT_THROW(m_dispatcher.Invoke([] { return 1; }), mcBusExc); });
    late.join();
    EXPECT_FALSE(m_dispatcher.Post([] {}));
    EXPECT_TRUE(m_dispatcher.IsStopped());
    EXPECT_FALSE(m_dispatcher.PumpUntil([] { return false; }, 10s));
    m_dispatcher.Run();  // returns at once
}

TEST_F(BusApartmentTest, TimersFireInOrderAndCanBeCancelled) {
    std::vector<int> vecFired;
    // Taken before the timers are armed: the 60 ms timer cannot fire earlier
    // than 60 ms after this point, however slowly the lines below run.
    const auto tpStart = std::chrono::steady_clock::now();
    m_dispatcher.AddTimer(60ms, [&] { vecFired.push_back(2); });
    m_dispatcher.AddTimer(20ms, [&] { vecFired.push_back(1); });
    const mcBusDispatcher::Id idCancelled = m_dispatcher.AddTimer(40ms, [&] { vecFired.push_back(3); });
    m_dispatcher.AddTimer(0ms, [&] { vecFired.push_back(0); });
    EXPECT_TRUE(m_dispatcher.CancelTimer(idCancelled));
    EXPECT_FALSE(m_dispatcher.CancelTimer(idCancelled));
    PumpUntilOrFail([&] { return vecFired.size() == 3; });
    EXPECT_GE(std::chrono::steady_clock::now() - tpStart, 60ms);
    m_dispatcher.PumpUntil([] { return false; }, 80ms);
    EXPECT_EQ(vecFired, (std::vector<int>{0, 1, 2}));
}

TEST_F(BusApartmentTest, TimersFireInsideNestedWaitsAndMayPump) {
    std::vector<std::string> vecEvents;
    bool bInner = false;
    bool bOuter = false;
    m_dispatcher.AddTimer(10ms, [&] {
        vecEvents.push_back("outer timer @" + std::to_string(m_dispatcher.Depth()));
        EXPECT_TRUE(m_dispatcher.PumpUntil([&] { return bInner; }, 10s));
        bOuter = true;
    });
    m_dispatcher.AddTimer(40ms, [&] {
        vecEvents.push_back("inner timer @" + std::to_string(m_dispatcher.Depth()));
        bInner = true;
    });
    std::vector<std::string> vecHook;
    m_dispatcher.SetExceptionHook(
        [&](const std::string& strContext, std::exception_ptr) { vecHook.push_back(strContext); });
    m_dispatcher.AddTimer(0ms, [] { throw std::runtime_error("timer fault"); });
    PumpUntilOrFail([&] { return bOuter; });
    EXPECT_EQ(vecEvents, (std::vector<std::string>{"outer timer @1", "inner timer @2"}));
    EXPECT_EQ(vecHook, std::vector<std::string>{"<timer>"});
}

// A peer connection on its own thread with its own dispatcher.
class PeerThread {
public:
    explicit PeerThread(const std::string& strAddress) {
        std::promise<std::string> namePromise;
        auto nameFuture = namePromise.get_future();
        m_thread = std::thread([this, strAddress, &namePromise] {
            mcBusConnection connection = mcBusConnection::OpenAddress(strAddress);
            mcBusDispatcher dispatcher(connection);
            dispatcher.AddMethod("/peer", "org.kettrin.Peer", "Add", "ii", [](mcBusMessage& call) {
                const std::int32_t a = call.ReadInt32();
                const std::int32_t b = call.ReadInt32();
                mcBusMessage reply = call.NewMethodReturn();
                reply << a + b;
                return reply;
            });
            dispatcher.AddMethod("/peer", "org.kettrin.Peer", "Stall", "",
                                 [&dispatcher](mcBusMessage&) {
                                     dispatcher.PumpUntil([] { return false; }, 1500ms);
                                     return mcBusMessage();
                                 });
            m_pDispatcher = &dispatcher;
            namePromise.set_value(connection.UniqueName());
            dispatcher.Run();
            m_pDispatcher = nullptr;
        });
        m_strName = nameFuture.get();
    }
    ~PeerThread() {
        m_pDispatcher.load()->Quit();
        m_thread.join();
    }
    const std::string& Name() const { return m_strName; }

private:
    std::atomic<mcBusDispatcher*> m_pDispatcher{nullptr};
    std::string m_strName;
    std::thread m_thread;
};

TEST_F(BusApartmentTest, CallAsyncReachesAPeerThatServesAnObject) {
    PeerThread peer(m_bus.Address());
    mcBusMessage add = m_server.NewMethodCall(peer.Name(), "/peer", "org.kettrin.Peer", "Add");
    add << 2 << 40;
    EXPECT_EQ(m_dispatcher.CallAsync(add, 10s).ReadInt32(), 42);

    mcBusMessage unknown = m_server.NewMethodCall(peer.Name(), "/peer", "org.kettrin.Peer", "Nope");
    try {
        m_dispatcher.CallAsync(unknown, 10s);
        ADD_FAILURE() << "unknown method succeeded";
    } catch (const mcBusExc& exc) {
        EXPECT_EQ(exc.ErrorName(), mcBusDispatcher::kErrUnknownMethod);
    }

    mcBusMessage stall = m_server.NewMethodCall(peer.Name(), "/peer", "org.kettrin.Peer", "Stall");
    const auto tpStart = std::chrono::steady_clock::now();
    try {
        m_dispatcher.CallAsync(stall, 200ms);
        ADD_FAILURE() << "no time-out";
    } catch (const mcBusExc& exc) {
        EXPECT_EQ(exc.ErrorName(), "org.freedesktop.DBus.Error.NoReply");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - tpStart, 1400ms);

    mcBusMessage gone = m_server.NewMethodCall("org.kettrin.Gone", "/peer", "org.kettrin.Peer", "Add");
    gone << 1 << 1;
    EXPECT_THROW(m_dispatcher.CallAsync(gone, 10s), mcBusExc);
}

// A client calls the service; the service calls the client's callback object
// back while that client waits for its reply: both sides keep serving.
TEST_F(BusApartmentTest, CallbackIntoAClientThatIsWaitingForUs) {
    m_dispatcher.AddMethod(kPath, kIface, "Start", "o", [&](mcBusMessage& call) {
        mcBusMessage callback =
            m_server.NewMethodCall(call.Sender(), call.ReadObjectPath(),
                                   "org.kettrin.Callback", "OnProgress");
        callback << "half";
        callback << 50;
        m_dispatcher.CallAsync(callback, 10s);
        mcBusMessage reply = call.NewMethodReturn();
        reply << "started";
        return reply;
    });
    std::vector<std::string> vecClientEvents;
    RunClient([&](mcBusConnection& connection) {
        mcBusDispatcher client(connection);
        client.AddMethod("/callback/1", "org.kettrin.Callback", "OnProgress", "si",
                         [&](mcBusMessage& call) {
                             const std::string strText = call.ReadString();
                             vecClientEvents.push_back(strText + " " +
                                                       std::to_string(call.ReadInt32()));
                             return mcBusMessage();
                         });
        mcBusMessage start = NewCall(connection, "Start");
        start.AppendObjectPath("/callback/1");
        vecClientEvents.push_back(client.CallAsync(start, 10s).ReadString());
    });
    EXPECT_EQ(vecClientEvents, (std::vector<std::string>{"half 50", "started"}));
}

TEST_F(BusApartmentTest, QuitUnwindsNestedWaitsAndEndsRun) {
    std::vector<std::string> vecEvents;
    m_dispatcher.AddMethod(kPath, kIface, "Hold", "", [&](mcBusMessage&) {
        const bool bHeld = m_dispatcher.PumpUntil([] { return false; });
        vecEvents.push_back(bHeld ? "held" : "released");
        return mcBusMessage();
    });
    m_dispatcher.AddMethod(kPath, kIface, "Quit", "", [&](mcBusMessage&) {
        m_dispatcher.Quit();
        return mcBusMessage();
    });
    ClientThread holder(m_dispatcher, m_bus.Address(), [&](mcBusConnection& connection) {
        mcBusMessage call = NewCall(connection, "Hold");
        connection.CallMethod(call, 30s);
    });
    m_dispatcher.AddTimer(50ms, [&] {
        std::thread([this, addr = m_bus.Address()] {
            mcBusConnection connection = mcBusConnection::OpenAddress(addr);
            mcBusMessage call = NewCall(connection, "Quit");
            connection.CallMethod(call, 30s);
        }).detach();
    });
    m_dispatcher.Run();
    m_server.Flush();
    holder.Join();
    EXPECT_EQ(vecEvents, std::vector<std::string>{"released"});
    EXPECT_EQ(m_dispatcher.Depth(), 0);
}

TEST(BusApartmentDisconnectTest, LosingTheBusEndsRun) {
    testsupport::ScratchMachine machine;
    testsupport::PrivateBus& bus = machine.StartBus();
    mcBusConnection connection = mcBusConnection::OpenAddress(bus.Address());
    mcBusDispatcher dispatcher(connection);
    dispatcher.AddTimer(20ms, [&] { ::kill(bus.Pid(), SIGKILL); });
    dispatcher.Run();
    EXPECT_FALSE(dispatcher.IsConnected());
    EXPECT_FALSE(dispatcher.PumpUntil([] { return false; }, 10s));
    mcBusMessage call = connection.NewMethodCall("org.kettrin.X", "/x", "org.kettrin.X", "Y");
    EXPECT_THROW(dispatcher.CallAsync(call, 1s), mcBusExc);
}

}  // namespace
