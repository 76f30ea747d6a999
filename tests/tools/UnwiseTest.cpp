// Unwise: removes an install from its install log, never outside the install
// and never through a symbolic link; and the whole round trip from
// "cmake --install" into a temporary prefix back to nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "support/ServiceTestMachine.h"
#include "tools/ToolsTestSupport.h"

namespace {

namespace fs = std::filesystem;

const std::string kUnwise = std::string(KETTRIN_BINARY_DIR) + "/src/Unwise";
const std::string kAppDir = KETTRIN_INSTALL_APPDIR;

bool Present(const std::string& strPath) {
    struct stat st {};
    return ::lstat(strPath.c_str(), &st) == 0;
}

std::string Joined(const std::vector<std::string>& vecLines) {
    std::string strText;
    for (const std::string& strLine : vecLines) strText += strLine + "\n";
    return strText;
}

// Runs "Unwise /s CMINSTALL.LOG" in the application folder, as Kettrinrm does.
int RunUnwiseIn(const std::string& strAppFolder, std::string& strErr) {
    std::string strOut;
    const int nExit = svctest::RunProgram(
        {"/bin/sh", "-c", "cd \"$1\" && exec ./Unwise /s CMINSTALL.LOG", "sh", strAppFolder}, &strOut, &strErr);
    EXPECT_EQ(strOut, "");
    return nExit;
}

TEST(UnwiseTest, RemovesOnlyBelowTheInstallWithoutFollowingLinks) {
    ASSERT_FALSE(fs::path(kAppDir).is_absolute()) << "the test builds its install below a prefix";
    fstest::TempDir dir;
    const std::string strPrefix = dir / "inst";
    const std::string strApp = strPrefix + "/" + kAppDir;
    const std::string strOutside = dir / "outside";
    for (const std::string& strFolder : {strApp, strPrefix + "/bin", strPrefix + "/share/kettrin/sub",
                                         strPrefix + "/lib", strOutside}) {
        fs::create_directories(strFolder);
    }
    fs::copy_file(kUnwise, strApp + "/Unwise");
    // The server it unregisters records that it ran before anything was removed.
    fstest::WriteFile(strPrefix + "/bin/Kettrin",
                      "#!/bin/sh\n{ printf '%s\\n' \"$@\"; test -e '" + strPrefix +
                          "/share/kettrin/a.txt' && echo files-present; } > '" + dir.Path() + "/kettrin.record'\n");
    ASSERT_EQ(::chmod((strPrefix + "/bin/Kettrin").c_str(), 0755), 0);
    for (const std::string& strFile : {strPrefix + "/share/kettrin/a.txt", strPrefix + "/share/kettrin/sub/b.txt",
                                       strPrefix + "/share/keep.txt", strOutside + "/target.txt",
                                       strOutside + "/victim.txt", strOutside + "/direct.txt", strOutside + "/dd.txt"}) {
        fstest::WriteFile(strFile, "x");
    }
    fs::create_symlink(strOutside + "/target.txt", strPrefix + "/lib/alink");
    fs::create_directory_symlink(strOutside, strPrefix + "/share/linkdir");

    const std::vector<std::string> vecRefused = {
        strPrefix + "/share/linkdir/victim.txt",
        strOutside + "/direct.txt",
        strPrefix + "/share/../../outside/dd.txt",
        "share/kettrin/relative.txt",
    };
    std::vector<std::string> vecLog = {strPrefix + "/bin/Kettrin",
                                       strPrefix + "/share/kettrin/a.txt",
                                       strPrefix + "/share/kettrin/sub/b.txt",
                                       strPrefix + "/share/kettrin/already-gone.txt",
                                       strPrefix + "/lib/alink",
                                       strApp + "/Unwise"};
    vecLog.insert(vecLog.end(), vecRefused.begin(), vecRefused.end());
    vecLog.push_back(strApp + "/CMINSTALL.LOG");
    fstest::WriteFile(strApp + "/CMINSTALL.LOG", Joined(vecLog));

    std::string strErr;
    EXPECT_EQ(RunUnwiseIn(strApp, strErr), 1);

    EXPECT_EQ(toolstest::ReadRecord(dir / "kettrin.record"),
              (std::vector<std::string>{"/UnregServer", "files-present"}));
    // Listed entries and the folders they emptied are gone, up to the prefix.
    for (const std::string& strGone : {strPrefix + "/bin", strPrefix + "/share/kettrin", strPrefix + "/lib",
                                       strPrefix + "/var"}) {
        EXPECT_FALSE(Present(strGone)) << strGone;
    }
    // What was not listed, or only reachable through a link, or outside, stays.
    for (const std::string& strKept : {strPrefix + "/share/keep.txt", strPrefix + "/share/linkdir",
                                       strOutside + "/target.txt", strOutside + "/victim.txt",
                                       strOutside + "/direct.txt", strOutside + "/dd.txt"}) {
        EXPECT_TRUE(Present(strKept)) << strKept;
    }
    for (const std::string& strPath : vecRefused) {
        EXPECT_NE(strErr.find("Unwise: skipped " + strPath + ": "), std::string::npos) << strPath << "\n" << strErr;
    }
    EXPECT_NE(strErr.find("its folder " + strPrefix + "/share/linkdir is a symbolic link"), std::string::npos);
    EXPECT_EQ(std::count(strErr.begin(), strErr.end(), '\n'), static_cast<long>(vecRefused.size())) << strErr;
}

TEST(UnwiseTest, RefusesUsageAndAForeignFolder) {
    std::string strErr;
    EXPECT_EQ(svctest::RunProgram({kUnwise, "CMINSTALL.LOG"}, nullptr, &strErr), 2);
    EXPECT_EQ(strErr, "usage: Unwise /s CMINSTALL.LOG\n");
    // The build folder is no application folder: it cannot tell what to remove.
    strErr.clear();
    EXPECT_EQ(svctest::RunProgram({kUnwise, "/s", "CMINSTALL.LOG"}, nullptr, &strErr), 2);
    EXPECT_NE(strErr.find("cannot tell where the install is"), std::string::npos) << strErr;
}

std::vector<std::string> ReadLines(const std::string& strPath) {
    return toolstest::ReadRecord(strPath).value_or(std::vector<std::string>{});
}

// "cmake --install" into a temporary prefix, registered there, and removed
// again by the installed Unwise; and the log of a staged (DESTDIR) install
// names the final paths.
TEST(UnwiseTest, InstallRoundTrip) {
    svctest::TestMachine machine;
    const std::string strPrefix = machine / "prefix";
    const std::string strApp = strPrefix + "/" + kAppDir;
    std::string strOut;
    std::string strErr;
    ASSERT_EQ(svctest::RunProgram({KETTRIN_CMAKE_COMMAND, "--install", KETTRIN_BINARY_DIR, "--prefix", strPrefix},
                                  &strOut, &strErr),
              0)
        << strOut << strErr;

    const std::vector<std::string> vecLog = ReadLines(strApp + "/CMINSTALL.LOG");
    ASSERT_FALSE(vecLog.empty());
    EXPECT_EQ(vecLog.back(), strApp + "/CMINSTALL.LOG");
    for (const std::string& strRelative :
         std::vector<std::string>{"bin/Kettrin", "bin/Kettrinrm", "bin/kettrinctl",
                                  "lib/systemd/system/kettrin-runonce.service",
                                  kAppDir + "/Unwise"}) {
        EXPECT_NE(std::find(vecLog.begin(), vecLog.end(), strPrefix + "/" + strRelative), vecLog.end())
            << strRelative;
    }
    for (const std::string& strPath : vecLog) {
        EXPECT_EQ(strPath.rfind(strPrefix + "/", 0), 0u) << strPath;
        EXPECT_TRUE(Present(strPath)) << strPath;
    }
    EXPECT_NE(fstest::ReadFile(strPrefix + "/lib/systemd/system/kettrin-runonce.service")
                  .find("/kettrinctl runonce\n"),
              std::string::npos);

    // Registered from the install, with the install's application folder.
    core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
    root.CreateSubKey(mcCMUtils::kRegistryKey).SetValueString(mcCMUtils::kAppPathValue, strApp);
    ASSERT_EQ(svctest::RunProgram({strPrefix + "/bin/Kettrin", "/RegServer"}), 0);
    const std::string strActivation = machine / "services/ComponentMgr.ComponentMgrObj.service";
    ASSERT_TRUE(Present(strActivation));

    strErr.clear();
    EXPECT_EQ(RunUnwiseIn(strApp, strErr), 0) << strErr;
    EXPECT_EQ(strErr, "");
    EXPECT_FALSE(Present(strActivation));
    for (const std::string& strPath : vecLog) EXPECT_FALSE(Present(strPath)) << strPath;
    // Only the server's own log (written by the registration) is left.
    std::vector<std::string> vecLeft;
    for (const auto& entry : fs::recursive_directory_iterator(strPrefix)) {
        if (!entry.is_directory()) vecLeft.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(vecLeft, (std::vector<std::string>{"ComponentMgr.log"}));
    EXPECT_FALSE(Present(strPrefix + "/bin"));

    // Staged: the files land below DESTDIR, the log names them without it.
    const std::string strStage = machine / "stage";
    const std::string strFinal = "/opt/kettrin-staged";
    ASSERT_EQ(svctest::RunProgram({"/usr/bin/env", "DESTDIR=" + strStage, KETTRIN_CMAKE_COMMAND, "--install",
                                   KETTRIN_BINARY_DIR, "--prefix", strFinal}),
              0);
    const std::vector<std::string> vecStaged = ReadLines(strStage + strFinal + "/" + kAppDir + "/CMINSTALL.LOG");
    ASSERT_FALSE(vecStaged.empty());
    EXPECT_EQ(vecStaged.back(), strFinal + "/" + kAppDir + "/CMINSTALL.LOG");
    for (const std::string& strPath : vecStaged) {
        EXPECT_EQ(strPath.rfind(strFinal + "/", 0), 0u) << strPath;
        EXPECT_TRUE(Present(strStage + strPath)) << strPath;
    }
}

}  // namespace
