#pragma once
// The vendor servers' host names: deployment settings, string values of the
// component manager's registry key (local machine, mcCMUtils::kRegistryKey),
// each "host[:port]".
#include <string>

inline constexpr const char* kConnectionCheckServerValue = "ConnectionCheckServer";
inline constexpr const char* kEventServerValue = "EventServer";
inline constexpr const char* kRedirectServerValue = "RedirectServer";

// The host[:port] stored in strValueName, white space trimmed. "" when the
// value is missing, unreadable or not a plain host[:port] (anything that would
// change the URL around it - "/", "?", "#", "@", "\", blanks, control
// characters - makes it unusable). Reads the registry afresh; never throws;
// any thread.
std::string mfGetServerHost(const std::string& strValueName);
