// Connections: names, synchronous calls, signals and the choice of bus.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "BusTestFixture.h"
#include "bus/BusAddress.h"
#include "bus/mcBusExc.h"

using namespace bustest;

namespace {

constexpr const char* kWellKnown = "org.kettrin.TestName";

using BusConnectionTest = BusTest;

TEST_F(BusConnectionTest, SecondOwnerOfANameFailsCleanly) {
    EXPECT_TRUE(m_server.RequestName(kWellKnown));
    EXPECT_TRUE(m_server.RequestName(kWellKnown));  // ours already
    mcBusConnection other = mcBusConnection::OpenAddress(m_bus.Address());
    EXPECT_FALSE(other.RequestName(kWellKnown));
    EXPECT_TRUE(other.NameHasOwner(kWellKnown));
    EXPECT_FALSE(other.ReleaseName(kWellKnown));  // not its name
    // The second request was not queued: once released, the name is free.
    EXPECT_TRUE(m_server.ReleaseName(kWellKnown));
    EXPECT_FALSE(other.NameHasOwner(kWellKnown));
    EXPECT_FALSE(m_server.ReleaseName(kWellKnown));
    EXPECT_TRUE(other.RequestName(kWellKnown));
    EXPECT_THROW(other.RequestName("not a name"), mcBusExc);
}

TEST_F(BusConnectionTest, SynchronousCallTimesOutWhenNobodyServes) {
    // The service connection is never pumped here.
    mcBusConnection client = mcBusConnection::OpenAddress(m_bus.Address());
    mcBusMessage call = client.NewMethodCall(m_strServer, kPath, kIface, "Anything");
    const auto tpStart = std::chrono::steady_clock::now();
    try {
        client.CallMethod(call, std::chrono::milliseconds(200));
        ADD_FAILURE() << "no time-out";
    } catch (const mcBusExc& exc) {
        EXPECT_FALSE(exc.ErrorName().empty()) << exc.Description();
        EXPECT_NE(exc.Errno(), 0);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - tpStart, std::chrono::seconds(10));
}

TEST_F(BusConnectionTest, CallToAnAbsentNameReportsServiceUnknown) {
    mcBusConnection client = mcBusConnection::OpenAddress(m_bus.Address());
    mcBusMessage call = client.NewMethodCall("org.kettrin.Nobody", kPath, kIface, "X");
    try {
        client.CallMethod(call);
        ADD_FAILURE() << "call to an absent name succeeded";
    } catch (const mcBusExc& exc) {
        EXPECT_EQ(exc.ErrorName(), "org.freedesktop.DBus.Error.ServiceUnknown");
    }
}

TEST_F(BusConnectionTest, OpeningANonexistentAddressThrowsWithErrnoText) {
    try {
        mcBusConnection::OpenAddress("unix:path=" + m_bus.Folder() + "/no-such-socket");
        ADD_FAILURE() << "connected to nothing";
    } catch (const mcBusExc& exc) {
        EXPECT_EQ(exc.Errno(), ENOENT);
        EXPECT_NE(exc.Description().find("No such file or directory"), std::string::npos)
            << exc.Description();
    }
    EXPECT_THROW(mcBusConnection::OpenAddress("garbage"), mcBusExc);
}

TEST_F(BusConnectionTest, SignalsReachWatchersOutsideSdBus) {
    std::vector<std::string> vecSeen;
    const mcBusDispatcher::Id id = m_dispatcher.AddSignalWatch(
        std::string("type='signal',interface='") + kIface + "',member='Changed'",
        [&](mcBusMessage& signal) {
            // A watcher may use the connection and pump: it runs from the loop.
            EXPECT_EQ(m_dispatcher.Depth(), 1);
            vecSeen.push_back(signal.ReadString());
            EXPECT_TRUE(m_server.NameHasOwner(m_strServer));
        });
    auto emit = [&](const std::string& strValue) {
        RunClient([&](mcBusConnection& client) {
            mcBusMessage signal = client.NewSignal(kPath, kIface, "Changed");
            signal << strValue;
            client.EmitSignal(signal);
            mcBusMessage other = client.NewSignal(kPath, kIface, "Unrelated");
            client.EmitSignal(other);
            client.Flush();
        });
    };
    emit("one");
    PumpUntilOrFail([&] { return vecSeen.size() == 1; });
    EXPECT_EQ(vecSeen, std::vector<std::string>{"one"});
    m_dispatcher.RemoveSignalWatch(id);
    emit("two");
    // A round trip to the bus orders us after the signal, if it came.
    EXPECT_TRUE(m_server.NameHasOwner(m_strServer));
    m_dispatcher.PumpUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(vecSeen, std::vector<std::string>{"one"});
}

TEST_F(BusConnectionTest, NameOwnerChangedFollowsAClientConnection) {
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> mapChanges;
    m_dispatcher.WatchNameOwnerChanged(
        [&](const std::string& strName, const std::string& strOld, const std::string& strNew) {
            mapChanges[strName].emplace_back(strOld, strNew);
        });
    std::string strClient;
    RunClient([&](mcBusConnection& client) { strClient = client.UniqueName(); });
    PumpUntilOrFail([&] { return mapChanges[strClient].size() == 2; });
    EXPECT_EQ(mapChanges[strClient][0], std::make_pair(std::string(), strClient));
    EXPECT_EQ(mapChanges[strClient][1], std::make_pair(strClient, std::string()));
}

TEST_F(BusConnectionTest, NameOwnerChangedForOneNameOnly) {
    std::vector<std::string> vecNames;
    m_dispatcher.WatchNameOwnerChanged(
        [&](const std::string& strName, const std::string&, const std::string&) {
            vecNames.push_back(strName);
        },
        kWellKnown);
    RunClient([&](mcBusConnection& client) {
        EXPECT_TRUE(client.RequestName(kWellKnown));
        EXPECT_TRUE(client.ReleaseName(kWellKnown));
    });
    PumpUntilOrFail([&] { return vecNames.size() == 2; });
    EXPECT_EQ(vecNames, (std::vector<std::string>{kWellKnown, kWellKnown}));
    EXPECT_THROW(m_dispatcher.WatchNameOwnerChanged(
                     [](const std::string&, const std::string&, const std::string&) {}, "x'y"),
                 mcBusExc);
}

// ------------------------------------------------------------- bus choice

mcEnvLookup FakeEnv(std::map<std::string, std::string> mapVars) {
    auto pVars = std::make_shared<std::map<std::string, std::string>>(std::move(mapVars));
    return [pVars](const char* pszName) -> const char* {
        auto it = pVars->find(pszName);
        return it == pVars->end() ? nullptr : it->second.c_str();
    };
}

TEST(BusAddressTest, StarterAddressOnlyForTheService) {
    const mcEnvLookup env = FakeEnv({{"DBUS_STARTER_ADDRESS", "unix:path=/s"},
                                     {"KETTRIN_BUS_ADDRESS", "unix:path=/k"},
                                     {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/u"}});
    EXPECT_EQ(mfResolveBusAddress(mcBusRole::Service, true, env), "unix:path=/s");
    EXPECT_EQ(mfResolveBusAddress(mcBusRole::Client, true, env), "unix:path=/k");
}

TEST(BusAddressTest, KettrinAddressBeatsSessionSwitch) {
    const mcEnvLookup env = FakeEnv({{"KETTRIN_BUS_ADDRESS", "unix:path=/k"},
                                     {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/u"}});
    EXPECT_EQ(mfResolveBusAddress(mcBusRole::Service, true, env), "unix:path=/k");
    EXPECT_EQ(mfResolveBusAddress(mcBusRole::Client, false, env), "unix:path=/k");
}

TEST(BusAddressTest, SessionSwitchAndSystemDefault) {
    const mcEnvLookup env = FakeEnv({{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/u"},
                                     {"DBUS_STARTER_ADDRESS", ""},
                                     {"KETTRIN_BUS_ADDRESS", ""}});
    EXPECT_EQ(mfResolveBusAddress(mcBusRole::Service, true, env), "unix:path=/u");
    EXPECT_EQ(mfResolveBusAddress(mcBusRole::Client, false, env),
              "unix:path=/run/dbus/system_bus_socket");
    EXPECT_EQ(mfResolveBusAddress(mcBusRole::Client, false,
                                  FakeEnv({{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/y"}})),
              "unix:path=/y");
}

TEST(BusAddressTest, SessionFallsBackToTheRuntimeFolderEscaped) {
    EXPECT_EQ(mfResolveBusAddress(mcBusRole::Client, true,
                                  FakeEnv({{"XDG_RUNTIME_DIR", "/run/user/1000"}})),
              "unix:path=/run/user/1000/bus");
    EXPECT_EQ(mfResolveBusAddress(mcBusRole::Client, true,
                                  FakeEnv({{"XDG_RUNTIME_DIR", "/tmp/a b,c=d"}})),
              "unix:path=/tmp/a%20b%2cc%3dd/bus");
    EXPECT_THROW(mfResolveBusAddress(mcBusRole::Client, true, FakeEnv({})), mcBusExc);
}

TEST_F(BusConnectionTest, OpenBusFollowsTheResolvedAddress) {
    mcBusConnection client = mfOpenBus(mcBusRole::Client, false,
                                       FakeEnv({{"KETTRIN_BUS_ADDRESS", m_bus.Address()}}));
    EXPECT_TRUE(client.IsOpen());
    EXPECT_TRUE(client.NameHasOwner(m_strServer));
}

// The private bus hands the test's environment to what it activates.
TEST(PrivateBusTest, ActivatedServicesSeeTheTestEnvironment) {
    ASSERT_EQ(::setenv("KETTRIN_PRIVATE_BUS_MARK", "inherited", 1), 0);
    testsupport::PrivateBus bus;
    ::unsetenv("KETTRIN_PRIVATE_BUS_MARK");
    bus.UpdateActivationEnvironment({{"KETTRIN_PRIVATE_BUS_EXTRA", "updated"}});
    const std::string strOut = bus.Folder() + "/activated.txt";
    bus.AddService("org.kettrin.Activated",
                   "/bin/sh -c 'echo \"$KETTRIN_PRIVATE_BUS_MARK $KETTRIN_PRIVATE_BUS_EXTRA\" > " +
                       strOut + "'");
    bus.ReloadConfig();
    mcBusConnection client = mcBusConnection::OpenAddress(bus.Address());
    mcBusMessage call = client.NewMethodCall(mcBusConnection::kBusName, mcBusConnection::kBusPath,
                                             mcBusConnection::kBusInterface, "StartServiceByName");
    call << "org.kettrin.Activated" << 0u;
    // The script never takes the name, so the request fails; its reply is not
    // worth waiting for.
    EXPECT_THROW(client.CallMethod(call, std::chrono::milliseconds(100)), mcBusExc);
    std::string strLine;
    for (int i = 0; i < 1000 && strLine.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(strOut);
        std::getline(in, strLine);
    }
    EXPECT_EQ(strLine, "inherited updated");
    const std::string strFolder = bus.Folder();
    EXPECT_TRUE(std::filesystem::exists(strFolder + "/bus"));
}

TEST(PrivateBusTest, CleansUpItsFolderAndDaemon) {
    std::string strFolder;
    pid_t pid = -1;
    {
        testsupport::PrivateBus bus;
        strFolder = bus.Folder();
        pid = bus.Pid();
        EXPECT_EQ(bus.Address().rfind("unix:path=" + strFolder + "/bus", 0), 0u) << bus.Address();
        EXPECT_EQ(::kill(pid, 0), 0);
    }
    EXPECT_FALSE(std::filesystem::exists(strFolder));
    EXPECT_NE(::kill(pid, 0), 0);  // reaped: the pid is gone
}

}  // namespace
