// The command-line conventions of kettrinctl and Kettrin, against the real
// binaries: help and version, options before or after the command, "did you
// mean", exit statuses, JSON read by python3's parser, and messages in words.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "contract/ComponentMgrIfc.h"
#include "support/PrivateBus.h"
#include "support/ServiceTestMachine.h"

namespace {

using svctest::ScopedEnv;
using svctest::TestMachine;

struct msRun {
    int nExit = -1;
    std::string strOut;
    std::string strErr;
};

msRun Ctl(std::vector<std::string> vecArgs) {
    vecArgs.insert(vecArgs.begin(), svctest::kCtl);
    msRun run;
    run.nExit = svctest::RunProgram(vecArgs, &run.strOut, &run.strErr);
    return run;
}

bool Contains(const std::string& strText, const std::string& strPart) {
    return strText.find(strPart) != std::string::npos;
}

class CliTest : public ::testing::Test {
protected:
    // True when python3's json module reads strText as one JSON document.
    bool IsJson(const std::string& strText) {
        const std::string strFile = m_machine.Folder() + "/out.json";
        fstest::WriteFile(strFile, strText);
        return svctest::RunProgram({"/usr/bin/python3", "-c", "import json,sys\njson.load(open(sys.argv[1]))", strFile}) == 0;
    }

    TestMachine m_machine;
};

TEST_F(CliTest, HelpAndVersion) {
    struct Case {
        std::vector<std::string> vecArgs;
        std::string strExpectOut;
    };
    const std::vector<Case> vecCases = {
        {{"--help"}, "usage: kettrinctl [OPTIONS] COMMAND"},
        {{"help"}, "usage: kettrinctl [OPTIONS] COMMAND"},
        {{"-h"}, "--address ADDR"},
        {{"--version"}, "kettrinctl 1.0.0.73"},
        {{"help", "status"}, "usage: kettrinctl status"},
        {{"help", "config"}, "connection-check-server"},
        {{"status", "--help"}, "usage: kettrinctl status"},
        {{"--json", "help", "is-installed"}, "grep -q"},
    };
    for (const Case& c : vecCases) {
        const msRun run = Ctl(c.vecArgs);
        EXPECT_EQ(run.nExit, 0) << c.vecArgs.front();
        EXPECT_TRUE(Contains(run.strOut, c.strExpectOut)) << c.vecArgs.front() << ": " << run.strOut;
    }
    // "help CMD" is "CMD --help", word for word.
    EXPECT_EQ(Ctl({"help", "is-installed"}).strOut, Ctl({"is-installed", "--help"}).strOut);

    // The server answers --help and --version without touching the bus: an
    // address that leads nowhere changes nothing.
    ScopedEnv noBus("KETTRIN_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    std::string strOut;
    EXPECT_EQ(svctest::RunProgram({svctest::kKettrin, "--version"}, &strOut), 0);
    EXPECT_EQ(strOut, "Kettrin 1.0.0.73\n");
    EXPECT_EQ(svctest::RunProgram({svctest::kKettrin, "--help"}, &strOut), 0);
    EXPECT_TRUE(Contains(strOut, "/RegServer")) << strOut;
}

TEST_F(CliTest, UnknownCommandNamesTheClosestOne) {
    struct Case {
        std::string strWord;
        std::string strSuggestion;  // empty: none
    };
    const std::vector<Case> vecCases = {
        {"stauts", "status"},       {"is-instaled", "is-installed"}, {"confg", "config"},
        {"manifests", "manifest"}, {"xyzzy-plugh", ""},
    };
    for (const Case& c : vecCases) {
        const msRun run = Ctl({c.strWord});
        EXPECT_EQ(run.nExit, 2) << c.strWord;
        EXPECT_TRUE(run.strOut.empty()) << c.strWord;
        EXPECT_TRUE(Contains(run.strErr, "unknown command '" + c.strWord + "'")) << run.strErr;
        if (c.strSuggestion.empty()) {
            EXPECT_FALSE(Contains(run.strErr, "did you mean")) << run.strErr;
        } else {
            EXPECT_TRUE(Contains(run.strErr, "did you mean '" + c.strSuggestion + "'?")) << run.strErr;
        }
        // The whole command list is not dumped on a typo.
        EXPECT_FALSE(Contains(run.strErr, "update-manifests")) << run.strErr;
    }
}

TEST_F(CliTest, ConfigSettingsByName) {
    // Options stand before or after the command alike.
    ASSERT_EQ(Ctl({"config", "set", "event-server", "127.0.0.1:8080"}).nExit, 0);
    const msRun before = Ctl({"--json", "config", "get", "event-server"});
    const msRun after = Ctl({"config", "get", "event-server", "--json"});
    EXPECT_EQ(before.nExit, 0);
    EXPECT_EQ(before.strOut, after.strOut);
    EXPECT_TRUE(IsJson(before.strOut)) << before.strOut;
    EXPECT_TRUE(Contains(before.strOut, "\"value\":\"127.0.0.1:8080\"")) << before.strOut;
    EXPECT_TRUE(Contains(before.strOut, "\"set\":true")) << before.strOut;

    // The setting is the registry value the service reads.
    std::string strOut;
    EXPECT_EQ(svctest::RunProgram({svctest::kCtl, "reg", "query", "HKLM\\software\\Tavrolin, Inc.\\componentMgr",
                                   "EventServer"},
                                  &strOut),
              0);
    EXPECT_EQ(strOut, "127.0.0.1:8080\n");

    struct Case {
        std::vector<std::string> vecArgs;
        int nExit;
        std::string strOut;  // expected standard output, exactly
        std::string strErr;  // part of standard error
    };
    const std::vector<Case> vecCases = {
        {{"config", "get", "connection-check-algorithm"}, 0, "2\n", ""},
        {{"config", "set", "connection-check-algorithm", "4"}, 0, "", ""},
        {{"config", "get", "connection-check-algorithm"}, 0, "4\n", ""},
        {{"config", "unset", "connection-check-algorithm"}, 0, "", ""},
        {{"config", "unset", "connection-check-algorithm"}, 0, "", ""},
        {{"config", "get", "connection-check-algorithm"}, 0, "2\n", ""},
        {{"config", "set", "send-events", "2"}, 2, "", "send-events needs 0 or 1"},
        {{"config", "set", "event-server", "http://host/x"}, 2, "", "needs host[:port]"},
        {{"config", "set", "app-path", "relative"}, 2, "", "absolute path"},
        {{"config", "set", "manifest-dir-url", "ftp://x"}, 2, "", "http://"},
        {{"config", "get", "require-strong-signature"}, 0, "0\n", ""},
        {{"config", "set", "require-strong-signature", "1"}, 0, "", ""},
        {{"config", "get", "require-strong-signature"}, 0, "1\n", ""},
        {{"config", "set", "require-strong-signature", "yes"}, 2, "", "needs 0 or 1"},
        {{"config", "get", "trusted-keys-path"}, 0, "/etc/tavrolin/trusted-keys\n", ""},
        {{"config", "set", "trusted-keys-path", "keys"}, 2, "", "absolute path"},
        {{"config", "get", "no-such-setting"}, 1, "", "unknown setting 'no-such-setting'"},
        {{"config", "frobnicate"}, 2, "", "unknown sub-command"},
        {{"-q", "config", "get", "send-events"}, 0, "", ""},
    };
    for (const Case& c : vecCases) {
        const msRun run = Ctl(c.vecArgs);
        const std::string strWhat = c.vecArgs[1] + " " + (c.vecArgs.size() > 2 ? c.vecArgs[2] : "");
        EXPECT_EQ(run.nExit, c.nExit) << strWhat << ": " << run.strErr;
        EXPECT_EQ(run.strOut, c.strOut) << strWhat;
        EXPECT_TRUE(Contains(run.strErr, c.strErr)) << strWhat << ": " << run.strErr;
    }

    const msRun list = Ctl({"config", "list", "--json"});
    EXPECT_EQ(list.nExit, 0);
    EXPECT_TRUE(IsJson(list.strOut)) << list.strOut;
    EXPECT_TRUE(Contains(list.strOut, "\"name\":\"connection-check-server\"")) << list.strOut;
    EXPECT_TRUE(Contains(Ctl({"config", "list"}).strOut, "send-events = 1  (default)"));
}

TEST_F(CliTest, MessagesInWords) {
    struct Case {
        std::vector<std::string> vecArgs;
        int nExit;
        std::string strErr;       // the user's words
        std::string strInternal;  // what only --verbose adds; empty: nothing to check
    };
    const std::vector<Case> vecCases = {
        {{"reg", "query", "HKLM\\Software\\Nope"}, 1, "no such key HKLM\\Software\\Nope", "Handle() exception"},
        {{"reg", "query", "HKLM\\Software", "Nope"}, 1, "no value 'Nope' under HKLM\\Software", ""},
        {{"net", "get", "not a url"}, 1, "invalid URL 'not a url'", "ParseUrlWorker failed."},
        {{"--address", "unix:path=" + m_machine.Folder() + "/none", "status"}, 3,
         "cannot reach the bus at unix:path=" + m_machine.Folder() + "/none", ""},
        {{"status", "--address", "no-such-transport:"}, 3, "invalid bus address no-such-transport:", ""},
        {{"--session", "--system", "status"}, 2, "conflicts with an earlier bus choice", ""},
    };
    // The registry must exist for the "no value" case.
    ASSERT_EQ(Ctl({"reg", "set", "HKLM\\Software", "Other", "sz", "x"}).nExit, 0);
    for (const Case& c : vecCases) {
        const msRun run = Ctl(c.vecArgs);
        EXPECT_EQ(run.nExit, c.nExit) << c.strErr << ": " << run.strErr;
        EXPECT_TRUE(run.strOut.empty()) << run.strOut;
        EXPECT_TRUE(Contains(run.strErr, c.strErr)) << run.strErr;
        if (c.strInternal.empty()) continue;
        EXPECT_FALSE(Contains(run.strErr, c.strInternal)) << run.strErr;
        std::vector<std::string> vecVerbose = c.vecArgs;
        vecVerbose.push_back("--verbose");
        EXPECT_TRUE(Contains(Ctl(vecVerbose).strErr, c.strInternal));
    }
}

TEST_F(CliTest, KeygenPrintsJson) {
    const msRun run = Ctl({"manifest", "keygen", "--type", "ed25519", m_machine.Folder() + "/k.pem", "--json"});
    EXPECT_EQ(run.nExit, 0) << run.strErr;
    EXPECT_TRUE(IsJson(run.strOut)) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "\"type\":\"ed25519\"")) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "BEGIN PUBLIC KEY")) << run.strOut;
    EXPECT_TRUE(run.strErr.empty()) << run.strErr;
}

TEST_F(CliTest, NetCheckSaysWhatItChecked) {
    const msRun run = Ctl({"net", "check"});
    EXPECT_EQ(run.nExit, 1);
    EXPECT_TRUE(Contains(run.strOut, "checked: an HTTP probe of the connection-check server")) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "not configured: connection-check-server")) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "offline")) << run.strOut;

    ASSERT_EQ(Ctl({"config", "set", "connection-check-algorithm", "0"}).nExit, 0);
    const msRun json = Ctl({"net", "check", "--json"});
    EXPECT_EQ(json.nExit, 0);
    EXPECT_TRUE(IsJson(json.strOut)) << json.strOut;
    EXPECT_TRUE(Contains(json.strOut, "\"online\":true")) << json.strOut;
    EXPECT_TRUE(Contains(json.strOut, "\"algorithm\":0")) << json.strOut;
    EXPECT_TRUE(Contains(json.strOut, "\"missing_setting\":null")) << json.strOut;
}

// Against the real service on a private bus: yes/no answers by exit status,
// JSON from a running service, and a service that does not answer.
TEST_F(CliTest, ServiceCommandsAnswerWithTheirStatus) {
    {
        // No service can be started on this bus: it did not answer.
        testsupport::PrivateBus bus;
        const msRun run = Ctl({"--address", bus.Address(), "is-installed", "A", "M", "C"});
        EXPECT_EQ(run.nExit, 3);
        EXPECT_TRUE(Contains(run.strErr, "the component manager did not answer")) << run.strErr;
        EXPECT_TRUE(Contains(run.strErr, "(0x80080005)")) << run.strErr;
    }
    ScopedEnv delay("KETTRIN_SHUTDOWN_DELAY_MS", "300");
    testsupport::PrivateBus bus;
    bus.AddService(cmifc::kBusName, svctest::kKettrin);
    ScopedEnv busEnv("KETTRIN_BUS_ADDRESS", bus.Address());

    // Without a manifest the status cannot be decided: "no" (1), in words.
    msRun run = Ctl({"is-installed", "A", "Jukebox", "Visualizer"});
    EXPECT_EQ(run.nExit, 1) << run.strErr;
    EXPECT_EQ(run.strOut, "hidden or not decidable (65536)\n");
    run = Ctl({"is-installed", "A", "Jukebox", "Visualizer", "--json"});
    EXPECT_EQ(run.nExit, 1);
    EXPECT_TRUE(IsJson(run.strOut)) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "\"installed\":false")) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "\"meaning\":\"hidden or not decidable\"")) << run.strOut;
    EXPECT_EQ(Ctl({"-q", "is-installed", "A", "Jukebox", "Visualizer"}).strOut, "");

    run = Ctl({"update-available", "Visualizer"});
    EXPECT_EQ(run.nExit, 1);
    EXPECT_EQ(run.strOut, "no update waiting\n");

    run = Ctl({"--json", "status"});
    EXPECT_EQ(run.nExit, 0);
    EXPECT_TRUE(IsJson(run.strOut)) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "\"running\":true")) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "\"window\":\"Tavrolin Component Manager\"")) << run.strOut;

    run = Ctl({"components", "Jukebox", "--json"});
    EXPECT_EQ(run.nExit, 1);  // the manifest is unknown: S_FALSE
    EXPECT_TRUE(IsJson(run.strOut)) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "\"components\":[]")) << run.strOut;
}

}  // namespace
