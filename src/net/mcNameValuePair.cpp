#include "net/mcNameValuePair.h"

#include <vector>

#include "base/StrUtils.h"
#include "base/mcExc.h"

namespace {
constexpr const char* kFunction = "mcNameValuePair::FromStr";
constexpr int kLine = 42;
constexpr const char* kInvalidPair = "Invalid name value pair string";
}  // namespace

void mcNameValuePair::FromStr(const std::string& strText, const std::string& strSeparator) {
    std::vector<std::string> vecPieces;
    mfStrSplit(strText, strSeparator, vecPieces);
    if (vecPieces.size() != 2) {
        KTHROW_AT(mcExc, kFunction, kLine, kInvalidPair);
    }
    m_strName = mfStrTrim(vecPieces[0]);
    m_strValue = mfStrTrim(vecPieces[1]);
}
