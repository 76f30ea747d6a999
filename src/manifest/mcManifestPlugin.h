#pragma once
// The package of a manifest component: the "Plugin" element and its parts. Plain
// value filled by mcComponentManifest::GetComponent; copy freely.
#include <cstdint>
#include <string>

class mcManifestPlugin {
public:
    // Values of m_nUninstallRule, from the "rule" attribute of "Uninstall".
    static constexpr std::int32_t kUninstallRuleNone = 0;    // absent or another value
    static constexpr std::int32_t kUninstallRuleClient = 1;  // "Client"
    static constexpr std::int32_t kUninstallRuleCM = 2;      // "CM" (exact case)

    std::string m_strName;             // "name" of "Plugin"
    std::string m_strVersion;          // "version" of "Plugin"
    std::string m_strGUID;             // text of "GUID"
    std::string m_strInstallCmdline;   // text of "Install"/"Cmdline"
    std::int32_t m_nUninstallRule = kUninstallRuleNone;
    bool m_bMandatory = false;         // "mandatory" of "Update"
    std::string m_strUpdateURL;        // text of "Update"/"URL"
    bool m_bAvailable = true;          // "state" of "Availability"
    bool m_bHidden = false;            // "hidden" of "Plugin"

    // Back to the values above (strings empty).
    void Reset() { *this = mcManifestPlugin(); }

    bool operator==(const mcManifestPlugin&) const = default;
};
