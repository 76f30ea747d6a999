// Fuzz target: component manifests. The input is the XML document of a
// manifest; the target signs it with a key of this process, loads it the way
// the manifest directory does and makes every query the service makes:
// the listing for no client and for every client the filters name, each
// component's record, friendly name and client data.
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "manifest/Crypt.h"
#include "manifest/ZRVersion.h"
#include "manifest/mcComponentManifest.h"
#include "manifest/mcSignedFile.h"

namespace {

const zr::crypt::msKeyPair& PrvKey() {
    static const zr::crypt::msKeyPair key = zr::crypt::RSAGenerateKey();
    return key;
}

// Clients that sit on the edges of a filter entry.
std::vector<msClientRecord> PrvClientsOf(const mcClientFilter& entry) {
    std::vector<msClientRecord> clients;
    msClientRecord client;
    client.name = entry.m_strName;
    client.version = entry.m_strMinVersion.empty() ? entry.m_strMaxVersion : entry.m_strMinVersion;
    client.oem = entry.m_vecOEMs.empty() ? std::string() : entry.m_vecOEMs.front();
    client.lang = entry.m_vecLangs.empty() ? std::string() : entry.m_vecLangs.back();
    clients.push_back(client);
    // The other bound, and an OEM code no list holds.
    client.version = entry.m_strMaxVersion;
    client.oem.push_back('\x01');
    clients.push_back(client);
    return clients;
}

void PrvQueryComponent(const mcComponentManifest& manifest, const std::string& name) {
    mcManifestComponent component;
    std::string text;
    (void)manifest.GetComponentFriendlyName(name, text);
    (void)manifest.GetComponentClientData(name, text);
    (void)manifest.IsComponentForClient(name, msClientRecord{});
    if (!manifest.GetComponent(name, component)) return;
    for (const auto* list : {&component.m_vecCompatibleClients, &component.m_vecIncompatibleClients}) {
        for (const mcClientFilter& entry : *list) {
            for (const msClientRecord& client : PrvClientsOf(entry)) {
                (void)mcComponentManifest::MatchClientFilter(entry, client);
                (void)manifest.IsComponentForClient(name, client);
                std::vector<std::string> names;
                (void)manifest.GetComponents(client, names);
            }
            (void)mfStrCompareZRVersions(entry.m_strMinVersion, entry.m_strMaxVersion);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = mfFuzzSetUp() + "/fuzz_Manifest.xml";
    const std::string document(reinterpret_cast<const char*>(data), size);
    if (document.empty() || document.back() == '\0') return 0;
    const std::string bytes =
        mcSignedFile::Compose(zr::crypt::RSASign(PrvKey().privateKeyPem, document), document);
    if (!mfFuzzWriteFile(path, bytes)) return 0;

    const mcComponentManifest manifest(msManifestFile{path, PrvKey().publicKeyHex});
    (void)manifest.GetVersion();
    std::vector<std::string> names;
    if (!manifest.IsLoaded()) {
        // A manifest that did not load answers nothing.
        if (manifest.GetComponents(msClientRecord{}, names) || !names.empty()) std::abort();
        return 0;
    }
    (void)manifest.GetComponents(msClientRecord{}, names);
    names.push_back("");
    names.push_back("no such component");
    for (const std::string& name : names) PrvQueryComponent(manifest, name);
    return 0;
}
