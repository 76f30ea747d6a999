// Fuzz target: the string and path functions (quoting, path parts and
// joins, trimming, splitting, case-insensitive comparison, case folding, URL
// encoding, UTF-8 decoding). Input: two texts separated by a NUL byte. Checks
// the properties callers rely on.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "base/StrConv.h"
#include "base/StrUtils.h"

namespace {

void PrvCheck(bool bOk, const char* what) {
    if (bOk) return;
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

int PrvSign(int value) { return (value > 0) - (value < 0); }

void PrvCheckOne(std::string_view text) {
    const std::string quoted = mfStrQuotePath(text);
    PrvCheck(mfStrQuotePath(quoted) == quoted, "quoting a quoted path changes it");
    if (!text.empty()) {
        PrvCheck(mfStrGetDriveAndDirFromPath(text) + mfStrGetFileNameFromPath(text) == text,
                 "folder and file name do not make up the path");
    }
    const std::string trimmed = mfStrTrim(text);
    PrvCheck(mfStrTrim(trimmed) == trimmed, "trimming is not idempotent");
    PrvCheck(mfStrTrimLeft(mfStrTrimRight(text)) == trimmed, "trim differs from left and right trims");
    PrvCheck(mfStrStripTrailing(text, '/').size() <= text.size(), "stripping grew the text");

    const std::string folded = mfStrFoldCase(text);
    PrvCheck(mfStrCompareNoCase(text, folded) == 0, "a text differs from its folded form");
    PrvCheck(mfStrCompareNoCase(text, text) == 0, "a text differs from itself");

    for (const bool bAll : {false, true}) {
        for (const char c : mfUrlEncode(text, bAll)) {
            const bool bPlain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                                c == '%' || (!bAll && std::string_view("!()*-._").find(c) != std::string_view::npos);
            PrvCheck(bPlain, "URL encoding left a character that needs escaping");
        }
    }

    bool bValid = true;
    std::string reencoded;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t before = pos;
        char32_t cp = 0;
        const bool bDecoded = mfUtf8Decode(text, pos, cp);
        PrvCheck(pos > before && pos <= text.size(), "decoding did not advance within the text");
        bValid = bValid && bDecoded;
        if (bDecoded) mfUtf8Append(reencoded, cp);
    }
    PrvCheck(bValid == mfIsValidUtf8(text), "validity check and decoder disagree");
    if (bValid) PrvCheck(reencoded == text, "decoded text does not encode back to itself");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    mfFuzzSetUp();
    mcFuzzInput input(data, size);
    const std::string_view a = input.TakeUntil('\0');
    const std::string_view b = input.TakeRest();

    PrvCheckOne(a);
    PrvCheckOne(b);
    PrvCheck(PrvSign(mfStrCompareNoCase(a, b)) == -PrvSign(mfStrCompareNoCase(b, a)),
             "comparison ignoring case is not antisymmetric");

    const std::string joined = mfPathJoin(a, b);
    if (!a.empty() && !b.empty()) {
        PrvCheck(joined.find(mfStrStripTrailing(a, '/')) == 0, "join does not start with the folder");
    }

    std::vector<std::string> pieces;
    mfStrSplit(a, b, pieces);
    for (const std::string& piece : pieces) {
        PrvCheck(!piece.empty(), "split produced an empty piece");
        PrvCheck(b.empty() || piece.find(b) == std::string::npos, "a piece holds the delimiter");
    }
    return 0;
}
