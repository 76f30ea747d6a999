// kettrinctl is-installed, components, info, installed-version,
// update-available, update-manifests: the component manager's queries.
#include <iostream>

#include "tools/kettrinctl/CtlClientSupport.h"
#include "contract/ComponentStatus.h"

namespace kettrinctl {
namespace {

using svc::ParsedArgs;

// The exit code of a yes/no question: 0 yes, 1 no, 3 failure (printed).
int YesNoExit(const char* pszCommand, HRESULT hr, bool bYes, const mcComponentMgrClient& client) {
    if (FAILED(hr)) return svc::ExitFor(pszCommand, hr, client);
    return bYes ? kExitOk : kExitNo;
}

// ------------------------------------------------------------ is-installed

constexpr const char* kIsInstalledUsage =
    "usage: kettrinctl is-installed CLIENT MANIFEST COMPONENT\n"
    "\n"
    "Asks whether COMPONENT of MANIFEST is installed for CLIENT (IsComponentInstalled)\n"
    "and prints the status in words and as the service's number:\n"
    "  installed for this client      16\n"
    "  not installed                  1\n"
    "  installed for another client   256\n"
    "  unknown to the manager         0\n"
    "  hidden or not decidable        65536 (manifest, component or store missing)\n"
    "  install running                16777216 (an install is queued or running)\n"
    "Asking registers CLIENT as a client of the component, as the service does for\n"
    "every caller that asks about a component it does not have yet.\n"
    "\n"
    "Exit status answers the question, as grep -q does: 0 installed for this\n"
    "client, 1 any other status, 3 the question could not be asked.\n"
    "With --json: {\"client\",\"manifest\",\"component\",\"status\",\"meaning\",\"installed\"}.\n"
    "\n";

int RunIsInstalled(const std::vector<std::string>& args) {
    return svc::RunServiceCommand(
        "is-installed", kIsInstalledUsage, args, {}, 3, [](mcComponentMgrClient& client, const ParsedArgs& parsed) {
            std::int32_t nStatus = 0;
            const HRESULT hr = client.IsComponentInstalled(parsed.positional[0], parsed.positional[1],
                                                           parsed.positional[2], nStatus);
            const bool bInstalled = SUCCEEDED(hr) && nStatus == cmstatus::kInstalled;
            if (SUCCEEDED(hr)) {
                if (CtlOptions::Current().bJson) {
                    PrintJson(CtlJson::MakeObject({{"client", parsed.positional[0]},
                                                   {"manifest", parsed.positional[1]},
                                                   {"component", parsed.positional[2]},
                                                   {"status", nStatus},
                                                   {"meaning", cmstatus::Describe(nStatus)},
                                                   {"installed", bInstalled}}));
                }
                svc::Out() << cmstatus::Describe(nStatus) << " (" << nStatus << ")\n";
            }
            return YesNoExit("is-installed", hr, bInstalled, client);
        });
}

// ------------------------------------------------------------ components

constexpr const char* kComponentsUsage =
    "usage: kettrinctl components [--client CLIENT] MANIFEST\n"
    "\n"
    "Lists the components MANIFEST offers, one a line (GetComponents); with\n"
    "--client, only those the registered client may see (GetComponentsFiltered).\n"
    "S_FALSE (exit 1): the manifest is unknown or lists nothing.\n"
    "With --json: {\"manifest\",\"client\",\"components\":[...]}.\n"
    "\n";

int RunComponents(const std::vector<std::string>& args) {
    return svc::RunServiceCommand(
        "components", kComponentsUsage, args, {"--client"}, 1,
        [](mcComponentMgrClient& client, const ParsedArgs& parsed) {
            std::vector<std::string> vecComponents;
            auto it = parsed.options.find("--client");
            const bool bClient = it != parsed.options.end();
            const HRESULT hr = bClient ? client.GetComponentsFiltered(it->second, parsed.positional[0], vecComponents)
                                       : client.GetComponents(parsed.positional[0], vecComponents);
            if (SUCCEEDED(hr) && CtlOptions::Current().bJson) {
                PrintJson(CtlJson::MakeObject({{"manifest", parsed.positional[0]},
                                               {"client", CtlJson::StringOrNull(bClient, bClient ? it->second : "")},
                                               {"components", CtlJson::StringArray(vecComponents)}}));
            }
            for (const std::string& strName : vecComponents) svc::Out() << strName << "\n";
            return svc::ExitFor("components", hr, client);
        });
}

// ------------------------------------------------------------ info

constexpr const char* kInfoUsage =
    "usage: kettrinctl info MANIFEST COMPONENT\n"
    "\n"
    "Prints the component's friendly name (GetComponentFriendlyName) and its client\n"
    "data markup (GetComponentClientData). S_FALSE (exit 1): the manifest or the\n"
    "component is unknown, or the component has no client data.\n"
    "With --json: {\"manifest\",\"component\",\"friendly_name\",\"client_data\"} (null when none).\n"
    "\n";

int RunInfo(const std::vector<std::string>& args) {
    return svc::RunServiceCommand(
        "info", kInfoUsage, args, {}, 2, [](mcComponentMgrClient& client, const ParsedArgs& parsed) {
            std::string strName;
            const HRESULT hrName = client.GetComponentFriendlyName(parsed.positional[0], parsed.positional[1], strName);
            if (FAILED(hrName)) return svc::ExitFor("info", hrName, client);
            std::string strData;
            const HRESULT hrData = client.GetComponentClientData(parsed.positional[0], parsed.positional[1], strData);
            if (FAILED(hrData)) return svc::ExitFor("info", hrData, client);
            if (CtlOptions::Current().bJson) {
                PrintJson(CtlJson::MakeObject({{"manifest", parsed.positional[0]},
                                               {"component", parsed.positional[1]},
                                               {"friendly_name", CtlJson::StringOrNull(hrName == S_OK, strName)},
                                               {"client_data", CtlJson::StringOrNull(hrData == S_OK, strData)}}));
            }
            svc::Out() << "friendly name: " << (hrName == S_OK ? strName : std::string("(none)")) << "\n"
                       << "client data: " << (hrData == S_OK ? strData : std::string("(none)")) << "\n";
            return svc::ExitFor("info", hrName == S_OK && hrData == S_OK ? S_OK : S_FALSE, client);
        });
}

// ------------------------------------------------------------ installed-version

constexpr const char* kInstalledVersionUsage =
    "usage: kettrinctl installed-version COMPONENT\n"
    "\n"
    "Prints the version with which COMPONENT was installed\n"
    "(GetInstalledComponentVersion). S_FALSE (exit 1): no installed version is\n"
    "recorded. With --json: {\"component\",\"version\"} (null when none).\n"
    "\n";

int RunInstalledVersion(const std::vector<std::string>& args) {
    return svc::RunServiceCommand(
        "installed-version", kInstalledVersionUsage, args, {}, 1,
        [](mcComponentMgrClient& client, const ParsedArgs& parsed) {
            std::string strVersion;
            // The client argument is not used by the service.
            const HRESULT hr = client.GetInstalledComponentVersion(std::string(), parsed.positional[0], strVersion);
            if (SUCCEEDED(hr) && CtlOptions::Current().bJson) {
                PrintJson(CtlJson::MakeObject(
                    {{"component", parsed.positional[0]}, {"version", CtlJson::StringOrNull(hr == S_OK, strVersion)}}));
            }
            if (hr == S_OK) svc::Out() << strVersion << "\n";
            if (hr == S_FALSE) svc::Out() << "no installed version recorded\n";
            return svc::ExitFor("installed-version", hr, client);
        });
}

// ------------------------------------------------------------ update-available

constexpr const char* kUpdateAvailableUsage =
    "usage: kettrinctl update-available COMPONENT\n"
    "\n"
    "Tells whether a downloaded version of COMPONENT waits to be installed\n"
    "(IsComponentUpdateAvailForInstallEx) and prints it.\n"
    "Exit status answers the question: 0 an update waits, 1 none waits (or its\n"
    "version is not recorded), 3 the question could not be asked.\n"
    "With --json: {\"component\",\"available\",\"version\"} (null when none).\n"
    "\n";

int RunUpdateAvailable(const std::vector<std::string>& args) {
    return svc::RunServiceCommand(
        "update-available", kUpdateAvailableUsage, args, {}, 1,
        [](mcComponentMgrClient& client, const ParsedArgs& parsed) {
            std::string strVersion;
            bool bAvailable = false;
            const HRESULT hr =
                client.IsComponentUpdateAvailForInstall(std::string(), parsed.positional[0], strVersion, bAvailable);
            const bool bWaiting = hr == S_OK && bAvailable;
            if (SUCCEEDED(hr)) {
                if (CtlOptions::Current().bJson) {
                    PrintJson(CtlJson::MakeObject({{"component", parsed.positional[0]},
                                                   {"available", bWaiting},
                                                   {"version", CtlJson::StringOrNull(bWaiting, strVersion)}}));
                }
                if (bWaiting) {
                    svc::Out() << "update available: " << strVersion << "\n";
                } else {
                    svc::Out() << "no update waiting\n";
                }
            }
            return YesNoExit("update-available", hr, bWaiting, client);
        });
}

// ------------------------------------------------------------ update-manifests

constexpr const char* kUpdateManifestsUsage =
    "usage: kettrinctl update-manifests\n"
    "\n"
    "Makes the service bring the manifest directory and every manifest up to date\n"
    "from the server now (UpdateManifests); registered sinks hear of each replaced\n"
    "manifest. S_FALSE (exit 1): offline, or the directory could not be fetched.\n"
    "With --json: {\"updated\"}.\n"
    "\n";

int RunUpdateManifests(const std::vector<std::string>& args) {
    return svc::RunServiceCommand("update-manifests", kUpdateManifestsUsage, args, {}, 0,
                                  [](mcComponentMgrClient& client, const ParsedArgs&) {
                                      const HRESULT hr = client.UpdateManifests();
                                      if (SUCCEEDED(hr) && CtlOptions::Current().bJson) {
                                          PrintJson(CtlJson::MakeObject({{"updated", hr == S_OK}}));
                                      }
                                      if (hr == S_OK) svc::Out() << "manifests updated\n";
                                      if (hr == S_FALSE) svc::Out() << "manifests not updated\n";
                                      return svc::ExitFor("update-manifests", hr, client);
                                  });
}

}  // namespace

KETTRINCTL_COMMAND("is-installed", "is a component installed for a client? (exit 0 yes, 1 no)", RunIsInstalled);
KETTRINCTL_COMMAND("components", "list the components a manifest offers (optionally for a client)", RunComponents);
KETTRINCTL_COMMAND("info", "friendly name and client data of a manifest component", RunInfo);
KETTRINCTL_COMMAND("installed-version", "the installed version of a component", RunInstalledVersion);
KETTRINCTL_COMMAND("update-available", "is a downloaded update of a component waiting? (exit 0 yes, 1 no)",
                   RunUpdateAvailable);
KETTRINCTL_COMMAND("update-manifests", "fetch the manifest directory and manifests now", RunUpdateManifests);

}  // namespace kettrinctl
