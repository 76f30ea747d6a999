#include "service/mcDispatcherApartment.h"

#include "bus/mcBusDispatcher.h"
#include "bus/mcBusExc.h"
#include "contract/ComponentMgrIfc.h"
#include "base/mcCMLog.h"
#include "service/mcHiddenWindow.h"

#include <systemd/sd-bus.h>

bool mcDispatcherApartment::Post(Task task) { return m_dispatcher.Post(std::move(task)); }

void mcDispatcherApartment::RunOnMain(const Task& task) {
    m_dispatcher.Invoke([&task] { task(); });
}

bool mcDispatcherApartment::PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    return m_dispatcher.PumpUntil(pred, timeout);
}

void mcDispatcherApartment::Stop() { m_dispatcher.Stop(); }

bool mcDispatcherApartment::IsStopped() const { return m_dispatcher.IsStopped(); }

HRESULT mcDispatcherApartment::CallClient(const mcClientCallback& target, const std::string& strInterface,
                                          const std::string& strMember, const std::string& strArgument,
                                          std::chrono::milliseconds timeout) {
    try {
        mcBusMessage call =
            m_dispatcher.Connection().NewMethodCall(target.strBusName, target.strObjectPath, strInterface, strMember);
        call.Append(strArgument);
        mcBusMessage reply = m_dispatcher.CallAsync(call, timeout);
        // A client that answers without an HRESULT has accepted the call.
        if (reply.Signature().empty()) return S_OK;
        return reply.ReadInt32();
    } catch (const mcBusExc& exc) {
        if (!exc.ErrorName().empty()) return cmifc::HResultFromBusError(exc.ErrorName());
        return cmifc::RPC_E_DISCONNECTED;
    } catch (const mcExc&) {
        return cmifc::RPC_E_INVALID_DATA;
    }
}

void mcDispatcherApartment::SendToClient(const mcClientCallback& target, const std::string& strInterface,
                                         const std::string& strMember, const std::string& strArgument) {
    try {
        mcBusMessage call =
            m_dispatcher.Connection().NewMethodCall(target.strBusName, target.strObjectPath, strInterface, strMember);
        // Nobody waits for the answer, and a unique name is never activated.
        if (sd_bus_message_set_expect_reply(call.Get(), 0) < 0 || sd_bus_message_set_auto_start(call.Get(), 0) < 0) {
            mfCMLog("mcDispatcherApartment::SendToClient failed : " + strMember + " " + target.strBusName + " " +
                    target.strObjectPath);
            return;
        }
        call.Append(strArgument);
        m_dispatcher.Connection().Send(call);
    } catch (const mcExc& exc) {
        mfCMLog("mcDispatcherApartment::SendToClient failed : " + strMember + " " + target.strBusName + " " +
                target.strObjectPath);
        mfCMLog(exc.Description());
    }
}

void mcDispatcherApartment::SendCompletionToClient(const mcClientCallback& target, const std::string& strMember,
                                                   const std::string& strComponent, bool bSuccess,
                                                   const std::string& strText) {
    try {
        mcBusMessage call = m_dispatcher.Connection().NewMethodCall(target.strBusName, target.strObjectPath,
                                                                    cmifc::kIfaceCallback, strMember);
        if (sd_bus_message_set_expect_reply(call.Get(), 0) < 0 || sd_bus_message_set_auto_start(call.Get(), 0) < 0) {
            mfCMLog("mcDispatcherApartment::SendToClient failed : " + strMember + " " + target.strBusName + " " +
                    target.strObjectPath);
            return;
        }
        call.Append(strComponent).Append(bSuccess).Append(strText);
        m_dispatcher.Connection().Send(call);
    } catch (const mcExc& exc) {
        mfCMLog("mcDispatcherApartment::SendToClient failed : " + strMember + " " + target.strBusName + " " +
                target.strObjectPath);
        mfCMLog(exc.Description());
    }
}

bool mcDispatcherApartment::WaitForProcess(pid_t pid) {
    try {
        return m_dispatcher.WaitForProcess(pid).has_value();
    } catch (const mcBusExc& exc) {
        mfCMLog("mcDispatcherApartment::WaitForProcess failed : " + exc.Description());
        return false;
    }
}

std::shared_ptr<void> mcDispatcherApartment::AddWindow(std::function<void()> fnOnClose) {
    return std::make_shared<mcHiddenWindow>(m_dispatcher, m_authorizer, std::move(fnOnClose));
}
