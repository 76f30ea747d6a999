// Kettrin: the component manager's server program.
//
//   Kettrin /RegServer     write the registration (registry, activation file)
//   Kettrin -UnregServer   remove it
//   Kettrin [--session]    serve (normally started by bus activation)
//   Kettrin --help         usage; --version: the version (neither touches the bus)
//
// The exit code of the registration switches is the HRESULT of their last
// step. SIGTERM, SIGINT and SIGHUP end a running server the orderly way: the
// calls queued to it are served and the object is released.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <clocale>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "KettrinVersion.h"
#include "contract/ComponentMgrIfc.h"
#include "base/FileUtils.h"
#include "base/mcCMLog.h"
#include "registry/RegistryDatabase.h"
#include "registry/mcCMUtils.h"
#include "service/ServerCommandLine.h"
#include "service/ServerRegistration.h"
#include "service/mcComponentMgrServer.h"
#include "service/mcCrashReportHook.h"

namespace {

// Waits for the stop signals on a thread of its own and hands them to the
// server; ends when the program tells it to (SIGUSR2 after the flag).
class StopSignalThread {
public:
    explicit StopSignalThread(mcComponentMgrServer& server) : m_server(server) {
        sigemptyset(&m_signals);
        for (const int nSignal : {SIGTERM, SIGINT, SIGHUP, SIGUSR2}) sigaddset(&m_signals, nSignal);
        // Blocked before any other thread starts, so every thread inherits it.
        pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
        m_thread = std::thread([this] { PrvRun(); });
    }
    ~StopSignalThread() {
        m_bDone = true;
        pthread_kill(m_thread.native_handle(), SIGUSR2);
        m_thread.join();
    }

private:
    void PrvRun() {
        for (;;) {
            int nSignal = 0;
            if (sigwait(&m_signals, &nSignal) != 0) continue;
            if (m_bDone) return;
            if (nSignal != SIGUSR2) m_server.RequestStop();
        }
    }

    mcComponentMgrServer& m_server;
    sigset_t m_signals{};
    std::atomic<bool> m_bDone{false};
    std::thread m_thread;
};

constexpr const char* kUsage =
    "usage: Kettrin [--session]      serve the component manager on the bus\n"
    "       Kettrin /RegServer      register: registry keys and the bus activation file\n"
    "       Kettrin /UnregServer    remove the registration\n"
    "       Kettrin --help | --version\n"
    "\n"
    "The service is normally started by the bus when a client first calls it and\n"
    "ends a few seconds after its last client. Switches may start with \"/\" or \"-\"\n"
    "and ignore case; other switches are skipped. The bus is $DBUS_STARTER_ADDRESS\n"
    "when the bus started it, else $KETTRIN_BUS_ADDRESS, else the session bus with\n"
    "--session, else the system bus. 'kettrinctl status' tells whether it runs.\n";

int ExitCodeOf(HRESULT hr, const char* pszSwitch) {
    if (FAILED(hr)) {
        std::fprintf(stderr, "Kettrin: %s failed with HRESULT %s\n", pszSwitch, cmifc::FormatHResult(hr).c_str());
    }
    return static_cast<int>(hr);
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    // A reader that went away (standard error of an ended session) must not
    // end the server; the programs it starts get the default back.
    ::signal(SIGPIPE, SIG_IGN);
    const msServerCommandLine commandLine =
        mfParseServerCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (commandLine.action == mcServerAction::kHelp) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (commandLine.action == mcServerAction::kVersion) {
        std::printf("Kettrin %s\n", KETTRIN_VERSION_TEXT);
        return 0;
    }
    mcServiceConfig config = mcServiceConfig::FromEnvironment(commandLine.bSessionBus);

    if (commandLine.action != mcServerAction::kRunServer) {
        // The log lives in the application folder, which may be new.
        const std::string strAppFolder = mcCMUtils::GetAppPath();
        (void)mfCreateDirectories(strAppFolder);
        mcCMLog::Instance().Open(strAppFolder);
        if (commandLine.action == mcServerAction::kRegServer) {
            return ExitCodeOf(svcreg::mfRegisterServer(config), kSwitchRegServer);
        }
        return ExitCodeOf(svcreg::mfUnregisterServer(config), kSwitchUnregServer);
    }

    // Crash reports go beside the program, or to the application folder when
    // the program's folder is read-only.
    if (!config.strRegistryPath.empty()) core::registry::db::SetDatabasePathOverride(config.strRegistryPath);
    mcCrashReporter::Config crashConfig;
    crashConfig.strAppFolder = config.strAppFolder.empty() ? mcCMUtils::GetAppPath() : config.strAppFolder;
    mcCrashReportHook crashHook(crashConfig);
    mcComponentMgrServer server(std::move(config), &crashHook);
    StopSignalThread stopSignals(server);
    return server.Run();
}
