#pragma once
// The words and "--name value" options of a sub-command (manifest, zrz):
// options may stand anywhere before "--"; each known option takes the next
// word as its value and may be given once.
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kettrinctl {

struct CtlValueArgs {
    std::map<std::string, std::string> options;
    std::vector<std::string> words;

    // Reads args from index first on. valueOptions names the options that
    // are known. An unknown option, a missing value or a repeated option
    // gives no result and the reason in strError.
    static std::optional<CtlValueArgs> Parse(const std::vector<std::string>& args, std::size_t first,
                                             const std::vector<std::string>& valueOptions, std::string& strError);
};

}  // namespace kettrinctl
