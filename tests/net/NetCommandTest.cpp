// kettrinctl net check / get, run as a program against local servers and a
// private registry.
#include <gtest/gtest.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "NetTestEnv.h"
#include "support/LocalHttpServer.h"

extern char** environ;

using kettrin::test::LocalHttpServer;
using kettrin::test::NetTestEnv;

namespace {

const std::string kCtl = std::string(KETTRIN_BINARY_DIR) + "/src/kettrinctl";

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

// Runs kettrinctl with args; standard output and error go to files in dir.
Outcome Ctl(const std::string& dir, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kCtl};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> ptrs;
    for (auto& a : argv) ptrs.push_back(a.data());
    ptrs.push_back(nullptr);
    const std::string outPath = dir + "/stdout", errPath = dir + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    Outcome o;
    if (posix_spawn(&pid, kCtl.c_str(), &actions, nullptr, ptrs.data(), environ) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        o.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    auto slurp = [](const std::string& p) {
        std::ifstream in(p);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    };
    o.out = slurp(outPath);
    o.err = slurp(errPath);
    return o;
}

class NetCommandTest : public ::testing::Test {
protected:
    // Nothing listens on the machine's trace socket: trace lines of the
    // program are dropped.
    NetTestEnv m_env;
};

}  // namespace

TEST_F(NetCommandTest, CheckPrintsOnlineOrOffline) {
    LocalHttpServer server;
    server.Get("/qorb/check.cgi", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("OK", "text/plain");
    });
    ASSERT_TRUE(server.Start());
    m_env.SetCmString("ConnectionCheckServer", server.HostPort());
    // Algorithm 0 needs no network at all.
    m_env.SetSystemDWord("Tavrolin\\Tavrolin Jukebox\\4.0\\NetServices", "ConnectionCheckAlgorithm", 0);
    Outcome o = Ctl(m_env.Dir(), {"net", "check"});
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(o.out, "checked: nothing: always online (connection-check-algorithm 0)\nonline\n");

    // The HTTP check switched off by its setting: online without traffic.
    m_env.SetSystemDWord("Tavrolin\\Tavrolin Jukebox\\4.0\\NetServices", "ConnectionCheckAlgorithm", 2);
    m_env.SetSystemDWord("Tavrolin\\Tavrolin Jukebox\\4.0\\NetServices", "ConnectionCheckPingEnabled", 0);
    o = Ctl(m_env.Dir(), {"net", "check", "--trace"});
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_NE(o.out.find("internetconnection: ConnectionCheck() -- entering\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("internetconnection: CanConnectToServerUsingHTTP() -- registry value "
                         "\\SYSTEM\\Tavrolin\\Tavrolin Jukebox\\4.0\\NetServices\\ConnectionCheckPingEnabled=0\n"),
              std::string::npos)
        << o.out;
    EXPECT_EQ(o.out.substr(o.out.size() - 7), "online\n");
    EXPECT_EQ(server.RequestCount(), 0u);
}

TEST_F(NetCommandTest, CheckOfflineWhenTheServerSaysNo) {
    LocalHttpServer server;  // 404 for everything
    ASSERT_TRUE(server.Start());
    m_env.SetCmString("ConnectionCheckServer", server.HostPort());
    // The HTTP check is only reached when this machine counts as connected.
    m_env.SetSystemDWord("Tavrolin\\Tavrolin Jukebox\\4.0\\NetServices", "ConnectionCheckAlgorithm", 2);
    Outcome o = Ctl(m_env.Dir(), {"net", "check", "--trace"});
    if (o.out.find("ConnectionStateConnected()=1") == std::string::npos)
        GTEST_SKIP() << "this machine has no connection state; the HTTP check is not reached";
    EXPECT_EQ(o.code, 1);
    EXPECT_NE(o.out.find("PerformHttpGetString() returned 0  HTTP Status: 404"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.substr(o.out.size() - 8), "offline\n");
    EXPECT_EQ(server.RequestCount(), 1u);
}

TEST_F(NetCommandTest, GetWritesBodyOrPrintsTheResult) {
    const std::string body(100000, 'k');
    LocalHttpServer server;
    server.Get("/file", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(body, "application/octet-stream");
    });
    ASSERT_TRUE(server.Start());

    Outcome o = Ctl(m_env.Dir(), {"net", "get", server.Url("/file")});
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(o.out, body);

    const std::string target = m_env.Dir() + "/out.bin";
    o = Ctl(m_env.Dir(), {"net", "get", server.Url("/file"), "-o", target});
    EXPECT_EQ(o.code, 0) << o.err;
    std::ifstream in(target);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_EQ(ss.str(), body);

    // A failure leaves an existing file alone and says why; --verbose adds
    // the result record.
    o = Ctl(m_env.Dir(), {"net", "get", server.Url("/missing"), "-o", target, "--verbose"});
    EXPECT_EQ(o.code, 1);
    EXPECT_NE(o.err.find("the server answered HTTP status 404"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("error kind 1"), std::string::npos) << o.err;
    std::ifstream again(target);
    std::stringstream ss2;
    ss2 << again.rdbuf();
    EXPECT_EQ(ss2.str(), body);

    o = Ctl(m_env.Dir(),
            {"net", "get", "http://127.0.0.1:" + std::to_string(LocalHttpServer::UnusedPort()) + "/", "--verbose"});
    EXPECT_EQ(o.code, 1);
    EXPECT_NE(o.err.find("the request failed: cannot connect to the server"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("[mcHttpTransaction.cpp:548] Win32 Error: 12029"), std::string::npos) << o.err;
}

TEST_F(NetCommandTest, UsageErrors) {
    EXPECT_EQ(Ctl(m_env.Dir(), {"net"}).code, 2);
    EXPECT_EQ(Ctl(m_env.Dir(), {"net", "fly"}).code, 2);
    EXPECT_EQ(Ctl(m_env.Dir(), {"net", "get"}).code, 2);
    EXPECT_EQ(Ctl(m_env.Dir(), {"net", "get", "http://x/", "-o"}).code, 2);
    EXPECT_EQ(Ctl(m_env.Dir(), {"net", "check", "--bogus"}).code, 2);
    Outcome help = Ctl(m_env.Dir(), {"net", "--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("usage: kettrinctl net check [--trace]"), std::string::npos);
}
