#pragma once
// Assertion reports. mfReportAssertion sends one line on the "CORE" trace source
// and returns 0; the program carries on. The line reads
//   Assertion failed,"<expression>",<function>(),<file name>(<line>)
// where the file name is the last path component of file.
#include <string>

// Any thread; never throws.
int mfReportAssertion(const char* function, const char* file, int line,
                      const char* expression) noexcept;

// The line mfReportAssertion sends (for callers that also log it).
std::string mfFormatAssertion(const char* function, const char* file, int line,
                              const char* expression);
