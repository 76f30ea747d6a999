// kettrinctl trace as a real process: binds the socket, prints lines, removes
// the socket file on SIGTERM/SIGINT.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "base/mcDiagTrace.h"
#include "support/ScratchMachine.h"

namespace {

const std::string kCtl = std::string(KETTRIN_BINARY_DIR) + "/src/kettrinctl";

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// One running "kettrinctl trace --socket PATH" with its standard output piped.
class TraceProcess {
public:
    explicit TraceProcess(const std::string& socketPath, bool events = false) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(devnull, STDERR_FILENO);
            if (events) {
                ::execl(kCtl.c_str(), "kettrinctl", "trace", "--socket", socketPath.c_str(),
                        "--events", static_cast<char*>(nullptr));
            } else {
                ::execl(kCtl.c_str(), "kettrinctl", "trace", "--socket", socketPath.c_str(),
                        static_cast<char*>(nullptr));
            }
            ::_exit(127);
        }
        ::close(out[1]);
        m_fdOut = out[0];
    }
    ~TraceProcess() {
        if (m_pid > 0) Stop(SIGKILL);
        if (m_fdOut >= 0) ::close(m_fdOut);
    }
    // Waits until the socket accepts datagrams (the viewer has bound it).
    bool WaitListening(const std::string& path) {
        for (int i = 0; i < 500; ++i) {
            int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
            int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            ::close(fd);
            if (rc == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // The next output line, or "" after a time-out.
    std::string ReadLine(int timeoutMs = 3000) {
        for (;;) {
            std::size_t nl = m_strBuffer.find('\n');
            if (nl != std::string::npos) {
                std::string line = m_strBuffer.substr(0, nl);
                m_strBuffer.erase(0, nl + 1);
                return line;
            }
            pollfd p{m_fdOut, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0) return "";
            char chunk[4096];
            ssize_t n = ::read(m_fdOut, chunk, sizeof chunk);
            if (n <= 0) return "";
            m_strBuffer.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // Sends sig and returns the exit status (-1 when it did not end normally).
    int Stop(int sig) {
        ::kill(m_pid, sig);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int Wait() {
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t m_pid = -1;
    int m_fdOut = -1;
    std::string m_strBuffer;
};

// The viewer binds the machine's trace socket, which KETTRIN_DIAG_SOCKET names.
class TraceCommandTest : public ::testing::Test {
protected:
    testsupport::ScratchMachine m_machine;
    std::string m_strPath = m_machine.TraceSocketPath();
};

}  // namespace

TEST_F(TraceCommandTest, PrintsSourceAndLineThenRemovesSocketOnSigterm) {
    TraceProcess viewer(m_strPath);
    ASSERT_TRUE(viewer.WaitListening(m_strPath));
    {
        mcDiagTrace http("HTTP");
        mcDiagTrace core("CORE");
        http.Send("GET /qorb/check.cgi");
        core.Send("line with\x1b[31m escape");
        EXPECT_EQ(viewer.ReadLine(), "HTTP: GET /qorb/check.cgi");
        EXPECT_EQ(viewer.ReadLine(), "CORE: line with?[31m escape");
    }
    EXPECT_EQ(viewer.Stop(SIGTERM), 0);
    EXPECT_FALSE(Exists(m_strPath));
}

TEST_F(TraceCommandTest, ReplacesStaleSocketAndStopsOnSigint) {
    // A socket file without a listener, as a killed viewer leaves it.
    {
        int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, m_strPath.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    TraceProcess viewer(m_strPath, /*events=*/true);
    ASSERT_TRUE(viewer.WaitListening(m_strPath));
    {
        mcDiagTrace source("internetconnection");
        source.Send("probe");
        EXPECT_EQ(viewer.ReadLine().rfind("internetconnection: [registered pid ", 0), 0u);
        EXPECT_EQ(viewer.ReadLine(), "internetconnection: probe");
    }
    EXPECT_EQ(viewer.ReadLine().rfind("internetconnection: [unregistered pid ", 0), 0u);
    EXPECT_EQ(viewer.Stop(SIGINT), 0);
    EXPECT_FALSE(Exists(m_strPath));
}

TEST_F(TraceCommandTest, SecondViewerIsRefusedAndHelpWorks) {
    TraceProcess first(m_strPath);
    ASSERT_TRUE(first.WaitListening(m_strPath));
    TraceProcess second(m_strPath);
    EXPECT_EQ(second.Wait(), 3);
    EXPECT_TRUE(Exists(m_strPath));  // the first one's socket stays
    EXPECT_EQ(first.Stop(SIGTERM), 0);

    std::string cmd = kCtl + " trace --help > /dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    cmd = kCtl + " trace --bogus 2> /dev/null";
    int rc = std::system(cmd.c_str());
    EXPECT_EQ(WEXITSTATUS(rc), 2);
}
