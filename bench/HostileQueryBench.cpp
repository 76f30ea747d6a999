// An ordinary client's queries while other clients send hostile input, with
// the service started by activation on a private bus. A plain program
// printing figures (each phase takes seconds).
//
//   query_idle: IsComponentInstalled every 5 ms with nobody else calling
//     (the peer, measured in the same run);
//   query_under_attack: the same while two clients send back to back what
//     the service must refuse or bound: install data of 64 KiB holding
//     elements of 300 attributes, 1 MiB client names, and notification sinks
//     beyond the per-connection limit.
// The ratio of the p99s shows what the attack still costs an ordinary
// client. Goal: ratio below 3.
// Usage: bench_HostileQueryBench [seconds per phase (default 5)] [rounds (default 2)]
//   KETTRIN_BENCH_SERVER: another server program to measure (e.g. an older
//   build), instead of this build's.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/PrivateBus.h"
#include "bus/mcBusConnection.h"
#include "client/mcComponentMgrClient.h"
#include "contract/ComponentMgrIfc.h"
#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kKettrin = std::string(KETTRIN_BINARY_DIR) + "/src/Kettrin";

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> vecMs, double dPercent) {
    if (vecMs.empty()) return 0.0;
    std::sort(vecMs.begin(), vecMs.end());
    std::size_t nRank = static_cast<std::size_t>(dPercent / 100.0 * static_cast<double>(vecMs.size()) + 0.999999);
    nRank = std::clamp<std::size_t>(nRank, 1, vecMs.size());
    return vecMs[nRank - 1];
}

// Queries every 5 ms for the given time; returns each call's duration.
std::vector<double> QueryFor(mcComponentMgrClient& client, std::chrono::seconds duration) {
    std::vector<double> vecMs;
    const auto tpEnd = Clock::now() + duration;
    while (Clock::now() < tpEnd) {
        std::int32_t nStatus = 0;
        const auto tp0 = Clock::now();
        (void)client.IsComponentInstalled("A", "Jukebox", "Visualizer", nStatus);
        vecMs.push_back(Ms(Clock::now() - tp0));
        std::this_thread::sleep_for(5ms);
    }
    return vecMs;
}

// One hostile client: raw calls back to back until stop.
void Attack(const std::string& strAddress, int nKind, const std::atomic<bool>& bStop, std::atomic<long>& nCalls) {
    mcBusConnection connection = mcBusConnection::OpenAddress(strAddress);
    std::string strBomb = "<InstallData name=\"C\">";
    while (strBomb.size() < 60 * 1024) {
        strBomb += "<e";
        for (int i = 0; i < 300; ++i) strBomb += " a" + std::to_string(i) + "=\"v\"";
        strBomb += "/>";
    }
    strBomb = strBomb.substr(0, 64 * 1024 - 20) + "</InstallData>";
    const std::string strLongName(1 << 20, 'n');
    int nSink = 0;
    while (!bStop) {
        try {
            if (nKind == 0) {
                mcBusMessage call = connection.NewMethodCall(cmifc::kBusName, cmifc::kObjectPath,
                                                             cmifc::kIfaceInstaller, "ComponentInstalled");
                call.Append(std::string("attacker")).Append(strBomb);
                (void)connection.CallMethod(call);
            } else if (nCalls % 2 == 0) {
                mcBusMessage call = connection.NewMethodCall(cmifc::kBusName, cmifc::kObjectPath,
                                                             cmifc::kIfaceComponentMgr, "IsComponentInstalled");
                call.Append(strLongName).Append(std::string("M")).Append(std::string("C"));
                (void)connection.CallMethod(call);
            } else {
                mcBusMessage call = connection.NewMethodCall(cmifc::kBusName, cmifc::kObjectPath,
                                                             cmifc::kIfaceControl, "Register");
                call.AppendObjectPath("/s" + std::to_string(nSink++));
                (void)connection.CallMethod(call);
            }
            ++nCalls;
        } catch (const mcExc&) {
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int nSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int nRounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2;
    std::string strTemplate = "/tmp/kettrin-hostilebench-XXXXXX";
    if (!mkdtemp(strTemplate.data())) return 1;
    const std::string strFolder = strTemplate;
    ::setenv("KETTRIN_REGISTRY", (strFolder + "/registry.db").c_str(), 1);
    ::setenv("KETTRIN_DIAG_SOCKET", (strFolder + "/diag.sock").c_str(), 1);
    ::setenv("KETTRIN_SHUTDOWN_DELAY_MS", "60000", 1);
    int nExit = 0;
    try {
        core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
        core::registry::RegistryKey key = root.CreateSubKey(mcCMUtils::kRegistryKey);
        key.SetValueString(mcCMUtils::kAppPathValue, strFolder + "/app");
        key.SetValueString("ManifestDirUrl", "http://127.0.0.1:9/ManifestDirectory.xml");
        testsupport::PrivateBus bus;
        const char* pszServer = std::getenv("KETTRIN_BENCH_SERVER");
        bus.AddService(cmifc::kBusName, pszServer != nullptr && *pszServer != '\0' ? pszServer : kKettrin);
        mcComponentMgrClient::Options options;
        options.strBusAddress = bus.Address();
        options.timeout = 120s;
        mcComponentMgrClient client(options);
        (void)QueryFor(client, 1s);  // activation and warm-up

        std::vector<double> vecIdle;
        std::vector<double> vecAttack;
        long nHostile = 0;
        for (int nRound = 0; nRound < nRounds; ++nRound) {
            std::vector<double> vecMs = QueryFor(client, std::chrono::seconds(nSeconds));
            vecIdle.insert(vecIdle.end(), vecMs.begin(), vecMs.end());
            std::atomic<bool> bStop{false};
            std::atomic<long> nCalls{0};
            std::thread first(Attack, bus.Address(), 0, std::cref(bStop), std::ref(nCalls));
            std::thread second(Attack, bus.Address(), 1, std::cref(bStop), std::ref(nCalls));
            vecMs = QueryFor(client, std::chrono::seconds(nSeconds));
            bStop = true;
            first.join();
            second.join();
            nHostile += nCalls;
            vecAttack.insert(vecAttack.end(), vecMs.begin(), vecMs.end());
        }
        const double dIdle = Percentile(vecIdle, 99);
        const double dAttack = Percentile(vecAttack, 99);
        std::printf("query_idle          n=%-6zu p50=%7.2f ms  p99=%7.2f ms\n", vecIdle.size(), Percentile(vecIdle, 50),
                    dIdle);
        std::printf("query_under_attack  n=%-6zu p50=%7.2f ms  p99=%7.2f ms  (hostile calls: %ld)\n",
                    vecAttack.size(), Percentile(vecAttack, 50), dAttack, nHostile);
        const double dRatio = dIdle > 0 ? dAttack / dIdle : 0.0;
        std::printf("ratio p99 under attack / idle: %.2f  goal < 3: %s\n", dRatio, dRatio < 3.0 ? "met" : "missed");
    } catch (const std::exception& exc) {
        std::fprintf(stderr, "failed: %s\n", exc.what());
        nExit = 1;
    }
    std::error_code ec;
    std::filesystem::remove_all(strFolder, ec);
    return nExit;
}
