#pragma once
// Installs one downloaded component: runs its installer on the package in the
// component's holding-area folder, waits for it to end, fetches the result
// text the installer reported to the component manager
// (IComponentMgrInstaller::GetComponentInstallData), tells the client
// (OnInstallComplete) and sends an "InstallSuccess" or "InstallFailure" event.
//
// The installer: a ".zrz" package (exact, case-sensitive extension) is handed
// to the package installer, TI, as
//     "<TI>" <holding>/<component>/<package>[ <arguments>] /client <client>
// run in TI's folder; any other package is the installer itself, given its
// owner's execute bit just before it starts, as
//     "<holding>/<component>/<package>" <arguments> /client <client>
// run in the holding-area folder. The command line is split into argv by the
// Windows rules (mfSplitCommandLine).
//
// Failures, each told to the client as false with its text and sent as the
// event's additional information:
//   package missing:   <package path> + kErrNotFound        (clean-up)
//   start failed:      <application> + kErrStartFailed + 8 hex digits (clean-up)
//   component or package name unsafe as a file name: the start failure with
//                      ERROR_INVALID_NAME (7b); nothing is started
//   no result text:    <package path> + " of size " + size + kErrNoResult (clean-up)
//   installer says so: its "ErrorCode" text (no clean-up)
// The clean-up deletes the component's holding-area folder and records
// "downloaded" "0.00.0000", then "installed" again with its recorded version
// when it has one.
//
// Made on the main thread by the install operation, run once on the install
// engine's worker (Run), deleted by the engine. An empty client name is
// replaced by "CM" at construction.
#include <string>

#include "jobs/mcComponentMgrJob.h"
#include "jobs/mcInstallerProcess.h"

class IComponentMgrInstaller;

class mcInstallJob : public mcComponentMgrJob {
public:
    static constexpr const char* kZrzExtension = ".zrz";
    static constexpr const char* kClientSwitch = " /client ";
    static constexpr const char* kErrNotFound = " not found on disk";
    static constexpr const char* kErrStartFailed = " failed with GetLastError ";
    static constexpr const char* kErrOfSize = " of size ";
    static constexpr const char* kErrNoResult = " failed to return install result";
    static constexpr const char* kErrWaitFailed = "WaitForSingleObject returned WAIT_ABANDONED";
    static constexpr const char* kResultSuccess = "success";
    static constexpr const char* kResultFail = "fail";
    static constexpr const char* kCleanupVersion = "0.00.0000";

    // pComponentConfig and pInstaller are not owned and may be null (no
    // store calls, no event; no result text).
    mcInstallJob(mcComponentConfig* pComponentConfig, mcClientCallback callback, std::string strClientName,
                 std::string strManifestName, std::string strComponentName, std::string strPackageFile,
                 std::string strInstallArguments, IComponentMgrInstaller* pInstaller,
                 mcInstallerProcess::Settings settings = {});

    // The whole job (install worker). True when the installer was started.
    bool Run() override;

    const std::string& GetPackageFile() const { return m_strPackageFile; }
    const std::string& GetInstallArguments() const { return m_strInstallArguments; }

    // The command the job runs: application, argument string and working
    // folder, for the package path given (see above). strTIPath is the
    // package installer's path.
    struct Command {
        std::string strApplication;
        std::string strArguments;
        std::string strWorkingFolder;
    };
    static Command BuildCommand(const std::string& strPackagePath, const std::string& strArguments,
                                const std::string& strClient, const std::string& strTIPath);
    static bool IsZrzPackage(const std::string& strFileName);

private:
    std::string PrvHoldingArea() const;
    void PrvCleanupFailedInstall();

    const std::string m_strPackageFile;
    const std::string m_strInstallArguments;
    IComponentMgrInstaller* const m_pInstaller;  // not owned
    const mcInstallerProcess::Settings m_settings;
};
