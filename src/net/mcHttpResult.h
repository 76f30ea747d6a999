#pragma once
// Outcome of one HTTP transaction; owned by the caller, filled by the transaction.
#include <cstdint>
#include <string>

struct mcHttpResult {
    // dwResult
    static constexpr std::uint32_t kSuccess = 0;
    static constexpr std::uint32_t kFailed = 1;
    static constexpr std::uint32_t kTimedOut = 2;
    static constexpr std::uint32_t kCancelled = 3;
    // dwErrorKind
    static constexpr std::uint32_t kErrorNone = 0;
    static constexpr std::uint32_t kErrorBadHttpStatus = 1;
    static constexpr std::uint32_t kErrorText = 2;
    static constexpr std::uint32_t kErrorWin32 = 4;

    std::uint32_t dwResult = kSuccess;
    std::uint32_t dwHttpStatus = 0;  // set once the status line has been read
    std::uint32_t dwErrorKind = kErrorNone;
    std::uint32_t dwWin32Error = 0;  // error kind 4: the failure's code (WinInet numbering)
    std::string strMessage;          // error kinds 2 and 4
};
