#include "jobs/mcInstallJob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <utility>

#include "base/FileUtils.h"
#include "base/SafeFileName.h"
#include "base/StrUtils.h"
#include "base/Win32Error.h"
#include "base/mcCMLog.h"
#include "jobs/IComponentMgrInstaller.h"
#include "net/mcQoSEvent.h"
#include "registry/mcCMUtils.h"
#include "store/mcComponentConfig.h"

namespace {

std::string PrvHex8(std::uint32_t nCode) {
    char sz[16];
    std::snprintf(sz, sizeof sz, "%08x", nCode);
    return sz;
}

// Gives the package its owner's execute bit (HTTP does not carry it). The
// file is opened without following a link, so only the package itself changes.
void PrvMakeExecutable(const std::string& strPath) {
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR) == 0) {
        (void)::fchmod(fd, (st.st_mode & 07777) | S_IXUSR);
    }
    ::close(fd);
}

}  // namespace

mcInstallJob::mcInstallJob(mcComponentConfig* pComponentConfig, mcClientCallback callback, std::string strClientName,
                           std::string strManifestName, std::string strComponentName, std::string strPackageFile,
                           std::string strInstallArguments, IComponentMgrInstaller* pInstaller,
                           mcInstallerProcess::Settings settings)
    : mcComponentMgrJob(pComponentConfig, std::move(callback), std::move(strManifestName),
                        strClientName.empty() ? std::string(mcComponentConfig::kPlaceholderClient)
                                              : std::move(strClientName),
                        std::move(strComponentName)),
      m_strPackageFile(std::move(strPackageFile)),
      m_strInstallArguments(std::move(strInstallArguments)),
      m_pInstaller(pInstaller),
      m_settings(std::move(settings)) {}

bool mcInstallJob::IsZrzPackage(const std::string& strFileName) {
    const std::string strExt = kZrzExtension;
    return strFileName.size() >= strExt.size() &&
           strFileName.compare(strFileName.size() - strExt.size(), strExt.size(), strExt) == 0;
}

mcInstallJob::Command mcInstallJob::BuildCommand(const std::string& strPackagePath, const std::string& strArguments,
                                                 const std::string& strClient, const std::string& strTIPath) {
    Command command;
    if (IsZrzPackage(mfStrGetFileNameFromPath(strPackagePath))) {
        command.strApplication = strTIPath;
        command.strArguments = strPackagePath;
        if (!strArguments.empty()) command.strArguments += " " + strArguments;
        command.strArguments += kClientSwitch + strClient;
        command.strWorkingFolder = mfStrGetDriveAndDirFromPath(strTIPath);
    } else {
        command.strApplication = strPackagePath;
        command.strArguments = strArguments + kClientSwitch + strClient;
        command.strWorkingFolder = mfStrGetDriveAndDirFromPath(strPackagePath);
    }
    return command;
}

std::string mcInstallJob::PrvHoldingArea() const {
    if (!m_settings.strHoldingArea.empty()) return m_settings.strHoldingArea;
    if (m_pComponentConfig != nullptr) return m_pComponentConfig->GetHoldingArea();
    return mcCMUtils::GetHoldingArea();
}

void mcInstallJob::PrvCleanupFailedInstall() {
    // Only a name that stays inside the holding area is ever deleted.
    if (mfIsSafeFileName(m_strComponentName)) mfDeleteDirectoryTree(mfPathJoin(PrvHoldingArea(), m_strComponentName));
    if (m_pComponentConfig == nullptr) return;
    (void)m_pComponentConfig->SetComponentState(m_strComponentName, mcComponentConfig::kStateDownloaded,
                                                kCleanupVersion);
    std::string strVersion;
    if (m_pComponentConfig->GetComponentVersion(m_strComponentName, mcComponentConfig::kStateInstalled, strVersion)) {
        (void)m_pComponentConfig->SetComponentState(m_strComponentName, mcComponentConfig::kStateInstalled,
                                                    strVersion);
    }
}

bool mcInstallJob::Run() {
    const std::string strPackagePath = mfPathJoin(mfPathJoin(PrvHoldingArea(), m_strComponentName), m_strPackageFile);
    const bool bZrz = IsZrzPackage(m_strPackageFile);
    const std::string strTIPath =
        !bZrz ? std::string() : m_settings.strTIPath.empty() ? mcCMUtils::GetTIPath() : m_settings.strTIPath;
    const Command command = BuildCommand(strPackagePath, m_strInstallArguments, m_strClientName, strTIPath);

    std::string strResult = kResultFail;
    std::string strError;
    bool bStarted = false;
    struct stat st {};
    if (!mfIsSafeFileName(m_strComponentName) || !mfIsSafeFileName(m_strPackageFile)) {
        // The names become paths: refused before anything starts.
        strError = command.strApplication + kErrStartFailed + PrvHex8(ERROR_INVALID_NAME);
        PrvCleanupFailedInstall();
    } else if (::stat(strPackagePath.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        strError = strPackagePath + kErrNotFound;
        PrvCleanupFailedInstall();
    } else {
        if (!bZrz) PrvMakeExecutable(strPackagePath);
        pid_t pid = -1;
        if (!mcInstallerProcess::Start(m_settings, command.strApplication, command.strArguments,
                                       command.strWorkingFolder, pid)) {
            strError = command.strApplication + kErrStartFailed + PrvHex8(mfGetLastError());
            PrvCleanupFailedInstall();
        } else {
            bStarted = true;
            if (!mcInstallerProcess::Wait(m_settings, pid)) strError = kErrWaitFailed;
            if (m_pInstaller != nullptr) {
                std::string strText;
                if (m_pInstaller->GetComponentInstallData(m_strClientName, strText) == S_OK) {
                    if (m_pComponentConfig != nullptr) {
                        (void)m_pComponentConfig->GetInstallDataResult(strText, strResult, strError);
                        (void)m_pComponentConfig->SetComponentManifest(m_strComponentName, m_strManifestName);
                    }
                } else {
                    struct stat stNow {};
                    const long long nSize =
                        ::stat(strPackagePath.c_str(), &stNow) == 0 ? static_cast<long long>(stNow.st_size) : -1;
                    strError = strPackagePath + kErrOfSize + std::to_string(nSize) + kErrNoResult;
                    PrvCleanupFailedInstall();
                }
            }
        }
    }
    if (strResult != kResultSuccess) mfCMLog("mcInstallJob::Run : " + m_strComponentName + " : " + strError);

    mcInstallerProcess::Notify(m_settings, m_callback, mcInstallerProcess::kOnInstallComplete, m_strComponentName,
                               strResult == kResultSuccess, strError);

    if (m_pComponentConfig != nullptr) {
        mcQoSEvent event;
        event.strClient = m_strClientName;
        event.strComponent = m_strComponentName;
        if (strResult != kResultSuccess) {
            event.strEvent = kQoSInstallFailure;
            event.strAdditionalInfo = strError;
        } else {
            event.strEvent = kQoSInstallSuccess;
            if (!m_pComponentConfig->GetComponentVersion(m_strComponentName, mcComponentConfig::kStateInstalled,
                                                         event.strComponentVersion)) {
                event.strComponentVersion.clear();
            }
        }
        mcInstallerProcess::SendEvent(m_settings, event);
    }
    return bStarted;
}
