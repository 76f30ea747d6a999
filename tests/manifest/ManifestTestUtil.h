#pragma once
// Helpers shared by the manifest tests: the log of the test program (kept in
// a scratch machine for the whole run), a plain temporary folder, whole-file
// I/O, running a shell command, and hex conversion.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/ScratchMachine.h"

namespace manifest_test {

// The log file the test environment opened ("ComponentMgr.log" in its folder).
inline std::string g_strLogPath;

// What the log gained since construction.
class LogCapture {
public:
    LogCapture() : m_nStart(CurrentSize()) {}
    std::string Text() const {
        std::string all = ReadAll();
        return all.size() > m_nStart ? all.substr(m_nStart) : std::string();
    }
    bool Contains(const std::string& text) const { return Text().find(text) != std::string::npos; }
    std::size_t Count(const std::string& text) const {
        const std::string all = Text();
        std::size_t n = 0;
        for (std::size_t pos = all.find(text); pos != std::string::npos; pos = all.find(text, pos + 1)) ++n;
        return n;
    }

private:
    static std::string ReadAll() {
        std::ifstream in(g_strLogPath, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static std::size_t CurrentSize() { return ReadAll().size(); }
    std::size_t m_nStart;
};

inline const std::string kDevKeyPath = std::string(KETTRIN_TEST_DATA) + "/keys/dev-manifest-key.pem";

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs command with /bin/sh; returns its exit status (-1 when it did not exit).
// Standard output is captured into *output when given.
inline int RunShell(const std::string& command, std::string* output = nullptr) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) text.append(buffer, n);
    int status = ::pclose(pipe);
    if (output != nullptr) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string ToHex(const std::string& bytes, bool upper = false) {
    static const char* lower = "0123456789abcdef";
    static const char* upperDigits = "0123456789ABCDEF";
    const char* digits = upper ? upperDigits : lower;
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

inline std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

// Signs document with openssl and the given PEM key, using files in dir;
// returns the signature as hex.
inline std::string OpensslSignHex(const testsupport::ScratchMachine& dir, const std::string& keyPath,
                                  const std::string& document, bool upper = false) {
    WriteFile(dir / "openssl-doc", document);
    const std::string cmd = "openssl dgst -sha1 -sign " + ShellQuote(keyPath) + " -out " +
                            ShellQuote(dir / "openssl-sig") + " " + ShellQuote(dir / "openssl-doc") +
                            " 2>/dev/null";
    if (RunShell(cmd) != 0) return {};
    return ToHex(ReadFile(dir / "openssl-sig"), upper);
}

}  // namespace manifest_test
