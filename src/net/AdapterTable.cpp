#include "net/AdapterTable.h"

namespace netutils {

namespace {
constexpr const char* kFunction = "netutils::AdapterTable::AdapterTable";
constexpr int kLineSize = 354;
constexpr int kLineEntries = 363;
constexpr const char* kSizeFailed = "Error retrieving adapter table size.";
constexpr const char* kEntriesFailed = "Error retrieving adapter table entries.";

[[noreturn]] void PrvThrow(int nLine, const char* pszText) {
    KTHROW_AT(AdapterTable::Exception, kFunction, nLine, pszText);
}
}  // namespace

AdapterTable::AdapterTable(ProbeSource& source) {
    switch (source.ReadAdapterNames(m_vecNames)) {
    case TableRead::kOk:
        break;
    case TableRead::kSizeFailed:
        PrvThrow(kLineSize, kSizeFailed);
    case TableRead::kEntriesFailed:
        PrvThrow(kLineEntries, kEntriesFailed);
    }
}

}  // namespace netutils
