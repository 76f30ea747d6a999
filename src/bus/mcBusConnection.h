#pragma once
// Owner of one sd-bus connection to a message bus.
//
// NOT thread-safe: a connection, its messages and its match callbacks belong to
// one thread. The main thread has its own connection (driven by
// mcBusDispatcher); a worker thread that calls out opens its own connection and
// uses CallMethod. Nothing shares a connection across threads.
//
// Every failure throws mcBusExc with the errno text; error replies carry the
// remote error name (ErrorName()) and message in the description.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "bus/mcBusMessage.h"

struct sd_bus;
struct sd_bus_slot;

class mcBusConnection {
public:
    using MatchHandler = std::function<void(mcBusMessage& message)>;
    using MatchId = std::uint64_t;

    static constexpr const char* kBusName = "org.freedesktop.DBus";
    static constexpr const char* kBusPath = "/org/freedesktop/DBus";
    static constexpr const char* kBusInterface = "org.freedesktop.DBus";
    // Time-out used by CallMethod when given zero.
    static constexpr std::chrono::milliseconds kDefaultTimeout{25000};

    // Connects to any bus address ("unix:path=...") as a bus client and says
    // Hello. Throws when the address is invalid or nobody listens there.
    static mcBusConnection OpenAddress(const std::string& strAddress);
    static mcBusConnection OpenSystem();
    static mcBusConnection OpenSession();

    mcBusConnection(mcBusConnection&& other) noexcept;
    mcBusConnection& operator=(mcBusConnection&& other) noexcept;
    mcBusConnection(const mcBusConnection&) = delete;
    mcBusConnection& operator=(const mcBusConnection&) = delete;
    // Drops the matches, flushes what is queued for sending, closes.
    ~mcBusConnection();

    sd_bus* Get() const { return m_pBus; }
    bool IsOpen() const;
    // Our unique name (":1.42"); waits for the Hello reply if needed.
    std::string UniqueName() const;

    // Takes the well-known name without queueing and without replacing or
    // allowing replacement: true when we own it (also when we owned it
    // already), false when another connection owns it. Other failures throw.
    bool RequestName(const std::string& strName);
    // True when the name was ours and is released, false when it was not ours.
    bool ReleaseName(const std::string& strName);
    bool NameHasOwner(const std::string& strName);

    // strDestination or strInterface may be empty (no such header field).
    mcBusMessage NewMethodCall(const std::string& strDestination, const std::string& strPath,
                               const std::string& strInterface, const std::string& strMember);
    mcBusMessage NewSignal(const std::string& strPath, const std::string& strInterface,
                           const std::string& strMember);

    // Sends the call and blocks this thread until the reply arrives or the
    // time-out (zero: kDefaultTimeout) passes. Incoming calls and signals are
    // queued meanwhile, not dispatched. An error reply or a time-out throws
    // mcBusExc carrying the error name ("org.freedesktop.DBus.Error.NoReply",
    // "org.freedesktop.DBus.Error.Timeout" or the peer's own).
    mcBusMessage CallMethod(mcBusMessage& call,
                            std::chrono::milliseconds timeout = std::chrono::milliseconds{0});
    // Queues a message (reply, signal, call without reply) for sending.
    void Send(mcBusMessage& message);
    void EmitSignal(mcBusMessage& signal) { Send(signal); }
    // Writes everything queued for sending; blocks until done.
    void Flush();

    // Adds a match rule at the bus and calls handler for every message that
    // matches it. The handler runs inside Process() (so inside sd-bus): it must
    // only record what it needs and return; it must not call into this
    // connection's processing again (no CallMethod, no pumping). Returns an id
    // for RemoveMatch. The rule is in force at the bus when this returns.
    MatchId AddMatch(const std::string& strRule, MatchHandler handler);
    void RemoveMatch(MatchId id);

    // Drives the connection one step: > 0 progress was made (unhandled is the
    // message nobody handled, or null), 0 nothing to do (wait before calling
    // again), < 0 negative errno (the connection is broken). Never throws.
    int Process(mcBusMessage& unhandled);
    // Waits for the connection to need processing, at most timeout (negative:
    // no limit). Returns false on error or disconnection.
    bool Wait(std::chrono::milliseconds timeout);
    int GetFd() const;
    // poll() events to wait for, 0 when the connection is closed.
    int GetEvents() const;
    // Absolute CLOCK_MONOTONIC time in µs at which Process() must run again;
    // UINT64_MAX for none.
    std::uint64_t GetTimeoutUsec() const;

private:
    struct PrvMatch {
        sd_bus_slot* pSlot = nullptr;
        MatchHandler handler;
    };

    explicit mcBusConnection(sd_bus* pBus) : m_pBus(pBus) {}
    static mcBusConnection PrvStartBus(sd_bus* pBus, const char* pszWhat);
    void PrvClose() noexcept;

    sd_bus* m_pBus = nullptr;
    MatchId m_nNextMatchId = 1;
    std::map<MatchId, std::unique_ptr<PrvMatch>> m_mapMatches;
};
