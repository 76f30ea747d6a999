// The configuration file: loading and recovery, lookups, component records,
// registered clients.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "StoreTestUtil.h"

namespace {

using storetest::Compact;
using storetest::Exists;
using storetest::ReadFile;
using storetest::WriteFile;
using Strings = std::vector<std::string>;

constexpr const char* kLoadExc = "mcComponentConfig::PrvLoadFile mcExc exception";
constexpr const char* kLoadBad = "mcComponentConfig::PrvLoadFile Bad config file, creating new one";

class ComponentConfigTest : public storetest::StoreTest {
protected:
    // Writes a configuration file and opens a store on it.
    std::unique_ptr<mcComponentConfig> StoreWith(const std::string& xml) {
        WriteFile(ConfigPath(), xml);
        return NewStore();
    }
};

// ---------------------------------------------------------------------------
// Loading and recovery

TEST_F(ComponentConfigTest, FirstStartCreatesEmptyConfig) {
    auto store = NewStore();
    ASSERT_TRUE(Exists(ConfigPath()));
    EXPECT_EQ(Compact(ConfigPath()), "<Config/>");
    EXPECT_TRUE(Logged(kLoadExc));
    EXPECT_TRUE(Logged(kLoadBad));
    // Nothing to keep: no damaged copy for a file that was not there.
    EXPECT_FALSE(Exists(ConfigPath() + ".bad"));
    EXPECT_EQ(store->GetConfigPath(), ConfigPath());
    EXPECT_EQ(store->GetHoldingArea(), m_strApp + "/HoldingArea");
}

TEST_F(ComponentConfigTest, RecordsSurviveReload) {
    {
        auto store = NewStore();
        ASSERT_TRUE(store->AddClient({"jukebox", "4.0", "acme", "en"}));
        ASSERT_TRUE(store->SetComponentClient("codec", "jukebox"));
        ASSERT_TRUE(store->SetComponentState("codec", "installed", "1.00.0002"));
        ASSERT_TRUE(store->SetComponentManifest("codec", "main"));
    }
    ClearLog();
    auto store = NewStore();
    EXPECT_FALSE(Logged(kLoadBad));
    msClientRecord client;
    ASSERT_TRUE(store->GetClient("jukebox", client));
    EXPECT_EQ(client, (msClientRecord{"jukebox", "4.0", "acme", "en"}));
    std::string state;
    ASSERT_TRUE(store->GetComponentCurrentState("codec", state));
    EXPECT_EQ(state, "installed");
    EXPECT_TRUE(store->IsComponentOfClient("jukebox", "codec"));
    Strings manifests;
    EXPECT_TRUE(store->GetManifestsOfComponent("codec", manifests));
    EXPECT_EQ(manifests, Strings{"main"});
}

// Damaged files of every kind are kept aside, and the store starts empty.
TEST_F(ComponentConfigTest, DamagedFileIsKeptAsBad) {
    const std::vector<std::string> damaged = {
        "<Config><Component name=\"a\"><State value=\"installed\">",  // truncated
        "<Config><Component name=\"a\"></Config>",                     // malformed
        "",                                                            // empty
        std::string("\x00\x01\xff\xfe binary \x7f\x80", 14),           // binary
        "just text",
    };
    for (const std::string& content : damaged) {
        ClearLog();
        WriteFile(ConfigPath(), content);
        {
            auto store = NewStore();
            std::string state;
            EXPECT_FALSE(store->GetComponentCurrentState("a", state));
            EXPECT_TRUE(store->SetComponentName("fresh"));
        }
        EXPECT_EQ(ReadFile(ConfigPath() + ".bad"), content);
        EXPECT_TRUE(Logged(kLoadBad));
        EXPECT_TRUE(Logged("mcComponentConfig::PrvLoadFile damaged file kept as " + ConfigPath() + ".bad"));
        const std::string now = Compact(ConfigPath());
        EXPECT_NE(now.find("<Component name=\"fresh\"/>"), std::string::npos) << now;
    }
}

TEST_F(ComponentConfigTest, ConfigThatIsAFolderIsLeftAlone) {
    std::filesystem::create_directory(ConfigPath());
    WriteFile(ConfigPath() + "/keep", "mine");
    {
        auto store = NewStore();
        EXPECT_TRUE(Logged(kLoadBad));
        // Works in memory, but nothing can be saved over a folder.
        EXPECT_FALSE(store->SetComponentName("a"));
        EXPECT_TRUE(Logged("mcComponentConfig::PrvSaveFile mcExc exception"));
        std::string state;
        EXPECT_FALSE(store->GetComponentCurrentState("a", state));
    }
    EXPECT_TRUE(std::filesystem::is_directory(ConfigPath()));
    EXPECT_EQ(ReadFile(ConfigPath() + "/keep"), "mine");
    EXPECT_FALSE(Exists(ConfigPath() + ".bad"));
}

TEST_F(ComponentConfigTest, MissingApplicationFolderFailsWithoutCrashing) {
    mcComponentConfig::Settings settings{m_strDir + "/missing", m_strDir + "/missing/HoldingArea"};
    mcComponentConfig store(settings);
    EXPECT_FALSE(store.SetComponentName("a"));
    EXPECT_FALSE(store.AddClient({"c", "1", "o", "l"}));
    EXPECT_FALSE(Exists(m_strDir + "/missing"));
}

// ---------------------------------------------------------------------------
// Saving only what changed

// Every save writes a new file (the crash-safe writer renames a fresh one
// over it), so an unchanged inode means nothing was written.
ino_t FileId(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Operations that find everything as it should be write nothing and still
// succeed; each real change is on disk when its operation returns.
TEST_F(ComponentConfigTest, OnlyRealChangesAreWritten) {
    auto store = NewStore();
    ASSERT_TRUE(store->AddClient({"qorb", "1", "o", "en"}));
    ASSERT_TRUE(store->SetComponentClient("codec", "qorb"));
    ASSERT_TRUE(store->SetComponentState("codec", "installed", "1.0"));
    ASSERT_TRUE(store->SetComponentManifest("codec", "main"));
    const std::string before = ReadFile(ConfigPath());
    const ino_t nBefore = FileId(ConfigPath());
    ASSERT_NE(nBefore, 0u);

    const struct {
        const char* what;
        std::function<bool()> op;
    } unchanged[] = {
        {"client asked again", [&] { return store->SetComponentClient("codec", "qorb"); }},
        {"name again", [&] { return store->SetComponentName("codec"); }},
        {"same state and version", [&] { return store->SetComponentState("codec", "installed", "1.0"); }},
        {"manifest again", [&] { return store->SetComponentManifest("codec", "main"); }},
        {"same client record", [&] { return store->AddClient({"qorb", "1", "o", "en"}); }},
        {"unknown client removed", [&] { return store->RemoveClient("nobody"); }},
    };
    for (const auto& item : unchanged) {
        EXPECT_TRUE(item.op()) << item.what;
        EXPECT_EQ(FileId(ConfigPath()), nBefore) << item.what;
    }
    EXPECT_EQ(ReadFile(ConfigPath()), before);

    const struct {
        const char* what;
        std::function<bool()> op;
    } changed[] = {
        {"new client of the component", [&] { return store->SetComponentClient("codec", "player"); }},
        {"new version", [&] { return store->SetComponentState("codec", "installed", "1.1"); }},
        {"new component", [&] { return store->SetComponentName("other"); }},
        {"client record changed", [&] { return store->AddClient({"qorb", "2", "o", "en"}); }},
    };
    for (const auto& item : changed) {
        const ino_t nOld = FileId(ConfigPath());
        EXPECT_TRUE(item.op()) << item.what;
        EXPECT_NE(FileId(ConfigPath()), nOld) << item.what;
    }
    // The destructor finds nothing left to write.
    const ino_t nLast = FileId(ConfigPath());
    store.reset();
    EXPECT_EQ(FileId(ConfigPath()), nLast);
    store = NewStore();
    EXPECT_TRUE(store->IsComponentOfClient("player", "codec"));
    std::string version;
    EXPECT_TRUE(store->GetComponentVersion("codec", "installed", version));
    EXPECT_EQ(version, "1.1");
}

// ---------------------------------------------------------------------------
// Lookup rules

TEST_F(ComponentConfigTest, FirstComponentInDocumentOrderWins) {
    auto store = StoreWith(
        "<Config>"
        "<Component name=\"dup\"><State value=\"installed\"><installed version=\"1\"/></State></Component>"
        "<Component name=\"dup\"><State value=\"downloaded\"><downloaded version=\"2\"/></State></Component>"
        "</Config>");
    std::string state;
    ASSERT_TRUE(store->GetComponentCurrentState("dup", state));
    EXPECT_EQ(state, "installed");
    ASSERT_TRUE(store->SetComponentState("dup", "uninstalled", "3"));
    std::string version;
    EXPECT_TRUE(store->GetComponentVersion("dup", "uninstalled", version));
    EXPECT_EQ(version, "3");
    // The second one is untouched.
    const std::string file = Compact(ConfigPath());
    EXPECT_NE(file.find("<State value=\"downloaded\"><downloaded version=\"2\"/></State>"), std::string::npos)
        << file;
}

TEST_F(ComponentConfigTest, NamesMatchExactly) {
    auto store = StoreWith("<Config><Component name=\"Codec\"/></Config>");
    EXPECT_TRUE(store->SetComponentState("Codec", "downloaded", "1"));
    EXPECT_FALSE(store->SetComponentState("codec", "downloaded", "1"));
    EXPECT_FALSE(store->SetComponentState("Codec ", "downloaded", "1"));
}

TEST_F(ComponentConfigTest, NamelessComponentBeforeTheMatchHidesIt) {
    auto store = StoreWith(
        "<Config><Component name=\"a\"/><Component/><Component name=\"b\"/></Config>");
    ClearLog();
    EXPECT_FALSE(store->SetComponentState("b", "installed", "1"));
    EXPECT_TRUE(Logged("mcComponentConfig::PrvGetComponent mcExc exception: b"));
    EXPECT_TRUE(Logged("GetAttributeText: attribute not found"));
    // Before the nameless one, lookups work.
    EXPECT_TRUE(store->SetComponentState("a", "installed", "1"));
    // An unknown name also meets the nameless one.
    ClearLog();
    EXPECT_FALSE(store->SetComponentState("zzz", "installed", "1"));
    EXPECT_TRUE(Logged("mcComponentConfig::PrvGetComponent mcExc exception: zzz"));
    // Components of a client skip the nameless one.
    ASSERT_TRUE(store->SetComponentClient("a", "player"));
    Strings names;
    EXPECT_TRUE(store->GetComponentsOfClient("player", names));
    EXPECT_EQ(names, Strings{"a"});
}

TEST_F(ComponentConfigTest, ComponentsAreFoundAtAnyDepth) {
    // The lookup covers every "Component" of the document, in document order.
    auto store = StoreWith(
        "<Config><Group><Component name=\"deep\"><State value=\"installed\"/></Component></Group>"
        "<Component name=\"deep\"><State value=\"downloaded\"/></Component></Config>");
    std::string state;
    ASSERT_TRUE(store->GetComponentCurrentState("deep", state));
    EXPECT_EQ(state, "installed");
}

TEST_F(ComponentConfigTest, PartsMustBeSingle) {
    auto store = StoreWith(
        "<Config>"
        "<Component name=\"twoStates\"><State value=\"installed\"/><State value=\"downloaded\"/></Component>"
        "<Component name=\"noState\"/>"
        "<Component name=\"noValue\"><State/></Component>"
        "<Component name=\"twoLists\"><ClientList><Client>x</Client></ClientList>"
        "<ClientList><Client>x</Client></ClientList></Component>"
        "</Config>");
    std::string state = "untouched";
    ClearLog();
    EXPECT_FALSE(store->GetComponentCurrentState("twoStates", state));
    EXPECT_TRUE(Logged("mcComponentConfig::GetComponentCurrentState mcExc exception"));
    EXPECT_TRUE(Logged("GetChildElement: ambiguous child found"));
    ClearLog();
    EXPECT_FALSE(store->GetComponentCurrentState("noState", state));
    EXPECT_TRUE(Logged("mcComponentConfig::GetComponentCurrentState mcExc exception"));
    EXPECT_TRUE(Logged("GetChildElement: requested child not found"));
    EXPECT_FALSE(store->GetComponentCurrentState("noValue", state));
    EXPECT_EQ(state, "untouched");
    // Two client lists count as none.
    EXPECT_FALSE(store->IsComponentOfClient("x", "twoLists"));
    Strings clients;
    EXPECT_TRUE(store->GetClientsOfComponent("twoLists", clients));
    EXPECT_TRUE(clients.empty());
    // States of a component without a single "State": none.
    Strings states = {"stale"};
    EXPECT_TRUE(store->GetComponentStates("twoStates", states));
    EXPECT_TRUE(states.empty());
    EXPECT_FALSE(store->HasComponentStates("noState"));
}

TEST_F(ComponentConfigTest, IndexFollowsNewAndRemovedComponents) {
    auto store = NewStore();
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(store->SetComponentName("c" + std::to_string(i)));
    for (int i = 0; i < 50; i += 7) {
        ASSERT_TRUE(store->SetComponentState("c" + std::to_string(i), "downloaded", std::to_string(i)));
    }
    // A state named "Component" puts a nameless component inside "c3": from
    // then on, components after it cannot be found, as the walk says.
    ASSERT_TRUE(store->SetComponentState("c3", "Component", "9"));
    std::string state;
    EXPECT_TRUE(store->GetComponentCurrentState("c0", state));
    EXPECT_FALSE(store->GetComponentCurrentState("c7", state));
    // A fresh store on the same file sees the same thing.
    store.reset();
    store = NewStore();
    EXPECT_FALSE(store->GetComponentCurrentState("c7", state));
    EXPECT_TRUE(store->GetComponentCurrentState("c0", state));
    EXPECT_EQ(state, "downloaded");
}

TEST_F(ComponentConfigTest, IndexFollowsRemovedParts) {
    auto store = StoreWith(
        "<Config><Component name=\"a\" version=\"1\"><InstallPath><Component/></InstallPath></Component>"
        "<Component name=\"b\"><State value=\"installed\"/></Component></Config>");
    std::string state;
    EXPECT_FALSE(store->GetComponentCurrentState("b", state));
    // Removing "InstallPath" takes the nameless component with it.
    ASSERT_TRUE(store->CleanupUninstalledComponent("a", "", ""));
    ASSERT_TRUE(store->GetComponentCurrentState("b", state));
    EXPECT_EQ(state, "installed");
    // New components after that are found too, and the first one still wins.
    ASSERT_TRUE(store->SetComponentName("c"));
    ASSERT_TRUE(store->SetComponentState("c", "downloaded", "2"));
    ASSERT_TRUE(store->GetComponentCurrentState("c", state));
    EXPECT_EQ(state, "downloaded");
}

// ---------------------------------------------------------------------------
// States

TEST_F(ComponentConfigTest, StatesAccumulate) {
    auto store = NewStore();
    ASSERT_TRUE(store->SetComponentName("codec"));
    ASSERT_TRUE(store->SetComponentState("codec", "installed", "1"));
    ASSERT_TRUE(store->SetComponentState("codec", "uninstalled", "2"));
    ASSERT_TRUE(store->SetComponentState("codec", "installed", "3"));
    std::string state;
    ASSERT_TRUE(store->GetComponentCurrentState("codec", state));
    EXPECT_EQ(state, "installed");
    std::string version;
    ASSERT_TRUE(store->GetComponentVersion("codec", "installed", version));
    EXPECT_EQ(version, "3");
    ASSERT_TRUE(store->GetComponentVersion("codec", "uninstalled", version));
    EXPECT_EQ(version, "2");
    EXPECT_FALSE(store->GetComponentVersion("codec", "downloaded", version));
    const std::string file = Compact(ConfigPath());
    EXPECT_NE(file.find("<State value=\"installed\"><installed version=\"3\"/><uninstalled version=\"2\"/></State>"),
              std::string::npos)
        << file;
    Strings states;
    ASSERT_TRUE(store->GetComponentStates("codec", states));
    EXPECT_EQ(states, (Strings{"installed", "uninstalled"}));
    EXPECT_TRUE(store->HasComponentStates("codec"));
}

TEST_F(ComponentConfigTest, StatesAreReportedInFixedOrder) {
    auto store = StoreWith(
        "<Config><Component name=\"p\"><State value=\"installed\"><predownloaded version=\"1\"/>"
        "<installed version=\"2\"/><disabled version=\"3\"/><unknown version=\"4\"/></State></Component></Config>");
    Strings states = {"stale"};
    ASSERT_TRUE(store->GetComponentStates("p", states));
    EXPECT_EQ(states, (Strings{"installed", "disabled", "predownloaded"}));
    EXPECT_FALSE(store->GetComponentStates("unknown", states));
}

TEST_F(ComponentConfigTest, EmptyStateOrVersionIsRefusedAndNothingSaved) {
    auto store = NewStore();
    ASSERT_TRUE(store->SetComponentName("codec"));
    const std::string before = ReadFile(ConfigPath());
    EXPECT_FALSE(store->SetComponentState("codec", "installed", ""));
    EXPECT_TRUE(Logged("mcComponentConfig::PrvSetComponentState, bad strStateVersion Argument"));
    EXPECT_FALSE(store->SetComponentState("codec", "", "1"));
    EXPECT_TRUE(Logged("mcComponentConfig::PrvSetComponentState, bad strState Argument"));
    EXPECT_FALSE(store->SetComponentState("unknown", "installed", "1"));
    EXPECT_EQ(ReadFile(ConfigPath()), before);
    EXPECT_FALSE(store->HasComponentStates("codec"));
}

// ---------------------------------------------------------------------------
// Clients of components and the placeholder

TEST_F(ComponentConfigTest, PlaceholderGoesWhenARealClientComes) {
    auto store = NewStore();
    ASSERT_TRUE(store->SetComponentClient("codec", ""));
    Strings clients;
    ASSERT_TRUE(store->GetClientsOfComponent("codec", clients));
    EXPECT_EQ(clients, Strings{"CM"});
    ASSERT_TRUE(store->SetComponentClient("codec", "qorb"));
    ASSERT_TRUE(store->SetComponentClient("codec", "qorb"));  // no duplicate
    clients.clear();
    ASSERT_TRUE(store->GetClientsOfComponent("codec", clients));
    EXPECT_EQ(clients, Strings{"qorb"});
    ASSERT_TRUE(store->SetComponentClient("codec", "player"));
    clients.clear();
    ASSERT_TRUE(store->GetClientsOfComponent("codec", clients));
    EXPECT_EQ(clients, (Strings{"qorb", "player"}));
    EXPECT_TRUE(store->IsComponentOfClient("player", "codec"));
    EXPECT_FALSE(store->IsComponentOfClient("Player", "codec"));
    EXPECT_FALSE(store->IsComponentOfClient("player", "other"));
}

TEST_F(ComponentConfigTest, RemovingTheLastClientKeepsPlaceholderOnRequest) {
    auto store = NewStore();
    ASSERT_TRUE(store->SetComponentClient("kept", "qorb"));
    ASSERT_TRUE(store->SetComponentClient("emptied", "qorb"));
    ASSERT_TRUE(store->RemoveComponentClient("kept", "qorb", true));
    ASSERT_TRUE(store->RemoveComponentClient("emptied", "qorb", false));
    Strings clients;
    ASSERT_TRUE(store->GetClientsOfComponent("kept", clients));
    EXPECT_EQ(clients, Strings{"CM"});
    clients.clear();
    ASSERT_TRUE(store->GetClientsOfComponent("emptied", clients));
    EXPECT_TRUE(clients.empty());
    EXPECT_NE(Compact(ConfigPath()).find("<Component name=\"emptied\"><ClientList/></Component>"),
              std::string::npos);
}

TEST_F(ComponentConfigTest, RemovingAnUnlistedClientFailsWithoutSaving) {
    auto store = NewStore();
    ASSERT_TRUE(store->SetComponentClient("codec", "qorb"));
    const std::string before = ReadFile(ConfigPath());
    std::filesystem::remove(ConfigPath());
    EXPECT_FALSE(store->RemoveComponentClient("codec", "other", true));
    EXPECT_FALSE(store->RemoveComponentClient("unknown", "qorb", true));
    EXPECT_FALSE(Exists(ConfigPath()));  // nothing was saved
    // Nothing changed in memory either: an operation that changes nothing
    // itself finds nothing to write, and the next real change writes the
    // records as they were plus that change.
    ASSERT_TRUE(store->SetComponentName("codec"));
    EXPECT_FALSE(Exists(ConfigPath()));
    ASSERT_TRUE(store->SetComponentName("second"));
    EXPECT_EQ(Compact(ConfigPath()),
              "<Config><Component name=\"codec\"><ClientList><Client>qorb</Client></ClientList></Component>"
              "<Component name=\"second\"/></Config>");
    EXPECT_NE(before.find("<Client>qorb</Client>"), std::string::npos);
}

TEST_F(ComponentConfigTest, ComponentsOfClientInDocumentOrder) {
    auto store = NewStore();
    ASSERT_TRUE(store->SetComponentClient("b", "qorb"));
    ASSERT_TRUE(store->SetComponentClient("a", "other"));
    ASSERT_TRUE(store->SetComponentClient("c", "qorb"));
    ASSERT_TRUE(store->SetComponentName("d"));
    Strings names = {"before"};
    ASSERT_TRUE(store->GetComponentsOfClient("qorb", names));
    EXPECT_EQ(names, (Strings{"before", "b", "c"}));
}

TEST_F(ComponentConfigTest, ManifestsAreKeptOnce) {
    auto store = NewStore();
    Strings manifests;
    EXPECT_TRUE(store->GetManifestsOfComponent("unknown", manifests));
    EXPECT_TRUE(manifests.empty());
    EXPECT_FALSE(store->SetComponentManifest("unknown", "main"));
    ASSERT_TRUE(store->SetComponentName("codec"));
    EXPECT_TRUE(store->GetManifestsOfComponent("codec", manifests));
    EXPECT_TRUE(manifests.empty());
    ASSERT_TRUE(store->SetComponentManifest("codec", "main"));
    ASSERT_TRUE(store->SetComponentManifest("codec", "extra"));
    ASSERT_TRUE(store->SetComponentManifest("codec", "main"));
    ASSERT_TRUE(store->GetManifestsOfComponent("codec", manifests));
    EXPECT_EQ(manifests, (Strings{"main", "extra"}));
}

TEST_F(ComponentConfigTest, CleanupUninstalledComponent) {
    auto store = StoreWith(
        "<Config><Component name=\"codec\" version=\"1.2\" autoupdate=\"true\">"
        "<State value=\"installed\"><installed version=\"1.2\"/></State>"
        "<ClientList><Client>qorb</Client><Client>player</Client></ClientList>"
        "<InstallPath>/opt/codec</InstallPath><Uninstall><Exe>/bin/un</Exe><Cmdline>-x</Cmdline></Uninstall>"
        "<ManifestList><Manifest>main</Manifest><Manifest>extra</Manifest></ManifestList>"
        "</Component><Component name=\"noversion\"><State value=\"installed\"><installed version=\"1\"/></State>"
        "</Component></Config>");
    ASSERT_TRUE(store->CleanupUninstalledComponent("codec", "qorb", "main"));
    std::string state;
    ASSERT_TRUE(store->GetComponentCurrentState("codec", state));
    EXPECT_EQ(state, "uninstalled");
    std::string version;
    ASSERT_TRUE(store->GetComponentVersion("codec", "uninstalled", version));
    EXPECT_EQ(version, "1.2");
    Strings clients;
    ASSERT_TRUE(store->GetClientsOfComponent("codec", clients));
    EXPECT_EQ(clients, Strings{"player"});
    Strings manifests;
    ASSERT_TRUE(store->GetManifestsOfComponent("codec", manifests));
    EXPECT_EQ(manifests, Strings{"extra"});
    std::string exe = "untouched", cmdline = "untouched";
    EXPECT_FALSE(store->GetComponentUninstall("codec", exe, cmdline));
    EXPECT_EQ(exe, "untouched");
    EXPECT_EQ(Compact(ConfigPath()).find("InstallPath"), std::string::npos);
    // Without a "version" attribute only the state change is skipped.
    ClearLog();
    EXPECT_TRUE(store->CleanupUninstalledComponent("noversion", "", ""));
    // The missing attribute fails its reader like any required one: the
    // reader's two lines come first, then the state setter's refusal.
    const std::string log = Log();
    const std::size_t nReader = log.find(" : mcComponentConfig::PrvGetComponentVersion mcExc exception\n");
    const std::size_t nText = log.find("attribute not found", nReader == std::string::npos ? 0 : nReader);
    const std::size_t nRefused =
        log.find(" : mcComponentConfig::PrvSetComponentState, bad strStateVersion Argument\n");
    ASSERT_NE(nReader, std::string::npos) << log;
    ASSERT_NE(nRefused, std::string::npos) << log;
    EXPECT_LT(nText, nRefused) << log;
    ASSERT_TRUE(store->GetComponentCurrentState("noversion", state));
    EXPECT_EQ(state, "installed");
    EXPECT_FALSE(store->CleanupUninstalledComponent("unknown", "", ""));
}

TEST_F(ComponentConfigTest, UninstallCommandPartsAreReadWhereTheyExist) {
    auto store = StoreWith(
        "<Config><Component name=\"a\"><Uninstall><Exe>/bin/un</Exe></Uninstall></Component></Config>");
    std::string exe, cmdline = "untouched";
    ASSERT_TRUE(store->GetComponentUninstall("a", exe, cmdline));
    EXPECT_EQ(exe, "/bin/un");
    EXPECT_EQ(cmdline, "untouched");
    std::string value = "untouched";
    EXPECT_FALSE(store->GetComponentAutoUpdate("a", value));
    EXPECT_EQ(value, "untouched");
}

// Text that XML 1.0 cannot hold is refused instead of making the file
// unloadable.
TEST_F(ComponentConfigTest, TextThatXmlCannotHoldIsRefused) {
    auto store = NewStore();
    ASSERT_TRUE(store->SetComponentName("codec"));
    EXPECT_FALSE(store->AddClient({std::string("bad\x01name"), "1", "o", "l"}));
    EXPECT_FALSE(store->SetComponentState("codec", "installed", "1\x02"));
    EXPECT_FALSE(store->SetComponentState("codec", "installed", std::string("\xff\xfe")));
    EXPECT_FALSE(store->SetComponentName(std::string("x\x1f")));
    EXPECT_TRUE(store->SetComponentClient("codec", "ok \xc3\xa9\t"));
    store.reset();
    ClearLog();
    store = NewStore();
    EXPECT_FALSE(Logged(kLoadBad));
    EXPECT_TRUE(store->IsComponentOfClient("ok \xc3\xa9\t", "codec"));
    EXPECT_FALSE(store->HasComponentStates("codec"));
}

// ---------------------------------------------------------------------------
// Registered clients

TEST_F(ComponentConfigTest, RegisteredClients) {
    auto store = NewStore();
    msClientRecord record;
    EXPECT_FALSE(store->GetClient("jukebox", record));
    EXPECT_TRUE(store->RemoveClient("jukebox"));
    ASSERT_TRUE(store->AddClient({"jukebox", "4.0", "acme", "en"}));
    ASSERT_TRUE(store->AddClient({"other", "1", "x", "de"}));
    ASSERT_TRUE(store->AddClient({"jukebox", "4.1", "acme", "fr"}));
    ASSERT_TRUE(store->GetClient("jukebox", record));
    EXPECT_EQ(record, (msClientRecord{"jukebox", "4.1", "acme", "fr"}));
    EXPECT_EQ(Compact(ConfigPath()).find("4.0"), std::string::npos);
    // Client lists of components are independent.
    ASSERT_TRUE(store->SetComponentClient("codec", "jukebox"));
    ASSERT_TRUE(store->RemoveClient("jukebox"));
    EXPECT_FALSE(store->GetClient("jukebox", record));
    EXPECT_TRUE(store->GetClient("other", record));
    EXPECT_TRUE(store->IsComponentOfClient("jukebox", "codec"));
    EXPECT_TRUE(store->RemoveClient("unknown"));
}

TEST_F(ComponentConfigTest, ClientWithMissingAttributeFails) {
    auto store = StoreWith(
        "<Config><ClientList><Client name=\"half\" version=\"1\"/><Group><Client name=\"deep\" version=\"2\" "
        "oem=\"o\" lang=\"l\"/></Group></ClientList><Component name=\"x\"><ClientList>"
        "<Client name=\"inner\" version=\"1\" oem=\"o\" lang=\"l\"/></ClientList></Component></Config>");
    msClientRecord record{"keep", "keep", "keep", "keep"};
    ClearLog();
    EXPECT_FALSE(store->GetClient("half", record));
    EXPECT_EQ(record.name, "keep");
    EXPECT_TRUE(Logged("mcComponentConfig::GetClient mcExc exception"));
    // Clients are found at any depth of the top-level list, only there.
    EXPECT_TRUE(store->GetClient("deep", record));
    EXPECT_FALSE(store->GetClient("inner", record));
}

}  // namespace
