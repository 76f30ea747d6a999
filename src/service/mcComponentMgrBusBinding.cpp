#include "service/mcComponentMgrBusBinding.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "contract/ArgumentBounds.h"
#include "contract/ComponentMgrIfc.h"
#include "base/mcCMLog.h"
#include "bus/mcBusDispatcher.h"
#include "contract/ComponentMgrAccess.h"
#include "service/mcCallerAuthorizer.h"
#include "service/mcServerLifetime.h"
#include "service/moComponentMgr.h"

namespace {

// Reads the call's arguments, calls the object, appends the HRESULT and the
// out-arguments to reply.
using Handler = std::function<void(moComponentMgr& object, mcBusMessage& call, mcBusMessage& reply,
                                   const std::string& strSender)>;

// True when every string argument of the call is within its bound; else logs
// one line naming the method, the argument and its size (never its text).
// Leaves the call's read position at its start.
bool PrvArgumentsWithinBounds(const cmifc::msMethod& method, mcBusMessage& call) {
    bool bWithin = true;
    for (const cmifc::msArg& arg : method.vecIn) {
        const std::string strType = arg.pszType;
        if (strType != "s" && strType != "o") {
            call.Skip(strType);
            continue;
        }
        const std::size_t nBytes = (strType == "s" ? call.ReadString() : call.ReadObjectPath()).size();
        const std::size_t nMax = cmifc::MaxArgumentBytes(method, arg);
        if (nBytes > nMax) {
            mfCMLog(std::string(method.pszMember) + ": argument '" + arg.pszName + "' refused, " +
                    std::to_string(nBytes) + " bytes (at most " + std::to_string(nMax) + ")");
            bWithin = false;
            break;
        }
    }
    call.Rewind();
    return bWithin;
}

void PrvAppendEmptyOut(const cmifc::msMethod& method, mcBusMessage& reply);

// E_INVALIDARG followed by empty out-arguments of the method's types.
void PrvAppendRefusal(const cmifc::msMethod& method, mcBusMessage& reply) {
    reply.Append(E_INVALIDARG);
    PrvAppendEmptyOut(method, reply);
}

mcClientCallback PrvCallback(mcBusMessage& call, const std::string& strSender) {
    return mcClientCallback{strSender, call.ReadObjectPath()};
}

// A deferred method's answer: fills the reply (HRESULT first, then the
// out-arguments) and sends it. Main thread, once.
using Answer = std::function<void(const std::function<void(mcBusMessage& reply)>& fnFill)>;
// Reads the call's arguments and starts the object's deferred method, which
// answers through answer when its work has ended.
using DeferredHandler = std::function<void(moComponentMgr& object, mcBusMessage& call, const std::string& strSender,
                                           Answer answer)>;

// Deferred methods of the form (s, s, s, o) -> (i).
DeferredHandler PrvDeferredStart(void (moComponentMgr::*pfn)(const std::string&, const std::string&,
                                                             const std::string&, const mcClientCallback&,
                                                             moComponentMgr::AnswerHandler)) {
    return [pfn](moComponentMgr& o, mcBusMessage& call, const std::string& strSender, Answer answer) {
        const std::string strClient = call.ReadString();
        const std::string strManifest = call.ReadString();
        const std::string strComponent = call.ReadString();
        const mcClientCallback callback = PrvCallback(call, strSender);
        (o.*pfn)(strClient, strManifest, strComponent, callback,
                 [answer](HRESULT hr) { answer([hr](mcBusMessage& reply) { reply.Append(hr); }); });
    };
}

// Methods whose work waits on the network: answered later, from the main
// thread, while other calls are served.
const std::map<std::string, DeferredHandler>& PrvDeferredHandlers() {
    static const std::map<std::string, DeferredHandler> mapHandlers = {
        {"UpdateManifests",
         [](moComponentMgr& o, mcBusMessage&, const std::string&, Answer answer) {
             o.UpdateManifests([answer](HRESULT hr) { answer([hr](mcBusMessage& reply) { reply.Append(hr); }); });
         }},
        // The start operations check the connection on the worker.
        {"StartComponentDownload", PrvDeferredStart(&moComponentMgr::StartComponentDownload)},
        {"StartComponentUpdate", PrvDeferredStart(&moComponentMgr::StartComponentUpdate)},
        // The install may disable a plug-in (worker) or start a download first.
        {"StartComponentInstall", PrvDeferredStart(&moComponentMgr::StartComponentInstall)},
        {"ForceStartInstall", PrvDeferredStart(&moComponentMgr::ForceStartInstall)},
        {"DoTriggerTasks",
         [](moComponentMgr& o, mcBusMessage& call, const std::string& strSender, Answer answer) {
             const std::string strClient = call.ReadString();
             const std::string strManifest = call.ReadString();
             const mcClientCallback callback = PrvCallback(call, strSender);
             o.DoTriggerTasks(strClient, strManifest, callback, [answer](HRESULT hr, bool bStarted) {
                 answer([hr, bStarted](mcBusMessage& reply) { reply.Append(hr).Append(bStarted); });
             });
         }},
    };
    return mapHandlers;
}

// Handlers for methods of the form (s, s, s, o) -> (i).
Handler PrvStartHandler(HRESULT (moComponentMgr::*pfn)(const std::string&, const std::string&,
                                                       const std::string&, const mcClientCallback&)) {
    return [pfn](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string& strSender) {
        const std::string strClient = call.ReadString();
        const std::string strManifest = call.ReadString();
        const std::string strComponent = call.ReadString();
        const mcClientCallback callback = PrvCallback(call, strSender);
        reply.Append((o.*pfn)(strClient, strManifest, strComponent, callback));
    };
}

const std::map<std::string, Handler>& PrvHandlers() {
    static const std::map<std::string, Handler> mapHandlers = {
        // IComponentMgrControl
        {"Register",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string& strSender) {
             const mcClientCallback sink = PrvCallback(call, strSender);
             std::uint32_t nCookie = 0;
             reply.Append(o.Register(sink, nCookie)).Append(nCookie);
         }},
        {"Unregister",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string&) {
             reply.Append(o.Unregister(call.ReadUInt32()));
         }},
        {"ClearTasks",
         [](moComponentMgr& o, mcBusMessage&, mcBusMessage& reply, const std::string&) {
             reply.Append(o.ClearTasks());
         }},
        // IComponentMgrManifest
        {"GetComponents",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string&) {
             const std::string strManifest = call.ReadString();
             std::vector<std::string> vecComponents;
             reply.Append(o.GetComponents(strManifest, vecComponents)).Append(vecComponents);
         }},
        {"GetComponentClientData",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string&) {
             const std::string strManifest = call.ReadString();
             const std::string strComponent = call.ReadString();
             std::string strData;
             reply.Append(o.GetComponentClientData(strManifest, strComponent, strData)).Append(strData);
         }},
        {"GetComponentFriendlyName",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string&) {
             const std::string strManifest = call.ReadString();
             const std::string strComponent = call.ReadString();
             std::string strName;
             reply.Append(o.GetComponentFriendlyName(strManifest, strComponent, strName)).Append(strName);
         }},
        {"GetComponentsFiltered",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string&) {
             const std::string strClient = call.ReadString();
             const std::string strManifest = call.ReadString();
             std::vector<std::string> vecComponents;
             reply.Append(o.GetComponentsFiltered(strClient, strManifest, vecComponents))
                 .Append(vecComponents);
         }},
        // IComponentMgrInstaller
        {"ComponentInstalled",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string&) {
             const std::string strClient = call.ReadString();
             const std::string strData = call.ReadString();
             reply.Append(o.ComponentInstalled(strClient, strData));
         }},
        {"ComponentUninstalled",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string&) {
             const std::string strClient = call.ReadString();
             const std::string strData = call.ReadString();
             reply.Append(o.ComponentUninstalled(strClient, strData));
         }},
        {"GetComponentInstallData",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string&) {
             const std::string strClient = call.ReadString();
             std::string strData;
             reply.Append(o.GetComponentInstallData(strClient, strData)).Append(strData);
         }},
        {"GetComponentUninstallData",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string&) {
             const std::string strClient = call.ReadString();
             std::string strData;
             reply.Append(o.GetComponentUninstallData(strClient, strData)).Append(strData);
         }},
        // IComponentMgr
        {"CancelDownload",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string&) {
             const std::string strFirst = call.ReadString();
             const std::string strSecond = call.ReadString();
             reply.Append(o.CancelDownload(strFirst, strSecond));
         }},
        {"IsComponentInstalled",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string&) {
             const std::string strClient = call.ReadString();
             const std::string strManifest = call.ReadString();
             const std::string strComponent = call.ReadString();
             std::int32_t nStatus = 0;
             reply.Append(o.IsComponentInstalled(strClient, strManifest, strComponent, nStatus))
                 .Append(nStatus);
         }},
        {"StartComponentUninstall", PrvStartHandler(&moComponentMgr::StartComponentUninstall)},
        {"ClientInstalled",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string&) {
             const std::string strName = call.ReadString();
             const std::string strVersion = call.ReadString();
             const std::string strOem = call.ReadString();
             const std::string strLang = call.ReadString();
             reply.Append(o.ClientInstalled(strName, strVersion, strOem, strLang));
         }},
        {"ClientUninstalled",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string& strSender) {
             const std::string strClient = call.ReadString();
             reply.Append(o.ClientUninstalled(strClient, PrvCallback(call, strSender)));
         }},
        {"ClientUninstalled_Asynchronous",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string& strSender) {
             const std::string strClient = call.ReadString();
             reply.Append(o.ClientUninstalled_Asynchronous(strClient, PrvCallback(call, strSender)));
         }},
        {"GetInstalledComponentVersion",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string&) {
             const std::string strClient = call.ReadString();
             const std::string strComponent = call.ReadString();
             std::string strVersion;
             reply.Append(o.GetInstalledComponentVersion(strClient, strComponent, strVersion))
                 .Append(strVersion);
         }},
        {"IsComponentUpdateAvailForInstall",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string&) {
             const std::string strClient = call.ReadString();
             const std::string strComponent = call.ReadString();
             bool bAvailable = false;
             reply.Append(o.IsComponentUpdateAvailForInstall(strClient, strComponent, bAvailable))
                 .Append(bAvailable);
         }},
        {"IsComponentInstallRunning",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string&) {
             const std::string strClient = call.ReadString();
             const std::string strManifest = call.ReadString();
             const std::string strComponent = call.ReadString();
             bool bRunning = false;
             reply.Append(o.IsComponentInstallRunning(strClient, strManifest, strComponent, bRunning))
                 .Append(bRunning);
         }},
        {"IsComponentUpdateAvailForInstallEx",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string&) {
             const std::string strClient = call.ReadString();
             const std::string strComponent = call.ReadString();
             std::string strVersion;
             bool bAvailable = false;
             reply.Append(o.IsComponentUpdateAvailForInstall(strClient, strComponent, strVersion, bAvailable))
                 .Append(strVersion)
                 .Append(bAvailable);
         }},
        {"PredownloadComponent",
         [](moComponentMgr& o, mcBusMessage& call, mcBusMessage& reply, const std::string&) {
             reply.Append(o.PredownloadComponent(call.ReadString()));
         }},
    };
    return mapHandlers;
}

// Appends empty out-arguments of method (after the HRESULT) to reply, for a
// refused call: the reply keeps the method's signature.
void PrvAppendEmptyOut(const cmifc::msMethod& method, mcBusMessage& reply) {
    for (const cmifc::msArg& arg : method.vecOut) {
        const std::string strType = arg.pszType;
        if (strType == "s") {
            reply.Append(std::string());
        } else if (strType == "as") {
            reply.Append(std::vector<std::string>());
        } else if (strType == "b") {
            reply.Append(false);
        } else if (strType == "u") {
            reply.Append(std::uint32_t{0});
        } else {
            reply.Append(std::int32_t{0});
        }
    }
}

// The access a call needs: the table's, except that revoking a sink cookie
// that another connection registered needs the service's own user id.
cmifc::meAccess PrvCallAccess(const cmifc::msMethod& method, moComponentMgr& object, mcBusMessage& call) {
    const cmifc::msMethodAccess* pEntry = cmifc::FindMethodAccess(method.pszInterface, method.pszMember);
    if (!pEntry) return cmifc::meAccess::ServiceUid;
    if (std::string(method.pszMember) == "Unregister") {
        const std::uint32_t nCookie = call.ReadUInt32();
        call.Rewind();
        if (!object.IsSinkOf(nCookie, call.Sender())) return cmifc::meAccess::ServiceUid;
    }
    return pEntry->access;
}

}  // namespace

mcComponentMgrBusBinding::mcComponentMgrBusBinding(mcBusDispatcher& dispatcher, moComponentMgr& object,
                                                   mcServerLifetime* pLifetime, mcCallerAuthorizer& authorizer)
    : m_dispatcher(dispatcher) {
    m_dispatcher.AddObject(cmifc::kObjectPath,
                           cmifc::IntrospectInterfaces({cmifc::kIfaceControl, cmifc::kIfaceManifest,
                                                        cmifc::kIfaceInstaller, cmifc::kIfaceComponentMgr}));
    try {
        for (const cmifc::msMethod& method : cmifc::ServiceMethods()) {
            auto itDeferred = PrvDeferredHandlers().find(method.pszMember);
            auto it = PrvHandlers().find(method.pszMember);
            if (itDeferred == PrvDeferredHandlers().end() && it == PrvHandlers().end()) continue;
            const DeferredHandler* pDeferred =
                itDeferred != PrvDeferredHandlers().end() ? &itDeferred->second : nullptr;
            const Handler* pHandler = it != PrvHandlers().end() ? &it->second : nullptr;
            mcBusDispatcher& dispatcher = m_dispatcher;
            std::weak_ptr<int> pAlive = m_pAlive;
            m_dispatcher.AddMethod(
                cmifc::kObjectPath, method.pszInterface, method.pszMember, method.InSignature(),
                [&object, pLifetime, pDeferred, pHandler, &dispatcher, &authorizer, &method, pAlive](mcBusMessage& call) {
                    const std::string strSender = call.Sender();
                    // The call holds its reference until it is answered.
                    std::shared_ptr<mcServerLifetime::CallScope> pScope;
                    if (pLifetime) {
                        pLifetime->OnClientCall(strSender);
                        pScope = std::make_shared<mcServerLifetime::CallScope>(*pLifetime);
                    }
                    // Bounds first: an oversized argument is refused before
                    // anything, authorization included, looks at it.
                    if (!PrvArgumentsWithinBounds(method, call)) {
                        mcBusMessage reply = call.NewMethodReturn();
                        PrvAppendRefusal(method, reply);
                        return reply;
                    }
                    const cmifc::meAccess access = PrvCallAccess(method, object, call);
                    if (access == cmifc::meAccess::Anyone && pHandler) {
                        mcBusMessage reply = call.NewMethodReturn();
                        (*pHandler)(object, call, reply, strSender);
                        return reply;
                    }
                    // Served once the caller is known to be allowed: the body
                    // never runs for a refused call.
                    std::shared_ptr<mcDeferredReply> pReply = dispatcher.DeferReply(call);
                    authorizer.Authorize(call, method.pszMember, access, [&object, pDeferred, pHandler, &method, pReply, pScope,
                                                                          call, strSender, pAlive](bool bAllowed) mutable {
                        Answer answer = [pReply, pScope](const std::function<void(mcBusMessage&)>& fnFill) {
                            mcBusMessage reply = pReply->NewReturn();
                            fnFill(reply);
                            pReply->Send(reply);
                        };
                        if (!bAllowed || pAlive.expired()) {
                            // The binding gone: the object is being released.
                            const HRESULT hr = bAllowed ? cmifc::CO_E_SERVER_STOPPING : E_ACCESSDENIED;
                            answer([&method, hr](mcBusMessage& reply) {
                                reply.Append(hr);
                                PrvAppendEmptyOut(method, reply);
                            });
                        } else if (pDeferred) {
                            (*pDeferred)(object, call, strSender, answer);
                        } else {
                            answer([&](mcBusMessage& reply) { (*pHandler)(object, call, reply, strSender); });
                        }
                    });
                    return mcBusMessage();
                });
        }
    } catch (...) {
        m_dispatcher.RemoveObject(cmifc::kObjectPath);
        throw;
    }
}

mcComponentMgrBusBinding::~mcComponentMgrBusBinding() {
    try {
        m_dispatcher.RemoveObject(cmifc::kObjectPath);
    } catch (...) {
        // Only a wrong thread throws; the registration then stays.
    }
}

std::size_t mcComponentMgrBusBinding::HandledMethodCount() {
    std::size_t n = 0;
    for (const cmifc::msMethod& method : cmifc::ServiceMethods()) {
        n += PrvHandlers().count(method.pszMember) + PrvDeferredHandlers().count(method.pszMember);
    }
    return n;
}
