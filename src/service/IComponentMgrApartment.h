#pragma once
// What the component manager object needs of the main thread's apartment: hand
// work to the main thread (Post, Invoke), wait there while still serving
// (PumpUntil), shut the hand-over down (Stop), call a client's object, and
// publish the hidden window. The server gives the object an adapter over its
// mcBusDispatcher (mcDispatcherApartment); object-level tests give it a fake
// that runs without a bus (tests/support/FakeApartment.h).
//
// Threads: Post, RunOnMain, Invoke, Stop and IsStopped from any thread; the
// rest on the main thread only.
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "contract/Hresult.h"
#include "jobs/mcClientCallback.h"

class IComponentMgrApartment {
public:
    using Task = std::function<void()>;

    virtual ~IComponentMgrApartment() = default;

    // Queues task for the main thread. False (task dropped) once stopped.
    virtual bool Post(Task task) = 0;
    // Runs task on the main thread and waits until it has run (at once when
    // called there); rethrows what it threw. Throws mcBusExc when the
    // apartment is or becomes stopped before task has run.
    virtual void RunOnMain(const Task& task) = 0;
    // RunOnMain with a result.
    template <class F>
    auto Invoke(F&& f) -> std::invoke_result_t<std::decay_t<F>&>;

    // Serves calls, tasks and timers nested until pred() holds (true) or the
    // time-out passes or the loop must be left (false). Throws mcBusExc when
    // no further level may be nested.
    virtual bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) = 0;
    // For good: refuses new tasks and fails the RunOnMain callers still waiting.
    virtual void Stop() = 0;
    virtual bool IsStopped() const = 0;

    // Calls strMember(strArgument) of interface strInterface on a client's
    // object and waits for the answer with a nested pump (zero time-out: the
    // bus default). Returns the HRESULT the client answered (S_OK for an
    // answer without one), or the HRESULT that the bus failure stands for.
    virtual HRESULT CallClient(const mcClientCallback& target, const std::string& strInterface,
                               const std::string& strMember, const std::string& strArgument,
                               std::chrono::milliseconds timeout) = 0;

    // CallClient to every target at once: the answers (in the order of
    // vecTargets) are waited for together, so the slowest target, not the sum
    // of them, sets the wait. The default calls one after the other, for
    // apartments whose client calls never wait (fakes).
    virtual std::vector<HRESULT> CallClients(const std::vector<mcClientCallback>& vecTargets,
                                             const std::string& strInterface, const std::string& strMember,
                                             const std::string& strArgument, std::chrono::milliseconds timeout) {
        std::vector<HRESULT> vecResults;
        for (const mcClientCallback& target : vecTargets) {
            vecResults.push_back(CallClient(target, strInterface, strMember, strArgument, timeout));
        }
        return vecResults;
    }

    // Sends strMember(strArgument) to a client's object without waiting and
    // without expecting an answer (a slow or vanished client cannot hold the
    // main thread); a call that cannot be sent is logged. The default goes
    // through CallClient, for apartments whose client calls never wait
    // (fakes).
    virtual void SendToClient(const mcClientCallback& target, const std::string& strInterface,
                              const std::string& strMember, const std::string& strArgument) {
        (void)CallClient(target, strInterface, strMember, strArgument, std::chrono::milliseconds(0));
    }

    // Sends strMember(component, success, text) - OnInstallComplete or
    // OnUninstallComplete - to a client's "ComponentMgr.IComponentMgrCallback"
    // object like SendToClient. The default goes through CallClient with the
    // component alone (fakes record it).
    virtual void SendCompletionToClient(const mcClientCallback& target, const std::string& strMember,
                                        const std::string& strComponent, bool bSuccess, const std::string& strText) {
        (void)bSuccess;
        (void)strText;
        (void)CallClient(target, "ComponentMgr.IComponentMgrCallback", strMember, strComponent,
                         std::chrono::milliseconds(0));
    }

    // Main thread: serves calls, tasks and timers nested until the child pid
    // has ended, then reaps it. False when the loop must be left first or no
    // further level may be nested (the child is then left running and
    // unreaped). The default checks the child every 10 ms.
    virtual bool WaitForProcess(pid_t pid) {
        bool bEnded = false;
        auto Reaped = [pid, &bEnded] {
            int nStatus = 0;
            pid_t rc = -1;
            do {
                rc = ::waitpid(pid, &nStatus, WNOHANG);
            } while (rc < 0 && errno == EINTR);
            bEnded = bEnded || rc == pid || rc < 0;
            return bEnded;
        };
        while (!Reaped()) {
            if (IsStopped()) return false;
            (void)PumpUntil(Reaped, std::chrono::milliseconds(10));
        }
        return true;
    }

    // Publishes the hidden window; fnOnClose runs on each Close. Dropping
    // the handle removes the window. Throws mcBusExc when it cannot be
    // published.
    virtual std::shared_ptr<void> AddWindow(std::function<void()> fnOnClose) = 0;
};

template <class F>
auto IComponentMgrApartment::Invoke(F&& f) -> std::invoke_result_t<std::decay_t<F>&> {
    using Result = std::invoke_result_t<std::decay_t<F>&>;
    if constexpr (std::is_void_v<Result>) {
        RunOnMain([&f] { f(); });
    } else {
        std::optional<Result> result;
        RunOnMain([&f, &result] { result.emplace(f()); });
        return std::move(*result);
    }
}
