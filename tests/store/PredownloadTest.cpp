// Predownloading a package that is already on the machine, and the name
// check shared with the download and install jobs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "StoreTestUtil.h"
#include "base/SafeFileName.h"

namespace {

using storetest::Compact;
using storetest::Exists;
using storetest::ReadFile;
using storetest::WriteFile;

std::string Request(const std::string& name, const std::string& version, const std::string& location) {
    return "<Predownload name=\"" + name + "\" version=\"" + version + "\" location=\"" + location + "\"/>";
}

class PredownloadTest : public storetest::StoreTest {
protected:
    void SetUp() override {
        storetest::StoreTest::SetUp();
        m_store = NewStore();
        m_strPackage = m_strDir + "/pkg.zrz";
        WriteFile(m_strPackage, "package-1");
    }
    void TearDown() override {
        m_store.reset();
        storetest::StoreTest::TearDown();
    }
    std::string Holding(const std::string& rest) const { return m_strApp + "/HoldingArea/" + rest; }
    std::string Version(const std::string& component) {
        std::string version;
        return m_store->GetComponentVersion(component, "predownloaded", version) ? version : "<none>";
    }

    std::unique_ptr<mcComponentConfig> m_store;
    std::string m_strPackage;
};

TEST(SafeFileNameTest, RefusesNamesThatLeaveTheFolder) {
    EXPECT_TRUE(mfIsSafeFileName("codec"));
    EXPECT_TRUE(mfIsSafeFileName("..codec"));
    EXPECT_TRUE(mfIsSafeFileName("a b.zrz"));
    EXPECT_TRUE(mfIsSafeFileName("..."));
    EXPECT_FALSE(mfIsSafeFileName(""));
    EXPECT_FALSE(mfIsSafeFileName("."));
    EXPECT_FALSE(mfIsSafeFileName(".."));
    EXPECT_FALSE(mfIsSafeFileName("a/b"));
    EXPECT_FALSE(mfIsSafeFileName("/"));
    EXPECT_FALSE(mfIsSafeFileName("../x"));
    EXPECT_FALSE(mfIsSafeFileName(std::string("a\0b", 3)));
}

TEST_F(PredownloadTest, NewComponent) {
    ASSERT_TRUE(m_store->PredownloadComponent(Request("codec", "1.2", m_strPackage)));
    EXPECT_EQ(ReadFile(Holding("codec/pkg.zrz")), "package-1");
    EXPECT_EQ(Version("codec"), "1.2");
    std::string state;
    ASSERT_TRUE(m_store->GetComponentCurrentState("codec", state));
    EXPECT_EQ(state, "predownloaded");
    // No clients, no manifests: only the state.
    EXPECT_EQ(Compact(ConfigPath()),
              "<Config><Component name=\"codec\"><State value=\"predownloaded\">"
              "<predownloaded version=\"1.2\"/></State></Component></Config>");
    // No temporary copy is left behind.
    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator(Holding("codec"))) {
        entries.push_back(entry.path().filename());
    }
    EXPECT_EQ(entries, std::vector<std::string>{"pkg.zrz"});
}

TEST_F(PredownloadTest, RepeatedPredownloadReplacesFileAndVersion) {
    ASSERT_TRUE(m_store->PredownloadComponent(Request("codec", "1.2", m_strPackage)));
    WriteFile(m_strPackage, "package-2, longer");
    ASSERT_TRUE(m_store->PredownloadComponent(Request("codec", "1.3", m_strPackage)));
    EXPECT_EQ(ReadFile(Holding("codec/pkg.zrz")), "package-2, longer");
    EXPECT_EQ(Version("codec"), "1.3");
    // The package already in the holding area may be named again.
    ASSERT_TRUE(m_store->PredownloadComponent(Request("codec", "1.4", Holding("codec/pkg.zrz"))));
    EXPECT_EQ(ReadFile(Holding("codec/pkg.zrz")), "package-2, longer");
    EXPECT_EQ(Version("codec"), "1.4");
}

TEST_F(PredownloadTest, AllowedStartingStates) {
    storetest::WriteFile(ConfigPath(),
                         "<Config>"
                         "<Component name=\"novalue\"><State><downloaded version=\"1\"/></State></Component>"
                         "<Component name=\"installed\"><State value=\"installed\"/></Component>"
                         "<Component name=\"downloaded\"><State value=\"downloaded\"/></Component>"
                         "<Component name=\"uninstalled\"><State value=\"uninstalled\"/></Component>"
                         "<Component name=\"disabled\"><State value=\"disabled\"/></Component>"
                         "<Component name=\"upper\"><State value=\"Predownloaded\"/></Component>"
                         "<Component name=\"nostate\"/>"
                         "</Config>");
    m_store = NewStore();
    EXPECT_TRUE(m_store->PredownloadComponent(Request("novalue", "2", m_strPackage)));
    EXPECT_EQ(Version("novalue"), "2");
    for (const char* name : {"installed", "downloaded", "uninstalled", "disabled"}) {
        ClearLog();
        EXPECT_FALSE(m_store->PredownloadComponent(Request(name, "2", m_strPackage))) << name;
        EXPECT_TRUE(Logged(std::string("PredownloadComponent: Component already exists in a state other than "
                                       "predownloaded: ") + name + ", " + name));
        EXPECT_FALSE(Exists(Holding(name)));
    }
    ClearLog();
    EXPECT_FALSE(m_store->PredownloadComponent(Request("upper", "2", m_strPackage)));
    EXPECT_TRUE(Logged("PredownloadComponent: Component already exists in a state other than predownloaded: "
                       "upper, Predownloaded"));
    ClearLog();
    EXPECT_FALSE(m_store->PredownloadComponent(Request("nostate", "2", m_strPackage)));
    EXPECT_TRUE(Logged("mcComponentConfig::PredownloadComponent mcExc exception"));
    EXPECT_TRUE(Logged("GetChildElement: requested child not found"));
    EXPECT_FALSE(Exists(Holding("nostate")));
}

TEST_F(PredownloadTest, LocationMustBeARegularFile) {
    const std::string before = ReadFile(ConfigPath());
    std::filesystem::create_directory(m_strDir + "/folder");
    ASSERT_EQ(mkfifo((m_strDir + "/fifo").c_str(), 0600), 0);
    for (const std::string& location :
         {m_strDir + "/folder", m_strDir + "/missing.zrz", std::string(), m_strDir + "/fifo",
          std::string("/dev/zero")}) {
        ClearLog();
        EXPECT_FALSE(m_store->PredownloadComponent(Request("codec", "1", location))) << location;
        EXPECT_TRUE(Logged("PredownloadComponent: Component location doesn't exist: " + location)) << location;
    }
    EXPECT_FALSE(Exists(Holding("")));
    EXPECT_EQ(ReadFile(ConfigPath()), before);
}

TEST_F(PredownloadTest, BadRequestsFailBeforeCopying) {
    const std::vector<std::string> requests = {
        "<Predownload name=\"codec\" location=\"" + m_strPackage + "\"/>",   // no version
        "<Predownload version=\"1\" location=\"" + m_strPackage + "\"/>",    // no name
        "<Predownload name=\"codec\" version=\"1\"/>",                       // no location
        "<Predownload/>",
        "<Predownload name=\"codec\"",
        "",
        std::string("\x01\x02\xff", 3),
    };
    for (const std::string& request : requests) {
        ClearLog();
        EXPECT_FALSE(m_store->PredownloadComponent(request)) << request;
        EXPECT_TRUE(Logged("mcComponentConfig::PredownloadComponent mcExc exception")) << request;
    }
    EXPECT_FALSE(Exists(Holding("")));
    std::string state;
    EXPECT_FALSE(m_store->GetComponentCurrentState("codec", state));
}

TEST_F(PredownloadTest, HostileNamesNeverReachTheFileSystem) {
    for (const std::string& name : {std::string(), std::string("."), std::string(".."), std::string("../evil"),
                                    std::string("a/b"), std::string("/abs")}) {
        ClearLog();
        EXPECT_FALSE(m_store->PredownloadComponent(Request(name, "1", m_strPackage))) << name;
        EXPECT_TRUE(Logged("PredownloadComponent: invalid component name: " + name)) << name;
    }
    EXPECT_FALSE(Exists(Holding("")));
    EXPECT_FALSE(Exists(m_strApp + "/evil"));
    EXPECT_EQ(Compact(ConfigPath()), "<Config/>");
}

// An empty version is refused by the state setter; that is not reported as a
// recorded predownload.
TEST_F(PredownloadTest, EmptyVersionFails) {
    EXPECT_FALSE(m_store->PredownloadComponent(Request("codec", "", m_strPackage)));
    EXPECT_TRUE(Logged("mcComponentConfig::PrvSetComponentState, bad strStateVersion Argument"));
    EXPECT_FALSE(m_store->HasComponentStates("codec"));
}

TEST_F(PredownloadTest, CopyFailureLeavesTheStoreUnchanged) {
    // A file where the holding area should be: no folder can be made in it.
    WriteFile(m_strApp + "/HoldingArea", "in the way");
    const std::string before = ReadFile(ConfigPath());
    EXPECT_FALSE(m_store->PredownloadComponent(Request("codec", "1", m_strPackage)));
    EXPECT_TRUE(Logged("PredownloadComponent: CopyFile failed: " + m_strPackage + "to " + Holding("codec/pkg.zrz")));
    EXPECT_EQ(ReadFile(ConfigPath()), before);
    EXPECT_EQ(ReadFile(m_strApp + "/HoldingArea"), "in the way");
}

}  // namespace
