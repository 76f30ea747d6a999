#include "service/mcComponentMgrServer.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "bus/BusAddress.h"
#include "contract/ComponentMgrIfc.h"
#include "base/FileUtils.h"
#include "registry/RegistryDatabase.h"
#include "bus/mcBusConnection.h"
#include "bus/mcBusDispatcher.h"
#include "bus/mcBusExc.h"
#include "base/mcCMLog.h"
#include "registry/mcCMUtils.h"
#include "base/mcDiagTrace.h"
#include "service/mcComponentMgrBusBinding.h"
#include "service/mcDefaultCrashReportHook.h"
#include "service/mcCallerAuthorizer.h"
#include "service/mcDispatcherApartment.h"
#include "service/mcServerLifetime.h"
#include "service/moComponentMgr.h"

namespace {

constexpr const char* kProgram = "Kettrin";

void PrvTellOperator(const std::string& strText) {
    std::fprintf(stderr, "%s: %s\n", kProgram, strText.c_str());
}

int PrvStrength(mcComponentMgrServer::EndReason reason) {
    using R = mcComponentMgrServer::EndReason;
    switch (reason) {
        case R::kNone:
            return 0;
        case R::kIdle:
            return 1;
        default:
            return 2;
    }
}

// Two addresses of the same bus: equal, or unix:path= addresses of one
// socket file.
bool PrvSameBus(const std::string& strA, const std::string& strB) {
    if (strA == strB) return true;
    static const std::string kUnixPath = "unix:path=";
    if (strA.rfind(kUnixPath, 0) != 0 || strB.rfind(kUnixPath, 0) != 0) return false;
    if (strA.find(',') != std::string::npos || strB.find(',') != std::string::npos) return false;
    std::error_code ec;
    return std::filesystem::equivalent(strA.substr(kUnixPath.size()), strB.substr(kUnixPath.size()), ec);
}

}  // namespace

mcComponentMgrServer::mcComponentMgrServer(mcServiceConfig config, ICrashReportHook* pCrashHook)
    : m_config(std::move(config)), m_pCrashHook(pCrashHook) {
    if (!m_pCrashHook) {
        m_pDefaultCrashHook = std::make_unique<mcDefaultCrashReportHook>();
        m_pCrashHook = m_pDefaultCrashHook.get();
    }
}

mcComponentMgrServer::~mcComponentMgrServer() {
    {
        std::lock_guard<std::mutex> lock(m_mutexQuit);
        m_pQuitTarget = nullptr;
    }
    m_pBinding.reset();
    m_pObject.reset();
    m_pApartment.reset();
    m_pAuthorizer.reset();
    m_pLifetime.reset();
    m_pDispatcher.reset();
    m_pConnection.reset();
}

int mcComponentMgrServer::Run() {
    int nExit = 0;
    try {
        nExit = PrvServe();
    } catch (const mcExc& exc) {
        // Set-up failures of the bus (the name refused, an object that cannot
        // be registered): the server cannot serve.
        mfCMLog(exc.Description());
        PrvTellOperator(exc.Description());
        PrvSetEndReason(EndReason::kNoBus);
        nExit = kExitNoBus;
    }
    // Everything of the main thread goes on the main thread, newest first.
    {
        std::lock_guard<std::mutex> lock(m_mutexQuit);
        m_pQuitTarget = nullptr;
    }
    m_pBinding.reset();
    m_pObject.reset();  // releases the object if that has not happened yet
    m_pApartment.reset();
    m_pAuthorizer.reset();
    m_pLifetime.reset();
    m_pDispatcher.reset();
    m_pConnection.reset();
    return nExit;
}

int mcComponentMgrServer::PrvServe() {
    // Start-up, before anything else reads the registry or writes the log.
    if (!m_config.strRegistryPath.empty()) {
        core::registry::db::SetDatabasePathOverride(m_config.strRegistryPath);
    }
    // A registry file that is not ours would read as missing values and
    // switch every folder to its fallback: refuse to start instead.
    try {
        core::registry::db::CheckDatabaseFile(core::registry::db::DatabasePath());
    } catch (const core::registry::db::Error& error) {
        const std::string strLine = "Registry unusable, service not started: " + error.description;
        PrvTellOperator(strLine);
        // Only a folder given to us holds the log; the registry cannot name one.
        if (!m_config.strAppFolder.empty() && mfCreateDirectories(m_config.strAppFolder) &&
            mcCMLog::Instance().Open(m_config.strAppFolder)) {
            mfCMLog(strLine);
        }
        PrvSetEndReason(EndReason::kBadRegistry);
        return kExitBadRegistry;
    }
    if (m_config.strAppFolder.empty()) m_config.strAppFolder = mcCMUtils::GetAppPath();
    // On a fresh machine the folder may not exist yet.
    (void)mfCreateDirectories(m_config.strAppFolder);
    mcCMLog::Instance().Open(m_config.strAppFolder);
    (void)mcDiagTrace::InternetConnection();
    (void)mcDiagTrace::Http();

    try {
        if (m_config.strBusAddress.empty()) {
            m_config.strBusAddress = mfResolveBusAddress(mcBusRole::Service, m_config.bSessionBus);
        }
        m_pConnection = std::make_unique<mcBusConnection>(mcBusConnection::OpenAddress(m_config.strBusAddress));
    } catch (const mcExc& exc) {
        mfCMLog(exc.Description());
        PrvTellOperator("cannot connect to the bus: " + exc.Description());
        PrvSetEndReason(EndReason::kNoBus);
        return kExitNoBus;
    }
    m_pDispatcher = std::make_unique<mcBusDispatcher>(*m_pConnection);
    {
        std::lock_guard<std::mutex> lock(m_mutexQuit);
        m_pQuitTarget = m_pDispatcher.get();
    }
    m_pDispatcher->SetExceptionHook([](const std::string& strContext, std::exception_ptr pException) {
        mfCMLog(strContext + mcDefaultCrashReportHook::kUnhandledText +
                mcDefaultCrashReportHook::DescribeException(pException));
    });
    m_pLifetime = std::make_unique<mcServerLifetime>(*m_pDispatcher, m_config.shutdownDelay, [this] {
        PrvSetEndReason(EndReason::kIdle);
        m_pDispatcher->Quit();
    });
    // In force before the name is taken: no client's departure is missed.
    m_pDispatcher->WatchNameOwnerChanged(
        [this](const std::string& strName, const std::string& strOld, const std::string& strNew) {
            PrvOnNameOwnerChanged(strName, strOld, strNew);
        });
    IComponentMgrHost& host = *this;
    const std::string strAuthorityBus = m_config.PolkitBusAddress();
    const bool bAuthorityOnBus = PrvSameBus(strAuthorityBus, m_config.strBusAddress);
    m_pAuthorizer = std::make_unique<mcCallerAuthorizer>(*m_pDispatcher, ::geteuid(), bAuthorityOnBus,
                                                         m_config.authorizationTimeout);
    m_pApartment = std::make_unique<mcDispatcherApartment>(*m_pDispatcher, *m_pAuthorizer);
    m_pObject = std::make_unique<moComponentMgr>(*m_pApartment, m_config, host);
    m_pBinding = std::make_unique<mcComponentMgrBusBinding>(*m_pDispatcher, *m_pObject, m_pLifetime.get(),
                                                            *m_pAuthorizer);
    if (m_startHook) m_startHook(*this);

    if (!m_pConnection->RequestName(cmifc::kBusName)) {
        PrvSetEndReason(EndReason::kNameTaken);
        PrvTellOperator(std::string("the bus name ") + cmifc::kBusName +
                        " is owned by another server; this one ends");
        return 0;
    }
    m_bOwnsName = true;

    m_pObject->FinalConstruct();
    m_pLifetime->SetBusyCheck([this] { return m_pObject->GetQueuedJobCount() > 0; });
    m_pLifetime->Start();

    for (;;) {
        if (m_bStopRequested) {
            PrvSetEndReason(EndReason::kStopRequested);
            // A stop that came before the loop ran (during FinalConstruct's
            // wait for the application folder, say) must not cut the drain
            // below short: the calls queued for us are still served.
            (void)m_pDispatcher->ConsumeQuit();
            break;
        }
        m_pDispatcher->Run();
        if (!m_pDispatcher->IsConnected()) {
            PrvSetEndReason(EndReason::kDisconnected);
            break;
        }
        if (m_endReason.load() != EndReason::kIdle) break;
        if (!PrvGiveUpName()) break;
    }

    // A stop request still serves what is queued for us; a fault does not.
    if (m_endReason.load() == EndReason::kStopRequested && m_bOwnsName && m_pDispatcher->IsConnected()) {
        (void)PrvReleaseNameDraining();
    }
    PrvReleaseNameNow();
    m_pObject->FinalRelease();
    return 0;
}

bool mcComponentMgrServer::PrvGiveUpName() {
    const std::uint64_t nCallsBefore = m_pLifetime->CallCount();
    if (!PrvReleaseNameDraining()) return false;
    // The pause after the loop: whatever still reaches us is served, and a
    // call ends the pause.
    m_pDispatcher->PumpUntil(
        [&] { return m_pLifetime->CallCount() != nCallsBefore || !m_pLifetime->IsIdle(); },
        m_config.pauseAfterLoop);
    if (PrvStrength(m_endReason.load()) > 1 || !m_pDispatcher->IsConnected()) return false;

    const bool bCarryOn = m_pLifetime->CallCount() != nCallsBefore || !m_pLifetime->TryClose();
    if (!bCarryOn) return false;
    if (!m_pConnection->RequestName(cmifc::kBusName)) {
        // Another instance was started for a newer call and serves from now on.
        PrvTellOperator(std::string("the bus name ") + cmifc::kBusName +
                        " was taken by another server; this one ends");
        return false;
    }
    m_bOwnsName = true;
    PrvTellOperator("calls arrived while the bus name was given up; serving on");
    EndReason expected = EndReason::kIdle;
    m_endReason.compare_exchange_strong(expected, EndReason::kNone);
    m_pLifetime->Resume();
    return true;
}

bool mcComponentMgrServer::PrvReleaseNameDraining() {
    // The reply to ReleaseName comes after every message the bus routed to us
    // before it released the name: waiting for it with a nested pump serves
    // all of them.
    try {
        mcBusMessage call = m_pConnection->NewMethodCall(mcBusConnection::kBusName, mcBusConnection::kBusPath,
                                                         mcBusConnection::kBusInterface, "ReleaseName");
        call.Append(cmifc::kBusName);
        mcBusMessage reply = m_pDispatcher->CallAsync(call);
        m_bOwnsName = false;
        return true;
    } catch (const mcExc& exc) {
        mfCMLog(exc.Description());
        return false;
    }
}

void mcComponentMgrServer::PrvReleaseNameNow() noexcept {
    if (!m_bOwnsName) return;
    m_bOwnsName = false;
    try {
        if (m_pConnection && m_pConnection->IsOpen()) m_pConnection->ReleaseName(cmifc::kBusName);
    } catch (...) {
        // The bus is gone: so is the name.
    }
}

void mcComponentMgrServer::PrvOnNameOwnerChanged(const std::string& strName, const std::string& strOldOwner,
                                                 const std::string& strNewOwner) {
    if (!strNewOwner.empty() || strName.empty() || strName[0] != ':') return;
    m_pLifetime->OnNameOwnerChanged(strName, strOldOwner, strNewOwner);
    if (m_pObject) m_pObject->DropSinksOf(strName);
}

void mcComponentMgrServer::PrvSetEndReason(EndReason reason) {
    EndReason current = m_endReason.load();
    while (PrvStrength(reason) > PrvStrength(current) &&
           !m_endReason.compare_exchange_weak(current, reason)) {
    }
}

void mcComponentMgrServer::RequestStop() {
    m_bStopRequested = true;
    PrvSetEndReason(EndReason::kStopRequested);
    std::lock_guard<std::mutex> lock(m_mutexQuit);
    if (m_pQuitTarget) m_pQuitTarget->Quit();
}

// ------------------------------------------------------------ host

ICrashReportHook::Verdict mcComponentMgrServer::ReportFault(const std::string& strWhere,
                                                            std::exception_ptr pException) noexcept {
    return m_pCrashHook->ReportFault(strWhere, pException);
}

void mcComponentMgrServer::EndMainLoop() noexcept {
    PrvSetEndReason(EndReason::kTerminated);
    std::lock_guard<std::mutex> lock(m_mutexQuit);
    if (m_pQuitTarget) m_pQuitTarget->Quit();
}

void mcComponentMgrServer::Touch() {
    if (m_pLifetime) m_pLifetime->Touch();
}

bool mcComponentMgrServer::AcquireJobReference() {
    return m_pLifetime ? m_pLifetime->AcquireJobReference() : false;
}

void mcComponentMgrServer::ReleaseJobReference() {
    if (m_pLifetime) m_pLifetime->ReleaseJobReference();
}
