#include "tools/Kettrinrm/mcServerWindowProbe.h"

#include <systemd/sd-bus.h>

#include "bus/BusAddress.h"
#include "bus/mcBusDispatcher.h"
#include "bus/mcBusExc.h"
#include "contract/ComponentMgrIfc.h"

namespace {

bool PrvIsTimeout(const mcBusExc& exc) {
    return exc.ErrorName() == "org.freedesktop.DBus.Error.Timeout" ||
           exc.ErrorName() == "org.freedesktop.DBus.Error.NoReply";
}

}  // namespace

mcServerWindowProbe::mcServerWindowProbe(std::string strAddress) : m_strAddress(std::move(strAddress)) {}

bool mcServerWindowProbe::PrvConnect() {
    if (m_connection && m_connection->IsOpen()) return true;
    m_connection.reset();
    try {
        const std::string strAddress =
            m_strAddress.empty() ? mfResolveBusAddress(mcBusRole::Client, false) : m_strAddress;
        m_connection.emplace(mcBusConnection::OpenAddress(strAddress));
        return true;
    } catch (const mcExc&) {
        return false;
    }
}

bool mcServerWindowProbe::WindowExists() {
    if (!PrvConnect()) return false;
    try {
        if (!m_connection->NameHasOwner(cmifc::kBusName)) return false;
        mcBusMessage call = m_connection->NewMethodCall(cmifc::kBusName, cmifc::kWindowPath,
                                                        mcBusDispatcher::kIfaceProperties, "Get");
        sd_bus_message_set_auto_start(call.Get(), 0);
        call.Append(cmifc::kIfaceWindow).Append(cmifc::kWindowTitleProperty);
        mcBusMessage reply = m_connection->CallMethod(call, kAnswerTimeout);
        if (!reply.EnterContainer('v', "s")) return false;
        const std::string strTitle = reply.ReadString();
        reply.ExitContainer();
        return strTitle == cmifc::kWindowTitle;
    } catch (const mcBusExc& exc) {
        if (PrvIsTimeout(exc)) return true;
        // The owner left between the questions, or is not the server.
        if (!exc.ErrorName().empty()) return false;
        m_connection.reset();
        return false;
    } catch (const mcExc&) {
        return false;
    }
}
