#pragma once
// Settings of one HTTP transaction, passed by the caller and copied into the
// transaction. The defaults are the ones every request of the system uses unless
// it says otherwise.
#include <cstdint>
#include <string>

struct mcHttpTransactionOptions {
    // Request flags understood by the transaction.
    static constexpr std::uint32_t kFlagReload = 0x80000000u;        // Cache-Control/Pragma: no-cache
    static constexpr std::uint32_t kFlagNoCacheWrite = 0x04000000u;  // nothing is cached anyway
    static constexpr std::uint32_t kFlagSecure = 0x00800000u;        // added for port 443 / https
    static constexpr std::uint32_t kFlagKeepConnection = 0x00400000u;  // added when a proxy is set
    static constexpr std::uint32_t kDefaultFlags = kFlagReload | kFlagNoCacheWrite;
    static constexpr std::uint32_t kDefaultTimeout = 30000;
    // A time-out of this value waits for ever.
    static constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
    static constexpr std::uint64_t kDefaultMaxBodyBytes = 64ull * 1024 * 1024;
    static constexpr const char* kDefaultAgent = "qorb";

    std::uint32_t dwConnectTimeout = kDefaultTimeout;   // ms, until the connection stands
    std::uint32_t dwOpenTimeout = kDefaultTimeout;      // ms, until the request can be sent
    std::uint32_t dwTransferTimeout = kDefaultTimeout;  // ms, for the response and each body read
    std::string strAgent = kDefaultAgent;               // User-Agent
    std::uint32_t dwRequestFlags = kDefaultFlags;
    // Largest body that Run() collects into a receive buffer; 0 = no limit.
    // Streaming reads (RunHeadersOnly + ReadPortion) are never limited.
    std::uint64_t nMaxBodyBytes = kDefaultMaxBodyBytes;
    // A whole-body read (Run() with a receive buffer) ends timed out when it
    // has not finished this many ms after Run() began; kInfinite: never.
    static constexpr std::uint32_t kDefaultOverallTimeout = 120000;
    std::uint32_t dwOverallTimeout = kDefaultOverallTimeout;
    // Any transfer ends timed out when fewer than dwMinBytesPerSecond arrive
    // per second averaged over dwLowSpeedWindow ms (time the caller leaves a
    // streaming read unread does not count); 0 bytes: no minimum. The window
    // is taken in whole seconds, at least one.
    static constexpr std::uint32_t kDefaultMinBytesPerSecond = 256;
    static constexpr std::uint32_t kDefaultLowSpeedWindow = 30000;
    std::uint32_t dwMinBytesPerSecond = kDefaultMinBytesPerSecond;
    std::uint32_t dwLowSpeedWindow = kDefaultLowSpeedWindow;
};
