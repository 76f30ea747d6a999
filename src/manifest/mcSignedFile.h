#pragma once
// Reader of a signed manifest file: a signature line ended by CR, LF or CR LF,
// then the document, which is exactly the signed bytes; a single 0 byte at the
// very end is not part of the document. The signature line takes one of two forms:
//   legacy: 128 hex digits (either case), RSA-512/SHA-1 with the built-in key;
//   strong: "KSIG2 <algorithm> <key id> <hex signature>", algorithm "ed25519" or
//           "rsa-sha256", verified with the trusted key of that key id only.
// A line starting "KSIG2 " is never read as the legacy form.
//
// The constructor reads and verifies at once and never throws. Afterwards the
// object is immutable and may be read from any thread. Files larger than
// kMaxFileSize, and anything that is not a regular file, are refused before a
// byte is read.
#include <cstdint>
#include <string>

#include "ManifestKey.h"
#include "manifest/mcTrustedKeys.h"

class mcSignedFile {
public:
    // Signature line: digits plus the line end's first byte.
    static constexpr std::size_t kSignatureLineBytes = 129;
    // Largest file accepted (64 MiB). Manifests are a few hundred kilobytes.
    static constexpr std::int64_t kMaxFileSize = 64 * 1024 * 1024;
    static constexpr const char* kStrongPrefix = "KSIG2 ";
    // Longest strong signature line, line end excluded.
    static constexpr std::size_t kMaxStrongLineBytes = 8192;

    enum class meForm {
        kNone,    // no signature line recognised
        kLegacy,  // 128 hex digits
        kStrong,  // "KSIG2 ..."
    };

    // Why a file did or did not verify, for tools and log lines.
    enum class meStatus {
        kVerified,
        kUnreadable,      // missing, not a regular file, or a read failed or fell short
        kTooLarge,        // larger than kMaxFileSize
        kNoSignature,     // no signature line (the document is the whole file)
        kBadSignatureLength,  // first line is hex digits, but not 128 of them
        kEmptyDocument,   // signature line but nothing signed after it
        kWrongLength,     // the key's signatures have another length than 64 bytes
        kMismatch,        // the signature does not match the document
        kBadKey,          // the public key could not be used
        kLegacyRefused,   // legacy form while the policy requires the strong one
        kBadStrongLine,   // "KSIG2 " line not of the form "KSIG2 <alg> <16 hex> <hex>"
        kUnknownAlgorithm,  // strong form naming an algorithm other than the two
        kUnknownKey,      // no trusted key has the line's key id, or it is of another algorithm
    };

    // Reads path and verifies it against publicKeyHex (hex DER SubjectPublicKeyInfo;
    // the key built into this program unless given).
    // A strong signature line does not verify (kUnknownKey): no trusted keys.
    explicit mcSignedFile(const std::string& path,
                          const std::string& publicKeyHex = zr::crypt::kManifestPublicKey);
    // Reads path and verifies it as policy says (built-in key, trusted keys,
    // whether the legacy form is refused).
    mcSignedFile(const std::string& path, const msTrustPolicy& policy);

    // The file was read completely and its signature verified.
    bool IsVerified() const { return m_bRead && m_bVerified; }
    // Document bytes; those of an unverified file are only fit for diagnostics.
    const std::string& GetDocument() const { return m_strDocument; }
    // The signature's hex digits (128 for the legacy form); empty when the file has none.
    const std::string& GetSignature() const { return m_strSignature; }
    meStatus GetStatus() const { return m_eStatus; }
    meForm GetForm() const { return m_eForm; }
    // Strong form: the line's algorithm and key id as written; else empty.
    const std::string& GetAlgorithm() const { return m_strAlgorithm; }
    const std::string& GetKeyId() const { return m_strKeyId; }
    // One line of English for m_eStatus, e.g. "signature does not match".
    static const char* StatusText(meStatus status);

    // Bytes of a signed file: signatureHex, LF, document.
    static std::string Compose(const std::string& signatureHex, const std::string& document);
    // Bytes of a strongly signed file: "KSIG2 <algorithm> <key id> <hex>", LF, document.
    static std::string ComposeStrong(const zr::crypt::msStrongSignature& signature, const std::string& document);

private:
    void PrvRead(const std::string& path);
    // Splits a strong signature line off m_strDocument (the whole file).
    void PrvSplitStrong();
    void PrvVerify(const msTrustPolicy& policy);
    void PrvVerifyStrong(const msTrustPolicy& policy);

    std::string m_strSignature;
    std::string m_strDocument;
    bool m_bRead = false;
    bool m_bVerified = false;
    meForm m_eForm = meForm::kNone;
    bool m_bBadStrongLine = false;
    std::string m_strAlgorithm;
    std::string m_strKeyId;
    meStatus m_eStatus = meStatus::kUnreadable;
};
