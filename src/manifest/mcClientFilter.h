#pragma once
// One "Client" entry of a component's "CompatibleClients" or "IncompatibleClients"
// list. Plain value; copy freely.
#include <string>
#include <vector>

#include "contract/msClientRecord.h"

class mcClientFilter {
public:
    std::string m_strName;        // client name (exact)
    std::string m_strMinVersion;  // inclusive lower bound; empty = none
    std::string m_strMaxVersion;  // inclusive upper bound; empty = none
    std::vector<std::string> m_vecLangs;  // "LANG" codes, document order; empty = any
    std::vector<std::string> m_vecOEMs;   // "OEM" codes, document order; empty = any

    // True when the client's name equals m_strName, its version lies within the
    // bounds (compared as version strings; a bound that cannot be compared fails)
    // and its oem and lang appear in the code lists (or the lists are empty).
    // Exact, case-sensitive comparisons throughout. Thread-safe; never throws
    // except std::bad_alloc.
    bool Matches(const msClientRecord& client) const;

    bool operator==(const mcClientFilter&) const = default;
};
