#pragma once
// The component manager object as the jobs see it: the three installer
// operations a download, install or uninstall job calls while it runs.
//
// The service's implementation hands every call to the main thread (where all
// the object's calls run, one at a time) and waits there for the result, so a
// job may call it from its engine's worker thread; a call made on the main
// thread itself runs at once. The job never owns the object behind it.
//
// Results are the operations' HRESULTs. When the service is shutting down and
// the call can no longer run, the result is CO_E_SERVER_STOPPING
// (contract/ComponentMgrIfc.h) and out-arguments are left empty. Never throws
// (except std::bad_alloc).
#include <string>

#include "contract/Hresult.h"
#include "jobs/mcClientCallback.h"

class IComponentMgrInstaller {
public:
    virtual ~IComponentMgrInstaller() = default;

    // Installs the component right after a download (install-after-download):
    // the object's StartComponentInstall with the same arguments, whose answer
    // it waits for (on a worker thread; the main thread pumps meanwhile).
    virtual HRESULT ForceStartInstall(const std::string& strClientName,
                                      const std::string& strManifestName,
                                      const std::string& strComponentName,
                                      const mcClientCallback& callback) = 0;
    // The install data an installer reported for the client (fetching empties
    // the held data); S_FALSE and an empty text when none is held.
    virtual HRESULT GetComponentInstallData(const std::string& strClientName,
                                            std::string& strData) = 0;
    // The same for uninstall data.
    virtual HRESULT GetComponentUninstallData(const std::string& strClientName,
                                              std::string& strData) = 0;
};
