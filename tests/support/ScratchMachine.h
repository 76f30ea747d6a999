#pragma once
// A scratch machine for one test: a temporary folder (Path) removed with
// everything in it at the end, even read-only folders, and the process
// environment pointed into it for the object's life (restored afterwards):
//   KETTRIN_REGISTRY          <folder>/registry.db   (RegistryPath)
//   KETTRIN_DIAG_SOCKET       <folder>/zrdiag.sock   (TraceSocketPath; nothing
//                                                     listens unless a test binds it)
//   KETTRIN_DBUS_SERVICE_DIR  <folder>/services      (not created)
//   KETTRIN_BUS_ADDRESS       removed; the private bus's address once StartBus
//                             has run
// The application folder <folder>/app is neither created nor registered;
// RegisterAppPath writes it as the service's "AppPath" (links the registry
// library). Programs the test starts inherit the environment; so does a
// private bus, which hands it on to what it activates: set further variables
// before StartBus. Use from the test's thread. Machines may nest (each
// restores what it found, so they must end in reverse order, as locals and
// members do); the innermost one is in force.
#include <memory>
#include <optional>
#include <string>

#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"
#include "support/FsTestUtil.h"
#include "support/PrivateBus.h"
#include "support/ScopedEnv.h"

namespace testsupport {

class ScratchMachine {
public:
    ScratchMachine()
        : m_envRegistry("KETTRIN_REGISTRY", RegistryPath()),
          m_envDiag("KETTRIN_DIAG_SOCKET", TraceSocketPath()),
          m_envServiceDir("KETTRIN_DBUS_SERVICE_DIR", m_dir / "services"),
          m_envBus("KETTRIN_BUS_ADDRESS", nullptr) {}
    ScratchMachine(const ScratchMachine&) = delete;
    ScratchMachine& operator=(const ScratchMachine&) = delete;

    const std::string& Path() const { return m_dir.Path(); }
    // A path inside the folder.
    std::string operator/(const std::string& strName) const { return m_dir / strName; }
    std::string RegistryPath() const { return m_dir / "registry.db"; }
    std::string TraceSocketPath() const { return m_dir / "zrdiag.sock"; }
    std::string AppFolder() const { return m_dir / "app"; }

    // Names AppFolder() as the service's folder in the registry the process
    // uses: the machine's file unless a registry override points elsewhere.
    void RegisterAppPath() const {
        core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
        root.CreateSubKey(mcCMUtils::kRegistryKey).SetValueString(mcCMUtils::kAppPathValue, AppFolder());
    }

    // Starts the private bus (once; it keeps a folder of its own) and points
    // KETTRIN_BUS_ADDRESS at it. Throws std::runtime_error when the daemon
    // cannot start.
    PrivateBus& StartBus() {
        if (!m_pBus) {
            m_pBus = std::make_unique<PrivateBus>();
            m_envBusAddress.emplace("KETTRIN_BUS_ADDRESS", m_pBus->Address());
        }
        return *m_pBus;
    }
    // The bus StartBus started; only valid after it.
    PrivateBus& Bus() { return *m_pBus; }
    // Ends the bus (and what it activated, which ends with it) and removes
    // KETTRIN_BUS_ADDRESS again. Nothing when no bus runs.
    void StopBus() {
        m_envBusAddress.reset();
        m_pBus.reset();
    }

private:
    fstest::TempDir m_dir;
    ScopedEnv m_envRegistry;
    ScopedEnv m_envDiag;
    ScopedEnv m_envServiceDir;
    ScopedEnv m_envBus;
    std::unique_ptr<PrivateBus> m_pBus;
    std::optional<ScopedEnv> m_envBusAddress;
};

}  // namespace testsupport
