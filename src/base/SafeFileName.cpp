#include "base/SafeFileName.h"

bool mfIsSafeFileName(std::string_view name) noexcept {
    if (name.empty() || name == "." || name == "..") return false;
    for (const char c : name) {
        if (c == '/' || c == '\0') return false;
    }
    return true;
}
