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
    TempDir dir;
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
    TempDir dir;
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
    EXPECT_EQ(out, "verified\n");
}

TEST(ManifestCtl, VerifyReportsTheReason) {
    TempDir dir;
    const std::string sig = OpensslSignHex(dir, kDevKeyPath, kDoc);
    ASSERT_EQ(sig.size(), 128u);
    const std::string pub = std::string(" --public-key ") + zr::crypt::kDevelopmentManifestPublicKey + " ";
    std::string out;

    WriteFile(dir / "ok.xml", sig + "\r\n" + kDoc);
    EXPECT_EQ(Ctl("verify" + pub + ShellQuote(dir / "ok.xml"), &out), 0);
    EXPECT_EQ(out, "verified\n");

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
    TempDir dir;
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
