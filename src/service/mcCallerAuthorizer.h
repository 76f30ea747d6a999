#pragma once
// Decides whether the sender of a method call may have it served, by the
// method's access class (contract/ComponentMgrAccess.h). The caller's user id
// comes from the bus (GetConnectionUnixUser of the sender's unique name),
// never from arguments; callers with the service's own user id are allowed
// everything. Operations and client registration ask the polkit authority
// (org.freedesktop.PolicyKit1.Authority.CheckAuthorization) with the
// subject ("system-bus-name", {"name": <sender>}), honouring the caller's
// "allow interactive authorization" flag.
//
// Nothing here waits: the questions go out on the dispatcher's connection and
// their answers come back through the loop, so every other call is served
// meanwhile. The authority must serve the bus the service serves (a bus name
// is only meaningful there); when it does not, or it cannot be reached,
// answers with an error or not in time, the call is refused (fail closed)
// and the reason is logged; a question given up on is cancelled at the
// authority (CancelCheckAuthorization), so that it stops asking the user. Every refusal logs
// "<Method>: access denied for uid <uid>" ("unknown" when the bus could not
// tell the user).
//
// Threads: the dispatcher's owner thread only. The dispatcher must outlive
// the object; verdicts still outstanding when it goes are dropped unrun.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "contract/ComponentMgrAccess.h"

class mcBusDispatcher;
class mcBusMessage;

class mcCallerAuthorizer {
public:
    static constexpr const char* kAuthorityName = "org.freedesktop.PolicyKit1";
    static constexpr const char* kAuthorityPath = "/org/freedesktop/PolicyKit1/Authority";
    static constexpr const char* kAuthorityInterface = "org.freedesktop.PolicyKit1.Authority";
    static constexpr const char* kCheckAuthorization = "CheckAuthorization";
    // Sent when the wait for CheckAuthorization has run out.
    static constexpr const char* kCancelCheckAuthorization = "CancelCheckAuthorization";
    static constexpr const char* kErrNoReply = "org.freedesktop.DBus.Error.NoReply";
    // CheckAuthorization's flag: the authority may ask the user.
    static constexpr std::uint32_t kAllowUserInteraction = 1;
    static constexpr const char* kLogDenied = ": access denied for uid ";

    // bAuthorityOnBus: the authority serves the dispatcher's bus; when false
    // every question for it is refused. timeout: the longest wait for the
    // authority (zero: the connection's default).
    mcCallerAuthorizer(mcBusDispatcher& dispatcher, uid_t nServiceUid, bool bAuthorityOnBus,
                       std::chrono::milliseconds timeout);
    ~mcCallerAuthorizer();
    mcCallerAuthorizer(const mcCallerAuthorizer&) = delete;
    mcCallerAuthorizer& operator=(const mcCallerAuthorizer&) = delete;

    // true: may be served.
    using Verdict = std::function<void(bool bAllowed)>;
    // Decides for call (a method call received on the dispatcher's
    // connection) served as strMethod. fnDone runs exactly once: at once for
    // meAccess::Anyone, otherwise from a later turn of the loop (never
    // inside this call). Never throws; a question that cannot be sent
    // refuses.
    void Authorize(const mcBusMessage& call, const std::string& strMethod, cmifc::meAccess access,
                   Verdict fnDone);

    uid_t ServiceUid() const { return m_nServiceUid; }

private:
    void PrvDecide(const mcBusMessage& call, const std::string& strMethod, cmifc::meAccess access,
                   std::uint32_t nUid, const Verdict& fnDone);
    void PrvAskAuthority(const mcBusMessage& call, const std::string& strMethod,
                         cmifc::meAccess access, std::uint32_t nUid, const Verdict& fnDone);
    void PrvCancel(const std::string& strCancelId);
    static void PrvRefuse(const std::string& strMethod, const std::string& strUid, const Verdict& fnDone);

    mcBusDispatcher& m_dispatcher;
    const uid_t m_nServiceUid;
    const bool m_bAuthorityOnBus;
    const std::chrono::milliseconds m_timeout;
    // Cancellation ids of the questions ("kettrin-<n>").
    std::uint64_t m_nNextCancelId = 0;
    // Expires with the object; answers arriving later are dropped.
    std::shared_ptr<int> m_pAlive = std::make_shared<int>(0);
};
