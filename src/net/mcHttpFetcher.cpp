#include "net/mcHttpFetcher.h"

#include "net/mcHttpGet.h"

namespace {
constexpr const char* kCancelledText = "Cancelled";
}  // namespace

bool mcHttpFetcher::Get(const std::string& strUrl, std::vector<std::uint8_t>* pReceiveBuffer,
                        const mcHttpTransactionOptions* pOptions, mcHttpResult* pResult,
                        const std::string* pExtraHeaders) {
    mcHttpGet get(strUrl, nullptr, pReceiveBuffer, pOptions, pResult, pExtraHeaders, nullptr, 0);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bAborted) {
            if (pResult) {
                pResult->dwResult = mcHttpResult::kCancelled;
                pResult->dwErrorKind = mcHttpResult::kErrorText;
                pResult->strMessage = kCancelledText;
            }
            return false;
        }
        m_setRunning.insert(&get);
    }
    // A transaction aborted before it runs fails at its first wait.
    const bool bOk = get.Run();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_setRunning.erase(&get);
    return bOk;
}

void mcHttpFetcher::AbortAll() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bAborted = true;
    for (mcHttpTransaction* pTransaction : m_setRunning) pTransaction->Abort();
}

bool mcHttpFetcher::IsAborted() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bAborted;
}

std::shared_ptr<IHttpFetcher> mcHttpFetcher::Shared() {
    static const std::shared_ptr<IHttpFetcher> pShared = std::make_shared<mcHttpFetcher>();
    return pShared;
}
