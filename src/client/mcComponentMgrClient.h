#pragma once
// mcComponentMgrClient: a C++ client of the component manager service, one
// method per bus method. Each returns the service's HRESULT and fills its
// out-arguments; when the call itself fails on the bus the result is the
// HRESULT that failure stands for (cmifc::HResultFromBusError: the service
// could not be started, did not answer, faulted, ...), the out-arguments are
// left empty and LastError() tells the details.
//
// The client owns its bus connection and a dispatcher on it. Calls wait with
// a nested pump, so callback and sink objects exported on the same connection
// are served while a call waits (the service may call the client back before
// it answers, as it does for the notification sinks). Between calls, pump with
// PumpUntil to receive callbacks.
//
// Callback arguments are object paths on this client's connection, "/" for
// none; ExportCallback and ExportNotifySink make such objects.
//
// Threads: the client belongs to the thread that constructed it; use it only
// there (the dispatcher checks). Construction fails with mcBusExc when the bus
// cannot be reached (applications of the shared library libkettrin-client
// catch it as std::exception: its own type is not exported).
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/IComponentMgrCallback.h"
#include "client/IComponentMgrNotify.h"
#include "contract/Hresult.h"

class mcBusConnection;
class mcBusDispatcher;
class mcBusMessage;

class mcComponentMgrClient {
public:
    struct Options {
        // Bus address; empty: KETTRIN_BUS_ADDRESS, else the session bus when
        // bSessionBus is set, else the system bus.
        std::string strBusAddress;
        bool bSessionBus = false;
        // Let the bus start the service when it is not running.
        bool bAutoStart = true;
        // Longest wait for an answer; zero: the bus default (25 s).
        std::chrono::milliseconds timeout{0};
        // Service to call; empty: "ComponentMgr.ComponentMgrObj".
        std::string strDestination;
    };

    static constexpr const char* kNoCallback = "/";
    static constexpr const char* kPermissionDenied = "permission denied";

    mcComponentMgrClient();
    explicit mcComponentMgrClient(Options options);
    ~mcComponentMgrClient();
    mcComponentMgrClient(const mcComponentMgrClient&) = delete;
    mcComponentMgrClient& operator=(const mcComponentMgrClient&) = delete;

    mcBusConnection& Connection() { return *m_pConnection; }
    mcBusDispatcher& Dispatcher() { return *m_pDispatcher; }
    std::string UniqueName() const;
    // Text of the last call that failed on the bus; kPermissionDenied after a
    // call the service refused to serve (E_ACCESSDENIED); empty after any
    // other call that reached the service.
    const std::string& LastError() const { return m_strLastError; }

    // --- IComponentMgrControl
    HRESULT Register(const std::string& strSinkPath, std::uint32_t& nCookie);
    HRESULT Unregister(std::uint32_t nCookie);
    HRESULT ClearTasks();
    // --- IComponentMgrManifest
    HRESULT GetComponents(const std::string& strManifest, std::vector<std::string>& vecComponents);
    HRESULT GetComponentClientData(const std::string& strManifest, const std::string& strComponent,
                                   std::string& strData);
    HRESULT GetComponentFriendlyName(const std::string& strManifest, const std::string& strComponent,
                                     std::string& strName);
    HRESULT UpdateManifests();
    HRESULT GetComponentsFiltered(const std::string& strClient, const std::string& strManifest,
                                  std::vector<std::string>& vecComponents);
    // --- IComponentMgrInstaller
    HRESULT ComponentInstalled(const std::string& strClientName, const std::string& strData);
    HRESULT ComponentUninstalled(const std::string& strClientName, const std::string& strData);
    HRESULT GetComponentInstallData(const std::string& strClientName, std::string& strData);
    HRESULT GetComponentUninstallData(const std::string& strClientName, std::string& strData);
    HRESULT ForceStartInstall(const std::string& strClient, const std::string& strManifest,
                              const std::string& strComponent, const std::string& strCallbackPath = kNoCallback);
    // --- IComponentMgr
    HRESULT StartComponentDownload(const std::string& strClient, const std::string& strManifest,
                                   const std::string& strComponent,
                                   const std::string& strCallbackPath = kNoCallback);
    HRESULT CancelDownload(const std::string& strFirst, const std::string& strSecond);
    HRESULT StartComponentInstall(const std::string& strClient, const std::string& strManifest,
                                  const std::string& strComponent,
                                  const std::string& strCallbackPath = kNoCallback);
    HRESULT IsComponentInstalled(const std::string& strClient, const std::string& strManifest,
                                 const std::string& strComponent, std::int32_t& nStatus);
    HRESULT DoTriggerTasks(const std::string& strClient, const std::string& strManifest,
                           const std::string& strCallbackPath, bool& bUpdateStarted);
    HRESULT StartComponentUpdate(const std::string& strClient, const std::string& strManifest,
                                 const std::string& strComponent,
                                 const std::string& strCallbackPath = kNoCallback);
    HRESULT StartComponentUninstall(const std::string& strClient, const std::string& strManifest,
                                    const std::string& strComponent,
                                    const std::string& strCallbackPath = kNoCallback);
    HRESULT ClientInstalled(const std::string& strName, const std::string& strVersion,
                            const std::string& strOem, const std::string& strLang);
    HRESULT ClientUninstalled(const std::string& strClient, const std::string& strCallbackPath = kNoCallback);
    HRESULT ClientUninstalled_Asynchronous(const std::string& strClient,
                                           const std::string& strCallbackPath = kNoCallback);
    HRESULT GetInstalledComponentVersion(const std::string& strClient, const std::string& strComponent,
                                         std::string& strVersion);
    HRESULT IsComponentUpdateAvailForInstall(const std::string& strClient, const std::string& strComponent,
                                             bool& bAvailable);
    HRESULT IsComponentInstallRunning(const std::string& strClient, const std::string& strManifest,
                                      const std::string& strComponent, bool& bRunning);
    // "IsComponentUpdateAvailForInstallEx" on the bus.
    HRESULT IsComponentUpdateAvailForInstall(const std::string& strClient, const std::string& strComponent,
                                             std::string& strVersion, bool& bAvailable);
    HRESULT PredownloadComponent(const std::string& strXml);

    // --- The server's hidden window. These never start the service.
    // The unique name of the service's owner: S_OK, S_FALSE when the service
    // is not running, a failure HRESULT when the bus cannot tell.
    HRESULT GetServiceOwner(std::string& strOwner);
    // The window's "Title" property.
    HRESULT GetWindowTitle(std::string& strTitle);
    // The window's Close: the service flushes its job queues.
    HRESULT CloseWindow();

    // --- Objects on this connection for the service to call.
    // Exports the callback at strPath (empty: a new path of its own) and
    // returns the path. The client keeps the object alive until Unexport.
    std::string ExportCallback(std::shared_ptr<IComponentMgrCallback> pCallback,
                               const std::string& strPath = std::string());
    std::string ExportNotifySink(std::shared_ptr<IComponentMgrNotify> pSink,
                                 const std::string& strPath = std::string());
    void Unexport(const std::string& strPath);

    // Serves this connection (callbacks, sinks) until pred holds or the
    // time-out passes; false on time-out or loss of the connection.
    bool PumpUntil(const std::function<bool()>& pred,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds{-1});

private:
    // Sends interface.member with the arguments fnArgs appends, waits, checks
    // the reply's signature against the method table and hands it (after the
    // HRESULT) to fnOut.
    HRESULT PrvCall(const char* pszInterface, const char* pszMember,
                    const std::function<void(mcBusMessage&)>& fnArgs,
                    const std::function<void(mcBusMessage&)>& fnOut);
    mcBusMessage PrvNewCall(const std::string& strDestination, const std::string& strPath,
                            const char* pszInterface, const char* pszMember, bool bAutoStart);
    HRESULT PrvFailure(const std::exception_ptr& pException);
    std::string PrvNewPath(const char* pszKind);

    Options m_options;
    std::string m_strDestination;
    std::unique_ptr<mcBusConnection> m_pConnection;
    std::unique_ptr<mcBusDispatcher> m_pDispatcher;
    std::string m_strLastError;
    std::uint64_t m_nNextPath = 1;
    std::vector<std::pair<std::string, std::shared_ptr<void>>> m_vecExports;
};
