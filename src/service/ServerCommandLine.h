#pragma once
// The server program's command line.
//
// The arguments are joined with blanks and scanned for switches: a switch is
// the word (up to the next blank or tab) that follows a "-" or "/" character;
// it is compared with "RegServer" and "UnregServer" ignoring case. The first
// switch that matches decides; other switches are skipped. No match: the
// server runs. "--session" (an argument of its own) selects the session bus.
// "--help" (or "-h") and "--version", each an argument of its own, ask for the
// usage or the version instead; they win over every other switch.
#include <string>
#include <vector>

enum class mcServerAction { kRunServer, kRegServer, kUnregServer, kHelp, kVersion };

struct msServerCommandLine {
    mcServerAction action = mcServerAction::kRunServer;
    bool bSessionBus = false;
};

inline constexpr const char* kSwitchRegServer = "RegServer";
inline constexpr const char* kSwitchUnregServer = "UnregServer";
inline constexpr const char* kSwitchSession = "--session";
inline constexpr const char* kSwitchHelp = "--help";
inline constexpr const char* kSwitchVersion = "--version";

// vecArgs: the arguments after the program name.
msServerCommandLine mfParseServerCommandLine(const std::vector<std::string>& vecArgs);
