// kettrinctl manifest keygen / sign / verify, checked against openssl.
#include <sys/stat.h>

#include "ManifestKey.h"
#include "ManifestTestUtil.h"

using namespace manifest_test;

namespace {

const std::string kCtl = std::string(KETTRIN_BINARY_DIR) + "/src/kettrinctl";
const std::string kDoc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Manifest version=\"2.0.1\"/>\n";

int Ctl(const std::string& args, std::string* out = nullptr) {
    return RunShell(ShellQuote(kCtl) + " manifest " + args + " 2>&1", out);
}

bool BuildUsesDevelopmentKey() {
    return std::string(zr::crypt::kManifestPublicKey) == zr::crypt::kDevelopmentManifestPublicKey;
}

}  // namespace

TEST(ManifestCtl, KeygenWritesPrivatePemAndPrintsPublicHex) {
    testsupport::ScratchMachine dir;
    std::string out;
    ASSERT_EQ(Ctl("keygen " + ShellQuote(dir / "k.pem"), &out), 0) << out;
    struct stat st {};
    ASSERT_EQ(::stat((dir / "k.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    std::string der;
    ASSERT_EQ(RunShell("openssl pkey -in " + ShellQuote(dir / "k.pem") + " -pubout -outform DER", &der), 0);
    EXPECT_EQ(out, ToHex(der) + "\n");
    EXPECT_EQ(out.size(), 189u);

    // An existing key is never replaced.
    const std::string before = ReadFile(dir / "k.pem");
    EXPECT_EQ(Ctl("keygen " + ShellQuote(dir / "k.pem"), &out), 1);
    EXPECT_EQ(ReadFile(dir / "k.pem"), before);
}

TEST(ManifestCtl, SignWithOpensslKeyVerifiesWithOpenssl) {
    testsupport::ScratchMachine dir;
    ASSERT_EQ(RunShell("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:512 -out " +
                       ShellQuote(dir / "k.pem") + " 2>/dev/null"), 0);
    WriteFile(dir / "in.xml", kDoc);
    std::string out;
    ASSERT_EQ(Ctl("sign --key " + ShellQuote(dir / "k.pem") + " " + ShellQuote(dir / "in.xml") + " " +
                  ShellQuote(dir / "out.xml"), &out), 0) << out;

    // Layout: 128 hex digits, LF, the document unchanged.
    const std::string signedFile = ReadFile(dir / "out.xml");
    ASSERT_EQ(signedFile.size(), 129 + kDoc.size());
    EXPECT_EQ(signedFile[128], '\n');
    EXPECT_EQ(signedFile.substr(129), kDoc);

    std::string bytes;
    for (std::size_t i = 0; i < 128; i += 2) {
        bytes += static_cast<char>(std::stoi(signedFile.substr(i, 2), nullptr, 16));
    }
    WriteFile(dir / "sig.bin", bytes);
    WriteFile(dir / "doc.xml", signedFile.substr(129));
    ASSERT_EQ(RunShell("openssl pkey -in " + ShellQuote(dir / "k.pem") + " -pubout -out " + ShellQuote(dir / "pub.pem")), 0);
    EXPECT_EQ(RunShell("openssl dgst -sha1 -verify " + ShellQuote(dir / "pub.pem") + " -signature " +
                       ShellQuote(dir / "sig.bin") + " " + ShellQuote(dir / "doc.xml"), &out), 0) << out;

    std::string der;
    ASSERT_EQ(RunShell("openssl pkey -in " + ShellQuote(dir / "k.pem") + " -pubout -outform DER", &der), 0);
    EXPECT_EQ(Ctl("verify --public-key " + ToHex(der) + " " + ShellQuote(dir / "out.xml"), &out), 0);
    EXPECT_EQ(out, "verified: legacy RSA-512/SHA-1, key given\n");
}

TEST(ManifestCtl, VerifyReportsTheReason) {
    testsupport::ScratchMachine dir;
    const std::string sig = OpensslSignHex(dir, kDevKeyPath, kDoc);
    ASSERT_EQ(sig.size(), 128u);
    const std::string pub = std::string(" --public-key ") + zr::crypt::kDevelopmentManifestPublicKey + " ";
    std::string out;

    WriteFile(dir / "ok.xml", sig + "\r\n" + kDoc);
    EXPECT_EQ(Ctl("verify" + pub + ShellQuote(dir / "ok.xml"), &out), 0);
    EXPECT_EQ(out, "verified: legacy RSA-512/SHA-1, key given\n");

    WriteFile(dir / "plain.xml", kDoc);
    EXPECT_EQ(Ctl("verify" + pub + ShellQuote(dir / "plain.xml"), &out), 1);
    EXPECT_NE(out.find("no signature line"), std::string::npos) << out;

    WriteFile(dir / "short.xml", sig.substr(2) + "\n" + kDoc);
    EXPECT_EQ(Ctl("verify" + pub + ShellQuote(dir / "short.xml"), &out), 1);
    EXPECT_NE(out.find("wrong length"), std::string::npos) << out;

    WriteFile(dir / "bad.xml", sig + "\n" + kDoc + "<!-- -->");
    EXPECT_EQ(Ctl("verify" + pub + ShellQuote(dir / "bad.xml"), &out), 1);
    EXPECT_NE(out.find("does not match"), std::string::npos) << out;

    EXPECT_EQ(Ctl("verify" + pub + ShellQuote(dir / "absent.xml"), &out), 1);

    // Without --public-key the build's own key decides.
    EXPECT_EQ(Ctl("verify " + ShellQuote(dir / "ok.xml"), &out), BuildUsesDevelopmentKey() ? 0 : 1);
}

TEST(ManifestCtl, SignRefusesWhatCouldNeverVerify) {
    testsupport::ScratchMachine dir;
    std::string out;
    const std::string key = " --key " + ShellQuote(kDevKeyPath) + " ";
    WriteFile(dir / "empty.xml", "");
    EXPECT_EQ(Ctl("sign" + key + ShellQuote(dir / "empty.xml") + " " + ShellQuote(dir / "o"), &out), 1);
    WriteFile(dir / "nul.xml", kDoc + std::string(1, '\0'));
    EXPECT_EQ(Ctl("sign" + key + ShellQuote(dir / "nul.xml") + " " + ShellQuote(dir / "o"), &out), 1);
    EXPECT_NE(out.find("NUL"), std::string::npos) << out;
    ASSERT_EQ(RunShell("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out " +
                       ShellQuote(dir / "k1024.pem") + " 2>/dev/null"), 0);
    WriteFile(dir / "in.xml", kDoc);
    EXPECT_EQ(Ctl("sign --key " + ShellQuote(dir / "k1024.pem") + " " + ShellQuote(dir / "in.xml") + " " +
                  ShellQuote(dir / "o"), &out), 1);
    EXPECT_NE(out.find("1024 bits"), std::string::npos) << out;
    EXPECT_NE(::access((dir / "o").c_str(), F_OK), 0);  // nothing written
}

TEST(ManifestCtl, UsageErrorsAndHelp) {
    std::string out;
    EXPECT_EQ(Ctl("", &out), 2);
    EXPECT_EQ(Ctl("frobnicate", &out), 2);
    EXPECT_EQ(Ctl("verify", &out), 2);
    EXPECT_EQ(Ctl("verify a b", &out), 2);
    EXPECT_EQ(Ctl("verify --public-key xyz f", &out), 2);
    EXPECT_EQ(Ctl("verify --public-key", &out), 2);
    EXPECT_EQ(Ctl("sign in out", &out), 2);
    EXPECT_EQ(Ctl("sign --key k in", &out), 2);
    EXPECT_EQ(Ctl("keygen", &out), 2);
    EXPECT_EQ(Ctl("keygen --force k", &out), 2);
    for (const char* help : {"--help", "sign --help", "verify -h", "keygen --help"}) {
        EXPECT_EQ(Ctl(help, &out), 0) << help;
        EXPECT_NE(out.find("usage: kettrinctl manifest"), std::string::npos) << help;
    }
}

TEST(ManifestCtl, ShowListsComponentsAsATable) {
    testsupport::ScratchMachine dir;
    const std::string xml =
        "<M version=\"1.2.3\">"
        "<Component name=\"Alpha\"><CompatibleClients><Client name=\"Jukebox\"><Version min=\"4.0.0\"/>"
        "<OEM>X</OEM></Client></CompatibleClients>"
        "<Plugin name=\"alpha.zrz\" version=\"1.0.0073\"><Update mandatory=\"true\"><URL>http://h/a.zrz</URL></Update>"
        "<Uninstall rule=\"CM\"/></Plugin></Component>"
        "<Component name=\"HiddenOne\"><Plugin hidden=\"1\"/></Component>"
        "<Component name=\"Broken\"/>"
        "</M>";
    WriteFile(dir / "in.xml", xml);
    std::string out;
    ASSERT_EQ(Ctl("sign --key " + ShellQuote(kDevKeyPath) + " " + ShellQuote(dir / "in.xml") + " " +
                  ShellQuote(dir / "s_Manifest.xml"), &out), 0) << out;
    const std::string pub = std::string(" --public-key ") + zr::crypt::kDevelopmentManifestPublicKey + " ";

    ASSERT_EQ(RunShell(ShellQuote(kCtl) + " manifest show" + pub + ShellQuote(dir / "s_Manifest.xml") +
                       " 2>/dev/null", &out), 0) << out;
    EXPECT_NE(out.find("version:  1.2.3\n"), std::string::npos) << out;
    EXPECT_NE(out.find("components: 3\n"), std::string::npos) << out;
    // Columns line up: every row's PLUGIN cell starts under the header's.
    std::istringstream lines(out);
    std::string line, header;
    std::vector<std::string> rows;
    while (std::getline(lines, line)) {
        if (line.rfind("COMPONENT", 0) == 0) header = line;
        else if (!header.empty()) rows.push_back(line);
    }
    ASSERT_EQ(rows.size(), 3u) << out;
    const std::size_t pluginColumn = header.find("PLUGIN");
    const std::size_t uninstallColumn = header.find("UNINSTALL");
    EXPECT_EQ(rows[0].find("alpha.zrz"), pluginColumn) << out;
    EXPECT_EQ(rows[0].find("CM", uninstallColumn), uninstallColumn) << out;
    EXPECT_NE(rows[0].find("Jukebox 4.0.0..* oem=X"), std::string::npos) << out;
    EXPECT_EQ(rows[1].rfind("HiddenOne", 0), 0u);
    EXPECT_NE(rows[1].find("yes"), std::string::npos);  // hidden
    EXPECT_NE(rows[2].find("unreadable"), std::string::npos) << out;

    // The log lines of the unreadable component go to standard error.
    ASSERT_EQ(RunShell(ShellQuote(kCtl) + " manifest show" + pub + ShellQuote(dir / "s_Manifest.xml") +
                       " 2>&1 >/dev/null", &out), 0);
    EXPECT_NE(out.find("mcComponentManifest::GetComponent, Invalid component, Broken"), std::string::npos) << out;

    // A client sees what its filters allow.
    EXPECT_EQ(Ctl("show" + pub + "--client Jukebox --version 4.1.0 --oem X " + ShellQuote(dir / "s_Manifest.xml"), &out), 0);
    EXPECT_NE(out.find("components: 3\n"), std::string::npos) << out;
    EXPECT_EQ(Ctl("show" + pub + "--client Jukebox --version 3.9.0 --oem X " + ShellQuote(dir / "s_Manifest.xml"), &out), 0);
    EXPECT_NE(out.find("components: 2\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("alpha.zrz"), std::string::npos) << out;

    // Not loaded: unsigned, not XML.
    EXPECT_EQ(Ctl("show" + pub + ShellQuote(dir / "in.xml"), &out), 1);
    EXPECT_NE(out.find("not loaded: no signature line"), std::string::npos) << out;
    WriteFile(dir / "bad.xml", "<M version=\"1\"><unclosed></M>");
    ASSERT_EQ(Ctl("sign --key " + ShellQuote(kDevKeyPath) + " " + ShellQuote(dir / "bad.xml") + " " +
                  ShellQuote(dir / "bad_Manifest.xml"), &out), 0);
    EXPECT_EQ(Ctl("show" + pub + ShellQuote(dir / "bad_Manifest.xml"), &out), 1);
    EXPECT_NE(out.find("Failed to load manifest file : "), std::string::npos) << out;

    // Texts of the file cannot break rows or reach the terminal as controls.
    WriteFile(dir / "ctl.xml",
              "<M version=\"1.0.0\"><Component name=\"Evil\xC2\x9B" "2J\"><Plugin name=\"p\" version=\"1\">"
              "<GUID>g&#10;Forged row</GUID><Update><URL>u</URL></Update></Plugin></Component></M>");
    ASSERT_EQ(Ctl("sign --key " + ShellQuote(kDevKeyPath) + " " + ShellQuote(dir / "ctl.xml") + " " +
                  ShellQuote(dir / "ctl_Manifest.xml"), &out), 0);
    ASSERT_EQ(RunShell(ShellQuote(kCtl) + " manifest show" + pub + ShellQuote(dir / "ctl_Manifest.xml") +
                       " 2>/dev/null", &out), 0) << out;
    EXPECT_NE(out.find("Evil?2J"), std::string::npos) << out;
    EXPECT_NE(out.find("g?Forged row"), std::string::npos) << out;
    EXPECT_EQ(out.find("\xC2\x9B"), std::string::npos) << out;
    EXPECT_EQ(out.find("\nForged"), std::string::npos) << out;

    EXPECT_EQ(Ctl("show --version 1.0.0 " + ShellQuote(dir / "s_Manifest.xml"), &out), 2);
    EXPECT_EQ(Ctl("show", &out), 2);
    EXPECT_EQ(Ctl("show --help", &out), 0);
}

// keygen --type, sign, verify and trust for both strong algorithms, with the
// keys and signatures checked by openssl.
TEST(ManifestCtl, StrongKeysSignVerifyAndTrustFolder) {
    testsupport::ScratchMachine dir;
    const std::string folder = dir / "trusted";
    const std::string trust = " --trusted-keys " + ShellQuote(folder) + " ";
    WriteFile(dir / "in.xml", kDoc);
    for (const char* type : {"ed25519", "rsa-sha256"}) {
        SCOPED_TRACE(type);
        const std::string key = dir / (std::string(type) + ".key");
        const std::string pub = dir / (std::string(type) + ".pub");
        const std::string out = dir / (std::string(type) + ".xml");
        std::string text;
        ASSERT_EQ(RunShell(ShellQuote(kCtl) + " manifest keygen --type " + type + " " + ShellQuote(key) + " > " +
                           ShellQuote(pub) + " 2>" + ShellQuote(dir / "err")),
                  0);
        // openssl derives the same public key; the key id is over its DER.
        ASSERT_EQ(RunShell("openssl pkey -in " + ShellQuote(key) + " -pubout 2>/dev/null", &text), 0);
        EXPECT_EQ(text, ReadFile(pub));
        std::string digest;
        ASSERT_EQ(RunShell("openssl pkey -in " + ShellQuote(key) + " -pubout -outform DER | openssl dgst -sha256 -r",
                           &digest),
                  0);
        const std::string keyId = digest.substr(0, 16);
        EXPECT_EQ(ReadFile(dir / "err"), "key id " + keyId + "\n");

        ASSERT_EQ(Ctl("sign --key " + ShellQuote(key) + " " + ShellQuote(dir / "in.xml") + " " + ShellQuote(out), &text),
                  0)
            << text;
        const std::string signedFile = ReadFile(out);
        EXPECT_EQ(signedFile.rfind(std::string("KSIG2 ") + type + " " + keyId + " ", 0), 0u);

        // Not trusted yet: refused, with the reason.
        EXPECT_EQ(Ctl("verify" + trust + ShellQuote(out), &text), 1);
        EXPECT_EQ(text, "not verified: no trusted key with the signature's key id and algorithm\n");

        EXPECT_EQ(Ctl("trust" + trust + "add " + ShellQuote(pub), &text), 0) << text;
        EXPECT_EQ(Ctl("trust" + trust + "add " + ShellQuote(pub), &text), 1);  // already there
        EXPECT_EQ(Ctl("verify" + trust + ShellQuote(out), &text), 0) << text;
        EXPECT_EQ(text, std::string("verified: KSIG2 ") + type + ", key id " + keyId + "\n");
        EXPECT_EQ(Ctl("--json verify" + trust + ShellQuote(out), &text), 0);
        std::string parsed;
        WriteFile(dir / "j.json", text);
        ASSERT_EQ(RunShell("python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
                           "print(d[\"form\"], d[\"algorithm\"], d[\"key_id\"], d[\"verified\"])' " +
                               ShellQuote(dir / "j.json"),
                           &parsed),
                  0)
            << text;
        EXPECT_EQ(parsed, std::string("KSIG2 ") + type + " " + keyId + " True\n");
        EXPECT_EQ(Ctl("trust" + trust + "list", &text), 0);
        EXPECT_NE(text.find(keyId + "  " + type), std::string::npos) << text;

        // openssl verifies what sign wrote.
        const std::size_t lineEnd = signedFile.find('\n');
        const std::string hex = signedFile.substr(signedFile.rfind(' ', lineEnd) + 1, lineEnd - signedFile.rfind(' ', lineEnd) - 1);
        std::string sig;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) sig += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        WriteFile(dir / "sig.bin", sig);
        WriteFile(dir / "doc.xml", signedFile.substr(lineEnd + 1));
        const std::string check =
            std::string(type) == "ed25519"
                ? "openssl pkeyutl -verify -rawin -pubin -inkey " + ShellQuote(pub) + " -in " + ShellQuote(dir / "doc.xml") +
                      " -sigfile " + ShellQuote(dir / "sig.bin")
                : "openssl dgst -sha256 -verify " + ShellQuote(pub) + " -signature " + ShellQuote(dir / "sig.bin") + " " +
                      ShellQuote(dir / "doc.xml");
        EXPECT_EQ(RunShell(check + " >/dev/null 2>&1"), 0);

        EXPECT_EQ(Ctl("trust" + trust + "remove " + keyId, &text), 0) << text;
        EXPECT_EQ(Ctl("trust" + trust + "remove " + keyId, &text), 1);
        EXPECT_EQ(Ctl("verify" + trust + ShellQuote(out), &text), 1);
    }
    std::string text;
    EXPECT_EQ(Ctl("keygen --type ed448 " + ShellQuote(dir / "x.key"), &text), 2);
    EXPECT_EQ(Ctl("trust" + trust + "remove xyz", &text), 2);
    EXPECT_EQ(Ctl("trust" + trust + "frob", &text), 2);
}
