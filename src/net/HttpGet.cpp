#include "net/HttpGet.h"

#include "base/StrConv.h"
#include "base/mcDiagTrace.h"
#include "net/mcHttpGet.h"

namespace {
constexpr const char* kEmbeddedNulls = "EMBEDDED NULL(S) DETECTED";
constexpr const char* kEmbeddedNullsFunction = "PrvHandleEmbeddedNulls";
}  // namespace

bool PerformHttpGet(const std::string& strUrl, std::vector<std::uint8_t>* pReceiveBuffer,
                    const mcHttpTransactionOptions* pOptions, mcHttpResult* pResult,
                    const std::string* pExtraHeaders, mcHttpHeaders* pResponseHeaders,
                    std::intptr_t nReserved) {
    mcHttpGet get(strUrl, nullptr, pReceiveBuffer, pOptions, pResult, pExtraHeaders,
                  pResponseHeaders, nReserved);
    return get.Run();
}

bool PerformHttpGetString(const std::string& strUrl, std::string* pResponseText,
                          const mcHttpTransactionOptions* pOptions, mcHttpResult* pResult,
                          const std::string* pExtraHeaders, mcHttpHeaders* pResponseHeaders,
                          std::intptr_t nReserved) {
    if (!pResponseText) {
        return PerformHttpGet(strUrl, nullptr, pOptions, pResult, pExtraHeaders, pResponseHeaders,
                              nReserved);
    }
    std::vector<std::uint8_t> vecBody;
    bool bOk = PerformHttpGet(strUrl, &vecBody, pOptions, pResult, pExtraHeaders,
                              pResponseHeaders, nReserved);
    if (bOk) {
        std::string_view bytes(reinterpret_cast<const char*>(vecBody.data()), vecBody.size());
        *pResponseText = mfConvertMBCSToWide(bytes, CP_UTF8, kStrConvReplaceInvalid);
        PrvHandleEmbeddedNulls(*pResponseText);
    }
    return bOk;
}

std::size_t PrvHandleEmbeddedNulls(std::string& strText) {
    std::size_t nNul = strText.find('\0');
    if (nNul != std::string::npos) {
        strText.resize(nNul);
        mcDiagTrace::Core().Send(std::string(kEmbeddedNullsFunction) + ":" + " " + kEmbeddedNulls);
    }
    return strText.size();
}
