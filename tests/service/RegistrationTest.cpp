// "RegServer" and "UnregServer": the registry keys below the classes root and
// the bus activation file, through the functions and through the program.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "ServiceTestEnv.h"
#include "service/ServerRegistration.h"

namespace {

using core::registry::RegistryKey;
using core::registry::kRootClassesRoot;
using svctest::TestMachine;

const std::string kClsidKey = std::string("CLSID\\") + svcreg::kClsid;

bool KeyExists(const std::string& strPath) { return RegistryKey::Exists(kRootClassesRoot, strPath); }

std::string Value(const std::string& strPath, const std::string& strName = std::string()) {
    RegistryKey key(kRootClassesRoot, strPath, core::registry::KEY_READ);
    return key.GetValueString(strName);
}

class RegistrationTest : public ::testing::Test {
protected:
    RegistrationTest() {
        m_config.strActivationDir = m_machine.Folder() + "/services";
        m_config.strExecutablePath = svctest::kKettrin;
    }

    std::string ActivationFile() const {
        return m_config.strActivationDir + "/" + svcreg::kActivationFileName;
    }

    void ExpectRegistered(const std::string& strExecutable) {
        EXPECT_EQ(Value(std::string("AppID\\") + svcreg::kAppId), "ComponentMgr");
        EXPECT_EQ(Value("AppID\\ComponentMgr.EXE", "AppID"), svcreg::kAppId);
        EXPECT_EQ(Value("ComponentMgr.ComponentMgrObj.1"), "moComponentMgr Object");
        EXPECT_EQ(Value("ComponentMgr.ComponentMgrObj.1\\CLSID"), svcreg::kClsid);
        EXPECT_EQ(Value("ComponentMgr.ComponentMgrObj"), "moComponentMgr Object");
        EXPECT_EQ(Value("ComponentMgr.ComponentMgrObj\\CLSID"), svcreg::kClsid);
        EXPECT_EQ(Value("ComponentMgr.ComponentMgrObj\\CurVer"), "ComponentMgr.ComponentMgrObj.1");
        EXPECT_EQ(Value(kClsidKey), "moComponentMgr Object");
        EXPECT_EQ(Value(kClsidKey, "AppID"), svcreg::kAppId);
        EXPECT_EQ(Value(kClsidKey + "\\ProgID"), "ComponentMgr.ComponentMgrObj.1");
        EXPECT_EQ(Value(kClsidKey + "\\VersionIndependentProgID"), "ComponentMgr.ComponentMgrObj");
        EXPECT_TRUE(KeyExists(kClsidKey + "\\Programmable"));
        EXPECT_EQ(Value(kClsidKey + "\\TypeLib"), svcreg::kTypeLibId);
        EXPECT_EQ(Value(kClsidKey + "\\LocalServer32"), "\"" + strExecutable + "\"");
        EXPECT_EQ(Value(kClsidKey + "\\LocalServer32", "ThreadingModel"), "free");
        const std::string strLib = std::string("TypeLib\\") + svcreg::kTypeLibId + "\\1.0";
        EXPECT_EQ(Value(strLib), "ComponentMgr 1.0 Type Library");
        EXPECT_EQ(Value(strLib + "\\0\\linux"), m_config.strTypeLibPath);
        EXPECT_EQ(Value("Interface\\{287A5355-D5F8-482F-BEF1-0E6FA3324BF4}"), "IComponentMgrControl");
        EXPECT_EQ(Value("Interface\\{09117D76-86A0-4585-9C3E-A00B5B023020}\\TypeLib", "Version"), "1.0");
        EXPECT_EQ(fstest::ReadFile(ActivationFile()), svcreg::mfActivationFileText(strExecutable));
    }

    void ExpectUnregistered() {
        for (const std::string& strKey :
             {std::string("AppID\\") + svcreg::kAppId, std::string("AppID\\ComponentMgr.EXE"),
              std::string("ComponentMgr.ComponentMgrObj.1"), std::string("ComponentMgr.ComponentMgrObj"), kClsidKey,
              std::string("TypeLib\\") + svcreg::kTypeLibId,
              std::string("Interface\\{49FF4409-1EF9-4374-B58B-71DB9EEF16EF}")}) {
            EXPECT_FALSE(KeyExists(strKey)) << strKey;
        }
        // The parents stay.
        EXPECT_TRUE(KeyExists("AppID"));
        EXPECT_TRUE(KeyExists("CLSID"));
        EXPECT_FALSE(std::filesystem::exists(ActivationFile()));
    }

    TestMachine m_machine;
    mcServiceConfig m_config;
};

TEST_F(RegistrationTest, RegisterWritesEveryKeyAndTheActivationFile) {
    ASSERT_EQ(svcreg::mfRegisterServer(m_config), S_OK);
    ExpectRegistered(svctest::kKettrin);
    // Registering again is fine and gives the same content.
    ASSERT_EQ(svcreg::mfRegisterServer(m_config), S_OK);
    ExpectRegistered(svctest::kKettrin);
}

TEST_F(RegistrationTest, ClassKeyIsWrittenAfresh) {
    ASSERT_EQ(svcreg::mfRegisterServer(m_config), S_OK);
    {
        RegistryKey stale = RegistryKey(kRootClassesRoot, "").CreateSubKey(kClsidKey + "\\InprocServer32");
        stale.SetValueString("", "old.dll");
        RegistryKey(kRootClassesRoot, kClsidKey).SetValueString("Leftover", "x");
    }
    ASSERT_EQ(svcreg::mfRegisterServer(m_config), S_OK);
    EXPECT_FALSE(KeyExists(kClsidKey + "\\InprocServer32"));
    EXPECT_FALSE(RegistryKey::ValueExists(kRootClassesRoot, kClsidKey, core::registry::KEY_READ, "Leftover"));
}

TEST_F(RegistrationTest, ModuleKeyDependsOnTheFileBeingAProgram) {
    const std::string strPlain = m_machine.Folder() + "/not-a-program";
    fstest::WriteFile(strPlain, "data");
    ::chmod(strPlain.c_str(), 0644);
    m_config.strExecutablePath = strPlain;
    ASSERT_EQ(svcreg::mfRegisterServer(m_config), S_OK);
    EXPECT_TRUE(KeyExists(kClsidKey + "\\InprocServer32"));
    EXPECT_FALSE(KeyExists(kClsidKey + "\\LocalServer32"));
}

TEST_F(RegistrationTest, UnregisterRemovesAllButTheParentsAndLeavesOthersAlone) {
    ASSERT_EQ(svcreg::mfRegisterServer(m_config), S_OK);
    {
        RegistryKey root(kRootClassesRoot, "");
        root.CreateSubKey("CLSID\\{11111111-2222-3333-4444-555555555555}").SetValueString("", "other class");
        root.CreateSubKey("AppID\\Other.EXE").SetValueString("AppID", "{other}");
    }
    ASSERT_EQ(svcreg::mfUnregisterServer(m_config), S_OK);
    ExpectUnregistered();
    EXPECT_EQ(Value("CLSID\\{11111111-2222-3333-4444-555555555555}"), "other class");
    EXPECT_EQ(Value("AppID\\Other.EXE", "AppID"), "{other}");
    // Nothing left to remove is no failure.
    EXPECT_EQ(svcreg::mfUnregisterServer(m_config), S_OK);
}

TEST_F(RegistrationTest, ActivationDirectoryThatCannotBeMadeFailsWithItsError) {
    fstest::WriteFile(m_machine.Folder() + "/blocked", "a file in the way");
    m_config.strActivationDir = m_machine.Folder() + "/blocked/services";
    const HRESULT hr = svcreg::mfRegisterServer(m_config);
    EXPECT_TRUE(FAILED(hr)) << cmifc::FormatHResult(hr);
    EXPECT_EQ(static_cast<std::uint32_t>(hr) & 0xFFFF0000u, 0x80070000u);
}

// The program itself: switches, exit codes, the activation directory from
// the environment.
TEST_F(RegistrationTest, ProgramRegistersAndUnregisters) {
    std::string strError;
    ASSERT_EQ(svctest::RunProgram({svctest::kKettrin, "/RegServer"}, nullptr, &strError), 0) << strError;
    ExpectRegistered(svctest::kKettrin);
    ASSERT_EQ(svctest::RunProgram({svctest::kKettrin, "-unregserver"}, nullptr, &strError), 0) << strError;
    ExpectUnregistered();
}

TEST_F(RegistrationTest, ProgramActsOnTheFirstSwitchOnly) {
    ASSERT_EQ(svctest::RunProgram({svctest::kKettrin, "-REGSERVER", "/UnregServer"}), 0);
    ExpectRegistered(svctest::kKettrin);
    ASSERT_EQ(svctest::RunProgram({svctest::kKettrin, "/Embedding", "/UnRegServer", "-RegServer"}), 0);
    ExpectUnregistered();
}

TEST_F(RegistrationTest, WordWithoutSwitchCharacterRunsTheServerInstead) {
    // No bus to serve on: the server gives up with -1 and registers nothing.
    svctest::ScopedEnv bus("KETTRIN_BUS_ADDRESS", "unix:path=" + m_machine.Folder() + "/no-bus");
    std::string strError;
    EXPECT_EQ(svctest::RunProgram({svctest::kKettrin, "RegServer"}, nullptr, &strError), 255);
    EXPECT_NE(strError.find("cannot connect to the bus"), std::string::npos) << strError;
    EXPECT_FALSE(KeyExists(kClsidKey));
    // The application folder was created before the log opened.
    EXPECT_TRUE(std::filesystem::is_directory(m_machine.AppFolder()));
}

TEST_F(RegistrationTest, ProgramFailureExitsWithTheHResult) {
    fstest::WriteFile(m_machine.Folder() + "/blocked", "a file in the way");
    svctest::ScopedEnv dir("KETTRIN_DBUS_SERVICE_DIR", m_machine.Folder() + "/blocked/services");
    std::string strError;
    const int nExit = svctest::RunProgram({svctest::kKettrin, "/RegServer"}, nullptr, &strError);
    EXPECT_NE(nExit, 0);
    EXPECT_NE(strError.find("RegServer failed with HRESULT 0x8007"), std::string::npos) << strError;
}

}  // namespace
