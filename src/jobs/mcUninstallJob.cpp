#include "jobs/mcUninstallJob.h"

#include <utility>

#include "base/SafeFileName.h"
#include "base/StrUtils.h"
#include "base/mcCMLog.h"
#include "jobs/IComponentMgrInstaller.h"
#include "jobs/mcInstallJob.h"
#include "registry/mcCMUtils.h"
#include "store/mcComponentConfig.h"

mcUninstallJob::mcUninstallJob(mcComponentConfig* pComponentConfig, mcClientCallback callback,
                               std::string strClientName, std::string strComponentName,
                               std::string strUninstallProgram, std::string strUninstallArguments,
                               IComponentMgrInstaller* pInstaller, mcInstallerProcess::Settings settings)
    : mcComponentMgrJob(pComponentConfig, std::move(callback), std::string(), std::string(), std::string()),
      m_strUninstallClient(std::move(strClientName)),
      m_strUninstallComponent(std::move(strComponentName)),
      m_strUninstallProgram(std::move(strUninstallProgram)),
      m_strUninstallArguments(std::move(strUninstallArguments)),
      m_pInstaller(pInstaller),
      m_settings(std::move(settings)) {}

std::string mcUninstallJob::PrvHoldingArea() const {
    if (!m_settings.strHoldingArea.empty()) return m_settings.strHoldingArea;
    if (m_pComponentConfig != nullptr) return m_pComponentConfig->GetHoldingArea();
    return mcCMUtils::GetHoldingArea();
}

bool mcUninstallJob::Run() {
    std::string strApplication;
    std::string strArguments;
    bool bRefused = false;
    if (mcInstallJob::IsZrzPackage(m_strUninstallProgram)) {
        // The recorded name comes from an installer's report and becomes a
        // path below the holding area: it must be one plain file name.
        bRefused = !mfIsSafeFileName(m_strUninstallComponent) || !mfIsSafeFileName(m_strUninstallProgram);
        strApplication = m_settings.strTIPath.empty() ? mcCMUtils::GetTIPath() : m_settings.strTIPath;
        strArguments = mfStrQuotePath(
            mfPathJoin(mfPathJoin(PrvHoldingArea(), m_strUninstallComponent), m_strUninstallProgram));
        if (!m_strUninstallArguments.empty()) strArguments += " " + m_strUninstallArguments;
    } else {
        strApplication = m_strUninstallProgram;
        strArguments = m_strUninstallArguments;
    }
    strArguments += mcInstallJob::kClientSwitch + m_strUninstallClient;

    std::string strResult;
    std::string strError;
    bool bStarted = false;
    bool bWaited = false;
    if (bRefused) {
        mfCMLog("mcUninstallJob::Run : unsafe package name refused : " + m_strUninstallProgram);
    } else {
        pid_t pid = -1;
        bStarted = mcInstallerProcess::Start(m_settings, strApplication, strArguments, std::string(), pid);
        bWaited = bStarted && mcInstallerProcess::Wait(m_settings, pid);
    }
    // A start that failed shows as a failed wait.
    if (!bWaited) {
        strResult = mcInstallJob::kResultFail;
        strError = mcInstallJob::kErrWaitFailed;
    }
    if (m_pInstaller != nullptr) {
        std::string strText;
        if (m_pInstaller->GetComponentUninstallData(m_strUninstallClient, strText) == S_OK &&
            m_pComponentConfig != nullptr) {
            (void)m_pComponentConfig->GetUninstallDataResult(strText, strResult, strError);
        }
    }
    mcInstallerProcess::Notify(m_settings, m_callback, mcInstallerProcess::kOnUninstallComplete,
                               m_strUninstallComponent, strResult == mcInstallJob::kResultSuccess, strError);
    return bStarted;
}
