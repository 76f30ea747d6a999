// kettrinctl: the administrator's, installer's and publisher's tool.
#include <algorithm>
#include <clocale>
#include <iostream>

#include "KettrinVersion.h"
#include "tools/kettrinctl/CtlCommand.h"
#include "tools/kettrinctl/CtlOptions.h"

namespace kettrinctl {

static std::vector<Command>& Registry() {
    static std::vector<Command> commands;
    return commands;
}

void AddCommand(Command command) { Registry().push_back(std::move(command)); }

const std::vector<Command>& Commands() { return Registry(); }

bool WantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--") return false;
        if (a == "--help" || a == "-h") return true;
    }
    return false;
}

std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t nDiagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t nAbove = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, nDiagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            nDiagonal = nAbove;
        }
    }
    return row[b.size()];
}

std::string ClosestCommand(const std::string& strWord) {
    std::string strBest;
    std::size_t nBest = 0;
    for (const Command& c : Commands()) {
        // A word that starts a command (or that a command starts) is close.
        std::size_t nDistance = EditDistance(strWord, c.name);
        if (!strWord.empty() && (c.name.rfind(strWord, 0) == 0 || strWord.rfind(c.name, 0) == 0)) nDistance = 1;
        if (strBest.empty() || nDistance < nBest || (nDistance == nBest && c.name < strBest)) {
            strBest = c.name;
            nBest = nDistance;
        }
    }
    // Farther than a third of the word (at least 2 edits) is no suggestion.
    const std::size_t nLimit = std::max<std::size_t>(2, strWord.size() / 3);
    return nBest <= nLimit ? strBest : std::string();
}

static void PrintUsage(std::ostream& out) {
    std::vector<Command> sorted = Commands();
    std::sort(sorted.begin(), sorted.end(),
              [](const Command& a, const Command& b) { return a.name < b.name; });
    out << "usage: kettrinctl [OPTIONS] COMMAND [ARGS...]\n\ncommands:\n";
    std::size_t width = 0;
    for (const auto& c : sorted) width = std::max(width, c.name.size());
    for (const auto& c : sorted) {
        out << "  " << c.name << std::string(width - c.name.size() + 2, ' ') << c.summary << '\n';
    }
    out << "\noptions (before or after the command):\n"
           "  --system          use the system bus (the default)\n"
           "  --session         use the session bus\n"
           "  --address ADDR    use the bus at ADDR (default: $KETTRIN_BUS_ADDRESS)\n"
           "  --json            print results as JSON\n"
           "  -q, --quiet       print no results; the exit status tells\n"
           "  --verbose         add the internal detail to error messages\n"
           "  --no-pager        accepted for habit; nothing is paged\n"
           "  -h, --help        this help; 'kettrinctl help COMMAND' describes one command\n"
           "  --version         print the version\n";
}

}  // namespace kettrinctl

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    using namespace kettrinctl;
    std::vector<std::string> args(argv + 1, argv + argc);
    // --version before the command (after it, "manifest show" reads its own).
    if (!args.empty() && args.front() == "--version") {
        std::cout << "kettrinctl " << KETTRIN_VERSION_TEXT << "\n";
        return kExitOk;
    }
    std::string strError;
    if (!CtlOptions::Current().Extract(args, strError)) {
        std::cerr << "kettrinctl: " << strError << "\n";
        return kExitUsage;
    }
    if (args.empty()) {
        PrintUsage(std::cerr);
        return kExitUsage;
    }
    std::string word = args.front();
    args.erase(args.begin());
    if (word == "--version") {
        std::cout << "kettrinctl " << KETTRIN_VERSION_TEXT << "\n";
        return kExitOk;
    }
    if (word == "--help" || word == "-h" || (word == "help" && args.empty())) {
        PrintUsage(std::cout);
        return kExitOk;
    }
    if (word == "help") {
        // "help CMD [SUB]" is "CMD [SUB] --help".
        word = args.front();
        args.erase(args.begin());
        args.push_back("--help");
    }
    for (const auto& c : Commands()) {
        if (c.name == word) return c.run(args);
    }
    std::cerr << "kettrinctl: unknown command '" << word << "'";
    const std::string strClosest = ClosestCommand(word);
    if (!strClosest.empty()) std::cerr << "; did you mean '" << strClosest << "'?";
    std::cerr << "\nRun 'kettrinctl --help' for the list of commands.\n";
    return kExitUsage;
}
