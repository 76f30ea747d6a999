#include "crash/mcCrashText.h"

#include <unistd.h>

#include <cerrno>

mcCrashText::mcCrashText(char* pBuffer, std::size_t nCapacity) : m_pBuffer(pBuffer), m_nCapacity(nCapacity) {
    Clear();
}

void mcCrashText::Clear() {
    m_nSize = 0;
    m_bTruncated = false;
    if (m_nCapacity > 0) m_pBuffer[0] = '\0';
}

mcCrashText& mcCrashText::Bytes(const char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (m_nSize + 1 >= m_nCapacity) {
            m_bTruncated = true;
            break;
        }
        m_pBuffer[m_nSize++] = p[i];
    }
    if (m_nCapacity > 0) m_pBuffer[m_nSize] = '\0';
    return *this;
}

mcCrashText& mcCrashText::Str(const char* psz) {
    return psz ? Bytes(psz, mfCrashStrLen(psz)) : *this;
}

mcCrashText& mcCrashText::Char(char c) {
    return Bytes(&c, 1);
}

mcCrashText& mcCrashText::Hex(std::uint64_t nValue, int nWidth, bool bUpper) {
    const char* pszDigits = bUpper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[16];
    int n = 0;
    do {
        digits[n++] = pszDigits[nValue & 0xF];
        nValue >>= 4;
    } while (nValue != 0);
    for (int i = n; i < nWidth; ++i) Char('0');
    while (n > 0) Char(digits[--n]);
    return *this;
}

mcCrashText& mcCrashText::Dec(std::int64_t nValue, int nWidth) {
    char digits[24];
    int n = 0;
    const bool bNegative = nValue < 0;
    std::uint64_t nMagnitude = bNegative ? 0 - static_cast<std::uint64_t>(nValue) : static_cast<std::uint64_t>(nValue);
    do {
        digits[n++] = static_cast<char>('0' + nMagnitude % 10);
        nMagnitude /= 10;
    } while (nMagnitude != 0);
    const int nLength = n + (bNegative ? 1 : 0);
    for (int i = nLength; i < nWidth; ++i) Char(' ');
    if (bNegative) Char('-');
    while (n > 0) Char(digits[--n]);
    for (int i = nLength; i < -nWidth; ++i) Char(' ');
    return *this;
}

mcCrashText& mcCrashText::Dec2(int nValue) {
    if (nValue >= 0 && nValue < 10) Char('0');
    return Dec(nValue);
}

std::size_t mfCrashStrLen(const char* psz) {
    std::size_t n = 0;
    while (psz[n] != '\0') ++n;
    return n;
}

void mfCrashStrCopy(char* pDest, std::size_t nCapacity, const char* pszSource) {
    if (nCapacity == 0) return;
    std::size_t n = 0;
    if (pszSource) {
        for (; n + 1 < nCapacity && pszSource[n] != '\0'; ++n) pDest[n] = pszSource[n];
    }
    pDest[n] = '\0';
}

const char* mfCrashBaseName(const char* pszPath) {
    const char* pszBase = pszPath;
    for (const char* p = pszPath; *p != '\0'; ++p) {
        if (*p == '/') pszBase = p + 1;
    }
    return pszBase;
}

bool mfCrashWriteAll(int fd, const void* p, std::size_t n) {
    const char* pBytes = static_cast<const char*>(p);
    while (n > 0) {
        const ssize_t nWritten = ::write(fd, pBytes, n);
        if (nWritten < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (nWritten == 0) return false;
        pBytes += nWritten;
        n -= static_cast<std::size_t>(nWritten);
    }
    return true;
}
