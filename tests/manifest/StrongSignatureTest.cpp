// Strong ("KSIG2") manifest signatures: openssl interoperability both ways for
// both algorithms, the trusted-key folder, and the policy on the legacy form.
#include "ManifestKey.h"
#include "ManifestTestUtil.h"
#include "base/mcCMLog.h"
#include "manifest/StrongCrypt.h"
#include "manifest/mcComponentManifest.h"
#include "manifest/mcSignedFile.h"
#include "manifest/mcTrustedKeys.h"
#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"

using namespace manifest_test;
using Status = mcSignedFile::meStatus;
using zr::crypt::meKeyType;

namespace {

const std::string kDoc = "<?xml version=\"1.0\"?>\n<Manifest version=\"1.00.0001\"><Component name=\"a\"/></Manifest>\n";

struct msAlgorithmCase {
    meKeyType eType;
    const char* pszGenpkey;  // openssl genpkey arguments
};
const msAlgorithmCase kAlgorithms[] = {
    {meKeyType::kEd25519, "-algorithm ed25519"},
    {meKeyType::kRsaSha256, "-algorithm rsa -pkeyopt rsa_keygen_bits:2048"},
};

class StrongSignatureTest : public ::testing::Test {
protected:
    // Another suite may have closed the run's log.
    void SetUp() override {
        ASSERT_TRUE(mcCMLog::Instance().Open(std::filesystem::path(g_strLogPath).parent_path().string()));
    }
    // openssl makes a key pair; the public half goes into the trusted-key folder.
    // Returns the private key's path.
    std::string OpensslKey(const msAlgorithmCase& c, const std::string& name) {
        const std::string priv = dir / (name + ".key");
        const std::string pub = keys + "/" + name + ".pem";
        std::filesystem::create_directories(keys);
        EXPECT_EQ(RunShell("openssl genpkey " + std::string(c.pszGenpkey) + " -out " + ShellQuote(priv) +
                           " 2>/dev/null && openssl pkey -in " + ShellQuote(priv) + " -pubout -out " +
                           ShellQuote(pub) + " 2>/dev/null"),
                  0);
        return priv;
    }
    // Key id as openssl computes it: SHA-256 of the DER SubjectPublicKeyInfo.
    std::string OpensslKeyId(const std::string& privPath) {
        std::string out;
        EXPECT_EQ(RunShell("openssl pkey -in " + ShellQuote(privPath) + " -pubout -outform DER 2>/dev/null | "
                           "openssl dgst -sha256 -r",
                           &out),
                  0);
        return out.substr(0, zr::crypt::kKeyIdHexDigits);
    }
    std::string OpensslSign(meKeyType eType, const std::string& privPath, const std::string& document) {
        WriteFile(dir / "doc", document);
        const std::string cmd =
            eType == meKeyType::kEd25519
                ? "openssl pkeyutl -sign -rawin -inkey " + ShellQuote(privPath) + " -in " + ShellQuote(dir / "doc") +
                  " -out " + ShellQuote(dir / "sig")
                : "openssl dgst -sha256 -sign " + ShellQuote(privPath) + " -out " + ShellQuote(dir / "sig") + " " +
                      ShellQuote(dir / "doc");
        EXPECT_EQ(RunShell(cmd + " 2>/dev/null"), 0);
        return ToHex(ReadFile(dir / "sig"));
    }
    std::shared_ptr<const msTrustPolicy> Policy(bool bRequireStrong = false) {
        auto p = std::make_shared<msTrustPolicy>();
        p->strBuiltinKeyHex = zr::crypt::kDevelopmentManifestPublicKey;
        p->pKeys = std::make_shared<const mcTrustedKeys>(mcTrustedKeys::LoadFolder(keys));
        p->bRequireStrong = bRequireStrong;
        return p;
    }
    mcSignedFile Load(const std::string& bytes, bool bRequireStrong = false) {
        WriteFile(dir / "m.xml", bytes);
        return mcSignedFile(dir / "m.xml", *Policy(bRequireStrong));
    }
    std::string LegacySigned() { return OpensslSignHex(dir, kDevKeyPath, kDoc) + "\n" + kDoc; }

    testsupport::ScratchMachine dir;
    std::string keys = dir / "trusted-keys";
};

}  // namespace

TEST_F(StrongSignatureTest, OpensslSignsWeVerify) {
    for (const auto& c : kAlgorithms) {
        SCOPED_TRACE(zr::crypt::AlgorithmName(c.eType));
        const std::string priv = OpensslKey(c, "k");
        const std::string keyId = OpensslKeyId(priv);
        const std::string sig = OpensslSign(c.eType, priv, kDoc);
        const std::string line = std::string("KSIG2 ") + zr::crypt::AlgorithmName(c.eType) + " " + keyId + " " + sig;
        for (const char* end : {"\n", "\r\n", "\r"}) {
            mcSignedFile file = Load(line + end + kDoc + std::string(1, '\0'));
            EXPECT_TRUE(file.IsVerified()) << mcSignedFile::StatusText(file.GetStatus());
            EXPECT_EQ(file.GetForm(), mcSignedFile::meForm::kStrong);
            EXPECT_EQ(file.GetKeyId(), keyId);
            EXPECT_EQ(file.GetDocument(), kDoc);
        }
        // One changed byte of the document, then of the signature.
        std::string changed = kDoc;
        changed[10] ^= 1;
        EXPECT_EQ(Load(line + "\n" + changed).GetStatus(), Status::kMismatch);
        std::string badSig = sig;
        badSig[4] = badSig[4] == '0' ? '1' : '0';
        EXPECT_EQ(Load(std::string("KSIG2 ") + zr::crypt::AlgorithmName(c.eType) + " " + keyId + " " + badSig +
                       "\n" + kDoc)
                      .GetStatus(),
                  Status::kMismatch);
        std::filesystem::remove_all(keys);
    }
}

TEST_F(StrongSignatureTest, WeSignOpensslVerifies) {
    for (const auto& c : kAlgorithms) {
        SCOPED_TRACE(zr::crypt::AlgorithmName(c.eType));
        const zr::crypt::msStrongKeyPair pair = zr::crypt::StrongGenerateKey(c.eType);
        WriteFile(dir / "priv.pem", pair.privateKeyPem);
        WriteFile(dir / "pub.pem", pair.publicKeyPem);
        // openssl reads our private key and derives the same public key and id.
        std::string derived;
        ASSERT_EQ(RunShell("openssl pkey -in " + ShellQuote(dir / "priv.pem") + " -pubout 2>/dev/null", &derived), 0);
        EXPECT_EQ(derived, pair.publicKeyPem);
        EXPECT_EQ(OpensslKeyId(dir / "priv.pem"), pair.keyId);

        const zr::crypt::msStrongSignature sig = zr::crypt::StrongSign(pair.privateKeyPem, kDoc);
        EXPECT_EQ(sig.strKeyId, pair.keyId);
        std::string bytes;
        for (std::size_t i = 0; i + 1 < sig.strSignatureHex.size(); i += 2) {
            bytes += static_cast<char>(std::stoi(sig.strSignatureHex.substr(i, 2), nullptr, 16));
        }
        WriteFile(dir / "sig", bytes);
        WriteFile(dir / "doc", kDoc);
        const std::string common = " -in " + ShellQuote(dir / "doc") + " -sigfile " + ShellQuote(dir / "sig");
        const std::string cmd =
            c.eType == meKeyType::kEd25519
                ? "openssl pkeyutl -verify -rawin -pubin -inkey " + ShellQuote(dir / "pub.pem") + common
                : "openssl dgst -sha256 -verify " + ShellQuote(dir / "pub.pem") + " -signature " +
                      ShellQuote(dir / "sig") + " " + ShellQuote(dir / "doc");
        EXPECT_EQ(RunShell(cmd + " >/dev/null 2>&1"), 0);
        WriteFile(dir / "doc", kDoc + " ");
        EXPECT_NE(RunShell(cmd + " >/dev/null 2>&1"), 0);  // the check can fail

        // And the composed file loads through the trusted-key folder.
        std::filesystem::create_directories(keys);
        WriteFile(keys + "/ours.pem", pair.publicKeyPem);
        EXPECT_TRUE(Load(mcSignedFile::ComposeStrong(sig, kDoc)).IsVerified());
        std::filesystem::remove_all(keys);
    }
}

TEST_F(StrongSignatureTest, LinesThatDoNotVerify) {
    const std::string edPriv = OpensslKey(kAlgorithms[0], "ed");
    const std::string rsaPriv = OpensslKey(kAlgorithms[1], "rsa");
    const std::string edId = OpensslKeyId(edPriv);
    const std::string rsaId = OpensslKeyId(rsaPriv);
    const std::string edSig = OpensslSign(meKeyType::kEd25519, edPriv, kDoc);
    const std::string legacySig = OpensslSignHex(dir, kDevKeyPath, kDoc);
    struct {
        std::string line;
        Status expected;
    } cases[] = {
        {"KSIG2 ed25519 " + edId + " " + edSig, Status::kVerified},
        {"KSIG2 ed25519 0123456789abcdef " + edSig, Status::kUnknownKey},      // wrong key id
        {"KSIG2 ed25519 " + rsaId + " " + edSig, Status::kUnknownKey},         // id of a key of the other type
        {"KSIG2 rsa-sha256 " + edId + " " + edSig, Status::kUnknownKey},
        {"KSIG2 ed448 " + edId + " " + edSig, Status::kUnknownAlgorithm},
        {"KSIG2 ed25519 " + edId.substr(1) + " " + edSig, Status::kBadStrongLine},  // 15-digit id
        {"KSIG2 ed25519  " + edId + " " + edSig, Status::kBadStrongLine},          // double space
        {"KSIG2 ed25519 " + edId + " " + edSig + " x", Status::kBadStrongLine},
        {"KSIG2 ed25519 " + edId + " zz" + edSig, Status::kBadStrongLine},
        {"KSIG2 ed25519 " + edId + " " + edSig.substr(2), Status::kMismatch},  // short signature
        {"KSIG2 " + std::string(9000, 'a'), Status::kBadStrongLine},           // no line end in reach
        // A legacy signature behind the prefix is not read as the legacy form.
        {"KSIG2 " + legacySig, Status::kBadStrongLine},
    };
    for (const auto& c : cases) {
        mcSignedFile file = Load(c.line + "\n" + kDoc);
        EXPECT_EQ(file.GetStatus(), c.expected) << c.line.substr(0, 60);
        EXPECT_EQ(file.IsVerified(), c.expected == Status::kVerified);
    }
    // A legacy-only reader (no trusted keys) refuses the strong form.
    WriteFile(dir / "m.xml", cases[0].line + "\n" + kDoc);
    EXPECT_EQ(mcSignedFile(dir / "m.xml", zr::crypt::kDevelopmentManifestPublicKey).GetStatus(), Status::kUnknownKey);
}

TEST_F(StrongSignatureTest, KeyFolderSkipsWhatIsNotAUsableKey) {
    OpensslKey(kAlgorithms[0], "good-ed");
    OpensslKey(kAlgorithms[1], "good-rsa");
    ASSERT_EQ(RunShell("openssl genpkey -algorithm rsa -pkeyopt rsa_keygen_bits:1024 2>/dev/null | "
                       "openssl pkey -pubout -out " + ShellQuote(keys + "/short-rsa.pem") + " 2>/dev/null"),
              0);
    ASSERT_EQ(RunShell("openssl pkey -in " + ShellQuote(kDevKeyPath) + " -pubout -out " +
                       ShellQuote(keys + "/dev-512.pem") + " 2>/dev/null"),
              0);
    WriteFile(keys + "/junk.pem", "hello\n");
    WriteFile(keys + "/empty.pem", "");
    WriteFile(keys + "/private.pem", ReadFile(dir / "good-ed.key"));
    WriteFile(keys + "/bad-base64.pem", "-----BEGIN PUBLIC KEY-----\n!!!!\n-----END PUBLIC KEY-----\n");
    WriteFile(keys + "/huge.pem", std::string(mcTrustedKeys::kMaxKeyFileSize + 1, 'A'));
    std::filesystem::create_directories(keys + "/subfolder");

    LogCapture log;
    const mcTrustedKeys trusted = mcTrustedKeys::LoadFolder(keys);
    ASSERT_EQ(trusted.GetKeys().size(), 2u);
    EXPECT_NE(trusted.Find(OpensslKeyId(dir / "good-ed.key")), nullptr);
    EXPECT_NE(trusted.Find(OpensslKeyId(dir / "good-rsa.key")), nullptr);
    EXPECT_EQ(trusted.GetSkipped().size(), 8u);
    EXPECT_EQ(log.Count("Trusted key skipped : "), 8u);
    EXPECT_TRUE(log.Contains("short-rsa.pem : RSA key of 1024 bits")) << log.Text();
    // A missing folder is simply empty.
    EXPECT_TRUE(mcTrustedKeys::LoadFolder(dir / "absent").GetKeys().empty());
}

TEST_F(StrongSignatureTest, PolicyRefusesTheLegacyFormOnlyWhenSet) {
    const std::string legacy = LegacySigned();
    EXPECT_TRUE(Load(legacy, false).IsVerified());
    EXPECT_EQ(Load(legacy, true).GetStatus(), Status::kLegacyRefused);

    // Through the registry and the manifest loader, with its log lines.
    const std::string path = dir / "p_Manifest.xml";
    WriteFile(path, legacy);
    core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
    auto key = root.CreateSubKey(mcCMUtils::kRegistryKey);
    key.SetValueString(mcTrustedKeys::kTrustedKeysPathValue, keys);
    const auto load = [&] {
        return mcComponentManifest(msManifestFile{path, zr::crypt::kDevelopmentManifestPublicKey,
                                                  msTrustPolicy::FromRegistry(zr::crypt::kDevelopmentManifestPublicKey)})
            .IsLoaded();
    };
    EXPECT_TRUE(load());  // absent: both forms
    key.SetValueDWord(mcTrustedKeys::kRequireStrongValue, 0);
    EXPECT_TRUE(load());
    key.SetValueDWord(mcTrustedKeys::kRequireStrongValue, 1);
    LogCapture log;
    EXPECT_FALSE(load());
    EXPECT_TRUE(log.Contains("Improperly signed Manifest : " + path + "\n")) << log.Text();
    EXPECT_TRUE(log.Contains("RequireStrongSignature is set")) << log.Text();

    // The strong form still loads under the policy, its key found through the registry's folder.
    const zr::crypt::msStrongKeyPair pair = zr::crypt::StrongGenerateKey(meKeyType::kEd25519);
    std::filesystem::create_directories(keys);
    WriteFile(keys + "/k.pem", pair.publicKeyPem);
    WriteFile(path, mcSignedFile::ComposeStrong(zr::crypt::StrongSign(pair.privateKeyPem, kDoc), kDoc));
    EXPECT_TRUE(load());
}
