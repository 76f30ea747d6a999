#pragma once
// The server process: serves the component manager object on the bus under
// the name "ComponentMgr.ComponentMgrObj" until nobody needs it any more.
//
// Start (Run): the registry location, the application folder (created with
// its parents when missing, before the log opens), the log and the trace
// sources; the bus connection and the main-thread dispatcher; the
// NameOwnerChanged watch (in force before the name is taken, so that no
// client's departure is missed); the object and its method table; then the
// name. When another connection owns the name, the server ends at once with
// exit code 0 and without building the object. Otherwise FinalConstruct runs
// and the main loop serves.
//
// Lifetime (mcServerLifetime): the server ends the shut-down delay after the
// last reference has gone. It then gives up its bus name with a call whose
// reply comes after every call the bus routed to it before the release, so
// those calls are served while it waits; it keeps serving during the pause
// after the loop. If any call arrived meanwhile (or a job took a reference),
// it takes the name back and carries on; when another instance has taken the
// name by then, that one serves the newcomers and this one ends. Otherwise
// FinalRelease runs and Run returns. A fault (terminate handler),
// RequestStop() or the loss of the bus end the loop at once.
//
// Threads: Run makes the calling thread the main thread: the dispatcher, the
// object and every incoming call live there. RequestStop may be called from
// any thread (a signal-waiting thread, say). The engines' workers reach the
// server through the host functions (references, faults).
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "service/ICrashReportHook.h"
#include "service/IComponentMgrHost.h"
#include "service/mcServiceConfig.h"

class mcBusConnection;
class mcBusDispatcher;
class mcComponentMgrBusBinding;
class mcDefaultCrashReportHook;
class mcDispatcherApartment;
class mcCallerAuthorizer;
class mcServerLifetime;
class moComponentMgr;

class mcComponentMgrServer : private IComponentMgrHost {
public:
    // Exit code when the bus cannot be reached (the platform's "COM could not
    // be initialised").
    static constexpr int kExitNoBus = -1;
    // Exit code when the registry file is there but is not a registry
    // database: the service does not start on fallback values.
    static constexpr int kExitBadRegistry = -2;

    enum class EndReason {
        kNone,          // still running, or never started
        kNameTaken,     // another instance owns the bus name
        kIdle,          // the shut-down delay passed without references
        kTerminated,    // the terminate handler ended the loop
        kStopRequested, // RequestStop()
        kDisconnected,  // the bus connection was lost
        kNoBus,         // the bus could not be reached
        kBadRegistry,   // the registry file is not a registry database
    };

    // pCrashHook null: mcDefaultCrashReportHook. A given hook must outlive
    // the server.
    explicit mcComponentMgrServer(mcServiceConfig config, ICrashReportHook* pCrashHook = nullptr);
    ~mcComponentMgrServer() override;
    mcComponentMgrServer(const mcComponentMgrServer&) = delete;
    mcComponentMgrServer& operator=(const mcComponentMgrServer&) = delete;

    // Serves until the server ends (see above) and returns the exit code: 0,
    // kExitNoBus or kExitBadRegistry. Call once.
    int Run();

    // Ends the main loop as soon as possible; the object is released as after
    // the delay. Any thread, also before Run (which then ends right after
    // FinalConstruct).
    void RequestStop();

    EndReason GetEndReason() const { return m_endReason.load(); }
    // The resolved configuration (application folder and bus address filled
    // in once Run has started).
    const mcServiceConfig& Config() const { return m_config; }

    // For tests and tools: runs on the main thread after the object and its
    // methods are registered, before the name is taken (extra objects and
    // methods may be registered on the dispatcher here).
    using StartHook = std::function<void(mcComponentMgrServer& server)>;
    void SetStartHook(StartHook hook) { m_startHook = std::move(hook); }
    // Valid on the main thread while Run runs.
    mcBusDispatcher& Dispatcher() { return *m_pDispatcher; }
    moComponentMgr& Object() { return *m_pObject; }
    mcServerLifetime& Lifetime() { return *m_pLifetime; }

private:
    // IComponentMgrHost
    ICrashReportHook::Verdict ReportFault(const std::string& strWhere,
                                          std::exception_ptr pException) noexcept override;
    void EndMainLoop() noexcept override;
    void Touch() override;
    bool AcquireJobReference() override;
    void ReleaseJobReference() override;
    std::string WorkerBusAddress() const override { return m_config.strBusAddress; }

    int PrvServe();
    // Sets the end reason unless a stronger one is set (idle is the weakest).
    void PrvSetEndReason(EndReason reason);
    // The idle path: gives up the name, drains, pauses; true when the server
    // carries on.
    bool PrvGiveUpName();
    bool PrvReleaseNameDraining();
    void PrvReleaseNameNow() noexcept;
    void PrvOnNameOwnerChanged(const std::string& strName, const std::string& strOldOwner,
                               const std::string& strNewOwner);

    mcServiceConfig m_config;
    std::unique_ptr<mcDefaultCrashReportHook> m_pDefaultCrashHook;
    ICrashReportHook* m_pCrashHook;
    StartHook m_startHook;
    std::atomic<EndReason> m_endReason{EndReason::kNone};
    std::atomic<bool> m_bStopRequested{false};
    bool m_bOwnsName = false;

    // Main-thread state, in construction order (destroyed in reverse).
    std::unique_ptr<mcBusConnection> m_pConnection;
    std::unique_ptr<mcBusDispatcher> m_pDispatcher;
    // Guards m_pQuitTarget: the dispatcher other threads may end.
    std::mutex m_mutexQuit;
    mcBusDispatcher* m_pQuitTarget = nullptr;
    std::unique_ptr<mcServerLifetime> m_pLifetime;
    std::unique_ptr<mcCallerAuthorizer> m_pAuthorizer;
    std::unique_ptr<mcDispatcherApartment> m_pApartment;
    std::unique_ptr<moComponentMgr> m_pObject;
    std::unique_ptr<mcComponentMgrBusBinding> m_pBinding;
};
