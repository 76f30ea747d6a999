// TI: the reference package installer for ".zrz" packages.
//
//   TI PACKAGE [ARGS...] /client NAME             install
//   TI PACKAGE /uninstall [ARGS...] /client NAME  remove
//
// Installs into <ComponentsPath>/<component> (registry, see mcZrzInstaller)
// and reports the result to the component manager on the bus that
// KETTRIN_BUS_ADDRESS names (the service passes its own): ComponentInstalled
// or ComponentUninstalled with the result text. The registry is the one of
// KETTRIN_REGISTRY when set.
//
// Exit codes: 0 done and reported, 1 the install or removal failed (reported),
// 2 usage error, 3 the report could not be delivered.
#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include "client/mcComponentMgrClient.h"
#include "package/mcZrzInstaller.h"

namespace {

constexpr const char* kUsage =
    "usage: TI PACKAGE [ARGS...] /client NAME\n"
    "       TI PACKAGE /uninstall [ARGS...] /client NAME\n";

bool EqualsIgnoringAsciiCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return i == a.size() && b[i] == '\0';
}

std::string FileNameOf(const std::string& strPath) {
    const std::size_t nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    const std::vector<std::string> vecArgs(argv + 1, argv + argc);
    if (vecArgs.empty() || vecArgs[0].empty() || vecArgs[0] == "--help") {
        std::cerr << kUsage;
        return vecArgs.empty() || vecArgs[0].empty() ? 2 : 0;
    }
    const std::string& strPackage = vecArgs[0];
    bool bUninstall = false;
    std::string strClient;
    for (std::size_t i = 1; i < vecArgs.size(); ++i) {
        if (EqualsIgnoringAsciiCase(vecArgs[i], "/uninstall")) {
            bUninstall = true;
        } else if (EqualsIgnoringAsciiCase(vecArgs[i], "/client")) {
            strClient = i + 1 < vecArgs.size() ? vecArgs[++i] : std::string();
        }
        // Other arguments are the publisher's; this installer has none.
    }

    const mcZrzInstaller installer(mcZrzInstaller::ComponentsPathFromRegistry());
    const mcZrzInstaller::Result result = bUninstall ? installer.Uninstall(strPackage) : installer.Install(strPackage);
    const std::string strText = bUninstall ? mcZrzInstaller::UninstallDataXml(result)
                                           : mcZrzInstaller::InstallDataXml(result, FileNameOf(strPackage));
    if (!result.bSuccess) {
        std::cerr << "TI: " << (bUninstall ? "uninstall" : "install") << " of " << strPackage
                  << " failed: " << result.strErrorCode << "\n";
    }

    HRESULT hr = E_FAIL;
    std::string strBusError;
    try {
        mcComponentMgrClient client;
        hr = bUninstall ? client.ComponentUninstalled(strClient, strText) : client.ComponentInstalled(strClient, strText);
        strBusError = client.LastError();
    } catch (const std::exception& e) {
        strBusError = e.what();
    }
    if (hr != S_OK) {
        std::cerr << "TI: the component manager did not take the report (0x" << std::hex
                  << static_cast<unsigned>(hr) << std::dec << ")" << (strBusError.empty() ? "" : ": ")
                  << strBusError << "\n";
        return 3;
    }
    return result.bSuccess ? 0 : 1;
}
