#pragma once
// A copy of the machine's IP-to-physical address table, taken at construction.
#include <vector>

#include "net/NetUtilsException.h"
#include "net/ProbeSource.h"

namespace netutils {

class ARPTable {
public:
    KETTRIN_DECLARE_EXC(Exception, netutils::Exception);

    // Reads the table from source. Throws Exception "Error retrieving ARP table
    // size." when the table cannot be reached and "Error retrieving ARP table
    // entries." when its entries cannot be read.
    explicit ARPTable(ProbeSource& source);

    // True when any entry is dynamic (type 3: learnt from the network).
    bool HasDynamicEntries() const;
    const std::vector<ArpEntry>& Entries() const { return m_vecEntries; }

private:
    std::vector<ArpEntry> m_vecEntries;
};

}  // namespace netutils
