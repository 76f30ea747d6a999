#pragma once
// The apartment of the main thread: one thread serves every incoming call of
// its connection, one at a time, and may wait inside a call without blocking
// the others.
//
// The loop polls the bus fd (events and time-out from sd-bus), one timerfd per
// timer, the pidfds of waited-for processes and an eventfd that wakes it for
// tasks posted from other threads. Messages that sd_bus_process() hands back
// are dispatched here (no sd-bus vtables), so a handler may pump the
// dispatcher again: PumpUntil() runs the same loop nested until a condition
// holds. Nested waits complete last in, first out: an outer wait whose
// condition already holds returns only after every wait above it has.
//
// Threads: the dispatcher belongs to the thread that constructed it (the
// owner). Post(), Invoke(), Wake(), Quit() and Stop() may be called from any
// thread; everything else only on the owner thread (a wrong thread throws
// mcBusExc). The connection must outlive the dispatcher and is used by it on
// the owner thread only.
//
// sd-bus itself answers org.freedesktop.DBus.Peer (Ping, GetMachineId) before
// a message reaches the table; Introspectable and Properties (read-only) are
// answered here from what was registered.
//
// Deferred replies: a handler whose answer depends on work elsewhere takes the
// call's reply object (DeferReply) and returns; the reply is sent later from
// the owner thread (mcDeferredReply), and other calls are served meanwhile.
//
// Failure: nothing a handler, task, timer or signal watcher throws unwinds
// into sd-bus or out of the loop. It goes to the exception hook; a method call
// then gets an org.freedesktop.DBus.Error.Failed reply with the exception text.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "bus/mcBusConnection.h"
#include "bus/mcBusMessage.h"
#include "bus/mcDeferredReply.h"

class mcBusDispatcher {
    friend class mcDeferredReply;

public:
    // Returns the reply; a null message means an empty method return. To
    // answer with an error, return call.NewError(name, text).
    using MethodHandler = std::function<mcBusMessage(mcBusMessage& call)>;
    // Appends exactly one value of the property's signature to reply.
    using PropertyGetter = std::function<void(mcBusMessage& reply)>;
    using Task = std::function<void()>;
    using SignalHandler = std::function<void(mcBusMessage& signal)>;
    using NameOwnerHandler = std::function<void(
        const std::string& strName, const std::string& strOldOwner, const std::string& strNewOwner)>;
    // strContext: the member name of the method call, or "<task>", "<timer>",
    // "<signal>". Runs on the owner thread; must not throw (what it throws is
    // dropped).
    using ExceptionHook = std::function<void(const std::string& strContext, std::exception_ptr pExc)>;
    using Id = std::uint64_t;

    // Deepest nesting of pump levels (Run and PumpUntil, including the
    // outermost). A wait beyond it fails with mcBusExc (kErrLimitsExceeded).
    static constexpr int kMaxDepth = 32;
    static constexpr std::chrono::milliseconds kInfinite{-1};

    static constexpr const char* kErrFailed = "org.freedesktop.DBus.Error.Failed";
    static constexpr const char* kErrUnknownMethod = "org.freedesktop.DBus.Error.UnknownMethod";
    static constexpr const char* kErrUnknownObject = "org.freedesktop.DBus.Error.UnknownObject";
    static constexpr const char* kErrUnknownInterface = "org.freedesktop.DBus.Error.UnknownInterface";
    static constexpr const char* kErrUnknownProperty = "org.freedesktop.DBus.Error.UnknownProperty";
    static constexpr const char* kErrPropertyReadOnly = "org.freedesktop.DBus.Error.PropertyReadOnly";
    static constexpr const char* kErrInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
    static constexpr const char* kErrLimitsExceeded = "org.freedesktop.DBus.Error.LimitsExceeded";
    static constexpr const char* kIfaceIntrospectable = "org.freedesktop.DBus.Introspectable";
    static constexpr const char* kIfaceProperties = "org.freedesktop.DBus.Properties";
    static constexpr const char* kIfacePeer = "org.freedesktop.DBus.Peer";

    explicit mcBusDispatcher(mcBusConnection& connection);
    // Stop()s, drops the signal matches and closes the timers.
    ~mcBusDispatcher();
    mcBusDispatcher(const mcBusDispatcher&) = delete;
    mcBusDispatcher& operator=(const mcBusDispatcher&) = delete;

    mcBusConnection& Connection() { return m_connection; }

    // --- Objects (owner thread). Names are checked; invalid ones throw.
    // strIntrospectXml: the <interface> elements of the object, inserted as
    // they are into its Introspect answer. Registering a path again replaces
    // its text and keeps its methods and properties.
    void AddObject(const std::string& strPath, const std::string& strIntrospectXml);
    // strInSignature: the exact signature of the arguments ("" for none);
    // calls with another signature get kErrInvalidArgs without reaching the
    // handler. Registers the object (with no text) if it is not yet.
    void AddMethod(const std::string& strPath, const std::string& strInterface,
                   const std::string& strMember, const std::string& strInSignature,
                   MethodHandler handler);
    // A read-only property of a single complete type strSignature.
    void AddProperty(const std::string& strPath, const std::string& strInterface,
                     const std::string& strName, const std::string& strSignature,
                     PropertyGetter getter);
    // Removes the object with its methods and properties. A handler running
    // now finishes normally.
    void RemoveObject(const std::string& strPath);
    void SetExceptionHook(ExceptionHook hook);

    // Inside the handler of call (owner thread): the reply is not sent when
    // the handler returns (its return value is ignored) but through the
    // object returned here. Throws mcBusExc when call is not being handled
    // now. If the handler throws after this, no error reply is sent for it:
    // the reply object answers (Failed when dropped unanswered).
    std::shared_ptr<mcDeferredReply> DeferReply(const mcBusMessage& call);

    // --- The loop (owner thread).
    // Serves until Quit(), Stop() or the loss of the connection. Quit() before
    // Run() makes the next Run() return at once; Run() consumes the request.
    void Run();
    // Ends Run(). Until Run() has returned, every PumpUntil() returns false at
    // once, so that nested waits unwind. Any thread; async-signal-safe.
    void Quit();
    // Takes back a Quit() that no Run() has consumed yet, so that the owner
    // can still pump (drain queued calls) after deciding not to run. True when
    // one was pending. Owner thread.
    bool ConsumeQuit();
    // For good: ends Run() and every pump, refuses new tasks (Post() returns
    // false, Invoke() throws) and fails the tasks still queued (their Invoke()
    // callers get mcBusExc). Call it before joining threads that may Invoke().
    // Any thread.
    void Stop();
    bool IsStopped() const { return m_bStopped.load(); }
    // False once the bus connection is lost; any failure of sd-bus's
    // processing counts as such (sd-bus closes the connection on I/O errors).
    bool IsConnected() const { return !m_bDisconnected; }
    // Pump levels active now (0 outside Run and PumpUntil).
    int Depth() const { return m_nDepth; }

    // Serves calls, tasks, timers and signals until pred() holds (true) or
    // the time-out passes, Quit() or Stop() is called or the connection is
    // lost (false). pred is checked before each unit of work and after each
    // wake-up; a condition changed by another thread must be announced with
    // Post() or Wake(). Throws mcBusExc (kErrLimitsExceeded) when kMaxDepth
    // levels are already active.
    bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = kInfinite);

    // Sends the call on this connection and pumps nested until its reply
    // arrives; sd-bus ends the wait after timeout (zero: the connection's
    // default). Returns the method return; an error reply, the time-out
    // (org.freedesktop.DBus.Error.NoReply), the depth limit, Quit() or Stop()
    // throw mcBusExc.
    mcBusMessage CallAsync(mcBusMessage& call,
                           std::chrono::milliseconds timeout = std::chrono::milliseconds{0});
    // Sends the call on this connection and returns at once; handler runs
    // later on the owner thread, from the loop (never inside sd-bus), with
    // the method return or an error reply - the time-out (zero: the
    // connection's default) and the loss of the connection end in
    // org.freedesktop.DBus.Error.NoReply. A handler that throws goes to the
    // exception hook as "<task>". Once the dispatcher is stopped or gone the
    // handler is dropped without running. Owner thread; failing to send
    // throws mcBusExc.
    using ReplyHandler = std::function<void(mcBusMessage& reply)>;
    void CallWithReply(mcBusMessage& call, std::chrono::milliseconds timeout, ReplyHandler handler);

    // Sends every call at once and pumps nested until each has its reply,
    // so the slowest callee, not the sum of them, sets the wait. Returns the
    // replies in the order of calls: method returns, or error messages for
    // error replies and time-outs; a call that could not be sent has a null
    // message. The depth limit, Quit() or Stop() throw mcBusExc.
    std::vector<mcBusMessage> CallAllAsync(std::vector<mcBusMessage>& calls,
                                           std::chrono::milliseconds timeout = std::chrono::milliseconds{0});

    // --- Tasks (any thread).
    // Queues the task for the owner thread (run by Run or any nested pump).
    // False when the dispatcher is stopped (the task is dropped).
    bool Post(Task task);
    // Runs f on the owner thread and returns its result or rethrows what it
    // threw. From the owner thread f runs at once. From another thread this
    // blocks until a pump has run f (also a nested one); throws mcBusExc when
    // the dispatcher is or becomes stopped before f has run.
    template <class F>
    auto Invoke(F&& f) -> std::invoke_result_t<std::decay_t<F>&>;
    // Makes the owner thread re-check its wait condition. Any thread;
    // async-signal-safe.
    void Wake();

    // --- Timers (owner thread). One-shot; the callback runs on the owner
    // thread from whichever pump level is active when it is due.
    Id AddTimer(std::chrono::milliseconds delay, Task callback);
    // False when the timer has already run or was cancelled.
    bool CancelTimer(Id id);

    // --- Processes (owner thread). Pumps nested until the child pid exits,
    // then reaps it and returns its waitpid() status; nullopt (child not
    // reaped) after the time-out, Quit(), Stop() or the loss of the
    // connection. pid must be our child; failures throw mcBusExc.
    std::optional<int> WaitForProcess(pid_t pid, std::chrono::milliseconds timeout = kInfinite);

    // --- Signals (owner thread). The match is in force at the bus when this
    // returns; handlers run from the loop, never inside sd-bus.
    Id AddSignalWatch(const std::string& strRule, SignalHandler handler);
    // org.freedesktop.DBus.NameOwnerChanged, for every name or only strName.
    Id WatchNameOwnerChanged(NameOwnerHandler handler, const std::string& strName = std::string());
    void RemoveSignalWatch(Id id);

private:
    struct PrvMethod {
        std::string strSignature;
        std::shared_ptr<MethodHandler> pHandler;
    };
    struct PrvProperty {
        std::string strSignature;
        std::shared_ptr<PropertyGetter> pGetter;
    };
    struct PrvObject {
        std::string strIntrospectXml;
        // interface -> property name -> property
        std::map<std::string, std::map<std::string, PrvProperty>> mapProperties;
    };
    struct PrvTimer {
        int fd = -1;
        Task callback;
        std::chrono::steady_clock::time_point tpDue;
    };
    struct PrvSignalWatch {
        mcBusConnection::MatchId nMatchId = 0;
        std::shared_ptr<SignalHandler> pHandler;
    };
    struct PrvQueuedTask {
        Task run;
        Task cancel;  // may be empty
    };

    bool PrvEnqueue(Task run, Task cancel);
    static std::exception_ptr PrvStoppedError();
    [[noreturn]] static void PrvThrowStopped();
    bool PrvIsOwnerThread() const { return std::this_thread::get_id() == m_idOwner; }
    void PrvCheckOwner(const char* pszFunction) const;
    void PrvCheckDepth(const char* pszFunction) const;
    bool PrvMustLeave() const;
    bool PrvDoWork();
    void PrvPoll(std::chrono::steady_clock::time_point tpDeadline, bool bHasDeadline);
    void PrvDispatch(mcBusMessage& message);
    void PrvDispatchCall(mcBusMessage& call);
    // Sends reply to call (an empty message: an empty method return); a
    // reply that cannot be sent is replaced by an error reply.
    void PrvSendReply(const mcBusMessage& call, mcBusMessage& reply);
    mcBusMessage PrvRoute(mcBusMessage& call);
    mcBusMessage PrvIntrospect(mcBusMessage& call, const std::string& strPath);
    mcBusMessage PrvProperties(mcBusMessage& call, const std::string& strPath);
    std::vector<std::string> PrvChildNodes(const std::string& strPath) const;
    void PrvReport(const std::string& strContext, std::exception_ptr pExc) noexcept;
    void PrvCloseTimer(PrvTimer& timer) noexcept;

    mcBusConnection& m_connection;
    const std::thread::id m_idOwner;
    int m_fdWake = -1;

    std::map<std::string, PrvObject> m_mapObjects;
    std::map<std::tuple<std::string, std::string, std::string>, PrvMethod> m_mapMethods;
    ExceptionHook m_hook;

    int m_nDepth = 0;
    bool m_bDisconnected = false;
    std::atomic<bool> m_bQuit{false};
    std::atomic<bool> m_bStopped{false};

    std::mutex m_mutexTasks;
    std::deque<PrvQueuedTask> m_queTasks;

    Id m_nNextId = 1;
    std::map<Id, PrvTimer> m_mapTimers;
    std::map<Id, PrvSignalWatch> m_mapSignalWatches;
    std::deque<std::pair<Id, mcBusMessage>> m_queSignals;
    // pidfds being waited for; polled so that their exit wakes the loop
    std::set<int> m_setWatchFds;
    // Calls whose handlers run now (innermost last), and whether each was
    // deferred.
    std::vector<std::pair<sd_bus_message*, bool>> m_vecHandling;
    // Expires when the dispatcher goes; deferred replies check it.
    std::shared_ptr<int> m_pAlive = std::make_shared<int>(0);
};

template <class F>
auto mcBusDispatcher::Invoke(F&& f) -> std::invoke_result_t<std::decay_t<F>&> {
    using Result = std::invoke_result_t<std::decay_t<F>&>;
    if (PrvIsOwnerThread()) return f();
    auto pPromise = std::make_shared<std::promise<Result>>();
    std::future<Result> future = pPromise->get_future();
    auto pFunction = std::make_shared<std::decay_t<F>>(std::forward<F>(f));
    const bool bQueued = PrvEnqueue(
        [pPromise, pFunction] {
            try {
                if constexpr (std::is_void_v<Result>) {
                    (*pFunction)();
                    pPromise->set_value();
                } else {
                    pPromise->set_value((*pFunction)());
                }
            } catch (...) {
                pPromise->set_exception(std::current_exception());
            }
        },
        [pPromise] { pPromise->set_exception(PrvStoppedError()); });
    if (!bQueued) PrvThrowStopped();
    return future.get();
}
