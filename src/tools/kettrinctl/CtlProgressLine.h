#pragma once
// The progress display of kettrinctl's waiting commands. A terminal gets one
// line that redraws ("NAME [#####     ]  42%" and, after it, the phase or the
// seconds since the first value); anything else gets a plain line for each
// new value ("42%", or "NAME PHASE 42%" when there is a phase). Nothing is
// shown when the display is off (--quiet, --json). Main thread.
#include <chrono>
#include <cstdint>
#include <string>

namespace kettrinctl {

class CtlProgressLine {
public:
    // bShow false: every call does nothing. Whether standard output is a
    // terminal is read here.
    explicit CtlProgressLine(bool bShow);

    // True unless --quiet or --json was given.
    static bool ShownByOptions();

    // Shows nPercent for strName in phase pszPhase (null: no phase); a value
    // equal to the last one shown (in the same phase) is not shown again.
    void Show(const std::string& strName, const char* pszPhase, std::int32_t nPercent);
    // Ends a redrawn line so that the next output starts on its own line.
    void EndLine();
    // Whether anything was shown yet, and the last value shown (-1: none).
    bool Shown() const { return m_nShown >= 0; }
    std::int32_t Percent() const { return m_nShown; }

private:
    const bool m_bShow;
    const bool m_bTerminal;
    std::int32_t m_nShown = -1;
    std::string m_strPhase;
    bool m_bOpenLine = false;
    std::chrono::steady_clock::time_point m_tpStart;
};

}  // namespace kettrinctl
