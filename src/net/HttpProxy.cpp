#include "net/HttpProxy.h"

#include <cstdlib>

bool IsProxyEnabled() noexcept {
    // Upper-case HTTP_PROXY is ignored on purpose, as libcurl does: a CGI
    // environment sets it from the request's "Proxy:" header.
    static const char* const kVariables[] = {"http_proxy", "https_proxy", "HTTPS_PROXY",
                                             "all_proxy", "ALL_PROXY"};
    for (const char* pszName : kVariables) {
        const char* pszValue = std::getenv(pszName);
        if (pszValue && *pszValue) return true;
    }
    return false;
}
