#pragma once
// A program the test starts with its standard output and error captured:
// ReadUntil waits (bounded) until both texts hold what a test looks for,
// Wait collects the rest and reaps the child (killing it after the limit,
// which fails the test). The destructor kills a child still running.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

namespace testsupport {

// A child program with its standard output and error read through pipes.
class ChildProgram {
public:
    explicit ChildProgram(const std::vector<std::string>& vecArgs) {
        int fdOut[2];
        int fdErr[2];
        EXPECT_EQ(::pipe2(fdOut, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(fdErr, O_CLOEXEC), 0);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(fdOut[1], 1);
            ::dup2(fdErr[1], 2);
            std::vector<char*> argv;
            for (const std::string& s : vecArgs) argv.push_back(const_cast<char*>(s.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fdOut[1]);
        ::close(fdErr[1]);
        m_fdOut = fdOut[0];
        m_fdErr = fdErr[0];
    }
    ~ChildProgram() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            int nStatus = 0;
            ::waitpid(m_pid, &nStatus, 0);
        }
        ::close(m_fdOut);
        ::close(m_fdErr);
    }
    // Reads until both texts hold what is asked for (or the time is up).
    bool ReadUntil(const std::string& strOut, const std::string& strErr, std::chrono::milliseconds limit = std::chrono::seconds{20}) {
        const auto tpEnd = std::chrono::steady_clock::now() + limit;
        while (m_strOut.find(strOut) == std::string::npos || m_strErr.find(strErr) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(tpEnd - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd fds[2] = {{m_fdOut, POLLIN, 0}, {m_fdErr, POLLIN, 0}};
            if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
            char sz[1024];
            for (int i = 0; i < 2; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
                const ssize_t n = ::read(fds[i].fd, sz, sizeof sz);
                if (n > 0) (i == 0 ? m_strOut : m_strErr).append(sz, static_cast<std::size_t>(n));
            }
        }
        return true;
    }
    // Reads what is left (until the child closes its ends), then reaps it.
    // Collects the rest of the output and the exit code; a child still running
    // after the limit is killed (and the test fails) instead of hanging.
    int Wait(std::chrono::milliseconds limit = std::chrono::seconds{30}) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        char sz[1024];
        bool bOpen[2] = {true, true};
        while (bOpen[0] || bOpen[1]) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                ADD_FAILURE() << "child still running after " << limit.count() << " ms";
                ::kill(m_pid, SIGKILL);
                break;
            }
            pollfd fds[2] = {{bOpen[0] ? m_fdOut : -1, POLLIN, 0}, {bOpen[1] ? m_fdErr : -1, POLLIN, 0}};
            if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].revents == 0) continue;
                const ssize_t n = ::read(i == 0 ? m_fdOut : m_fdErr, sz, sizeof sz);
                if (n > 0) {
                    (i == 0 ? m_strOut : m_strErr).append(sz, static_cast<std::size_t>(n));
                } else {
                    bOpen[i] = false;
                }
            }
        }
        int nStatus = 0;
        ::waitpid(m_pid, &nStatus, 0);
        m_pid = -1;
        return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
    }
    void Signal(int nSignal) const {
        if (m_pid > 0) ::kill(m_pid, nSignal);
    }
    pid_t Pid() const { return m_pid; }
    const std::string& Out() const { return m_strOut; }
    const std::string& Err() const { return m_strErr; }

private:
    pid_t m_pid = -1;
    int m_fdOut = -1;
    int m_fdErr = -1;
    std::string m_strOut;
    std::string m_strErr;
};

}  // namespace testsupport
