// The component manager's log: rotation at start, the line format, whole lines
// from many threads and processes, and a log that cannot be opened.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "registry/RegistryKey.h"
#include "support/RegistryTestSupport.h"
#include "base/mcCMLog.h"
#include "registry/mcCMUtils.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

const std::regex kLinePattern(R"(\d\d-\d\d-\d{4},\d\d:\d\d:\d\d : (.*))");

}  // namespace

class CMLogTest : public RegistryTestBase {
protected:
    void TearDown() override {
        mcCMLog::Instance().Close();
        RegistryTestBase::TearDown();
    }
    std::string LogPath() const { return m_strDir + "/ComponentMgr.log"; }
    std::string SavedPath() const { return m_strDir + "/ComponentMgr.sav"; }
};

TEST_F(CMLogTest, LineFormat) {
    std::tm tm {};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 11;
    tm.tm_mday = 8;
    tm.tm_hour = 1;
    tm.tm_min = 57;
    tm.tm_sec = 42;
    EXPECT_EQ(mcCMLog::FormatLine(tm, "moComponentMgr::FinalReleaseImpl Enter"),
              "12-08-2026,01:57:42 : moComponentMgr::FinalReleaseImpl Enter\n");
    tm.tm_hour = 23;
    EXPECT_EQ(mcCMLog::FormatLine(tm, ""), "12-08-2026,23:57:42 : \n");
    // A message cannot forge a second line: control characters are escaped,
    // everything else (UTF-8, backslashes) is kept.
    const std::pair<std::string, std::string> escapes[] = {
        {"name\n12-08-2026,23:57:42 : forged", "name\\n12-08-2026,23:57:42 : forged"},
        {"a\rb\tc", "a\\rb\\tc"},
        {std::string("x\0y\x1b[2J\x7f", 8), "x\\x00y\\x1b[2J\\x7f"},
        {"C:\\path \xC3\xA9", "C:\\path \xC3\xA9"},
    };
    for (const auto& [strMessage, strWritten] : escapes) {
        EXPECT_EQ(mcCMLog::FormatLine(tm, strMessage), "12-08-2026,23:57:42 : " + strWritten + "\n");
    }

    ASSERT_TRUE(mcCMLog::Instance().Open(m_strDir));
    std::time_t before = std::time(nullptr);
    EXPECT_EQ(mcCMLog::Instance().Log({"first \xC3\xA9"}), 0);
    mfCMLog("second");
    std::string text = ReadFile(LogPath());
    auto lines = Lines(text);
    ASSERT_EQ(lines.size(), 2u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, kLinePattern)) << lines[0];
    EXPECT_EQ(match[1], "first \xC3\xA9");
    EXPECT_EQ(text.find('\r'), std::string::npos);
    // The stamp is the local time of the call.
    std::tm local {};
    localtime_r(&before, &local);
    char day[16];
    std::strftime(day, sizeof day, "%m-%d-%Y", &local);
    EXPECT_EQ(lines[1].substr(0, 10), day);
}

// At the threshold the log is kept on opening; the line that takes it past
// the threshold is the last of that log, which is then moved over the older
// .sav while the process runs on, and the next line starts a fresh log.
TEST_F(CMLogTest, RotationHappensOnlyAboveTheThreshold) {
    const std::string exact(mcCMLog::kRotationThreshold, 'a');
    {
        std::ofstream(LogPath(), std::ios::binary) << exact;
        std::ofstream(SavedPath(), std::ios::binary) << "older generation";
    }
    ASSERT_TRUE(mcCMLog::Instance().Open(m_strDir));
    EXPECT_EQ(ReadFile(SavedPath()), "older generation");
    EXPECT_EQ(ReadFile(LogPath()), exact);
    mfCMLog("kept");
    const std::string saved = ReadFile(SavedPath());
    EXPECT_EQ(saved.substr(0, exact.size()), exact);
    EXPECT_NE(saved.find(" : kept\n", exact.size()), std::string::npos);
    EXPECT_EQ(std::filesystem::file_size(LogPath()), 0u);
    mfCMLog("fresh");
    auto lines = Lines(ReadFile(LogPath()));
    ASSERT_EQ(lines.size(), 1u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, kLinePattern));
    EXPECT_EQ(match[1], "fresh");
}

TEST_F(CMLogTest, OneByteOverTheThresholdRotates) {
    const std::string over(mcCMLog::kRotationThreshold + 1, 'b');
    {
        std::ofstream(LogPath(), std::ios::binary) << over;
    }
    ASSERT_TRUE(mcCMLog::Instance().Open(m_strDir));
    EXPECT_EQ(std::filesystem::file_size(SavedPath()), mcCMLog::kRotationThreshold + 1);
    EXPECT_EQ(std::filesystem::file_size(LogPath()), 0u);
}

TEST_F(CMLogTest, ThreadsAndProcessesWriteWholeLines) {
    ASSERT_TRUE(mcCMLog::Instance().Open(m_strDir));
    // Seven writers' lines stay below the rotation threshold (about 190 KB),
    // so that every line is still in the one file at the end.
    constexpr int kThreads = 6;
    constexpr int kLinesEach = 200;
    const std::string filler(100, 'x');

    // Another process appends through its own open of the same file. It opens
    // before anyone writes: an open rotates a log that has grown past the
    // threshold, which would move the lines written so far aside.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        bool opened = mcCMLog::Instance().Open(m_strDir);
        char byte = opened ? 'y' : 'n';
        if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
        for (int i = 0; i < kLinesEach; ++i) mfCMLog("proc " + filler + " end");
        ::_exit(opened ? 0 : 1);
    }
    ::close(ready[1]);
    char byte = 0;
    EXPECT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    EXPECT_EQ(byte, 'y');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLinesEach; ++i) {
                mfCMLog("thread" + std::to_string(t) + " " + filler + " end");
            }
        });
    }
    for (auto& thread : threads) thread.join();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    auto lines = Lines(ReadFile(LogPath()));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>((kThreads + 1) * kLinesEach));
    std::map<std::string, int> perWriter;
    for (const auto& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, kLinePattern)) << line.substr(0, 80);
        std::string message = match[1];
        std::string writer = message.substr(0, message.find(' '));
        EXPECT_EQ(message, writer + " " + filler + " end");
        ++perWriter[writer];
    }
    EXPECT_EQ(perWriter.size(), static_cast<std::size_t>(kThreads + 1));
    for (const auto& [writer, count] : perWriter) EXPECT_EQ(count, kLinesEach) << writer;
}

TEST_F(CMLogTest, MissingFolderKeepsLoggingOff) {
    EXPECT_FALSE(mcCMLog::Instance().Open(m_strDir + "/no/such/folder"));
    EXPECT_FALSE(mcCMLog::Instance().IsOpen());
    EXPECT_EQ(mcCMLog::Instance().Log({"dropped"}), 0);
    EXPECT_FALSE(std::filesystem::exists(m_strDir + "/no"));

    // A box line still reaches standard error.
    testing::internal::CaptureStderr();
    mcCMLog::Instance().Log({"shown to the user", true, 0x30});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Tavrolin: shown to the user\n");
}

// Runs in a fresh copy of this program (started by the test below): its log
// has not been opened yet, so the first line opens it in the folder that the
// registry names.
TEST(CMLogChild, LogOnFirstUse) {
    if (std::getenv("KETTRIN_CMLOG_CHILD") == nullptr) GTEST_SKIP() << "helper of the next test";
    mfCMLog("on first use");
    EXPECT_TRUE(mcCMLog::Instance().IsOpen());
}

TEST_F(CMLogTest, FirstUseOpensInTheApplicationFolder) {
    const std::string app = m_machine.AppFolder();
    std::filesystem::create_directories(app);
    m_machine.RegisterAppPath();
    pid_t child = ::fork();
    if (child == 0) {
        // The child finds the registry through the machine's KETTRIN_REGISTRY.
        ::setenv("KETTRIN_CMLOG_CHILD", "1", 1);
        int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, STDOUT_FILENO);
        ::execl("/proc/self/exe", "test", "--gtest_filter=CMLogChild.LogOnFirstUse",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    auto lines = Lines(ReadFile(app + "/ComponentMgr.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" : on first use"), std::string::npos);
}
