#pragma once
// The server's references and its delayed shut-down.
//
// References: a client holds one while its bus connection lives after it has
// called the object (its unique name is kept until NameOwnerChanged reports
// the name gone; the watch must be in force before the server takes its bus
// name, so no departure is missed). A running job holds one (the engines'
// hooks, from their worker threads). A call being served holds one while it
// runs. Work still queued (the busy check: jobs waiting in an engine) delays
// the end without holding a reference.
//
// Countdown: whenever no reference is left, a timer of the shut-down delay
// starts; any reference cancels it, and activity without a lasting reference
// (Touch) starts it afresh. When it expires with no reference, the idle
// callback runs once (the server then gives up its name); Resume() re-arms the
// whole mechanism when the server decides to carry on.
//
// Threads: everything runs on the dispatcher's owner thread except
// AcquireJobReference, ReleaseJobReference and JobReferences, which any thread
// may call (they post a re-check to the owner thread). The object must outlive
// the worker threads that hold job references and every task they posted that
// may still run.
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>

#include "bus/mcBusDispatcher.h"

class mcServerLifetime {
public:
    mcServerLifetime(mcBusDispatcher& dispatcher, std::chrono::milliseconds delay,
                     std::function<void()> fnIdle);
    ~mcServerLifetime();
    mcServerLifetime(const mcServerLifetime&) = delete;
    mcServerLifetime& operator=(const mcServerLifetime&) = delete;

    // Starts the first countdown when nothing holds a reference yet.
    void Start();

    // A call of strSender (a unique bus name) arrived: the sender holds a
    // reference from now on, and the call is counted.
    void OnClientCall(const std::string& strSender);
    // Serving a call holds a reference; use CallScope.
    void BeginCall();
    void EndCall();
    class CallScope {
    public:
        explicit CallScope(mcServerLifetime& lifetime) : m_lifetime(lifetime) { m_lifetime.BeginCall(); }
        ~CallScope() { m_lifetime.EndCall(); }
        CallScope(const CallScope&) = delete;
        CallScope& operator=(const CallScope&) = delete;

    private:
        mcServerLifetime& m_lifetime;
    };
    // Activity that holds no lasting reference: when idle, the countdown
    // starts again from the full delay.
    void Touch();
    // From the NameOwnerChanged watch. True when a client holding a reference
    // has left (strName lost its owner).
    bool OnNameOwnerChanged(const std::string& strName, const std::string& strOldOwner,
                            const std::string& strNewOwner);

    // Extra condition that keeps the server busy (jobs queued but not yet
    // running). It holds no reference of its own: when the countdown expires
    // while it is true, the countdown starts again. May be empty.
    void SetBusyCheck(std::function<bool()> fnBusy);
    // Re-evaluates the references: starts or cancels the countdown.
    void Recheck();

    // Any thread: a job starts (true: a reference is now held; false once the
    // server has decided to end) and ends.
    bool AcquireJobReference();
    void ReleaseJobReference();
    int JobReferences() const;

    // No reference of any kind.
    bool IsIdle() const;
    bool IsCountingDown() const { return m_idTimer != 0; }
    std::size_t ClientCount() const { return m_setClients.size(); }
    bool HasClient(const std::string& strName) const { return m_setClients.count(strName) != 0; }
    // Client calls counted so far.
    std::uint64_t CallCount() const { return m_nCalls; }

    // The final decision: when idle, refuses further job references and
    // returns true; otherwise false.
    bool TryClose();
    // The server carries on after the idle callback (or a refused close):
    // job references are granted again and the countdown follows the
    // references as before.
    void Resume();

private:
    bool PrvHasReferences() const;
    void PrvArm();
    void PrvCancel();
    void PrvOnTimer();

    mcBusDispatcher& m_dispatcher;
    const std::chrono::milliseconds m_delay;
    std::function<void()> m_fnIdle;
    std::function<bool()> m_fnBusy;

    std::set<std::string> m_setClients;
    int m_nCallsRunning = 0;
    std::uint64_t m_nCalls = 0;
    mcBusDispatcher::Id m_idTimer = 0;
    bool m_bIdleFired = false;
    bool m_bStarted = false;

    mutable std::mutex m_mutexJobs;
    int m_nJobReferences = 0;
    bool m_bClosed = false;
};
