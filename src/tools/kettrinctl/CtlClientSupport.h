#pragma once
// Shared by the kettrinctl commands that call the component manager service
// (queries, installer reports): argument parsing with named options, opening
// the client on the bus the global options choose, and the exit code of an
// HRESULT.
//
// Exit codes: 0 S_OK, 1 another success code (S_FALSE), 2 usage error,
// 3 failed HRESULT or unreachable service (the reason on standard error).
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/kettrinctl/CtlCommand.h"
#include "tools/kettrinctl/CtlJson.h"
#include "tools/kettrinctl/CtlMessages.h"
#include "tools/kettrinctl/CtlOptions.h"
#include "client/mcComponentMgrClient.h"
#include "contract/ComponentMgrIfc.h"
#include "base/mcExc.h"

namespace kettrinctl::svc {

inline constexpr const char* kBusOptionHelp =
    "Global options: --system, --session, --address ADDR (default:\n"
    "$KETTRIN_BUS_ADDRESS, else the system bus), --json, --quiet, --verbose.\n"
    "Exit code: 0 S_OK, 1 S_FALSE, 2 usage error, 3 failure or service unreachable.\n";

struct ParsedArgs {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // "--client" -> value
};

// Splits args into positionals and the named options in setValued (each
// taking one value). A lone "-" is a positional. False (after printing why)
// on an unknown option, a missing value or a wrong number of positionals.
inline bool ParseArgs(const char* pszCommand, const std::vector<std::string>& args,
                      const std::set<std::string>& setValued, std::size_t nPositional, ParsedArgs& parsed) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (setValued.count(arg) != 0) {
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
    PrintCallFailure(pszCommand, hr, client);
    return kExitFailed;
}

// Opens a client on the bus the global options choose; prints why and
// returns null when the bus cannot be reached.
inline std::unique_ptr<mcComponentMgrClient> OpenClient(const char* pszCommand, bool bAutoStart = true) {
    mcComponentMgrClient::Options options = CtlOptions::Current().ClientOptions();
    options.bAutoStart = bAutoStart;
    try {
        return std::make_unique<mcComponentMgrClient>(options);
    } catch (const mcExc& exc) {
        PrintBusFailure(pszCommand, CtlOptions::Current().BusDescription(), exc.Description());
        return nullptr;
    }
}

// Prints a result line on standard output unless --quiet or --json.
inline std::ostream& Out() {
    static std::ostream null(nullptr);
    const CtlOptions& options = CtlOptions::Current();
    return options.bQuiet || options.bJson ? null : std::cout;
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
    std::unique_ptr<mcComponentMgrClient> pClient = OpenClient(pszCommand);
    if (!pClient) return kExitFailed;
    try {
        return body(*pClient, parsed);
    } catch (const mcExc& exc) {
        PrintError(pszCommand, "the call failed", exc.Description());
        return kExitFailed;
    }
}

}  // namespace kettrinctl::svc
