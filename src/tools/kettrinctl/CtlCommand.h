#pragma once
// Sub-commands of kettrinctl. Each command lives in its own source file and
// registers itself with KETTRINCTL_COMMAND; Main.cpp dispatches on the first word.
//
// Exit codes shared by every command: 0 success, 1 "no" / not found / failure the
// command describes, 2 usage error, 3 failed call or unreachable service.
#include <functional>
#include <string>
#include <vector>

namespace kettrinctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitNo = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitFailed = 3;

struct Command {
    std::string name;     // first word on the command line, e.g. "reg"
    std::string summary;  // one line for the top-level help
    // Arguments after the command word. Prints its own --help.
    std::function<int(const std::vector<std::string>&)> run;
};

// Called from static initialisers; the registry outlives them.
void AddCommand(Command command);
const std::vector<Command>& Commands();

// True when args hold "--help" or "-h"; commands print their usage then.
bool WantsHelp(const std::vector<std::string>& args);

struct CommandRegistrar {
    CommandRegistrar(const char* name, const char* summary,
                     int (*run)(const std::vector<std::string>&)) {
        AddCommand(Command{name, summary, run});
    }
};

}  // namespace kettrinctl

#define KETTRINCTL_CONCAT2(a, b) a##b
#define KETTRINCTL_CONCAT(a, b) KETTRINCTL_CONCAT2(a, b)
#define KETTRINCTL_COMMAND(name, summary, fn) \
    static ::kettrinctl::CommandRegistrar KETTRINCTL_CONCAT(g_command_, __LINE__)(name, summary, fn)
