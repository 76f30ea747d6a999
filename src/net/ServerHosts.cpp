#include "net/ServerHosts.h"

#include "registry/RegistryKey.h"
#include "base/StrUtils.h"
#include "registry/mcCMUtils.h"

std::string mfGetServerHost(const std::string& strValueName) {
    std::string strHost;
    try {
        core::registry::RegistryKey key(mcCMUtils::kRegistryRoot, mcCMUtils::kRegistryKey,
                                        core::registry::KEY_READ);
        strHost = mfStrTrim(key.GetValueString(strValueName));
    } catch (const mcExc&) {
        return std::string();
    }
    for (char c : strHost) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || c == '/' || c == '?' || c == '#' || c == '@' || c == '\\')
            return std::string();
    }
    return strHost;
}
