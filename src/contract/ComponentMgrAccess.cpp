#include "contract/ComponentMgrAccess.h"

#include <iterator>

#include "contract/ComponentMgrIfc.h"

namespace cmifc {

namespace {

constexpr meAccess kAnyone = meAccess::Anyone;
constexpr meAccess kManage = meAccess::Manage;
constexpr meAccess kClients = meAccess::Clients;
constexpr meAccess kServiceUid = meAccess::ServiceUid;

// A sink cookie may only be revoked by the connection that registered it;
// the binding checks that on top of this table.
const msMethodAccess kAccessTable[] = {
    {kIfaceControl, "Register", kAnyone},
    {kIfaceControl, "Unregister", kAnyone},
    {kIfaceControl, "ClearTasks", kManage},
    {kIfaceManifest, "GetComponents", kAnyone},
    {kIfaceManifest, "GetComponentClientData", kAnyone},
    {kIfaceManifest, "GetComponentFriendlyName", kAnyone},
    {kIfaceManifest, "UpdateManifests", kManage},
    {kIfaceManifest, "GetComponentsFiltered", kAnyone},
    {kIfaceInstaller, "ComponentInstalled", kServiceUid},
    {kIfaceInstaller, "ComponentUninstalled", kServiceUid},
    {kIfaceInstaller, "GetComponentInstallData", kServiceUid},
    {kIfaceInstaller, "GetComponentUninstallData", kServiceUid},
    {kIfaceInstaller, "ForceStartInstall", kServiceUid},
    {kIfaceComponentMgr, "StartComponentDownload", kManage},
    {kIfaceComponentMgr, "CancelDownload", kManage},
    {kIfaceComponentMgr, "StartComponentInstall", kManage},
    {kIfaceComponentMgr, "IsComponentInstalled", kAnyone},
    {kIfaceComponentMgr, "DoTriggerTasks", kManage},
    {kIfaceComponentMgr, "StartComponentUpdate", kManage},
    {kIfaceComponentMgr, "StartComponentUninstall", kManage},
    {kIfaceComponentMgr, "ClientInstalled", kClients},
    {kIfaceComponentMgr, "ClientUninstalled", kClients},
    {kIfaceComponentMgr, "ClientUninstalled_Asynchronous", kClients},
    {kIfaceComponentMgr, "GetInstalledComponentVersion", kAnyone},
    {kIfaceComponentMgr, "IsComponentUpdateAvailForInstall", kAnyone},
    {kIfaceComponentMgr, "IsComponentInstallRunning", kAnyone},
    {kIfaceComponentMgr, "IsComponentUpdateAvailForInstallEx", kAnyone},
    // Copies any file root can read into the holding area.
    {kIfaceComponentMgr, "PredownloadComponent", kServiceUid},
    // Flushes everyone's job queues.
    {kIfaceWindow, kWindowCloseMethod, kServiceUid},
};

}  // namespace

const msMethodAccess* FindMethodAccess(const std::string& strInterface, const std::string& strMember) {
    for (const msMethodAccess& entry : kAccessTable) {
        if (strInterface == entry.pszInterface && strMember == entry.pszMember) return &entry;
    }
    return nullptr;
}

const char* PolkitAction(meAccess access) {
    switch (access) {
        case meAccess::Manage:
            return kActionManageComponents;
        case meAccess::Clients:
            return kActionManageClients;
        case meAccess::Anyone:
        case meAccess::ServiceUid:
            break;
    }
    return "";
}

const char* AccessName(meAccess access) {
    switch (access) {
        case meAccess::Anyone:
            return "Anyone";
        case meAccess::Manage:
            return "Manage";
        case meAccess::Clients:
            return "Clients";
        case meAccess::ServiceUid:
            break;
    }
    return "ServiceUid";
}

}  // namespace cmifc
