#include "tools/kettrinctl/CtlValueArgs.h"

#include <algorithm>

namespace kettrinctl {

std::optional<CtlValueArgs> CtlValueArgs::Parse(const std::vector<std::string>& args, std::size_t first,
                                                const std::vector<std::string>& valueOptions, std::string& strError) {
    CtlValueArgs parsed;
    bool bOptions = true;
    for (std::size_t i = first; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (bOptions && a == "--") {
            bOptions = false;
        } else if (bOptions && a.size() > 1 && a[0] == '-') {
            if (std::find(valueOptions.begin(), valueOptions.end(), a) == valueOptions.end()) {
                strError = "unknown option '" + a + "'";
                return std::nullopt;
            }
            if (i + 1 >= args.size()) {
                strError = "option '" + a + "' needs a value";
                return std::nullopt;
            }
            if (parsed.options.count(a) != 0) {
                strError = "option '" + a + "' given twice";
                return std::nullopt;
            }
            parsed.options[a] = args[++i];
        } else {
            parsed.words.push_back(a);
        }
    }
    return parsed;
}

}  // namespace kettrinctl
