#pragma once
// core::settings::Path: a logical settings path such as
// "\SYSTEM\Tavrolin\Tavrolin Jukebox\4.0\NetServices\PingTimeout" and where it
// lives in the registry.
//
// Paths use "\" and are absolute. The roots are "\SYSTEM" (local machine),
// "\USERS\ALL" (the default user's settings) and "\USERS\CURRENT" (the
// current user); "\USERS" alone and anything else maps to no root. Root words
// are compared ignoring case. A ".." component names the parent and is
// resolved when the text is assigned (never above "\"). A path is well formed
// when it holds none of "*?<>", no doubled separator and no "...".
//
// Plain value type; any thread.
#include <cstdint>
#include <string>
#include <vector>

#include "registry/SettingsException.h"

namespace core::settings {

inline constexpr char kSeparator = '\\';
inline constexpr const char* kRootSystem = "\\SYSTEM";
inline constexpr const char* kRootUsers = "\\USERS";
inline constexpr const char* kRootUsersAll = "\\USERS\\ALL";
inline constexpr const char* kRootUsersCurrent = "\\USERS\\CURRENT";
inline constexpr const char* kParentComponent = "..";

// The product's folder below a root: root + "\Tavrolin\Tavrolin Jukebox\4.0".
inline constexpr const char* kProductCompany = "Tavrolin";
inline constexpr const char* kProductName = "Tavrolin Jukebox";
inline constexpr const char* kProductVersion = "4.0";
std::string mfProductSettingsPath(const std::string& root);

class Path {
public:
    KETTRIN_DECLARE_EXC(Exception, core::settings::Exception);
    KETTRIN_DECLARE_EXC(PathException, Exception);

    // Level argument of PhysicalKeyPath: the whole path.
    static constexpr int kWholePath = 0xFFFF;

    Path();  // "\"
    // Same as assignment.
    explicit Path(const std::string& text);
    // Fails with PathException "Path " + text + " is not absolute." (line 254)
    // or "... is not well-formed." (line 259); the path is unchanged then.
    Path& operator=(const std::string& text);

    const std::string& Text() const { return m_strText; }
    // Components after resolving "..", root words included.
    const std::vector<std::string>& Components() const { return m_vComponents; }

    // 5 under "\SYSTEM", 7 under "\USERS\ALL", 3 under "\USERS\CURRENT", else 0.
    std::int32_t RootIndex() const;

    // Registry key path of the path, or of an ancestor: kWholePath the whole
    // path, -n without the last n components, +n the first n components only
    // (root words count). "\SYSTEM\A" -> "SOFTWARE\A"; "\USERS\ALL\A" ->
    // ".DEFAULT\Software\A"; "\USERS\CURRENT\A" -> "SOFTWARE\A". Empty when
    // the selected path has no root.
    std::string PhysicalKeyPath(int level = kWholePath) const;

    // The last component of the path as PhysicalKeyPath sees it: after
    // resolving ".." and ignoring a trailing separator ("\SYSTEM\A\B\.." and
    // "\SYSTEM\A\" give "A"), so that it always names the entry inside
    // PhysicalKeyPath(-1). Empty for "\".
    std::string LastComponent() const;

    static bool IsAbsolute(const std::string& text);
    static bool IsWellFormed(const std::string& text);

private:
    std::string m_strText;
    std::vector<std::string> m_vComponents;
};

}  // namespace core::settings
