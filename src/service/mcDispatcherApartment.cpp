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

std::vector<HRESULT> mcDispatcherApartment::CallClients(const std::vector<mcClientCallback>& vecTargets,
                                                       const std::string& strInterface, const std::string& strMember,
                                                       const std::string& strArgument,
                                                       std::chrono::milliseconds timeout) {
    std::vector<HRESULT> vecResults(vecTargets.size(), cmifc::RPC_E_DISCONNECTED);
    std::vector<mcBusMessage> vecCalls;
    std::vector<std::size_t> vecIndex;  // target of each call made
    for (std::size_t i = 0; i < vecTargets.size(); ++i) {
        try {
            mcBusMessage call = m_dispatcher.Connection().NewMethodCall(
                vecTargets[i].strBusName, vecTargets[i].strObjectPath, strInterface, strMember);
            call.Append(strArgument);
            vecCalls.push_back(std::move(call));
            vecIndex.push_back(i);
        } catch (const mcExc&) {
            vecResults[i] = cmifc::RPC_E_INVALID_DATA;
        }
    }
    std::vector<mcBusMessage> vecReplies;
    try {
        vecReplies = m_dispatcher.CallAllAsync(vecCalls, timeout);
    } catch (const mcBusExc&) {
        return vecResults;  // the dispatcher is leaving: nobody answered
    }
    for (std::size_t n = 0; n < vecReplies.size(); ++n) {
        mcBusMessage& reply = vecReplies[n];
        HRESULT& hr = vecResults[vecIndex[n]];
        try {
            if (reply.GetType() == mcBusMessage::Type::Null) {
                hr = cmifc::RPC_E_DISCONNECTED;
            } else if (reply.IsError()) {
                hr = cmifc::HResultFromBusError(reply.ErrorName());
            } else {
                // A client that answers without an HRESULT has accepted the call.
                hr = reply.Signature().empty() ? S_OK : reply.ReadInt32();
            }
        } catch (const mcExc&) {
            hr = cmifc::RPC_E_INVALID_DATA;
        }
    }
    return vecResults;
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
