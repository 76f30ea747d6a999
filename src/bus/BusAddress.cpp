#include "bus/BusAddress.h"

#include <cerrno>
#include <cstdlib>

#include "bus/mcBusExc.h"

namespace {

std::string PrvGet(const mcEnvLookup& lookup, const char* pszName) {
    const char* pszValue = lookup ? lookup(pszName) : std::getenv(pszName);
    return pszValue ? std::string(pszValue) : std::string();
}

// Escapes a value for a D-Bus address: bytes outside [-0-9A-Za-z_/.\\*]
// become %XX.
std::string PrvEscapeAddressValue(const std::string& strValue) {
    static const char kHex[] = "0123456789abcdef";
    std::string strOut;
    for (const unsigned char c : strValue) {
        const bool bPlain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                            (c >= 'A' && c <= 'Z') || c == '-' || c == '_' || c == '/' ||
                            c == '.' || c == '\\' || c == '*';
        if (bPlain) {
            strOut += static_cast<char>(c);
        } else {
            strOut += '%';
            strOut += kHex[c >> 4];
            strOut += kHex[c & 0x0F];
        }
    }
    return strOut;
}

}  // namespace

std::string mfResolveBusAddress(mcBusRole role, bool bSessionSwitch, const mcEnvLookup& lookup) {
    if (role == mcBusRole::Service) {
        std::string strStarter = PrvGet(lookup, kEnvBusStarterAddress);
        if (!strStarter.empty()) return strStarter;
    }
    std::string strAddress = PrvGet(lookup, kEnvKettrinBusAddress);
    if (!strAddress.empty()) return strAddress;
    if (bSessionSwitch) {
        strAddress = PrvGet(lookup, kEnvSessionBusAddress);
        if (!strAddress.empty()) return strAddress;
        const std::string strRuntimeDir = PrvGet(lookup, "XDG_RUNTIME_DIR");
        if (strRuntimeDir.empty()) {
            KTHROW(mcBusExc, "mfResolveBusAddress",
                   "no session bus: neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set",
                   std::string(), ENOMEDIUM);
        }
        return "unix:path=" + PrvEscapeAddressValue(strRuntimeDir + "/bus");
    }
    strAddress = PrvGet(lookup, kEnvSystemBusAddress);
    return strAddress.empty() ? std::string(kDefaultSystemBusAddress) : strAddress;
}

mcBusConnection mfOpenBus(mcBusRole role, bool bSessionSwitch, const mcEnvLookup& lookup) {
    return mcBusConnection::OpenAddress(mfResolveBusAddress(role, bSessionSwitch, lookup));
}
