#pragma once
// A scratch machine for one network test, with shortcuts to its registry and
// to files below its folder.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"
#include "support/ScratchMachine.h"

namespace kettrin::test {

// The tests' servers are on 127.0.0.1 and must be reached directly, whatever
// proxy the machine running the tests is set up with.
inline const bool g_bProxyCleared = [] {
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        ::unsetenv(name);
    return true;
}();

class NetTestEnv {
public:
    const std::string& Dir() const { return m_machine.Path(); }

    // A string value of the component manager's key (created when needed).
    void SetCmString(const std::string& name, const std::string& value) {
        core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
        root.CreateSubKey(mcCMUtils::kRegistryKey).SetValueString(name, value);
    }
    // A 32-bit value below HKLM\Software (a "\SYSTEM\..." setting).
    void SetSystemDWord(const std::string& keyBelowSoftware, const std::string& name,
                        std::uint32_t value) {
        core::registry::RegistryKey root(core::registry::kRootLocalMachine, "");
        root.CreateSubKey("Software\\" + keyBelowSoftware).SetValueDWord(name, value);
    }

    // Writes text to Dir()/relative, creating folders.
    std::string WriteFile(const std::string& relative, const std::string& text) {
        std::filesystem::path p = std::filesystem::path(Dir()) / relative;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p) << text;
        return p.string();
    }

private:
    testsupport::ScratchMachine m_machine;
};

}  // namespace kettrin::test
