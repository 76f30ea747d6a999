#pragma once
// A registered client application: the four strings it registers with
// ClientInstalled, the name being the key. Plain value; copy freely.
#include <string>

struct msClientRecord {
    std::string name;
    std::string version;
    std::string oem;
    std::string lang;

    // An all-empty record stands for no particular client (no filtering).
    bool IsEmpty() const { return name.empty() && version.empty() && oem.empty() && lang.empty(); }
    bool operator==(const msClientRecord&) const = default;
};
