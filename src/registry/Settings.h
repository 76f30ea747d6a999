#pragma once
// core::settings::Setting: finds where a setting physically lives.
//
// Reads the registry (RegistryKey.h) and nothing else; any thread.
#include <string>

#include "registry/SettingsException.h"

namespace core::settings {

class Setting {
public:
    KETTRIN_DECLARE_EXC(Exception, core::settings::Exception);
    KETTRIN_DECLARE_EXC(PathException, Exception);

    // The logical path under which the setting at path really exists, or the
    // empty string:
    // - the roots ("\", "\SYSTEM", "\USERS", "\USERS\ALL", "\USERS\CURRENT",
    //   ignoring case) come back as they are;
    // - path itself when its key exists, or when its parent key holds a value
    //   named by its last component;
    // - for a path under "\USERS\CURRENT" found neither way, the same path
    //   under "\USERS\ALL" when that exists (per-user settings fall back to
    //   the all-users ones).
    // Any failure (a malformed path, an unusable registry) raises
    // PathException "Could not determine physical path for " + path + "."
    // (function "core::settings::Setting::PhysicalPath", line 2547).
    static std::string PhysicalPath(const std::string& path);
};

}  // namespace core::settings
