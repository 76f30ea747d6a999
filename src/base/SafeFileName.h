#pragma once
// Checks for names that become file or folder names below a folder of ours
// (component names in the holding area, package file names). Reentrant, never
// throws.
#include <string_view>

// True when name can be used as one path element: it is not empty, not "."
// or "..", and holds neither "/" nor a NUL character. Such a name, joined to a
// folder, always names an entry directly inside that folder.
bool mfIsSafeFileName(std::string_view name) noexcept;
