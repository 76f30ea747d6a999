#include "contract/ArgumentBounds.h"

#include <cstring>

namespace cmifc {

namespace {

struct msBound {
    const char* pszMember;  // nullptr: any method
    const char* pszArg;
    std::size_t nMaxBytes;
};

// First match wins; an argument that is not listed gets kMaxOtherTextBytes.
constexpr msBound kBounds[] = {
    // ClientInstalled's "name" is the client's name.
    {"ClientInstalled", "name", kMaxNameBytes},
    // CancelDownload names the client, then the component.
    {"CancelDownload", "first", kMaxNameBytes},
    {"CancelDownload", "second", kMaxNameBytes},
    {nullptr, "client", kMaxNameBytes},
    {nullptr, "bstrClientName", kMaxNameBytes},
    {nullptr, "manifest", kMaxNameBytes},
    {nullptr, "component", kMaxNameBytes},
    {"ComponentInstalled", "data", kMaxXmlTextBytes},
    {"ComponentUninstalled", "data", kMaxXmlTextBytes},
    {"PredownloadComponent", "xml", kMaxXmlTextBytes},
};

}  // namespace

std::size_t MaxArgumentBytes(const msMethod& method, const msArg& arg) {
    for (const msBound& bound : kBounds) {
        if (bound.pszMember != nullptr && std::strcmp(bound.pszMember, method.pszMember) != 0) continue;
        if (std::strcmp(bound.pszArg, arg.pszName) == 0) return bound.nMaxBytes;
    }
    return kMaxOtherTextBytes;
}

}  // namespace cmifc
