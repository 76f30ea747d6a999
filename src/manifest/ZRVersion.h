#pragma once
// Version strings of manifests, directory entries and client filters: three
// dotted numbers such as "1.00.0073". Reentrant; any thread; throws nothing but
// std::bad_alloc.
#include <string_view>

// Placeholder version of a manifest whose document carries none.
inline constexpr const char* kZRVersionNone = "0.00.0000";

// Result of mfStrCompareZRVersions for an argument that is not a version.
inline constexpr int kZRVersionBadArg = -2;

// Compares a and b field by field (major, minor, build), numerically: 1 when a is
// higher, 0 when equal, -1 when lower. Empty pieces are dropped ("1..2.3" is
// 1.2.3); each piece counts by its leading decimal number after optional blanks
// and sign ("7a" is 7, "x" is 0). A string that begins with "." or does not have
// exactly three pieces gives kZRVersionBadArg after an assertion report on the
// "CORE" trace source.
int mfStrCompareZRVersions(std::string_view a, std::string_view b);
