#pragma once
// Removes one component: runs the uninstall program an install recorded,
// waits for it, fetches the result text it reported
// (IComponentMgrInstaller::GetComponentUninstallData) and tells the client
// (OnUninstallComplete). No event; the holding area is not touched.
//
// The program: when the recorded program name ends in ".zrz" it is the
// package in the component's holding-area folder, handed to TI as
//     "<TI>" "<holding>/<component>/<program>"[ <arguments>] /client <client>
// otherwise the program itself:
//     "<program>" <arguments> /client <client>
// Both run in our working folder. A ".zrz" name (or component name) that is
// not a safe file name is refused before any process starts, as a start that
// failed.
//
// The job's base names are empty (IsJobQueued never finds an uninstall); the
// job keeps its own. Made on the main thread; run by the install engine's
// worker, or at once on the main thread by the run-now uninstall, in which
// case the caller's Settings wait and call back without blocking the bus.
#include <string>

#include "jobs/mcComponentMgrJob.h"
#include "jobs/mcInstallerProcess.h"

class IComponentMgrInstaller;

class mcUninstallJob : public mcComponentMgrJob {
public:
    mcUninstallJob(mcComponentConfig* pComponentConfig, mcClientCallback callback, std::string strClientName,
                   std::string strComponentName, std::string strUninstallProgram, std::string strUninstallArguments,
                   IComponentMgrInstaller* pInstaller, mcInstallerProcess::Settings settings = {});

    // The whole job. True when the program was started.
    bool Run() override;

    const std::string& GetUninstallClient() const { return m_strUninstallClient; }
    const std::string& GetUninstallComponent() const { return m_strUninstallComponent; }

private:
    std::string PrvHoldingArea() const;

    const std::string m_strUninstallClient;
    const std::string m_strUninstallComponent;
    const std::string m_strUninstallProgram;
    const std::string m_strUninstallArguments;
    IComponentMgrInstaller* const m_pInstaller;  // not owned
    const mcInstallerProcess::Settings m_settings;
};
