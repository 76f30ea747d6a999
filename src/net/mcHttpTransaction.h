#pragma once
// One HTTP request: connect, send, check the status (200 to 299), optionally
// collect the response headers and read the body, each phase with its own
// time-out. Transactions never throw to their caller: every failure ends in the
// result record (when given), a line on the "HTTP" trace source and a false
// return.
//
// Threads: one caller thread drives a transaction from construction to
// destruction; Abort() may be called from any other thread. Each transaction
// has its own transport handles, so concurrent transactions share only the
// process-wide id repository.
//
// Ownership: the receive buffer, result, extra headers and response-header map
// are the caller's and must outlive the transaction; each may be absent
// (nullptr). The options are copied.
//
// Transport: one libcurl easy handle driven through a multi handle. Redirects
// are followed (http and https only); a URL on port 443 or with the https scheme
// is sent over TLS. Proxies come from the environment (http_proxy, https_proxy,
// no_proxy); none set is not an error.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/mcHttpHeaders.h"
#include "net/mcHttpResult.h"
#include "net/mcHttpTransactionOptions.h"
#include "net/mcObjectRepository.h"

class mcHttpTransaction;
struct msHttpTransport;

namespace mcHT {
// Transport callbacks: they find their transaction through the id repository.
std::size_t HeaderCallback(char* pData, std::size_t nSize, std::size_t nCount, void* pContext);
std::size_t WriteCallback(char* pData, std::size_t nSize, std::size_t nCount, void* pContext);
int PrereqCallback(void* pContext, char* pConnPrimaryIp, char* pConnLocalIp, int nPrimaryPort,
                   int nLocalPort);
}  // namespace mcHT

class mcHttpTransaction {
public:
    // Reasons a wait ends early.
    enum meAbort { kAbortCancelled = 0, kAbortTimedOut = 1 };

    // Phases.
    static constexpr std::uint32_t kPhaseCreated = 0;
    static constexpr std::uint32_t kPhaseConnecting = 1;
    static constexpr std::uint32_t kPhaseOpening = 2;
    static constexpr std::uint32_t kPhaseSending = 3;
    static constexpr std::uint32_t kPhaseReading = 4;
    static constexpr std::uint32_t kPhaseFinished = 5;

    // Portion size of Run()'s body reads.
    static constexpr std::size_t kRunPortion = 8192;

    // Registers the transaction in the repository (cannot fail). pOptions null
    // means the defaults. nReserved is stored and not used.
    mcHttpTransaction(std::string strUrl, const std::vector<std::uint8_t>* pBody,
                      std::vector<std::uint8_t>* pReceiveBuffer,
                      const mcHttpTransactionOptions* pOptions, mcHttpResult* pResult,
                      const std::string* pExtraHeaders, mcHttpHeaders* pResponseHeaders,
                      std::intptr_t nReserved);
    virtual ~mcHttpTransaction();
    mcHttpTransaction(const mcHttpTransaction&) = delete;
    mcHttpTransaction& operator=(const mcHttpTransaction&) = delete;

    // The whole request; with a receive buffer the body is appended to it in
    // portions of kRunPortion bytes, up to the options' nMaxBodyBytes. True on
    // success (result 0). Call once.
    virtual bool Run();
    virtual std::string GetVerb() const = 0;

    // Run() without reading the body, for callers that stream it with
    // ReadPortion().
    bool RunHeadersOnly();
    // After RunHeadersOnly(): clears the receive buffer and fills it with at most
    // nMaxBytes of the body, as much as is available, waiting up to the transfer
    // time-out for the first byte. Sets *pbDone (and leaves the buffer empty)
    // only once the body is exhausted, so a loop "read, use the bytes, stop when
    // done" sees every byte. False when an error was recorded. Memory stays
    // bounded whatever the body size.
    bool ReadPortion(std::size_t nMaxBytes, bool* pbDone);

    // Ends the current or next wait with "Cancelled" (result 3). Any thread,
    // as long as the transaction exists.
    void Abort();

    std::uint32_t Id() const { return m_dwId; }
    std::uint32_t Phase() const { return m_dwPhase.load(); }
    // Request flags as sent: the options' flags plus secure / keep-connection.
    std::uint32_t EffectiveRequestFlags() const { return m_dwEffectiveFlags; }

    // The process-wide id repository.
    static mcObjectRepository<mcHttpTransaction>& Repository();

private:
    friend std::size_t mcHT::HeaderCallback(char*, std::size_t, std::size_t, void*);
    friend std::size_t mcHT::WriteCallback(char*, std::size_t, std::size_t, void*);
    friend int mcHT::PrereqCallback(void*, char*, char*, int, int);

    bool PrvRun(bool bReadBody);
    void PrvOpen();
    void PrvParseUrl();
    void PrvConnect();
    void PrvOpenRequest();
    void PrvSendRequest();
    void PrvCheckHttpStatus();
    void PrvCheckResponseHeaders();
    // Reads at most nMaxBytes into the receive buffer (appending); true at the end.
    bool PrvReadPortion(std::size_t nMaxBytes);
    template <class Pred>
    void PrvDriveUntil(Pred pred, std::uint32_t dwTimeout);
    void PrvPerform();
    [[noreturn]] void PrvThrowTransportError(int nLine);
    void PrvHandleError(std::exception_ptr pError);
    void PrvFail(std::uint32_t dwResult, std::uint32_t dwErrorKind, const std::string& strLine,
                 bool bSetMessage);

    std::size_t PrvOnHeader(const char* pData, std::size_t nBytes);
    std::size_t PrvOnWrite(const char* pData, std::size_t nBytes);
    void PrvOnPrereq();

    std::uint32_t m_dwId = 0;
    std::atomic<std::uint32_t> m_dwPhase{kPhaseCreated};
    mcHttpTransactionOptions m_options;
    std::string m_strUrl;
    const std::vector<std::uint8_t>* m_pBody;
    std::vector<std::uint8_t>* m_pReceiveBuffer;
    mcHttpResult* m_pResult;
    const std::string* m_pExtraHeaders;
    mcHttpHeaders* m_pResponseHeaders;
    std::intptr_t m_nReserved;
    std::atomic<bool> m_bAbort{false};
    bool m_bStarted = false;
    bool m_bFailed = false;
    std::uint32_t m_dwEffectiveFlags = 0;
    // End of a whole-body read (dwOverallTimeout); unset otherwise.
    std::optional<std::chrono::steady_clock::time_point> m_tpDeadline;

    msHttpTransport* m_pTransport = nullptr;  // owned; curl handles and parse state
};
