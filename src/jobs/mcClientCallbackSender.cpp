#include "jobs/mcClientCallbackSender.h"

#include <systemd/sd-bus.h>

#include <utility>

#include "base/mcCMLog.h"
#include "base/mcExc.h"
#include "bus/mcBusConnection.h"
#include "bus/mcBusExc.h"
#include "bus/mcBusMessage.h"
#include "contract/ComponentMgrIfc.h"
#include "jobs/mcWorkerBusConnection.h"

namespace {
constexpr const char* kOnDownloadProgress = "OnDownloadProgress";
constexpr const char* kOnDownloadFailed = "OnDownloadFailed";
constexpr const char* kOnDownloadComplete = "OnDownloadComplete";
constexpr const char* kOnInstallComplete = "OnInstallComplete";
constexpr const char* kOnUninstallComplete = "OnUninstallComplete";
constexpr const char* kFlush = "Flush";
constexpr const char* kConnect = "Connect";
constexpr const char* kProcess = "Process";
constexpr int kMaxPushSteps = 16;
}  // namespace

mcClientCallbackSender::mcClientCallbackSender(mcBusConnection* pConnection, mcClientCallback callback)
    : m_pConnection(callback.IsEmpty() ? nullptr : pConnection), m_callback(std::move(callback)) {}

mcClientCallbackSender mcClientCallbackSender::ForWorkerThread(const mcClientCallback& callback) {
    if (callback.IsEmpty()) return mcClientCallbackSender(nullptr, callback);
    mcClientCallbackSender sender(mcWorkerBusConnection::Get(), callback);
    if (sender.m_pConnection != nullptr) {
        // A connection that has not finished its greeting only queues what is
        // sent; waiting here involves the bus alone, never the client.
        try {
            (void)sender.m_pConnection->UniqueName();
        } catch (const mcExc& exc) {
            sender.PrvFailed(kConnect, exc.Description());
        }
    }
    return sender;
}

void mcClientCallbackSender::PrvPushOut() {
    // Writes what the socket could not take at once, without waiting; the
    // connection has no handlers, so anything that arrives is dropped.
    mcBusMessage unhandled;
    for (int i = 0; i < kMaxPushSteps && m_pConnection != nullptr; ++i) {
        const int r = m_pConnection->Process(unhandled);
        if (r < 0) PrvFailed(kProcess, mcBusExc::ErrnoText("sd_bus_process", r));
        if (r <= 0) break;
    }
}

template <class Fill>
void mcClientCallbackSender::PrvSend(const char* pszMember, Fill fill) {
    if (m_pConnection == nullptr) return;
    try {
        mcBusMessage call = m_pConnection->NewMethodCall(m_callback.strBusName, m_callback.strObjectPath,
                                                         cmifc::kIfaceCallback, pszMember);
        // Nobody waits for the answer, and a unique name is never activated.
        const int r1 = sd_bus_message_set_expect_reply(call.Get(), 0);
        const int r2 = sd_bus_message_set_auto_start(call.Get(), 0);
        if (r1 < 0 || r2 < 0) {
            PrvFailed(pszMember, "sd_bus_message_set_expect_reply failed");
            return;
        }
        fill(call);
        m_pConnection->Send(call);
        PrvPushOut();
    } catch (const mcExc& exc) {
        PrvFailed(pszMember, exc.Description());
    }
}

void mcClientCallbackSender::PrvFailed(const char* pszMember, const std::string& strError) {
    m_pConnection = nullptr;
    mfCMLog(std::string(kLogFailed) + pszMember + kLogFailedSuffix + m_callback.strBusName + " " +
            m_callback.strObjectPath);
    mfCMLog(strError);
}

void mcClientCallbackSender::OnDownloadProgress(const std::string& strComponent, std::int32_t nPercent) {
    PrvSend(kOnDownloadProgress, [&](mcBusMessage& call) { call.Append(strComponent).Append(nPercent); });
}

void mcClientCallbackSender::OnDownloadFailed(const std::string& strComponent, std::int32_t nError,
                                              const std::string& strText) {
    PrvSend(kOnDownloadFailed,
            [&](mcBusMessage& call) { call.Append(strComponent).Append(nError).Append(strText); });
}

void mcClientCallbackSender::OnDownloadComplete(const std::string& strComponent) {
    PrvSend(kOnDownloadComplete, [&](mcBusMessage& call) { call.Append(strComponent); });
}

void mcClientCallbackSender::OnInstallComplete(const std::string& strComponent, bool bSuccess,
                                               const std::string& strText) {
    PrvSend(kOnInstallComplete, [&](mcBusMessage& call) { call.Append(strComponent).Append(bSuccess).Append(strText); });
}

void mcClientCallbackSender::OnUninstallComplete(const std::string& strComponent, bool bSuccess,
                                                 const std::string& strText) {
    PrvSend(kOnUninstallComplete,
            [&](mcBusMessage& call) { call.Append(strComponent).Append(bSuccess).Append(strText); });
}

void mcClientCallbackSender::Flush() {
    if (m_pConnection == nullptr) return;
    try {
        m_pConnection->Flush();
    } catch (const mcExc& exc) {
        PrvFailed(kFlush, exc.Description());
    }
}
