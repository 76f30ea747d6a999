#pragma once
// The server run in-process for the service tests (see also
// support/ServiceTestMachine.h).
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "bus/mcBusDispatcher.h"
#include "service/mcComponentMgrServer.h"
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

}  // namespace svctest
