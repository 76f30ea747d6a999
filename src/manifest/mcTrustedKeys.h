#pragma once
// The keys strong ("KSIG2") manifest signatures may be made with: every PEM
// public key file in the trusted-keys folder, by key id. Also the manifest trust
// policy read from the component manager's registry key.
//
// LoadFolder reads the folder each time it is called (the service calls it when
// manifests load, so a key added or removed counts without a restart). A file
// that is not a usable public key - unreadable, larger than kMaxKeyFileSize, not
// PEM, not Ed25519 or RSA, RSA under 2048 bits - is skipped with a log line
// ("ComponentMgr.log"). A loaded object is immutable and may be shared across
// threads. Nothing throws except std::bad_alloc.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "manifest/StrongCrypt.h"

class mcTrustedKeys {
public:
    // Values of the component manager's registry key (mcCMUtils::kRegistryKey).
    static constexpr const char* kTrustedKeysPathValue = "TrustedKeysPath";
    static constexpr const char* kRequireStrongValue = "RequireStrongSignature";
    static constexpr const char* kDefaultTrustedKeysPath = "/etc/tavrolin/trusted-keys";
    static constexpr std::size_t kMaxKeyFileSize = 64 * 1024;

    mcTrustedKeys() = default;

    // Every usable key of the regular files in folder, in file-name order. A
    // missing folder gives no keys and no log line.
    static mcTrustedKeys LoadFolder(const std::string& folder);
    // "TrustedKeysPath" from the registry, or kDefaultTrustedKeysPath when the
    // value is absent, empty or the registry cannot be read.
    static std::string FolderFromRegistry();
    // "RequireStrongSignature" != 0. A registry failure is logged and counts as
    // set: the policy fails closed.
    static bool RequireStrongFromRegistry();

    // Adds key unless one with its key id is present; false when present.
    bool Add(const zr::crypt::msPublicKey& key);
    // The key with that id, or nullptr.
    const zr::crypt::msPublicKey* Find(const std::string& keyId) const;
    const std::vector<zr::crypt::msPublicKey>& GetKeys() const { return m_vecKeys; }
    // Files of the last LoadFolder that were skipped, as "file: reason".
    const std::vector<std::string>& GetSkipped() const { return m_vecSkipped; }

private:
    std::vector<zr::crypt::msPublicKey> m_vecKeys;
    std::vector<std::string> m_vecSkipped;
};

// What a manifest's signature is checked against.
struct msTrustPolicy {
    // Hex DER public key the legacy form verifies with.
    std::string strBuiltinKeyHex;
    // Keys of the strong form; null: none.
    std::shared_ptr<const mcTrustedKeys> pKeys;
    // Refuse the legacy form.
    bool bRequireStrong = false;

    // The built-in key given, the folder and the switch from the registry.
    static std::shared_ptr<const msTrustPolicy> FromRegistry(const std::string& builtinKeyHex);
};
