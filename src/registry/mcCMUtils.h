#pragma once
// mcCMUtils: the component manager's own places and identity strings.
//
// Every function reads the registry afresh (only GetZRUID writes, once), throws
// nothing, and may be called from any thread. Registry failures are logged with
// the fixed lines below and replaced by defaults; GetTIPath falls back
// silently.
//
// The network helpers (connection type, event request parameters) live with
// the network code.
#include <cstdint>
#include <ctime>
#include <string>

namespace mcCMUtils {

// The component manager's registry key, below the local machine root; shared
// by every part of the system that keeps data there. Never created here.
inline constexpr std::int32_t kRegistryRoot = 5;  // local machine
inline constexpr const char* kRegistryKey = "software\\Tavrolin, Inc.\\componentMgr";
inline constexpr const char* kAppPathValue = "AppPath";
inline constexpr const char* kZRUIDValue = "zruid";

inline constexpr const char* kDefaultAppPath = "/var/lib/tavrolin/componentmgr";
inline constexpr const char* kHoldingAreaFolder = "HoldingArea";
inline constexpr const char* kVersionMajor = "1";
inline constexpr const char* kVersionMinor = "00";
inline constexpr const char* kVersionBuild = "0073";
inline constexpr const char* kUserAgentPrefix = "Tavrolin ComponentMgr ";
inline constexpr const char* kDefaultTIPath = "/opt/tavrolin/jukebox/TI";
inline constexpr const char* kPackageFileType = ".zrz";
inline constexpr const char* kOpenCommandKey = "\\shell\\Open\\command";
// Commands run once at the next boot (kettrinctl runonce), below the local
// machine root; each value is one command line. "RemoveCM" is the deferred
// removal of the component manager.
inline constexpr const char* kRunOnceKey = "software\\microsoft\\windows\\currentversion\\runonce";
inline constexpr const char* kRunOnceRemoveCMValue = "RemoveCM";
// Identifier used when none can be made.
inline constexpr const char* kFallbackZRUID = "666";

inline constexpr const char* kLogAppPathNotFound = "mcCMUtils::GetAppPath registry value not found";
inline constexpr const char* kLogZRUIDNotFound = "mcCMUtils::GetZRUID registry value not found";
inline constexpr const char* kLogZRUIDNotSet = "mcCMUtils::GetZRUID registry value not set";

// "AppPath" of the component manager's key, as stored (no separator added);
// kDefaultAppPath when it is empty or cannot be read (logged).
std::string GetAppPath();

// GetAppPath() joined with "HoldingArea". Not created here.
std::string GetHoldingArea();

// The machine identifier "zruid". When there is none, a new one (36
// upper-case characters, hyphens, no braces) is made and stored; when several
// processes do that at once they all end up with the one stored first. When
// storing fails the new identifier is still returned (logged), and the next
// call makes another.
std::string GetZRUID();

// "1.00.0073".
std::string GetVersion();

// "Tavrolin ComponentMgr 1.00.0073 (" + operating-system description + ")".
std::string GetUserAgent();

// The current UTC time as an RFC 1123 date, e.g. "Tue, 08 Dec 2026 01:57:42 GMT".
std::string GetHttpDate();
// The same for a given time.
std::string FormatHttpDate(std::time_t utc);

// Compares two versions as numbers after removing every ".": 1 when a > b,
// 0 when equal, -1 when a < b. Each remainder is read like _wtoi64: leading
// white space, an optional sign, then digits up to the first other character
// (none: 0; beyond the 64-bit range: the range's end).
int CompareVersions(std::string a, std::string b);

// The package installer: the first double-quote-separated piece of the open
// command of the ".zrz" file type's class (classes root), or kDefaultTIPath
// when there is none or the registry cannot tell.
std::string GetTIPath();

// A new random identifier in the form GetZRUID stores.
std::string NewZRUID();

}  // namespace mcCMUtils
