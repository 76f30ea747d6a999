// kettrinctl trace: the diagnostic trace viewer.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>

#include "tools/kettrinctl/CtlCommand.h"
#include "tools/kettrinctl/CtlJson.h"
#include "tools/kettrinctl/CtlMessages.h"
#include "tools/kettrinctl/CtlOptions.h"
#include "base/mcTraceViewer.h"

namespace kettrinctl {
namespace {

void PrintTraceUsage(std::ostream& out) {
    out << "usage: kettrinctl trace [--socket PATH] [--events]\n"
           "\n"
           "Receives the diagnostic trace lines of the component manager's programs and\n"
           "prints each as \"SOURCE: line\" until interrupted (SIGINT or SIGTERM).\n"
           "\n"
           "  --socket PATH  socket to bind (default: $KETTRIN_DIAG_SOCKET, else\n"
           "                 /run/tavrolin/zrdiag.sock); a stale socket file is replaced\n"
           "  --events       also print sources registering and unregistering\n"
           "\n"
           "With --json: one object a line, {\"source\",\"line\"} (with --events also\n"
           "{\"source\",\"event\":\"register\"|\"unregister\"}).\n";
}

std::string PrvJsonLine(const mcDiagTrace::Datagram& datagram) {
    CtlJson line = CtlJson::MakeObject({{"source", datagram.source}});
    if (datagram.command == mcDiagTrace::kCmdLine) {
        line.Set("line", datagram.text);
    } else {
        line.Set("event", datagram.command == mcDiagTrace::kCmdRegister ? "register" : "unregister");
    }
    return line.Dump();
}

// False once standard output is gone (a closed pipe).
bool PrintLine(const std::string& line) {
    std::string out = line + "\n";
    return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() &&
           std::fflush(stdout) == 0;
}

int RunTrace(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        PrintTraceUsage(std::cout);
        return kExitOk;
    }
    std::string path = mcDiagTrace::SocketPath();
    bool bEvents = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--socket" && i + 1 < args.size()) {
            path = args[++i];
        } else if (args[i] == "--events") {
            bEvents = true;
        } else {
            PrintError("trace", "unexpected argument '" + args[i] + "'");
            PrintTraceUsage(std::cerr);
            return kExitUsage;
        }
    }

    // Signals arrive through a descriptor so that the socket file is always
    // removed on the way out.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) {
        std::perror("kettrinctl trace: sigprocmask");
        return kExitFailed;
    }
    signal(SIGPIPE, SIG_IGN);  // a closed pipe ends the loop instead
    int fdSignals = signalfd(-1, &signals, SFD_CLOEXEC);
    if (fdSignals < 0) {
        std::perror("kettrinctl trace: signalfd");
        return kExitFailed;
    }

    mcTraceViewer viewer;
    std::string error;
    if (!viewer.Bind(path, &error)) {
        PrintError("trace", error);
        close(fdSignals);
        return kExitFailed;
    }
    if (!CtlOptions::Current().bQuiet) std::cerr << "kettrinctl trace: listening on " << path << "\n";

    for (;;) {
        pollfd fds[2] = {{viewer.Fd(), POLLIN, 0}, {fdSignals, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) break;
        bool bOutputGone = false;
        if (fds[0].revents != 0) {
            while (auto datagram = viewer.Receive(0)) {
                if (datagram->command == mcDiagTrace::kCmdLine || bEvents) {
                    if (!PrintLine(CtlOptions::Current().bJson ? PrvJsonLine(*datagram)
                                                               : mcTraceViewer::FormatLine(*datagram))) {
                        bOutputGone = true;
                        break;
                    }
                }
            }
        }
        if (bOutputGone) break;
    }
    viewer.Close();
    close(fdSignals);
    return kExitOk;
}

}  // namespace

KETTRINCTL_COMMAND("trace", "print diagnostic trace lines until interrupted", RunTrace);

}  // namespace kettrinctl
