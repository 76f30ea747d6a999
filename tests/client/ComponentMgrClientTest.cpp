// The client library against stand-ins on a private bus: exported callback
// objects as the service's jobs call them, and the HRESULTs of calls that fail
// on the bus instead of reaching the service.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client/mcComponentMgrClient.h"
#include "contract/ComponentMgrIfc.h"
#include "bus/mcBusConnection.h"
#include "bus/mcBusDispatcher.h"
#include "base/mcExc.h"
#include "support/PrivateBus.h"
#include "support/ScratchMachine.h"

namespace {

using namespace std::chrono_literals;

class RecordingCallback : public IComponentMgrCallback {
public:
    HRESULT OnDownloadProgress(const std::string& strComponent, std::int32_t nPercent) override {
        vecCalls.push_back("progress " + strComponent + " " + std::to_string(nPercent));
        return S_OK;
    }
    HRESULT OnDownloadFailed(const std::string& strComponent, std::int32_t nError, const std::string& strText) override {
        vecCalls.push_back("failed " + strComponent + " " + std::to_string(nError) + " " + strText);
        return S_OK;
    }
    HRESULT OnInstallComplete(const std::string& strComponent, bool bSuccess, const std::string& strText) override {
        vecCalls.push_back("installed " + strComponent + " " + (bSuccess ? "true" : "false") + " " + strText);
        return S_FALSE;
    }
    HRESULT OnDownloadComplete(const std::string& strComponent) override {
        vecCalls.push_back("downloaded " + strComponent);
        return S_OK;
    }
    HRESULT OnUninstallComplete(const std::string& strComponent, bool bSuccess, const std::string& strText) override {
        vecCalls.push_back("uninstalled " + strComponent + " " + (bSuccess ? "true" : "false") + " " + strText);
        return E_FAIL;
    }
    std::vector<std::string> vecCalls;
};

class ClientTest : public ::testing::Test {
protected:
    std::unique_ptr<mcComponentMgrClient> NewClient(std::chrono::milliseconds timeout = 10s) {
        mcComponentMgrClient::Options options;
        options.strBusAddress = m_bus.Address();
        options.timeout = timeout;
        return std::make_unique<mcComponentMgrClient>(options);
    }

    testsupport::ScratchMachine m_machine;
    testsupport::PrivateBus& m_bus = m_machine.StartBus();
};

// Another connection plays the service's job: it calls each callback method
// and collects the answers while the client pumps.
TEST_F(ClientTest, ExportedCallbackReceivesEveryMethodWithItsArguments) {
    auto pClient = NewClient();
    auto pCallback = std::make_shared<RecordingCallback>();
    const std::string strPath = pClient->ExportCallback(pCallback);
    EXPECT_EQ(strPath.substr(0, 20), "/ComponentMgrClient/");
    const std::string strName = pClient->UniqueName();

    std::vector<HRESULT> vecResults;
    std::atomic<bool> bDone{false};
    std::string strError;
    std::thread job([&] {
        try {
            mcBusConnection connection = mcBusConnection::OpenAddress(m_bus.Address());
            auto Call = [&](const char* pszMember, const std::function<void(mcBusMessage&)>& fnArgs) {
                mcBusMessage call = connection.NewMethodCall(strName, strPath, cmifc::kIfaceCallback, pszMember);
                fnArgs(call);
                vecResults.push_back(connection.CallMethod(call).ReadInt32());
            };
            Call("OnDownloadProgress", [](mcBusMessage& c) { c.Append("Codec").Append(std::int32_t{42}); });
            Call("OnDownloadFailed",
                 [](mcBusMessage& c) { c.Append("Codec").Append(std::int32_t{0}).Append(""); });
            Call("OnInstallComplete", [](mcBusMessage& c) { c.Append("Codec").Append(true).Append("done"); });
            Call("OnDownloadComplete", [](mcBusMessage& c) { c.Append("Codec"); });
            Call("OnUninstallComplete",
                 [](mcBusMessage& c) { c.Append("Codec").Append(false).Append("RemoveComponentClient return S_FALSE"); });
        } catch (const std::exception& exc) {
            strError = exc.what();
        }
        bDone = true;
        pClient->Dispatcher().Post([] {});
    });
    EXPECT_TRUE(pClient->PumpUntil([&] { return bDone.load(); }, 20s));
    job.join();
    ASSERT_EQ(strError, "");
    EXPECT_EQ(pCallback->vecCalls,
              (std::vector<std::string>{"progress Codec 42", "failed Codec 0 ", "installed Codec true done",
                                        "downloaded Codec",
                                        "uninstalled Codec false RemoveComponentClient return S_FALSE"}));
    EXPECT_EQ(vecResults, (std::vector<HRESULT>{S_OK, S_OK, S_FALSE, S_OK, E_FAIL}));

    // Unexported: the object is gone from the connection.
    pClient->Unexport(strPath);
    mcBusConnection connection = mcBusConnection::OpenAddress(m_bus.Address());
    mcBusMessage call = connection.NewMethodCall(strName, strPath, cmifc::kIfaceCallback, "OnDownloadComplete");
    call.Append("Codec");
    std::atomic<bool> bFailed{false};
    std::thread late([&] {
        try {
            connection.CallMethod(call);
        } catch (const mcExc&) {
            bFailed = true;
        }
        bDone = false;
        pClient->Dispatcher().Post([] {});
    });
    EXPECT_TRUE(pClient->PumpUntil([&] { return !bDone.load(); }, 20s));
    late.join();
    EXPECT_TRUE(bFailed.load());
    EXPECT_EQ(pCallback->vecCalls.size(), 5u);
}

TEST_F(ClientTest, ServiceThatCannotBeStartedGivesTheExecFailure) {
    auto pClient = NewClient();
    EXPECT_EQ(pClient->ClearTasks(), cmifc::CO_E_SERVER_EXEC_FAILURE);
    EXPECT_NE(pClient->LastError().find("ServiceUnknown"), std::string::npos) << pClient->LastError();
    std::string strOwner = "x";
    EXPECT_EQ(pClient->GetServiceOwner(strOwner), S_FALSE);
    EXPECT_EQ(strOwner, "");
}

// A stand-in service on its own thread: answers ClearTasks with a reply of
// the wrong form, Register properly, and fails in Unregister.
TEST_F(ClientTest, MalformedAnswersAndServiceFaultsBecomeFailures) {
    std::atomic<bool> bStop{false};
    std::atomic<bool> bReady{false};
    std::atomic<mcBusDispatcher*> pServiceDispatcher{nullptr};
    std::thread service([&] {
        mcBusConnection connection = mcBusConnection::OpenAddress(m_bus.Address());
        mcBusDispatcher dispatcher(connection);
        pServiceDispatcher = &dispatcher;
        dispatcher.AddMethod(cmifc::kObjectPath, cmifc::kIfaceControl, "ClearTasks", "", [](mcBusMessage& call) {
            mcBusMessage reply = call.NewMethodReturn();
            reply.Append("not an HRESULT");
            return reply;
        });
        dispatcher.AddMethod(cmifc::kObjectPath, cmifc::kIfaceControl, "Register", "o", [](mcBusMessage& call) {
            mcBusMessage reply = call.NewMethodReturn();
            reply.Append(std::int32_t{S_OK}).Append(std::uint32_t{77});
            return reply;
        });
        dispatcher.SetExceptionHook([](const std::string&, std::exception_ptr) {});
        dispatcher.AddMethod(cmifc::kObjectPath, cmifc::kIfaceControl, "Unregister", "u",
                             [](mcBusMessage&) -> mcBusMessage { throw std::runtime_error("handler failed"); });
        connection.RequestName(cmifc::kBusName);
        bReady = true;
        dispatcher.PumpUntil([&] { return bStop.load(); }, 30s);
    });
    while (!bReady) std::this_thread::sleep_for(5ms);

    auto pClient = NewClient(500ms);
    EXPECT_EQ(pClient->ClearTasks(), cmifc::RPC_E_INVALID_DATA);
    EXPECT_NE(pClient->LastError().find("unexpected reply"), std::string::npos);
    std::uint32_t nCookie = 0;
    EXPECT_EQ(pClient->Register("/sink", nCookie), S_OK);
    EXPECT_EQ(nCookie, 77u);
    // A handler that fails: the service's fault reaches the caller as such.
    EXPECT_EQ(pClient->Unregister(nCookie), cmifc::RPC_E_SERVERFAULT);
    bStop = true;
    pServiceDispatcher.load()->Wake();
    service.join();
}

TEST_F(ClientTest, NoAnswerInTimeIsATimeOut) {
    std::atomic<bool> bStop{false};
    std::atomic<bool> bReady{false};
    std::thread service([&] {
        mcBusConnection connection = mcBusConnection::OpenAddress(m_bus.Address());
        connection.RequestName(cmifc::kBusName);
        bReady = true;
        // Owns the name but never reads its connection.
        while (!bStop) std::this_thread::sleep_for(10ms);
    });
    while (!bReady) std::this_thread::sleep_for(5ms);
    auto pClient = NewClient(300ms);
    EXPECT_EQ(pClient->ClearTasks(), cmifc::RPC_E_TIMEOUT);
    bStop = true;
    service.join();
}

}  // namespace
