#pragma once
// An mcExc for a failed system call: carries the calling thread's last Win32
// error (mfGetLastError) as it was at construction, its HRESULT form, and the
// error's system text appended to the description.
#include <cstdint>
#include <string>

#include "base/mcExc.h"

class mcWin32Exc : public mcExc {
public:
    // Reads the last error of the calling thread: set it (mfSetLastError or
    // mfSetLastErrorFromErrno) before constructing. The description becomes
    // description + " - Win32 Error: " + mfGetSystemErrorMessage(code); the
    // hresult HRESULT_FROM_WIN32(code) (0 stays 0).
    mcWin32Exc(const char* function, const char* file, int line, std::string description);

    std::uint32_t GetWin32Error() const { return m_nWin32Error; }

protected:
    std::uint32_t m_nWin32Error;
};
