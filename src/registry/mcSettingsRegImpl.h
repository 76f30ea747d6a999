#pragma once
// mcSettingsRegImpl: settings paths mapped straight onto registry values.
//
// A value path is a root word, a key part and a value name:
//   "\SYSTEM\K\V"          local machine, "Software\K", value V
//   "\USERS\CURRENT\K\V"   current user, "Software\K", V
//   "\CLASSES\K\V"         classes root, "K", V
//   "\USERS\ALL\K\V"       users, ".Default\Software\K", V
//   "\USERS\K\V"           users, "K", V
// Root words ignore case and are tried in that order. Stateless; any thread.
#include <cstdint>
#include <string>

#include "registry/SettingsException.h"

class mcSettingsRegImpl {
public:
    struct ValuePath {
        std::int32_t root = 0;  // registry root index; 0 none
        std::string key;
        std::string name;
    };

    // false (and root 0, key and name empty) for a path with no known root
    // word; that also reports an assertion ("mcSettingsRegImpl::ParseValuePath",
    // line 390, "false").
    static bool ParseValuePath(const std::string& path, ValuePath& result);

    // The first 4 bytes of the value (little-endian; the type is not checked,
    // shorter data is zero-filled). The key is opened with access 0x1F.
    // Failure: core::settings::Exception, function "mcSettingsRegImpl::ValueInt32",
    // line 129, "mcSettingsRegImpl::ValueInt32(" + path + ") - return code " +
    // the registry's error number (0 when the path has no known root).
    static std::int32_t ValueInt32(const std::string& path);

    // true when path is absolute, well formed and
    // core::settings::Setting::PhysicalPath(path) is not empty; never throws.
    static bool SettingExists(const std::string& path);

    static constexpr std::uint32_t kValueAccess = 0x1F;
};
