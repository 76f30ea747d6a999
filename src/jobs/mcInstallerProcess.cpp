#include "jobs/mcInstallerProcess.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/OsDependent.h"
#include "jobs/mcClientCallbackSender.h"
#include "net/mcQoSEvent.h"

namespace {

constexpr const char* kLocaleVariables[] = {"LANG", "LC_ALL", "LANGUAGE"};

}  // namespace

std::vector<std::string> mcInstallerProcess::CleanEnvironment(const std::string& strBusAddress) {
    std::vector<std::string> vecEnv{kPath};
    for (const char* pszName : kLocaleVariables) {
        if (const char* pszValue = std::getenv(pszName)) vecEnv.push_back(std::string(pszName) + "=" + pszValue);
    }
    if (!strBusAddress.empty()) vecEnv.push_back(std::string(kBusAddressVariable) + "=" + strBusAddress);
    if (const char* pszRegistry = std::getenv(kRegistryVariable)) {
        if (*pszRegistry != '\0') vecEnv.push_back(std::string(kRegistryVariable) + "=" + pszRegistry);
    }
    return vecEnv;
}

bool mcInstallerProcess::Start(const Settings& settings, const std::string& strApplication,
                               const std::string& strArguments, const std::string& strWorkingFolder, pid_t& pid) {
    const std::vector<std::string> vecEnv = CleanEnvironment(settings.strBusAddress);
    mcProcessOptions options;
    options.inheritHandles = false;
    options.environment = &vecEnv;
    options.currentDirectory = strWorkingFolder;
    mcProcessInfo info;
    if (!mfCreateProcess(strApplication, strArguments, options, &info)) return false;
    pid = info.pid;
    return true;
}

bool mcInstallerProcess::Wait(const Settings& settings, pid_t pid) {
    return settings.fnWait ? settings.fnWait(pid) : WaitOnThisThread(pid);
}

bool mcInstallerProcess::WaitOnThisThread(pid_t pid) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        pollfd pfd{fd, POLLIN, 0};
        while (::poll(&pfd, 1, -1) < 0 && errno == EINTR) {
        }
        ::close(fd);
    }
    int nStatus = 0;
    pid_t rc = -1;
    do {
        rc = ::waitpid(pid, &nStatus, 0);
    } while (rc < 0 && errno == EINTR);
    return rc == pid;
}

void mcInstallerProcess::Notify(const Settings& settings, const mcClientCallback& callback, const char* pszMember,
                                const std::string& strComponent, bool bSuccess, const std::string& strText) {
    if (callback.IsEmpty()) return;
    if (settings.fnNotify) {
        settings.fnNotify(callback, pszMember, strComponent, bSuccess, strText);
        return;
    }
    mcClientCallbackSender sender = mcClientCallbackSender::ForWorkerThread(callback);
    if (std::string(pszMember) == kOnInstallComplete) {
        sender.OnInstallComplete(strComponent, bSuccess, strText);
    } else {
        sender.OnUninstallComplete(strComponent, bSuccess, strText);
    }
    sender.Flush();
}

void mcInstallerProcess::SendEvent(const Settings& settings, const mcQoSEvent& event) {
    if (settings.fnSendEvent) {
        settings.fnSendEvent(event);
    } else {
        (void)SendQoSEvent(event);
    }
}
