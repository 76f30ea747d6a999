#include "tools/Kettrinrm/mcUninstaller.h"

#include <optional>
#include <thread>

#include "base/OsDependent.h"
#include "base/StrUtils.h"
#include "base/Win32Error.h"
#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"

namespace {

using core::registry::RegistryKey;

bool PrvIsMissing(const RegistryKey::Exception& exc) { return exc.ErrorCode() == ERROR_FILE_NOT_FOUND; }

}  // namespace

mcUninstaller::mcUninstaller(Environment environment) : m_env(std::move(environment)) {
    if (!m_env.fnSleep) m_env.fnSleep = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
    if (!m_env.fnServerWindowExists) m_env.fnServerWindowExists = [] { return false; };
}

std::vector<std::string> mcUninstaller::SplitCommandLine(const std::string& strCommandLine) {
    std::vector<std::string> vecWords;
    mfStrSplit(strCommandLine, " ", vecWords);
    return vecWords;
}

bool mcUninstaller::IsAcceptableClientName(const std::string& strName) {
    if (mfStrTrim(strName).empty()) return false;
    for (const unsigned char c : strName) {
        if (c == '\\' || c < 0x20 || c == 0x7F) return false;
    }
    // C1 control characters (U+0080..U+009F) in UTF-8.
    for (std::size_t i = 0; i + 1 < strName.size(); ++i) {
        const auto c0 = static_cast<unsigned char>(strName[i]);
        const auto c1 = static_cast<unsigned char>(strName[i + 1]);
        if (c0 == 0xC2 && c1 >= 0x80 && c1 <= 0x9F) return false;
    }
    return true;
}

std::string mcUninstaller::RunOnceCommand(const std::string& strAppPath) {
    return "\"" + strAppPath + "/" + kUninstallerName + "\" /s \"" + strAppPath + "/" + kSetupLogName + "\"";
}

void mcUninstaller::PrvMessage(const std::string& strText) {
    if (m_env.pMessages) *m_env.pMessages << kTitle << ": " << strText << std::endl;
}

bool mcUninstaller::PrvRemoveClient(const std::string& strName) {
    std::optional<RegistryKey> clients;
    try {
        clients.emplace(mcCMUtils::kRegistryRoot, kClientsKey, core::registry::KEY_ALL_ACCESS);
    } catch (const RegistryKey::Exception& exc) {
        if (PrvIsMissing(exc)) return false;
        throw;
    }
    if (!RegistryKey::ValueExists(mcCMUtils::kRegistryRoot, kClientsKey, core::registry::KEY_ALL_ACCESS, strName)) {
        return false;
    }
    clients->DeleteValue(strName);
    clients->Close();
    return true;
}

std::uint32_t mcUninstaller::PrvCountClients() {
    try {
        RegistryKey clients(mcCMUtils::kRegistryRoot, kClientsKey, core::registry::KEY_ALL_ACCESS);
        return clients.GetValueCount();
    } catch (const RegistryKey::Exception& exc) {
        if (PrvIsMissing(exc)) return 0;
        throw;
    }
}

int mcUninstaller::Run(const std::string& strCommandLine) {
    const std::vector<std::string> vecWords = SplitCommandLine(strCommandLine);
    if (vecWords.size() > 1 || (vecWords.size() == 1 && !IsAcceptableClientName(vecWords.front()))) {
        PrvMessage(kMsgUsage);
        return kExitRefused;
    }
    const bool bClientGiven = !vecWords.empty();
    try {
        if (bClientGiven && !PrvRemoveClient(vecWords.front())) {
            PrvMessage(kMsgNoSuchClient + vecWords.front());
            return kExitRefused;
        }
        if (PrvCountClients() != 0) {
            if (bClientGiven) return kExitDone;
            PrvMessage(kMsgClientsRemain);
            return kExitRefused;
        }
        return PrvRemoveComponentManager();
    } catch (const mcExc&) {
        PrvMessage(kMsgRegistryException);
        return kExitRefused;
    }
}

int mcUninstaller::PrvRemoveComponentManager() {
    bool bServerRuns = m_env.fnServerWindowExists();
    for (int i = 0; bServerRuns && i < kWaitCount; ++i) {
        m_env.fnSleep(kWaitInterval);
        bServerRuns = m_env.fnServerWindowExists();
    }
    const std::string strAppPath = mcCMUtils::GetAppPath();
    if (bServerRuns) {
        RegistryKey root(mcCMUtils::kRegistryRoot, "");
        RegistryKey runOnce = root.CreateSubKey(mcCMUtils::kRunOnceKey);
        // Written over whatever an earlier attempt left, of any type.
        runOnce.SetValue(mcCMUtils::kRunOnceRemoveCMValue, core::registry::REG_SZ,
                         RegistryKey::BytesFromString(RunOnceCommand(strAppPath)));
        return kExitDone;
    }
    const std::string strProgram = mfPathJoin(strAppPath, kUninstallerName);
    mcProcessOptions options;
    options.currentDirectory = strAppPath;
    if (!mfCreateProcess(strProgram, std::string(kUninstallerArgs), options)) {
        PrvMessage(strProgram + kMsgCreateProcessFailed);
        return kExitRefused;
    }
    return kExitDone;
}
