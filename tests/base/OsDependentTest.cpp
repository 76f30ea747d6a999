#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/FsTestUtil.h"
#include "support/ScratchMachine.h"
#include "support/TraceListener.h"
#include "base/OsDependent.h"
#include "base/Win32Error.h"

namespace {

namespace fs = std::filesystem;
using fstest::ReadFile;
using testsupport::ScratchMachine;
using fstest::WriteFile;
using Strings = std::vector<std::string>;

// ---------------------------------------------------------------------------
// Command-line splitting

TEST(SplitCommandLine, WindowsRuntimeRules) {
    struct Case {
        const char* line;
        Strings words;
    };
    const Case cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"prog", {"prog"}},
        {"  prog  a   b  ", {"prog", "a", "b"}},
        {"\"/opt/my app/TI\" /client Player", {"/opt/my app/TI", "/client", "Player"}},
        // The program name keeps its backslashes; quotes in it only group.
        {"C:\\a\\\"b c\"\\d x", {"C:\\a\\b c\\d", "x"}},
        {"p \"a b\" c", {"p", "a b", "c"}},
        {"p a\"b c\"d", {"p", "ab cd"}},
        {"p \"\"", {"p", ""}},
        {"p \"\" \"\"", {"p", "", ""}},
        {"p a\\\\b", {"p", "a\\\\b"}},               // backslashes not before a quote
        {"p a\\\"b", {"p", "a\"b"}},                  // 1 backslash + quote: literal quote
        {"p a\\\\\"b c\"", {"p", "a\\b c"}},          // 2 backslashes + quote: 1 backslash, toggle
        {"p a\\\\\\\"b", {"p", "a\\\"b"}},            // 3 backslashes + quote: 1 backslash, literal
        {"p \"a\\\\\"", {"p", "a\\"}},                // quoted path ending in a backslash
        {"p \"C:\\dir\\\\\" next", {"p", "C:\\dir\\", "next"}},
        {"p \"a\"\"b\"", {"p", "a\"b"}},              // "" inside quotes: literal quote
        {"p \"a\"\"\"b", {"p", "a\"b"}},
        {"p \"unterminated arg", {"p", "unterminated arg"}},
        {"p a\tb", {"p", "a", "b"}},
        {"p \"a\tb\"", {"p", "a\tb"}},
        {"\"unterminated prog", {"unterminated prog"}},
    };
    for (const Case& c : cases) EXPECT_EQ(mfSplitCommandLine(c.line), c.words) << c.line;
}

// ---------------------------------------------------------------------------
// Real child processes

// Runs application with arguments, standard output into a file; returns the
// output and the exit code.
struct RunResult {
    bool started = false;
    std::uint32_t exitCode = 0xFFFFFFFF;
    std::string output;
};

RunResult RunChild(const ScratchMachine& tmp, const std::string& application, const std::string& arguments,
              mcProcessOptions options = {}) {
    RunResult result;
    const std::string outPath = tmp / "stdout.txt";
    const int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    options.stdoutFd = fd;
    mcProcessInfo info;
    result.started = mfCreateProcess(application, arguments, options, &info);
    close(fd);
    if (!result.started) return result;
    EXPECT_GT(info.pid, 0);
    EXPECT_TRUE(mfWaitForProcess(info.pid, &result.exitCode));
    result.output = ReadFile(outPath);
    return result;
}

TEST(CreateProcess, ChildSeesTheWordsOfTheCommandLine) {
    ScratchMachine tmp;
    // A program whose path has a blank: the quoting of the application matters.
    const std::string dir = tmp / "dir with blank";
    fs::create_directories(dir);
    const std::string printer = dir + "/print args";
    fs::copy_file("/usr/bin/printf", printer);
    const RunResult r =
        RunChild(tmp, printer, R"("<%s>\n" plain "two words" a\"b "c:\dir\\" x""y "" "say ""hi""")");
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(r.output, "<plain>\n<two words>\n<a\"b>\n<c:\\dir\\>\n<xy>\n<>\n<say \"hi\">\n");
}

TEST(CreateProcess, BareNamesAreSearchedInPath) {
    ScratchMachine tmp;
    const RunResult r = RunChild(tmp, "printf", "%s ok");
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.output, "ok");
}

TEST(CreateProcess, WorkingFolderAndEnvironment) {
    ScratchMachine tmp;
    mcProcessOptions options;
    options.currentDirectory = tmp.Path();
    const std::vector<std::string> env = {"KETTRIN_TEST_VALUE=from parent", "PATH=/usr/bin:/bin"};
    options.environment = &env;
    const RunResult r = RunChild(tmp, "/bin/sh", "-c \"pwd; echo $KETTRIN_TEST_VALUE; echo ${HOME:-nohome}\"", options);
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.output, fs::canonical(tmp.Path()).string() + "\nfrom parent\nnohome\n");
}

TEST(CreateProcess, ExitCodesAndSignals) {
    ScratchMachine tmp;
    EXPECT_EQ(RunChild(tmp, "/bin/sh", "-c \"exit 7\"").exitCode, 7u);
    EXPECT_EQ(RunChild(tmp, "/bin/sh", "-c \"kill -KILL $$\"").exitCode, 128u + SIGKILL);
    // Signals we ignore are not ignored by the child.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    sigaction(SIGTERM, &ignore, &previous);
    const RunResult r = RunChild(tmp, "/bin/sh", "-c \"kill -TERM $$; exit 0\"");
    sigaction(SIGTERM, &previous, nullptr);
    EXPECT_EQ(r.exitCode, 128u + SIGTERM);
}

TEST(CreateProcess, DescriptorsAreInheritedOnlyWhenAsked) {
    ScratchMachine tmp;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);  // not close-on-exec
    const std::string probe = "-c \"test -e /proc/self/fd/" + std::to_string(fds[1]) + " && echo open || echo closed\"";
    EXPECT_EQ(RunChild(tmp, "/bin/sh", probe).output, "closed\n");
    mcProcessOptions inherit;
    inherit.inheritHandles = true;
    EXPECT_EQ(RunChild(tmp, "/bin/sh", probe, inherit).output, "open\n");
    close(fds[0]);
    close(fds[1]);
}

TEST(CreateProcess, WaitTimesOut) {
    mcProcessInfo info;
    ASSERT_TRUE(mfCreateProcess("/bin/sleep", "5", {}, &info));
    std::uint32_t code = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(mfWaitForProcess(info.pid, &code, 50));
    EXPECT_EQ(mfGetLastError(), WAIT_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    kill(info.pid, SIGKILL);
    EXPECT_TRUE(mfWaitForProcess(info.pid, &code, 5000));
    EXPECT_EQ(code, 128u + SIGKILL);
    EXPECT_FALSE(mfWaitForProcess(info.pid, &code));  // already reaped
}

TEST(CreateProcess, FailuresReportTheErrorAndATraceLine) {
    ScratchMachine tmp;
    // A trace viewer of our own on the machine's socket.
    const std::string socketPath = tmp.TraceSocketPath();
    const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    timeval timeout{2, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));

    const std::string missing = tmp / "no such program";
    EXPECT_FALSE(mfCreateProcess(missing.c_str(), "a b", {}, nullptr));
    EXPECT_EQ(mfGetLastError(), ERROR_FILE_NOT_FOUND);
    const std::string expected = "mfCreateProcess with application name " + missing +
                                 " and command line a b Failed with GetLastError() 00000002";
    bool bSeen = false;
    char buffer[8192];
    for (int i = 0; i < 10 && !bSeen; ++i) {
        const ssize_t n = recv(sock, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        bSeen = std::string(buffer, static_cast<std::size_t>(n)).find(expected) != std::string::npos;
    }
    EXPECT_TRUE(bSeen) << expected;

    // A missing working folder, a null application.
    mcProcessOptions options;
    options.currentDirectory = tmp / "missing-folder";
    EXPECT_FALSE(mfCreateProcess(std::string("/bin/true"), nullptr, options, nullptr));
    EXPECT_EQ(mfGetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(mfCreateProcess(static_cast<const char*>(nullptr), "x", {}, nullptr));
    EXPECT_EQ(mfGetLastError(), ERROR_INVALID_NAME);
    close(sock);
}

TEST(CreateProcess, NullApplicationReportsItsAssertion) {
    ScratchMachine machine;
    TraceListener listener(machine.TraceSocketPath());
    ASSERT_TRUE(listener.IsBound());
    EXPECT_FALSE(mfCreateProcess(static_cast<const char*>(nullptr), static_cast<const char*>(nullptr), {}, nullptr));
    EXPECT_EQ(mfGetLastError(), ERROR_INVALID_NAME);
    std::optional<mcDiagTrace::Datagram> line;
    do {
        line = listener.ReceiveFrom("CORE");
    } while (line && line->command != mcDiagTrace::kCmdLine);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->text,
              "Assertion failed,\"! NOLOC(\"pstrProcessName (1st Arg) is NULL in mfCreateProcess\")\","
              "mfCreateProcess(),OsDependent.cpp(435)");
}

// ---------------------------------------------------------------------------
// Operating system identity

TEST(OsIdentity, DescriptionFromKernelAndOsRelease) {
    ScratchMachine tmp;
    const std::string path = tmp / "os-release";
    WriteFile(path,
              "NAME=\"Debian GNU/Linux\"\n# comment\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n");
    const mcOSVersionInfo info = mfComputeOSVersionInfo("6.1.0-18-amd64", path);
    EXPECT_EQ(info.type, kOsLinux);
    EXPECT_EQ(info.shortName, "Linux");
    EXPECT_EQ(info.major, 6u);
    EXPECT_EQ(info.minor, 1u);
    EXPECT_EQ(info.build, 0u);
    EXPECT_EQ(info.serviceText, "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(info.description, "Linux 6.1.0 Debian GNU/Linux 12 (bookworm) -> Linux");
}

TEST(OsIdentity, OsReleaseQuotingAndFallbacks) {
    ScratchMachine tmp;
    const std::string path = tmp / "os-release";
    struct Case {
        const char* content;
        const char* pretty;
    };
    const Case cases[] = {
        {"PRETTY_NAME=Plain\n", "Plain"},
        {"PRETTY_NAME='Single \"quoted\"'\n", "Single \"quoted\""},
        {"PRETTY_NAME=\"Esc \\\"q\\\" \\$x \\\\ \\n\"\n", "Esc \"q\" $x \\ \\n"},
        {"  PRETTY_NAME=\"Indented\"  \r\n", "Indented"},
        {"PRETTY_NAME=\"First\"\nPRETTY_NAME=\"Last\"\n", "Last"},
        {"NAME=x\n", "Linux"},
        {"PRETTY_NAME=\"Tab\there\x1b[31m\"\n", "Tabhere[31m"},  // control characters dropped
        {"PRETTY_NAME=\"Bad \xFF byte\"\n", "Bad \xEF\xBF\xBD byte"},
    };
    for (const Case& c : cases) {
        WriteFile(path, c.content);
        EXPECT_EQ(mfComputeOSVersionInfo("5.15.2", path).serviceText, c.pretty) << c.content;
    }
    const mcOSVersionInfo missing = mfComputeOSVersionInfo("5.15", tmp / "none");
    EXPECT_EQ(missing.description, "Linux 5.15.0 Linux -> Linux");
    EXPECT_EQ(mfComputeOSVersionInfo("garbage", tmp / "none").description, "Linux 0.0.0 Linux -> Linux");
    EXPECT_EQ(mfComputeOSVersionInfo("99999999999.2.3", tmp / "none").major, 0xFFFFFFFFu);
}

TEST(OsIdentity, ThisMachine) {
    const mcOSVersionInfo& info = mfGetOSVersionInfo();
    EXPECT_EQ(&info, &mfGetOSVersionInfo());  // computed once
    EXPECT_EQ(mfGetOSShortName(), "Linux");
    EXPECT_EQ(mfGetOSDescription().rfind("Linux ", 0), 0u);
    EXPECT_EQ(mfGetOSDescription().substr(mfGetOSDescription().size() - 9), " -> Linux");
    EXPECT_GT(info.major, 2u);
    EXPECT_TRUE(mfIsOSAtLeast(kOsWinXP, 2));
    EXPECT_TRUE(mfIsOSAtLeast(kOsLinux, 0));
    EXPECT_FALSE(mfIsOSAtLeast(kOsLinux, 1));
    EXPECT_FALSE(mfIsOSAtLeast(kOsLinux + 1, 0));
    mfTrimWorkingSet();
}

}  // namespace
