#pragma once
// What the install and uninstall jobs share: how an installer program is
// started and waited for, how the client hears the outcome, and the outside
// effects a caller may replace (tests, and the uninstall that the main thread
// runs at once, which must keep serving the bus while it waits).
//
// An installer starts with a clean environment - a fixed PATH, the locale
// (LANG, LC_ALL, LANGUAGE as ours), KETTRIN_BUS_ADDRESS naming the service's
// own bus and KETTRIN_REGISTRY when ours is set - and with standard input,
// output and error only (no other descriptor of ours), so that its report
// reaches the service that started it and nothing of ours leaks into it.
//
// Threads: every function runs on the calling thread; Settings is a plain
// value, copied into each job.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "jobs/mcClientCallback.h"

struct mcQoSEvent;

class mcInstallerProcess {
public:
    // Waits until the child pid has ended and reaps it; false when the wait
    // failed (the child is then not ours or already gone).
    using Waiter = std::function<bool(pid_t pid)>;
    // Tells the client: pszMember is "OnInstallComplete" or
    // "OnUninstallComplete", with (component, success, text).
    using Notifier = std::function<void(const mcClientCallback& callback, const char* pszMember,
                                        const std::string& strComponent, bool bSuccess, const std::string& strText)>;
    using EventSender = std::function<bool(const mcQoSEvent& event)>;

    static constexpr const char* kPath = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    static constexpr const char* kBusAddressVariable = "KETTRIN_BUS_ADDRESS";
    static constexpr const char* kRegistryVariable = "KETTRIN_REGISTRY";
    static constexpr const char* kOnInstallComplete = "OnInstallComplete";
    static constexpr const char* kOnUninstallComplete = "OnUninstallComplete";

    struct Settings {
        // Where packages are; empty: the store's holding area, or
        // mcCMUtils::GetHoldingArea() without store.
        std::string strHoldingArea;
        // The package installer; empty: mcCMUtils::GetTIPath() when the job runs.
        std::string strTIPath;
        // The bus the installers report on (KETTRIN_BUS_ADDRESS); empty: left out.
        std::string strBusAddress;
        // Empty: the service's event sender (SendQoSEvent).
        EventSender fnSendEvent;
        // Empty: WaitOnThisThread.
        Waiter fnWait;
        // Empty: the calling worker thread's own bus connection
        // (mcClientCallbackSender::ForWorkerThread), flushed after the call.
        Notifier fnNotify;
    };

    // The environment an installer gets (see above).
    static std::vector<std::string> CleanEnvironment(const std::string& strBusAddress);

    // Starts "application" with the argument string as mfCreateProcess does,
    // in strWorkingFolder (empty: ours), with the clean environment. True and
    // pid on success; false with the thread's last error set to the Windows
    // number of the failure (2 no such program, 5 no permission, 193 not an
    // executable format, ...).
    static bool Start(const Settings& settings, const std::string& strApplication, const std::string& strArguments,
                      const std::string& strWorkingFolder, pid_t& pid);

    // settings.fnWait, or WaitOnThisThread.
    static bool Wait(const Settings& settings, pid_t pid);
    // Blocks the calling thread on a pidfd until pid ends, then reaps it;
    // without pidfds, a plain waitpid.
    static bool WaitOnThisThread(pid_t pid);

    // settings.fnNotify, or the worker connection's sender. Nothing for an
    // empty callback.
    static void Notify(const Settings& settings, const mcClientCallback& callback, const char* pszMember,
                       const std::string& strComponent, bool bSuccess, const std::string& strText);

    // settings.fnSendEvent, or SendQoSEvent.
    static void SendEvent(const Settings& settings, const mcQoSEvent& event);
};
