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
#include "tools/kettrinctl/CtlJson.h"
#include "tools/kettrinctl/CtlMessages.h"
#include "tools/kettrinctl/CtlOptions.h"
#include "base/FileUtils.h"
#include "net/ServerHosts.h"
#include "registry/mcSettingsRegImpl.h"
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
           "       from the registry, see 'kettrinctl config'), says what it checked and\n"
           "       prints \"online\" (exit 0) or \"offline\" (exit 1); when the HTTP probe has\n"
           "       no server, it names the missing setting. --trace also prints its\n"
           "       \"internetconnection\" trace lines. With --json: {\"online\",\"algorithm\",\n"
           "       \"checked\",\"missing_setting\"}.\n"
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

struct msCheckPlan {
    std::uint32_t nAlgorithm = mcConnectionCheck::kDefaultAlgorithm;
    std::string strChecked;
    std::string strMissing;  // the setting the check lacks, by its config name
};

std::uint32_t PrvSetting(const char* pszName, std::uint32_t nDefault) {
    const std::string strPath = std::string(mcConnectionCheck::kSettingsPath) + pszName;
    try {
        if (mcSettingsRegImpl::SettingExists(strPath)) {
            return static_cast<std::uint32_t>(mcSettingsRegImpl::ValueInt32(strPath));
        }
    } catch (const mcExc&) {
    }
    return nDefault;
}

// What ConnectionCheck() will do with the settings as they are now.
msCheckPlan PrvPlan() {
    msCheckPlan plan;
    plan.nAlgorithm = PrvSetting(mcConnectionCheck::kAlgorithmSetting, mcConnectionCheck::kDefaultAlgorithm);
    if (plan.nAlgorithm > mcConnectionCheck::kMaxAlgorithm) plan.nAlgorithm = mcConnectionCheck::kDefaultAlgorithm;
    const std::string strAlgorithm = " (connection-check-algorithm " + std::to_string(plan.nAlgorithm) + ")";
    switch (plan.nAlgorithm) {
        case 0:
            plan.strChecked = "nothing: always online" + strAlgorithm;
            break;
        case 1:
            plan.strChecked = "a default route through an interface that is up" + strAlgorithm;
            break;
        case 3:
            plan.strChecked = "network adapters with a carrier, or a modem" + strAlgorithm;
            break;
        case 4:
            plan.strChecked = "dynamic ARP entries, or a modem" + strAlgorithm;
            break;
        default: {
            if (PrvSetting(mcConnectionCheck::kPingEnabledSetting, 1) == 0) {
                plan.strChecked = "nothing: the HTTP probe is switched off (connection-check-http 0)" + strAlgorithm;
                break;
            }
            const std::string strHost = mfGetServerHost(kConnectionCheckServerValue);
            if (strHost.empty()) {
                plan.strChecked = "an HTTP probe of the connection-check server" + strAlgorithm;
                plan.strMissing = "connection-check-server";
            } else {
                plan.strChecked = "HTTP probe of http://" + strHost + mcConnectionCheck::kCheckPath + strAlgorithm;
            }
            break;
        }
    }
    return plan;
}

int RunCheck(const std::vector<std::string>& args) {
    bool bTrace = false;
    for (const auto& a : args) {
        if (a == "--trace") {
            bTrace = true;
        } else {
            PrintError("net check", "unexpected argument '" + a + "'");
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
    const msCheckPlan plan = PrvPlan();
    mcConnectionCheck check(config);
    bool bOnline = check.ConnectionCheck();
    if (CtlOptions::Current().bJson) {
        PrintJson(CtlJson::MakeObject({{"online", bOnline},
                                       {"algorithm", plan.nAlgorithm},
                                       {"checked", plan.strChecked},
                                       {"missing_setting", CtlJson::StringOrNull(!plan.strMissing.empty(),
                                                                                 plan.strMissing)}}));
    } else if (!CtlOptions::Current().bQuiet) {
        std::cout << "checked: " << plan.strChecked << "\n";
        if (!plan.strMissing.empty()) {
            std::cout << "not configured: " << plan.strMissing
                      << " (set it with 'kettrinctl config set " << plan.strMissing << " HOST[:PORT]')\n";
        }
        std::cout << (bOnline ? "online" : "offline") << std::endl;
    }
    return bOnline ? kExitOk : kExitNo;
}

// The transport failures a user meets most, in words; others by their text.
std::string PrvTransportWords(const std::string& strMessage) {
    struct msWords {
        const char* pszCode;
        const char* pszWords;
    };
    static const msWords kWords[] = {
        {"Win32 Error: 12029", "cannot connect to the server"},
        {"Win32 Error: 12007", "the server name cannot be resolved"},
        {"Win32 Error: 12030", "the connection ended before the whole answer arrived"},
        {"Win32 Error: 12031", "the server reset the connection"},
        {"Win32 Error: 12157", "the secure connection failed"},
        {"Win32 Error: 12045", "the server's certificate is not trusted"},
        {"Win32 Error: 12156", "too many redirections, or a redirection to another scheme"},
        {"Timed out.", "the server did not answer in time"},
    };
    for (const msWords& words : kWords) {
        if (strMessage.find(words.pszCode) != std::string::npos) return words.pszWords;
    }
    return mcTraceViewer::Printable(strMessage);
}

void PrintResult(const std::string& strUrl, const mcHttpResult& result) {
    std::string strWhy;
    if (result.strMessage.find("ParseUrlWorker") != std::string::npos) {
        strWhy = "invalid URL '" + mcTraceViewer::Printable(strUrl) + "' (http:// or https:// with a host)";
    } else if (result.dwHttpStatus != 0) {
        strWhy = "the server answered HTTP status " + std::to_string(result.dwHttpStatus);
    } else {
        strWhy = "the request failed: " + PrvTransportWords(result.strMessage);
    }
    PrintError("net get", strWhy,
               "result " + std::to_string(result.dwResult) + ", error kind " + std::to_string(result.dwErrorKind) +
                   ", " + mcTraceViewer::Printable(result.strMessage));
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
                PrintError("net get", std::string("write failed: ") + std::strerror(errno));
                nExit = kExitFailed;
                return false;
            }
        }
        if (!bOk) {
            PrintResult(strUrl, result);
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
        PrintError("net get", "cannot write " + strOut + ": " + std::strerror(errno));
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
