#pragma once
// A private registry and folder for one network test: KETTRIN_REGISTRY points
// at a SQLite file in a temporary folder for the test's lifetime.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"

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
    NetTestEnv() {
        char tmpl[] = "/tmp/kettrin-net-XXXXXX";
        const char* dir = ::mkdtemp(tmpl);
        m_strDir = dir ? dir : "/tmp";
        const char* old = std::getenv("KETTRIN_REGISTRY");
        if (old) m_strOldRegistry = old, m_bHadRegistry = true;
        ::setenv("KETTRIN_REGISTRY", (m_strDir + "/registry.db").c_str(), 1);
    }
    ~NetTestEnv() {
        if (m_bHadRegistry)
            ::setenv("KETTRIN_REGISTRY", m_strOldRegistry.c_str(), 1);
        else
            ::unsetenv("KETTRIN_REGISTRY");
        std::error_code ec;
        std::filesystem::remove_all(m_strDir, ec);
    }
    NetTestEnv(const NetTestEnv&) = delete;
    NetTestEnv& operator=(const NetTestEnv&) = delete;

    const std::string& Dir() const { return m_strDir; }

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
        std::filesystem::path p = std::filesystem::path(m_strDir) / relative;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p) << text;
        return p.string();
    }

private:
    std::string m_strDir;
    std::string m_strOldRegistry;
    bool m_bHadRegistry = false;
};

}  // namespace kettrin::test
