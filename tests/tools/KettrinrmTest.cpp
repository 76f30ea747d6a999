// Kettrinrm as client uninstallers run it: the real program against a real
// registry file and a private bus, with a stand-in "Unwise" script in the
// application folder that records how it was started.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <optional>
#include <thread>

#include "bus/mcBusDispatcher.h"
#include "service/mcCallerAuthorizer.h"
#include "service/mcHiddenWindow.h"
#include "support/ServiceTestMachine.h"
#include "tools/ToolsTestSupport.h"

namespace {

using core::registry::RegistryKey;
using toolstest::kClientsKey;

const std::string kRm = std::string(KETTRIN_BINARY_DIR) + "/src/Kettrinrm";
const std::string kMessagePrefix = "Tavrolin\u00ae Component Manager UnInstall: ";

// The service's bus name held by a thread of the test that serves the real
// hidden window object (a server that never ends), or no object at all.
class ServiceNameHost {
public:
    ServiceNameHost(const std::string& strAddress, bool bWithWindow) {
        std::promise<void> ready;
        std::future<void> started = ready.get_future();
        m_thread = std::thread([this, strAddress, bWithWindow, &ready] {
            mcBusConnection connection = mcBusConnection::OpenAddress(strAddress);
            mcBusDispatcher dispatcher(connection);
            mcCallerAuthorizer authorizer(dispatcher, ::geteuid(), false, std::chrono::milliseconds(0));
            std::optional<mcHiddenWindow> window;
            if (bWithWindow) window.emplace(dispatcher, authorizer, [] {});
            connection.RequestName(cmifc::kBusName);
            m_pDispatcher = &dispatcher;
            ready.set_value();
            dispatcher.Run();
            m_pDispatcher = nullptr;
        });
        started.wait();
    }
    ~ServiceNameHost() {
        m_pDispatcher.load()->Quit();
        m_thread.join();
    }

private:
    std::atomic<mcBusDispatcher*> m_pDispatcher{nullptr};
    std::thread m_thread;
};

class KettrinrmTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_machine.StartBus();
        std::filesystem::create_directories(m_machine.AppFolder());
        toolstest::WriteRecordingScript(m_machine.AppFolder() + "/Unwise", m_strRecord);
    }

    int RunRm(const std::vector<std::string>& vecArgs, std::string* pErr = nullptr) {
        std::vector<std::string> vecCommand = {kRm};
        vecCommand.insert(vecCommand.end(), vecArgs.begin(), vecArgs.end());
        std::string strOut;
        std::string strErr;
        const int nExit = svctest::RunProgram(vecCommand, &strOut, &strErr);
        EXPECT_EQ(strOut, "");
        if (pErr) *pErr = strErr;
        return nExit;
    }

    std::optional<std::vector<std::string>> WaitForUnwise() {
        svctest::WaitFor([&] { return std::filesystem::exists(m_strRecord); });
        return toolstest::ReadRecord(m_strRecord);
    }

    std::vector<std::string> ExpectedUnwiseStart() const {
        return {m_machine.AppFolder(), "/s", "CMINSTALL.LOG", "runonce-value:1"};
    }

    svctest::TestMachine m_machine;
    std::string m_strRecord = m_machine / "unwise.record";
};

struct RmCase {
    const char* pszName;
    std::vector<std::string> vecArgs;
    bool bClientsKey;
    std::vector<std::string> vecClientsBefore;
    int nExit;
    std::string strMessage;  // the whole message line, "" for none
    std::vector<std::string> vecClientsAfter;
    bool bUnwiseStarts;
};

// Without a server on the bus: the decisions that the registry alone drives.
TEST_F(KettrinrmTest, RegistryDecidesWhatIsRemoved) {
    const std::string kUsage = "Usage : only one command line arg allowed";
    const std::vector<RmCase> vecCases = {
        {"no argument, no client", {}, true, {}, 1, "", {}, true},
        {"no argument, no Clients key", {}, false, {}, 1, "", {}, true},
        {"no argument, blanks only", {"   "}, true, {}, 1, "", {}, true},
        {"no argument, one client", {}, true, {"Player"}, 0,
         "There are clients being serviced by the CM, it is unsafe to uninstall!", {"Player"}, false},
        {"last client", {"Player"}, true, {"Player"}, 1, "", {}, true},
        {"one of two clients", {"Player"}, true, {"Player", "Burner"}, 1, "", {"Burner"}, false},
        {"client named in other case", {"PLAYER"}, true, {"Player", "Burner"}, 1, "", {"Burner"}, false},
        {"unregistered client", {"Ghost"}, true, {"Player"}, 0,
         "You are tyring to remove a CM Client that does not exist: Ghost", {"Player"}, false},
        {"unregistered client, no Clients key", {"Ghost"}, false, {}, 0,
         "You are tyring to remove a CM Client that does not exist: Ghost", {}, false},
        {"two words in one argument", {"Player Burner"}, true, {"Player", "Burner"}, 0, kUsage,
         {"Player", "Burner"}, false},
        {"two arguments", {"Player", "Burner"}, true, {"Player", "Burner"}, 0, kUsage, {"Player", "Burner"}, false},
        {"trailing blanks are one argument", {"Player  "}, true, {"Player", "Burner"}, 1, "", {"Burner"}, false},
        {"name of white space only", {"\t"}, true, {"Player"}, 0, kUsage, {"Player"}, false},
        {"name with a backslash", {"Play\\er"}, true, {"Play\\er", "Burner"}, 0, kUsage, {"Play\\er", "Burner"},
         false},
        {"name with a control character", {"Play\x01"}, true, {"Play\x01"}, 0, kUsage, {"Play\x01"}, false},
    };
    for (const RmCase& c : vecCases) {
        SCOPED_TRACE(c.pszName);
        std::filesystem::remove(m_strRecord);
        toolstest::SetClients(c.bClientsKey, c.vecClientsBefore);

        std::string strErr;
        EXPECT_EQ(RunRm(c.vecArgs, &strErr), c.nExit);
        EXPECT_EQ(strErr, c.strMessage.empty() ? std::string() : kMessagePrefix + c.strMessage + "\n");
        EXPECT_EQ(toolstest::Clients(), c.vecClientsAfter);
        if (c.bUnwiseStarts) {
            EXPECT_EQ(WaitForUnwise(), ExpectedUnwiseStart());
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds{100});
            EXPECT_FALSE(std::filesystem::exists(m_strRecord));
        }
        EXPECT_FALSE(RegistryKey::ValueExists(5, mcCMUtils::kRunOnceKey, core::registry::KEY_READ, "RemoveCM"));
    }
}

TEST_F(KettrinrmTest, FailuresAreReportedAndRefused) {
    // A registry file that is not one.
    fstest::WriteFile(m_machine / "broken.db", std::string(4096, 'x'));
    std::string strOut;
    std::string strErr;
    EXPECT_EQ(svctest::RunProgram({"/usr/bin/env", "KETTRIN_REGISTRY=" + m_machine / "broken.db", kRm, "Player"},
                                  &strOut, &strErr),
              0);
    EXPECT_EQ(strErr, kMessagePrefix + "Registry Exception\n");

    std::filesystem::remove(m_machine.AppFolder() + "/Unwise");
    strErr.clear();
    EXPECT_EQ(RunRm({}, &strErr), 0);
    EXPECT_EQ(strErr, kMessagePrefix + m_machine.AppFolder() + "/Unwise CreateProccess call failed\n");
}

TEST_F(KettrinrmTest, NameOwnerWithoutTheWindowIsNotTheServer) {
    ServiceNameHost impostor(m_machine.Bus().Address(), false);
    EXPECT_EQ(RunRm({}), 1);
    EXPECT_EQ(WaitForUnwise(), ExpectedUnwiseStart());
}

// A server that stays: after the ten waits the removal is left for the next
// boot, and "kettrinctl runonce" then runs it exactly once.
TEST_F(KettrinrmTest, ServerThatStaysDefersRemovalToRunOnce) {
    ServiceNameHost window(m_machine.Bus().Address(), true);
    // What an earlier attempt left is written over, whatever its type.
    RegistryKey(5, "").CreateSubKey(mcCMUtils::kRunOnceKey).SetValueBinary("RemoveCM", "stale");
    const auto tpStart = std::chrono::steady_clock::now();
    EXPECT_EQ(RunRm({}), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - tpStart, std::chrono::milliseconds{10 * 800});
    EXPECT_FALSE(std::filesystem::exists(m_strRecord));

    const std::string strApp = m_machine.AppFolder();
    RegistryKey runOnce(5, mcCMUtils::kRunOnceKey, core::registry::KEY_READ);
    const std::string strCommand = "\"" + strApp + "/Unwise\" /s \"" + strApp + "/CMINSTALL.LOG\"";
    EXPECT_EQ(runOnce.GetValueString("RemoveCM"), strCommand);
    EXPECT_EQ(runOnce.GetValueType("RemoveCM"), core::registry::REG_SZ);

    std::string strOut;
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "runonce"}, &strOut), 0);
    EXPECT_EQ(strOut, "RemoveCM\t" + strCommand + "\texit 0\n");
    const auto record = toolstest::ReadRecord(m_strRecord);
    ASSERT_TRUE(record);
    ASSERT_EQ(record->size(), 4u);
    // Started with the log's full path; its value was gone before it started.
    EXPECT_EQ((*record)[1], "/s");
    EXPECT_EQ((*record)[2], strApp + "/CMINSTALL.LOG");
    EXPECT_EQ((*record)[3], "runonce-value:1");

    std::filesystem::remove(m_strRecord);
    strOut.clear();
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "runonce"}, &strOut), 0);
    EXPECT_EQ(strOut, "");
    EXPECT_FALSE(std::filesystem::exists(m_strRecord));
}

// The real server, started by the bus and ending on its own while Kettrinrm
// waits: the uninstaller starts as soon as the window has gone.
TEST_F(KettrinrmTest, WaitsForTheRealServerToEnd) {
    m_machine.Bus().AddService(cmifc::kBusName, svctest::kKettrin);
    m_machine.Bus().ReloadConfig();
    {
        mcBusConnection connection = mcBusConnection::OpenAddress(m_machine.Bus().Address());
        mcBusMessage call = connection.NewMethodCall(mcBusConnection::kBusName, mcBusConnection::kBusPath,
                                                     mcBusConnection::kBusInterface, "StartServiceByName");
        call.Append(cmifc::kBusName).Append(std::uint32_t{0});
        connection.CallMethod(call);
        ASSERT_TRUE(connection.NameHasOwner(cmifc::kBusName));
    }
    // It saw the window (and so slept at least once) before the server went.
    const auto tpStart = std::chrono::steady_clock::now();
    EXPECT_EQ(RunRm({}), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - tpStart, std::chrono::milliseconds{800});
    mcBusConnection connection = mcBusConnection::OpenAddress(m_machine.Bus().Address());
    EXPECT_FALSE(connection.NameHasOwner(cmifc::kBusName));
    EXPECT_EQ(WaitForUnwise(), ExpectedUnwiseStart());
    EXPECT_FALSE(RegistryKey::ValueExists(5, mcCMUtils::kRunOnceKey, core::registry::KEY_READ, "RemoveCM"));
}

// Every value runs once and is gone before its command starts, whatever the
// command does; values that are no command lines are dropped.
TEST_F(KettrinrmTest, RunOnceRunsEachValueOnceAndReportsFailures) {
    const std::string strScript = m_machine / "step";
    toolstest::WriteRecordingScript(strScript, m_machine / "step.record", "First");
    {
        RegistryKey root(5, "");
        RegistryKey runOnce = root.CreateSubKey(mcCMUtils::kRunOnceKey);
        runOnce.SetValueString("First", "\"" + strScript + "\" \"two words\" plain");
        runOnce.SetValueString("Fails", "/bin/sh -c \"exit 3\"");
        runOnce.SetValueString("Missing", "/nonexistent/program");
        runOnce.SetValueBinary("Binary", "\x01\x02");
    }
    std::string strOut;
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "--json", "runonce"}, &strOut), 1);
    const std::string strCheck =
        "import json,sys\n"
        "r=json.load(sys.stdin)['ran']\n"
        "print(';'.join('%s=%s/%s' % (e['name'], e['exit'], e['error'] is not None) for e in r))\n";
    std::string strSummary;
    EXPECT_EQ(toolstest::RunWithInput({"/usr/bin/python3", "-c", strCheck}, strOut, strSummary), 0) << strOut;
    EXPECT_EQ(strSummary, "First=0/False;Fails=3/False;Missing=None/True;Binary=None/True\n");

    const auto record = toolstest::ReadRecord(m_machine / "step.record");
    ASSERT_TRUE(record);
    EXPECT_EQ(std::vector<std::string>(record->begin() + 1, record->end()),
              (std::vector<std::string>{"two words", "plain", "runonce-value:1"}));
    RegistryKey runOnce(5, mcCMUtils::kRunOnceKey, core::registry::KEY_READ);
    EXPECT_EQ(runOnce.GetValueCount(), 0u);
}

}  // namespace
