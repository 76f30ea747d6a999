#include "net/mcHttpTransaction.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>

#include "base/StrConv.h"
#include "base/StrUtils.h"
#include "base/mcDiagTrace.h"
#include "net/HttpProxy.h"
#include "net/mcNameValuePair.h"

namespace {

// The name this source reports in its "Win32 Error" lines.
constexpr const char* kSourceFile = "mcHttpTransaction.cpp";

// Line numbers reported with each transport failure, one per step.
constexpr int kLineCallback = 466;
constexpr int kLineOpen = 514;
constexpr int kLineConnect = 548;
constexpr int kLineOpenRequest = 597;
constexpr int kLineAddHeaders = 625;
constexpr int kLineSend = 647;
constexpr int kLineRead = 829;
constexpr int kLineWait = 953;

// Trace and error texts.
constexpr const char* kBadHttpStatus = "Bad Http Status: ";
constexpr const char* kWin32Error = " Win32 Error: ";
constexpr const char* kCancelled = "Cancelled";
constexpr const char* kTimedOut = "Timed out.";
constexpr const char* kUnrecognizedAbort = "Unrecognized abort code";
constexpr const char* kUnknownException = "Caught unknown exception";
constexpr const char* kParseUrlFailed = "ParseUrlWorker failed.";
constexpr const char* kStatusQueryFailed = "PrvCheckHttpStatus: HttpQueryInfo failed.  Error=";
constexpr const char* kHeadersQueryFailed =
    "PrvCheckResponseHeaders: HttpQueryInfo failed.  Error=";
constexpr const char* kNoReceiveBuffer = "No receive buffer provided.";
constexpr const char* kNoDoneArg = "No done arg provided.";
constexpr const char* kNotStarted = "ReadPortion: no request has been sent.";
constexpr const char* kAlreadyStarted = "Run: the request has already been sent.";
constexpr const char* kZeroPortion = "ReadPortion: portion size is 0.";
constexpr const char* kNoTran = "mcHT::WininetCallback - no tran, ignoring callback";
constexpr const char* kClosing = "mcHT::WininetCallback - closing, ignoring callback";

// Error numbers reported for transport failures (the numbering callers and the
// event server already know).
constexpr std::uint32_t kErrNotEnoughMemory = 8;
constexpr std::uint32_t kErrInvalidParameter = 87;
constexpr std::uint32_t kErrInternetTimeout = 12002;
constexpr std::uint32_t kErrInternalError = 12004;
constexpr std::uint32_t kErrInvalidUrl = 12005;
constexpr std::uint32_t kErrNameNotResolved = 12007;
constexpr std::uint32_t kErrCannotConnect = 12029;
constexpr std::uint32_t kErrConnectionAborted = 12030;
constexpr std::uint32_t kErrConnectionReset = 12031;
constexpr std::uint32_t kErrInvalidCa = 12045;
constexpr std::uint32_t kErrHeaderNotFound = 12150;
constexpr std::uint32_t kErrInvalidServerResponse = 12152;
constexpr std::uint32_t kErrRedirectFailed = 12156;
constexpr std::uint32_t kErrSecurityChannel = 12157;

constexpr long kMaxRedirects = 10;
constexpr long kReceiveBufferSize = 64 * 1024;
// Body bytes staged between the transport and ReadPortion before the transfer
// is paused; bounds a streaming transaction's memory.
constexpr std::size_t kPendingLimit = 256 * 1024;
constexpr int kPollSliceMs = 1000;

// Failures raised inside a transaction and turned into results at its boundary.
struct msWin32Err {
    const char* pszFile;
    int nLine;
    std::uint32_t dwCode;
};
struct msErrorText {
    std::string strText;
};
struct msBadStatus {
    std::uint32_t dwStatus;
};

void PrvEnsureCurlGlobal() {
    static std::once_flag s_once;
    std::call_once(s_once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::uint32_t PrvMapCurlError(CURLcode code) {
    switch (code) {
    case CURLE_OUT_OF_MEMORY:
        return kErrNotEnoughMemory;
    case CURLE_URL_MALFORMAT:
        return kErrInvalidUrl;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return kErrNameNotResolved;
    case CURLE_COULDNT_CONNECT:
        return kErrCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
        return kErrInternetTimeout;
    case CURLE_PARTIAL_FILE:
        return kErrConnectionAborted;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        return kErrConnectionReset;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return kErrInvalidServerResponse;
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_UNSUPPORTED_PROTOCOL:
        return kErrRedirectFailed;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        return kErrInvalidCa;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
        return kErrSecurityChannel;
    default:
        return kErrInternalError;
    }
}

bool PrvStartsWithNoCase(const std::string& strText, const char* pszPrefix) {
    std::size_t n = std::strlen(pszPrefix);
    if (strText.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char a = strText[i], b = pszPrefix[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

bool PrvEqualsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && PrvStartsWithNoCase(a, b.c_str());
}

// Canonical form of a URL as a browser would send it: surrounding white space
// removed, blanks, control characters and bytes above 0x7E percent-escaped.
std::string PrvCanonicalizeUrl(const std::string& strUrl) {
    static const char kHex[] = "0123456789ABCDEF";
    std::size_t nBegin = strUrl.find_first_not_of(" \t\r\n");
    if (nBegin == std::string::npos) return std::string();
    std::size_t nEnd = strUrl.find_last_not_of(" \t\r\n");
    std::string strOut;
    strOut.reserve(nEnd - nBegin + 16);
    for (std::size_t i = nBegin; i <= nEnd; ++i) {
        unsigned char c = static_cast<unsigned char>(strUrl[i]);
        if (c <= 0x20 || c >= 0x7F) {
            strOut += '%';
            strOut += kHex[c >> 4];
            strOut += kHex[c & 0x0F];
        } else {
            strOut += static_cast<char>(c);
        }
    }
    return strOut;
}

// A header value of ours (the agent) must not be able to start a new line.
std::string PrvSingleLine(const std::string& strText) {
    std::string strOut = strText;
    for (char& c : strOut) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = ' ';
    }
    return strOut;
}

std::string PrvTrimLineEnd(const char* pData, std::size_t nBytes) {
    while (nBytes > 0 && (pData[nBytes - 1] == '\n' || pData[nBytes - 1] == '\r')) --nBytes;
    return std::string(pData, nBytes);
}

std::uint32_t PrvParseStatusLine(const std::string& strLine) {
    // "HTTP/1.1 200 OK", "HTTP/2 404"
    std::size_t nSpace = strLine.find(' ');
    if (nSpace == std::string::npos) return 0;
    std::uint32_t dwStatus = 0;
    int nDigits = 0;
    for (std::size_t i = nSpace + 1; i < strLine.size() && nDigits < 3; ++i, ++nDigits) {
        char c = strLine[i];
        if (c < '0' || c > '9') return 0;
        dwStatus = dwStatus * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return nDigits == 3 ? dwStatus : 0;
}

bool PrvIsRedirectStatus(std::uint32_t dwStatus) {
    return dwStatus == 301 || dwStatus == 302 || dwStatus == 303 || dwStatus == 307 ||
           dwStatus == 308;
}

void* PrvContext(std::uint32_t dwId) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(dwId));
}

std::uint32_t PrvIdFromContext(void* pContext) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pContext));
}

}  // namespace

// Transport state of one transaction: the curl handles, the response header
// blocks as they arrive and the body bytes not yet handed to the reader.
struct msHttpTransport {
    std::atomic<CURLM*> pMulti{nullptr};
    CURL* pEasy = nullptr;
    curl_slist* pRequestHeaders = nullptr;
    bool bAdded = false;
    char szError[CURL_ERROR_SIZE] = {};

    std::string strUrl;  // canonical, as sent

    bool bPrereq = false;     // the connection stands and the request is about to go
    bool bDone = false;       // the transfer has ended
    CURLcode doneCode = CURLE_OK;

    // Header blocks: the one being received and the last complete one.
    bool bInBlock = false;
    std::string strBlock;
    std::uint32_t dwBlockStatus = 0;
    bool bBlockHasLocation = false;
    std::string strLastBlock;
    std::uint32_t dwLastStatus = 0;
    bool bFinalHeaders = false;  // the response's own headers are complete

    std::vector<char> vecPending;
    std::size_t nPendingBegin = 0;
    bool bPaused = false;

    std::size_t PendingSize() const { return vecPending.size() - nPendingBegin; }

    ~msHttpTransport() {
        CURLM* pM = pMulti.load();
        if (pM && pEasy && bAdded) curl_multi_remove_handle(pM, pEasy);
        if (pEasy) curl_easy_cleanup(pEasy);
        if (pRequestHeaders) curl_slist_free_all(pRequestHeaders);
        if (pM) curl_multi_cleanup(pM);
    }
};

mcObjectRepository<mcHttpTransaction>& mcHttpTransaction::Repository() {
    static mcObjectRepository<mcHttpTransaction> s_repository("class mcHttpTransaction");
    return s_repository;
}

mcHttpTransaction::mcHttpTransaction(std::string strUrl, const std::vector<std::uint8_t>* pBody,
                                     std::vector<std::uint8_t>* pReceiveBuffer,
                                     const mcHttpTransactionOptions* pOptions,
                                     mcHttpResult* pResult, const std::string* pExtraHeaders,
                                     mcHttpHeaders* pResponseHeaders, std::intptr_t nReserved)
    : m_options(pOptions ? *pOptions : mcHttpTransactionOptions()),
      m_strUrl(std::move(strUrl)),
      m_pBody(pBody),
      m_pReceiveBuffer(pReceiveBuffer),
      m_pResult(pResult),
      m_pExtraHeaders(pExtraHeaders),
      m_pResponseHeaders(pResponseHeaders),
      m_nReserved(nReserved),
      m_pTransport(new msHttpTransport) {
    m_dwId = Repository().Register(this);
}

mcHttpTransaction::~mcHttpTransaction() {
    try {
        Repository().Unregister(m_dwId);
    } catch (...) {
        // An id of 0 is never handed out; nothing to undo.
    }
    delete m_pTransport;
}

void mcHttpTransaction::Abort() {
    m_bAbort = true;
    CURLM* pMulti = m_pTransport->pMulti.load();
    if (pMulti) curl_multi_wakeup(pMulti);
}

bool mcHttpTransaction::Run() { return PrvRun(true); }

bool mcHttpTransaction::RunHeadersOnly() { return PrvRun(false); }

bool mcHttpTransaction::PrvRun(bool bReadBody) {
    if (m_bStarted) {
        PrvFail(mcHttpResult::kFailed, mcHttpResult::kErrorText, kAlreadyStarted, true);
        return false;
    }
    m_bStarted = true;
    if (bReadBody && m_pReceiveBuffer && m_options.dwOverallTimeout != mcHttpTransactionOptions::kInfinite) {
        m_tpDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_options.dwOverallTimeout);
    }
    try {
        PrvOpen();
        PrvParseUrl();
        PrvConnect();
        PrvOpenRequest();
        PrvSendRequest();
        PrvCheckHttpStatus();
        if (m_pResponseHeaders) PrvCheckResponseHeaders();
        if (bReadBody && m_pReceiveBuffer) {
            m_dwPhase = kPhaseReading;
            curl_off_t nLength = -1;
            if (m_options.nMaxBodyBytes != 0 &&
                curl_easy_getinfo(m_pTransport->pEasy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T,
                                  &nLength) == CURLE_OK &&
                nLength > 0 && static_cast<std::uint64_t>(nLength) > m_options.nMaxBodyBytes) {
                throw msErrorText{"Response body exceeds the limit of " +
                                  std::to_string(m_options.nMaxBodyBytes) + " bytes."};
            }
            while (!PrvReadPortion(kRunPortion)) {
                if (m_options.nMaxBodyBytes != 0 &&
                    m_pReceiveBuffer->size() > m_options.nMaxBodyBytes) {
                    throw msErrorText{"Response body exceeds the limit of " +
                                      std::to_string(m_options.nMaxBodyBytes) + " bytes."};
                }
            }
        }
        if (m_pResult) {
            m_pResult->dwResult = mcHttpResult::kSuccess;
            m_pResult->dwErrorKind = mcHttpResult::kErrorNone;
        }
        return true;
    } catch (...) {
        PrvHandleError(std::current_exception());
        return false;
    }
}

bool mcHttpTransaction::ReadPortion(std::size_t nMaxBytes, bool* pbDone) {
    if (m_bFailed) return false;
    try {
        if (!m_pReceiveBuffer) throw msErrorText{kNoReceiveBuffer};
        if (!pbDone) throw msErrorText{kNoDoneArg};
        if (!m_bStarted) throw msErrorText{kNotStarted};
        if (nMaxBytes == 0) throw msErrorText{kZeroPortion};
        m_pReceiveBuffer->clear();
        *pbDone = false;
        if (m_dwPhase == kPhaseFinished) {
            *pbDone = true;
            return true;
        }
        m_dwPhase = kPhaseReading;
        if (PrvReadPortion(nMaxBytes)) *pbDone = true;
        return true;
    } catch (...) {
        PrvHandleError(std::current_exception());
        return false;
    }
}

void mcHttpTransaction::PrvOpen() {
    PrvEnsureCurlGlobal();
    msHttpTransport& t = *m_pTransport;
    CURLM* pMulti = curl_multi_init();
    if (!pMulti) throw msWin32Err{kSourceFile, kLineOpen, kErrNotEnoughMemory};
    t.pMulti = pMulti;
    t.pEasy = curl_easy_init();
    if (!t.pEasy) throw msWin32Err{kSourceFile, kLineOpen, kErrNotEnoughMemory};

    void* pContext = PrvContext(m_dwId);
    CURL* e = t.pEasy;
    if (curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &mcHT::HeaderCallback) != CURLE_OK ||
        curl_easy_setopt(e, CURLOPT_HEADERDATA, pContext) != CURLE_OK ||
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &mcHT::WriteCallback) != CURLE_OK ||
        curl_easy_setopt(e, CURLOPT_WRITEDATA, pContext) != CURLE_OK ||
        curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &mcHT::PrereqCallback) != CURLE_OK ||
        curl_easy_setopt(e, CURLOPT_PREREQDATA, pContext) != CURLE_OK ||
        curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.szError) != CURLE_OK) {
        throw msWin32Err{kSourceFile, kLineCallback, kErrInternalError};
    }
}

void mcHttpTransaction::PrvParseUrl() {
    msHttpTransport& t = *m_pTransport;
    std::string strCanonical = PrvCanonicalizeUrl(m_strUrl);
    CURLU* pUrl = curl_url();
    if (!pUrl) throw msErrorText{kParseUrlFailed};
    struct UrlGuard {
        CURLU* p;
        ~UrlGuard() { curl_url_cleanup(p); }
    } guard{pUrl};

    auto part = [&](CURLUPart what, unsigned int flags) -> std::string {
        char* psz = nullptr;
        if (curl_url_get(pUrl, what, &psz, flags) != CURLUE_OK || !psz) return std::string();
        std::string s(psz);
        curl_free(psz);
        return s;
    };
    // An empty authority ("http:///path") is no host at all, whatever a lenient
    // parser makes of it.
    std::size_t nAuthority = strCanonical.find("://");
    if (nAuthority == std::string::npos || strCanonical.compare(nAuthority + 3, 1, "/") == 0 ||
        curl_url_set(pUrl, CURLUPART_URL, strCanonical.c_str(), 0) != CURLUE_OK)
        throw msErrorText{kParseUrlFailed};
    std::string strScheme = part(CURLUPART_SCHEME, 0);
    std::string strHost = part(CURLUPART_HOST, 0);
    std::string strPort = part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if ((strScheme != "http" && strScheme != "https") || strHost.empty() || strPort.empty())
        throw msErrorText{kParseUrlFailed};

    // A request to port 443 goes over TLS, and so does every https URL.
    bool bSecure = strScheme == "https" || strPort == "443";
    m_dwEffectiveFlags = m_options.dwRequestFlags;
    if (bSecure) {
        m_dwEffectiveFlags |= mcHttpTransactionOptions::kFlagSecure;
        if (strScheme != "https") {
            if (curl_url_set(pUrl, CURLUPART_SCHEME, "https", 0) != CURLUE_OK ||
                curl_url_set(pUrl, CURLUPART_PORT, strPort.c_str(), 0) != CURLUE_OK)
                throw msErrorText{kParseUrlFailed};
        }
    }
    t.strUrl = part(CURLUPART_URL, 0);
    if (t.strUrl.empty()) throw msErrorText{kParseUrlFailed};
}

void mcHttpTransaction::PrvConnect() {
    msHttpTransport& t = *m_pTransport;
    CURL* e = t.pEasy;
    std::uint64_t nConnectBackstop =
        static_cast<std::uint64_t>(m_options.dwConnectTimeout) + m_options.dwOpenTimeout;
    bool bOk =
        curl_easy_setopt(e, CURLOPT_URL, t.strUrl.c_str()) == CURLE_OK &&
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
        curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
        curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
        curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) ==
            CURLE_OK &&
        curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK &&
        curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBufferSize) == CURLE_OK;
    // curl's own connect limit only backs up ours; it never fires first.
    if (bOk && m_options.dwConnectTimeout != mcHttpTransactionOptions::kInfinite &&
        m_options.dwOpenTimeout != mcHttpTransactionOptions::kInfinite) {
        bOk = curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                               static_cast<long>(nConnectBackstop + 1000)) == CURLE_OK;
    }
    if (bOk && m_options.dwMinBytesPerSecond != 0) {
        const long nWindowSeconds = std::max<long>(1, static_cast<long>((m_options.dwLowSpeedWindow + 999) / 1000));
        bOk = curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(m_options.dwMinBytesPerSecond)) ==
                  CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, nWindowSeconds) == CURLE_OK;
    }
    if (!bOk) throw msWin32Err{kSourceFile, kLineConnect, kErrInternalError};

    // Request line and headers. Ours first; the caller's extra headers are
    // added only when no header of that name is present yet.
    if (IsProxyEnabled()) m_dwEffectiveFlags |= mcHttpTransactionOptions::kFlagKeepConnection;
    std::vector<std::string> vecNames = {"Host"};
    auto add = [&](const std::string& strLine) {
        curl_slist* p = curl_slist_append(t.pRequestHeaders, strLine.c_str());
        if (!p) throw msWin32Err{kSourceFile, kLineAddHeaders, kErrNotEnoughMemory};
        t.pRequestHeaders = p;
    };
    std::string strAgent = PrvSingleLine(m_options.strAgent);
    if (!strAgent.empty()) {
        curl_easy_setopt(e, CURLOPT_USERAGENT, strAgent.c_str());
        vecNames.push_back("User-Agent");
    }
    if (m_dwEffectiveFlags & mcHttpTransactionOptions::kFlagReload) {
        add("Cache-Control: no-cache");
        add("Pragma: no-cache");
        vecNames.push_back("Cache-Control");
        vecNames.push_back("Pragma");
    }
    // No accept types are given.
    bool bAcceptGiven = false;
    if (m_pExtraHeaders && !m_pExtraHeaders->empty()) {
        std::vector<std::string> vecLines;
        mfStrSplit(*m_pExtraHeaders, "\n", vecLines);
        for (std::string strLine : vecLines) {
            if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
            if (strLine.empty()) continue;
            std::size_t nColon = strLine.find(':');
            bool bValid = nColon != std::string::npos && nColon > 0;
            for (std::size_t i = 0; bValid && i < strLine.size(); ++i) {
                unsigned char c = static_cast<unsigned char>(strLine[i]);
                if ((c < 0x20 && c != '\t') || c == 0x7F) bValid = false;
                if (i < nColon && (c == ' ' || c == '\t')) bValid = false;
            }
            if (!bValid) throw msWin32Err{kSourceFile, kLineAddHeaders, kErrInvalidParameter};
            std::string strName = strLine.substr(0, nColon);
            bool bPresent = std::any_of(vecNames.begin(), vecNames.end(),
                                        [&](const std::string& s) { return PrvEqualsNoCase(s, strName); });
            if (bPresent) continue;
            // A header without a value is sent as "Name;" (curl's spelling).
            std::string strValue = mfStrTrim(strLine.substr(nColon + 1));
            add(strValue.empty() ? strName + ";" : strName + ": " + strValue);
            vecNames.push_back(strName);
            if (PrvEqualsNoCase(strName, "Accept")) bAcceptGiven = true;
        }
    }
    if (!bAcceptGiven) add("Accept:");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.pRequestHeaders);

    std::string strVerb = GetVerb();
    if (m_pBody && !m_pBody->empty()) {
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(m_pBody->size()));
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, m_pBody->data());
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, strVerb.c_str());
    } else if (strVerb == "GET") {
        curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    } else if (strVerb == "HEAD") {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, strVerb.c_str());
    }

    // Connect (phase 1): until the TCP connection stands.
    m_dwPhase = kPhaseConnecting;
    if (curl_multi_add_handle(t.pMulti.load(), e) != CURLM_OK)
        throw msWin32Err{kSourceFile, kLineConnect, kErrInternalError};
    t.bAdded = true;
    PrvDriveUntil(
        [&] {
            curl_off_t nConnect = 0;
            curl_easy_getinfo(e, CURLINFO_CONNECT_TIME_T, &nConnect);
            return nConnect > 0 || t.bPrereq || t.bFinalHeaders;
        },
        m_options.dwConnectTimeout);
    if (t.bDone && t.doneCode != CURLE_OK && !t.bFinalHeaders) PrvThrowTransportError(kLineConnect);
}

void mcHttpTransaction::PrvOpenRequest() {
    // Open the request (phase 2): TLS and proxy handshakes, until the request
    // can be sent.
    msHttpTransport& t = *m_pTransport;
    m_dwPhase = kPhaseOpening;
    PrvDriveUntil([&] { return t.bPrereq || t.bFinalHeaders; }, m_options.dwOpenTimeout);
    if (t.bDone && t.doneCode != CURLE_OK && !t.bFinalHeaders)
        PrvThrowTransportError(kLineOpenRequest);
}

void mcHttpTransaction::PrvSendRequest() {
    // Send (phase 3): until the response's header block is complete. Redirects
    // are followed inside this phase.
    msHttpTransport& t = *m_pTransport;
    m_dwPhase = kPhaseSending;
    PrvDriveUntil([&] { return t.bFinalHeaders; }, m_options.dwTransferTimeout);
    if (!t.bFinalHeaders) {
        if (t.bDone && t.doneCode != CURLE_OK) PrvThrowTransportError(kLineSend);
        // Ended cleanly: the last complete block is the response.
        if (!t.strLastBlock.empty()) {
            t.bFinalHeaders = true;
        } else {
            throw msWin32Err{kSourceFile, kLineSend, kErrInvalidServerResponse};
        }
    }
}

void mcHttpTransaction::PrvCheckHttpStatus() {
    msHttpTransport& t = *m_pTransport;
    std::uint32_t dwStatus = t.dwLastStatus;
    if (dwStatus == 0) throw msErrorText{kStatusQueryFailed + std::to_string(kErrHeaderNotFound)};
    if (m_pResult) m_pResult->dwHttpStatus = dwStatus;
    if (dwStatus < 200 || dwStatus > 299) throw msBadStatus{dwStatus};
}

void mcHttpTransaction::PrvCheckResponseHeaders() {
    msHttpTransport& t = *m_pTransport;
    if (t.strLastBlock.empty())
        throw msErrorText{kHeadersQueryFailed + std::to_string(kErrHeaderNotFound)};
    // Header bytes are taken as the locale's text; what cannot be read so is
    // replaced rather than failing the request.
    m_pResponseHeaders->SetFromResponseBlock(t.strLastBlock);
}

bool mcHttpTransaction::PrvReadPortion(std::size_t nMaxBytes) {
    msHttpTransport& t = *m_pTransport;
    if (t.PendingSize() == 0 && !t.bDone) {
        if (t.bPaused) {
            t.bPaused = false;
            curl_easy_pause(t.pEasy, CURLPAUSE_CONT);
        }
        PrvDriveUntil([&] { return t.PendingSize() > 0; }, m_options.dwTransferTimeout);
    }
    std::size_t nAvailable = t.PendingSize();
    if (nAvailable > 0) {
        std::size_t n = std::min(nAvailable, nMaxBytes);
        const char* p = t.vecPending.data() + t.nPendingBegin;
        m_pReceiveBuffer->insert(m_pReceiveBuffer->end(), reinterpret_cast<const std::uint8_t*>(p),
                                 reinterpret_cast<const std::uint8_t*>(p) + n);
        t.nPendingBegin += n;
        if (t.nPendingBegin == t.vecPending.size()) {
            t.vecPending.clear();
            t.nPendingBegin = 0;
        }
        return false;
    }
    if (t.doneCode != CURLE_OK) PrvThrowTransportError(kLineRead);
    m_dwPhase = kPhaseFinished;
    return true;
}

void mcHttpTransaction::PrvPerform() {
    msHttpTransport& t = *m_pTransport;
    CURLM* pMulti = t.pMulti.load();
    int nRunning = 0;
    CURLMcode mc = curl_multi_perform(pMulti, &nRunning);
    if (mc != CURLM_OK && mc != CURLM_CALL_MULTI_PERFORM)
        throw msWin32Err{kSourceFile, kLineWait, kErrInternalError};
    int nQueued = 0;
    while (CURLMsg* pMsg = curl_multi_info_read(pMulti, &nQueued)) {
        if (pMsg->msg == CURLMSG_DONE && pMsg->easy_handle == t.pEasy) {
            t.bDone = true;
            t.doneCode = pMsg->data.result;
        }
    }
}

template <class Pred>
void mcHttpTransaction::PrvDriveUntil(Pred pred, std::uint32_t dwTimeout) {
    msHttpTransport& t = *m_pTransport;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (m_bAbort) throw kAbortCancelled;
        PrvPerform();
        if (pred() || t.bDone) return;
        if (m_bAbort) throw kAbortCancelled;
        long long nWait = kPollSliceMs;
        if (dwTimeout != mcHttpTransactionOptions::kInfinite) {
            auto nElapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start)
                                .count();
            long long nLeft = static_cast<long long>(dwTimeout) - nElapsed;
            if (nLeft <= 0) throw kAbortTimedOut;
            nWait = std::min<long long>(nWait, nLeft);
        }
        if (m_tpDeadline) {
            const long long nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                                        *m_tpDeadline - std::chrono::steady_clock::now())
                                        .count();
            if (nLeft <= 0) throw kAbortTimedOut;
            nWait = std::min<long long>(nWait, nLeft);
        }
        if (curl_multi_poll(t.pMulti.load(), nullptr, 0, static_cast<int>(nWait), nullptr) !=
            CURLM_OK)
            throw msWin32Err{kSourceFile, kLineWait, kErrInternalError};
    }
}

void mcHttpTransaction::PrvThrowTransportError(int nLine) {
    CURLcode code = m_pTransport->doneCode;
    if (code == CURLE_OPERATION_TIMEDOUT) throw kAbortTimedOut;
    throw msWin32Err{kSourceFile, nLine, PrvMapCurlError(code)};
}

void mcHttpTransaction::PrvFail(std::uint32_t dwResult, std::uint32_t dwErrorKind,
                                const std::string& strLine, bool bSetMessage) {
    m_dwPhase = kPhaseFinished;
    m_bFailed = true;
    mcDiagTrace::Http().Send(strLine);
    if (m_pResult) {
        m_pResult->dwResult = dwResult;
        m_pResult->dwErrorKind = dwErrorKind;
        if (bSetMessage) m_pResult->strMessage = strLine;
    }
}

void mcHttpTransaction::PrvHandleError(std::exception_ptr pError) {
    try {
        std::rethrow_exception(pError);
    } catch (const msBadStatus& e) {
        PrvFail(mcHttpResult::kFailed, mcHttpResult::kErrorBadHttpStatus,
                kBadHttpStatus + std::to_string(e.dwStatus), false);
    } catch (const msWin32Err& e) {
        std::string strLine = std::string("[") + e.pszFile + ":" + std::to_string(e.nLine) + "]" +
                              kWin32Error + std::to_string(e.dwCode);
        if (m_pResult) m_pResult->dwWin32Error = e.dwCode;
        PrvFail(mcHttpResult::kFailed, mcHttpResult::kErrorWin32, strLine, true);
    } catch (meAbort eAbort) {
        if (eAbort == kAbortCancelled)
            PrvFail(mcHttpResult::kCancelled, mcHttpResult::kErrorNone, kCancelled, false);
        else if (eAbort == kAbortTimedOut)
            PrvFail(mcHttpResult::kTimedOut, mcHttpResult::kErrorNone, kTimedOut, false);
        else
            PrvFail(mcHttpResult::kFailed, mcHttpResult::kErrorNone, kUnrecognizedAbort, false);
    } catch (const msErrorText& e) {
        PrvFail(mcHttpResult::kFailed, mcHttpResult::kErrorText, e.strText, true);
    } catch (...) {
        PrvFail(mcHttpResult::kFailed, mcHttpResult::kErrorText, kUnknownException, true);
    }
}

std::size_t mcHttpTransaction::PrvOnHeader(const char* pData, std::size_t nBytes) {
    msHttpTransport& t = *m_pTransport;
    std::string strLine = PrvTrimLineEnd(pData, nBytes);
    if (!t.bInBlock) {
        if (strLine.rfind("HTTP/", 0) != 0) return nBytes;  // not a status line: ignore
        t.bInBlock = true;
        t.strBlock = strLine + "\r\n";
        t.dwBlockStatus = PrvParseStatusLine(strLine);
        t.bBlockHasLocation = false;
        return nBytes;
    }
    if (!strLine.empty()) {
        t.strBlock += strLine;
        t.strBlock += "\r\n";
        if (PrvStartsWithNoCase(strLine, "Location:")) t.bBlockHasLocation = true;
        return nBytes;
    }
    // The empty line ends the block.
    t.strBlock += "\r\n";
    t.bInBlock = false;
    t.strLastBlock = std::move(t.strBlock);
    t.strBlock.clear();
    t.dwLastStatus = t.dwBlockStatus;
    bool bInterim = t.dwLastStatus >= 100 && t.dwLastStatus < 200;
    bool bFollowed = PrvIsRedirectStatus(t.dwLastStatus) && t.bBlockHasLocation;
    if (!bInterim && !bFollowed) t.bFinalHeaders = true;
    return nBytes;
}

std::size_t mcHttpTransaction::PrvOnWrite(const char* pData, std::size_t nBytes) {
    msHttpTransport& t = *m_pTransport;
    // Body bytes are only ever delivered for the response itself.
    t.bFinalHeaders = true;
    if (nBytes == 0) return 0;
    if (t.PendingSize() > 0 && t.PendingSize() + nBytes > kPendingLimit) {
        t.bPaused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (t.nPendingBegin > 0 && t.nPendingBegin >= t.vecPending.size() / 2) {
        t.vecPending.erase(t.vecPending.begin(),
                           t.vecPending.begin() + static_cast<std::ptrdiff_t>(t.nPendingBegin));
        t.nPendingBegin = 0;
    }
    t.vecPending.insert(t.vecPending.end(), pData, pData + nBytes);
    return nBytes;
}

void mcHttpTransaction::PrvOnPrereq() { m_pTransport->bPrereq = true; }

namespace mcHT {

namespace {
// The transaction a callback belongs to, or nullptr (traced) when it is gone or
// finished.
mcHttpTransaction* PrvFind(void* pContext) {
    mcHttpTransaction* pTran = nullptr;
    try {
        pTran = mcHttpTransaction::Repository().Lookup(PrvIdFromContext(pContext));
    } catch (...) {
        pTran = nullptr;
    }
    if (!pTran) {
        mcDiagTrace::Http().Send(kNoTran);
        return nullptr;
    }
    if (pTran->Phase() == mcHttpTransaction::kPhaseFinished) {
        mcDiagTrace::Http().Send(kClosing);
        return nullptr;
    }
    return pTran;
}
}  // namespace

std::size_t HeaderCallback(char* pData, std::size_t nSize, std::size_t nCount, void* pContext) {
    std::size_t nBytes = nSize * nCount;
    mcHttpTransaction* pTran = PrvFind(pContext);
    return pTran ? pTran->PrvOnHeader(pData, nBytes) : nBytes;
}

std::size_t WriteCallback(char* pData, std::size_t nSize, std::size_t nCount, void* pContext) {
    std::size_t nBytes = nSize * nCount;
    mcHttpTransaction* pTran = PrvFind(pContext);
    return pTran ? pTran->PrvOnWrite(pData, nBytes) : nBytes;
}

int PrereqCallback(void* pContext, char*, char*, int, int) {
    mcHttpTransaction* pTran = PrvFind(pContext);
    if (pTran) pTran->PrvOnPrereq();
    return CURL_PREREQFUNC_OK;
}

}  // namespace mcHT
