#pragma once
// Shared by the kettrinctl commands that call the component manager service
// (queries, installer reports): argument parsing with --session and named
// options, opening the client, and the exit code of an HRESULT.
//
// Exit codes: 0 S_OK, 1 another success code (S_FALSE), 2 usage error,
// 3 failed HRESULT or unreachable service (the HRESULT is printed in
// hexadecimal on standard error).
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/kettrinctl/CtlCommand.h"
#include "client/mcComponentMgrClient.h"
#include "contract/ComponentMgrIfc.h"
#include "base/mcExc.h"

namespace kettrinctl::svc {

inline constexpr const char* kBusOptionHelp =
    "  --session  use the session bus (default: $KETTRIN_BUS_ADDRESS, else the\n"
    "             system bus)\n"
    "Exit code: 0 S_OK, 1 S_FALSE, 2 usage error, 3 failure or service unreachable.\n";

struct ParsedArgs {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // "--client" -> value
    bool bSession = false;
};

// Splits args into positionals and the named options in setValued (each
// taking one value). A lone "-" is a positional. False (after printing why)
// on an unknown option, a missing value or a wrong number of positionals.
inline bool ParseArgs(const char* pszCommand, const std::vector<std::string>& args,
                      const std::set<std::string>& setValued, std::size_t nPositional, ParsedArgs& parsed) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--session") {
            parsed.bSession = true;
        } else if (setValued.count(arg) != 0) {
            if (i + 1 >= args.size()) {
                std::cerr << "kettrinctl " << pszCommand << ": " << arg << " needs a value\n";
                return false;
            }
            parsed.options[arg] = args[++i];
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            std::cerr << "kettrinctl " << pszCommand << ": unknown option '" << arg << "'\n";
            return false;
        } else {
            parsed.positional.push_back(arg);
        }
    }
    if (parsed.positional.size() != nPositional) {
        std::cerr << "kettrinctl " << pszCommand << ": expected " << nPositional << " argument(s), got "
                  << parsed.positional.size() << "\n";
        return false;
    }
    return true;
}

// 0 for S_OK, 1 for another success code, 3 for a failure (printed).
inline int ExitFor(const char* pszCommand, HRESULT hr, const mcComponentMgrClient& client) {
    if (hr == S_OK) return kExitOk;
    if (SUCCEEDED(hr)) return kExitNo;
    std::cerr << "kettrinctl " << pszCommand << ": failed with HRESULT " << cmifc::FormatHResult(hr);
    if (!client.LastError().empty()) std::cerr << " (" << client.LastError() << ")";
    std::cerr << "\n";
    return kExitFailed;
}

// --help, parsing, client, body. The body's exit code is returned; an mcExc
// from the client becomes exit code 3.
inline int RunServiceCommand(const char* pszCommand, const char* pszUsage, const std::vector<std::string>& args,
                             const std::set<std::string>& setValued, std::size_t nPositional,
                             const std::function<int(mcComponentMgrClient&, const ParsedArgs&)>& body) {
    if (WantsHelp(args)) {
        std::cout << pszUsage << kBusOptionHelp;
        return kExitOk;
    }
    ParsedArgs parsed;
    if (!ParseArgs(pszCommand, args, setValued, nPositional, parsed)) {
        std::cerr << pszUsage << kBusOptionHelp;
        return kExitUsage;
    }
    mcComponentMgrClient::Options options;
    options.bSessionBus = parsed.bSession;
    std::unique_ptr<mcComponentMgrClient> pClient;
    try {
        pClient = std::make_unique<mcComponentMgrClient>(options);
    } catch (const mcExc& exc) {
        std::cerr << "kettrinctl " << pszCommand << ": failed with HRESULT "
                  << cmifc::FormatHResult(cmifc::RPC_E_DISCONNECTED) << " (cannot reach the bus: "
                  << exc.Description() << ")\n";
        return kExitFailed;
    }
    try {
        return body(*pClient, parsed);
    } catch (const mcExc& exc) {
        std::cerr << "kettrinctl " << pszCommand << ": " << exc.Description() << "\n";
        return kExitFailed;
    }
}

}  // namespace kettrinctl::svc
