#pragma once
// The machine's network adapters (loopback excluded), taken at construction.
#include <string>
#include <vector>

#include "net/NetUtilsException.h"
#include "net/ProbeSource.h"

namespace netutils {

class AdapterTable {
public:
    KETTRIN_DECLARE_EXC(Exception, netutils::Exception);

    // Throws Exception "Error retrieving adapter table size." when the adapters
    // cannot be listed and "Error retrieving adapter table entries." when the
    // list cannot be read.
    explicit AdapterTable(ProbeSource& source);

    const std::vector<std::string>& Names() const { return m_vecNames; }

private:
    std::vector<std::string> m_vecNames;
};

}  // namespace netutils
