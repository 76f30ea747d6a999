#include "base/mfReportAssertion.h"

#include "base/mcDiagTrace.h"

std::string mfFormatAssertion(const char* function, const char* file, int line,
                              const char* expression) {
    std::string path = file != nullptr ? file : "";
    std::size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return std::string("Assertion failed,") + '"' + (expression != nullptr ? expression : "") +
           '"' + "," + (function != nullptr ? function : "") + "()" + "," + name + "(" +
           std::to_string(line) + ")";
}

int mfReportAssertion(const char* function, const char* file, int line,
                      const char* expression) noexcept {
    try {
        mcDiagTrace::Core().Send(mfFormatAssertion(function, file, line, expression));
    } catch (...) {
        // Reporting an assertion never fails towards the caller.
    }
    return 0;
}
