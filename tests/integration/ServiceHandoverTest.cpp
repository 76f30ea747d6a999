// One server instance hands over to the next (bus activation on a private
// bus, a short shut-down delay): installer reports that the service answered
// with S_OK must all be in "ComponentMgrConfig.xml" once every instance has
// ended, whether the instances end by themselves or by SIGTERM.
//
// KETTRIN_TEST_SERVER, when set, names another server program to run the
// same scenario against (an older build, to compare).
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/mcComponentMgrClient.h"
#include "contract/ComponentMgrIfc.h"
#include "support/PrivateBus.h"
#include "support/ServiceTestMachine.h"

namespace {

using namespace std::chrono_literals;
using svctest::ScopedEnv;

constexpr const char* kLogFinalConstruct = "moComponentMgr::FinalConstructImpl Enter";
constexpr const char* kLogFinalReleaseExit = "moComponentMgr::FinalReleaseImpl Normal Exit";
constexpr int kSenders = 2;
constexpr int kReportsPerSender = 20;

std::string ServerProgram() {
    const char* pszOther = std::getenv("KETTRIN_TEST_SERVER");
    return pszOther != nullptr && *pszOther != '\0' ? std::string(pszOther) : svctest::kKettrin;
}

std::string InstallText(const std::string& strComponent) {
    return "<InstallData name=\"" + strComponent +
           "\" version=\"1.0\"><ManifestName>main</ManifestName><Install result=\"success\"/>"
           "<InstallPath>/opt/" + strComponent + "</InstallPath><ErrorCode>0</ErrorCode>"
           "<Uninstall><Exe>/opt/un</Exe><Cmdline>-q</Cmdline></Uninstall></InstallData>";
}

class HandoverTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pDelay = std::make_unique<ScopedEnv>("KETTRIN_SHUTDOWN_DELAY_MS", "300");
        m_pBus = std::make_unique<testsupport::PrivateBus>();
        m_pBusEnv = std::make_unique<ScopedEnv>("KETTRIN_BUS_ADDRESS", m_pBus->Address());
        m_pBus->AddService(cmifc::kBusName, ServerProgram());
        m_pObserver = std::make_unique<mcBusConnection>(mcBusConnection::OpenAddress(m_pBus->Address()));
    }

    void TearDown() override {
        m_pObserver.reset();
        m_pBus.reset();
    }

    // Sends the reports from kSenders threads, each report on a connection of
    // its own, with random pauses of 0.2 to 1.5 s between them; returns the
    // components whose report was answered with S_OK.
    std::set<std::string> SendReports() {
        std::mutex mutex;
        std::set<std::string> setAcknowledged;
        std::vector<std::thread> vecThreads;
        for (int t = 0; t < kSenders; ++t) {
            vecThreads.emplace_back([&, t] {
                std::mt19937 random(static_cast<unsigned>(std::random_device{}()) + static_cast<unsigned>(t));
                std::uniform_int_distribution<int> pause(200, 1500);
                for (int i = 0; i < kReportsPerSender; ++i) {
                    const std::string strComponent = "comp" + std::to_string(t) + "_" + std::to_string(i);
                    try {
                        mcComponentMgrClient::Options options;
                        options.strBusAddress = m_pBus->Address();
                        options.timeout = 30s;
                        mcComponentMgrClient client(options);
                        const HRESULT hr = client.ComponentInstalled("qorb", InstallText(strComponent));
                        std::lock_guard<std::mutex> lock(mutex);
                        if (hr == S_OK) {
                            setAcknowledged.insert(strComponent);
                        } else {
                            m_vecUnanswered.push_back(cmifc::FormatHResult(hr) + " " + client.LastError());
                        }
                    } catch (const std::exception& exc) {
                        // Not acknowledged: nothing is owed for it.
                        std::lock_guard<std::mutex> lock(mutex);
                        m_vecUnanswered.push_back(exc.what());
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
                }
            });
        }
        for (std::thread& thread : vecThreads) thread.join();
        return setAcknowledged;
    }

    // Waits until no instance is left: the name has no owner and every
    // instance that built its object has released it.
    bool WaitForAllEnded() {
        return svctest::WaitFor(
            [&] {
                return svctest::ServiceOwner(*m_pObserver).empty() &&
                       m_machine.CountLogLines(kLogFinalConstruct) == m_machine.CountLogLines(kLogFinalReleaseExit);
            },
            30s);
    }

    // Components recorded as installed, read with python's XML parser.
    std::set<std::string> InstalledInFile() {
        std::string strOut;
        const std::string strScript =
            "import sys, xml.etree.ElementTree as E\n"
            "for c in E.parse(sys.argv[1]).getroot().iter('Component'):\n"
            "    s = c.find('State')\n"
            "    if s is not None and s.get('value') == 'installed': print(c.get('name'))\n";
        EXPECT_EQ(svctest::RunProgram({"/usr/bin/env", "python3", "-c", strScript,
                                       m_machine.AppFolder() + "/ComponentMgrConfig.xml"},
                                      &strOut),
                  0);
        std::set<std::string> setNames;
        std::istringstream in(strOut);
        for (std::string strLine; std::getline(in, strLine);) setNames.insert(strLine);
        return setNames;
    }

    // Every acknowledged report is in the file; records the figures. At
    // least nMinAcknowledged reports must have been answered for the
    // scenario to count.
    void ExpectNothingLost(const std::set<std::string>& setAcknowledged, std::size_t nMinAcknowledged) {
        ASSERT_TRUE(WaitForAllEnded()) << m_machine.ReadLog();
        const std::set<std::string> setInstalled = InstalledInFile();
        int nLost = 0;
        for (const std::string& strComponent : setAcknowledged) {
            if (setInstalled.count(strComponent) == 0) {
                ++nLost;
                ADD_FAILURE() << "acknowledged report lost: " << strComponent;
            }
        }
        const int nInstances = m_machine.CountLogLines(kLogFinalConstruct);
        RecordProperty("Acknowledged", static_cast<int>(setAcknowledged.size()));
        RecordProperty("Lost", nLost);
        RecordProperty("Instances", nInstances);
        std::printf("handover: %zu acknowledged, %d lost, %d instances\n", setAcknowledged.size(), nLost,
                    nInstances);
        for (const std::string& strError : m_vecUnanswered) std::printf("  not acknowledged: %s\n", strError.c_str());
        // The scenario ran: reports were answered, by several instances.
        EXPECT_GE(setAcknowledged.size(), nMinAcknowledged);
        EXPECT_GT(nInstances, 2);
    }

    svctest::TestMachine m_machine;
    std::unique_ptr<ScopedEnv> m_pDelay;
    std::unique_ptr<testsupport::PrivateBus> m_pBus;
    std::unique_ptr<ScopedEnv> m_pBusEnv;
    std::unique_ptr<mcBusConnection> m_pObserver;
    std::vector<std::string> m_vecUnanswered;
};

// Instances end by themselves 300 ms after their last client and new ones
// are activated for the next report.
TEST_F(HandoverTest, NoAcknowledgedReportIsLostWhenInstancesEnd) {
    // Every report finds an instance to answer it.
    ExpectNothingLost(SendReports(), kSenders * kReportsPerSender);
}

// The same while the running instance gets SIGTERM at random moments.
TEST_F(HandoverTest, NoAcknowledgedReportIsLostOnSigterm) {
    std::atomic<bool> bStop{false};
    std::atomic<int> nSignals{0};
    std::thread killer([&] {
        // A connection of this thread's own: the observer belongs to the test.
        mcBusConnection observer = mcBusConnection::OpenAddress(m_pBus->Address());
        std::mt19937 random(std::random_device{}());
        std::uniform_int_distribution<int> pause(300, 2500);
        while (!bStop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
            const std::string strOwner = svctest::ServiceOwner(observer);
            if (strOwner.empty() || bStop) continue;
            try {
                const std::uint32_t nPid = svctest::PidOf(observer, strOwner);
                if (nPid != 0 && ::kill(static_cast<pid_t>(nPid), SIGTERM) == 0) ++nSignals;
            } catch (const mcExc&) {
                // The owner went meanwhile.
            }
        }
    });
    const std::set<std::string> setAcknowledged = SendReports();
    bStop = true;
    killer.join();
    RecordProperty("Signals", nSignals.load());
    EXPECT_GT(nSignals.load(), 0);
    // A stop serves the calls queued for the instance, so (nearly) every
    // report is answered; the margin covers a signal that lands between a
    // client's activation request and the bus handing the call over.
    ExpectNothingLost(setAcknowledged, kSenders * kReportsPerSender * 9 / 10);
}

}  // namespace
