// kettrinctl net: the component manager's connection check and HTTP GET, for
// administrators checking a machine's network set-up.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "tools/kettrinctl/CtlCommand.h"
#include "base/FileUtils.h"
#include "base/mcDiagTrace.h"
#include "base/mcTraceViewer.h"
#include "net/mcConnectionCheck.h"
#include "net/mcHttpGet.h"

namespace kettrinctl {
namespace {

constexpr std::size_t kPortion = 65536;

void PrintNetUsage(std::ostream& out) {
    out << "usage: kettrinctl net check [--trace]\n"
           "       kettrinctl net get URL [-o FILE]\n"
           "\n"
           "check  runs the component manager's connection check (algorithm and settings\n"
           "       from the registry) and prints \"online\" (exit 0) or \"offline\" (exit 1).\n"
           "       --trace also prints its \"internetconnection\" trace lines.\n"
           "get    fetches URL with the component manager's HTTP request and writes the\n"
           "       body to standard output, or to FILE (replaced only when the whole body\n"
           "       arrived). On failure prints the result record and exits 1.\n";
}

bool WriteAll(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

int RunCheck(const std::vector<std::string>& args) {
    bool bTrace = false;
    for (const auto& a : args) {
        if (a == "--trace") {
            bTrace = true;
        } else {
            std::cerr << "kettrinctl net check: unexpected argument '" << a << "'\n";
            PrintNetUsage(std::cerr);
            return kExitUsage;
        }
    }
    mcConnectionCheck::Config config;
    if (bTrace) {
        // Every line is printed and still reaches a viewer, if one listens.
        config.fnTrace = [](const std::string& line) {
            mcDiagTrace::Datagram d;
            d.command = mcDiagTrace::kCmdLine;
            d.source = mcDiagTrace::InternetConnection().SourceName();
            d.text = line;
            std::cout << mcTraceViewer::FormatLine(d) << '\n';
            mcDiagTrace::InternetConnection().Send(line);
        };
    }
    mcConnectionCheck check(config);
    bool bOnline = check.ConnectionCheck();
    std::cout << (bOnline ? "online" : "offline") << std::endl;
    return bOnline ? kExitOk : kExitNo;
}

void PrintResult(const mcHttpResult& result) {
    std::cerr << "kettrinctl net get: request failed\n"
              << "  result: " << result.dwResult << "\n"
              << "  HTTP status: " << result.dwHttpStatus << "\n"
              << "  error kind: " << result.dwErrorKind << "\n"
              << "  message: " << mcTraceViewer::Printable(result.strMessage) << "\n";
}

int RunGet(const std::vector<std::string>& args) {
    std::string strUrl, strOut;
    bool bHaveOut = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-o" || args[i] == "--output") {
            if (i + 1 >= args.size() || bHaveOut) {
                std::cerr << "kettrinctl net get: -o needs one FILE\n";
                return kExitUsage;
            }
            strOut = args[++i];
            bHaveOut = true;
        } else if (strUrl.empty() && !args[i].empty() && args[i][0] != '-') {
            strUrl = args[i];
        } else {
            std::cerr << "kettrinctl net get: unexpected argument '" << args[i] << "'\n";
            PrintNetUsage(std::cerr);
            return kExitUsage;
        }
    }
    if (strUrl.empty() || (bHaveOut && strOut.empty())) {
        PrintNetUsage(std::cerr);
        return kExitUsage;
    }

    // The body goes to standard output, or through the crash-safe writer to
    // the file, which then holds either its old content or the whole body.
    int nExit = kExitOk;
    const auto transfer = [&](int fd) {
        std::vector<std::uint8_t> portion;
        mcHttpResult result;
        mcHttpGet get(strUrl, nullptr, &portion, nullptr, &result, nullptr, nullptr, 0);
        bool bOk = get.RunHeadersOnly();
        bool bDone = false;
        while (bOk && !bDone) {
            bOk = get.ReadPortion(kPortion, &bDone);
            if (bOk && !portion.empty() && !WriteAll(fd, portion.data(), portion.size())) {
                std::cerr << "kettrinctl net get: write failed: " << std::strerror(errno) << "\n";
                nExit = kExitFailed;
                return false;
            }
        }
        if (!bOk) {
            PrintResult(result);
            nExit = kExitNo;
            return false;
        }
        return true;
    };
    if (!bHaveOut) {
        transfer(STDOUT_FILENO);
        return nExit;
    }
    if (!mfWriteFileAtomicWith(strOut, transfer, 0644) && nExit == kExitOk) {
        std::cerr << "kettrinctl net get: cannot write " << strOut << ": " << std::strerror(errno) << "\n";
        nExit = kExitFailed;
    }
    return nExit;
}

int RunNet(const std::vector<std::string>& args) {
    if (args.empty()) {
        PrintNetUsage(std::cerr);
        return kExitUsage;
    }
    if (WantsHelp(args)) {
        PrintNetUsage(std::cout);
        return kExitOk;
    }
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (args[0] == "check") return RunCheck(rest);
    if (args[0] == "get") return RunGet(rest);
    std::cerr << "kettrinctl net: unknown sub-command '" << args[0] << "'\n";
    PrintNetUsage(std::cerr);
    return kExitUsage;
}

}  // namespace

KETTRINCTL_COMMAND("net", "connection check and HTTP GET as the component manager does them", RunNet);

}  // namespace kettrinctl
