// kettrinctl status, clear-tasks, close, watch: the running component manager
// service.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <memory>
#include <thread>

#include "tools/kettrinctl/CtlClientSupport.h"
#include "client/mcComponentMgrClient.h"
#include "contract/ComponentMgrIfc.h"
#include "bus/mcBusDispatcher.h"
#include "base/mcExc.h"

namespace kettrinctl {
namespace {

constexpr const char* kBusHelp =
    "Global options: --system, --session, --address ADDR (default:\n"
    "$KETTRIN_BUS_ADDRESS, else the system bus), --json, --quiet, --verbose.\n";

// Runs a command of the group: --help, no arguments, client, body.
int RunWithClient(const char* pszCommand, const char* pszUsage, const std::vector<std::string>& args,
                  bool bAutoStart, const std::function<int(mcComponentMgrClient&)>& body) {
    if (WantsHelp(args)) {
        std::cout << pszUsage << kBusHelp;
        return kExitOk;
    }
    if (!args.empty()) {
        PrintError(pszCommand, "unexpected argument '" + args.front() + "'");
        std::cerr << pszUsage << kBusHelp;
        return kExitUsage;
    }
    std::unique_ptr<mcComponentMgrClient> pClient = svc::OpenClient(pszCommand, bAutoStart);
    if (!pClient) return kExitFailed;
    try {
        return body(*pClient);
    } catch (const mcExc& exc) {
        PrintError(pszCommand, "the call failed", exc.Description());
        return kExitFailed;
    }
}

// ------------------------------------------------------------ status

constexpr const char* kStatusUsage =
    "usage: kettrinctl status\n"
    "\n"
    "Tells whether the component manager service is running, which connection\n"
    "owns its bus name and the title of its window. Never starts the service.\n"
    "Exit code 0 running, 1 not running, 3 the bus cannot be asked.\n"
    "With --json: {\"name\",\"running\",\"owner\",\"window\"}.\n"
    "\n";

int RunStatus(const std::vector<std::string>& args) {
    return RunWithClient("status", kStatusUsage, args, false, [](mcComponentMgrClient& client) {
        std::string strOwner;
        HRESULT hr = client.GetServiceOwner(strOwner);
        if (FAILED(hr)) return svc::ExitFor("status", hr, client);
        const bool bRunning = hr == S_OK;
        std::string strTitle;
        const HRESULT hrTitle = bRunning ? client.GetWindowTitle(strTitle) : E_FAIL;
        if (CtlOptions::Current().bJson) {
            PrintJson(CtlJson::MakeObject({{"name", cmifc::kBusName},
                                           {"running", bRunning},
                                           {"owner", CtlJson::StringOrNull(bRunning, strOwner)},
                                           {"window", CtlJson::StringOrNull(SUCCEEDED(hrTitle), strTitle)}}));
        }
        if (!bRunning) {
            svc::Out() << cmifc::kBusName << ": not running\n";
            return kExitNo;
        }
        svc::Out() << cmifc::kBusName << ": running\n"
                   << "owner: " << strOwner << "\n"
                   << "window: " << (SUCCEEDED(hrTitle) ? strTitle : std::string("(none)")) << "\n";
        return kExitOk;
    });
}

// ------------------------------------------------------------ clear-tasks

constexpr const char* kClearTasksUsage =
    "usage: kettrinctl clear-tasks\n"
    "\n"
    "Asks the service to drop every queued download, install and uninstall\n"
    "(ClearTasks); no further job runs in the running service. Starts the service\n"
    "when it is not running. Exit code 0 S_OK, 1 S_FALSE, 3 failure.\n"
    "\n";

int RunClearTasks(const std::vector<std::string>& args) {
    return RunWithClient("clear-tasks", kClearTasksUsage, args, true,
                         [](mcComponentMgrClient& client) { return svc::ExitFor("clear-tasks", client.ClearTasks(), client); });
}

// ------------------------------------------------------------ close

constexpr const char* kCloseUsage =
    "usage: kettrinctl close\n"
    "\n"
    "Sends Close to the service's window: the service flushes its job queues and\n"
    "keeps running. Never starts the service. Exit code 0 done, 3 failure (also\n"
    "when the service is not running).\n"
    "\n";

int RunClose(const std::vector<std::string>& args) {
    return RunWithClient("close", kCloseUsage, args, false,
                         [](mcComponentMgrClient& client) { return svc::ExitFor("close", client.CloseWindow(), client); });
}

// ------------------------------------------------------------ watch

constexpr const char* kWatchUsage =
    "usage: kettrinctl watch\n"
    "\n"
    "Registers a notification sink with the service and prints\n"
    "\"manifest updated: NAME\" for every manifest it replaces, until interrupted\n"
    "(SIGINT or SIGTERM); then unregisters. Exit code 0 after a clean\n"
    "unregistration, 3 when a call fails or the service ends meanwhile.\n"
    "With --json: one object a line, {\"event\":\"manifest-updated\",\"manifest\"}.\n"
    "\n";

class PrintingSink : public IComponentMgrNotify {
public:
    HRESULT OnManifestUpdated(const std::string& strManifest) override {
        if (CtlOptions::Current().bJson) {
            PrintJson(CtlJson::MakeObject({{"event", "manifest-updated"}, {"manifest", strManifest}}));
        } else if (!CtlOptions::Current().bQuiet) {
            std::cout << "manifest updated: " << strManifest << std::endl;
        }
        return S_OK;
    }
};

// Turns SIGINT and SIGTERM into a flag and a wake-up of the dispatcher.
class InterruptWatcher {
public:
    explicit InterruptWatcher(mcBusDispatcher& dispatcher) : m_dispatcher(dispatcher) {
        sigemptyset(&m_signals);
        for (const int nSignal : {SIGINT, SIGTERM, SIGUSR2}) sigaddset(&m_signals, nSignal);
        pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
        m_thread = std::thread([this] {
            for (;;) {
                int nSignal = 0;
                if (sigwait(&m_signals, &nSignal) != 0) continue;
                if (m_bDone) return;
                if (nSignal == SIGUSR2) continue;
                m_bInterrupted = true;
                m_dispatcher.Post([] {});
            }
        });
    }
    ~InterruptWatcher() {
        m_bDone = true;
        pthread_kill(m_thread.native_handle(), SIGUSR2);
        m_thread.join();
    }
    bool Interrupted() const { return m_bInterrupted; }

private:
    mcBusDispatcher& m_dispatcher;
    sigset_t m_signals{};
    std::atomic<bool> m_bInterrupted{false};
    std::atomic<bool> m_bDone{false};
    std::thread m_thread;
};

int RunWatch(const std::vector<std::string>& args) {
    return RunWithClient("watch", kWatchUsage, args, true, [](mcComponentMgrClient& client) {
        InterruptWatcher interrupts(client.Dispatcher());
        // The registration lives in the server that holds our sink: when its
        // owner goes, the watch is over. The watch is in place before we
        // register, so an end that follows at once cannot go unseen.
        bool bServiceGone = false;
        std::string strOwner;
        client.Dispatcher().WatchNameOwnerChanged(
            [&](const std::string&, const std::string&, const std::string& strNew) {
                if (strNew.empty() || (!strOwner.empty() && strNew != strOwner)) bServiceGone = true;
            },
            cmifc::kBusName);
        const std::string strPath = client.ExportNotifySink(std::make_shared<PrintingSink>());
        std::uint32_t nCookie = 0;
        HRESULT hr = client.Register(strPath, nCookie);
        if (hr != S_OK) return svc::ExitFor("watch", FAILED(hr) ? hr : E_FAIL, client);
        if (client.GetServiceOwner(strOwner) != S_OK || bServiceGone) {
            if (bServiceGone) PrintError("watch", "the component manager has ended");
            return bServiceGone ? kExitFailed : svc::ExitFor("watch", E_FAIL, client);
        }
        if (!CtlOptions::Current().bQuiet) {
            std::cerr << "kettrinctl watch: registered with cookie " << nCookie
                      << "; waiting for manifest updates (interrupt to end)\n";
        }
        client.PumpUntil([&] { return interrupts.Interrupted() || bServiceGone; });
        if (bServiceGone) {
            PrintError("watch", "the component manager has ended");
            return kExitFailed;
        }
        hr = client.Unregister(nCookie);
        return svc::ExitFor("watch", hr, client);
    });
}

}  // namespace

KETTRINCTL_COMMAND("status", "is the component manager service running? (owner, window)", RunStatus);
KETTRINCTL_COMMAND("clear-tasks", "drop the service's queued downloads and installs", RunClearTasks);
KETTRINCTL_COMMAND("close", "send Close to the service's window (flushes the job queues)", RunClose);
KETTRINCTL_COMMAND("watch", "print the service's manifest updates until interrupted", RunWatch);

}  // namespace kettrinctl
