#include "bus/mcBusDispatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>

#include "bus/mcBusExc.h"

namespace {

constexpr const char* kLocalInterface = "org.freedesktop.DBus.Local";
constexpr const char* kLocalDisconnected = "Disconnected";

constexpr const char* kIntrospectHeader =
    "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n";

constexpr const char* kStandardInterfacesXml =
    " <interface name=\"org.freedesktop.DBus.Peer\">\n"
    "  <method name=\"Ping\"/>\n"
    "  <method name=\"GetMachineId\">\n"
    "   <arg type=\"s\" name=\"machine_uuid\" direction=\"out\"/>\n"
    "  </method>\n"
    " </interface>\n"
    " <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "  <method name=\"Introspect\">\n"
    "   <arg name=\"xml_data\" type=\"s\" direction=\"out\"/>\n"
    "  </method>\n"
    " </interface>\n";

constexpr const char* kPropertiesInterfaceXml =
    " <interface name=\"org.freedesktop.DBus.Properties\">\n"
    "  <method name=\"Get\">\n"
    "   <arg name=\"interface_name\" direction=\"in\" type=\"s\"/>\n"
    "   <arg name=\"property_name\" direction=\"in\" type=\"s\"/>\n"
    "   <arg name=\"value\" direction=\"out\" type=\"v\"/>\n"
    "  </method>\n"
    "  <method name=\"GetAll\">\n"
    "   <arg name=\"interface_name\" direction=\"in\" type=\"s\"/>\n"
    "   <arg name=\"props\" direction=\"out\" type=\"a{sv}\"/>\n"
    "  </method>\n"
    "  <method name=\"Set\">\n"
    "   <arg name=\"interface_name\" direction=\"in\" type=\"s\"/>\n"
    "   <arg name=\"property_name\" direction=\"in\" type=\"s\"/>\n"
    "   <arg name=\"value\" direction=\"in\" type=\"v\"/>\n"
    "  </method>\n"
    " </interface>\n";

constexpr const char* kNameOwnerChangedRule =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged'";

// Reply slot of one CallAsync; filled by sd-bus, read by the waiting pump.
struct PrvAsyncState {
    bool bDone = false;
    mcBusMessage reply;
};

int PrvOnAsyncReply(sd_bus_message* pMessage, void* pUserData, sd_bus_error*) {
    // Runs inside sd_bus_process: record and return, never pump.
    auto* pState = static_cast<PrvAsyncState*>(pUserData);
    pState->reply = mcBusMessage::Ref(pMessage);
    pState->bDone = true;
    return 1;
}

// One CallWithReply in flight; owned by its floating slot.
struct PrvPendingCall {
    mcBusDispatcher* pDispatcher = nullptr;
    std::weak_ptr<void> pAlive;
    std::shared_ptr<mcBusDispatcher::ReplyHandler> pHandler;
};

int PrvOnPendingReply(sd_bus_message* pMessage, void* pUserData, sd_bus_error*) {
    // Runs inside sd_bus_process: hand the reply to the loop and return.
    auto* pCall = static_cast<PrvPendingCall*>(pUserData);
    if (pCall->pAlive.expired()) return 1;
    auto pHandler = pCall->pHandler;
    mcBusMessage reply = mcBusMessage::Ref(pMessage);
    (void)pCall->pDispatcher->Post([pHandler, reply]() mutable { (*pHandler)(reply); });
    return 1;
}

void PrvFreePendingCall(void* pUserData) { delete static_cast<PrvPendingCall*>(pUserData); }

struct PrvSlotGuard {
    sd_bus_slot* pSlot = nullptr;
    ~PrvSlotGuard() { sd_bus_slot_unref(pSlot); }
};

std::uint64_t PrvMonotonicUsec() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

bool PrvFdReadable(int fd) {
    pollfd pfd{fd, POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

std::string PrvDescribe(std::exception_ptr pExc) {
    try {
        std::rethrow_exception(pExc);
    } catch (const mcExc& exc) {
        return exc.Description();
    } catch (const std::exception& exc) {
        return exc.what();
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace

mcBusDispatcher::mcBusDispatcher(mcBusConnection& connection)
    : m_connection(connection), m_idOwner(std::this_thread::get_id()) {
    m_fdWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_fdWake < 0) {
        const int nErr = errno;
        KTHROW(mcBusExc, "mcBusDispatcher::mcBusDispatcher", mcBusExc::ErrnoText("eventfd", -nErr),
               std::string(), nErr);
    }
}

mcBusDispatcher::~mcBusDispatcher() {
    m_pAlive.reset();
    Stop();
    for (auto& [id, watch] : m_mapSignalWatches) m_connection.RemoveMatch(watch.nMatchId);
    for (auto& [id, timer] : m_mapTimers) PrvCloseTimer(timer);
    ::close(m_fdWake);
}

// ---------------------------------------------------------------- objects

void mcBusDispatcher::AddObject(const std::string& strPath, const std::string& strIntrospectXml) {
    PrvCheckOwner("mcBusDispatcher::AddObject");
    if (sd_bus_object_path_is_valid(strPath.c_str()) <= 0) {
        KTHROW(mcBusExc, "mcBusDispatcher::AddObject", "invalid object path \"" + strPath + "\"",
               std::string(), EINVAL);
    }
    m_mapObjects[strPath].strIntrospectXml = strIntrospectXml;
}

void mcBusDispatcher::AddMethod(const std::string& strPath, const std::string& strInterface,
                                const std::string& strMember, const std::string& strInSignature,
                                MethodHandler handler) {
    PrvCheckOwner("mcBusDispatcher::AddMethod");
    if (sd_bus_object_path_is_valid(strPath.c_str()) <= 0 ||
        sd_bus_interface_name_is_valid(strInterface.c_str()) <= 0 ||
        sd_bus_member_name_is_valid(strMember.c_str()) <= 0 || !handler) {
        KTHROW(mcBusExc, "mcBusDispatcher::AddMethod",
               "invalid method " + strPath + " " + strInterface + "." + strMember, std::string(),
               EINVAL);
    }
    m_mapObjects.try_emplace(strPath);
    m_mapMethods[{strPath, strInterface, strMember}] =
        PrvMethod{strInSignature, std::make_shared<MethodHandler>(std::move(handler))};
}

void mcBusDispatcher::AddProperty(const std::string& strPath, const std::string& strInterface,
                                  const std::string& strName, const std::string& strSignature,
                                  PropertyGetter getter) {
    PrvCheckOwner("mcBusDispatcher::AddProperty");
    if (sd_bus_object_path_is_valid(strPath.c_str()) <= 0 ||
        sd_bus_interface_name_is_valid(strInterface.c_str()) <= 0 ||
        sd_bus_member_name_is_valid(strName.c_str()) <= 0 || strSignature.empty() || !getter) {
        KTHROW(mcBusExc, "mcBusDispatcher::AddProperty",
               "invalid property " + strPath + " " + strInterface + "." + strName, std::string(),
               EINVAL);
    }
    m_mapObjects[strPath].mapProperties[strInterface][strName] =
        PrvProperty{strSignature, std::make_shared<PropertyGetter>(std::move(getter))};
}

void mcBusDispatcher::RemoveObject(const std::string& strPath) {
    PrvCheckOwner("mcBusDispatcher::RemoveObject");
    m_mapObjects.erase(strPath);
    for (auto it = m_mapMethods.begin(); it != m_mapMethods.end();) {
        it = std::get<0>(it->first) == strPath ? m_mapMethods.erase(it) : std::next(it);
    }
}

void mcBusDispatcher::SetExceptionHook(ExceptionHook hook) {
    PrvCheckOwner("mcBusDispatcher::SetExceptionHook");
    m_hook = std::move(hook);
}

// ---------------------------------------------------------------- the loop

void mcBusDispatcher::Run() {
    PrvCheckOwner("mcBusDispatcher::Run");
    PumpUntil([] { return false; }, kInfinite);
    m_bQuit = false;
}

void mcBusDispatcher::Quit() {
    m_bQuit = true;
    Wake();
}

bool mcBusDispatcher::ConsumeQuit() {
    PrvCheckOwner("mcBusDispatcher::ConsumeQuit");
    return m_bQuit.exchange(false);
}

void mcBusDispatcher::Stop() {
    std::deque<PrvQueuedTask> queDropped;
    {
        std::lock_guard<std::mutex> lock(m_mutexTasks);
        if (m_bStopped) return;
        m_bStopped = true;
        queDropped.swap(m_queTasks);
    }
    for (PrvQueuedTask& task : queDropped) {
        if (task.cancel) task.cancel();
    }
    Wake();
}

void mcBusDispatcher::Wake() {
    const std::uint64_t nOne = 1;
    // Only fails when the counter is about to overflow: it is readable then anyway.
    [[maybe_unused]] const ssize_t n = ::write(m_fdWake, &nOne, sizeof nOne);
}

void mcBusDispatcher::PrvCheckOwner(const char* pszFunction) const {
    if (!PrvIsOwnerThread()) {
        KTHROW(mcBusExc, pszFunction, "called on a thread that does not own the dispatcher",
               std::string(), EPERM);
    }
}

void mcBusDispatcher::PrvCheckDepth(const char* pszFunction) const {
    if (m_nDepth >= kMaxDepth) {
        KTHROW(mcBusExc, pszFunction,
               "cannot wait: " + std::to_string(kMaxDepth) + " nested waits are already active",
               kErrLimitsExceeded, ELOOP);
    }
}

bool mcBusDispatcher::PrvMustLeave() const { return m_bQuit || m_bStopped || m_bDisconnected; }

bool mcBusDispatcher::PumpUntil(const std::function<bool()>& pred,
                                std::chrono::milliseconds timeout) {
    PrvCheckOwner("mcBusDispatcher::PumpUntil");
    PrvCheckDepth("mcBusDispatcher::PumpUntil");
    struct DepthGuard {
        int& n;
        explicit DepthGuard(int& nDepth) : n(nDepth) { ++n; }
        ~DepthGuard() { --n; }
    } depthGuard(m_nDepth);

    const bool bHasDeadline = timeout.count() >= 0;
    const auto tpDeadline = bHasDeadline ? std::chrono::steady_clock::now() + timeout
                                         : std::chrono::steady_clock::time_point::max();
    for (;;) {
        if (pred && pred()) return true;
        if (PrvMustLeave()) return false;
        if (bHasDeadline && std::chrono::steady_clock::now() >= tpDeadline) return false;
        if (PrvDoWork()) continue;
        PrvPoll(tpDeadline, bHasDeadline);
    }
}

// One round of ready work: one bus step, the signals it recorded, one posted
// task and one due timer. True when anything was done.
bool mcBusDispatcher::PrvDoWork() {
    bool bDid = false;

    if (!m_bDisconnected) {
        mcBusMessage message;
        const int r = m_connection.Process(message);
        if (r < 0) {
            m_bDisconnected = true;
            bDid = true;
        } else if (r > 0) {
            bDid = true;
            if (message) PrvDispatch(message);
        }
    }

    while (!m_queSignals.empty()) {
        auto [id, signal] = std::move(m_queSignals.front());
        m_queSignals.pop_front();
        bDid = true;
        auto it = m_mapSignalWatches.find(id);
        if (it == m_mapSignalWatches.end()) continue;
        std::shared_ptr<SignalHandler> pHandler = it->second.pHandler;
        try {
            signal.Rewind();
            (*pHandler)(signal);
        } catch (...) {
            PrvReport("<signal>", std::current_exception());
        }
    }

    PrvQueuedTask task;
    bool bHaveTask = false;
    {
        std::lock_guard<std::mutex> lock(m_mutexTasks);
        if (!m_queTasks.empty()) {
            task = std::move(m_queTasks.front());
            m_queTasks.pop_front();
            bHaveTask = true;
        }
    }
    if (bHaveTask) {
        bDid = true;
        try {
            task.run();
        } catch (...) {
            PrvReport("<task>", std::current_exception());
        }
    }

    if (!m_mapTimers.empty()) {
        const auto tpNow = std::chrono::steady_clock::now();
        auto itDue = m_mapTimers.end();
        for (auto it = m_mapTimers.begin(); it != m_mapTimers.end(); ++it) {
            if (it->second.tpDue <= tpNow &&
                (itDue == m_mapTimers.end() || it->second.tpDue < itDue->second.tpDue)) {
                itDue = it;
            }
        }
        if (itDue != m_mapTimers.end()) {
            bDid = true;
            Task callback = std::move(itDue->second.callback);
            PrvCloseTimer(itDue->second);
            m_mapTimers.erase(itDue);
            try {
                callback();
            } catch (...) {
                PrvReport("<timer>", std::current_exception());
            }
        }
    }
    return bDid;
}

void mcBusDispatcher::PrvPoll(std::chrono::steady_clock::time_point tpDeadline,
                              bool bHasDeadline) {
    std::vector<pollfd> vecFds;
    vecFds.reserve(2 + m_mapTimers.size() + m_setWatchFds.size());
    vecFds.push_back(pollfd{m_fdWake, POLLIN, 0});
    if (!m_bDisconnected) {
        const int fdBus = m_connection.GetFd();
        if (fdBus >= 0) {
            vecFds.push_back(pollfd{fdBus, static_cast<short>(m_connection.GetEvents()), 0});
        }
    }
    for (const auto& [id, timer] : m_mapTimers) vecFds.push_back(pollfd{timer.fd, POLLIN, 0});
    for (const int fd : m_setWatchFds) vecFds.push_back(pollfd{fd, POLLIN, 0});

    // Time-out in µs: the earlier of our deadline and sd-bus's; -1 for none.
    std::int64_t nWaitUsec = -1;
    if (bHasDeadline) {
        const auto remaining = std::chrono::duration_cast<std::chrono::microseconds>(
            tpDeadline - std::chrono::steady_clock::now());
        nWaitUsec = remaining.count() < 0 ? 0 : remaining.count();
    }
    if (!m_bDisconnected) {
        const std::uint64_t nBusUsec = m_connection.GetTimeoutUsec();
        if (nBusUsec != UINT64_MAX) {
            const std::uint64_t nNow = PrvMonotonicUsec();
            const auto nBusWait = static_cast<std::int64_t>(nBusUsec > nNow ? nBusUsec - nNow : 0);
            if (nWaitUsec < 0 || nBusWait < nWaitUsec) nWaitUsec = nBusWait;
        }
    }
    // Round up so that a wait does not end just before its time and spin.
    int nWaitMs = -1;
    if (nWaitUsec >= 0) {
        const std::int64_t nMs = (nWaitUsec + 999) / 1000;
        nWaitMs = nMs > INT32_MAX ? INT32_MAX : static_cast<int>(nMs);
    }

    const int r = ::poll(vecFds.data(), vecFds.size(), nWaitMs);
    if (r > 0 && (vecFds[0].revents & POLLIN)) {
        std::uint64_t nCount = 0;
        [[maybe_unused]] const ssize_t n = ::read(m_fdWake, &nCount, sizeof nCount);
    }
    // EINTR and other poll failures: the caller re-checks and polls again.
}

// ---------------------------------------------------------------- dispatch

void mcBusDispatcher::PrvDispatch(mcBusMessage& message) {
    switch (message.GetType()) {
        case mcBusMessage::Type::MethodCall:
            PrvDispatchCall(message);
            break;
        case mcBusMessage::Type::Signal:
            if (message.IsSignal(kLocalInterface, kLocalDisconnected)) m_bDisconnected = true;
            break;
        default:
            // Replies nobody waits for any more, errors for sends without reply.
            break;
    }
}

void mcBusDispatcher::PrvDispatchCall(mcBusMessage& call) {
    mcBusMessage reply;
    m_vecHandling.emplace_back(call.Get(), false);
    bool bDeferred = false;
    try {
        reply = PrvRoute(call);
        bDeferred = m_vecHandling.back().second;
        m_vecHandling.pop_back();
    } catch (...) {
        bDeferred = m_vecHandling.back().second;
        m_vecHandling.pop_back();
        const std::exception_ptr pExc = std::current_exception();
        PrvReport(call.Member(), pExc);
        if (bDeferred) return;  // the reply object answers
        try {
            reply = call.NewError(kErrFailed, PrvDescribe(pExc));
        } catch (...) {
            // The text itself could not travel (not UTF-8): say less.
            try {
                reply = call.NewError(kErrFailed, "the method " + call.Member() + " failed");
            } catch (...) {
                reply = mcBusMessage();
            }
        }
    }
    if (bDeferred) return;
    PrvSendReply(call, reply);
}

void mcBusDispatcher::PrvSendReply(const mcBusMessage& call, mcBusMessage& reply) {
    if (!call.ExpectsReply()) return;
    try {
        if (!reply) reply = call.NewMethodReturn();
        m_connection.Send(reply);
    } catch (const mcExc& exc) {
        // A reply the handler built that cannot be sent: the caller must not
        // wait for it until its time-out.
        try {
            mcBusMessage error = call.NewError(kErrFailed, exc.Description());
            m_connection.Send(error);
        } catch (...) {
            // The connection is gone; nobody is left to tell.
        }
    }
}

std::shared_ptr<mcDeferredReply> mcBusDispatcher::DeferReply(const mcBusMessage& call) {
    PrvCheckOwner("mcBusDispatcher::DeferReply");
    for (auto it = m_vecHandling.rbegin(); it != m_vecHandling.rend(); ++it) {
        if (it->first == call.Get() && call) {
            if (it->second) break;  // deferred already: one reply object per call
            it->second = true;
            return std::shared_ptr<mcDeferredReply>(
                new mcDeferredReply(*this, call, std::weak_ptr<void>(m_pAlive)));
        }
    }
    KTHROW(mcBusExc, "mcBusDispatcher::DeferReply", "the call is not being handled now", std::string(), EINVAL);
}

mcBusMessage mcBusDispatcher::PrvRoute(mcBusMessage& call) {
    const std::string strPath = call.Path();
    const std::string strInterface = call.Interface();
    const std::string strMember = call.Member();
    const bool bKnownPath = m_mapObjects.count(strPath) != 0;

    if (strInterface == kIfaceIntrospectable && strMember == "Introspect") {
        return PrvIntrospect(call, strPath);
    }
    if (strInterface == kIfaceProperties) {
        if (!bKnownPath) {
            return call.NewError(kErrUnknownObject, "Unknown object '" + strPath + "'.");
        }
        return PrvProperties(call, strPath);
    }

    auto itMethod = m_mapMethods.end();
    if (!strInterface.empty()) {
        itMethod = m_mapMethods.find({strPath, strInterface, strMember});
    } else {
        // No interface given: the member on any interface of the object.
        for (auto it = m_mapMethods.lower_bound({strPath, std::string(), std::string()});
             it != m_mapMethods.end() && std::get<0>(it->first) == strPath; ++it) {
            if (std::get<2>(it->first) == strMember) {
                itMethod = it;
                break;
            }
        }
    }
    if (itMethod == m_mapMethods.end()) {
        if (!bKnownPath && PrvChildNodes(strPath).empty()) {
            return call.NewError(kErrUnknownObject, "Unknown object '" + strPath + "'.");
        }
        return call.NewError(kErrUnknownMethod, "Unknown method '" + strMember +
                                                     "' or interface '" + strInterface + "'.");
    }
    const std::string strSignature = call.Signature();
    if (strSignature != itMethod->second.strSignature) {
        return call.NewError(kErrInvalidArgs,
                             "Invalid arguments '" + strSignature + "' to call " + strInterface +
                                 "." + strMember + "(), expecting '" +
                                 itMethod->second.strSignature + "'.");
    }
    // Keep the handler alive even if it removes its own object.
    std::shared_ptr<MethodHandler> pHandler = itMethod->second.pHandler;
    return (*pHandler)(call);
}

std::vector<std::string> mcBusDispatcher::PrvChildNodes(const std::string& strPath) const {
    const std::string strPrefix = strPath == "/" ? std::string("/") : strPath + "/";
    std::set<std::string> setChildren;
    for (auto it = m_mapObjects.lower_bound(strPrefix);
         it != m_mapObjects.end() && it->first.compare(0, strPrefix.size(), strPrefix) == 0;
         ++it) {
        const std::string strRest = it->first.substr(strPrefix.size());
        if (!strRest.empty()) setChildren.insert(strRest.substr(0, strRest.find('/')));
    }
    return {setChildren.begin(), setChildren.end()};
}

mcBusMessage mcBusDispatcher::PrvIntrospect(mcBusMessage& call, const std::string& strPath) {
    auto itObject = m_mapObjects.find(strPath);
    const std::vector<std::string> vecChildren = PrvChildNodes(strPath);
    if (itObject == m_mapObjects.end() && vecChildren.empty()) {
        return call.NewError(kErrUnknownObject, "Unknown object '" + strPath + "'.");
    }
    std::string strXml = kIntrospectHeader;
    strXml += "<node>\n";
    strXml += kStandardInterfacesXml;
    if (itObject != m_mapObjects.end()) {
        strXml += kPropertiesInterfaceXml;
        strXml += itObject->second.strIntrospectXml;
        if (!strXml.empty() && strXml.back() != '\n') strXml += '\n';
    }
    for (const std::string& strChild : vecChildren) strXml += " <node name=\"" + strChild + "\"/>\n";
    strXml += "</node>\n";
    mcBusMessage reply = call.NewMethodReturn();
    reply.Append(strXml);
    return reply;
}

mcBusMessage mcBusDispatcher::PrvProperties(mcBusMessage& call, const std::string& strPath) {
    const std::string strMember = call.Member();
    const std::string strSignature = call.Signature();
    const PrvObject& object = m_mapObjects.at(strPath);

    auto PrvFind = [&](const std::string& strInterface,
                       const std::string& strName) -> const PrvProperty* {
        auto itInterface = object.mapProperties.find(strInterface);
        if (itInterface == object.mapProperties.end()) return nullptr;
        auto itProperty = itInterface->second.find(strName);
        return itProperty == itInterface->second.end() ? nullptr : &itProperty->second;
    };

    if (strMember == "Get" && strSignature == "ss") {
        const std::string strInterface = call.ReadString();
        const std::string strName = call.ReadString();
        const PrvProperty* pProperty = PrvFind(strInterface, strName);
        if (!pProperty) {
            return call.NewError(kErrUnknownProperty,
                                 "Unknown property '" + strInterface + "." + strName + "'.");
        }
        std::shared_ptr<PropertyGetter> pGetter = pProperty->pGetter;
        mcBusMessage reply = call.NewMethodReturn();
        reply.OpenContainer('v', pProperty->strSignature);
        (*pGetter)(reply);
        reply.CloseContainer();
        return reply;
    }
    if (strMember == "GetAll" && strSignature == "s") {
        const std::string strInterface = call.ReadString();
        // Copy: a getter may change the registrations.
        std::map<std::string, PrvProperty> mapProperties;
        auto itInterface = object.mapProperties.find(strInterface);
        if (itInterface != object.mapProperties.end()) mapProperties = itInterface->second;
        mcBusMessage reply = call.NewMethodReturn();
        reply.OpenContainer('a', "{sv}");
        for (const auto& [strName, property] : mapProperties) {
            reply.OpenContainer('e', "sv");
            reply.Append(strName);
            reply.OpenContainer('v', property.strSignature);
            (*property.pGetter)(reply);
            reply.CloseContainer();
            reply.CloseContainer();
        }
        reply.CloseContainer();
        return reply;
    }
    if (strMember == "Set" && strSignature == "ssv") {
        const std::string strInterface = call.ReadString();
        const std::string strName = call.ReadString();
        if (PrvFind(strInterface, strName)) {
            return call.NewError(kErrPropertyReadOnly,
                                 "Property '" + strInterface + "." + strName + "' is read-only.");
        }
        return call.NewError(kErrUnknownProperty,
                             "Unknown property '" + strInterface + "." + strName + "'.");
    }
    if (strMember == "Get" || strMember == "GetAll" || strMember == "Set") {
        return call.NewError(kErrInvalidArgs, "Invalid arguments '" + strSignature + "' to call " +
                                                  std::string(kIfaceProperties) + "." + strMember +
                                                  "().");
    }
    return call.NewError(kErrUnknownMethod, "Unknown method '" + strMember + "' or interface '" +
                                                std::string(kIfaceProperties) + "'.");
}

void mcBusDispatcher::PrvReport(const std::string& strContext, std::exception_ptr pExc) noexcept {
    try {
        if (m_hook) {
            m_hook(strContext, pExc);
        } else {
            std::fprintf(stderr, "mcBusDispatcher: %s: %s\n", strContext.c_str(),
                         PrvDescribe(pExc).c_str());
        }
    } catch (...) {
        // The hook is the last stop; what it throws goes nowhere.
    }
}

// ---------------------------------------------------------------- calls out

void mcBusDispatcher::CallWithReply(mcBusMessage& call, std::chrono::milliseconds timeout,
                                    ReplyHandler handler) {
    PrvCheckOwner("mcBusDispatcher::CallWithReply");
    auto pCall = std::make_unique<PrvPendingCall>();
    pCall->pDispatcher = this;
    pCall->pAlive = m_pAlive;
    pCall->pHandler = std::make_shared<ReplyHandler>(std::move(handler));
    const std::uint64_t nUsec =
        timeout.count() > 0 ? static_cast<std::uint64_t>(timeout.count()) * 1000u : 0;
    PrvSlotGuard slot;
    int r = sd_bus_call_async(m_connection.Get(), &slot.pSlot, call.Get(), &PrvOnPendingReply,
                              pCall.get(), nUsec);
    if (r >= 0) {
        // From here the slot owns the state: sd-bus frees it after the reply
        // or with the connection.
        sd_bus_slot_set_destroy_callback(slot.pSlot, &PrvFreePendingCall);
        (void)pCall.release();
        r = sd_bus_slot_set_floating(slot.pSlot, 1);
    }
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusDispatcher::CallWithReply",
               mcBusExc::ErrnoText("call of " + call.Interface() + "." + call.Member(), r),
               std::string(), r);
    }
}

std::vector<mcBusMessage> mcBusDispatcher::CallAllAsync(std::vector<mcBusMessage>& calls,
                                                        std::chrono::milliseconds timeout) {
    PrvCheckOwner("mcBusDispatcher::CallAllAsync");
    PrvCheckDepth("mcBusDispatcher::CallAllAsync");
    const std::uint64_t nUsec = timeout.count() > 0 ? static_cast<std::uint64_t>(timeout.count()) * 1000u : 0;
    std::vector<PrvAsyncState> vecStates(calls.size());
    std::vector<PrvSlotGuard> vecSlots(calls.size());
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (sd_bus_call_async(m_connection.Get(), &vecSlots[i].pSlot, calls[i].Get(), &PrvOnAsyncReply,
                              &vecStates[i], nUsec) < 0) {
            vecStates[i].bDone = true;  // not sent: its reply stays null
        }
    }
    auto AllDone = [&vecStates] {
        for (const PrvAsyncState& state : vecStates) {
            if (!state.bDone) return false;
        }
        return true;
    };
    // sd-bus ends every wait itself, on its time-out or when the connection
    // closes, with an error reply.
    if (!PumpUntil(AllDone, kInfinite)) {
        KTHROW(mcBusExc, "mcBusDispatcher::CallAllAsync", "calls abandoned: the dispatcher is leaving",
               std::string(), ECANCELED);
    }
    std::vector<mcBusMessage> vecReplies;
    vecReplies.reserve(vecStates.size());
    for (PrvAsyncState& state : vecStates) vecReplies.push_back(std::move(state.reply));
    return vecReplies;
}

mcBusMessage mcBusDispatcher::CallAsync(mcBusMessage& call, std::chrono::milliseconds timeout) {
    PrvCheckOwner("mcBusDispatcher::CallAsync");
    PrvCheckDepth("mcBusDispatcher::CallAsync");
    const std::string strMethod = call.Interface() + "." + call.Member();
    PrvAsyncState state;
    PrvSlotGuard slot;
    const std::uint64_t nUsec =
        timeout.count() > 0 ? static_cast<std::uint64_t>(timeout.count()) * 1000u : 0;
    const int r = sd_bus_call_async(m_connection.Get(), &slot.pSlot, call.Get(), &PrvOnAsyncReply,
                                    &state, nUsec);
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusDispatcher::CallAsync",
               mcBusExc::ErrnoText("call of " + strMethod, r), std::string(), r);
    }
    // sd-bus ends the wait itself: on the time-out and when the connection
    // closes it hands over an error reply.
    if (!PumpUntil([&state] { return state.bDone; }, kInfinite)) {
        KTHROW(mcBusExc, "mcBusDispatcher::CallAsync",
               "call of " + strMethod + " abandoned: the dispatcher is leaving", std::string(),
               ECANCELED);
    }
    if (state.reply.IsError()) {
        const std::string strName = state.reply.ErrorName();
        KTHROW(mcBusExc, "mcBusDispatcher::CallAsync",
               "call of " + strMethod + " failed: " + strName + ": " + state.reply.ErrorMessage(),
               strName);
    }
    return std::move(state.reply);
}

// ---------------------------------------------------------------- tasks

bool mcBusDispatcher::PrvEnqueue(Task run, Task cancel) {
    {
        std::lock_guard<std::mutex> lock(m_mutexTasks);
        if (m_bStopped) return false;
        m_queTasks.push_back(PrvQueuedTask{std::move(run), std::move(cancel)});
    }
    Wake();
    return true;
}

bool mcBusDispatcher::Post(Task task) { return PrvEnqueue(std::move(task), Task()); }

std::exception_ptr mcBusDispatcher::PrvStoppedError() {
    return std::make_exception_ptr(mcBusExc("mcBusDispatcher::Invoke", __FILE__, __LINE__,
                                            "the dispatcher has stopped", std::string(),
                                            ECANCELED));
}

void mcBusDispatcher::PrvThrowStopped() {
    KTHROW(mcBusExc, "mcBusDispatcher::Invoke", "the dispatcher has stopped", std::string(),
           ECANCELED);
}

// ---------------------------------------------------------------- timers

mcBusDispatcher::Id mcBusDispatcher::AddTimer(std::chrono::milliseconds delay, Task callback) {
    PrvCheckOwner("mcBusDispatcher::AddTimer");
    if (delay.count() < 0) delay = std::chrono::milliseconds{0};
    const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) {
        const int nErr = errno;
        KTHROW(mcBusExc, "mcBusDispatcher::AddTimer", mcBusExc::ErrnoText("timerfd_create", -nErr),
               std::string(), nErr);
    }
    PrvTimer timer;
    timer.fd = fd;
    timer.callback = std::move(callback);
    // Taken before arming: when the timerfd fires, the due time has passed.
    timer.tpDue = std::chrono::steady_clock::now() + delay;
    itimerspec spec{};
    spec.it_value.tv_sec = static_cast<time_t>(delay.count() / 1000);
    spec.it_value.tv_nsec = static_cast<long>((delay.count() % 1000) * 1000000);
    if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;
    if (::timerfd_settime(fd, 0, &spec, nullptr) < 0) {
        const int nErr = errno;
        ::close(fd);
        KTHROW(mcBusExc, "mcBusDispatcher::AddTimer",
               mcBusExc::ErrnoText("timerfd_settime", -nErr), std::string(), nErr);
    }
    const Id id = m_nNextId++;
    m_mapTimers.emplace(id, std::move(timer));
    return id;
}

bool mcBusDispatcher::CancelTimer(Id id) {
    PrvCheckOwner("mcBusDispatcher::CancelTimer");
    auto it = m_mapTimers.find(id);
    if (it == m_mapTimers.end()) return false;
    PrvCloseTimer(it->second);
    m_mapTimers.erase(it);
    return true;
}

void mcBusDispatcher::PrvCloseTimer(PrvTimer& timer) noexcept {
    if (timer.fd >= 0) ::close(timer.fd);
    timer.fd = -1;
}

// ---------------------------------------------------------------- processes

std::optional<int> mcBusDispatcher::WaitForProcess(pid_t pid, std::chrono::milliseconds timeout) {
    PrvCheckOwner("mcBusDispatcher::WaitForProcess");
    PrvCheckDepth("mcBusDispatcher::WaitForProcess");
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        const int nErr = errno;
        KTHROW(mcBusExc, "mcBusDispatcher::WaitForProcess",
               mcBusExc::ErrnoText("pidfd_open for process " + std::to_string(pid), -nErr),
               std::string(), nErr);
    }
    struct FdGuard {
        std::set<int>& setFds;
        int fd;
        ~FdGuard() {
            setFds.erase(fd);
            ::close(fd);
        }
    } guard{m_setWatchFds, fd};
    m_setWatchFds.insert(fd);

    if (!PumpUntil([fd] { return PrvFdReadable(fd); }, timeout)) return std::nullopt;
    int nStatus = 0;
    pid_t r;
    do {
        r = ::waitpid(pid, &nStatus, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        const int nErr = errno;
        KTHROW(mcBusExc, "mcBusDispatcher::WaitForProcess",
               mcBusExc::ErrnoText("waitpid for process " + std::to_string(pid), -nErr),
               std::string(), nErr);
    }
    return nStatus;
}

// ---------------------------------------------------------------- signals

mcBusDispatcher::Id mcBusDispatcher::AddSignalWatch(const std::string& strRule,
                                                    SignalHandler handler) {
    PrvCheckOwner("mcBusDispatcher::AddSignalWatch");
    const Id id = m_nNextId++;
    // Runs inside sd_bus_process: only record; the loop delivers.
    const mcBusConnection::MatchId nMatchId = m_connection.AddMatch(
        strRule, [this, id](mcBusMessage& signal) { m_queSignals.emplace_back(id, signal); });
    m_mapSignalWatches.emplace(
        id, PrvSignalWatch{nMatchId, std::make_shared<SignalHandler>(std::move(handler))});
    return id;
}

mcBusDispatcher::Id mcBusDispatcher::WatchNameOwnerChanged(NameOwnerHandler handler,
                                                           const std::string& strName) {
    std::string strRule = kNameOwnerChangedRule;
    if (!strName.empty()) {
        if (sd_bus_service_name_is_valid(strName.c_str()) <= 0) {
            KTHROW(mcBusExc, "mcBusDispatcher::WatchNameOwnerChanged",
                   "invalid bus name \"" + strName + "\"", std::string(), EINVAL);
        }
        strRule += ",arg0='" + strName + "'";
    }
    return AddSignalWatch(strRule, [handler = std::move(handler)](mcBusMessage& signal) {
        if (signal.Signature() != "sss") return;
        const std::string strName = signal.ReadString();
        const std::string strOld = signal.ReadString();
        const std::string strNew = signal.ReadString();
        handler(strName, strOld, strNew);
    });
}

void mcBusDispatcher::RemoveSignalWatch(Id id) {
    PrvCheckOwner("mcBusDispatcher::RemoveSignalWatch");
    auto it = m_mapSignalWatches.find(id);
    if (it == m_mapSignalWatches.end()) return;
    m_connection.RemoveMatch(it->second.nMatchId);
    m_mapSignalWatches.erase(it);
}
