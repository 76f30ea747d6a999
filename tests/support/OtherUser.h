#pragma once
// Callers under another user id, so that the bus sees a different user than
// the test's: programs run through `setpriv` as nobody (65534), and one-shot
// method calls are made with `busctl` (both from /usr/bin) (a bus client no one here wrote). The
// bus must let that user in (PrivateBus::Options::bOtherUsers).
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/ChildProgram.h"

namespace testsupport {

inline constexpr std::uint32_t kNobodyUid = 65534;

// vecArgs run as nobody, with no supplementary groups.
inline std::vector<std::string> AsNobody(const std::vector<std::string>& vecArgs) {
    std::vector<std::string> vecAll = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    vecAll.insert(vecAll.end(), vecArgs.begin(), vecArgs.end());
    return vecAll;
}

struct msBusctlCall {
    std::string strDestination;
    std::string strPath;
    std::string strInterface;
    std::string strMember;
    std::string strSignature;
    std::vector<std::string> vecArgs;
};

struct msBusctlResult {
    int nExit = -1;
    // The first value of the reply when it is a 32-bit integer (the HRESULT).
    std::optional<std::int32_t> hr;
    std::string strOut;
    std::string strErr;
};

// busctl's command line for call on the bus at strAddress.
inline std::vector<std::string> BusctlArgs(const std::string& strAddress, const msBusctlCall& call,
                                           bool bInteractive = true) {
    std::vector<std::string> vecArgs = {"/usr/bin/busctl", "--address=" + strAddress, "--timeout=30",
                                        std::string("--allow-interactive-authorization=") + (bInteractive ? "yes" : "no"),
                                        "call", call.strDestination, call.strPath, call.strInterface, call.strMember};
    if (!call.strSignature.empty()) {
        vecArgs.push_back(call.strSignature);
        vecArgs.insert(vecArgs.end(), call.vecArgs.begin(), call.vecArgs.end());
    }
    return vecArgs;
}

// Reads busctl's answer ("i -2147024891", "is 0 \"text\"").
inline msBusctlResult ParseBusctl(int nExit, const std::string& strOut, const std::string& strErr) {
    msBusctlResult result{nExit, std::nullopt, strOut, strErr};
    std::istringstream in(strOut);
    std::string strTypes;
    long long nValue = 0;
    if (nExit == 0 && in >> strTypes >> nValue && !strTypes.empty() && strTypes[0] == 'i') {
        result.hr = static_cast<std::int32_t>(nValue);
    }
    return result;
}

// Makes call as nobody and waits for busctl's answer.
inline msBusctlResult BusctlAsNobody(const std::string& strAddress, const msBusctlCall& call,
                                     bool bInteractive = true) {
    ChildProgram child(AsNobody(BusctlArgs(strAddress, call, bInteractive)));
    const int nExit = child.Wait(std::chrono::minutes{1});
    return ParseBusctl(nExit, child.Out(), child.Err());
}

}  // namespace testsupport
