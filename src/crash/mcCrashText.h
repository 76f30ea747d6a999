#pragma once
// A fixed-capacity text of bytes that a signal handler may build: no heap, no
// locale, no locks. Text that does not fit is cut off (Truncated() tells).
//
// Threads: one owner at a time; every member is async-signal-safe.
#include <cstddef>
#include <cstdint>

class mcCrashText {
public:
    mcCrashText(char* pBuffer, std::size_t nCapacity);

    void Clear();
    mcCrashText& Str(const char* psz);
    mcCrashText& Bytes(const char* p, std::size_t n);
    mcCrashText& Char(char c);
    // Hexadecimal, at least nWidth digits with leading zeros.
    mcCrashText& Hex(std::uint64_t nValue, int nWidth = 0, bool bUpper = false);
    // Decimal; nWidth > 0 pads on the left, nWidth < 0 on the right (blanks).
    mcCrashText& Dec(std::int64_t nValue, int nWidth = 0);
    mcCrashText& Dec2(int nValue);  // two digits with a leading zero

    const char* Data() const { return m_pBuffer; }  // always NUL-terminated
    std::size_t Size() const { return m_nSize; }
    bool Truncated() const { return m_bTruncated; }

private:
    char* m_pBuffer;
    std::size_t m_nCapacity;  // including the NUL
    std::size_t m_nSize = 0;
    bool m_bTruncated = false;
};

// Async-signal-safe helpers on NUL-terminated texts.
std::size_t mfCrashStrLen(const char* psz);
// Copies at most nCapacity - 1 bytes and terminates.
void mfCrashStrCopy(char* pDest, std::size_t nCapacity, const char* pszSource);
// The part after the last '/'.
const char* mfCrashBaseName(const char* pszPath);
// Writes every byte (retrying on EINTR and short writes); false on failure.
bool mfCrashWriteAll(int fd, const void* p, std::size_t n);
