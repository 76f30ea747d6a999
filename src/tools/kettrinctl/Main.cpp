// kettrinctl: the administrator's, installer's and publisher's tool.
#include <algorithm>
#include <clocale>
#include <iostream>

#include "tools/kettrinctl/CtlCommand.h"

namespace kettrinctl {

static std::vector<Command>& Registry() {
    static std::vector<Command> commands;
    return commands;
}

void AddCommand(Command command) { Registry().push_back(std::move(command)); }

const std::vector<Command>& Commands() { return Registry(); }

bool WantsHelp(const std::vector<std::string>& args) {
    return std::any_of(args.begin(), args.end(),
                       [](const std::string& a) { return a == "--help" || a == "-h"; });
}

static void PrintUsage(std::ostream& out) {
    std::vector<Command> sorted = Commands();
    std::sort(sorted.begin(), sorted.end(),
              [](const Command& a, const Command& b) { return a.name < b.name; });
    out << "usage: kettrinctl COMMAND [ARGS...]\n\ncommands:\n";
    std::size_t width = 0;
    for (const auto& c : sorted) width = std::max(width, c.name.size());
    for (const auto& c : sorted) {
        out << "  " << c.name << std::string(width - c.name.size() + 2, ' ') << c.summary << '\n';
    }
    out << "\n'kettrinctl COMMAND --help' describes one command.\n";
}

}  // namespace kettrinctl

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    using namespace kettrinctl;
    if (argc < 2) {
        PrintUsage(std::cerr);
        return kExitUsage;
    }
    std::string word = argv[1];
    if (word == "--help" || word == "-h" || word == "help") {
        PrintUsage(std::cout);
        return kExitOk;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    for (const auto& c : Commands()) {
        if (c.name == word) return c.run(args);
    }
    std::cerr << "kettrinctl: unknown command '" << word << "'\n";
    PrintUsage(std::cerr);
    return kExitUsage;
}
