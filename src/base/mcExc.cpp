#include "base/mcExc.h"

#include <cstdio>

#include "base/DebugOutput.h"
#include "base/SystemMessages.h"
#include "base/mcDiagTrace.h"

namespace {

// The type every member of the family reports (the base's static type name).
constexpr const char* kExcTypeName = "class mcExc";
constexpr const char* kThrowBanner = "\n*** Throwing TAVROLIN Exception ***\n";

// Last path component (name and extension); either separator counts.
std::string PrvFileName(const std::string& path) {
    std::size_t pos = path.find_last_of("/\\");
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string PrvHex(HRESULT hr) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%x", static_cast<unsigned>(hr));
    return buffer;
}

}  // namespace

mcExc::mcExc(const char* function, const char* file, int line, std::string description,
             HRESULT hresult)
    : m_strFunction(function != nullptr ? function : ""),
      m_strFile(file != nullptr ? file : ""),
      m_nLine(line),
      m_strDescription(std::move(description)),
      m_hr(hresult) {}

mcExc::~mcExc() = default;

const char* mcExc::what() const noexcept { return m_strDescription.c_str(); }

std::string mcExc::GetTraceLine() const {
    std::string line = m_strFunction + "," + "Throwing" + " " + kExcTypeName + "," +
                       m_strDescription + "," + PrvFileName(m_strFile) + "(" +
                       std::to_string(m_nLine) + ")";
    if (m_hr != 0) {
        line += ",HRESULT:" + PrvHex(m_hr) + " (" +
                mfGetSystemErrorMessage(static_cast<std::uint32_t>(m_hr)) + ")";
    }
    return line;
}

std::string mcExc::GetDebugText() const {
    std::string text;
    if (m_hr != 0) {
        text += "HRESULT:" + PrvHex(m_hr) + " (" +
                mfGetSystemErrorMessage(static_cast<std::uint32_t>(m_hr)) + ")\n";
    }
    text += "Description:" + m_strDescription + "\n";
    text += "Function:\t" + m_strFunction + "\n";
    text += m_strFile + "(" + std::to_string(m_nLine) + ")\n";
    text += "\n";
    return text;
}

std::string mcExc::GetReport() const {
    return std::string("TAVROLIN Exception") + "\n\nType:\t\t" + kExcTypeName +
           "\nDescription:\t" + m_strDescription + "\nFunction:\t\t" + m_strFunction +
           "\nFile:\t\t" + m_strFile + "\nLine:\t\t" + std::to_string(m_nLine);
}

void mfAnnounceThrow(const mcExc& exc) noexcept {
    try {
        mfOutputDebugString(kThrowBanner);
        mcDiagTrace::Core().Send(exc.GetTraceLine());
        mfOutputDebugString(exc.GetDebugText());
    } catch (...) {
        // Announcing never stands in the way of the throw itself.
    }
}
