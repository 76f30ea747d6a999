#include "crash/mcCrashHistoryFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "crash/mcCrashReportFile.h"
#include "crash/mcCrashText.h"

namespace {

constexpr unsigned char kBom[2] = {0xFF, 0xFE};
constexpr std::uint64_t kMaxSize = 0xFFFFFFFFull;

}  // namespace

bool mcCrashHistoryFile::Open(const char* pszPath) {
    Close();
    mfCrashStrCopy(m_szPath, sizeof m_szPath, pszPath);
    // The temporary file: same folder and base name, extension ".Tmp".
    mfCrashStrCopy(m_szTmpPath, sizeof m_szTmpPath, pszPath);
    char* pszBase = const_cast<char*>(mfCrashBaseName(m_szTmpPath));
    char* pszDot = nullptr;
    for (char* p = pszBase; *p != '\0'; ++p) {
        if (*p == '.') pszDot = p;
    }
    std::size_t nStem = pszDot ? static_cast<std::size_t>(pszDot - m_szTmpPath) : mfCrashStrLen(m_szTmpPath);
    if (nStem + 5 >= sizeof m_szTmpPath) return false;
    mfCrashStrCopy(m_szTmpPath + nStem, sizeof m_szTmpPath - nStem, ".Tmp");
    return PrvOpenFd();
}

bool mcCrashHistoryFile::PrvOpenFd() {
    m_fd = ::open(m_szPath, O_RDWR | O_CREAT | O_DSYNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_fd < 0) return false;
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        Close();
        return false;
    }
    const std::uint64_t nSize = static_cast<std::uint64_t>(st.st_size);
    if (nSize % 2 != 0 || nSize > kMaxSize) {
        if (::ftruncate(m_fd, 0) != 0) {
            Close();
            return false;
        }
        st.st_size = 0;
    }
    if (st.st_size == 0 && (::lseek(m_fd, 0, SEEK_SET) != 0 || !mfCrashWriteAll(m_fd, kBom, sizeof kBom))) {
        Close();
        return false;
    }
    return ::lseek(m_fd, 0, SEEK_END) >= 0;
}

void mcCrashHistoryFile::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

long mcCrashHistoryFile::CountLines() {
    if (m_fd < 0) return -1;
    long nLines = 0;
    off_t nOffset = 2;
    for (;;) {
        const ssize_t nRead = ::pread(m_fd, m_buffer, sizeof m_buffer, nOffset);
        if (nRead < 0) return -1;
        if (nRead == 0) break;
        for (ssize_t i = 0; i + 1 < nRead; i += 2) {
            if (m_buffer[i] == '\n' && m_buffer[i + 1] == 0) ++nLines;
        }
        nOffset += nRead & ~static_cast<ssize_t>(1);
        if (nRead < 2) break;
    }
    return nLines;
}

bool mcCrashHistoryFile::PrvDropOldestLine() {
    // Where the second line starts.
    off_t nOffset = 2;
    off_t nSecond = -1;
    while (nSecond < 0) {
        const ssize_t nRead = ::pread(m_fd, m_buffer, sizeof m_buffer, nOffset);
        if (nRead <= 1) return false;
        for (ssize_t i = 0; i + 1 < nRead; i += 2) {
            if (m_buffer[i] == '\n' && m_buffer[i + 1] == 0) {
                nSecond = nOffset + i + 2;
                break;
            }
        }
        nOffset += nRead & ~static_cast<ssize_t>(1);
    }
    const int fdTmp = ::open(m_szTmpPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fdTmp < 0) return false;
    bool bOk = mfCrashWriteAll(fdTmp, kBom, sizeof kBom);
    for (nOffset = nSecond; bOk;) {
        const ssize_t nRead = ::pread(m_fd, m_buffer, sizeof m_buffer, nOffset);
        if (nRead < 0) bOk = false;
        if (nRead <= 0) break;
        bOk = mfCrashWriteAll(fdTmp, m_buffer, static_cast<std::size_t>(nRead));
        nOffset += nRead;
    }
    bOk = ::fsync(fdTmp) == 0 && bOk;
    ::close(fdTmp);
    if (!bOk) {
        ::unlink(m_szTmpPath);
        return false;
    }
    Close();
    // rename replaces the history in one step; the old file is never missing.
    if (::rename(m_szTmpPath, m_szPath) != 0) {
        ::unlink(m_szTmpPath);
        return PrvOpenFd() && false;
    }
    return PrvOpenFd();
}

bool mcCrashHistoryFile::AppendLine(const char* pszLineUtf8) {
    if (m_fd < 0) return false;
    const long nLines = CountLines();
    if (nLines < 0) return false;
    for (long n = nLines; n >= kMaxLines; --n) {
        if (!PrvDropOldestLine()) return false;
    }
    // One write for the whole line, so a crash never leaves half a line.
    std::size_t nOut = 0;
    bool bOverflow = false;
    auto put = [&](char16_t c) {
        if (nOut + 2 > sizeof m_buffer - 4) {
            bOverflow = true;
            return;
        }
        m_buffer[nOut++] = static_cast<unsigned char>(c & 0xFF);
        m_buffer[nOut++] = static_cast<unsigned char>(c >> 8);
    };
    mfCrashUtf8ToUtf16(pszLineUtf8, mfCrashStrLen(pszLineUtf8), put);
    if (bOverflow) return false;
    put(u'\r');
    put(u'\n');
    if (::lseek(m_fd, 0, SEEK_END) < 0) return false;
    return mfCrashWriteAll(m_fd, m_buffer, nOut);
}
