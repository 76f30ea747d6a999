#pragma once
// The real fetcher: each Get runs the transaction PerformHttpGet runs. Its
// owner can end every request at once (AbortAll), which the service does when
// it shuts down, so that no worker waits out a stalled server.
//
// Threads: Get from any thread, several at once; AbortAll from any thread.
// The object must outlive every Get running on it.
#include <memory>
#include <mutex>
#include <set>

#include "net/IHttpFetcher.h"

class mcHttpTransaction;

class mcHttpFetcher : public IHttpFetcher {
public:
    mcHttpFetcher() = default;
    mcHttpFetcher(const mcHttpFetcher&) = delete;
    mcHttpFetcher& operator=(const mcHttpFetcher&) = delete;

    // After AbortAll: false at once, result "Cancelled" (3) with no request made.
    bool Get(const std::string& strUrl, std::vector<std::uint8_t>* pReceiveBuffer,
             const mcHttpTransactionOptions* pOptions, mcHttpResult* pResult,
             const std::string* pExtraHeaders) override;

    void AbortAll() override;
    bool IsAborted() const;

    // A process-wide fetcher for code without an owner that could abort it;
    // never to be aborted.
    static std::shared_ptr<IHttpFetcher> Shared();

private:
    mutable std::mutex m_mutex;
    std::set<mcHttpTransaction*> m_setRunning;
    bool m_bAborted = false;
};
