// Installer result texts passing through "InstallData.xml" and
// "UninstallData.xml".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "StoreTestUtil.h"

namespace {

using storetest::Compact;
using storetest::Exists;
using storetest::ReadFile;
using storetest::WriteFile;
using Strings = std::vector<std::string>;

std::string InstallText(const std::string& name, const std::string& version, const std::string& result,
                        const std::string& path = "/opt/codec", const std::string& exe = "/opt/codec/un",
                        const std::string& cmdline = "-q") {
    return "<InstallData name=\"" + name + "\" version=\"" + version + "\"><ManifestName>main</ManifestName>"
           "<Install result=\"" + result + "\"/><InstallPath>" + path + "</InstallPath><ErrorCode>7</ErrorCode>"
           "<Uninstall><Exe>" + exe + "</Exe><Cmdline>" + cmdline + "</Cmdline></Uninstall></InstallData>";
}

std::string UninstallText(const std::string& name, const std::string& version, const std::string& result) {
    return "<UninstallData name=\"" + name + "\" version=\"" + version + "\"><Uninstall result=\"" + result +
           "\"/><ErrorCode>3</ErrorCode></UninstallData>";
}

class ResultFilesTest : public storetest::StoreTest {
protected:
    void SetUp() override {
        storetest::StoreTest::SetUp();
        m_store = NewStore();
    }
    void TearDown() override {
        m_store.reset();
        storetest::StoreTest::TearDown();
    }
    std::string InstallData() const { return AppFile("InstallData.xml"); }
    std::string UninstallData() const { return AppFile("UninstallData.xml"); }
    std::string State(const std::string& component) {
        std::string state;
        return m_store->GetComponentCurrentState(component, state) ? state : "<none>";
    }

    std::unique_ptr<mcComponentConfig> m_store;
};

TEST_F(ResultFilesTest, SuccessfulInstallOfUnknownComponentRecordsEverything) {
    ASSERT_TRUE(m_store->SetComponentInstallData("qorb", InstallText("codec", "1.00.0002", "success")));
    EXPECT_FALSE(Exists(InstallData()));
    EXPECT_EQ(Compact(ConfigPath()),
              "<Config><Component name=\"codec\" version=\"1.00.0002\" autoupdate=\"true\">"
              "<ClientList><Client>qorb</Client></ClientList>"
              "<State value=\"installed\"><installed version=\"1.00.0002\"/></State>"
              "<InstallPath>/opt/codec</InstallPath>"
              "<Uninstall><Exe>/opt/codec/un</Exe><Cmdline>-q</Cmdline></Uninstall>"
              "<ManifestList><Manifest>main</Manifest></ManifestList></Component></Config>");
    std::string exe, cmdline;
    ASSERT_TRUE(m_store->GetComponentUninstall("codec", exe, cmdline));
    EXPECT_EQ(exe, "/opt/codec/un");
    EXPECT_EQ(cmdline, "-q");
}

TEST_F(ResultFilesTest, FailedInstallCreatesTheComponentOnly) {
    ASSERT_TRUE(m_store->SetComponentInstallData("qorb", InstallText("codec", "1", "fail")));
    EXPECT_FALSE(Exists(InstallData()));
    EXPECT_EQ(Compact(ConfigPath()), "<Config><Component name=\"codec\"/></Config>");
    // "success" is matched exactly.
    ASSERT_TRUE(m_store->SetComponentInstallData("qorb", InstallText("codec", "1", "Success")));
    EXPECT_EQ(Compact(ConfigPath()), "<Config><Component name=\"codec\"/></Config>");
}

// A second successful install replaces the install path and the uninstall
// command instead of running the old and new values together.
TEST_F(ResultFilesTest, RepeatedInstallReplacesPathAndCommand) {
    ASSERT_TRUE(m_store->SetComponentInstallData("", InstallText("codec", "1", "success", "/old", "/old/un", "-a")));
    ASSERT_TRUE(m_store->SetComponentInstallData("qorb", InstallText("codec", "2", "success", "/new", "/new/un", "-b")));
    std::string exe, cmdline;
    ASSERT_TRUE(m_store->GetComponentUninstall("codec", exe, cmdline));
    EXPECT_EQ(exe, "/new/un");
    EXPECT_EQ(cmdline, "-b");
    const std::string file = Compact(ConfigPath());
    EXPECT_NE(file.find("<InstallPath>/new</InstallPath>"), std::string::npos) << file;
    // The placeholder of the first install went when "qorb" came.
    Strings clients;
    ASSERT_TRUE(m_store->GetClientsOfComponent("codec", clients));
    EXPECT_EQ(clients, Strings{"qorb"});
    std::string version;
    ASSERT_TRUE(m_store->GetComponentVersion("codec", "installed", version));
    EXPECT_EQ(version, "2");
}

TEST_F(ResultFilesTest, SuccessfulUninstall) {
    ASSERT_TRUE(m_store->SetComponentInstallData("qorb", InstallText("codec", "1", "success")));
    ASSERT_TRUE(m_store->SetComponentClient("codec", "player"));
    ASSERT_TRUE(m_store->SetComponentUninstallData("qorb", UninstallText("codec", "1.5", "success")));
    EXPECT_FALSE(Exists(UninstallData()));
    EXPECT_EQ(State("codec"), "uninstalled");
    Strings clients;
    ASSERT_TRUE(m_store->GetClientsOfComponent("codec", clients));
    EXPECT_EQ(clients, Strings{"player"});
    Strings manifests;
    ASSERT_TRUE(m_store->GetManifestsOfComponent("codec", manifests));
    EXPECT_EQ(manifests, Strings{"main"});  // kept
    Strings states;
    ASSERT_TRUE(m_store->GetComponentStates("codec", states));
    EXPECT_EQ(states, (Strings{"installed", "uninstalled"}));
    std::string exe, cmdline;
    EXPECT_FALSE(m_store->GetComponentUninstall("codec", exe, cmdline));
}

TEST_F(ResultFilesTest, FailedUninstallStillDropsClientAndPaths) {
    ASSERT_TRUE(m_store->SetComponentInstallData("qorb", InstallText("codec", "1", "success")));
    ClearLog();
    ASSERT_TRUE(m_store->SetComponentUninstallData("qorb", UninstallText("codec", "1.7", "fail")));
    EXPECT_TRUE(Logged("mcComponentConfig::PrvSetComponentState, bad strState Argument"));
    EXPECT_EQ(State("codec"), "installed");
    EXPECT_EQ(Compact(ConfigPath()),
              "<Config><Component name=\"codec\" version=\"1.7\" autoupdate=\"true\">"
              "<ClientList/><State value=\"installed\"><installed version=\"1\"/></State>"
              "<ManifestList><Manifest>main</Manifest></ManifestList></Component></Config>");
    EXPECT_FALSE(Exists(UninstallData()));
}

// Every path out of an operation deletes the result file: a refused report
// leaves nothing behind that another process could hold.
TEST_F(ResultFilesTest, RefusedReportsLeaveNoFile) {
    ASSERT_TRUE(m_store->SetComponentName("other"));
    const std::string before = ReadFile(ConfigPath());
    EXPECT_FALSE(m_store->SetComponentUninstallData("qorb", UninstallText("codec", "1", "success")));
    EXPECT_FALSE(Exists(UninstallData()));
    EXPECT_FALSE(m_store->SetComponentUninstallData("qorb", "not xml at all"));
    EXPECT_FALSE(Exists(UninstallData()));
    std::string result, error;
    EXPECT_TRUE(m_store->GetUninstallDataResult("not xml at all", result, error));
    EXPECT_FALSE(Exists(UninstallData()));
    EXPECT_EQ(ReadFile(ConfigPath()), before);
}

// The file is made afresh with mode 0600 whatever was at its path: a link is
// replaced, not followed, and holds exactly the text (no declaration, no
// byte-order mark).
TEST_F(ResultFilesTest, WrittenFreshPrivateAndNeverThroughALink) {
    const std::string strVictim = AppFile("victim");
    WriteFile(strVictim, "untouched");
    ASSERT_EQ(symlink(strVictim.c_str(), UninstallData().c_str()), 0);
    mcResultFile file(mcResultFile::Kind::kUninstall, AppFile(""));
    const std::string text = UninstallText("codec", "1", "success");
    ASSERT_TRUE(file.Write(text));
    struct stat st {};
    ASSERT_EQ(lstat(UninstallData().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(ReadFile(UninstallData()), text);
    EXPECT_EQ(ReadFile(strVictim), "untouched");
    {
        const mcResultFile::DeleteGuard guard(file);
    }
    EXPECT_FALSE(Exists(UninstallData()));
}

TEST_F(ResultFilesTest, MalformedInstallText) {
    ClearLog();
    EXPECT_FALSE(m_store->SetComponentInstallData("qorb", "<InstallData name=\"codec\""));
    EXPECT_TRUE(Logged("mcComponentConfig::PrvLoadFile mcExc exception"));
    EXPECT_TRUE(Logged("mcComponentConfig::PrvLoadFile Bad config file, creating new one"));
    EXPECT_TRUE(Logged("mcComponentConfig::PrvGetInstallDataComponentName mcExc exception"));
    EXPECT_TRUE(Logged("mcComponentConfig::PrvGetInstallDataUninstallCmdline mcExc exception"));
    EXPECT_FALSE(Exists(InstallData()));
    // The result file is never kept aside: only the configuration is.
    EXPECT_FALSE(Exists(InstallData() + ".bad"));
    // The unreadable report names no component: nothing is recorded.
    EXPECT_EQ(Compact(ConfigPath()), "<Config/>");
    EXPECT_FALSE(m_store->HasComponentStates(""));
}

TEST_F(ResultFilesTest, InstallTextWithoutANameRecordsNothing) {
    ASSERT_TRUE(m_store->SetComponentInstallData("qorb", InstallText("codec", "1", "success")));
    const std::string strBefore = Compact(ConfigPath());
    EXPECT_FALSE(m_store->SetComponentInstallData(
        "qorb", "<InstallData version=\"2\"><Install result=\"success\"/></InstallData>"));
    EXPECT_FALSE(Exists(InstallData()));
    EXPECT_EQ(Compact(ConfigPath()), strBefore);
    std::vector<std::string> vecComponents;
    ASSERT_TRUE(m_store->GetComponentsOfClient("qorb", vecComponents));
    EXPECT_EQ(vecComponents, std::vector<std::string>{"codec"});
}

TEST_F(ResultFilesTest, MalformedUninstallTextFails) {
    ASSERT_TRUE(m_store->SetComponentInstallData("qorb", InstallText("codec", "1", "success")));
    EXPECT_FALSE(m_store->SetComponentUninstallData("qorb", "not xml at all"));
    EXPECT_FALSE(Exists(UninstallData()));
    EXPECT_EQ(State("codec"), "installed");
}

TEST_F(ResultFilesTest, MissingItemsReadAsEmpty) {
    ClearLog();
    ASSERT_TRUE(m_store->SetComponentInstallData(
        "qorb", "<InstallData name=\"codec\"><Install result=\"success\"/></InstallData>"));
    EXPECT_TRUE(Logged("mcComponentConfig::PrvGetInstallDataComponentVersion mcExc exception"));
    EXPECT_TRUE(Logged("GetAttributeText: attribute not found"));
    EXPECT_TRUE(Logged("mcComponentConfig::PrvGetInstallDataInstallPath mcExc exception"));
    EXPECT_TRUE(Logged("GetChildElement: requested child not found"));
    EXPECT_TRUE(Logged("mcComponentConfig::PrvSetComponentState, bad strStateVersion Argument"));
    // No state without a version; the rest is recorded with empty values.
    EXPECT_FALSE(m_store->HasComponentStates("codec"));
    EXPECT_TRUE(m_store->IsComponentOfClient("qorb", "codec"));
    std::string value;
    ASSERT_TRUE(m_store->GetComponentAutoUpdate("codec", value));
    EXPECT_EQ(value, "true");
    // A doubled item counts as missing.
    ClearLog();
    ASSERT_TRUE(m_store->SetComponentInstallData(
        "qorb", "<InstallData name=\"codec\" version=\"2\"><Install result=\"success\"/>"
                "<InstallPath>/a</InstallPath><InstallPath>/b</InstallPath></InstallData>"));
    EXPECT_TRUE(Logged("GetChildElement: ambiguous child found"));
    EXPECT_EQ(State("codec"), "installed");
}

TEST_F(ResultFilesTest, ResultWordsForTheJobs) {
    ASSERT_TRUE(m_store->SetComponentName("codec"));
    const std::string before = ReadFile(ConfigPath());
    std::string result = "x", error = "x";
    m_store->GetInstallDataResult(InstallText("codec", "1", "success"), result, error);
    EXPECT_EQ(result, "success");
    EXPECT_EQ(error, "7");
    EXPECT_FALSE(Exists(InstallData()));
    m_store->GetUninstallDataResult(UninstallText("codec", "1", "fail"), result, error);
    EXPECT_EQ(result, "fail");
    EXPECT_EQ(error, "3");
    EXPECT_FALSE(Exists(UninstallData()));
    // Missing items and malformed texts give empty outputs.
    result = error = "x";
    m_store->GetInstallDataResult("<InstallData/>", result, error);
    EXPECT_EQ(result, "");
    EXPECT_EQ(error, "");
    result = error = "x";
    m_store->GetUninstallDataResult("<<<", result, error);
    EXPECT_EQ(result, "");
    EXPECT_EQ(error, "");
    EXPECT_FALSE(Exists(UninstallData()));
    // The configuration is not touched.
    EXPECT_EQ(ReadFile(ConfigPath()), before);
    EXPECT_EQ(State("codec"), "<none>");
}

TEST_F(ResultFilesTest, ResultFileThatCannotBeCreated) {
    std::filesystem::create_directory(InstallData());
    std::filesystem::create_directory(UninstallData());
    const std::string before = ReadFile(ConfigPath());
    ClearLog();
    EXPECT_FALSE(m_store->SetComponentInstallData("qorb", InstallText("codec", "1", "success")));
    EXPECT_FALSE(m_store->SetComponentUninstallData("qorb", UninstallText("codec", "1", "success")));
    std::string result = "x", error = "x";
    EXPECT_FALSE(m_store->GetInstallDataResult(InstallText("codec", "1", "success"), result, error));
    EXPECT_EQ(result, "x");
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(ReadFile(ConfigPath()), before);
    EXPECT_TRUE(std::filesystem::is_directory(InstallData()));
}

TEST_F(ResultFilesTest, TextThatCannotBeConvertedFails) {
    ClearLog();
    EXPECT_FALSE(m_store->SetComponentInstallData("qorb", std::string("<a name=\"\xff\"/>")));
    EXPECT_TRUE(Logged("mcComponentConfig::SetComponentInstallData mcExc exception"));
    EXPECT_EQ(State(""), "<none>");
}

// Another process holding a byte-range lock on the result file: the store
// never waits for it (it holds its own lock meanwhile).
class ResultFileLockTest : public ResultFilesTest {
protected:
    // Starts a process that locks [nStart, nStart + nLength) of path (after
    // writing strContent to it) until Release().
    void HoldRange(const std::string& path, const std::string& strContent, off_t nStart, off_t nLength) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(m_release), 0);
        m_pid = fork();
        ASSERT_GE(m_pid, 0);
        if (m_pid == 0) {
            close(ready[0]);
            close(m_release[1]);
            const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
            const bool written = fd >= 0 && write(fd, strContent.data(), strContent.size()) ==
                                                static_cast<ssize_t>(strContent.size());
            struct flock lock {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            lock.l_start = nStart;
            lock.l_len = nLength;
            const bool locked = written && fcntl(fd, F_SETLK, &lock) == 0;
            const char c = locked ? '1' : '0';
            if (write(ready[1], &c, 1) != 1) _exit(2);
            char d = 0;
            (void)!read(m_release[0], &d, 1);
            _exit(0);  // releases the lock
        }
        close(ready[1]);
        close(m_release[0]);
        char c = 0;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        ASSERT_EQ(c, '1');
    }
    // True while the holder has not been told to let go (it never ends by itself).
    bool Holding() const { return waitpid(m_pid, nullptr, WNOHANG) == 0; }
    void Release() {
        close(m_release[1]);
        int status = 0;
        ASSERT_EQ(waitpid(m_pid, &status, 0), m_pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    pid_t m_pid = -1;
    int m_release[2] = {-1, -1};
};

// A lock on bytes the text does not reach does not stand in the way: only the
// range the text takes is locked.
TEST_F(ResultFileLockTest, LockBeyondTheTextDoesNotStopTheWrite) {
    HoldRange(InstallData(), "", 1 << 20, 1 << 20);
    std::string result, error;
    EXPECT_TRUE(m_store->GetInstallDataResult(InstallText("codec", "1", "success"), result, error));
    EXPECT_EQ(result, "success");
    EXPECT_TRUE(m_store->SetComponentInstallData("qorb", InstallText("codec", "1", "success")));
    EXPECT_EQ(State("codec"), "installed");
    EXPECT_TRUE(Holding());
    Release();
}

// A file at the path that another process holds locked cannot stop the
// store: every operation replaces it with a fresh file of its own and is
// served while the other process still holds its lock.
TEST_F(ResultFileLockTest, HeldFileIsReplacedNotWaitedFor) {
    HoldRange(InstallData(), "<theirs/>", 0, 0);  // the whole file
    std::string result = "x", error = "x";
    EXPECT_TRUE(m_store->GetInstallDataResult(InstallText("codec", "1", "success"), result, error));
    EXPECT_EQ(result, "success");
    EXPECT_TRUE(m_store->SetComponentInstallData("qorb", InstallText("codec", "1", "success")));
    EXPECT_TRUE(Holding());
    EXPECT_EQ(State("codec"), "installed");
    EXPECT_FALSE(Exists(InstallData()));
    Release();

    HoldRange(UninstallData(), "<theirs/>", 0, 0);
    EXPECT_TRUE(m_store->SetComponentUninstallData("qorb", UninstallText("codec", "1", "success")));
    EXPECT_TRUE(Holding());
    EXPECT_EQ(State("codec"), "uninstalled");
    EXPECT_FALSE(Exists(UninstallData()));
    Release();
}

}  // namespace
