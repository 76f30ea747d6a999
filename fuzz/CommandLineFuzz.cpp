// Fuzz target: splitting a command line into words by the Windows rules.
//
// Input: one mode byte, then text. Mode even: the text is a command line, split
// as it is. Mode odd: the text is a list of words separated by NUL bytes (the
// first is the program); the target quotes them the way a Windows program
// builds a command line, and the split must give back exactly those words.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "base/OsDependent.h"

namespace {

// The program word: quotes only group, so quote it when it holds a blank or
// tab or is empty. It cannot hold a quote itself.
std::string PrvQuoteProgram(const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t") == std::string::npos) return word;
    return '"' + word + '"';
}

// An argument: 2n backslashes before a quote give n, 2n+1 and a quote give n
// and a literal quote.
std::string PrvQuoteArgument(const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) return word;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(2 * backslashes + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out.push_back(c);
    }
    out.append(2 * backslashes, '\\');
    out.push_back('"');
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    mfFuzzSetUp();
    mcFuzzInput input(data, size);
    const std::uint8_t mode = input.TakeByte();
    if ((mode & 0x01) == 0) {
        (void)mfSplitCommandLine(input.TakeRest());
        return 0;
    }

    std::vector<std::string> words;
    while (!input.Empty()) words.emplace_back(input.TakeUntil('\0'));
    if (words.empty() || words.front().find('"') != std::string::npos) return 0;
    std::string commandLine = PrvQuoteProgram(words.front());
    for (std::size_t i = 1; i < words.size(); ++i) commandLine += ' ' + PrvQuoteArgument(words[i]);

    if (mfSplitCommandLine(commandLine) != words) {
        std::fprintf(stderr, "command line [%s] does not split into the %zu words it was built from\n",
                     commandLine.c_str(), words.size());
        std::abort();
    }
    return 0;
}
