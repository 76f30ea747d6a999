#include "base/mcWin32Exc.h"

#include "base/SystemMessages.h"
#include "base/Win32Error.h"

mcWin32Exc::mcWin32Exc(const char* function, const char* file, int line, std::string description)
    : mcExc(function, file, line, std::move(description), 0), m_nWin32Error(mfGetLastError()) {
    m_hr = HRESULT_FROM_WIN32(m_nWin32Error);
    m_strDescription += " - Win32 Error: " + mfGetSystemErrorMessage(m_nWin32Error);
}
