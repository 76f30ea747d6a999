// kettrinctl download, update, trigger, cancel, predownload: the download-side
// operations. The waiting commands export a callback object on their own
// connection, show progress, wait for the outcome and turn Ctrl-C into
// CancelDownload.
//
// Exit codes: 0 done, 1 S_FALSE (nothing started; the reason is printed),
// 2 usage, 3 failed call or no service, 4 the download failed (its text is
// printed).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>

#include "bus/mcBusConnection.h"
#include "tools/kettrinctl/CtlClientSupport.h"
#include "tools/kettrinctl/CtlInterruptScope.h"
#include "tools/kettrinctl/CtlProgressLine.h"

namespace kettrinctl {
namespace {

using svc::ParsedArgs;
using namespace std::chrono_literals;

constexpr int kExitDownloadFailed = 4;
constexpr const char* kNoWait = "--no-wait";
// How long the pump serves before looking at Ctrl-C again.
constexpr auto kPumpSlice = 100ms;
// After an answer that started nothing, how long an OnDownloadComplete sent
// just before it may still be on its way.
constexpr auto kLateCompleteWait = 200ms;
// An update answers S_OK also when nothing was newer: when no callback comes
// within this time after the answer, no download was started.
constexpr auto kUpdateQuietWait = 3s;

// What the service told the callback object.
class DownloadWatcher : public IComponentMgrCallback {
public:
    enum class Outcome { kWaiting, kComplete, kFailed };

    explicit DownloadWatcher(bool bShowProgress) : m_progress(bShowProgress) {}

    HRESULT OnDownloadProgress(const std::string& strComponent, std::int32_t nPercent) override {
        m_bHeard = true;
        m_strComponent = strComponent;
        m_progress.Show(strComponent, nullptr, nPercent);
        return S_OK;
    }
    HRESULT OnDownloadFailed(const std::string& strComponent, std::int32_t nError,
                             const std::string& strText) override {
        m_bHeard = true;
        m_strComponent = strComponent;
        m_nError = nError;
        m_strText = strText;
        m_eOutcome = Outcome::kFailed;
        m_progress.EndLine();
        return S_OK;
    }
    HRESULT OnDownloadComplete(const std::string& strComponent) override {
        m_bHeard = true;
        m_strComponent = strComponent;
        if (m_progress.Shown() && m_progress.Percent() < 100) m_progress.Show(strComponent, nullptr, 100);
        m_eOutcome = Outcome::kComplete;
        m_progress.EndLine();
        return S_OK;
    }
    HRESULT OnInstallComplete(const std::string&, bool, const std::string&) override { return S_OK; }
    HRESULT OnUninstallComplete(const std::string&, bool, const std::string&) override { return S_OK; }

    Outcome GetOutcome() const { return m_eOutcome; }
    bool Heard() const { return m_bHeard; }
    bool Shown() const { return m_progress.Shown(); }
    const std::string& Component() const { return m_strComponent; }
    const std::string& Text() const { return m_strText; }
    std::int32_t Error() const { return m_nError; }

private:
    CtlProgressLine m_progress;
    Outcome m_eOutcome = Outcome::kWaiting;
    bool m_bHeard = false;
    std::string m_strComponent;
    std::string m_strText;
    std::int32_t m_nError = 0;
};

// Takes "--no-wait" out of args.
bool TakeNoWait(std::vector<std::string>& args) {
    bool bFound = false;
    for (auto it = args.begin(); it != args.end();) {
        if (*it == kNoWait) {
            bFound = true;
            it = args.erase(it);
        } else {
            ++it;
        }
    }
    return bFound;
}

// Serves the callback until the download ends. The first Ctrl-C asks the
// service to cancel (and the wait goes on for the outcome); a second one
// gives up waiting.
int WaitForOutcome(const char* pszCommand, mcComponentMgrClient& client, const DownloadWatcher& watcher,
                   const std::string& strClient, const std::string& strComponent,
                   std::chrono::milliseconds quietLimit = std::chrono::milliseconds(0)) {
    bool bCancelAsked = false;
    const auto tpStart = std::chrono::steady_clock::now();
    while (watcher.GetOutcome() == DownloadWatcher::Outcome::kWaiting) {
        if (CtlInterruptScope::Count() > 0 && !bCancelAsked) {
            bCancelAsked = true;
            svc::Out() << (watcher.Shown() ? "\n" : "") << "cancelling...\n" << std::flush;
            const HRESULT hr = client.CancelDownload(strClient, strComponent);
            if (FAILED(hr)) {
                PrintError(pszCommand, "the download could not be cancelled", HResultText(hr), true);
                return kExitFailed;
            }
        }
        if (CtlInterruptScope::Count() > 1) {
            PrintError(pszCommand, "stopped waiting; the download may still be running");
            return kExitFailed;
        }
        if (quietLimit.count() > 0 && !watcher.Heard() && std::chrono::steady_clock::now() - tpStart > quietLimit) {
            svc::Out() << "no newer version to download\n";
            PrintOutcomeJson(pszCommand, strComponent, "not-started", std::string());
            return kExitNo;
        }
        if (!client.PumpUntil([&] { return watcher.GetOutcome() != DownloadWatcher::Outcome::kWaiting; },
                              kPumpSlice)) {
            if (!client.Connection().IsOpen()) {
                PrintError(pszCommand, "lost the connection to the bus");
                return kExitFailed;
            }
        }
    }
    const std::string strName = watcher.Component().empty() ? strComponent : watcher.Component();
    if (watcher.GetOutcome() == DownloadWatcher::Outcome::kComplete) {
        svc::Out() << strName << ": downloaded\n";
        PrintOutcomeJson(pszCommand, strName, "complete", std::string());
        return kExitOk;
    }
    PrintError(pszCommand,
               "the download of " + strName + " failed" +
                   (watcher.Text().empty() ? std::string(bCancelAsked ? " (cancelled)" : " (the service log says why)")
                                           : ": " + watcher.Text()),
               HResultText(watcher.Error()));
    PrintOutcomeJson(pszCommand, strName, "failed", watcher.Text());
    return kExitDownloadFailed;
}

// The answer S_FALSE: nothing was started. An OnDownloadComplete sent with it
// means the package is here already.
int NothingStarted(const char* pszCommand, mcComponentMgrClient& client, const DownloadWatcher& watcher,
                   const std::string& strComponent, const char* pszReason) {
    if (watcher.GetOutcome() != DownloadWatcher::Outcome::kComplete) {
        (void)client.PumpUntil([&] { return watcher.GetOutcome() == DownloadWatcher::Outcome::kComplete; },
                               kLateCompleteWait);
    }
    if (watcher.GetOutcome() == DownloadWatcher::Outcome::kComplete) {
        svc::Out() << strComponent << ": already downloaded\n";
        PrintOutcomeJson(pszCommand, strComponent, "already-downloaded", std::string());
    } else {
        svc::Out() << pszReason << "\n";
        PrintOutcomeJson(pszCommand, strComponent, "not-started", pszReason);
    }
    return kExitNo;
}

constexpr const char* kNotStartedReason =
    "nothing started: the component is up to date or unknown to the manifest, the\n"
    "machine is offline, or a package hash is required (the service log says which)";

// ------------------------------------------------------------ download, update

constexpr const char* kDownloadUsage =
    "usage: kettrinctl download [--no-wait] CLIENT MANIFEST COMPONENT\n"
    "\n"
    "Downloads COMPONENT of MANIFEST for CLIENT into the holding area\n"
    "(StartComponentDownload) and follows it: a progress bar on a terminal, a plain\n"
    "\"NN%\" line per step otherwise. Ctrl-C cancels the download (CancelDownload);\n"
    "a second Ctrl-C stops waiting. --no-wait returns after the service's answer.\n"
    "Exit: 0 downloaded (or started, with --no-wait), 1 nothing started (\"already\n"
    "downloaded\" when the package of the manifest's version is here), 4 the\n"
    "download failed (its text is printed).\n"
    "With --json: {\"command\",\"component\",\"result\",\"text\"} at the end.\n"
    "\n";

constexpr const char* kUpdateUsage =
    "usage: kettrinctl update [--no-wait] CLIENT MANIFEST COMPONENT\n"
    "\n"
    "Downloads the manifest's newer version of COMPONENT, which CLIENT owns\n"
    "(StartComponentUpdate), and follows it like download. The service answers\n"
    "S_OK also when nothing is newer; when no progress arrives within 3 s of the\n"
    "answer, nothing was started (exit 1). S_FALSE (exit 1): the manifest is\n"
    "unknown or CLIENT does not own COMPONENT.\n"
    "Exit: 0 downloaded, 1 nothing started, 4 the download failed.\n"
    "With --json: {\"command\",\"component\",\"result\",\"text\"} at the end.\n"
    "\n";

int RunStart(const char* pszCommand, const char* pszUsage, std::vector<std::string> args, bool bUpdate) {
    const bool bNoWait = TakeNoWait(args);
    return svc::RunServiceCommand(
        pszCommand, pszUsage, args, {}, 3, [&](mcComponentMgrClient& client, const ParsedArgs& parsed) {
            const std::string& strClient = parsed.positional[0];
            const std::string& strManifest = parsed.positional[1];
            const std::string& strComponent = parsed.positional[2];
            CtlInterruptScope interrupts;
            auto pWatcher = std::make_shared<DownloadWatcher>(CtlProgressLine::ShownByOptions());
            const std::string strPath = client.ExportCallback(pWatcher);
            const HRESULT hr = bUpdate ? client.StartComponentUpdate(strClient, strManifest, strComponent, strPath)
                                       : client.StartComponentDownload(strClient, strManifest, strComponent, strPath);
            if (FAILED(hr)) return svc::ExitFor(pszCommand, hr, client);
            if (hr != S_OK) {
                return NothingStarted(pszCommand, client, *pWatcher, strComponent,
                                      bUpdate ? "nothing started: the manifest is unknown or the client does not "
                                                "own the component"
                                              : kNotStartedReason);
            }
            if (bNoWait) {
                svc::Out() << (bUpdate ? "update requested\n" : "download started\n");
                PrintOutcomeJson(pszCommand, strComponent, "started", std::string());
                return kExitOk;
            }
            return WaitForOutcome(pszCommand, client, *pWatcher, strClient, strComponent,
                                  bUpdate ? std::chrono::milliseconds(kUpdateQuietWait) : 0ms);
        });
}

int RunDownload(const std::vector<std::string>& args) { return RunStart("download", kDownloadUsage, args, false); }
int RunUpdate(const std::vector<std::string>& args) { return RunStart("update", kUpdateUsage, args, true); }

// ------------------------------------------------------------ trigger

constexpr const char* kTriggerUsage =
    "usage: kettrinctl trigger [--no-wait] CLIENT MANIFEST\n"
    "\n"
    "Runs the client's periodic tasks (DoTriggerTasks): refreshes the manifests\n"
    "when due and starts the download of the first of CLIENT's components whose\n"
    "update is mandatory or automatic and newer than the installed version, then\n"
    "follows it like download.\n"
    "Exit: 0 an update was downloaded (or started, with --no-wait), 1 no update\n"
    "needed (or the manifest is unknown), 4 the download failed.\n"
    "With --json: {\"command\",\"component\",\"result\",\"text\"} at the end.\n"
    "\n";

int RunTrigger(const std::vector<std::string>& argsIn) {
    std::vector<std::string> args = argsIn;
    const bool bNoWait = TakeNoWait(args);
    return svc::RunServiceCommand(
        "trigger", kTriggerUsage, args, {}, 2, [&](mcComponentMgrClient& client, const ParsedArgs& parsed) {
            CtlInterruptScope interrupts;
            auto pWatcher = std::make_shared<DownloadWatcher>(CtlProgressLine::ShownByOptions());
            const std::string strPath = client.ExportCallback(pWatcher);
            bool bStarted = false;
            const HRESULT hr = client.DoTriggerTasks(parsed.positional[0], parsed.positional[1], strPath, bStarted);
            if (FAILED(hr)) return svc::ExitFor("trigger", hr, client);
            if (hr != S_OK || !bStarted) {
                const char* pszText = hr == S_OK ? "no updates needed" : "nothing started: the manifest is unknown";
                svc::Out() << pszText << "\n";
                PrintOutcomeJson("trigger", std::string(), "not-started", pszText);
                return kExitNo;
            }
            if (bNoWait) {
                svc::Out() << "update started\n";
                PrintOutcomeJson("trigger", std::string(), "started", std::string());
                return kExitOk;
            }
            return WaitForOutcome("trigger", client, *pWatcher, parsed.positional[0], std::string());
        });
}

// ------------------------------------------------------------ cancel

constexpr const char* kCancelUsage =
    "usage: kettrinctl cancel\n"
    "\n"
    "Cancels the download at the head of the service's download queue (the running\n"
    "one, or the next to run) with CancelDownload. Exit: 0 cancel requested, 1 no\n"
    "download queued.\n"
    "\n";

int RunCancel(const std::vector<std::string>& args) {
    return svc::RunServiceCommand("cancel", kCancelUsage, args, {}, 0,
                                  [](mcComponentMgrClient& client, const ParsedArgs&) {
                                      const HRESULT hr = client.CancelDownload(std::string(), std::string());
                                      const bool bEmpty = hr == E_FAIL && client.LastError().empty();
                                      if (CtlOptions::Current().bJson && (hr == S_OK || bEmpty)) {
                                          PrintJson(CtlJson::MakeObject({{"cancelled", hr == S_OK}}));
                                      }
                                      if (hr == S_OK) {
                                          svc::Out() << "cancel requested\n";
                                          return kExitOk;
                                      }
                                      if (bEmpty) {
                                          svc::Out() << "no download queued\n";
                                          return kExitNo;
                                      }
                                      return svc::ExitFor("cancel", hr, client);
                                  });
}

// ------------------------------------------------------------ predownload

constexpr const char* kPredownloadUsage =
    "usage: kettrinctl predownload FILE|-\n"
    "\n"
    "Hands the predownload description in FILE (\"-\": standard input) to the service\n"
    "(PredownloadComponent), which copies the package into the holding area and\n"
    "records the component as \"predownloaded\". S_FALSE (exit 1): the service\n"
    "refused it (the service log says why).\n"
    "\n";

int RunPredownload(const std::vector<std::string>& args) {
    return svc::RunServiceCommand(
        "predownload", kPredownloadUsage, args, {}, 1, [](mcComponentMgrClient& client, const ParsedArgs& parsed) {
            std::string strXml;
            const std::string& strFile = parsed.positional[0];
            if (strFile == "-") {
                strXml.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
            } else {
                std::ifstream in(strFile, std::ios::binary);
                if (!in) {
                    PrintError("predownload", "cannot read " + strFile, std::string(), true);
                    return kExitUsage;
                }
                strXml.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            }
            const HRESULT hr = client.PredownloadComponent(strXml);
            if (hr == S_OK) svc::Out() << "predownloaded\n";
            if (hr == S_FALSE) svc::Out() << "the service refused the predownload (see its log)\n";
            if (CtlOptions::Current().bJson && SUCCEEDED(hr)) {
                PrintJson(CtlJson::MakeObject({{"predownloaded", hr == S_OK}}));
            }
            return svc::ExitFor("predownload", hr, client);
        });
}

}  // namespace

KETTRINCTL_COMMAND("download", "download a component with progress (StartComponentDownload)", RunDownload);
KETTRINCTL_COMMAND("update", "download a newer version of a component (StartComponentUpdate)", RunUpdate);
KETTRINCTL_COMMAND("trigger", "run a client's update tasks (DoTriggerTasks)", RunTrigger);
KETTRINCTL_COMMAND("cancel", "cancel the running download (CancelDownload)", RunCancel);
KETTRINCTL_COMMAND("predownload", "record a package that is already on the machine (PredownloadComponent)",
                   RunPredownload);

}  // namespace kettrinctl
