#pragma once
// The service tests' machine: a scratch machine whose registry names its
// application folder, with the service's log at hand; plus small helpers to
// wait, ask the bus and run programs.
#include <gtest/gtest.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "contract/ComponentMgrIfc.h"
#include "support/ChildProgram.h"
#include "support/FsTestUtil.h"
#include "support/ScopedEnv.h"
#include "support/ScratchMachine.h"
#include "registry/RegistryDatabase.h"
#include "registry/RegistryKey.h"
#include "bus/mcBusConnection.h"
#include "registry/mcCMUtils.h"

namespace svctest {

inline const std::string kKettrin = std::string(KETTRIN_BINARY_DIR) + "/src/Kettrin";
inline const std::string kCtl = std::string(KETTRIN_BINARY_DIR) + "/src/kettrinctl";
inline constexpr std::chrono::milliseconds kWaitLimit{20000};

using ScopedEnv = testsupport::ScopedEnv;

// A machine of the test's own (see ScratchMachine) whose registry names the
// application folder (not yet created: the server makes it) as the service's.
// The registry file is also the process-wide override, so that an in-process
// server that set its own override still uses it.
class TestMachine : public testsupport::ScratchMachine {
public:
    TestMachine() : m_registry(RegistryPath()) { RegisterAppPath(); }

    const std::string& Folder() const { return Path(); }
    std::string LogPath() const { return AppFolder() + "/ComponentMgr.log"; }
    std::string ReadLog() const { return fstest::ReadFile(LogPath()); }
    // Lines of the log whose message is exactly strMessage.
    int CountLogLines(const std::string& strMessage) const {
        std::istringstream in(ReadLog());
        std::string strLine;
        int n = 0;
        const std::string strTail = " : " + strMessage;
        while (std::getline(in, strLine)) {
            if (strLine.size() >= strTail.size() &&
                strLine.compare(strLine.size() - strTail.size(), strTail.size(), strTail) == 0) {
                ++n;
            }
        }
        return n;
    }
    // Messages of the log in order (without the time stamps).
    std::vector<std::string> LogMessages() const {
        std::istringstream in(ReadLog());
        std::vector<std::string> vecMessages;
        std::string strLine;
        while (std::getline(in, strLine)) {
            const std::size_t nSep = strLine.find(" : ");
            vecMessages.push_back(nSep == std::string::npos ? strLine : strLine.substr(nSep + 3));
        }
        return vecMessages;
    }

private:
    core::registry::db::ScopedDatabasePath m_registry;
};

// Polls pred every 10 ms until it holds or the limit passes.
inline bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit = kWaitLimit) {
    const auto tpEnd = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= tpEnd) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds{10});
    }
    return true;
}

// The unique name owning the service's bus name, or "" when none.
inline std::string ServiceOwner(mcBusConnection& connection) {
    mcBusMessage call = connection.NewMethodCall(mcBusConnection::kBusName, mcBusConnection::kBusPath,
                                                 mcBusConnection::kBusInterface, "GetNameOwner");
    call.Append(cmifc::kBusName);
    try {
        return connection.CallMethod(call).ReadString();
    } catch (const mcExc&) {
        return std::string();
    }
}

// The process id behind a unique bus name.
inline std::uint32_t PidOf(mcBusConnection& connection, const std::string& strName) {
    mcBusMessage call = connection.NewMethodCall(mcBusConnection::kBusName, mcBusConnection::kBusPath,
                                                 mcBusConnection::kBusInterface, "GetConnectionUnixProcessID");
    call.Append(strName);
    return connection.CallMethod(call).ReadUInt32();
}

// Runs a program with its arguments and returns its exit status (128 +
// signal when killed), adding its standard output and error to the strings
// given. A program still running after two minutes is killed (and the test
// fails) instead of hanging the test.
inline int RunProgram(const std::vector<std::string>& vecArgs, std::string* pOutput = nullptr,
                      std::string* pError = nullptr) {
    testsupport::ChildProgram child(vecArgs);
    const int nExit = child.Wait(std::chrono::minutes{2});
    if (pOutput) pOutput->append(child.Out());
    if (pError) pError->append(child.Err());
    return nExit;
}

}  // namespace svctest
