#include "bus/mcBusConnection.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <utility>

#include "bus/mcBusExc.h"

namespace {

// Frees an sd_bus_error on every path out of a scope.
struct PrvErrorGuard {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~PrvErrorGuard() { sd_bus_error_free(&error); }
};

std::uint64_t PrvUsec(std::chrono::milliseconds timeout) {
    if (timeout.count() <= 0) timeout = mcBusConnection::kDefaultTimeout;
    return static_cast<std::uint64_t>(timeout.count()) * 1000u;
}

const char* PrvOrNull(const std::string& str) { return str.empty() ? nullptr : str.c_str(); }

// userdata: the match's handler.
int PrvOnMatch(sd_bus_message* pMessage, void* pUserData, sd_bus_error*) {
    auto* pHandler = static_cast<mcBusConnection::MatchHandler*>(pUserData);
    mcBusMessage message = mcBusMessage::Ref(pMessage);
    try {
        (*pHandler)(message);
    } catch (...) {
        // Nothing may unwind through sd-bus; handlers only record.
    }
    // Not consumed: other matches for the same message see it too.
    return 0;
}

}  // namespace

mcBusConnection mcBusConnection::PrvStartBus(sd_bus* pBus, const char* pszWhat) {
    // Owns pBus from here on, also when starting fails.
    mcBusConnection connection(pBus);
    const int r = sd_bus_start(pBus);
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusConnection::Open",
               mcBusExc::ErrnoText(std::string("connecting to ") + pszWhat, r), std::string(), r);
    }
    return connection;
}

mcBusConnection mcBusConnection::OpenAddress(const std::string& strAddress) {
    sd_bus* pBus = nullptr;
    int r = sd_bus_new(&pBus);
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusConnection::OpenAddress", mcBusExc::ErrnoText("sd_bus_new", r),
               std::string(), r);
    }
    mcBusConnection owner(pBus);
    r = sd_bus_set_address(pBus, strAddress.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(pBus, 1);
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusConnection::OpenAddress",
               mcBusExc::ErrnoText("setting the bus address \"" + strAddress + "\"", r),
               std::string(), r);
    }
    owner.m_pBus = nullptr;
    return PrvStartBus(pBus, ("\"" + strAddress + "\"").c_str());
}

mcBusConnection mcBusConnection::OpenSystem() {
    sd_bus* pBus = nullptr;
    const int r = sd_bus_open_system(&pBus);
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusConnection::OpenSystem",
               mcBusExc::ErrnoText("connecting to the system bus", r), std::string(), r);
    }
    return mcBusConnection(pBus);
}

mcBusConnection mcBusConnection::OpenSession() {
    sd_bus* pBus = nullptr;
    const int r = sd_bus_open_user(&pBus);
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusConnection::OpenSession",
               mcBusExc::ErrnoText("connecting to the session bus", r), std::string(), r);
    }
    return mcBusConnection(pBus);
}

mcBusConnection::mcBusConnection(mcBusConnection&& other) noexcept
    : m_pBus(std::exchange(other.m_pBus, nullptr)),
      m_nNextMatchId(other.m_nNextMatchId),
      m_mapMatches(std::move(other.m_mapMatches)) {}

mcBusConnection& mcBusConnection::operator=(mcBusConnection&& other) noexcept {
    if (this != &other) {
        PrvClose();
        m_pBus = std::exchange(other.m_pBus, nullptr);
        m_nNextMatchId = other.m_nNextMatchId;
        m_mapMatches = std::move(other.m_mapMatches);
    }
    return *this;
}

mcBusConnection::~mcBusConnection() { PrvClose(); }

void mcBusConnection::PrvClose() noexcept {
    for (auto& [id, pMatch] : m_mapMatches) sd_bus_slot_unref(pMatch->pSlot);
    m_mapMatches.clear();
    if (m_pBus) {
        sd_bus_flush_close_unref(m_pBus);
        m_pBus = nullptr;
    }
}

bool mcBusConnection::IsOpen() const { return m_pBus && sd_bus_is_open(m_pBus) > 0; }

std::string mcBusConnection::UniqueName() const {
    const char* pszName = nullptr;
    const int r = sd_bus_get_unique_name(m_pBus, &pszName);
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusConnection::UniqueName",
               mcBusExc::ErrnoText("sd_bus_get_unique_name", r), std::string(), r);
    }
    return pszName ? std::string(pszName) : std::string();
}

bool mcBusConnection::RequestName(const std::string& strName) {
    const int r = sd_bus_request_name(m_pBus, strName.c_str(), 0);
    if (r == -EEXIST) return false;
    if (r == -EALREADY) return true;
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusConnection::RequestName",
               mcBusExc::ErrnoText("requesting the name \"" + strName + "\"", r), std::string(), r);
    }
    return true;
}

bool mcBusConnection::ReleaseName(const std::string& strName) {
    const int r = sd_bus_release_name(m_pBus, strName.c_str());
    if (r == -ESRCH || r == -EADDRINUSE) return false;
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusConnection::ReleaseName",
               mcBusExc::ErrnoText("releasing the name \"" + strName + "\"", r), std::string(), r);
    }
    return true;
}

bool mcBusConnection::NameHasOwner(const std::string& strName) {
    mcBusMessage call = NewMethodCall(kBusName, kBusPath, kBusInterface, "NameHasOwner");
    call.Append(strName);
    mcBusMessage reply = CallMethod(call);
    return reply.ReadBool();
}

mcBusMessage mcBusConnection::NewMethodCall(const std::string& strDestination,
                                            const std::string& strPath,
                                            const std::string& strInterface,
                                            const std::string& strMember) {
    sd_bus_message* pMessage = nullptr;
    const int r = sd_bus_message_new_method_call(m_pBus, &pMessage, PrvOrNull(strDestination),
                                                 strPath.c_str(), PrvOrNull(strInterface),
                                                 strMember.c_str());
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusConnection::NewMethodCall",
               mcBusExc::ErrnoText("creating the call " + strInterface + "." + strMember +
                                       " on " + strPath,
                                   r),
               std::string(), r);
    }
    return mcBusMessage::Adopt(pMessage);
}

mcBusMessage mcBusConnection::NewSignal(const std::string& strPath,
                                        const std::string& strInterface,
                                        const std::string& strMember) {
    sd_bus_message* pMessage = nullptr;
    const int r = sd_bus_message_new_signal(m_pBus, &pMessage, strPath.c_str(),
                                            strInterface.c_str(), strMember.c_str());
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusConnection::NewSignal",
               mcBusExc::ErrnoText("creating the signal " + strInterface + "." + strMember, r),
               std::string(), r);
    }
    return mcBusMessage::Adopt(pMessage);
}

mcBusMessage mcBusConnection::CallMethod(mcBusMessage& call, std::chrono::milliseconds timeout) {
    PrvErrorGuard guard;
    sd_bus_message* pReply = nullptr;
    const int r = sd_bus_call(m_pBus, call.Get(), PrvUsec(timeout), &guard.error, &pReply);
    if (r < 0) {
        const std::string strMethod = call.Interface() + "." + call.Member();
        if (sd_bus_error_is_set(&guard.error)) {
            const std::string strName = guard.error.name;
            const std::string strText = guard.error.message ? guard.error.message : "";
            KTHROW(mcBusExc, "mcBusConnection::CallMethod",
                   "call of " + strMethod + " failed: " + strName + ": " + strText, strName, r);
        }
        KTHROW(mcBusExc, "mcBusConnection::CallMethod",
               mcBusExc::ErrnoText("call of " + strMethod, r), std::string(), r);
    }
    return mcBusMessage::Adopt(pReply);
}

void mcBusConnection::Send(mcBusMessage& message) {
    const int r = sd_bus_send(m_pBus, message.Get(), nullptr);
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusConnection::Send", mcBusExc::ErrnoText("sd_bus_send", r),
               std::string(), r);
    }
}

void mcBusConnection::Flush() {
    const int r = sd_bus_flush(m_pBus);
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusConnection::Flush", mcBusExc::ErrnoText("sd_bus_flush", r),
               std::string(), r);
    }
}

mcBusConnection::MatchId mcBusConnection::AddMatch(const std::string& strRule,
                                                   MatchHandler handler) {
    auto pMatch = std::make_unique<PrvMatch>();
    pMatch->handler = std::move(handler);
    const int r = sd_bus_add_match(m_pBus, &pMatch->pSlot, strRule.c_str(), &PrvOnMatch,
                                   &pMatch->handler);
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusConnection::AddMatch",
               mcBusExc::ErrnoText("adding the match \"" + strRule + "\"", r), std::string(), r);
    }
    const MatchId id = m_nNextMatchId++;
    m_mapMatches.emplace(id, std::move(pMatch));
    return id;
}

void mcBusConnection::RemoveMatch(MatchId id) {
    auto it = m_mapMatches.find(id);
    if (it == m_mapMatches.end()) return;
    sd_bus_slot_unref(it->second->pSlot);
    m_mapMatches.erase(it);
}

int mcBusConnection::Process(mcBusMessage& unhandled) {
    sd_bus_message* pMessage = nullptr;
    const int r = sd_bus_process(m_pBus, &pMessage);
    unhandled = mcBusMessage::Adopt(pMessage);
    return r;
}

bool mcBusConnection::Wait(std::chrono::milliseconds timeout) {
    const std::uint64_t nUsec = timeout.count() < 0
                                    ? UINT64_MAX
                                    : static_cast<std::uint64_t>(timeout.count()) * 1000u;
    return sd_bus_wait(m_pBus, nUsec) >= 0;
}

int mcBusConnection::GetFd() const { return sd_bus_get_fd(m_pBus); }

int mcBusConnection::GetEvents() const {
    const int r = sd_bus_get_events(m_pBus);
    return r < 0 ? 0 : r;
}

std::uint64_t mcBusConnection::GetTimeoutUsec() const {
    std::uint64_t nUsec = UINT64_MAX;
    if (sd_bus_get_timeout(m_pBus, &nUsec) < 0) return UINT64_MAX;
    return nUsec;
}
