#include "service/InstalledStatus.h"

#include <algorithm>

#include "contract/ComponentStatus.h"
#include "store/mcComponentConfig.h"

msInstalledStatusDecision mfDecideInstalledStatus(const msInstalledStatusInput& input, const std::string& strClient,
                                                  const std::string& strManifest, const std::string& strComponent) {
    auto Decide = [](std::int32_t nStatus, std::string strLog) {
        return msInstalledStatusDecision{nStatus, std::move(strLog)};
    };
    if (!input.bHasManifestDir) {
        return Decide(cmstatus::kUndecided, "PrvIsComponentInstalled: m_pManifestDir == NULL !");
    }
    if (!input.bHasStore) {
        return Decide(cmstatus::kUndecided, "PrvIsComponentInstalled: m_pComponentConfig == NULL !");
    }
    if (!input.bManifestKnown) {
        return Decide(cmstatus::kUndecided, "PrvIsComponentInstalled: pManifest == NULL : " + strManifest);
    }
    if (!input.bComponentInManifest) {
        return Decide(cmstatus::kUndecided, "PrvIsComponentInstalled: Component not in manifest: " + strComponent);
    }
    if (input.bHidden) return Decide(cmstatus::kUndecided, "");
    if (input.bInstallQueued) {
        return Decide(cmstatus::kInstallRunning, "StartComponentInstall: Install already running for " + strComponent);
    }
    if (!input.bHasStates) {
        return Decide(cmstatus::kUnknown, "PrvIsComponentInstalled: Component doesn't exist - " + strComponent);
    }
    if (!input.bHasCurrentState) {
        return Decide(cmstatus::kUnknown, "PrvIsComponentInstalled: Component has no state - " + strComponent);
    }
    const bool bCurrentInstalled = input.strCurrentState == mcComponentConfig::kStateInstalled;
    if (input.bIsClient) {
        const bool bInstalled =
            bCurrentInstalled || std::find(input.vecStates.begin(), input.vecStates.end(),
                                           std::string(mcComponentConfig::kStateInstalled)) != input.vecStates.end();
        if (bInstalled) {
            return Decide(cmstatus::kInstalled, "PrvIsComponentInstalled: Component installed for this client - " +
                                                    strComponent + ", " + strClient);
        }
        return Decide(cmstatus::kNotInstalled, "PrvIsComponentInstalled: Component not installed - " + strComponent);
    }
    if (bCurrentInstalled) {
        return Decide(cmstatus::kInstalledForOthers,
                      "PrvIsComponentInstalled: Component not installed for this client - " + strComponent + ", " +
                          strClient);
    }
    return Decide(cmstatus::kNotInstalled, "PrvIsComponentInstalled: Component installed - " + strComponent);
}
