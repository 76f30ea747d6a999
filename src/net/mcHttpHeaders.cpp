#include "net/mcHttpHeaders.h"

#include <vector>

#include "base/StrConv.h"
#include "base/StrUtils.h"
#include "base/mcExc.h"
#include "net/mcNameValuePair.h"

namespace {
constexpr const char* kFunction = "mcHttpHeaders::Get";
constexpr int kLine = 128;
constexpr const char* kNotFound = "Required header not found";

bool PrvEqualsAsciiNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}
}  // namespace

std::string mcHttpHeaders::Get(const std::string& strName) const {
    auto it = m_map.find(strName);
    if (it == m_map.end()) {
        KTHROW_AT(mcExc, kFunction, kLine, kNotFound);
    }
    return it->second;
}

const std::string* mcHttpHeaders::FindNoCase(const std::string& strName) const {
    auto it = m_map.find(strName);
    if (it != m_map.end()) return &it->second;
    for (const auto& [strKey, strValue] : m_map) {
        if (PrvEqualsAsciiNoCase(strKey, strName)) return &strValue;
    }
    return nullptr;
}

void mcHttpHeaders::SetFromResponseBlock(std::string_view block) {
    const std::string strText = mfConvertMBCSToWide(block, CP_ACP, kStrConvReplaceInvalid);
    std::vector<std::string> vecPieces;
    mfStrSplit(strText, "\n", vecPieces);
    for (std::size_t i = 1; i + 1 < vecPieces.size(); ++i) {
        mcNameValuePair pair;
        pair.FromStr(vecPieces[i], ": ");
        Set(pair.Name(), pair.Value());
    }
}
