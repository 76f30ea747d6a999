// kettrinctl runonce: runs the commands left under the RunOnce key, each once.
// Run at boot by the kettrin-runonce unit.
#include <cstdint>
#include <iostream>

#include "base/OsDependent.h"
#include "base/SystemMessages.h"
#include "base/Win32Error.h"
#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"
#include "tools/kettrinctl/CtlCommand.h"
#include "tools/kettrinctl/CtlJson.h"
#include "tools/kettrinctl/CtlMessages.h"
#include "tools/kettrinctl/CtlOptions.h"

namespace kettrinctl {

namespace {

using core::registry::RegistryKey;
namespace reg = core::registry;

constexpr const char* kUsage =
    "usage: kettrinctl runonce\n"
    "\n"
    "Runs every command line stored under\n"
    "  HKLM\\software\\microsoft\\windows\\currentversion\\runonce\n"
    "once, in the order they were written: each value is deleted before its\n"
    "command starts (so a command runs at most once, also when several runs\n"
    "overlap or the machine stops meanwhile), then started and waited for. The\n"
    "command line is split into words as a Windows program's runtime splits it\n"
    "(double quotes group words). A value that is not a string, or is empty, is\n"
    "deleted without running anything.\n"
    "\n"
    "Prints one line per value: NAME, tab, the command line, tab, the exit\n"
    "status (or what went wrong). With --json: {\"ran\":[{\"name\",\"command\",\n"
    "\"exit\",\"error\"}]} (exit null when the command did not run).\n"
    "Exit status: 0 every command ran and succeeded (or there was none),\n"
    "1 a command could not start or failed, 2 usage error, 3 the registry could\n"
    "not be used.\n";

struct Outcome {
    std::string strName;
    std::string strCommand;
    bool bRan = false;
    int nExit = 0;
    std::string strError;
};

// Starts the command line (its first word is the program; a name without
// "/" is looked up in PATH) and waits for it. False, with the reason, when it
// cannot start.
bool PrvRunAndWait(const std::string& strCommand, const std::string& strProgram, int& nExit,
                   std::string& strError) {
    // The arguments are the line after the program word, which ends at the
    // first blank or tab outside double quotes.
    std::size_t nPos = strCommand.find_first_not_of(" \t");
    for (bool bQuoted = false; nPos < strCommand.size(); ++nPos) {
        if (strCommand[nPos] == '"') bQuoted = !bQuoted;
        if (!bQuoted && (strCommand[nPos] == ' ' || strCommand[nPos] == '\t')) break;
    }
    const std::string strArguments = nPos < strCommand.size() ? strCommand.substr(nPos + 1) : std::string();
    mcProcessInfo info;
    if (!mfCreateProcess(strProgram, strArguments, mcProcessOptions{}, &info)) {
        strError = "cannot start: " + mfGetSystemErrorMessage(mfGetLastError());
        return false;
    }
    std::uint32_t nStatus = 0;
    if (!mfWaitForProcess(info.pid, &nStatus)) {
        strError = "cannot wait: " + mfGetSystemErrorMessage(mfGetLastError());
        return false;
    }
    nExit = static_cast<int>(nStatus);
    return true;
}

// Takes one value out of the key and runs it. False when another run took
// the value first.
bool PrvTakeAndRun(RegistryKey& key, const RegistryKey::RawValue& value, Outcome& outcome) {
    outcome.strName = value.name;
    try {
        key.DeleteValue(value.name);
    } catch (const RegistryKey::Exception& exc) {
        if (exc.ErrorCode() == ERROR_FILE_NOT_FOUND) return false;
        throw;
    }
    if (value.type != reg::REG_SZ && value.type != reg::REG_EXPAND_SZ) {
        outcome.strError = "not a command line (type " + std::to_string(value.type) + ")";
        return true;
    }
    outcome.strCommand = RegistryKey::StringFromBytes(value.data);
    const std::vector<std::string> vecWords = mfSplitCommandLine(outcome.strCommand);
    if (vecWords.empty() || vecWords.front().empty()) {
        outcome.strError = "empty command line";
        return true;
    }
    std::cout.flush();
    outcome.bRan = PrvRunAndWait(outcome.strCommand, vecWords.front(), outcome.nExit, outcome.strError);
    return true;
}

void PrvPrint(const Outcome& outcome) {
    if (CtlOptions::Current().bJson || CtlOptions::Current().bQuiet) return;
    std::cout << outcome.strName << '\t' << outcome.strCommand << '\t';
    if (outcome.bRan) {
        std::cout << "exit " << outcome.nExit << '\n';
    } else {
        std::cout << outcome.strError << '\n';
    }
    std::cout.flush();
}

int RunRunOnce(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::cout << kUsage;
        return kExitOk;
    }
    if (!args.empty()) {
        PrintError("runonce", "takes no arguments");
        std::cerr << "(see 'kettrinctl runonce --help')\n";
        return kExitUsage;
    }
    std::vector<Outcome> vecOutcomes;
    try {
        if (!RegistryKey::Exists(mcCMUtils::kRegistryRoot, mcCMUtils::kRunOnceKey)) {
            if (CtlOptions::Current().bJson) PrintJson(CtlJson::MakeObject({{"ran", CtlJson(CtlJson::Array())}}));
            return kExitOk;
        }
        RegistryKey key(mcCMUtils::kRegistryRoot, mcCMUtils::kRunOnceKey, reg::KEY_ALL_ACCESS);
        for (const RegistryKey::RawValue& value : key.GetValues()) {
            Outcome outcome;
            if (!PrvTakeAndRun(key, value, outcome)) continue;
            PrvPrint(outcome);
            vecOutcomes.push_back(std::move(outcome));
        }
    } catch (const mcExc& exc) {
        PrintRegistryFailure("runonce", exc);
        return kExitFailed;
    }
    bool bAllGood = true;
    CtlJson::Array ran;
    for (const Outcome& outcome : vecOutcomes) {
        bAllGood = bAllGood && outcome.bRan && outcome.nExit == 0;
        ran.push_back(CtlJson::MakeObject({{"name", outcome.strName},
                                           {"command", outcome.strCommand},
                                           {"exit", outcome.bRan ? CtlJson(outcome.nExit) : CtlJson()},
                                           {"error", CtlJson::StringOrNull(!outcome.bRan, outcome.strError)}}));
    }
    if (CtlOptions::Current().bJson) PrintJson(CtlJson::MakeObject({{"ran", CtlJson(std::move(ran))}}));
    return bAllGood ? kExitOk : kExitNo;
}

}  // namespace

KETTRINCTL_COMMAND("runonce", "run the commands left for the next boot, each once", RunRunOnce);

}  // namespace kettrinctl
