#pragma once
// Strong manifest signatures beside the 512-bit RSA/SHA-1 ones of Crypt.h:
// Ed25519 and RSASSA-PKCS1-v1_5 with SHA-256 (moduli of at least kMinStrongRsaBits).
// Public keys travel as PEM X.509 SubjectPublicKeyInfo ("BEGIN PUBLIC KEY"),
// private keys as unencrypted PEM PKCS#8 ("BEGIN PRIVATE KEY"), both as openssl
// writes them; signatures as hex digits. A key's id is the first kKeyIdHexDigits
// lower-case hex digits of the SHA-256 of its DER SubjectPublicKeyInfo.
//
// All functions are reentrant and may run on any thread. Failures surface as
// zr::crypt::Exception whose description says what is wrong with the input.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "manifest/Crypt.h"

namespace zr::crypt {

enum class meKeyType {
    kEd25519,    // "ed25519"
    kRsaSha256,  // "rsa-sha256"
};

inline constexpr unsigned kMinStrongRsaBits = 2048;
inline constexpr unsigned kDefaultStrongRsaBits = 3072;
inline constexpr std::size_t kKeyIdHexDigits = 16;

// "ed25519" or "rsa-sha256".
const char* AlgorithmName(meKeyType eType);
// The type named exactly so; nullopt for any other text.
std::optional<meKeyType> AlgorithmFromName(std::string_view name);

// A decoded, usable public key.
struct msPublicKey {
    meKeyType eType = meKeyType::kEd25519;
    std::string strDer;    // DER SubjectPublicKeyInfo as re-encoded here
    std::string strKeyId;  // kKeyIdHexDigits lower-case hex digits
    unsigned nBits = 0;    // RSA modulus bits; 256 for Ed25519
};

// First kKeyIdHexDigits hex digits of SHA-256(der), lower case.
std::string KeyIdOf(const std::string& der);

// Decodes a PEM public key. Throws Exception when the text is not PEM
// SubjectPublicKeyInfo, the key is neither Ed25519 nor RSA, or an RSA modulus is
// shorter than kMinStrongRsaBits.
msPublicKey PublicKeyFromPem(const std::string& pem);
// PEM "BEGIN PUBLIC KEY" text of key.strDer.
std::string PublicKeyToPem(const msPublicKey& key);

// The type a PEM PKCS#8 private key signs with: kEd25519, kRsaSha256 for RSA of
// kMinStrongRsaBits or more, nullopt for the 512-bit RSA key of the legacy form.
// Throws Exception for anything else (other sizes, other algorithms, not PEM).
std::optional<meKeyType> StrongTypeOfPrivateKey(const std::string& privateKeyPem);

// Whether signatureHex (hex digits, either case) is key's signature of message.
// False for malformed hex or a signature of the wrong length; throws only
// Exception "Bad Input Parameters" for an empty message.
bool StrongVerify(const msPublicKey& key, const std::string& message, const std::string& signatureHex);

struct msStrongSignature {
    meKeyType eType = meKeyType::kEd25519;
    std::string strKeyId;
    std::string strSignatureHex;  // lower case
};

// Signs message (not empty) with a strong PEM PKCS#8 private key; throws
// Exception when the key is not one StrongTypeOfPrivateKey gives a type for.
msStrongSignature StrongSign(const std::string& privateKeyPem, const std::string& message);
// The public half of a strong private key.
msPublicKey StrongPublicKeyFromPrivatePem(const std::string& privateKeyPem);

struct msStrongKeyPair {
    std::string privateKeyPem;  // PKCS#8
    std::string publicKeyPem;   // SubjectPublicKeyInfo
    std::string keyId;
};
// A new key pair from the system's random source (RSA: kDefaultStrongRsaBits).
msStrongKeyPair StrongGenerateKey(meKeyType eType);

}  // namespace zr::crypt
