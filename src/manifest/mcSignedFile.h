#pragma once
// Reader of a signed manifest file: a signature line of 128 hex digits (either
// case) ended by CR, LF or CR LF, then the document, which is exactly the signed
// bytes; a single 0 byte at the very end is not part of the document.
//
// The constructor reads and verifies at once and never throws. Afterwards the
// object is immutable and may be read from any thread. Files larger than
// kMaxFileSize, and anything that is not a regular file, are refused before a
// byte is read.
#include <cstdint>
#include <string>

#include "ManifestKey.h"

class mcSignedFile {
public:
    // Signature line: digits plus the line end's first byte.
    static constexpr std::size_t kSignatureLineBytes = 129;
    // Largest file accepted (64 MiB). Manifests are a few hundred kilobytes.
    static constexpr std::int64_t kMaxFileSize = 64 * 1024 * 1024;

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
    };

    // Reads path and verifies it against publicKeyHex (hex DER SubjectPublicKeyInfo;
    // the key built into this program unless given).
    explicit mcSignedFile(const std::string& path,
                          const std::string& publicKeyHex = zr::crypt::kManifestPublicKey);

    // The file was read completely and its signature verified.
    bool IsVerified() const { return m_bRead && m_bVerified; }
    // Document bytes; those of an unverified file are only fit for diagnostics.
    const std::string& GetDocument() const { return m_strDocument; }
    // The signature line's 128 digits; empty when the file has none.
    const std::string& GetSignature() const { return m_strSignature; }
    meStatus GetStatus() const { return m_eStatus; }
    // One line of English for m_eStatus, e.g. "signature does not match".
    static const char* StatusText(meStatus status);

    // Bytes of a signed file: signatureHex, LF, document.
    static std::string Compose(const std::string& signatureHex, const std::string& document);

private:
    void PrvRead(const std::string& path);
    void PrvVerify(const std::string& publicKeyHex);

    std::string m_strSignature;
    std::string m_strDocument;
    bool m_bRead = false;
    bool m_bVerified = false;
    meStatus m_eStatus = meStatus::kUnreadable;
};
