#pragma once
// Shared set-up of the D-Bus layer tests: a scratch machine with its private
// bus, the "service" connection with its dispatcher on the test thread, and
// client threads that each open their own connection.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "bus/mcBusConnection.h"
#include "bus/mcBusDispatcher.h"
#include "support/PrivateBus.h"
#include "support/ScratchMachine.h"

namespace bustest {

inline constexpr const char* kPath = "/org/kettrin/Test";
inline constexpr const char* kIface = "org.kettrin.Test";
inline constexpr std::chrono::milliseconds kWaitLimit{20000};

// One client: a thread with a connection of its own. Finish() is announced to
// the dispatcher with Post(), so a pump waiting for Done() wakes up.
class ClientThread {
public:
    ClientThread(mcBusDispatcher& dispatcher, const std::string& strAddress,
                 std::function<void(mcBusConnection&)> fn)
        : m_thread([this, &dispatcher, strAddress, fn = std::move(fn)] {
              try {
                  mcBusConnection connection = mcBusConnection::OpenAddress(strAddress);
                  fn(connection);
              } catch (...) {
                  m_pError = std::current_exception();
              }
              m_bDone = true;
              dispatcher.Post([] {});
          }) {}
    ~ClientThread() {
        if (m_thread.joinable()) m_thread.join();
    }
    bool Done() const { return m_bDone; }
    // Joins and rethrows what the client threw.
    void Join() {
        if (m_thread.joinable()) m_thread.join();
        if (m_pError) std::rethrow_exception(m_pError);
    }

private:
    std::atomic<bool> m_bDone{false};
    std::exception_ptr m_pError;
    std::thread m_thread;
};

class BusTest : public ::testing::Test {
protected:
    BusTest()
        : m_server(mcBusConnection::OpenAddress(m_bus.Address())),
          m_dispatcher(m_server),
          m_strServer(m_server.UniqueName()) {}

    std::unique_ptr<ClientThread> StartClient(std::function<void(mcBusConnection&)> fn) {
        return std::make_unique<ClientThread>(m_dispatcher, m_bus.Address(), std::move(fn));
    }

    // Runs fn as a client while the test thread serves; rethrows its failure.
    void RunClient(std::function<void(mcBusConnection&)> fn) {
        auto pClient = StartClient(std::move(fn));
        ASSERT_TRUE(m_dispatcher.PumpUntil([&] { return pClient->Done(); }, kWaitLimit));
        pClient->Join();
    }

    void PumpUntilOrFail(const std::function<bool()>& pred) {
        ASSERT_TRUE(m_dispatcher.PumpUntil(pred, kWaitLimit));
    }

    mcBusMessage NewCall(mcBusConnection& connection, const std::string& strMember,
                         const std::string& strPath = kPath,
                         const std::string& strIface = kIface) {
        return connection.NewMethodCall(m_strServer, strPath, strIface, strMember);
    }

    testsupport::ScratchMachine m_machine;
    testsupport::PrivateBus& m_bus = m_machine.StartBus();
    mcBusConnection m_server;
    mcBusDispatcher m_dispatcher;
    std::string m_strServer;
};

}  // namespace bustest
