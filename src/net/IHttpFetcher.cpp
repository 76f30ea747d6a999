#include "net/IHttpFetcher.h"

#include <string_view>

#include "base/StrConv.h"
#include "net/HttpGet.h"

bool IHttpFetcher::GetString(const std::string& strUrl, std::string* pResponseText,
                             const mcHttpTransactionOptions* pOptions, mcHttpResult* pResult,
                             const std::string* pExtraHeaders) {
    if (!pResponseText) return Get(strUrl, nullptr, pOptions, pResult, pExtraHeaders);
    std::vector<std::uint8_t> vecBody;
    if (!Get(strUrl, &vecBody, pOptions, pResult, pExtraHeaders)) return false;
    const std::string_view bytes(reinterpret_cast<const char*>(vecBody.data()), vecBody.size());
    *pResponseText = mfConvertMBCSToWide(bytes, CP_UTF8, kStrConvReplaceInvalid);
    PrvHandleEmbeddedNulls(*pResponseText);
    return true;
}
