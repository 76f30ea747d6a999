#include "service/mcHiddenWindow.h"

#include "contract/ComponentMgrIfc.h"
#include "bus/mcBusDispatcher.h"
#include "base/mcCMLog.h"

mcHiddenWindow::mcHiddenWindow(mcBusDispatcher& dispatcher, std::function<void()> fnOnClose)
    : m_dispatcher(dispatcher), m_fnOnClose(std::move(fnOnClose)) {
    m_dispatcher.AddObject(cmifc::kWindowPath, cmifc::IntrospectInterfaces({cmifc::kIfaceWindow}));
    m_dispatcher.AddProperty(cmifc::kWindowPath, cmifc::kIfaceWindow, cmifc::kWindowTitleProperty,
                             "s", [](mcBusMessage& reply) { reply.Append(cmifc::kWindowTitle); });
    try {
        m_dispatcher.AddMethod(cmifc::kWindowPath, cmifc::kIfaceWindow, cmifc::kWindowCloseMethod,
                               "", [this](mcBusMessage&) {
                                   mfCMLog(kLogCloseReceived);
                                   if (m_fnOnClose) m_fnOnClose();
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
