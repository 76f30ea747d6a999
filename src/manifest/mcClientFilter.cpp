#include "manifest/mcClientFilter.h"

#include <algorithm>

#include "manifest/ZRVersion.h"

namespace {

bool CodeAllowed(const std::vector<std::string>& codes, const std::string& code) {
    return codes.empty() || std::find(codes.begin(), codes.end(), code) != codes.end();
}

}  // namespace

bool mcClientFilter::Matches(const msClientRecord& client) const {
    if (m_strName != client.name) return false;
    if (!m_strMinVersion.empty() || !m_strMaxVersion.empty()) {
        // mfStrCompareZRVersions gives -2 for a bad argument: that fails a bound.
        if (!m_strMinVersion.empty() && mfStrCompareZRVersions(client.version, m_strMinVersion) < 0) {
            return false;
        }
        if (!m_strMaxVersion.empty() && mfStrCompareZRVersions(m_strMaxVersion, client.version) < 0) {
            return false;
        }
    }
    return CodeAllowed(m_vecOEMs, client.oem) && CodeAllowed(m_vecLangs, client.lang);
}
