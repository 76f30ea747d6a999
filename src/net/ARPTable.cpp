#include "net/ARPTable.h"

#include <algorithm>

namespace netutils {

namespace {
constexpr const char* kFunction = "netutils::ARPTable::ARPTable";
constexpr int kLineSize = 167;
constexpr int kLineEntries = 181;
constexpr const char* kSizeFailed = "Error retrieving ARP table size.";
constexpr const char* kEntriesFailed = "Error retrieving ARP table entries.";

[[noreturn]] void PrvThrow(int nLine, const char* pszText) {
    KTHROW_AT(ARPTable::Exception, kFunction, nLine, pszText);
}
}  // namespace

ARPTable::ARPTable(ProbeSource& source) {
    switch (source.ReadArpTable(m_vecEntries)) {
    case TableRead::kOk:
        break;
    case TableRead::kSizeFailed:
        PrvThrow(kLineSize, kSizeFailed);
    case TableRead::kEntriesFailed:
        PrvThrow(kLineEntries, kEntriesFailed);
    }
}

bool ARPTable::HasDynamicEntries() const {
    return std::any_of(m_vecEntries.begin(), m_vecEntries.end(),
                       [](const ArpEntry& e) { return e.dwType == ArpEntry::kTypeDynamic; });
}

}  // namespace netutils
