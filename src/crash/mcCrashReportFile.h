#pragma once
// The crash report file: UTF-16LE text, opened with write-through
// (O_DSYNC) and appended to, with a byte-order mark when the file is new.
//
// Pieces of text (UTF-8) are converted into one buffer of UTF-16 code units.
// Before a piece is added, more than kFlushThreshold waiting units are written
// out first; Close writes whatever is waiting. So a crash inside the report
// still leaves everything but the last few KiB on disk.
//
// Threads: one at a time (the one-shot reporter). Every member is
// async-signal-safe; the buffer is part of the object (no heap).
#include <cstddef>
#include <cstdint>

class mcCrashReportFile {
public:
    static constexpr std::size_t kFlushThreshold = 7168;
    // Largest piece Append takes at once; longer pieces are split.
    static constexpr std::size_t kMaxPiece = 4096;

    // Opens (creates with mode 0600 when missing) path for appending; false on
    // failure. *pbNew: the file was empty.
    bool Open(const char* pszPath, bool* pbNew);
    // Writes the byte-order mark FF FE; false on failure.
    bool WriteByteOrderMark();
    // Adds UTF-8 text; invalid bytes become U+FFFD.
    void Append(const char* pszUtf8);
    void Append(const char* pUtf8, std::size_t nBytes);
    // Writes what is waiting and closes; false when a write failed.
    bool Close();
    bool IsOpen() const { return m_fd >= 0; }
    // Units waiting in the buffer (for tests).
    std::size_t Waiting() const { return m_nWaiting; }

    ~mcCrashReportFile() { Close(); }

private:
    bool PrvFlush();
    void PrvPut(char16_t c);

    int m_fd = -1;
    bool m_bWriteFailed = false;
    std::size_t m_nWaiting = 0;
    char16_t m_buffer[kFlushThreshold + 2 * kMaxPiece + 8];
    // The same text as little-endian bytes, written with one call.
    unsigned char m_bytes[sizeof m_buffer];
};

// Converts UTF-8 to UTF-16LE code units; calls put for each unit. Invalid
// sequences give U+FFFD. Async-signal-safe.
template <typename Put>
void mfCrashUtf8ToUtf16(const char* p, std::size_t n, Put put) {
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        std::uint32_t cp = 0xFFFD;
        std::size_t nLen = 1;
        if (c < 0x80) {
            cp = c;
        } else {
            std::size_t nMore = 0;
            std::uint32_t nMin = 0;
            if ((c & 0xE0) == 0xC0) {
                nMore = 1;
                cp = c & 0x1F;
                nMin = 0x80;
            } else if ((c & 0xF0) == 0xE0) {
                nMore = 2;
                cp = c & 0x0F;
                nMin = 0x800;
            } else if ((c & 0xF8) == 0xF0) {
                nMore = 3;
                cp = c & 0x07;
                nMin = 0x10000;
            }
            bool bOk = nMore > 0;
            for (std::size_t k = 1; bOk && k <= nMore; ++k) {
                if (i + k >= n) {
                    bOk = false;
                    break;
                }
                const unsigned char cc = static_cast<unsigned char>(p[i + k]);
                if ((cc & 0xC0) != 0x80) {
                    bOk = false;
                    break;
                }
                cp = (cp << 6) | (cc & 0x3F);
            }
            if (bOk && cp >= nMin && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF)) {
                nLen = nMore + 1;
            } else {
                cp = 0xFFFD;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(static_cast<char16_t>(0xD800 + (cp >> 10)));
            put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            put(static_cast<char16_t>(cp));
        }
        i += nLen;
    }
}
