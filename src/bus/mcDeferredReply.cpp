#include "bus/mcDeferredReply.h"

#include "bus/mcBusDispatcher.h"
#include "bus/mcBusExc.h"

mcDeferredReply::mcDeferredReply(mcBusDispatcher& dispatcher, mcBusMessage call, std::weak_ptr<void> pAlive)
    : m_dispatcher(dispatcher), m_call(std::move(call)), m_pAlive(std::move(pAlive)) {
    m_bAnswered = !m_call.ExpectsReply();
}

mcDeferredReply::~mcDeferredReply() {
    if (m_bAnswered || m_pAlive.expired()) return;
    try {
        SendError(mcBusDispatcher::kErrFailed, kDroppedText);
    } catch (...) {
        // Dropped off the owner thread: nothing can be sent from here.
    }
}

mcBusMessage mcDeferredReply::NewReturn() const { return m_call.NewMethodReturn(); }

void mcDeferredReply::Send(mcBusMessage& reply) {
    m_dispatcher.PrvCheckOwner("mcDeferredReply::Send");
    if (m_bAnswered) return;
    m_bAnswered = true;
    if (m_pAlive.expired()) return;
    m_dispatcher.PrvSendReply(m_call, reply);
}

void mcDeferredReply::SendError(const std::string& strName, const std::string& strText) {
    m_dispatcher.PrvCheckOwner("mcDeferredReply::SendError");
    if (m_bAnswered) return;
    mcBusMessage error;
    try {
        error = m_call.NewError(strName, strText);
    } catch (...) {
        error = m_call.NewError(mcBusDispatcher::kErrFailed, kDroppedText);
    }
    Send(error);
}
