// Component manifests: loading, component records, client filtering, failure lines.
#include <atomic>
#include <cctype>
#include <memory>
#include <thread>

#include "ManifestKey.h"
#include "ManifestTestUtil.h"
#include "base/mcTraceViewer.h"
#include "xml/miXMLDOMDocument.h"
#include "manifest/Crypt.h"
#include "manifest/mcComponentManifest.h"
#include "manifest/mcSignedFile.h"

using namespace manifest_test;

namespace {

const char* const kFullManifest = R"(<?xml version="1.0" encoding="UTF-8"?>
<ComponentManifest version="1.02.0003">
  <Component name="Visualizer" friendlyName="Visual Effects">
    <ClientData><Skin id="7">dark</Skin></ClientData>
    <CompatibleClients>
      <Client name="Jukebox">
        <Version min="4.0.0" max="4.9.99"/>
        <OEM>X</OEM><OEM>Y</OEM>
        <LANG>en</LANG><LANG>de</LANG>
      </Client>
      <Client name="Tuner"/>
    </CompatibleClients>
    <Plugin name="vis.zrz" version="1.0.0073">
      <GUID>{0F1E2D3C-0000-1111-2222-333344445555}</GUID>
      <Availability state="false"/>
      <Update mandatory="yes"><URL>http://dl.example/vis.zrz</URL></Update>
      <Install><Cmdline>/quiet /x</Cmdline></Install>
      <Uninstall rule="CM"/>
    </Plugin>
  </Component>
  <Group>
    <Component name="Radio">
      <IncompatibleClients>
        <Client name="Jukebox"><Version max="3.9.9"/></Client>
      </IncompatibleClients>
      <Plugin name="radio.zrz" version="2.1.0"><Update><URL>http://dl.example/radio.zrz</URL></Update>
        <Uninstall rule="Client"/></Plugin>
    </Component>
  </Group>
  <Component name="Plain">
    <Plugin name="plain.zrz" version="1.0.0"><Update><URL>u</URL></Update><Uninstall rule="cm"/></Plugin>
  </Component>
  <Component friendlyName="no name"><Plugin name="n" version="1.0.0"><Update><URL>u</URL></Update></Plugin></Component>
</ComponentManifest>
)";

msClientRecord Client(std::string name, std::string version = "", std::string oem = "", std::string lang = "") {
    return msClientRecord{std::move(name), std::move(version), std::move(oem), std::move(lang)};
}

class ComponentManifestTest : public ::testing::Test {
protected:
    // Signs xml with the development key and writes the signed file.
    std::string WriteSigned(const std::string& xml, const std::string& fileName = "m_Manifest.xml",
                            const char* lineEnd = "\n") {
        const std::string sig = zr::crypt::RSASign(ReadFile(kDevKeyPath), xml);
        WriteFile(dir / fileName, sig + lineEnd + xml);
        return dir / fileName;
    }
    std::unique_ptr<mcComponentManifest> Load(const std::string& xml) {
        return std::make_unique<mcComponentManifest>(
            msManifestFile{WriteSigned(xml), zr::crypt::kDevelopmentManifestPublicKey});
    }
    static std::string Wrap(const std::string& body, const std::string& rootAttrs = " version=\"1.0.0\"") {
        return "<M" + rootAttrs + ">" + body + "</M>";
    }
    static std::string PlainComponent(const std::string& name, const std::string& inner = "") {
        return "<Component name=\"" + name + "\">" + inner +
               "<Plugin name=\"p\" version=\"1.0.0\"><Update><URL>u</URL></Update></Plugin></Component>";
    }
    static std::vector<std::string> List(const mcComponentManifest& m, const msClientRecord& client) {
        std::vector<std::string> names;
        EXPECT_TRUE(m.GetComponents(client, names));
        return names;
    }
    testsupport::ScratchMachine dir;
};

}  // namespace

TEST_F(ComponentManifestTest, ReadsEveryPartOfAComponent) {
    auto m = Load(kFullManifest);
    ASSERT_TRUE(m->IsLoaded());
    EXPECT_EQ(m->GetVersion(), "1.02.0003");

    mcManifestComponent c;
    ASSERT_TRUE(m->GetComponent("Visualizer", c));
    EXPECT_EQ(c.m_strName, "Visualizer");
    EXPECT_EQ(c.m_strClientData, "<ClientData><Skin id=\"7\">dark</Skin></ClientData>");
    const mcManifestPlugin& p = c.m_plugin;
    EXPECT_EQ(p.m_strName, "vis.zrz");
    EXPECT_EQ(p.m_strVersion, "1.0.0073");
    EXPECT_EQ(p.m_strGUID, "{0F1E2D3C-0000-1111-2222-333344445555}");
    EXPECT_EQ(p.m_strInstallCmdline, "/quiet /x");
    EXPECT_EQ(p.m_nUninstallRule, mcManifestPlugin::kUninstallRuleCM);
    EXPECT_TRUE(p.m_bMandatory);
    EXPECT_EQ(p.m_strUpdateURL, "http://dl.example/vis.zrz");
    EXPECT_FALSE(p.m_bAvailable);
    EXPECT_FALSE(p.m_bHidden);

    ASSERT_EQ(c.m_vecCompatibleClients.size(), 2u);
    EXPECT_TRUE(c.m_vecIncompatibleClients.empty());
    const mcClientFilter& f = c.m_vecCompatibleClients[0];
    EXPECT_EQ(f.m_strName, "Jukebox");
    EXPECT_EQ(f.m_strMinVersion, "4.0.0");
    EXPECT_EQ(f.m_strMaxVersion, "4.9.99");
    EXPECT_EQ(f.m_vecOEMs, (std::vector<std::string>{"X", "Y"}));
    EXPECT_EQ(f.m_vecLangs, (std::vector<std::string>{"en", "de"}));
    EXPECT_EQ(c.m_vecCompatibleClients[1].m_strName, "Tuner");
    EXPECT_TRUE(c.m_vecCompatibleClients[1].m_strMinVersion.empty());

    // Defaults of the optional parts; rule "Client"; components at any depth.
    ASSERT_TRUE(m->GetComponent("Radio", c));
    EXPECT_TRUE(c.m_strClientData.empty());
    EXPECT_TRUE(c.m_plugin.m_strGUID.empty());
    EXPECT_TRUE(c.m_plugin.m_strInstallCmdline.empty());
    EXPECT_TRUE(c.m_plugin.m_bAvailable);
    EXPECT_FALSE(c.m_plugin.m_bMandatory);
    EXPECT_EQ(c.m_plugin.m_nUninstallRule, mcManifestPlugin::kUninstallRuleClient);
    ASSERT_EQ(c.m_vecIncompatibleClients.size(), 1u);
    EXPECT_EQ(c.m_vecIncompatibleClients[0].m_strMaxVersion, "3.9.9");

    // "cm" is not "CM".
    ASSERT_TRUE(m->GetComponent("Plain", c));
    EXPECT_EQ(c.m_plugin.m_nUninstallRule, mcManifestPlugin::kUninstallRuleNone);
}

TEST_F(ComponentManifestTest, FriendlyNameAndClientData) {
    auto m = Load(kFullManifest);
    std::string text;
    EXPECT_TRUE(m->GetComponentFriendlyName("Visualizer", text));
    EXPECT_EQ(text, "Visual Effects");
    EXPECT_TRUE(m->GetComponentFriendlyName("Plain", text));
    EXPECT_EQ(text, "Plain");

    EXPECT_TRUE(m->GetComponentClientData("Visualizer", text));
    EXPECT_EQ(text, "<ClientData><Skin id=\"7\">dark</Skin></ClientData>");
    text = "stale";
    EXPECT_FALSE(m->GetComponentClientData("Plain", text));
    EXPECT_TRUE(text.empty());

    LogCapture log;
    EXPECT_FALSE(m->GetComponentFriendlyName("Nope", text));
    EXPECT_FALSE(m->GetComponentClientData("Nope", text));
    EXPECT_TRUE(log.Contains("mcComponentManifest::GetComponentFriendlyName, Invalid component, Nope\n"));
    EXPECT_TRUE(log.Contains("mcComponentManifest::GetComponentClientData, Invalid component, Nope\n"));
}

TEST_F(ComponentManifestTest, ClientFiltering) {
    auto m = Load(kFullManifest);
    // No particular client: every named component, document order, unnamed skipped.
    EXPECT_EQ(List(*m, Client("")), (std::vector<std::string>{"Visualizer", "Radio", "Plain"}));
    // A client name with an empty record otherwise is still filtered by name.
    EXPECT_EQ(List(*m, Client("Other")), (std::vector<std::string>{"Radio", "Plain"}));

    // Compatible list: version inside [min, max], bounds inclusive, OEM and LANG lists.
    EXPECT_TRUE(m->IsComponentForClient("Visualizer", Client("Jukebox", "4.0.0", "Y", "de")));
    EXPECT_TRUE(m->IsComponentForClient("Visualizer", Client("Jukebox", "4.9.99", "X", "en")));
    EXPECT_FALSE(m->IsComponentForClient("Visualizer", Client("Jukebox", "4.10.0", "X", "en")));
    EXPECT_FALSE(m->IsComponentForClient("Visualizer", Client("Jukebox", "3.99.0", "X", "en")));
    EXPECT_FALSE(m->IsComponentForClient("Visualizer", Client("Jukebox", "4.5.0", "Z", "en")));
    EXPECT_FALSE(m->IsComponentForClient("Visualizer", Client("Jukebox", "4.5.0", "X", "fr")));
    EXPECT_TRUE(m->IsComponentForClient("Visualizer", Client("Tuner", "0.0.1", "any", "any")));
    EXPECT_FALSE(m->IsComponentForClient("Visualizer", Client("jukebox", "4.5.0", "X", "en")));

    // Incompatible list: Jukebox up to 3.9.9 is refused.
    EXPECT_FALSE(m->IsComponentForClient("Radio", Client("Jukebox", "3.9.9")));
    EXPECT_TRUE(m->IsComponentForClient("Radio", Client("Jukebox", "4.0.0")));
    EXPECT_TRUE(m->IsComponentForClient("Radio", Client("Tuner", "1.0.0")));

    EXPECT_EQ(List(*m, Client("Jukebox", "4.1.0", "X", "en")),
              (std::vector<std::string>{"Visualizer", "Radio", "Plain"}));
    EXPECT_EQ(List(*m, Client("Jukebox", "3.0.0", "X", "en")), (std::vector<std::string>{"Plain"}));

    // GetComponents appends.
    std::vector<std::string> names{"keep"};
    EXPECT_TRUE(m->GetComponents(Client("Jukebox", "3.0.0"), names));
    EXPECT_EQ(names, (std::vector<std::string>{"keep", "Plain"}));

    // Unknown components are not filtered (and say so in the log).
    LogCapture log;
    EXPECT_TRUE(m->IsComponentForClient("Nope", Client("Jukebox", "1.0.0")));
    EXPECT_TRUE(log.Contains("mcComponentManifest::GetComponent, Invalid component, Nope\n"));
}

TEST_F(ComponentManifestTest, MissingVersionUsesThePlaceholder) {
    LogCapture log;
    auto m = Load("<M>" + PlainComponent("A") + "</M>");
    EXPECT_TRUE(m->IsLoaded());
    EXPECT_EQ(m->GetVersion(), "0.00.0000");
    EXPECT_TRUE(log.Contains("missing version in manifest file : " + m->GetPath() + "\n"));
}

TEST_F(ComponentManifestTest, VerifiedButNotXmlIsNotLoaded) {
    LogCapture log;
    auto m = Load("<M version=\"1.0.0\"><Component name=\"A\"></M>");
    EXPECT_FALSE(m->IsLoaded());
    const std::string text = log.Text();
    const std::size_t failed = text.find("Failed to load manifest file : " + m->GetPath() + "\n");
    ASSERT_NE(failed, std::string::npos) << text;
    EXPECT_NE(text.find("ZRXML: Unable to load XML from buffer", failed), std::string::npos) << text;

    mcManifestComponent c;
    c.m_strName = "untouched";
    EXPECT_FALSE(m->GetComponent("A", c));
    EXPECT_EQ(c.m_strName, "untouched");
    std::vector<std::string> names;
    EXPECT_FALSE(m->GetComponents(Client(""), names));
    EXPECT_TRUE(m->GetVersion().empty());
}

TEST_F(ComponentManifestTest, ImproperlySignedIsNotLoaded) {
    const std::string xml = Wrap(PlainComponent("A"));
    const std::string path = WriteSigned(xml);
    std::string bytes = ReadFile(path);
    bytes[bytes.size() - 3] = 'X';  // tamper with the document
    WriteFile(path, bytes);
    {
        LogCapture log;
        mcComponentManifest m(msManifestFile{path, zr::crypt::kDevelopmentManifestPublicKey});
        EXPECT_FALSE(m.IsLoaded());
        EXPECT_TRUE(log.Contains("Improperly signed Manifest : " + path + "\n"));
    }
    // Unsigned XML, a missing file, another key.
    WriteFile(path, xml);
    EXPECT_FALSE(mcComponentManifest(msManifestFile{path, zr::crypt::kDevelopmentManifestPublicKey}).IsLoaded());
    EXPECT_FALSE(mcComponentManifest(msManifestFile{dir / "absent", zr::crypt::kDevelopmentManifestPublicKey}).IsLoaded());
    WriteSigned(xml);
    EXPECT_FALSE(mcComponentManifest(msManifestFile{path, zr::crypt::RSAGenerateKey().publicKeyHex}).IsLoaded());
    // CR LF after the signature and a UTF-8 declaration load fine.
    WriteSigned("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n" + xml, "m_Manifest.xml", "\r\n");
    EXPECT_TRUE(mcComponentManifest(msManifestFile{path, zr::crypt::kDevelopmentManifestPublicKey}).IsLoaded());
}

TEST_F(ComponentManifestTest, BothClientListsFailGetComponentButFilterNothing) {
    const std::string socketPath = dir.TraceSocketPath();
    mcTraceViewer viewer;
    std::string error;
    ASSERT_TRUE(viewer.Bind(socketPath, &error)) << error;

    auto m = Load(Wrap(PlainComponent("Both",
        "<ClientData>cd</ClientData>"
        "<CompatibleClients><Client name=\"A\"/></CompatibleClients>"
        "<IncompatibleClients><Client name=\"B\"/><Client name=\"C\"/></IncompatibleClients>")));
    ASSERT_TRUE(m->IsLoaded());
    LogCapture log;
    mcManifestComponent c;
    EXPECT_FALSE(m->GetComponent("Both", c));
    EXPECT_TRUE(log.Contains(
        "mcComponentManifest::GetComponent, Found Compatible and Incompatible Element tags for Both\n"));
    // As far as it got: the name and the incompatible list.
    EXPECT_EQ(c.m_strName, "Both");
    ASSERT_EQ(c.m_vecIncompatibleClients.size(), 2u);
    EXPECT_TRUE(c.m_vecCompatibleClients.empty());
    EXPECT_TRUE(c.m_plugin.m_strName.empty());

    for (const char* name : {"A", "B", "Z"}) {
        EXPECT_TRUE(m->IsComponentForClient("Both", Client(name, "1.0.0"))) << name;
    }
    EXPECT_EQ(List(*m, Client("B", "1.0.0")), (std::vector<std::string>{"Both"}));
    // The client data is still there for who asks for it.
    std::string text;
    EXPECT_TRUE(m->GetComponentClientData("Both", text));
    EXPECT_EQ(text, "<ClientData>cd</ClientData>");

    bool bFound = false;
    while (auto datagram = viewer.Receive(bFound ? 0 : 2000)) {
        if (datagram->command == mcDiagTrace::kCmdLine &&
            datagram->text == "Assertion failed,\"! NOLOC(\"::GetComponent : Found Compatible and "
                              "Incompatible Element tags\")\",mcComponentManifest::GetComponent(),"
                              "mcComponentManifest.cpp(526)") {
            bFound = true;
        }
    }
    EXPECT_TRUE(bFound) << "no assertion report";
}

TEST_F(ComponentManifestTest, DuplicatedAndMissingComponents) {
    auto m = Load(Wrap(PlainComponent("Dup") + "<G>" + PlainComponent("Dup") + "</G>" + PlainComponent("One")));
    ASSERT_TRUE(m->IsLoaded());
    LogCapture log;
    mcManifestComponent c;
    c.m_strName = "stale";
    EXPECT_FALSE(m->GetComponent("Dup", c));
    EXPECT_EQ(c, mcManifestComponent());  // reset
    EXPECT_FALSE(m->GetComponent("Missing", c));
    EXPECT_TRUE(log.Contains("mcComponentManifest::GetComponent, Invalid component, Dup\n"));
    EXPECT_TRUE(log.Contains("mcComponentManifest::GetComponent, Invalid component, Missing\n"));
    std::string text;
    EXPECT_FALSE(m->GetComponentFriendlyName("Dup", text));
    EXPECT_TRUE(m->GetComponent("One", c));
    // Every named element is listed; unreadable ones are not filtered.
    EXPECT_EQ(List(*m, Client("X", "1.0.0")), (std::vector<std::string>{"Dup", "Dup", "One"}));
    // Names are exact: "one" is not "One".
    EXPECT_FALSE(m->GetComponent("one", c));
}

TEST_F(ComponentManifestTest, RequiredPluginParts) {
    auto m = Load(Wrap(
        "<Component name=\"NoPlugin\"/>"
        "<Component name=\"NoUpdate\"><Plugin name=\"p\" version=\"1.0.0\"><URL>u</URL></Plugin></Component>"
        "<Component name=\"NoURL\"><Plugin name=\"p\" version=\"1.0.0\"><Update/></Plugin></Component>"
        "<Component name=\"NoName\"><Plugin version=\"1.0.0\"><Update><URL>u</URL></Update></Plugin></Component>"
        "<Component name=\"NoVersion\"><Plugin name=\"p\"><Update><URL>u</URL></Update></Plugin></Component>"
        "<Component name=\"TwoPlugins\"><Plugin name=\"p\" version=\"1\"><Update><URL>u</URL></Update></Plugin>"
        "<Plugin name=\"q\" version=\"1\"><Update><URL>u</URL></Update></Plugin></Component>"
        "<Component name=\"Ok\"><Plugin name=\"p\" version=\"1\"><Update><URL>u</URL></Update></Plugin></Component>"));
    ASSERT_TRUE(m->IsLoaded());
    for (const char* name : {"NoPlugin", "NoUpdate", "NoURL", "NoName", "NoVersion", "TwoPlugins"}) {
        LogCapture log;
        mcManifestComponent c;
        EXPECT_FALSE(m->GetComponent(name, c)) << name;
        EXPECT_EQ(c, mcManifestComponent()) << name;
        EXPECT_TRUE(log.Contains(std::string("mcComponentManifest::GetComponent, Invalid component, ") + name + "\n"));
        // Their friendly name is still known.
        std::string text;
        EXPECT_TRUE(m->GetComponentFriendlyName(name, text)) << name;
    }
    mcManifestComponent c;
    EXPECT_TRUE(m->GetComponent("Ok", c));
}

TEST_F(ComponentManifestTest, HiddenPlugins) {
    auto m = Load(Wrap(
        "<Component name=\"Hidden\"><Plugin hidden=\"true\" name=\"p\" version=\"1.0.0\"><GUID>g</GUID>"
        "<Update mandatory=\"1\"><URL>u</URL></Update><Uninstall rule=\"CM\"/></Plugin></Component>"
        "<Component name=\"HiddenBare\"><Plugin hidden=\"YES\"/></Component>"
        "<Component name=\"Shown\"><Plugin hidden=\"false\" name=\"p\" version=\"1.0.0\">"
        "<Update><URL>u</URL></Update></Plugin></Component>"
        "<Component name=\"Unreadable\"><Plugin hidden=\"maybe\" name=\"p\" version=\"1.0.0\">"
        "<Update><URL>u</URL></Update></Plugin></Component>"));
    ASSERT_TRUE(m->IsLoaded());
    mcManifestComponent c;
    for (const char* name : {"Hidden", "HiddenBare"}) {
        ASSERT_TRUE(m->GetComponent(name, c)) << name;
        mcManifestPlugin expected;
        expected.m_bHidden = true;
        EXPECT_EQ(c.m_plugin, expected) << name;  // nothing else read
    }
    // hidden="false" is an ordinary plug-in, and so is an unreadable value.
    for (const char* name : {"Shown", "Unreadable"}) {
        ASSERT_TRUE(m->GetComponent(name, c)) << name;
        EXPECT_FALSE(c.m_plugin.m_bHidden);
        EXPECT_EQ(c.m_plugin.m_strName, "p");
        EXPECT_EQ(c.m_plugin.m_strUpdateURL, "u");
    }
}

TEST_F(ComponentManifestTest, ClientEntryWithoutNameEndsTheList) {
    auto m = Load(Wrap(PlainComponent("C",
        "<CompatibleClients><Client name=\"A\"><OEM>o</OEM></Client><Client/><Client name=\"B\"/></CompatibleClients>")));
    ASSERT_TRUE(m->IsLoaded());
    for (int round = 0; round < 2; ++round) {  // logged on every query
        LogCapture log;
        mcManifestComponent c;
        ASSERT_TRUE(m->GetComponent("C", c));
        ASSERT_EQ(c.m_vecCompatibleClients.size(), 1u);
        EXPECT_EQ(c.m_vecCompatibleClients[0].m_strName, "A");
        EXPECT_EQ(c.m_vecCompatibleClients[0].m_vecOEMs, std::vector<std::string>{"o"});
        const std::string text = log.Text();
        EXPECT_NE(text.find("Exception in mcComponentManifest::LoadClientFilter\n"), std::string::npos) << text;
        EXPECT_NE(text.find("GetAttributeText: attribute not found"), std::string::npos) << text;
    }
    EXPECT_FALSE(m->IsComponentForClient("C", Client("B")));
    EXPECT_TRUE(m->IsComponentForClient("C", Client("A", "", "o")));
    EXPECT_FALSE(m->IsComponentForClient("C", Client("A")));  // oem not listed
}

TEST_F(ComponentManifestTest, LoadClientFilterOnADocument) {
    miXMLDOMDocument doc;
    doc.loadXML("<CompatibleClients><Client name=\"A\"><Version min=\"1.0.0\"/><LANG>en</LANG></Client>"
                "<X><Client name=\"B\"/></X></CompatibleClients>");
    std::vector<mcClientFilter> out(3);
    ASSERT_TRUE(mcComponentManifest::LoadClientFilter(doc.GetDocumentElement(), out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].m_strMinVersion, "1.0.0");
    EXPECT_TRUE(out[0].m_strMaxVersion.empty());
    EXPECT_EQ(out[0].m_vecLangs, std::vector<std::string>{"en"});
    EXPECT_EQ(out[1].m_strName, "B");  // any depth below the list
    EXPECT_TRUE(mcComponentManifest::MatchClientFilter(out[0], Client("A", "1.0.0", "", "en")));
    EXPECT_FALSE(mcComponentManifest::MatchClientFilter(out[0], Client("A", "0.9.0", "", "en")));
}

TEST_F(ComponentManifestTest, ByNameInTheApplicationFolder) {
    if (std::string(zr::crypt::kManifestPublicKey) != zr::crypt::kDevelopmentManifestPublicKey) {
        GTEST_SKIP() << "this build carries another manifest key";
    }
    EXPECT_EQ(mcComponentManifest::PathFor(dir.Path() + "/", "Core", false), dir / "Core_Manifest.xml");
    EXPECT_EQ(mcComponentManifest::PathFor(dir.Path(), "Core", true), dir / "Core_Manifest.tmp");
    WriteSigned(Wrap(PlainComponent("A"), " version=\"3.0.0\""), "Core_Manifest.xml");
    WriteSigned(Wrap(PlainComponent("A"), " version=\"3.0.1\""), "Core_Manifest.tmp");
    mcComponentManifest current(dir.Path(), "Core", false);
    mcComponentManifest candidate(dir.Path(), "Core", true);
    EXPECT_TRUE(current.IsLoaded());
    EXPECT_EQ(current.GetVersion(), "3.0.0");
    EXPECT_EQ(candidate.GetVersion(), "3.0.1");
    EXPECT_FALSE(mcComponentManifest(dir.Path(), "Other", false).IsLoaded());
}

TEST_F(ComponentManifestTest, SharedAcrossThreads) {
    std::string body;
    for (int i = 0; i < 200; ++i) {
        const std::string filter = i % 2 == 0
            ? "<CompatibleClients><Client name=\"A\"><Version min=\"1.0." + std::to_string(i) + "\"/></Client></CompatibleClients>"
            : "";
        body += PlainComponent("c" + std::to_string(i), filter);
    }
    std::shared_ptr<const mcComponentManifest> m = Load(Wrap(body));
    ASSERT_TRUE(m->IsLoaded());
    const std::vector<std::string> expected = List(*m, Client("A", "1.0.100"));
    ASSERT_EQ(expected.size(), 100u + 51u);  // odd ones plus even ones up to 100

    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 50; ++round) {
                std::vector<std::string> names;
                mcManifestComponent c;
                if (!m->GetComponents(Client("A", "1.0.100"), names) || names != expected) ++mismatches;
                if (!m->GetComponent("c42", c) || c.m_vecCompatibleClients.size() != 1) ++mismatches;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(ComponentManifestTest, PackageHashOfTheUpdateElement) {
    const std::string kHex = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
    std::string upper = kHex;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    struct Case {
        const char* name;
        std::string attribute;  // markup inside <Update ...>; "" for none
        bool loads;
        std::string hash;  // expected m_strPackageSha256 when it loads
    };
    const std::vector<Case> cases = {
        {"None", "", true, ""},
        {"Lower", " sha256=\"" + kHex + "\"", true, kHex},
        {"Upper", " sha256=\"" + upper + "\"", true, kHex},
        {"Empty", " sha256=\"\"", false, ""},
        {"Short", " sha256=\"" + kHex.substr(1) + "\"", false, ""},
        {"Long", " sha256=\"" + kHex + "0\"", false, ""},
        {"NotHex", " sha256=\"" + kHex.substr(1) + "g\"", false, ""},
        {"Blank", " sha256=\" " + kHex.substr(1) + "\"", false, ""},
    };
    std::string body;
    for (const Case& c : cases) {
        body += std::string("<Component name=\"") + c.name + "\"><Plugin name=\"p\" version=\"1.0.0\"><Update" +
                c.attribute + "><URL>u</URL></Update></Plugin></Component>";
    }
    auto m = Load(Wrap(body));
    ASSERT_TRUE(m->IsLoaded());
    for (const Case& c : cases) {
        LogCapture log;
        mcManifestComponent record;
        EXPECT_EQ(m->GetComponent(c.name, record), c.loads) << c.name;
        EXPECT_EQ(record.m_strPackageSha256, c.hash) << c.name;
        if (!c.loads) {
            EXPECT_TRUE(log.Contains(std::string("mcComponentManifest::GetComponent, Invalid component, ") +
                                     c.name + "\n"));
        }
    }
}
