#pragma once
// The options every kettrinctl command takes, before or after the command
// word: which bus (--system, --session, --address ADDR), how to print
// (--json, --quiet, --verbose) and --no-pager (accepted; kettrinctl pages
// nothing). Parsed once in main; commands read them through Current().
#include <string>
#include <vector>

#include "client/mcComponentMgrClient.h"

namespace kettrinctl {

class CtlOptions {
public:
    enum class Bus { kDefault, kSystem, kSession, kAddress };

    // The options in force (those main parsed). Main thread only.
    static CtlOptions& Current();

    // Takes the global options out of args (every word before a lone "--";
    // "--" itself stays for the command) and stores them. False, with the
    // reason in strError, for a repeated or conflicting bus choice or a
    // missing address.
    bool Extract(std::vector<std::string>& args, std::string& strError);

    // Client options for the chosen bus.
    mcComponentMgrClient::Options ClientOptions() const;
    // The bus address a client will use, for messages ("the system bus" when
    // nothing names one).
    std::string BusDescription() const;

    Bus eBus = Bus::kDefault;
    std::string strAddress;
    bool bJson = false;
    bool bQuiet = false;
    bool bVerbose = false;
    bool bNoPager = false;
};

}  // namespace kettrinctl
