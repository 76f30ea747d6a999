#pragma once
// The server run in-process for the service tests (see also
// support/ServiceTestMachine.h).
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>

#include "ManifestKey.h"
#include "bus/mcBusDispatcher.h"
#include "client/mcComponentMgrClient.h"
#include "manifest/Crypt.h"
#include "manifest/mcManifestDir.h"
#include "manifest/mcSignedFile.h"
#include "registry/mcCMUtils.h"
#include "service/mcComponentMgrServer.h"
#include "service/moComponentMgr.h"
#include "store/mcComponentConfig.h"
#include "support/FsTestUtil.h"
#include "support/PrivateBus.h"
#include "support/ServiceTestMachine.h"

namespace svctest {

// The configuration of an in-process server on bus, with short delays and
// the connection check answered "offline" (no network in tests).
inline mcServiceConfig TestConfig(const TestMachine& machine, const testsupport::PrivateBus& bus,
                                  std::chrono::milliseconds shutdownDelay = std::chrono::milliseconds{60000}) {
    mcServiceConfig config;
    config.strAppFolder = machine.AppFolder();
    config.strBusAddress = bus.Address();
    config.strActivationDir = machine.Folder() + "/services";
    config.shutdownDelay = shutdownDelay;
    config.pauseAfterLoop = std::chrono::milliseconds{50};
    config.fnConnectionCheck = [] { return false; };
    return config;
}

// The server run in-process on a thread of its own (its main thread).
class InProcessServer {
public:
    InProcessServer(mcServiceConfig config, mcComponentMgrServer::StartHook hook = nullptr,
                    ICrashReportHook* pCrashHook = nullptr)
        : m_server(std::move(config), pCrashHook) {
        m_server.SetStartHook([this, hook](mcComponentMgrServer& server) {
            if (hook) hook(server);
            m_pDispatcher = &server.Dispatcher();
        });
        m_thread = std::thread([this] {
            m_nExit = m_server.Run();
            m_bEnded = true;
        });
    }
    ~InProcessServer() {
        m_server.RequestStop();
        if (m_thread.joinable()) m_thread.join();
    }
    InProcessServer(const InProcessServer&) = delete;
    InProcessServer& operator=(const InProcessServer&) = delete;

    mcComponentMgrServer& Server() { return m_server; }
    bool Ended() const { return m_bEnded; }
    // Waits until the server has taken its name (FinalConstruct follows before
    // any call is served).
    bool WaitServing(const testsupport::PrivateBus& bus) {
        mcBusConnection connection = mcBusConnection::OpenAddress(bus.Address());
        return WaitFor([&] { return m_bEnded || connection.NameHasOwner(cmifc::kBusName); }) && !m_bEnded;
    }
    bool WaitEnded(std::chrono::milliseconds limit = kWaitLimit) {
        return WaitFor([this] { return m_bEnded.load(); }, limit);
    }
    int Join() {
        if (m_thread.joinable()) m_thread.join();
        return m_nExit;
    }
    // Runs f on the server's main thread and returns its result.
    template <class F>
    auto OnMain(F&& f) {
        return m_pDispatcher.load()->Invoke(std::forward<F>(f));
    }

private:
    mcComponentMgrServer m_server;
    std::atomic<mcBusDispatcher*> m_pDispatcher{nullptr};
    std::atomic<bool> m_bEnded{false};
    int m_nExit = -100;
    std::thread m_thread;
};

// ---------------------------------------------------------------------------
// A manifest site and the usual questions of the operation tests.

// True when this build accepts manifests signed with the development key of
// tests/data/keys (the tests that publish signed manifests skip otherwise).
inline bool DevelopmentKeyBuild() {
    return std::string(zr::crypt::kManifestPublicKey) == zr::crypt::kDevelopmentManifestPublicKey;
}

// strXml signed with the development key, as a manifest server serves it.
inline std::string SignedWithDevelopmentKey(const std::string& strXml) {
    static const std::string strPem = fstest::ReadFile(std::string(KETTRIN_TEST_DATA) + "/keys/dev-manifest-key.pem");
    return mcSignedFile::Compose(zr::crypt::RSASign(strPem, strXml), strXml);
}

struct DirectoryEntry {
    std::string strName;
    std::string strVersion;
    std::string strUrl;
};

// A manifest directory listing the entries, in order.
inline std::string ManifestDirectoryXml(std::initializer_list<DirectoryEntry> entries) {
    std::string strXml = "<ManifestDirectory Interval=\"1\">";
    for (const DirectoryEntry& e : entries) {
        strXml += "<Manifest name=\"" + e.strName + "\" version=\"" + e.strVersion + "\"><URL>" + e.strUrl +
                  "</URL></Manifest>";
    }
    return strXml + "</ManifestDirectory>";
}

// Writes strText to strPath, creating its folder (mode 0755 when executable).
inline void WriteAll(const std::string& strPath, const std::string& strText, bool bExecutable = false) {
    std::filesystem::create_directories(std::filesystem::path(strPath).parent_path());
    std::ofstream(strPath, std::ios::binary | std::ios::trunc) << strText;
    std::filesystem::permissions(strPath, bExecutable ? std::filesystem::perms(0755) : std::filesystem::perms(0644));
}

inline mcComponentMgrClient::Options ClientOptions(const testsupport::PrivateBus& bus,
                                                   std::chrono::seconds timeout = std::chrono::seconds{30}) {
    mcComponentMgrClient::Options options;
    options.strBusAddress = bus.Address();
    options.timeout = timeout;
    return options;
}

// Waits until the server has loaded every named manifest and finished its
// start-up work (the start-up update runs on the service's worker, so the
// first calls may come before it).
inline bool WaitForManifests(InProcessServer& server, std::initializer_list<const char*> names) {
    return WaitFor([&] {
        return server.OnMain([&] {
            mcManifestDir* pDir = server.Server().Object().GetManifestDir();
            if (!pDir) return false;
            for (const char* pszName : names) {
                if (!pDir->GetManifest(pszName)) return false;
            }
            return server.Server().Object().GetPendingWorkCount() == 0;
        });
    });
}

// The component's current state in the server's store ("" when unknown).
inline std::string ComponentState(InProcessServer& server, const std::string& strComponent) {
    return server.OnMain([&] {
        std::string strState;
        server.Server().Object().GetComponentConfig()->GetComponentCurrentState(strComponent, strState);
        return strState;
    });
}

inline std::string HoldingFolder(const TestMachine& machine, const std::string& strComponent) {
    return machine.AppFolder() + "/" + mcCMUtils::kHoldingAreaFolder + "/" + strComponent;
}

}  // namespace svctest
