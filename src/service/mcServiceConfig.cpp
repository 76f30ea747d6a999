#include "service/mcServiceConfig.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace {

const char* PrvLookup(const mcEnvLookup& lookup, const char* pszName) {
    const char* pszValue = lookup ? lookup(pszName) : std::getenv(pszName);
    return pszValue && *pszValue ? pszValue : nullptr;
}

std::string PrvSelfExecutable() {
    std::string strPath(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", strPath.data(), strPath.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= strPath.size()) return std::string();
    strPath.resize(static_cast<std::size_t>(n));
    return strPath;
}

}  // namespace

std::string mcServiceConfig::DefaultTypeLibPath() {
#ifdef KETTRIN_TYPELIB_RELATIVE_PATH
    const std::string strExecutable = PrvSelfExecutable();
    const std::size_t nSlash = strExecutable.rfind('/');
    if (nSlash != std::string::npos) {
        const std::string strBeside = strExecutable.substr(0, nSlash + 1) + KETTRIN_TYPELIB_RELATIVE_PATH;
        if (char* pszReal = ::realpath(strBeside.c_str(), nullptr)) {
            std::string strReal(pszReal);
            std::free(pszReal);
            if (::access(strReal.c_str(), R_OK) == 0) return strReal;
        }
    }
#endif
#ifdef KETTRIN_TYPELIB_PATH
    return KETTRIN_TYPELIB_PATH;
#else
    return "/usr/share/dbus-1/interfaces/ComponentMgr.xml";
#endif
}

mcServiceConfig mcServiceConfig::FromEnvironment(bool bSessionSwitch, const mcEnvLookup& lookup) {
    mcServiceConfig config;
    config.bSessionBus = bSessionSwitch;
    if (const char* pszDir = PrvLookup(lookup, kEnvServiceDir)) config.strActivationDir = pszDir;
    if (const char* pszAddress = PrvLookup(lookup, kEnvPolkitBusAddress)) config.strPolkitBusAddress = pszAddress;
    if (const char* pszDelay = PrvLookup(lookup, kEnvShutdownDelay)) {
        char* pszEnd = nullptr;
        errno = 0;
        const unsigned long long nMs = std::strtoull(pszDelay, &pszEnd, 10);
        if (errno == 0 && pszEnd && *pszEnd == '\0' && *pszDelay >= '0' && *pszDelay <= '9' &&
            nMs <= static_cast<unsigned long long>(std::numeric_limits<int>::max())) {
            config.shutdownDelay = std::chrono::milliseconds(static_cast<long long>(nMs));
        }
    }
    return config;
}

std::string mcServiceConfig::ExecutablePath() const {
    if (!strExecutablePath.empty()) return strExecutablePath;
    return PrvSelfExecutable();
}

std::string mcServiceConfig::PolkitBusAddress(const mcEnvLookup& lookup) const {
    if (!strPolkitBusAddress.empty()) return strPolkitBusAddress;
    if (const char* pszAddress = PrvLookup(lookup, kEnvSystemBusAddress)) return pszAddress;
    return kDefaultSystemBusAddress;
}
