#pragma once
// The crash history: UTF-16LE text with a byte-order mark, one line per crash
// ended by "\r\n", kept below kMaxLines lines. Before a line is added to a
// history of kMaxLines lines or more, the oldest line is dropped: the rest is
// copied to "<path minus extension>.Tmp" (with its own byte-order mark), the
// history is deleted and the copy renamed over it. A history whose size is
// not a whole number of UTF-16 units, or that is larger than 4 GiB, is cut
// back to the byte-order mark.
//
// Threads: one at a time. Async-signal-safe (descriptors and a buffer inside
// the object).
#include <cstddef>

class mcCrashHistoryFile {
public:
    static constexpr int kMaxLines = 100;

    // Creates or opens the history for reading and writing with
    // write-through, writes the byte-order mark when the file is new.
    bool Open(const char* pszPath);
    // Drops the oldest line when needed and appends pszLineUtf8 + "\r\n".
    // False (nothing written) when trimming or writing fails.
    bool AppendLine(const char* pszLineUtf8);
    void Close();
    // Lines after the byte-order mark (counts "\n" units); -1 on failure.
    long CountLines();

    ~mcCrashHistoryFile() { Close(); }

private:
    bool PrvOpenFd();
    bool PrvDropOldestLine();

    int m_fd = -1;
    char m_szPath[4096] = {};
    char m_szTmpPath[4096] = {};
    unsigned char m_buffer[16384];
};
