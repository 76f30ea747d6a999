#include "registry/Settings.h"

#include "registry/RegistryKey.h"
#include "registry/SettingsPath.h"
#include "base/StrConv.h"

namespace core::settings {

namespace {

constexpr const char* kFnPhysicalPath = "core::settings::Setting::PhysicalPath";
constexpr int kPhysicalPathLine = 2547;

bool PrvIsRoot(const std::string& path) {
    static const char* const kRoots[] = {"\\", kRootSystem, kRootUsers, kRootUsersAll,
                                         kRootUsersCurrent};
    std::string folded = mfStrFoldCase(path);
    for (const char* root : kRoots) {
        if (folded == mfStrFoldCase(root)) return true;
    }
    return false;
}

// The key of the whole path exists, or the parent key holds a value named by
// the last component.
bool PrvFound(const Path& path) {
    using core::registry::RegistryKey;
    std::int32_t root = path.RootIndex();
    if (root == 0) return false;
    if (RegistryKey::Exists(root, path.PhysicalKeyPath(), core::registry::KEY_READ)) return true;
    return RegistryKey::ValueExists(root, path.PhysicalKeyPath(-1), core::registry::KEY_READ,
                                    path.LastComponent());
}

}  // namespace

std::string Setting::PhysicalPath(const std::string& path) {
    try {
        if (PrvIsRoot(path)) return path;
        Path logical(path);
        if (PrvFound(logical)) return path;
        if (logical.RootIndex() == 3) {
            std::string fallback = kRootUsersAll;
            const std::vector<std::string>& components = logical.Components();
            for (std::size_t i = 2; i < components.size(); ++i) fallback += kSeparator + components[i];
            if (PrvFound(Path(fallback))) return fallback;
        }
        return std::string();
    } catch (const mcExc&) {
        PathException exc(kFnPhysicalPath, __FILE__, kPhysicalPathLine,
                          "Could not determine physical path for " + path + ".");
        mfAnnounceThrow(exc);
        throw exc;
    }
}

}  // namespace core::settings
