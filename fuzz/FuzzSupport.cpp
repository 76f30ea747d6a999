#include "FuzzSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "base/mcCMLog.h"

namespace {

std::string* g_pScratch = nullptr;

void PrvRemoveScratch() {
    if (g_pScratch == nullptr) return;
    std::error_code ec;
    std::filesystem::remove_all(*g_pScratch, ec);
}

}  // namespace

const std::string& mfFuzzSetUp() {
    if (g_pScratch != nullptr) return *g_pScratch;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kettrin-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("kettrin fuzz: mkdtemp");
        std::abort();
    }
    g_pScratch = new std::string(pattern);
    ::setenv("KETTRIN_REGISTRY", (pattern + "/registry.db").c_str(), 1);
    ::setenv("KETTRIN_DIAG_SOCKET", (pattern + "/zrdiag.sock").c_str(), 1);
    mcCMLog::Instance().Close();
    std::atexit(PrvRemoveScratch);
    return *g_pScratch;
}

bool mfFuzzWriteFile(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

std::uint8_t mcFuzzInput::TakeByte() {
    if (m_rest.empty()) return 0;
    const auto byte = static_cast<std::uint8_t>(m_rest.front());
    m_rest.remove_prefix(1);
    return byte;
}

std::string_view mcFuzzInput::TakeUntil(char separator) {
    const std::size_t pos = m_rest.find(separator);
    if (pos == std::string_view::npos) return TakeRest();
    std::string_view piece = m_rest.substr(0, pos);
    m_rest.remove_prefix(pos + 1);
    return piece;
}

std::string_view mcFuzzInput::TakeRest() {
    std::string_view rest = m_rest;
    m_rest = {};
    return rest;
}
