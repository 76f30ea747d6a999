// The installed-status decision from one snapshot of the component's record:
// every status value and every branch that leads to it, with its log line.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "contract/ComponentStatus.h"
#include "service/InstalledStatus.h"

namespace {

// A component the store knows, listed in the manifest, asked about by client
// "A": each case changes what it needs.
msInstalledStatusInput Known(const std::string& strCurrent, bool bIsClient,
                             std::vector<std::string> vecStates = {}) {
    msInstalledStatusInput input;
    input.bHasStates = true;
    input.bHasCurrentState = true;
    input.strCurrentState = strCurrent;
    input.vecStates = std::move(vecStates);
    input.bIsClient = bIsClient;
    return input;
}

struct Case {
    const char* pszName;
    std::function<msInstalledStatusInput()> fnInput;
    std::int32_t nStatus;
    const char* pszLog;  // "" when nothing is logged
};

class InstalledStatusTest : public ::testing::TestWithParam<Case> {};

TEST_P(InstalledStatusTest, DecidesTheStatusAndItsLogLine) {
    const Case& c = GetParam();
    const msInstalledStatusDecision decision = mfDecideInstalledStatus(c.fnInput(), "A", "Jukebox", "Codec");
    EXPECT_EQ(decision.nStatus, c.nStatus);
    EXPECT_EQ(decision.strLogLine, c.pszLog);
}

const Case kCases[] = {
    {"NoManifestDirectory", [] { auto i = Known("installed", true); i.bHasManifestDir = false; return i; },
     cmstatus::kUndecided, "PrvIsComponentInstalled: m_pManifestDir == NULL !"},
    {"NoStore", [] { auto i = Known("installed", true); i.bHasStore = false; return i; },
     cmstatus::kUndecided, "PrvIsComponentInstalled: m_pComponentConfig == NULL !"},
    {"UnknownManifest", [] { auto i = Known("installed", true); i.bManifestKnown = false; return i; },
     cmstatus::kUndecided, "PrvIsComponentInstalled: pManifest == NULL : Jukebox"},
    {"NotInManifest", [] { auto i = Known("installed", true); i.bComponentInManifest = false; return i; },
     cmstatus::kUndecided, "PrvIsComponentInstalled: Component not in manifest: Codec"},
    {"HiddenSaysNothing", [] { auto i = Known("installed", true); i.bHidden = true; return i; },
     cmstatus::kUndecided, ""},
    {"QueuedInstallWinsOverTheStore", [] { auto i = Known("installed", true); i.bInstallQueued = true; return i; },
     cmstatus::kInstallRunning, "StartComponentInstall: Install already running for Codec"},
    {"NoStates", [] { msInstalledStatusInput i; return i; },
     cmstatus::kUnknown, "PrvIsComponentInstalled: Component doesn't exist - Codec"},
    {"NoCurrentState", [] { auto i = Known("", true); i.bHasCurrentState = false; return i; },
     cmstatus::kUnknown, "PrvIsComponentInstalled: Component has no state - Codec"},
    {"InstalledForThisClient", [] { return Known("installed", true); },
     cmstatus::kInstalled, "PrvIsComponentInstalled: Component installed for this client - Codec, A"},
    {"DownloadedOverAnInstalledState", [] { return Known("downloaded", true, {"downloaded", "installed"}); },
     cmstatus::kInstalled, "PrvIsComponentInstalled: Component installed for this client - Codec, A"},
    {"ClientButNeverInstalled", [] { return Known("downloaded", true, {"downloaded"}); },
     cmstatus::kNotInstalled, "PrvIsComponentInstalled: Component not installed - Codec"},
    {"InstalledForOthers", [] { return Known("installed", false); },
     cmstatus::kInstalledForOthers, "PrvIsComponentInstalled: Component not installed for this client - Codec, A"},
    // Another client's earlier "installed" state does not count for a stranger.
    {"StrangerAndNotInstalledNow", [] { return Known("downloaded", false, {"downloaded", "installed"}); },
     cmstatus::kNotInstalled, "PrvIsComponentInstalled: Component installed - Codec"},
};

INSTANTIATE_TEST_SUITE_P(Table, InstalledStatusTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.pszName); });

}  // namespace
