#include "manifest/mcSignedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

mcSignedFile::mcSignedFile(const std::string& path, const std::string& publicKeyHex) {
    try {
        PrvRead(path);
        if (m_bRead) PrvVerify(publicKeyHex);
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
    if (size < kSignatureLineBytes) {
        if (!ReadExact(fd, size, m_strDocument)) return;
    } else {
        if (!ReadExact(fd, kSignatureLineBytes, head)) return;
        bool bSigned = head[128] == '\r' || head[128] == '\n';
        for (std::size_t i = 0; bSigned && i < 128; ++i) bSigned = IsHexDigit(head[i]);
        if (bSigned) {
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

void mcSignedFile::PrvVerify(const std::string& publicKeyHex) {
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
