#pragma once
// Helpers of the uninstaller tests: stand-in programs that record how they
// were started, and the component manager's client registrations.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"
#include "support/FsTestUtil.h"
#include "support/ServiceTestMachine.h"

namespace toolstest {

inline constexpr const char* kClientsKey = "software\\Tavrolin, Inc.\\componentMgr\\Clients";

// Writes an executable shell script that, when run, writes strRecord: its
// working folder, its arguments, and "runonce-value:N" with kettrinctl's exit
// status for querying strRunOnceValue under the RunOnce key (1: the value is
// gone). The record appears whole (renamed into place).
inline void WriteRecordingScript(const std::string& strPath, const std::string& strRecord,
                                 const std::string& strRunOnceValue = "RemoveCM") {
    fstest::WriteFile(strPath,
                      "#!/bin/sh\n"
                      "{ pwd -P; for a in \"$@\"; do printf '%s\\n' \"$a\"; done\n"
                      "  '" + svctest::kCtl + "' reg query "
                      "'HKLM\\software\\microsoft\\windows\\currentversion\\runonce' '" + strRunOnceValue +
                      "' >/dev/null 2>&1\n"
                      "  echo \"runonce-value:$?\"; } > '" + strRecord + ".tmp' && mv '" + strRecord + ".tmp' '" +
                      strRecord + "'\n");
    ASSERT_EQ(::chmod(strPath.c_str(), 0755), 0);
}

// The record's lines; nothing when there is no record.
inline std::optional<std::vector<std::string>> ReadRecord(const std::string& strRecord) {
    if (!std::filesystem::exists(strRecord)) return std::nullopt;
    std::istringstream in(fstest::ReadFile(strRecord));
    std::vector<std::string> vecLines;
    for (std::string strLine; std::getline(in, strLine);) vecLines.push_back(strLine);
    return vecLines;
}

// Makes the registered clients exactly vecNames (bKey false: no Clients key).
inline void SetClients(bool bKey, const std::vector<std::string>& vecNames) {
    if (core::registry::RegistryKey::Exists(mcCMUtils::kRegistryRoot, kClientsKey)) {
        core::registry::RegistryKey::DeleteKey(mcCMUtils::kRegistryRoot, kClientsKey);
    }
    if (!bKey) return;
    core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
    core::registry::RegistryKey clients = root.CreateSubKey(kClientsKey);
    for (const std::string& strName : vecNames) clients.SetValueString(strName, "1.0");
}

// The registered clients (none when there is no Clients key).
inline std::vector<std::string> Clients() {
    if (!core::registry::RegistryKey::Exists(mcCMUtils::kRegistryRoot, kClientsKey)) return {};
    core::registry::RegistryKey clients(mcCMUtils::kRegistryRoot, kClientsKey, core::registry::KEY_READ);
    return clients.GetValueNames();
}

// Runs a program with strInput on its standard input; its output goes to strOut.
inline int RunWithInput(const std::vector<std::string>& vecArgs, const std::string& strInput, std::string& strOut) {
    fstest::TempDir dir;
    const std::string strFile = dir / "input";
    fstest::WriteFile(strFile, strInput);
    std::vector<std::string> vecCommand = {"/bin/sh", "-c", "f=\"$1\"; shift; exec \"$@\" < \"$f\"", "sh", strFile};
    vecCommand.insert(vecCommand.end(), vecArgs.begin(), vecArgs.end());
    return svctest::RunProgram(vecCommand, &strOut);
}

}  // namespace toolstest
