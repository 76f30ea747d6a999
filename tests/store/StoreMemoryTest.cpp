// A store lives as long as the service: what its operations take out of the
// document (replaced texts, removed clients, paths and commands) must not stay
// allocated for the rest of the process, and freeing it must change nothing
// that is recorded.
#include <gtest/gtest.h>
#include <malloc.h>

#include <string>
#include <vector>

#include "StoreTestUtil.h"

namespace {

using storetest::ReadFile;
using Strings = std::vector<std::string>;

class StoreMemoryTest : public storetest::StoreTest {
protected:
    static std::string InstallText(const std::string& path, const std::string& exe) {
        return "<Data name=\"codec\" version=\"1.0\"><ManifestName>main</ManifestName>"
               "<Install result=\"success\"/><InstallPath>" + path + "</InstallPath><ErrorCode>0</ErrorCode>"
               "<Uninstall><Exe>" + exe + "</Exe><Cmdline>-q</Cmdline></Uninstall></Data>";
    }
    // Bytes in use on this thread's heap and in mapped blocks.
    static std::size_t HeapInUse() {
        const struct mallinfo2 info = mallinfo2();
        return info.uordblks + info.hblkhd;
    }
};

TEST_F(StoreMemoryTest, ReplacedTextIsFreed) {
    auto store = NewStore();
    store->SetCompactionThreshold(3);
    const std::string big(64 * 1024, 'p');
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(store->SetComponentInstallData("qorb", InstallText(big + "a", "x")));
    const std::size_t nBefore = HeapInUse();
    // Each report replaces the 64 KB install path: kept, that is 768 KB more.
    for (int i = 0; i < 12; ++i) {
        ASSERT_TRUE(store->SetComponentInstallData("qorb", InstallText(big + std::to_string(i), "x")));
    }
    const std::size_t nAfter = HeapInUse();
    EXPECT_LT(nAfter, nBefore + 256 * 1024) << "grew by " << (nAfter - nBefore) << " bytes";
    std::string exe, cmdline;
    ASSERT_TRUE(store->GetComponentUninstall("codec", exe, cmdline));
    EXPECT_EQ(exe, "x");
}

// The same operations on a store that frees after every removal and on one
// that never does leave the same file and answer every lookup alike.
TEST_F(StoreMemoryTest, FreeingChangesNothingRecorded) {
    const std::string strOther = m_strDir + "/other";
    ASSERT_EQ(mkdir(strOther.c_str(), 0755), 0);
    auto compacting = NewStore();
    auto keeping = std::make_unique<mcComponentConfig>(mcComponentConfig::Settings{strOther, strOther + "/HA"});
    compacting->SetCompactionThreshold(1);
    keeping->SetCompactionThreshold(1000000);
    std::vector<mcComponentConfig*> stores{compacting.get(), keeping.get()};
    for (mcComponentConfig* store : stores) {
        ASSERT_TRUE(store->AddClient({"qorb", "1", "o", "en"}));
        ASSERT_TRUE(store->AddClient({"player", "2", "o", "de"}));
        ASSERT_TRUE(store->SetComponentClient("codec", ""));
        ASSERT_TRUE(store->SetComponentClient("codec", "qorb"));  // drops "CM"
        ASSERT_TRUE(store->SetComponentClient("codec", "player"));
        ASSERT_TRUE(store->SetComponentState("codec", "downloaded", "1.0"));
        ASSERT_TRUE(store->SetComponentInstallData("qorb", InstallText("/opt/codec", "/bin/un")));
        ASSERT_TRUE(store->SetComponentInstallData("qorb", InstallText("/opt/codec2 &amp; more", "/bin/un2")));
        ASSERT_TRUE(store->SetComponentName("second"));
        ASSERT_TRUE(store->SetComponentManifest("second", "main"));
        ASSERT_TRUE(store->RemoveClient("player"));
        ASSERT_TRUE(store->RemoveComponentClient("codec", "player", true));
        ASSERT_TRUE(store->CleanupUninstalledComponent("codec", "qorb", "main"));
        ASSERT_TRUE(store->SetComponentClient("second", "qorb"));
        // Lookups right after the document was rebuilt find the same elements.
        Strings names;
        ASSERT_TRUE(store->GetComponentsOfClient("qorb", names));
        EXPECT_EQ(names, Strings{"second"});
        Strings states;
        ASSERT_TRUE(store->GetComponentStates("codec", states));
        EXPECT_EQ(states, (Strings{"downloaded", "installed", "uninstalled"}));
    }
    EXPECT_EQ(ReadFile(ConfigPath()), ReadFile(strOther + "/ComponentMgrConfig.xml"));
    EXPECT_NE(ReadFile(ConfigPath()).find("second"), std::string::npos);
}

}  // namespace
