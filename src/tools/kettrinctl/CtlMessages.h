#pragma once
// kettrinctl's words for what went wrong: a user's sentence first, the
// internal detail after it (always for HRESULTs, which callers look up; bus and
// exception texts only with --verbose). Errors go to standard error.
#include <string>

#include "contract/Hresult.h"

class mcComponentMgrClient;
class mcExc;

namespace kettrinctl {

// "E_ACCESSDENIED (0x80070005)" for the HRESULTs of this system and COM's
// common ones; the hexadecimal number alone for others.
std::string HResultText(HRESULT hr);

// Prints "kettrinctl COMMAND: MESSAGE" (and, with --verbose and a detail,
// " (DETAIL)") on standard error. bShowDetail prints a detail that helps
// every reader (a file name, say) also without --verbose.
void PrintError(const std::string& strCommand, const std::string& strMessage,
                const std::string& strDetail = std::string(), bool bShowDetail = false);

// The message for a failed call: "the component manager did not answer" for
// a service that is not there, does not start or went away; "permission
// denied: E_ACCESSDENIED (0x80070005)" for a caller the service or the bus
// refused; "the call failed: ..." for other answers; the bus's own text as
// the detail.
void PrintCallFailure(const std::string& strCommand, HRESULT hr, const mcComponentMgrClient& client);

// The message for a registry failure that is not "missing": an unusable
// registry file (named always), access denied, or any other failure (the
// registry's text under --verbose).
void PrintRegistryFailure(const std::string& strCommand, const mcExc& exc);

// The message for a client that could not be opened: "invalid bus address
// ADDR" or "cannot reach the bus at ADDR", with the cause as the detail.
void PrintBusFailure(const std::string& strCommand, const std::string& strAddress,
                     const std::string& strDetail);

}  // namespace kettrinctl
