#include "jobs/mcWorkerBusConnection.h"

#include <memory>
#include <optional>

#include "bus/mcBusConnection.h"
#include "base/mcCMLog.h"
#include "base/mcExc.h"

namespace {

struct PrvThreadBus {
    std::string strAddress;
    bool bAttached = false;
    bool bFailureLogged = false;
    std::optional<mcBusConnection> connection;
};

thread_local PrvThreadBus t_bus;

constexpr const char* kLogOpenFailed = "mcWorkerBusConnection: cannot connect to the bus ";

bool PrvOpen() {
    try {
        t_bus.connection.emplace(mcBusConnection::OpenAddress(t_bus.strAddress));
        t_bus.bFailureLogged = false;
        return true;
    } catch (const mcExc& exc) {
        t_bus.connection.reset();
        if (!t_bus.bFailureLogged) {
            t_bus.bFailureLogged = true;
            mfCMLog(kLogOpenFailed + t_bus.strAddress);
            mfCMLog(exc.Description());
        }
        return false;
    }
}

}  // namespace

bool mcWorkerBusConnection::Attach(const std::string& strAddress) {
    Detach();
    t_bus.strAddress = strAddress;
    t_bus.bAttached = true;
    t_bus.bFailureLogged = false;
    return PrvOpen();
}

void mcWorkerBusConnection::Detach() {
    t_bus.connection.reset();
    t_bus.strAddress.clear();
    t_bus.bAttached = false;
}

mcBusConnection* mcWorkerBusConnection::Get() {
    if (!t_bus.bAttached) return nullptr;
    if (t_bus.connection && t_bus.connection->IsOpen()) return &*t_bus.connection;
    return PrvOpen() ? &*t_bus.connection : nullptr;
}

bool mcWorkerBusConnection::IsAttached() { return t_bus.bAttached; }
