#include "client/mcComponentMgrClient.h"

#include <systemd/sd-bus.h>

#include <utility>

#include "bus/BusAddress.h"
#include "contract/ComponentMgrIfc.h"
#include "bus/mcBusConnection.h"
#include "bus/mcBusDispatcher.h"
#include "bus/mcBusExc.h"

namespace {

constexpr const char* kClientRoot = "/ComponentMgrClient";

using cmifc::kIfaceComponentMgr;
using cmifc::kIfaceControl;
using cmifc::kIfaceInstaller;
using cmifc::kIfaceManifest;

// Appends one argument after the other.
template <class... Args>
std::function<void(mcBusMessage&)> PrvArgs(const Args&... args) {
    return [&args...](mcBusMessage& call) { (call.Append(args), ...); };
}

std::function<void(mcBusMessage&)> PrvStartArgs(const std::string& strClient, const std::string& strManifest,
                                                const std::string& strComponent, const std::string& strPath) {
    return [&](mcBusMessage& call) {
        call.Append(strClient).Append(strManifest).Append(strComponent).AppendObjectPath(strPath);
    };
}

const std::function<void(mcBusMessage&)> kNoOut;

}  // namespace

mcComponentMgrClient::mcComponentMgrClient() : mcComponentMgrClient(Options()) {}

mcComponentMgrClient::mcComponentMgrClient(Options options)
    : m_options(std::move(options)),
      m_strDestination(m_options.strDestination.empty() ? std::string(cmifc::kBusName)
                                                        : m_options.strDestination) {
    const std::string strAddress = m_options.strBusAddress.empty()
                                       ? mfResolveBusAddress(mcBusRole::Client, m_options.bSessionBus)
                                       : m_options.strBusAddress;
    m_pConnection = std::make_unique<mcBusConnection>(mcBusConnection::OpenAddress(strAddress));
    m_pDispatcher = std::make_unique<mcBusDispatcher>(*m_pConnection);
}

mcComponentMgrClient::~mcComponentMgrClient() {
    m_pDispatcher.reset();
    m_pConnection.reset();
}

std::string mcComponentMgrClient::UniqueName() const { return m_pConnection->UniqueName(); }

// ------------------------------------------------------------ calls

mcBusMessage mcComponentMgrClient::PrvNewCall(const std::string& strDestination, const std::string& strPath,
                                              const char* pszInterface, const char* pszMember,
                                              bool bAutoStart) {
    mcBusMessage call = m_pConnection->NewMethodCall(strDestination, strPath, pszInterface, pszMember);
    if (!bAutoStart) sd_bus_message_set_auto_start(call.Get(), 0);
    return call;
}

HRESULT mcComponentMgrClient::PrvFailure(const std::exception_ptr& pException) {
    try {
        std::rethrow_exception(pException);
    } catch (const mcBusExc& exc) {
        m_strLastError = exc.Description();
        if (!exc.ErrorName().empty()) return cmifc::HResultFromBusError(exc.ErrorName());
        return m_pConnection->IsOpen() ? E_FAIL : cmifc::RPC_E_DISCONNECTED;
    } catch (const mcExc& exc) {
        m_strLastError = exc.Description();
        return cmifc::RPC_E_INVALID_DATA;
    }
}

HRESULT mcComponentMgrClient::PrvCall(const char* pszInterface, const char* pszMember,
                                      const std::function<void(mcBusMessage&)>& fnArgs,
                                      const std::function<void(mcBusMessage&)>& fnOut) {
    m_strLastError.clear();
    const cmifc::msMethod* pMethod = cmifc::FindMethod(pszInterface, pszMember);
    try {
        mcBusMessage call = PrvNewCall(m_strDestination, cmifc::kObjectPath, pszInterface, pszMember,
                                       m_options.bAutoStart);
        if (fnArgs) fnArgs(call);
        mcBusMessage reply = m_pDispatcher->CallAsync(call, m_options.timeout);
        if (pMethod && reply.Signature() != pMethod->OutSignature()) {
            m_strLastError = std::string("unexpected reply '") + reply.Signature() + "' to " + pszMember;
            return cmifc::RPC_E_INVALID_DATA;
        }
        const HRESULT hr = reply.ReadInt32();
        if (hr == E_ACCESSDENIED) m_strLastError = kPermissionDenied;
        if (fnOut) fnOut(reply);
        return hr;
    } catch (const mcExc&) {
        return PrvFailure(std::current_exception());
    }
}

HRESULT mcComponentMgrClient::Register(const std::string& strSinkPath, std::uint32_t& nCookie) {
    nCookie = 0;
    return PrvCall(kIfaceControl, "Register", [&](mcBusMessage& call) { call.AppendObjectPath(strSinkPath); },
                   [&](mcBusMessage& reply) { nCookie = reply.ReadUInt32(); });
}

HRESULT mcComponentMgrClient::Unregister(std::uint32_t nCookie) {
    return PrvCall(kIfaceControl, "Unregister", PrvArgs(nCookie), kNoOut);
}

HRESULT mcComponentMgrClient::ClearTasks() { return PrvCall(kIfaceControl, "ClearTasks", nullptr, kNoOut); }

HRESULT mcComponentMgrClient::GetComponents(const std::string& strManifest,
                                            std::vector<std::string>& vecComponents) {
    vecComponents.clear();
    return PrvCall(kIfaceManifest, "GetComponents", PrvArgs(strManifest),
                   [&](mcBusMessage& reply) { vecComponents = reply.ReadStringArray(); });
}

HRESULT mcComponentMgrClient::GetComponentClientData(const std::string& strManifest,
                                                     const std::string& strComponent, std::string& strData) {
    strData.clear();
    return PrvCall(kIfaceManifest, "GetComponentClientData", PrvArgs(strManifest, strComponent),
                   [&](mcBusMessage& reply) { strData = reply.ReadString(); });
}

HRESULT mcComponentMgrClient::GetComponentFriendlyName(const std::string& strManifest,
                                                       const std::string& strComponent, std::string& strName) {
    strName.clear();
    return PrvCall(kIfaceManifest, "GetComponentFriendlyName", PrvArgs(strManifest, strComponent),
                   [&](mcBusMessage& reply) { strName = reply.ReadString(); });
}

HRESULT mcComponentMgrClient::UpdateManifests() {
    return PrvCall(kIfaceManifest, "UpdateManifests", nullptr, kNoOut);
}

HRESULT mcComponentMgrClient::GetComponentsFiltered(const std::string& strClient, const std::string& strManifest,
                                                    std::vector<std::string>& vecComponents) {
    vecComponents.clear();
    return PrvCall(kIfaceManifest, "GetComponentsFiltered", PrvArgs(strClient, strManifest),
                   [&](mcBusMessage& reply) { vecComponents = reply.ReadStringArray(); });
}

HRESULT mcComponentMgrClient::ComponentInstalled(const std::string& strClientName, const std::string& strData) {
    return PrvCall(kIfaceInstaller, "ComponentInstalled", PrvArgs(strClientName, strData), kNoOut);
}

HRESULT mcComponentMgrClient::ComponentUninstalled(const std::string& strClientName, const std::string& strData) {
    return PrvCall(kIfaceInstaller, "ComponentUninstalled", PrvArgs(strClientName, strData), kNoOut);
}

HRESULT mcComponentMgrClient::GetComponentInstallData(const std::string& strClientName, std::string& strData) {
    strData.clear();
    return PrvCall(kIfaceInstaller, "GetComponentInstallData", PrvArgs(strClientName),
                   [&](mcBusMessage& reply) { strData = reply.ReadString(); });
}

HRESULT mcComponentMgrClient::GetComponentUninstallData(const std::string& strClientName, std::string& strData) {
    strData.clear();
    return PrvCall(kIfaceInstaller, "GetComponentUninstallData", PrvArgs(strClientName),
                   [&](mcBusMessage& reply) { strData = reply.ReadString(); });
}

HRESULT mcComponentMgrClient::ForceStartInstall(const std::string& strClient, const std::string& strManifest,
                                                const std::string& strComponent,
                                                const std::string& strCallbackPath) {
    return PrvCall(kIfaceInstaller, "ForceStartInstall",
                   PrvStartArgs(strClient, strManifest, strComponent, strCallbackPath), kNoOut);
}

HRESULT mcComponentMgrClient::StartComponentDownload(const std::string& strClient,
                                                     const std::string& strManifest,
                                                     const std::string& strComponent,
                                                     const std::string& strCallbackPath) {
    return PrvCall(kIfaceComponentMgr, "StartComponentDownload",
                   PrvStartArgs(strClient, strManifest, strComponent, strCallbackPath), kNoOut);
}

HRESULT mcComponentMgrClient::CancelDownload(const std::string& strFirst, const std::string& strSecond) {
    return PrvCall(kIfaceComponentMgr, "CancelDownload", PrvArgs(strFirst, strSecond), kNoOut);
}

HRESULT mcComponentMgrClient::StartComponentInstall(const std::string& strClient, const std::string& strManifest,
                                                    const std::string& strComponent,
                                                    const std::string& strCallbackPath) {
    return PrvCall(kIfaceComponentMgr, "StartComponentInstall",
                   PrvStartArgs(strClient, strManifest, strComponent, strCallbackPath), kNoOut);
}

HRESULT mcComponentMgrClient::IsComponentInstalled(const std::string& strClient, const std::string& strManifest,
                                                   const std::string& strComponent, std::int32_t& nStatus) {
    nStatus = 0;
    return PrvCall(kIfaceComponentMgr, "IsComponentInstalled", PrvArgs(strClient, strManifest, strComponent),
                   [&](mcBusMessage& reply) { nStatus = reply.ReadInt32(); });
}

HRESULT mcComponentMgrClient::DoTriggerTasks(const std::string& strClient, const std::string& strManifest,
                                             const std::string& strCallbackPath, bool& bUpdateStarted) {
    bUpdateStarted = false;
    return PrvCall(
        kIfaceComponentMgr, "DoTriggerTasks",
        [&](mcBusMessage& call) { call.Append(strClient).Append(strManifest).AppendObjectPath(strCallbackPath); },
        [&](mcBusMessage& reply) { bUpdateStarted = reply.ReadBool(); });
}

HRESULT mcComponentMgrClient::StartComponentUpdate(const std::string& strClient, const std::string& strManifest,
                                                   const std::string& strComponent,
                                                   const std::string& strCallbackPath) {
    return PrvCall(kIfaceComponentMgr, "StartComponentUpdate",
                   PrvStartArgs(strClient, strManifest, strComponent, strCallbackPath), kNoOut);
}

HRESULT mcComponentMgrClient::StartComponentUninstall(const std::string& strClient,
                                                      const std::string& strManifest,
                                                      const std::string& strComponent,
                                                      const std::string& strCallbackPath) {
    return PrvCall(kIfaceComponentMgr, "StartComponentUninstall",
                   PrvStartArgs(strClient, strManifest, strComponent, strCallbackPath), kNoOut);
}

HRESULT mcComponentMgrClient::ClientInstalled(const std::string& strName, const std::string& strVersion,
                                              const std::string& strOem, const std::string& strLang) {
    return PrvCall(kIfaceComponentMgr, "ClientInstalled", PrvArgs(strName, strVersion, strOem, strLang), kNoOut);
}

HRESULT mcComponentMgrClient::ClientUninstalled(const std::string& strClient, const std::string& strCallbackPath) {
    return PrvCall(
        kIfaceComponentMgr, "ClientUninstalled",
        [&](mcBusMessage& call) { call.Append(strClient).AppendObjectPath(strCallbackPath); }, kNoOut);
}

HRESULT mcComponentMgrClient::ClientUninstalled_Asynchronous(const std::string& strClient,
                                                             const std::string& strCallbackPath) {
    return PrvCall(
        kIfaceComponentMgr, "ClientUninstalled_Asynchronous",
        [&](mcBusMessage& call) { call.Append(strClient).AppendObjectPath(strCallbackPath); }, kNoOut);
}

HRESULT mcComponentMgrClient::GetInstalledComponentVersion(const std::string& strClient,
                                                           const std::string& strComponent,
                                                           std::string& strVersion) {
    strVersion.clear();
    return PrvCall(kIfaceComponentMgr, "GetInstalledComponentVersion", PrvArgs(strClient, strComponent),
                   [&](mcBusMessage& reply) { strVersion = reply.ReadString(); });
}

HRESULT mcComponentMgrClient::IsComponentUpdateAvailForInstall(const std::string& strClient,
                                                               const std::string& strComponent,
                                                               bool& bAvailable) {
    bAvailable = false;
    return PrvCall(kIfaceComponentMgr, "IsComponentUpdateAvailForInstall", PrvArgs(strClient, strComponent),
                   [&](mcBusMessage& reply) { bAvailable = reply.ReadBool(); });
}

HRESULT mcComponentMgrClient::IsComponentInstallRunning(const std::string& strClient,
                                                        const std::string& strManifest,
                                                        const std::string& strComponent, bool& bRunning) {
    bRunning = false;
    return PrvCall(kIfaceComponentMgr, "IsComponentInstallRunning", PrvArgs(strClient, strManifest, strComponent),
                   [&](mcBusMessage& reply) { bRunning = reply.ReadBool(); });
}

HRESULT mcComponentMgrClient::IsComponentUpdateAvailForInstall(const std::string& strClient,
                                                               const std::string& strComponent,
                                                               std::string& strVersion, bool& bAvailable) {
    strVersion.clear();
    bAvailable = false;
    return PrvCall(kIfaceComponentMgr, "IsComponentUpdateAvailForInstallEx", PrvArgs(strClient, strComponent),
                   [&](mcBusMessage& reply) {
                       strVersion = reply.ReadString();
                       bAvailable = reply.ReadBool();
                   });
}

HRESULT mcComponentMgrClient::PredownloadComponent(const std::string& strXml) {
    return PrvCall(kIfaceComponentMgr, "PredownloadComponent", PrvArgs(strXml), kNoOut);
}

// ------------------------------------------------------------ window

HRESULT mcComponentMgrClient::GetServiceOwner(std::string& strOwner) {
    strOwner.clear();
    m_strLastError.clear();
    try {
        mcBusMessage call = PrvNewCall(mcBusConnection::kBusName, mcBusConnection::kBusPath,
                                       mcBusConnection::kBusInterface, "GetNameOwner", false);
        call.Append(m_strDestination);
        mcBusMessage reply = m_pDispatcher->CallAsync(call, m_options.timeout);
        strOwner = reply.ReadString();
        return S_OK;
    } catch (const mcBusExc& exc) {
        if (exc.ErrorName() == "org.freedesktop.DBus.Error.NameHasNoOwner") {
            m_strLastError = exc.Description();
            return S_FALSE;
        }
        return PrvFailure(std::current_exception());
    } catch (const mcExc&) {
        return PrvFailure(std::current_exception());
    }
}

HRESULT mcComponentMgrClient::GetWindowTitle(std::string& strTitle) {
    strTitle.clear();
    m_strLastError.clear();
    try {
        mcBusMessage call = PrvNewCall(m_strDestination, cmifc::kWindowPath, mcBusDispatcher::kIfaceProperties,
                                       "Get", false);
        call.Append(cmifc::kIfaceWindow).Append(cmifc::kWindowTitleProperty);
        mcBusMessage reply = m_pDispatcher->CallAsync(call, m_options.timeout);
        if (!reply.EnterContainer('v', "s")) {
            m_strLastError = "the window's title is not a string";
            return cmifc::RPC_E_INVALID_DATA;
        }
        strTitle = reply.ReadString();
        reply.ExitContainer();
        return S_OK;
    } catch (const mcExc&) {
        return PrvFailure(std::current_exception());
    }
}

HRESULT mcComponentMgrClient::CloseWindow() {
    m_strLastError.clear();
    try {
        mcBusMessage call = PrvNewCall(m_strDestination, cmifc::kWindowPath, cmifc::kIfaceWindow,
                                       cmifc::kWindowCloseMethod, false);
        m_pDispatcher->CallAsync(call, m_options.timeout);
        return S_OK;
    } catch (const mcExc&) {
        return PrvFailure(std::current_exception());
    }
}

// ------------------------------------------------------------ exports

std::string mcComponentMgrClient::PrvNewPath(const char* pszKind) {
    return std::string(kClientRoot) + "/" + pszKind + std::to_string(m_nNextPath++);
}

std::string mcComponentMgrClient::ExportCallback(std::shared_ptr<IComponentMgrCallback> pCallback,
                                                 const std::string& strPath) {
    const std::string strObject = strPath.empty() ? PrvNewPath("Callback") : strPath;
    // The handlers share the object, so it outlives a call that is running
    // when it is unexported.
    const std::shared_ptr<IComponentMgrCallback> p = pCallback;
    const char* pszIface = cmifc::kIfaceCallback;
    m_pDispatcher->AddObject(strObject, cmifc::IntrospectInterfaces({pszIface}));
    m_pDispatcher->AddMethod(strObject, pszIface, "OnDownloadProgress", "si", [p](mcBusMessage& call) {
        const std::string strComponent = call.ReadString();
        const std::int32_t nPercent = call.ReadInt32();
        mcBusMessage reply = call.NewMethodReturn();
        reply.Append(p->OnDownloadProgress(strComponent, nPercent));
        return reply;
    });
    m_pDispatcher->AddMethod(strObject, pszIface, "OnDownloadFailed", "sis", [p](mcBusMessage& call) {
        const std::string strComponent = call.ReadString();
        const std::int32_t nError = call.ReadInt32();
        const std::string strText = call.ReadString();
        mcBusMessage reply = call.NewMethodReturn();
        reply.Append(p->OnDownloadFailed(strComponent, nError, strText));
        return reply;
    });
    m_pDispatcher->AddMethod(strObject, pszIface, "OnInstallComplete", "sbs", [p](mcBusMessage& call) {
        const std::string strComponent = call.ReadString();
        const bool bSuccess = call.ReadBool();
        const std::string strText = call.ReadString();
        mcBusMessage reply = call.NewMethodReturn();
        reply.Append(p->OnInstallComplete(strComponent, bSuccess, strText));
        return reply;
    });
    m_pDispatcher->AddMethod(strObject, pszIface, "OnDownloadComplete", "s", [p](mcBusMessage& call) {
        const std::string strComponent = call.ReadString();
        mcBusMessage reply = call.NewMethodReturn();
        reply.Append(p->OnDownloadComplete(strComponent));
        return reply;
    });
    m_pDispatcher->AddMethod(strObject, pszIface, "OnUninstallComplete", "sbs", [p](mcBusMessage& call) {
        const std::string strComponent = call.ReadString();
        const bool bSuccess = call.ReadBool();
        const std::string strText = call.ReadString();
        mcBusMessage reply = call.NewMethodReturn();
        reply.Append(p->OnUninstallComplete(strComponent, bSuccess, strText));
        return reply;
    });
    m_vecExports.emplace_back(strObject, std::move(pCallback));
    return strObject;
}

std::string mcComponentMgrClient::ExportNotifySink(std::shared_ptr<IComponentMgrNotify> pSink,
                                                   const std::string& strPath) {
    const std::string strObject = strPath.empty() ? PrvNewPath("Sink") : strPath;
    const std::shared_ptr<IComponentMgrNotify> p = pSink;
    m_pDispatcher->AddObject(strObject, cmifc::IntrospectInterfaces({cmifc::kIfaceNotify}));
    m_pDispatcher->AddMethod(strObject, cmifc::kIfaceNotify, "OnManifestUpdated", "s", [p](mcBusMessage& call) {
        const std::string strManifest = call.ReadString();
        mcBusMessage reply = call.NewMethodReturn();
        reply.Append(p->OnManifestUpdated(strManifest));
        return reply;
    });
    m_vecExports.emplace_back(strObject, std::move(pSink));
    return strObject;
}

void mcComponentMgrClient::Unexport(const std::string& strPath) {
    m_pDispatcher->RemoveObject(strPath);
    for (auto it = m_vecExports.begin(); it != m_vecExports.end();) {
        it = it->first == strPath ? m_vecExports.erase(it) : std::next(it);
    }
}

bool mcComponentMgrClient::PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    return m_pDispatcher->PumpUntil(pred, timeout);
}
