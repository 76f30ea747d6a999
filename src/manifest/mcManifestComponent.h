#pragma once
// One "Component" of a manifest as mcComponentManifest::GetComponent fills it.
// Plain value; copy freely.
#include <string>
#include <vector>

#include "manifest/mcClientFilter.h"
#include "manifest/mcManifestPlugin.h"

class mcManifestComponent {
public:
    std::string m_strName;
    std::string m_strClientData;  // XML markup of "ClientData", tags included; empty when absent
    mcManifestPlugin m_plugin;
    std::vector<mcClientFilter> m_vecIncompatibleClients;  // document order
    std::vector<mcClientFilter> m_vecCompatibleClients;    // document order
    // SHA-256 of the package, from the optional "sha256" attribute of the
    // plug-in's "Update" element: 64 lower-case hex digits, or empty when the
    // manifest gives none. A component whose attribute is not 64 hex digits
    // does not load (GetComponent fails for it).
    std::string m_strPackageSha256;

    // Strings empty, plug-in record reset, lists emptied.
    void Reset() { *this = mcManifestComponent(); }

    bool operator==(const mcManifestComponent&) const = default;
};
