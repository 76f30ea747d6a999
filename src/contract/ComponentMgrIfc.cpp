#include "contract/ComponentMgrIfc.h"

#include <cstdio>

namespace cmifc {

namespace {

const char* const kS = "s";
const char* const kO = "o";

std::vector<msMethod> PrvServiceMethods() {
    const msArg client{"client", kS};
    const msArg manifest{"manifest", kS};
    const msArg component{"component", kS};
    const msArg callback{"callback", kO};
    const msArg clientName{"bstrClientName", kS};
    return {
        // IComponentMgrControl
        {kIfaceControl, "Register", {{"sink", kO}}, {{"cookie", "u"}}},
        {kIfaceControl, "Unregister", {{"cookie", "u"}}, {}},
        {kIfaceControl, "ClearTasks", {}, {}},
        // IComponentMgrManifest
        {kIfaceManifest, "GetComponents", {manifest}, {{"components", "as"}}},
        {kIfaceManifest, "GetComponentClientData", {manifest, component}, {{"data", kS}}},
        {kIfaceManifest, "GetComponentFriendlyName", {manifest, component}, {{"name", kS}}},
        {kIfaceManifest, "UpdateManifests", {}, {}},
        {kIfaceManifest, "GetComponentsFiltered", {client, manifest}, {{"components", "as"}}},
        // IComponentMgrInstaller
        {kIfaceInstaller, "ComponentInstalled", {clientName, {"data", kS}}, {}},
        {kIfaceInstaller, "ComponentUninstalled", {clientName, {"data", kS}}, {}},
        {kIfaceInstaller, "GetComponentInstallData", {clientName}, {{"data", kS}}},
        {kIfaceInstaller, "GetComponentUninstallData", {clientName}, {{"data", kS}}},
        {kIfaceInstaller, "ForceStartInstall", {client, manifest, component, callback}, {}},
        // IComponentMgr
        {kIfaceComponentMgr, "StartComponentDownload", {client, manifest, component, callback}, {}},
        {kIfaceComponentMgr, "CancelDownload", {{"first", kS}, {"second", kS}}, {}},
        {kIfaceComponentMgr, "StartComponentInstall", {client, manifest, component, callback}, {}},
        {kIfaceComponentMgr, "IsComponentInstalled", {client, manifest, component}, {{"status", "i"}}},
        {kIfaceComponentMgr, "DoTriggerTasks", {client, manifest, callback}, {{"updateStarted", "b"}}},
        {kIfaceComponentMgr, "StartComponentUpdate", {client, manifest, component, callback}, {}},
        {kIfaceComponentMgr, "StartComponentUninstall", {client, manifest, component, callback}, {}},
        {kIfaceComponentMgr, "ClientInstalled",
         {{"name", kS}, {"version", kS}, {"oem", kS}, {"lang", kS}}, {}},
        {kIfaceComponentMgr, "ClientUninstalled", {client, callback}, {}},
        {kIfaceComponentMgr, "ClientUninstalled_Asynchronous", {client, callback}, {}},
        {kIfaceComponentMgr, "GetInstalledComponentVersion", {client, component}, {{"version", kS}}},
        {kIfaceComponentMgr, "IsComponentUpdateAvailForInstall", {client, component},
         {{"available", "b"}}},
        {kIfaceComponentMgr, "IsComponentInstallRunning", {client, manifest, component},
         {{"running", "b"}}},
        {kIfaceComponentMgr, "IsComponentUpdateAvailForInstallEx", {client, component},
         {{"version", kS}, {"available", "b"}}},
        {kIfaceComponentMgr, "PredownloadComponent", {{"xml", kS}}, {}},
    };
}

std::vector<msMethod> PrvClientMethods() {
    const msArg component{"component", kS};
    return {
        {kIfaceCallback, "OnDownloadProgress", {component, {"percent", "i"}}, {}},
        {kIfaceCallback, "OnDownloadFailed", {component, {"error", "i"}, {"text", kS}}, {}},
        {kIfaceCallback, "OnInstallComplete", {component, {"success", "b"}, {"text", kS}}, {}},
        {kIfaceCallback, "OnDownloadComplete", {component}, {}},
        {kIfaceCallback, "OnUninstallComplete", {component, {"success", "b"}, {"text", kS}}, {}},
        {kIfaceNotify, "OnManifestUpdated", {{"manifest", kS}}, {}},
        {kIfacePlugin, "DisableComponent", {component, {"manifest", kS}}, {}},
    };
}

std::string PrvArgXml(const msArg& arg, const char* pszDirection) {
    return std::string("   <arg name=\"") + arg.pszName + "\" type=\"" + arg.pszType +
           "\" direction=\"" + pszDirection + "\"/>\n";
}

std::string PrvInterfaceXml(const std::string& strInterface, const std::vector<msMethod>& vecMethods) {
    std::string strXml = " <interface name=\"" + strInterface + "\">\n";
    for (const msMethod& method : vecMethods) {
        if (strInterface != method.pszInterface) continue;
        strXml += std::string("  <method name=\"") + method.pszMember + "\">\n";
        for (const msArg& arg : method.vecIn) strXml += PrvArgXml(arg, "in");
        if (method.bReturnsHResult) strXml += PrvArgXml(msArg{"hr", "i"}, "out");
        for (const msArg& arg : method.vecOut) strXml += PrvArgXml(arg, "out");
        strXml += "  </method>\n";
    }
    if (strInterface == kIfaceWindow) {
        strXml += std::string("  <property name=\"") + kWindowTitleProperty +
                  "\" type=\"s\" access=\"read\"/>\n";
    }
    strXml += " </interface>\n";
    return strXml;
}

}  // namespace

std::string msMethod::InSignature() const {
    std::string strSignature;
    for (const msArg& arg : vecIn) strSignature += arg.pszType;
    return strSignature;
}

std::string msMethod::OutSignature() const {
    std::string strSignature = bReturnsHResult ? "i" : "";
    for (const msArg& arg : vecOut) strSignature += arg.pszType;
    return strSignature;
}

const std::vector<msMethod>& ServiceMethods() {
    static const std::vector<msMethod> vecMethods = PrvServiceMethods();
    return vecMethods;
}

const std::vector<msMethod>& ClientMethods() {
    static const std::vector<msMethod> vecMethods = PrvClientMethods();
    return vecMethods;
}

const std::vector<msMethod>& WindowMethods() {
    static const std::vector<msMethod> vecMethods = {
        msMethod{kIfaceWindow, kWindowCloseMethod, {}, {}, false}};
    return vecMethods;
}

const msMethod* FindMethod(const std::string& strInterface, const std::string& strMember) {
    for (const auto* pTable : {&ServiceMethods(), &ClientMethods(), &WindowMethods()}) {
        for (const msMethod& method : *pTable) {
            if (strInterface == method.pszInterface && strMember == method.pszMember) return &method;
        }
    }
    return nullptr;
}

std::string IntrospectInterfaces(const std::vector<std::string>& vecInterfaces) {
    std::string strXml;
    for (const std::string& strInterface : vecInterfaces) {
        for (const auto* pTable : {&ServiceMethods(), &ClientMethods(), &WindowMethods()}) {
            bool bFound = false;
            for (const msMethod& method : *pTable) bFound = bFound || strInterface == method.pszInterface;
            if (bFound) {
                strXml += PrvInterfaceXml(strInterface, *pTable);
                break;
            }
        }
    }
    return strXml;
}

std::string TypeLibraryXml() {
    std::string strXml =
        "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n"
        "<!-- ComponentMgr 1.0 Type Library: the interfaces of the component manager.\n"
        "     Service ComponentMgr.ComponentMgrObj, object /ComponentMgrObj (the first four\n"
        "     interfaces) and /ComponentMgrClass (ComponentMgr.Window). The last three are\n"
        "     implemented by clients on their own connections and called by the service.\n"
        "     Every method returns its HRESULT first. -->\n"
        "<node>\n";
    strXml += IntrospectInterfaces({kIfaceControl, kIfaceManifest, kIfaceInstaller,
                                    kIfaceComponentMgr, kIfaceWindow, kIfaceCallback,
                                    kIfaceNotify, kIfacePlugin});
    strXml += "</node>\n";
    return strXml;
}

HRESULT HResultFromBusError(const std::string& strErrorName) {
    static const std::string kPrefix = "org.freedesktop.DBus.Error.";
    if (strErrorName.compare(0, kPrefix.size(), kPrefix) != 0) return E_FAIL;
    const std::string strName = strErrorName.substr(kPrefix.size());
    if (strName == "ServiceUnknown" || strName == "NameHasNoOwner" ||
        strName.compare(0, 6, "Spawn.") == 0) {
        return CO_E_SERVER_EXEC_FAILURE;
    }
    if (strName == "NoReply" || strName == "Timeout" || strName == "TimedOut") return RPC_E_TIMEOUT;
    if (strName == "Disconnected" || strName == "NoServer" || strName == "NoNetwork") {
        return RPC_E_DISCONNECTED;
    }
    if (strName == "Failed") return RPC_E_SERVERFAULT;
    if (strName == "UnknownObject" || strName == "UnknownInterface" ||
        strName == "UnknownMethod" || strName == "UnknownProperty") {
        return E_NOINTERFACE;
    }
    if (strName == "InvalidArgs" || strName == "InvalidSignature") return E_INVALIDARG;
    if (strName == "AccessDenied" || strName == "AuthFailed") return E_ACCESSDENIED;
    if (strName == "NoMemory") return E_OUTOFMEMORY;
    return E_FAIL;
}

std::string FormatHResult(HRESULT hr) {
    char szText[16];
    std::snprintf(szText, sizeof szText, "0x%08x", static_cast<unsigned>(hr));
    return szText;
}

}  // namespace cmifc
