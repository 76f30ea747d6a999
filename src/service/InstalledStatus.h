#pragma once
// The installed-status decision of IsComponentInstalled and the operations
// that start installs, uninstalls and updates, as a pure function: it sees
// one snapshot of what the object knows about the component (manifest entry,
// queued install, the store's record) and returns the status with the log
// line that goes with it. No store or manifest is touched here, so the whole
// decision table can be checked without them.
#include <cstdint>
#include <string>
#include <vector>

struct msInstalledStatusInput {
    bool bHasManifestDir = true;
    bool bHasStore = true;
    bool bManifestKnown = true;       // the manifest directory has the manifest
    bool bComponentInManifest = true;  // the manifest lists the component
    bool bHidden = false;              // ... marked hidden
    bool bInstallQueued = false;       // an install job for it is queued or running
    // The store's record of the component.
    bool bHasStates = false;          // HasComponentStates
    bool bHasCurrentState = false;    // GetComponentCurrentState succeeded
    std::string strCurrentState;
    std::vector<std::string> vecStates;  // every recorded state (GetComponentStates)
    bool bIsClient = false;              // the asking client is one of its clients
};

struct msInstalledStatusDecision {
    std::int32_t nStatus = 0;  // a cmstatus value
    std::string strLogLine;    // "" when nothing is logged
};

msInstalledStatusDecision mfDecideInstalledStatus(const msInstalledStatusInput& input, const std::string& strClient,
                                                  const std::string& strManifest, const std::string& strComponent);
