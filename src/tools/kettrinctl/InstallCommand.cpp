// kettrinctl install, uninstall, client-installed, client-uninstalled: the
// install-side operations and the client lifecycle. The waiting commands
// export a callback object on their own connection and follow the work: one
// progress display through the download (when one is needed) and the
// install, then the outcome.
//
// Exit codes: 0 done, 1 S_FALSE (nothing started; the reason is printed),
// 2 usage, 3 failed call or no service, 4 the download, install or an
// uninstall failed (its text is printed).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>

#include "bus/mcBusConnection.h"
#include "tools/kettrinctl/CtlClientSupport.h"
#include "tools/kettrinctl/CtlInterruptScope.h"
#include "tools/kettrinctl/CtlProgressLine.h"

namespace kettrinctl {
namespace {

using svc::ParsedArgs;
using namespace std::chrono_literals;

constexpr int kExitWorkFailed = 4;
constexpr const char* kAsync = "--async";
constexpr auto kPumpSlice = 100ms;
// A synchronous ClientUninstalled waits for every uninstaller it runs.
constexpr auto kLifecycleTimeout = std::chrono::hours(1);
// --async: the uninstalls run after the answer; the command follows them
// until none has reported for this long.
constexpr auto kAsyncQuietWait = 5s;

// What the service told the callback object.
class InstallWatcher : public IComponentMgrCallback {
public:
    struct Completion {
        std::string strComponent;
        bool bSuccess = false;
        std::string strText;
    };

    explicit InstallWatcher(bool bShow) : m_progress(bShow) {}

    HRESULT OnDownloadProgress(const std::string& strComponent, std::int32_t nPercent) override {
        m_tpLast = std::chrono::steady_clock::now();
        // Progress sent just before the install began may arrive after it.
        if (!m_bInstalling) m_progress.Show(strComponent, "downloading", nPercent);
        return S_OK;
    }
    HRESULT OnDownloadFailed(const std::string& strComponent, std::int32_t, const std::string& strText) override {
        m_tpLast = std::chrono::steady_clock::now();
        m_progress.EndLine();
        m_bDownloadFailed = true;
        m_vecInstalls.push_back({strComponent, false, strText.empty() ? "the download failed" : strText});
        return S_OK;
    }
    HRESULT OnDownloadComplete(const std::string&) override { return S_OK; }
    HRESULT OnInstallComplete(const std::string& strComponent, bool bSuccess, const std::string& strText) override {
        m_tpLast = std::chrono::steady_clock::now();
        m_progress.EndLine();
        m_vecInstalls.push_back({strComponent, bSuccess, strText});
        return S_OK;
    }
    HRESULT OnUninstallComplete(const std::string& strComponent, bool bSuccess, const std::string& strText) override {
        m_tpLast = std::chrono::steady_clock::now();
        m_vecUninstalls.push_back({strComponent, bSuccess, strText});
        svc::Out() << strComponent << ": " << (bSuccess ? "uninstalled" : "uninstall failed")
                   << (strText.empty() ? "" : ": " + strText) << "\n"
                   << std::flush;
        return S_OK;
    }

    // The download ends and the install begins: the display says so.
    void ShowInstalling(const std::string& strComponent) {
        m_bInstalling = true;
        m_progress.Show(strComponent, "installing", 100);
    }
    bool Installing() const { return m_bInstalling; }

    const std::vector<Completion>& Installs() const { return m_vecInstalls; }
    const std::vector<Completion>& Uninstalls() const { return m_vecUninstalls; }
    bool DownloadFailed() const { return m_bDownloadFailed; }
    std::chrono::steady_clock::time_point LastHeard() const { return m_tpLast; }

private:
    CtlProgressLine m_progress;
    bool m_bInstalling = false;
    bool m_bDownloadFailed = false;
    std::vector<Completion> m_vecInstalls;
    std::vector<Completion> m_vecUninstalls;
    std::chrono::steady_clock::time_point m_tpLast = std::chrono::steady_clock::now();
};

// Serves the callback until fnDone holds, running fnSlice (when given) before
// each pump slice; false when the connection is lost.
bool Follow(mcComponentMgrClient& client, const std::function<bool()>& fnDone,
            const std::function<void()>& fnSlice = {}) {
    while (!fnDone()) {
        if (fnSlice) fnSlice();
        if (!client.PumpUntil(fnDone, kPumpSlice) && !client.Connection().IsOpen()) return false;
    }
    return true;
}

int Report(const char* pszCommand, const char* pszDone, const char* pszFailed,
           const InstallWatcher::Completion& completion) {
    if (completion.bSuccess) {
        svc::Out() << completion.strComponent << ": " << pszDone << "\n";
        PrintOutcomeJson(pszCommand, completion.strComponent, pszDone, completion.strText);
        return kExitOk;
    }
    PrintError(pszCommand,
               "the " + std::string(pszFailed) + " of " + completion.strComponent + " failed" +
                   (completion.strText.empty() ? std::string(" (the service log says why)") : ": " + completion.strText));
    PrintOutcomeJson(pszCommand, completion.strComponent, "failed", completion.strText);
    return kExitWorkFailed;
}

// ------------------------------------------------------------ install, uninstall

constexpr const char* kInstallUsage =
    "usage: kettrinctl install CLIENT MANIFEST COMPONENT\n"
    "\n"
    "Installs COMPONENT of MANIFEST for CLIENT (StartComponentInstall): downloads\n"
    "it first when it is not here, runs its installer and follows both with one\n"
    "progress display (a redrawn bar on a terminal, a line per step otherwise).\n"
    "A component installed for another client is only recorded for CLIENT.\n"
    "Exit: 0 installed, 1 nothing started (already installed at the manifest's\n"
    "version, unknown manifest, an install already running, offline), 4 the\n"
    "download or the install failed (its text is printed). Ctrl-C cancels the\n"
    "download (CancelDownload); an installer already running is not stopped.\n"
    "With --json: {\"command\",\"component\",\"result\",\"text\"} at the end.\n"
    "\n";

constexpr const char* kUninstallUsage =
    "usage: kettrinctl uninstall CLIENT MANIFEST COMPONENT\n"
    "\n"
    "Uninstalls COMPONENT for CLIENT (StartComponentUninstall) and waits for the\n"
    "outcome. When other clients still use it, CLIENT only lets go of it.\n"
    "Exit: 0 uninstalled (or let go), 1 not installed for CLIENT, 4 the\n"
    "uninstall failed (its text is printed).\n"
    "With --json: {\"command\",\"component\",\"result\",\"text\"} at the end.\n"
    "\n";

int RunInstall(const std::vector<std::string>& args) {
    return svc::RunServiceCommand(
        "install", kInstallUsage, args, {}, 3, [](mcComponentMgrClient& client, const ParsedArgs& parsed) {
            const std::string& strComponent = parsed.positional[2];
            auto pWatcher = std::make_shared<InstallWatcher>(CtlProgressLine::ShownByOptions());
            const std::string strPath = client.ExportCallback(pWatcher);
            const HRESULT hr =
                client.StartComponentInstall(parsed.positional[0], parsed.positional[1], strComponent, strPath);
            if (FAILED(hr)) return svc::ExitFor("install", hr, client);
            if (hr != S_OK) {
                const char* pszText =
                    "nothing started: already installed at the manifest's version, an unknown manifest or\n"
                    "component, an install already running, or the machine is offline (the service log says which)";
                svc::Out() << pszText << "\n";
                PrintOutcomeJson("install", strComponent, "not-started", pszText);
                return kExitNo;
            }
            // No callback marks the start of the install (after a download
            // the service queues it itself), so the display asks whether the
            // install job is queued until it is.
            const auto fnPhase = [&] {
                if (!CtlProgressLine::ShownByOptions() || pWatcher->Installing()) return;
                bool bRunning = false;
                if (client.IsComponentInstallRunning(parsed.positional[0], parsed.positional[1], strComponent,
                                                     bRunning) == S_OK &&
                    bRunning) {
                    pWatcher->ShowInstalling(strComponent);
                }
            };
            // The first Ctrl-C cancels the download (an installer already
            // running is not stopped); a second one gives up waiting.
            CtlInterruptScope interrupts;
            bool bCancelAsked = false;
            bool bGaveUp = false;
            const auto fnSlice = [&] {
                if (CtlInterruptScope::Count() > 1) {
                    bGaveUp = true;
                    return;
                }
                if (CtlInterruptScope::Count() > 0 && !bCancelAsked) {
                    bCancelAsked = true;
                    svc::Out() << "\ncancelling...\n" << std::flush;
                    if (client.CancelDownload(parsed.positional[0], strComponent) != S_OK) {
                        svc::Out() << "no download to cancel; the installer runs to its end\n" << std::flush;
                    }
                }
                fnPhase();
            };
            if (!Follow(client, [&] { return bGaveUp || !pWatcher->Installs().empty(); }, fnSlice)) {
                PrintError("install", "lost the connection to the bus");
                return kExitFailed;
            }
            if (bGaveUp) {
                PrintError("install", "stopped waiting; the install may still be running");
                return kExitFailed;
            }
            return Report("install", "installed", pWatcher->DownloadFailed() ? "download" : "install",
                          pWatcher->Installs().front());
        });
}

int RunUninstall(const std::vector<std::string>& args) {
    return svc::RunServiceCommand(
        "uninstall", kUninstallUsage, args, {}, 3, [](mcComponentMgrClient& client, const ParsedArgs& parsed) {
            const std::string& strComponent = parsed.positional[2];
            auto pWatcher = std::make_shared<InstallWatcher>(false);
            const std::string strPath = client.ExportCallback(pWatcher);
            const HRESULT hr =
                client.StartComponentUninstall(parsed.positional[0], parsed.positional[1], strComponent, strPath);
            if (FAILED(hr)) return svc::ExitFor("uninstall", hr, client);
            if (hr != S_OK) {
                svc::Out() << "nothing started: " << strComponent << " is not installed for " << parsed.positional[0]
                           << "\n";
                PrintOutcomeJson("uninstall", strComponent, "not-started", std::string());
                return kExitNo;
            }
            if (!Follow(client, [&] { return !pWatcher->Uninstalls().empty(); })) {
                PrintError("uninstall", "lost the connection to the bus");
                return kExitFailed;
            }
            const InstallWatcher::Completion& completion = pWatcher->Uninstalls().front();
            if (!completion.bSuccess) return Report("uninstall", "uninstalled", "uninstall", completion);
            PrintOutcomeJson("uninstall", completion.strComponent, "uninstalled", completion.strText);
            return kExitOk;
        });
}

// ------------------------------------------------------------ client lifecycle

constexpr const char* kClientInstalledUsage =
    "usage: kettrinctl client-installed NAME VERSION OEM LANG\n"
    "\n"
    "Registers a client application with the component manager (ClientInstalled);\n"
    "registering again replaces VERSION, OEM and LANG.\n"
    "\n";

constexpr const char* kClientUninstalledUsage =
    "usage: kettrinctl client-uninstalled [--async] NAME\n"
    "\n"
    "Unregisters a client (ClientUninstalled) and prints each component uninstall\n"
    "the service reports (OnUninstallComplete) while it works: components whose\n"
    "manifest says the component manager removes them are uninstalled before the\n"
    "service answers. With --async the uninstalls are queued\n"
    "(ClientUninstalled_Asynchronous) and followed until none has reported for 5 s.\n"
    "Exit: 0 done, 1 S_FALSE (an unknown manifest ended the walk), 4 an uninstall\n"
    "failed.\n"
    "With --json: {\"client\",\"result\",\"uninstalls\":[{\"component\",\"success\",\"text\"}]}.\n"
    "\n";

int RunClientInstalled(const std::vector<std::string>& args) {
    return svc::RunServiceCommand("client-installed", kClientInstalledUsage, args, {}, 4,
                                  [](mcComponentMgrClient& client, const ParsedArgs& parsed) {
                                      const auto& p = parsed.positional;
                                      const HRESULT hr = client.ClientInstalled(p[0], p[1], p[2], p[3]);
                                      if (hr == S_OK) svc::Out() << p[0] << ": registered\n";
                                      if (CtlOptions::Current().bJson && SUCCEEDED(hr)) {
                                          PrintJson(CtlJson::MakeObject({{"client", p[0]}, {"registered", hr == S_OK}}));
                                      }
                                      return svc::ExitFor("client-installed", hr, client);
                                  });
}

int RunClientUninstalled(const std::vector<std::string>& argsIn) {
    std::vector<std::string> args = argsIn;
    const auto itAsync = std::find(args.begin(), args.end(), kAsync);
    const bool bAsync = itAsync != args.end();
    if (bAsync) args.erase(itAsync);
    if (WantsHelp(args)) {
        std::cout << kClientUninstalledUsage << svc::kBusOptionHelp;
        return kExitOk;
    }
    ParsedArgs parsed;
    if (!svc::ParseArgs("client-uninstalled", args, {}, 1, parsed)) {
        std::cerr << kClientUninstalledUsage << svc::kBusOptionHelp;
        return kExitUsage;
    }
    mcComponentMgrClient::Options options = CtlOptions::Current().ClientOptions();
    options.timeout = kLifecycleTimeout;
    std::unique_ptr<mcComponentMgrClient> pClient;
    try {
        pClient = std::make_unique<mcComponentMgrClient>(options);
    } catch (const mcExc& exc) {
        PrintBusFailure("client-uninstalled", CtlOptions::Current().BusDescription(), exc.Description());
        return kExitFailed;
    }
    mcComponentMgrClient& client = *pClient;
    try {
        const std::string& strClient = parsed.positional[0];
        auto pWatcher = std::make_shared<InstallWatcher>(false);
        const std::string strPath = client.ExportCallback(pWatcher);
        // The synchronous form's callbacks are served while the call waits.
        const HRESULT hr = bAsync ? client.ClientUninstalled_Asynchronous(strClient, strPath)
                                  : client.ClientUninstalled(strClient, strPath);
        if (FAILED(hr)) return svc::ExitFor("client-uninstalled", hr, client);
        if (bAsync) {
            (void)Follow(client, [&] { return std::chrono::steady_clock::now() - pWatcher->LastHeard() > kAsyncQuietWait; });
        } else {
            // Calls sent just before the answer may still be on their way.
            (void)client.PumpUntil([] { return false; }, 200ms);
        }
        bool bFailed = false;
        CtlJson::Array vecUninstalls;
        for (const InstallWatcher::Completion& c : pWatcher->Uninstalls()) {
            bFailed = bFailed || !c.bSuccess;
            vecUninstalls.push_back(CtlJson::MakeObject(
                {{"component", c.strComponent}, {"success", c.bSuccess}, {"text", c.strText}}));
        }
        if (hr == S_OK) svc::Out() << strClient << ": unregistered\n";
        if (hr == S_FALSE) svc::Out() << strClient << ": unregistered; an unknown manifest ended the walk (see the service log)\n";
        if (CtlOptions::Current().bJson) {
            PrintJson(CtlJson::MakeObject({{"client", strClient},
                                           {"result", hr == S_OK ? "done" : "stopped"},
                                           {"uninstalls", CtlJson(CtlJson::Array(std::move(vecUninstalls)))}}));
        }
        if (bFailed) {
            PrintError("client-uninstalled", "an uninstall failed");
            return kExitWorkFailed;
        }
        return svc::ExitFor("client-uninstalled", hr, client);
    } catch (const mcExc& exc) {
        PrintError("client-uninstalled", "the call failed", exc.Description());
        return kExitFailed;
    }
}

}  // namespace

KETTRINCTL_COMMAND("install", "install a component, downloading it first when needed (StartComponentInstall)",
                   RunInstall);
KETTRINCTL_COMMAND("uninstall", "uninstall a component (StartComponentUninstall)", RunUninstall);
KETTRINCTL_COMMAND("client-installed", "register a client application (ClientInstalled)", RunClientInstalled);
KETTRINCTL_COMMAND("client-uninstalled", "unregister a client and handle its components (ClientUninstalled)",
                   RunClientUninstalled);

}  // namespace kettrinctl
