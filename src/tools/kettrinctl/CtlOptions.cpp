#include "tools/kettrinctl/CtlOptions.h"

#include <cstdlib>
#include <string_view>

#include "base/mcExc.h"
#include "bus/BusAddress.h"

namespace kettrinctl {

CtlOptions& CtlOptions::Current() {
    static CtlOptions options;
    return options;
}

bool CtlOptions::Extract(std::vector<std::string>& args, std::string& strError) {
    std::vector<std::string> rest;
    bool bBusGiven = false;
    auto setBus = [&](Bus eNew, const std::string& strWord) {
        if (bBusGiven && eNew != eBus) {
            strError = "'" + strWord + "' conflicts with an earlier bus choice";
            return false;
        }
        bBusGiven = true;
        eBus = eNew;
        return true;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& strArg = args[i];
        if (strArg == "--") {
            rest.insert(rest.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
            break;
        }
        if (strArg == "--json") {
            bJson = true;
        } else if (strArg == "--quiet" || strArg == "-q") {
            bQuiet = true;
        } else if (strArg == "--verbose") {
            bVerbose = true;
        } else if (strArg == "--no-pager") {
            bNoPager = true;
        } else if (strArg == "--system") {
            if (!setBus(Bus::kSystem, strArg)) return false;
        } else if (strArg == "--session") {
            if (!setBus(Bus::kSession, strArg)) return false;
        } else if (strArg == "--address" || strArg.rfind("--address=", 0) == 0) {
            std::string strValue;
            if (strArg == "--address") {
                if (i + 1 >= args.size()) {
                    strError = "--address needs a bus address";
                    return false;
                }
                strValue = args[++i];
            } else {
                strValue = strArg.substr(10);
            }
            if (strValue.empty()) {
                strError = "--address needs a bus address";
                return false;
            }
            if (!setBus(Bus::kAddress, "--address")) return false;
            strAddress = strValue;
        } else {
            rest.push_back(strArg);
        }
    }
    args.swap(rest);
    return true;
}

mcComponentMgrClient::Options CtlOptions::ClientOptions() const {
    mcComponentMgrClient::Options options;
    // An explicit choice on the command line wins over KETTRIN_BUS_ADDRESS.
    const mcEnvLookup withoutOverride = [](const char* pszName) -> const char* {
        if (std::string_view(pszName) == kEnvKettrinBusAddress) return nullptr;
        return std::getenv(pszName);
    };
    switch (eBus) {
        case Bus::kAddress:
            options.strBusAddress = strAddress;
            break;
        case Bus::kSession:
        case Bus::kSystem:
            // The session bus without its variables is left to the client,
            // whose connection failure then names the bus.
            try {
                options.strBusAddress =
                    mfResolveBusAddress(mcBusRole::Client, eBus == Bus::kSession, withoutOverride);
            } catch (const mcExc&) {
                options.bSessionBus = true;
            }
            break;
        case Bus::kDefault:
            break;
    }
    return options;
}

std::string CtlOptions::BusDescription() const {
    const mcComponentMgrClient::Options options = ClientOptions();
    if (!options.strBusAddress.empty()) return options.strBusAddress;
    try {
        return mfResolveBusAddress(mcBusRole::Client, options.bSessionBus);
    } catch (const mcExc&) {
        return "the session bus";
    }
}

}  // namespace kettrinctl
