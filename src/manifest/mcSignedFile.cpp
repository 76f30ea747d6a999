#include "manifest/mcSignedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <vector>

#include "manifest/Crypt.h"

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Reads exactly count bytes into out (appending); false on error or early end.
bool ReadExact(int fd, std::size_t count, std::string& out) {
    const std::size_t start = out.size();
    out.resize(start + count);
    std::size_t done = 0;
    while (done < count) {
        ssize_t n = ::read(fd, out.data() + start + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

class FdCloser {
public:
    explicit FdCloser(int fd) : m_fd(fd) {}
    ~FdCloser() {
        if (m_fd >= 0) ::close(m_fd);
    }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;

private:
    int m_fd;
};

}  // namespace

mcSignedFile::mcSignedFile(const std::string& path, const std::string& publicKeyHex)
    : mcSignedFile(path, msTrustPolicy{publicKeyHex, nullptr, false}) {}

mcSignedFile::mcSignedFile(const std::string& path, const msTrustPolicy& policy) {
    try {
        PrvRead(path);
        if (m_bRead) PrvVerify(policy);
    } catch (...) {
        // Only allocation can fail in here; the file simply does not verify.
        m_bVerified = false;
        if (m_eStatus == meStatus::kVerified) m_eStatus = meStatus::kUnreadable;
    }
}

void mcSignedFile::PrvRead(const std::string& path) {
    m_eStatus = meStatus::kUnreadable;
    // O_NONBLOCK keeps a FIFO in the manifest's place from blocking the open.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return;
    FdCloser closer(fd);

    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return;
    if (st.st_size > kMaxFileSize) {
        m_eStatus = meStatus::kTooLarge;
        return;
    }
    const auto size = static_cast<std::size_t>(st.st_size);

    std::string head;
    if (!ReadExact(fd, std::min(size, kSignatureLineBytes), head)) return;
    if (head.compare(0, std::char_traits<char>::length(kStrongPrefix), kStrongPrefix) == 0) {
        m_strDocument = std::move(head);
        m_strDocument.reserve(size);
        if (!ReadExact(fd, size - m_strDocument.size(), m_strDocument)) return;
        PrvSplitStrong();
    } else if (size < kSignatureLineBytes) {
        m_strDocument = std::move(head);
    } else {
        bool bSigned = head[128] == '\r' || head[128] == '\n';
        for (std::size_t i = 0; bSigned && i < 128; ++i) bSigned = IsHexDigit(head[i]);
        if (bSigned) {
            m_eForm = meForm::kLegacy;
            m_strSignature = head.substr(0, 128);
            m_strDocument.reserve(size - kSignatureLineBytes);
            if (!ReadExact(fd, size - kSignatureLineBytes, m_strDocument)) return;
            if (head[128] == '\r' && !m_strDocument.empty() && m_strDocument.front() == '\n') {
                m_strDocument.erase(0, 1);
            }
        } else {
            m_strDocument = std::move(head);
            m_strDocument.reserve(size);
            if (!ReadExact(fd, size - kSignatureLineBytes, m_strDocument)) return;
        }
    }
    m_bRead = true;
    if (!m_strDocument.empty() && m_strDocument.back() == '\0') m_strDocument.pop_back();
}

void mcSignedFile::PrvSplitStrong() {
    m_eForm = meForm::kStrong;
    const std::size_t nScan = std::min(m_strDocument.size(), kMaxStrongLineBytes + 1);
    std::size_t nEnd = 0;
    while (nEnd < nScan && m_strDocument[nEnd] != '\r' && m_strDocument[nEnd] != '\n') ++nEnd;
    if (nEnd == nScan) {
        m_bBadStrongLine = true;
        return;
    }
    // "KSIG2", algorithm, key id, signature: single spaces, nothing else.
    std::vector<std::string> vecFields(1);
    for (std::size_t i = 0; i < nEnd; ++i) {
        if (m_strDocument[i] == ' ') {
            vecFields.emplace_back();
        } else {
            vecFields.back() += m_strDocument[i];
        }
    }
    bool bGood = vecFields.size() == 4 && !vecFields[1].empty() &&
                 vecFields[2].size() == zr::crypt::kKeyIdHexDigits && !vecFields[3].empty();
    for (std::size_t f = 2; bGood && f < vecFields.size(); ++f) {
        for (char c : vecFields[f]) bGood = bGood && IsHexDigit(c);
    }
    if (!bGood) {
        m_bBadStrongLine = true;
        return;
    }
    m_strAlgorithm = vecFields[1];
    m_strKeyId = vecFields[2];
    for (char& c : m_strKeyId) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    m_strSignature = vecFields[3];
    std::size_t nSkip = nEnd + 1;
    if (m_strDocument[nEnd] == '\r' && nSkip < m_strDocument.size() && m_strDocument[nSkip] == '\n') ++nSkip;
    m_strDocument.erase(0, nSkip);
}

void mcSignedFile::PrvVerifyStrong(const msTrustPolicy& policy) {
    if (m_bBadStrongLine) {
        m_eStatus = meStatus::kBadStrongLine;
        return;
    }
    const auto eType = zr::crypt::AlgorithmFromName(m_strAlgorithm);
    if (!eType) {
        m_eStatus = meStatus::kUnknownAlgorithm;
        return;
    }
    if (m_strDocument.empty()) {
        m_eStatus = meStatus::kEmptyDocument;
        return;
    }
    const zr::crypt::msPublicKey* pKey = policy.pKeys ? policy.pKeys->Find(m_strKeyId) : nullptr;
    if (pKey == nullptr || pKey->eType != *eType) {
        m_eStatus = meStatus::kUnknownKey;
        return;
    }
    try {
        if (zr::crypt::StrongVerify(*pKey, m_strDocument, m_strSignature)) {
            m_bVerified = true;
            m_eStatus = meStatus::kVerified;
        } else {
            m_eStatus = meStatus::kMismatch;
        }
    } catch (const mcExc&) {
        m_eStatus = meStatus::kBadKey;
    }
}

void mcSignedFile::PrvVerify(const msTrustPolicy& policy) {
    if (m_eForm == meForm::kStrong) {
        PrvVerifyStrong(policy);
        return;
    }
    const std::string& publicKeyHex = policy.strBuiltinKeyHex;
    if (m_strSignature.empty()) {
        // Tell a signature line of the wrong length from none at all.
        std::size_t digits = 0;
        while (digits < m_strDocument.size() && IsHexDigit(m_strDocument[digits])) ++digits;
        const bool bLineEnd = digits < m_strDocument.size() &&
                              (m_strDocument[digits] == '\r' || m_strDocument[digits] == '\n');
        m_eStatus = (digits > 0 && bLineEnd) ? meStatus::kBadSignatureLength : meStatus::kNoSignature;
        return;
    }
    if (m_strDocument.empty()) {
        m_eStatus = meStatus::kEmptyDocument;
        return;
    }
    if (policy.bRequireStrong) {
        m_eStatus = meStatus::kLegacyRefused;
        return;
    }
    try {
        switch (zr::crypt::RSAVerifyDetailed(publicKeyHex, m_strDocument, m_strSignature)) {
            case zr::crypt::meVerifyResult::kMatch:
                m_bVerified = true;
                m_eStatus = meStatus::kVerified;
                break;
            case zr::crypt::meVerifyResult::kMismatch:
                m_eStatus = meStatus::kMismatch;
                break;
            case zr::crypt::meVerifyResult::kWrongLength:
                m_eStatus = meStatus::kWrongLength;
                break;
        }
    } catch (const mcExc&) {
        m_eStatus = meStatus::kBadKey;
    }
}

const char* mcSignedFile::StatusText(meStatus status) {
    switch (status) {
        case meStatus::kVerified: return "verified";
        case meStatus::kUnreadable: return "file missing, not a regular file or unreadable";
        case meStatus::kTooLarge: return "file larger than 64 MiB";
        case meStatus::kNoSignature: return "no signature line";
        case meStatus::kBadSignatureLength: return "signature line has the wrong length (expected 128 hex digits)";
        case meStatus::kEmptyDocument: return "nothing signed after the signature line";
        case meStatus::kWrongLength: return "signature length does not fit the public key";
        case meStatus::kMismatch: return "signature does not match";
        case meStatus::kBadKey: return "public key unusable";
        case meStatus::kLegacyRefused:
            return "legacy RSA-512/SHA-1 signature refused: RequireStrongSignature is set";
        case meStatus::kBadStrongLine: return "KSIG2 signature line malformed";
        case meStatus::kUnknownAlgorithm: return "KSIG2 signature of an unknown algorithm";
        case meStatus::kUnknownKey: return "no trusted key with the signature's key id and algorithm";
    }
    return "unknown";
}

std::string mcSignedFile::Compose(const std::string& signatureHex, const std::string& document) {
    std::string bytes;
    bytes.reserve(signatureHex.size() + 1 + document.size());
    bytes += signatureHex;
    bytes += '\n';
    bytes += document;
    return bytes;
}

std::string mcSignedFile::ComposeStrong(const zr::crypt::msStrongSignature& signature, const std::string& document) {
    std::string bytes = std::string(kStrongPrefix) + zr::crypt::AlgorithmName(signature.eType) + " " +
                        signature.strKeyId + " " + signature.strSignatureHex + "\n";
    bytes += document;
    return bytes;
}
