// kettrinctl report-install, report-uninstall: how a package installer hands
// its result text to the component manager (ComponentInstalled,
// ComponentUninstalled).
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "tools/kettrinctl/CtlClientSupport.h"

namespace kettrinctl {
namespace {

using svc::ParsedArgs;

constexpr const char* kReportInstallUsage =
    "usage: kettrinctl report-install CLIENT FILE\n"
    "\n"
    "Reports an install result (the \"InstallData\" text in FILE, '-' for standard\n"
    "input) for CLIENT with ComponentInstalled; the service records it in its\n"
    "configuration and keeps it for the job that started the installer. An empty\n"
    "CLIENT (\"\") stands for none: the service records the result for \"CM\".\n"
    "With --json: {\"client\",\"accepted\"}.\n"
    "\n";

constexpr const char* kReportUninstallUsage =
    "usage: kettrinctl report-uninstall CLIENT FILE\n"
    "\n"
    "Reports an uninstall result (the \"UninstallData\" text in FILE, '-' for\n"
    "standard input) for CLIENT with ComponentUninstalled. An empty CLIENT (\"\")\n"
    "stands for none, which the service refuses (S_FALSE, exit 1).\n"
    "With --json: {\"client\",\"accepted\"}.\n"
    "\n";

// The whole text of strPath, or of standard input for "-". False (printed)
// when the file cannot be read.
bool ReadText(const char* pszCommand, const std::string& strPath, std::string& strText) {
    if (strPath == "-") {
        strText.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return !std::cin.bad();
    }
    std::ifstream in(strPath, std::ios::binary);
    if (!in) {
        PrintError(pszCommand, "cannot read " + strPath);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    strText = text.str();
    return !in.bad();
}

int RunReport(const char* pszCommand, const char* pszUsage, const std::vector<std::string>& args, bool bInstall) {
    // The text is read before the service is called (standard input only
    // once), so that a bad path is a usage error and never reaches it.
    std::string strText;
    if (!WantsHelp(args)) {
        svc::ParsedArgs parsed;
        if (svc::ParseArgs(pszCommand, args, {}, 2, parsed) &&
            !ReadText(pszCommand, parsed.positional[1], strText)) {
            return kExitUsage;
        }
    }
    return svc::RunServiceCommand(
        pszCommand, pszUsage, args, {}, 2, [&](mcComponentMgrClient& client, const ParsedArgs& parsed) {
            const HRESULT hr = bInstall ? client.ComponentInstalled(parsed.positional[0], strText)
                                        : client.ComponentUninstalled(parsed.positional[0], strText);
            if (SUCCEEDED(hr) && CtlOptions::Current().bJson) {
                PrintJson(CtlJson::MakeObject({{"client", parsed.positional[0]}, {"accepted", hr == S_OK}}));
            }
            if (hr == S_FALSE) svc::Out() << "refused: no client name\n";
            return svc::ExitFor(pszCommand, hr, client);
        });
}

int RunReportInstall(const std::vector<std::string>& args) {
    return RunReport("report-install", kReportInstallUsage, args, true);
}

int RunReportUninstall(const std::vector<std::string>& args) {
    return RunReport("report-uninstall", kReportUninstallUsage, args, false);
}

}  // namespace

KETTRINCTL_COMMAND("report-install", "installer: report an install result (ComponentInstalled)", RunReportInstall);
KETTRINCTL_COMMAND("report-uninstall", "installer: report an uninstall result (ComponentUninstalled)",
                   RunReportUninstall);

}  // namespace kettrinctl
