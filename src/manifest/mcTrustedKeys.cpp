#include "manifest/mcTrustedKeys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "base/mcCMLog.h"
#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"

namespace {

constexpr const char* kLogSkipped = "Trusted key skipped : ";
constexpr const char* kLogPolicyUnreadable = "Manifest signature policy unreadable, legacy form refused : ";

// The file's bytes when it is a regular file of at most kMaxKeyFileSize bytes.
bool ReadSmallFile(const std::string& path, std::string& out, std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        why = "cannot open";
        return false;
    }
    struct stat st {};
    bool bOk = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!bOk) why = "not a regular file";
    if (bOk && static_cast<std::size_t>(st.st_size) > mcTrustedKeys::kMaxKeyFileSize) {
        why = "larger than 64 KiB";
        bOk = false;
    }
    if (bOk) {
        out.resize(static_cast<std::size_t>(st.st_size));
        std::size_t done = 0;
        while (bOk && done < out.size()) {
            const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                why = "read failed";
                bOk = false;
            } else {
                done += static_cast<std::size_t>(n);
            }
        }
    }
    ::close(fd);
    return bOk;
}

}  // namespace

mcTrustedKeys mcTrustedKeys::LoadFolder(const std::string& folder) {
    mcTrustedKeys keys;
    std::vector<std::string> vecFiles;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        vecFiles.push_back(it->path().filename().string());
    }
    std::sort(vecFiles.begin(), vecFiles.end());
    for (const std::string& strFile : vecFiles) {
        const std::string strPath = (std::filesystem::path(folder) / strFile).string();
        std::string strText;
        std::string strWhy;
        if (ReadSmallFile(strPath, strText, strWhy)) {
            try {
                keys.Add(zr::crypt::PublicKeyFromPem(strText));
                continue;
            } catch (const mcExc& e) {
                strWhy = e.Description();
            }
        }
        keys.m_vecSkipped.push_back(strFile + ": " + strWhy);
        mfCMLog(kLogSkipped + strPath + " : " + strWhy);
    }
    return keys;
}

std::string mcTrustedKeys::FolderFromRegistry() {
    using core::registry::RegistryKey;
    try {
        if (RegistryKey::ValueExists(mcCMUtils::kRegistryRoot, mcCMUtils::kRegistryKey, core::registry::KEY_READ,
                                     kTrustedKeysPathValue)) {
            RegistryKey key(mcCMUtils::kRegistryRoot, mcCMUtils::kRegistryKey, core::registry::KEY_READ);
            std::string strFolder = key.GetValueString(kTrustedKeysPathValue);
            if (!strFolder.empty()) return strFolder;
        }
    } catch (const mcExc&) {
        // The default folder stands in.
    }
    return kDefaultTrustedKeysPath;
}

bool mcTrustedKeys::RequireStrongFromRegistry() {
    using core::registry::RegistryKey;
    try {
        if (!RegistryKey::ValueExists(mcCMUtils::kRegistryRoot, mcCMUtils::kRegistryKey, core::registry::KEY_READ,
                                      kRequireStrongValue)) {
            return false;
        }
        RegistryKey key(mcCMUtils::kRegistryRoot, mcCMUtils::kRegistryKey, core::registry::KEY_READ);
        return key.GetValueDWord(kRequireStrongValue) != 0;
    } catch (const mcExc& e) {
        mfCMLog(kLogPolicyUnreadable + e.Description());
        return true;
    }
}

bool mcTrustedKeys::Add(const zr::crypt::msPublicKey& key) {
    if (Find(key.strKeyId) != nullptr) return false;
    m_vecKeys.push_back(key);
    return true;
}

const zr::crypt::msPublicKey* mcTrustedKeys::Find(const std::string& keyId) const {
    for (const auto& key : m_vecKeys) {
        if (key.strKeyId == keyId) return &key;
    }
    return nullptr;
}

std::shared_ptr<const msTrustPolicy> msTrustPolicy::FromRegistry(const std::string& builtinKeyHex) {
    auto pPolicy = std::make_shared<msTrustPolicy>();
    pPolicy->strBuiltinKeyHex = builtinKeyHex;
    pPolicy->pKeys = std::make_shared<const mcTrustedKeys>(mcTrustedKeys::LoadFolder(mcTrustedKeys::FolderFromRegistry()));
    pPolicy->bRequireStrong = mcTrustedKeys::RequireStrongFromRegistry();
    return pPolicy;
}
