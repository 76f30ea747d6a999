#include "service/mcCallerAuthorizer.h"

#include <systemd/sd-bus.h>

#include "base/mcCMLog.h"
#include "bus/mcBusConnection.h"
#include "bus/mcBusDispatcher.h"
#include "base/mcExc.h"

namespace {

std::string PrvErrorText(const mcBusMessage& reply) {
    return reply.ErrorName() + " (" + reply.ErrorMessage() + ")";
}

}  // namespace

mcCallerAuthorizer::mcCallerAuthorizer(mcBusDispatcher& dispatcher, uid_t nServiceUid,
                                       bool bAuthorityOnBus, std::chrono::milliseconds timeout)
    : m_dispatcher(dispatcher),
      m_nServiceUid(nServiceUid),
      m_bAuthorityOnBus(bAuthorityOnBus),
      m_timeout(timeout) {}

mcCallerAuthorizer::~mcCallerAuthorizer() = default;

void mcCallerAuthorizer::PrvRefuse(const std::string& strMethod, const std::string& strUid,
                                   const Verdict& fnDone) {
    mfCMLog(strMethod + kLogDenied + strUid);
    fnDone(false);
}

void mcCallerAuthorizer::Authorize(const mcBusMessage& call, const std::string& strMethod,
                                   cmifc::meAccess access, Verdict fnDone) {
    if (access == cmifc::meAccess::Anyone) {
        fnDone(true);
        return;
    }
    const std::string strSender = call.Sender();
    std::weak_ptr<int> pAlive = m_pAlive;
    try {
        mcBusMessage ask = m_dispatcher.Connection().NewMethodCall(
            mcBusConnection::kBusName, mcBusConnection::kBusPath, mcBusConnection::kBusInterface,
            "GetConnectionUnixUser");
        ask.Append(strSender);
        m_dispatcher.CallWithReply(
            ask, m_timeout, [this, pAlive, call, strMethod, access, fnDone](mcBusMessage& reply) {
                if (pAlive.expired()) return;
                if (reply.IsError()) {
                    mfCMLog(strMethod + ": the bus did not tell the caller's user: " + PrvErrorText(reply));
                    PrvRefuse(strMethod, "unknown", fnDone);
                    return;
                }
                std::uint32_t nUid = 0;
                try {
                    nUid = reply.ReadUInt32();
                } catch (const mcExc& exc) {
                    mfCMLog(strMethod + ": " + exc.Description());
                    PrvRefuse(strMethod, "unknown", fnDone);
                    return;
                }
                PrvDecide(call, strMethod, access, nUid, fnDone);
            });
    } catch (const mcExc& exc) {
        // Answered from the loop like every other verdict.
        mfCMLog(strMethod + ": " + exc.Description());
        (void)m_dispatcher.Post([strMethod, fnDone] { PrvRefuse(strMethod, "unknown", fnDone); });
    }
}

void mcCallerAuthorizer::PrvDecide(const mcBusMessage& call, const std::string& strMethod,
                                   cmifc::meAccess access, std::uint32_t nUid, const Verdict& fnDone) {
    if (nUid == static_cast<std::uint32_t>(m_nServiceUid)) {
        fnDone(true);
        return;
    }
    if (access == cmifc::meAccess::Manage || access == cmifc::meAccess::Clients) {
        PrvAskAuthority(call, strMethod, access, nUid, fnDone);
        return;
    }
    PrvRefuse(strMethod, std::to_string(nUid), fnDone);
}

void mcCallerAuthorizer::PrvAskAuthority(const mcBusMessage& call, const std::string& strMethod,
                                         cmifc::meAccess access, std::uint32_t nUid,
                                         const Verdict& fnDone) {
    const std::string strUid = std::to_string(nUid);
    if (!m_bAuthorityOnBus) {
        mfCMLog(strMethod + ": no polkit authority on the service's bus");
        PrvRefuse(strMethod, strUid, fnDone);
        return;
    }
    const char* pszAction = cmifc::PolkitAction(access);
    std::weak_ptr<int> pAlive = m_pAlive;
    try {
        const std::uint32_t nFlags =
            sd_bus_message_get_allow_interactive_authorization(call.Get()) > 0 ? kAllowUserInteraction : 0;
        mcBusMessage ask = m_dispatcher.Connection().NewMethodCall(kAuthorityName, kAuthorityPath,
                                                                   kAuthorityInterface, kCheckAuthorization);
        ask.OpenContainer('r', "sa{sv}");
        ask.Append("system-bus-name");
        ask.OpenContainer('a', "{sv}");
        ask.OpenContainer('e', "sv");
        ask.Append("name");
        ask.OpenContainer('v', "s");
        ask.Append(call.Sender());
        ask.CloseContainer().CloseContainer().CloseContainer().CloseContainer();
        ask.Append(pszAction);
        ask.OpenContainer('a', "{ss}").CloseContainer();
        ask.Append(nFlags);
        const std::string strCancelId = "kettrin-" + std::to_string(++m_nNextCancelId);
        ask.Append(strCancelId);
        m_dispatcher.CallWithReply(ask, m_timeout, [this, pAlive, strMethod, strUid, pszAction, strCancelId,
                                                    fnDone](mcBusMessage& reply) {
            if (pAlive.expired()) return;
            if (reply.IsError()) {
                mfCMLog(strMethod + ": polkit did not decide on " + pszAction + ": " + PrvErrorText(reply));
                // Given up waiting: the authority need not ask the user any more.
                if (reply.ErrorName() == kErrNoReply) PrvCancel(strCancelId);
                PrvRefuse(strMethod, strUid, fnDone);
                return;
            }
            bool bAuthorized = false;
            try {
                bAuthorized = reply.EnterContainer('r', "bba{ss}") && reply.ReadBool();
            } catch (const mcExc& exc) {
                mfCMLog(strMethod + ": polkit answered " + pszAction + " unreadably: " + exc.Description());
                PrvRefuse(strMethod, strUid, fnDone);
                return;
            }
            if (!bAuthorized) {
                PrvRefuse(strMethod, strUid, fnDone);
                return;
            }
            fnDone(true);
        });
    } catch (const mcExc& exc) {
        mfCMLog(strMethod + ": " + exc.Description());
        (void)m_dispatcher.Post([strMethod, strUid, fnDone] { PrvRefuse(strMethod, strUid, fnDone); });
    }
}

void mcCallerAuthorizer::PrvCancel(const std::string& strCancelId) {
    try {
        mcBusMessage cancel = m_dispatcher.Connection().NewMethodCall(kAuthorityName, kAuthorityPath,
                                                                      kAuthorityInterface, kCancelCheckAuthorization);
        cancel.Append(strCancelId);
        if (sd_bus_message_set_expect_reply(cancel.Get(), 0) < 0) return;
        m_dispatcher.Connection().Send(cancel);
    } catch (const mcExc& exc) {
        mfCMLog("CancelCheckAuthorization: " + exc.Description());
    }
}
