#include "crash/mcCrashReportFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "crash/mcCrashText.h"

bool mcCrashReportFile::Open(const char* pszPath, bool* pbNew) {
    Close();
    m_fd = ::open(pszPath, O_WRONLY | O_CREAT | O_APPEND | O_DSYNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_fd < 0) return false;
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    m_bWriteFailed = false;
    m_nWaiting = 0;
    if (pbNew) *pbNew = st.st_size == 0;
    return true;
}

bool mcCrashReportFile::WriteByteOrderMark() {
    static const unsigned char kBom[2] = {0xFF, 0xFE};
    return m_fd >= 0 && mfCrashWriteAll(m_fd, kBom, sizeof kBom);
}

void mcCrashReportFile::PrvPut(char16_t c) {
    if (m_nWaiting < sizeof m_buffer / sizeof m_buffer[0]) m_buffer[m_nWaiting++] = c;
}

void mcCrashReportFile::Append(const char* pszUtf8) {
    Append(pszUtf8, mfCrashStrLen(pszUtf8));
}

void mcCrashReportFile::Append(const char* pUtf8, std::size_t nBytes) {
    while (nBytes > 0) {
        std::size_t nPiece = nBytes < kMaxPiece ? nBytes : kMaxPiece;
        // Never split a UTF-8 sequence.
        while (nPiece < nBytes && nPiece > 0 && (static_cast<unsigned char>(pUtf8[nPiece]) & 0xC0) == 0x80) --nPiece;
        if (nPiece == 0) nPiece = nBytes < kMaxPiece ? nBytes : kMaxPiece;
        if (m_nWaiting > kFlushThreshold) PrvFlush();
        mfCrashUtf8ToUtf16(pUtf8, nPiece, [this](char16_t c) { PrvPut(c); });
        pUtf8 += nPiece;
        nBytes -= nPiece;
    }
}

bool mcCrashReportFile::PrvFlush() {
    if (m_nWaiting == 0) return true;
    // Little-endian on disk whatever the host order; one write per flush,
    // as every write of a write-through file waits for the disk.
    std::size_t nOut = 0;
    for (std::size_t i = 0; i < m_nWaiting; ++i) {
        m_bytes[nOut++] = static_cast<unsigned char>(m_buffer[i] & 0xFF);
        m_bytes[nOut++] = static_cast<unsigned char>(m_buffer[i] >> 8);
    }
    if (m_fd < 0 || !mfCrashWriteAll(m_fd, m_bytes, nOut)) m_bWriteFailed = true;
    m_nWaiting = 0;
    return !m_bWriteFailed;
}

bool mcCrashReportFile::Close() {
    if (m_fd < 0) return true;
    PrvFlush();
    ::close(m_fd);
    m_fd = -1;
    return !m_bWriteFailed;
}
