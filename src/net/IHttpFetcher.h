#pragma once
// How the manifest directory, the event sender and the connection check make
// their HTTP GETs: through this interface, so that the service can end every
// request it has running when it shuts down and tests can answer below HTTP.
// The default is mcHttpFetcher (PerformHttpGet's transaction).
//
// Threads: any thread, several requests at once. Never throws (apart from
// std::bad_alloc); failures come back as false and in the result record.
#include <cstdint>
#include <string>
#include <vector>

#include "net/mcHttpResult.h"
#include "net/mcHttpTransactionOptions.h"

class IHttpFetcher {
public:
    virtual ~IHttpFetcher() = default;

    // The contract of PerformHttpGet (net/HttpGet.h): every pointer may be
    // null; without pReceiveBuffer the body is not read.
    virtual bool Get(const std::string& strUrl, std::vector<std::uint8_t>* pReceiveBuffer,
                     const mcHttpTransactionOptions* pOptions, mcHttpResult* pResult,
                     const std::string* pExtraHeaders) = 0;

    // Ends every request running now (they fail as "Cancelled") and makes
    // every later one fail at once. Final; any thread.
    virtual void AbortAll() = 0;

    // PerformHttpGetString on top of Get: the body decoded as UTF-8 (invalid
    // sequences replaced) and cut at its first NUL; *pResponseText is written
    // only on success. Without pResponseText no body is read.
    bool GetString(const std::string& strUrl, std::string* pResponseText,
                   const mcHttpTransactionOptions* pOptions = nullptr, mcHttpResult* pResult = nullptr,
                   const std::string* pExtraHeaders = nullptr);
};
