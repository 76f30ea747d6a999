#include "manifest/ZRVersion.h"

#include <cstdint>
#include <limits>

#include "base/mfReportAssertion.h"

namespace {

constexpr const char* kBadArgExpression = "! NOLOC(\"Bad arg passed into mfStrCompareZRVersions\")";
// Lines the two assertion reports carry: fixed, they do not follow edits.
constexpr int kLineLeadingDot = 233;
constexpr int kLinePieceCount = 242;

// Leading blanks, optional sign, then decimal digits up to the first other
// character; no digits gives 0. Out-of-range values saturate.
std::int64_t PieceToInt64(std::string_view piece) {
    std::size_t i = 0;
    while (i < piece.size() && (piece[i] == ' ' || (piece[i] >= '\t' && piece[i] <= '\r'))) ++i;
    bool bNegative = false;
    if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) bNegative = piece[i++] == '-';
    // Accumulate negatively so that the minimum value fits.
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    bool bOverflow = false;
    for (; i < piece.size() && piece[i] >= '0' && piece[i] <= '9'; ++i) {
        const int digit = piece[i] - '0';
        if (value < (kMin + digit) / 10) {
            bOverflow = true;
        } else {
            value = value * 10 - digit;
        }
    }
    if (bOverflow) return bNegative ? kMin : std::numeric_limits<std::int64_t>::max();
    if (bNegative) return value;
    return value == kMin ? std::numeric_limits<std::int64_t>::max() : -value;
}

// The non-empty pieces of text between "." separators; false unless there
// are exactly three. Stops at a fourth piece and copies nothing, so a long
// text of many pieces costs neither time beyond one pass nor memory.
bool PrvSplitThree(std::string_view text, std::string_view (&pieces)[3]) {
    std::size_t nPieces = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t dot = text.find('.', pos);
        const std::size_t end = dot == std::string_view::npos ? text.size() : dot;
        if (end > pos) {
            if (nPieces == 3) return false;
            pieces[nPieces++] = text.substr(pos, end - pos);
        }
        if (dot == std::string_view::npos) break;
        pos = dot + 1;
    }
    return nPieces == 3;
}

}  // namespace

int mfStrCompareZRVersions(std::string_view a, std::string_view b) {
    if ((!a.empty() && a.front() == '.') || (!b.empty() && b.front() == '.')) {
        mfReportAssertion("mfStrCompareZRVersions", __FILE__, kLineLeadingDot, kBadArgExpression);
        return kZRVersionBadArg;
    }
    // Views into the arguments: client filters compare versions for every
    // component of a listing, and this costs no allocation at all.
    std::string_view piecesA[3];
    std::string_view piecesB[3];
    const bool bThreeA = PrvSplitThree(a, piecesA);
    const bool bThreeB = PrvSplitThree(b, piecesB);
    if (!bThreeA || !bThreeB) {
        mfReportAssertion("mfStrCompareZRVersions", __FILE__, kLinePieceCount, kBadArgExpression);
        return kZRVersionBadArg;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        const std::int64_t na = PieceToInt64(piecesA[i]);
        const std::int64_t nb = PieceToInt64(piecesB[i]);
        if (na > nb) return 1;
        if (na < nb) return -1;
    }
    return 0;
}
