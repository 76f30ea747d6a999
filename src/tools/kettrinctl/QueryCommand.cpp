// kettrinctl is-installed, components, info, installed-version,
// update-available, update-manifests: the component manager's queries.
#include <iostream>

#include "tools/kettrinctl/CtlClientSupport.h"
#include "contract/ComponentStatus.h"

namespace kettrinctl {
namespace {

using svc::ParsedArgs;

// ------------------------------------------------------------ is-installed

constexpr const char* kIsInstalledUsage =
    "usage: kettrinctl is-installed [--session] CLIENT MANIFEST COMPONENT\n"
    "\n"
    "Asks whether COMPONENT of MANIFEST is installed for CLIENT (IsComponentInstalled)\n"
    "and prints the status number and its meaning:\n"
    "  0         not known to the component manager (S_FALSE)\n"
    "  1         not installed for this client\n"
    "  16        installed for this client\n"
    "  256       installed, but not for this client\n"
    "  65536     cannot be decided (manifest, component or store missing, or hidden)\n"
    "  16777216  an install is queued or running\n"
    "A client that asks about a component it does not have becomes one of its\n"
    "clients.\n"
    "\n";

int RunIsInstalled(const std::vector<std::string>& args) {
    return svc::RunServiceCommand(
        "is-installed", kIsInstalledUsage, args, {}, 3, [](mcComponentMgrClient& client, const ParsedArgs& parsed) {
            std::int32_t nStatus = 0;
            const HRESULT hr = client.IsComponentInstalled(parsed.positional[0], parsed.positional[1],
                                                           parsed.positional[2], nStatus);
            if (SUCCEEDED(hr)) std::cout << nStatus << " " << cmstatus::Describe(nStatus) << "\n";
            return svc::ExitFor("is-installed", hr, client);
        });
}

// ------------------------------------------------------------ components

constexpr const char* kComponentsUsage =
    "usage: kettrinctl components [--session] [--client CLIENT] MANIFEST\n"
    "\n"
    "Lists the components MANIFEST offers, one a line (GetComponents); with\n"
    "--client, only those the registered client may see (GetComponentsFiltered).\n"
    "S_FALSE: the manifest is unknown or lists nothing.\n"
    "\n";

int RunComponents(const std::vector<std::string>& args) {
    return svc::RunServiceCommand(
        "components", kComponentsUsage, args, {"--client"}, 1,
        [](mcComponentMgrClient& client, const ParsedArgs& parsed) {
            std::vector<std::string> vecComponents;
            auto it = parsed.options.find("--client");
            const HRESULT hr = it == parsed.options.end()
                                   ? client.GetComponents(parsed.positional[0], vecComponents)
                                   : client.GetComponentsFiltered(it->second, parsed.positional[0], vecComponents);
            for (const std::string& strName : vecComponents) std::cout << strName << "\n";
            return svc::ExitFor("components", hr, client);
        });
}

// ------------------------------------------------------------ info

constexpr const char* kInfoUsage =
    "usage: kettrinctl info [--session] MANIFEST COMPONENT\n"
    "\n"
    "Prints the component's friendly name (GetComponentFriendlyName) and its client\n"
    "data markup (GetComponentClientData). S_FALSE: the manifest or the component\n"
    "is unknown, or the component has no client data.\n"
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
            std::cout << "friendly name: " << (hrName == S_OK ? strName : std::string("(none)")) << "\n"
                      << "client data: " << (hrData == S_OK ? strData : std::string("(none)")) << "\n";
            return svc::ExitFor("info", hrName == S_OK && hrData == S_OK ? S_OK : S_FALSE, client);
        });
}

// ------------------------------------------------------------ installed-version

constexpr const char* kInstalledVersionUsage =
    "usage: kettrinctl installed-version [--session] COMPONENT\n"
    "\n"
    "Prints the version with which COMPONENT was installed\n"
    "(GetInstalledComponentVersion). S_FALSE: no installed version is recorded.\n"
    "\n";

int RunInstalledVersion(const std::vector<std::string>& args) {
    return svc::RunServiceCommand(
        "installed-version", kInstalledVersionUsage, args, {}, 1,
        [](mcComponentMgrClient& client, const ParsedArgs& parsed) {
            std::string strVersion;
            // The client argument is not used by the service.
            const HRESULT hr = client.GetInstalledComponentVersion(std::string(), parsed.positional[0], strVersion);
            if (hr == S_OK) std::cout << strVersion << "\n";
            if (hr == S_FALSE) std::cout << "no installed version recorded\n";
            return svc::ExitFor("installed-version", hr, client);
        });
}

// ------------------------------------------------------------ update-available

constexpr const char* kUpdateAvailableUsage =
    "usage: kettrinctl update-available [--session] COMPONENT\n"
    "\n"
    "Tells whether a downloaded version of COMPONENT waits to be installed\n"
    "(IsComponentUpdateAvailForInstallEx) and prints it. S_OK also when none waits;\n"
    "S_FALSE: the component is downloaded but its version is not recorded.\n"
    "\n";

int RunUpdateAvailable(const std::vector<std::string>& args) {
    return svc::RunServiceCommand(
        "update-available", kUpdateAvailableUsage, args, {}, 1,
        [](mcComponentMgrClient& client, const ParsedArgs& parsed) {
            std::string strVersion;
            bool bAvailable = false;
            const HRESULT hr =
                client.IsComponentUpdateAvailForInstall(std::string(), parsed.positional[0], strVersion, bAvailable);
            if (SUCCEEDED(hr)) {
                if (bAvailable) {
                    std::cout << "update available: " << strVersion << "\n";
                } else {
                    std::cout << "no update waiting\n";
                }
            }
            return svc::ExitFor("update-available", hr, client);
        });
}

// ------------------------------------------------------------ update-manifests

constexpr const char* kUpdateManifestsUsage =
    "usage: kettrinctl update-manifests [--session]\n"
    "\n"
    "Makes the service bring the manifest directory and every manifest up to date\n"
    "from the server now (UpdateManifests); registered sinks hear of each replaced\n"
    "manifest. S_FALSE: offline, or the directory could not be fetched.\n"
    "\n";

int RunUpdateManifests(const std::vector<std::string>& args) {
    return svc::RunServiceCommand("update-manifests", kUpdateManifestsUsage, args, {}, 0,
                                  [](mcComponentMgrClient& client, const ParsedArgs&) {
                                      const HRESULT hr = client.UpdateManifests();
                                      if (hr == S_OK) std::cout << "manifests updated\n";
                                      if (hr == S_FALSE) std::cout << "manifests not updated\n";
                                      return svc::ExitFor("update-manifests", hr, client);
                                  });
}

}  // namespace

KETTRINCTL_COMMAND("is-installed", "is a component installed for a client? (status and meaning)", RunIsInstalled);
KETTRINCTL_COMMAND("components", "list the components a manifest offers (optionally for a client)", RunComponents);
KETTRINCTL_COMMAND("info", "friendly name and client data of a manifest component", RunInfo);
KETTRINCTL_COMMAND("installed-version", "the installed version of a component", RunInstalledVersion);
KETTRINCTL_COMMAND("update-available", "is a downloaded update of a component waiting?", RunUpdateAvailable);
KETTRINCTL_COMMAND("update-manifests", "fetch the manifest directory and manifests now", RunUpdateManifests);

}  // namespace kettrinctl
