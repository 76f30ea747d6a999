#include "service/mcHiddenWindow.h"

#include "contract/ComponentMgrIfc.h"
#include "bus/mcBusDispatcher.h"
#include "base/mcCMLog.h"
#include "contract/ComponentMgrAccess.h"
#include "service/mcCallerAuthorizer.h"

mcHiddenWindow::mcHiddenWindow(mcBusDispatcher& dispatcher, mcCallerAuthorizer& authorizer,
                               std::function<void()> fnOnClose)
    : m_dispatcher(dispatcher), m_authorizer(authorizer), m_fnOnClose(std::move(fnOnClose)) {
    m_dispatcher.AddObject(cmifc::kWindowPath, cmifc::IntrospectInterfaces({cmifc::kIfaceWindow}));
    m_dispatcher.AddProperty(cmifc::kWindowPath, cmifc::kIfaceWindow, cmifc::kWindowTitleProperty,
                             "s", [](mcBusMessage& reply) { reply.Append(cmifc::kWindowTitle); });
    try {
        m_dispatcher.AddMethod(cmifc::kWindowPath, cmifc::kIfaceWindow, cmifc::kWindowCloseMethod,
                               "", [this](mcBusMessage& call) {
                                   const cmifc::msMethodAccess* pEntry =
                                       cmifc::FindMethodAccess(cmifc::kIfaceWindow, cmifc::kWindowCloseMethod);
                                   std::shared_ptr<mcDeferredReply> pReply = m_dispatcher.DeferReply(call);
                                   std::weak_ptr<int> pAlive = m_pAlive;
                                   m_authorizer.Authorize(
                                       call, cmifc::kWindowCloseMethod,
                                       pEntry ? pEntry->access : cmifc::meAccess::ServiceUid,
                                       [this, pAlive, pReply](bool bAllowed) {
                                           if (!bAllowed) {
                                               pReply->SendError(kErrAccessDenied, "permission denied");
                                               return;
                                           }
                                           if (!pAlive.expired()) {
                                               mfCMLog(kLogCloseReceived);
                                               if (m_fnOnClose) m_fnOnClose();
                                           }
                                           mcBusMessage reply = pReply->NewReturn();
                                           pReply->Send(reply);
                                       });
                                   return mcBusMessage();
                               });
    } catch (...) {
        m_dispatcher.RemoveObject(cmifc::kWindowPath);
        throw;
    }
}

mcHiddenWindow::~mcHiddenWindow() {
    try {
        m_dispatcher.RemoveObject(cmifc::kWindowPath);
    } catch (...) {
        // Only a wrong thread throws here; the registration then stays.
    }
}
