#include "tools/kettrinctl/CtlProgressLine.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "tools/kettrinctl/CtlOptions.h"

namespace kettrinctl {

CtlProgressLine::CtlProgressLine(bool bShow) : m_bShow(bShow), m_bTerminal(::isatty(STDOUT_FILENO) == 1) {}

bool CtlProgressLine::ShownByOptions() { return !CtlOptions::Current().bQuiet && !CtlOptions::Current().bJson; }

void CtlProgressLine::Show(const std::string& strName, const char* pszPhase, std::int32_t nPercent) {
    const std::string strPhase = pszPhase ? pszPhase : "";
    if (!m_bShow || (nPercent == m_nShown && strPhase == m_strPhase)) return;
    if (m_nShown < 0) m_tpStart = std::chrono::steady_clock::now();
    m_nShown = nPercent;
    m_strPhase = strPhase;
    if (!m_bTerminal) {
        if (pszPhase) std::cout << strName << " " << strPhase << " ";
        std::cout << nPercent << "%\n" << std::flush;
        return;
    }
    constexpr int kWidth = 30;
    const int nFilled = std::max(0, std::min(kWidth, nPercent * kWidth / 100));
    char szLine[200];
    const int nLength = std::snprintf(szLine, sizeof szLine, "\r%s [%.*s%*s] %3d%%", strName.c_str(), nFilled,
                                      "##############################", kWidth - nFilled, "",
                                      static_cast<int>(nPercent));
    std::string strLine(szLine, static_cast<std::size_t>(std::clamp(nLength, 0, static_cast<int>(sizeof szLine) - 1)));
    if (pszPhase) {
        std::snprintf(szLine, sizeof szLine, " %-11s", pszPhase);
    } else {
        const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_tpStart).count();
        std::snprintf(szLine, sizeof szLine, "  %.1f s", dSeconds);
    }
    std::cout << strLine << szLine << std::flush;
    m_bOpenLine = true;
}

void CtlProgressLine::EndLine() {
    if (m_bOpenLine) std::cout << "\n" << std::flush;
    m_bOpenLine = false;
}

}  // namespace kettrinctl
