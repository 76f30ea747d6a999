// The component manager's places and identity strings, read from a private
// registry file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "registry/RegistryKey.h"
#include "support/RegistryTestSupport.h"
#include "base/mcCMLog.h"
#include "registry/mcCMUtils.h"

using core::registry::RegistryKey;
namespace reg = core::registry;

class CMUtilsTest : public RegistryTestBase {
protected:
    void SetUp() override {
        RegistryTestBase::SetUp();
        // Lines of the utilities go to a log of the test's own.
        ASSERT_TRUE(mcCMLog::Instance().Open(m_strDir));
    }
    void TearDown() override {
        mcCMLog::Instance().Close();
        RegistryTestBase::TearDown();
    }
    RegistryKey CMKey() {
        return RegistryKey(reg::kRootLocalMachine, "").CreateSubKey(mcCMUtils::kRegistryKey);
    }
    std::string Log() {
        std::ifstream in(m_strDir + "/ComponentMgr.log", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void SetOpenCommand(const std::string& className, const std::string& command) {
        RegistryKey classes(reg::kRootClassesRoot, "");
        classes.CreateSubKey(".zrz").SetValueString("", className);
        if (!className.empty()) {
            classes.CreateSubKey(className + "\\shell\\Open\\command").SetValueString("", command);
        }
    }
};

TEST_F(CMUtilsTest, AppPathFromRegistryOrDefault) {
    EXPECT_EQ(mcCMUtils::GetAppPath(), "/var/lib/tavrolin/componentmgr");
    EXPECT_NE(Log().find(" : mcCMUtils::GetAppPath registry value not found\n"), std::string::npos);

    RegistryKey key = CMKey();
    key.SetValueString("AppPath", "");
    EXPECT_EQ(mcCMUtils::GetAppPath(), "/var/lib/tavrolin/componentmgr");
    key.SetValueString("AppPath", "/srv/cm/");
    EXPECT_EQ(mcCMUtils::GetAppPath(), "/srv/cm/");  // as stored
    EXPECT_EQ(mcCMUtils::GetHoldingArea(), "/srv/cm/HoldingArea");
    // The key's name ignores case, as every caller spells it differently.
    EXPECT_EQ(RegistryKey(reg::kRootLocalMachine, "SOFTWARE\\Tavrolin, Inc.\\ComponentMgr")
                  .GetValueString("apppath"),
              "/srv/cm/");
}

TEST_F(CMUtilsTest, ZRUIDIsMadeOnceAndStored) {
    CMKey();
    std::string first = mcCMUtils::GetZRUID();
    EXPECT_TRUE(std::regex_match(first, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-"
                                                   "[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << first;
    EXPECT_EQ(mcCMUtils::GetZRUID(), first);
    EXPECT_EQ(CMKey().GetValueString("zruid"), first);
    EXPECT_NE(mcCMUtils::NewZRUID(), mcCMUtils::NewZRUID());

    CMKey().SetValueString("zruid", "KEPT-AS-IT-IS");
    EXPECT_EQ(mcCMUtils::GetZRUID(), "KEPT-AS-IT-IS");
}

TEST_F(CMUtilsTest, ZRUIDWithoutTheKeyIsNotStored) {
    std::string a = mcCMUtils::GetZRUID();
    std::string b = mcCMUtils::GetZRUID();
    EXPECT_EQ(a.size(), 36u);
    EXPECT_NE(a, b);  // nothing could be stored: a new one each time
    EXPECT_FALSE(RegistryKey::Exists(reg::kRootLocalMachine, mcCMUtils::kRegistryKey));
    std::string log = Log();
    EXPECT_NE(log.find(" : mcCMUtils::GetZRUID registry value not found\n"), std::string::npos);
    EXPECT_NE(log.find(" : mcCMUtils::GetZRUID registry value not set\n"), std::string::npos);
}

TEST_F(CMUtilsTest, VersionAgentAndDate) {
    EXPECT_EQ(mcCMUtils::GetVersion(), "1.00.0073");
    std::string agent = mcCMUtils::GetUserAgent();
    EXPECT_EQ(agent.rfind("Tavrolin ComponentMgr 1.00.0073 (Linux ", 0), 0u) << agent;
    EXPECT_EQ(agent.substr(agent.size() - 10), " -> Linux)") << agent;

    std::tm tm {};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 11;
    tm.tm_mday = 8;
    tm.tm_hour = 1;
    tm.tm_min = 57;
    tm.tm_sec = 42;
    EXPECT_EQ(mcCMUtils::FormatHttpDate(timegm(&tm)), "Tue, 08 Dec 2026 01:57:42 GMT");
    EXPECT_EQ(mcCMUtils::FormatHttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_TRUE(std::regex_match(
        mcCMUtils::GetHttpDate(),
        std::regex("(Sun|Mon|Tue|Wed|Thu|Fri|Sat), \\d\\d [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d GMT")));
}

TEST(CMUtilsVersionsTest, CompareAsNumbersWithoutDots) {
    struct Case {
        const char* a;
        const char* b;
        int expected;
    };
    const Case cases[] = {
        {"1.00.0073", "1.00.0072", 1},
        {"2.0", "1.99", -1},  // 20 < 199
        {"", "0", 0},
        {"1.2", "1.10", -1},  // 12 < 110
        {"1.00.0073", "1.00.0073", 0},
        {"  7", "7", 0},
        {"-1", "0", -1},
        {"3abc", "3", 0},  // digits up to the first other character
        {"abc", "0", 0},
        {"99999999999999999999", "9223372036854775807", 0},  // saturates
        {"-99999999999999999999", "-9223372036854775808", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mcCMUtils::CompareVersions(c.a, c.b), c.expected) << c.a << " vs " << c.b;
        EXPECT_EQ(mcCMUtils::CompareVersions(c.b, c.a), -c.expected) << c.b << " vs " << c.a;
    }
}

TEST_F(CMUtilsTest, InstallerPathFromTheFileType) {
    EXPECT_EQ(mcCMUtils::GetTIPath(), "/opt/tavrolin/jukebox/TI");  // no ".zrz"

    SetOpenCommand("ZRPackage", "\"/opt/x y/TI\" \"%1\"");
    EXPECT_EQ(mcCMUtils::GetTIPath(), "/opt/x y/TI");

    SetOpenCommand("ZRPackage", "/opt/x/TI %1");
    EXPECT_EQ(mcCMUtils::GetTIPath(), "/opt/x/TI %1");  // whole, arguments included

    SetOpenCommand("ZRPackage", "\"\"");
    EXPECT_EQ(mcCMUtils::GetTIPath(), "/opt/tavrolin/jukebox/TI");  // no piece

    SetOpenCommand("", "");
    EXPECT_EQ(mcCMUtils::GetTIPath(), "/opt/tavrolin/jukebox/TI");  // empty class name

    SetOpenCommand("Other", "\"/usr/bin/TI\"");
    RegistryKey::DeleteKey(reg::kRootClassesRoot, "Other\\shell\\Open\\command");
    EXPECT_EQ(mcCMUtils::GetTIPath(), "/opt/tavrolin/jukebox/TI");  // no command key
}
